// The install worker: a thread object that runs one installation (RunInstallation), reports
// to the wizard by posting WM_INSTALL_PROGRESS, and logs each step.
//
//   WM_INSTALL_PROGRESS (WM_USER + 1000), always posted to the owner window:
//     wParam INSTALL_REGISTER_HUNG (-5)       lParam path block (the component)
//     wParam INSTALL_REGISTER_FAILED (-4)     lParam path block (the component)
//     wParam INSTALL_PREPARING (-3)           lParam 0
//     wParam INSTALL_PACKAGE_UNREADABLE (-2)  lParam 0
//     wParam INSTALL_CREATE_FAILED (-1)       lParam path block
//     wParam 0..100 (progress)                lParam path block (the file begun; sent
//                                             when the percentage changes, else at most
//                                             every 50 ms, so not for every file)
//     wParam INSTALL_COMPLETE (100)           lParam 0
//   A path block is a heap block of 260 wchar_t (allocated with new[]) holding the
//   NUL-terminated full path; the receiver frees it with FreePathBlock.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "core/install/InstallRun.h"
#include "win/base/UniqueHandle.h"
#include "win/install/Registration.h"
#include "win/install/SetupLog.h"

inline constexpr UINT WM_INSTALL_PROGRESS = WM_USER + 1000;
inline constexpr std::size_t kPathBlockUnits = 260;

// Frees a path block received with WM_INSTALL_PROGRESS; null is fine.
void FreePathBlock(LPARAM block);

// A thread object: the thread is created suspended at construction and runs Run, then
// AfterRun. Stop asks the run to end and waits until it has: every step of a run ends by
// itself (the registration has its own time limit), so no thread is ever terminated.
class WorkerThread {
 public:
  WorkerThread();
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  HANDLE Thread() const { return m_thread; }
  // Starts (or continues) the thread.
  void Resume();
  // Requests a stop - kept even when the run has not begun - and lifts a pause; the thread
  // ends at the run's next safe point. Stop also waits for it.
  void RequestStop();
  void Stop();
  // Cooperative pause: the run parks at its next safe point (between records) until
  // Continue or Stop.
  void Pause();
  void Continue();

 protected:
  virtual void Run() {}
  virtual void AfterRun() {}
  bool Running() const { return m_running.load() != 0 && !m_stopRequested.load(); }
  // Parks while a pause is requested.
  void SafePoint();
  // Ends the thread before the object goes: discards one that never ran, stops one that
  // runs. Every derived destructor calls it first, since the thread runs derived code.
  void EndThread();

  std::atomic<int> m_running{0};
  std::atomic<bool> m_stopRequested{false};

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);

  HANDLE m_thread = nullptr;
  DWORD m_threadId = 0;
  bool m_started = false;                     // resumed at least once
  std::atomic<bool> m_discarded{false};       // resumed only to end without running
  HANDLE m_unpaused;                          // manual-reset event, set while not paused
  std::atomic<bool> m_pauseRequested{false};  // set after the event is reset
};

class InstallWorker : public WorkerThread {
 public:
  InstallWorker();
  ~InstallWorker() override;

  // Written by the owner before the first Resume. Without an owner window (a silent
  // installation) nothing is posted: the outcome tells how the run ended.
  wchar_t m_installFolder[kPathBlockUnits] = {};
  HWND m_owner = nullptr;
  // Where each file written, the registration and their failures are logged, if anywhere.
  SetupLog* m_log = nullptr;
  // Where resources "FILE" 137 and 139 come from: the program itself unless set.
  HMODULE m_resources = nullptr;
  // The install folder was made for this run, so nothing of anyone else's can be in it.
  bool m_freshFolder = false;
  // How long the component's registration may take.
  DWORD m_registrationLimitMs = kRegistrationTimeLimitMs;
  // The payload as InspectPackage found it in the same resources, when it was inspected
  // already: the run then skips its own checking pass.
  std::optional<PackageCheck> m_inspected;

  // What the last run did (read after the thread ended).
  const InstallOutcome& Outcome() const { return m_outcome; }

 protected:
  void Run() override;

 private:
  InstallOutcome m_outcome;
};

// The Win32 file operations of a run into `folder`: real files and folders with the
// protected rights (FolderRights.h), the channel file from this program's own name, the
// registration command, and the ANSI code page.
//
// Nothing is written through a link: the install folder must be a real folder at its own
// place (no link or junction at it or on the way), and it and every folder below it that
// the run uses are held open without delete sharing for the whole run (so none can be
// renamed or replaced); each is proved through its handle to be a real folder inside the
// install folder, and a folder that was there before gets the protected rights and owner
// before anything is written into it. Files are opened without following a reparse point
// and refused when they are one. A payload file is only ever made new: what was at its
// place is moved aside first (KeepAside).
class Win32InstallFiles : public InstallFiles {
 public:
  // `folderIsNew`: the install folder was made for this run, so nothing else is in it.
  explicit Win32InstallFiles(const std::u16string& folder,
                             DWORD registrationLimitMs = kRegistrationTimeLimitMs,
                             bool folderIsNew = false);
  ~Win32InstallFiles() override;
  Win32InstallFiles(const Win32InstallFiles&) = delete;
  Win32InstallFiles& operator=(const Win32InstallFiles&) = delete;

  bool MakeFolders(const std::u16string& path) override;
  bool Occupied(const std::u16string& path) override;
  bool KeepAside(const std::u16string& path, const std::u16string& keptPath) override;
  std::unique_ptr<File> Create(const std::u16string& path) override;
  std::unique_ptr<File> Replace(const std::u16string& path) override;
  void WriteChannelInfo(const std::u16string& folder) override;
  RegistrationResult RegisterComponent(const std::u16string& folder) override;
  std::string ToAnsi(std::u16string_view line) override;

 private:
  // A folder held for the run.
  struct Pin {
    std::wstring folder;  // without a trailing '\'
    UniqueHandle handle;
    bool made;  // by this run: nothing else can be in it
  };
  // Opens `path` (inside a proved folder) for writing: a new file is made with the
  // protected rights; with CREATE_ALWAYS or OPEN_ALWAYS an existing plain file with no other
  // name is opened that way and has them applied. No handle when the folder is not proved,
  // the entry is a link, or the file cannot be opened.
  UniqueHandle OpenFile(const std::u16string& path, DWORD disposition);
  // Whether the existing entry `file` (with `attributes`) is a plain file at its own place.
  bool IsOwnFile(const std::wstring& file, DWORD attributes) const;
  // The pin of `folder` (without a trailing '\'), or null.
  const Pin* Held(const std::wstring& folder) const;
  // Appends the folders below the install folder on the way to the file `file`, outermost
  // first; false when `file` does not lie below the install folder.
  bool FoldersOnTheWay(const std::wstring& file, std::vector<std::wstring>* folders) const;
  // Holds `folder` (the install folder, or a path below it) open once it is proved to be a
  // real folder at that place; one the run did not make is protected first.
  bool PinFolder(const std::wstring& folder, bool made);

  std::wstring m_root;       // the install folder, with its '\'
  std::wstring m_rootFinal;  // where it really is (GetFinalPathNameByHandleW)
  std::vector<Pin> m_pins;   // held folders, the root first
  DWORD m_registrationLimitMs;
};

// Loads resource "FILE" `id` of `module`: its bytes and size, or null.
const std::uint8_t* LoadFileResource(HMODULE module, WORD id, std::uint32_t* size);

// The resource `resource` (`size` bytes) of a loaded module, read from the module's memory
// piece by piece, its pages leaving the working set as they are read: a package of any
// size takes no more memory. The installer's own image is what its self-check compared
// with its file (integrity/IntegrityCheck.h), and nobody can change its file while it
// runs. Null for an empty resource.
std::unique_ptr<StreamFile> PagedResource(const std::uint8_t* resource, std::uint32_t size);
