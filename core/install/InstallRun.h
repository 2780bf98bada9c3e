// One installation run, as the install worker thread performs it: check both resources,
// start the manifest, write the uninstaller and the channel file, unpack the payload
// package into the install folder, register the component and finish the manifest. The
// decisions live here, over three small interfaces - the file operations, the report sink
// and the run control - so tests can run them on an in-memory disk and fail any operation.
// The Win32 worker binds them to the real file system, PostMessageW and its flags.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/inflate/ResourceInflater.h"
#include "core/install/ManifestText.h"
#include "core/install/PathList.h"
#include "core/package/PackageSummary.h"
#include "core/package/PayloadPackage.h"
#include "core/product/Product.h"

// Reports (the wParam of WM_INSTALL_PROGRESS); 0-100 is a progress percentage.
inline constexpr int INSTALL_REGISTER_HUNG = -5;
inline constexpr int INSTALL_REGISTER_FAILED = -4;
inline constexpr int INSTALL_PREPARING = -3;
inline constexpr int INSTALL_PACKAGE_UNREADABLE = -2;
inline constexpr int INSTALL_CREATE_FAILED = -1;
inline constexpr int INSTALL_COMPLETE = 100;

enum class RegistrationResult {
  kRegistered,
  kFailed,  // could not be started, or reported failure
  kHung,    // did not end within its time limit and was ended
};

class InstallFiles {
 public:
  class File {
   public:
    virtual ~File() = default;
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
    // Flushes and closes; false when data could not be written out.
    virtual bool Close() = 0;
  };
  virtual ~InstallFiles() = default;
  // Creates every missing folder along `path` (EnsureDirectories); the run ignores the
  // result and lets the file creation fail.
  virtual bool MakeFolders(const std::u16string& path) = 0;
  // Whether anything - a file, a folder, a link - is at `path`. The run makes no file
  // twice, so what is there was there before it.
  virtual bool Occupied(const std::u16string& path) = 0;
  // Moves the file at `path`, which was there before the run, to `keptPath` (its folder is
  // made when missing). False, leaving it where it is, when it is no plain file at its own
  // place or cannot be moved (in use).
  virtual bool KeepAside(const std::u16string& path, const std::u16string& keptPath) = 0;
  // Creates a new file for writing, no sharing; null when that fails, also when anything is
  // at `path` already.
  virtual std::unique_ptr<File> Create(const std::u16string& path) = 0;
  // The installation's own files (uninstall.ini, uninstall.exe): a new file, or a plain file
  // of that name taken over and truncated; null when that fails.
  virtual std::unique_ptr<File> Replace(const std::u16string& path) = 0;
  // Writes "RudodeData\Spread.ini" below the folder from the program's own name.
  virtual void WriteChannelInfo(const std::u16string& folder) = 0;
  // Runs the registration command of the component in the folder and waits for it.
  virtual RegistrationResult RegisterComponent(const std::u16string& folder) = 0;
  // Converts a manifest line to the system's ANSI code page.
  virtual std::string ToAnsi(std::u16string_view line) = 0;
};

class InstallReports {
 public:
  virtual ~InstallReports() = default;
  // `path` is the full path the report concerns, or null.
  virtual void Report(int code, const std::u16string* path) = 0;
  // The files are written and the registration, which may take seconds, comes next: a
  // sink that holds progress back delivers the last report now.
  virtual void Flush() {}
};

class InstallControl {
 public:
  virtual ~InstallControl() = default;
  // False once a stop was requested (also before the run began).
  virtual bool Running() = 0;
  // Called between records: returns at once, or when a requested pause is lifted.
  virtual void SafePoint() = 0;
};

// A compressed stream read piece by piece from where it lies, so that its bytes need not
// be in memory all at once (the installer reads its payload from its loaded image and hands
// each page back as it is read).
class StreamFile {
 public:
  virtual ~StreamFile() = default;
  // A reader from the stream's first byte, or null when the stream cannot be read.
  virtual std::unique_ptr<InflateSource> Open() const = 0;
};

// A second thread and the lock and condition it shares with the calling one, for reading
// the payload on two threads (ReadPackagePiped). The Win32 worker binds them to
// CreateThread, an SRW lock and a condition variable, so the shipped programs link none of
// the standard library's threads. One object serves one read.
class ThreadPair {
 public:
  virtual ~ThreadPair() = default;
  // Runs `body(context)` on a new thread; false when none could be started.
  virtual bool Start(void (*body)(void*), void* context) = 0;
  // Waits until the thread Start started has ended.
  virtual void Join() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  // With the lock held: gives it up until a WakeAll (or for no reason), then holds it again.
  virtual void Wait() = 0;
  virtual void WakeAll() = 0;
};

// The two compressed resources; a null pointer is a resource that could not be loaded.
struct InstallStreams {
  const std::uint8_t* uninstaller = nullptr;
  std::uint32_t uninstallerSize = 0;
  const std::uint8_t* payload = nullptr;
  std::uint32_t payloadSize = 0;
  // What the payload's summary says of the package (its records, data bytes and longest
  // path), when the installer has one: a package it says fits the folder is read once,
  // checked record by record as it is written, and a fault found on the way ends the run as
  // a damaged or too long one would - with what the run wrote in the outcome, for the caller
  // to remove. Without it the package is checked whole before anything is written.
  const PackageCheck* summary = nullptr;
  // The payload stream read piece by piece: read from there (where it opens) instead of
  // `payload`.
  const StreamFile* payloadFile = nullptr;
  // The KEPT list of an earlier installation in the same folder, whose kept files stay in
  // the kept folder: the new manifest carries it on as its first KEPT lines, numbered from
  // 0, and numbers the files it keeps itself after them.
  const std::vector<std::u16string>* carriedKept = nullptr;
  // Files of an earlier installation that their user changed since it wrote them: when the
  // package has one, the file stays as it is and the package's is written beside it as
  // "<path>.new".
  const std::vector<std::u16string>* userChanged = nullptr;
  // The thread the writing pass inflates the payload on, beside the run's; null inflates it
  // on the run's own thread.
  ThreadPair* threads = nullptr;
};

struct InstallOutcome {
  PathList installedFiles;          // the manifest's file list
  std::vector<KeptFile> keptFiles;  // moved aside, to put back on a removal
  // Files the user changed (InstallStreams::userChanged) that stayed as they were; the
  // manifest lists them after the installed files once every file is written, so that a
  // removal of the installation takes them too, but a removal of this run does not.
  std::vector<std::u16string> userKept;
  int finalReport = 0;               // the last report posted
  std::u16string finalPath;          // the path a failure report named
  std::uint64_t installedBytes = 0;  // uninstall.exe and the payload files written
  bool listsWritten = false;         // registration done, manifest complete
  // What a removal of the run must undo besides the listed files: "uninstall.ini" and
  // "uninstall.exe" were made (whole or not), the registration was started.
  bool madeManifest = false;
  bool madeUninstaller = false;
  bool registrationRan = false;  // only after every file, the component among them, was written
};

// Runs one installation into `folder` (absolute, ending with '\'). Reports go to `reports`
// in protocol order: INSTALL_PREPARING first, then one progress report per payload file,
// and exactly one final report unless a stop came first - INSTALL_COMPLETE only once every
// file is written, the component (when the package carries it) registered and the manifest
// complete; otherwise
// INSTALL_PACKAGE_UNREADABLE, INSTALL_CREATE_FAILED (with the path; write failures such as
// a full disk, and unwritable manifest lists, too), INSTALL_REGISTER_FAILED or
// INSTALL_REGISTER_HUNG (with the component's path).
//
// The uninstaller is inflated and checked before anything is written. The package is never
// held whole: with a summary that says it fits the folder it is inflated once, straight
// into the files, each record checked before its file is made, and a stream that stops
// inflating cleanly or a record that fails validation ends the run as unreadable (a path
// too long for the folder as the file that cannot be created) with the files written so far
// in the outcome; without one it is first checked as it inflates, and a damaged package or a
// path too long for the folder is refused with nothing on disk. A file the package names
// that is already in the folder is never overwritten: it is kept aside (KeepAside, after its
// KEPT line) for a removal to put back, and the package's file is made new in its place. A
// failed allocation ends the run as unreadable.
InstallOutcome RunInstallation(const std::u16string& folder,
                               const InstallStreams& streams,
                               InstallFiles& files,
                               InstallReports& reports,
                               InstallControl& control);

// Inflates both streams, validates the package and sums up what the installer needs to know
// of it before a run (the packager writes this beside the payload). False, with `check`
// telling why where it can, when a stream does not inflate cleanly or the package is
// damaged.
bool SummarizePackage(const std::uint8_t* payload,
                      std::uint32_t size,
                      const std::uint8_t* uninstaller,
                      std::uint32_t uninstallerSize,
                      PackageSummary* summary,
                      PackageCheck* check);
