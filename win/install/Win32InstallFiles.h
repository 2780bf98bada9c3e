// The installation's file work on a real system, below a folder held for the whole run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/install/InstallRun.h"
#include "win/base/UniqueHandle.h"
#include "win/install/Registration.h"

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

  std::wstring root_;       // the install folder, with its '\'
  std::wstring rootFinal_;  // where it really is (GetFinalPathNameByHandleW)
  std::vector<Pin> pins_;   // held folders, the root first
  DWORD registrationLimitMs_;
};
