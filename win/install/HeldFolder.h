// The install folder, made ready before anything is written into it. The installer is
// elevated while the folder's parents may be a user's (a data drive's root), so every folder
// on the way is opened without following a link, proved a real folder at its own place, and
// held without delete sharing until the installation ends; the missing ones are made with
// the program folder's rights. Elevated code runs from the folder later, so a folder on the
// way that someone other than an administrator may remove, or empty, is refused. An existing
// install folder gets the program folder's rights and owner, unless it is a volume's root or
// a system folder (refused); one someone else could change is replaced when empty (they may
// hold it open with its old rights), refused otherwise.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win/base/UniqueHandle.h"

enum class FolderOpening {
  kOpened,
  kCannotMake,       // a folder on the way cannot be made: no such drive, a file in its place
  kLink,             // the folder, or one on the way, is a link or junction
  kSystemFolder,     // a volume's root or a folder of the system's
  kCannotProtect,    // an existing folder whose rights or owner cannot be set
  kMovable,          // someone else may move it, or a folder on its way, away and put another there
  kOthersMayChange,  // an existing folder that holds files, which someone else could change
};

struct HeldFolder {
  std::wstring path;                  // absolute, ending with '\', short names spelled long
  std::vector<std::wstring> created;  // the folders made for it, outermost first
  std::vector<UniqueHandle> handles;  // every folder on the way, the install folder last
  bool fresh = false;                 // the install folder itself was made here
  // On a refusal because a call failed (a folder that cannot be made, opened or protected),
  // that call's Windows error; 0 for a refusal of what was found (a link, a system folder...).
  DWORD error = 0;
};

// Makes `folder` (absolute, ending with '\') ready as above. On a refusal the folders made
// before it stay (`held->created` names them) and nothing is held.
FolderOpening OpenInstallFolder(const std::wstring& folder, HeldFolder* held);

// An earlier installation's folder, held for an elevated program that may act inside it.
enum class FolderTrust {
  kOwn,      // only administrators can have changed it since it was protected
  kForeign,  // someone else may have: nothing in it is run, moved or deleted
  kLink,     // it, or a folder on the way, is a link or junction
  kMissing,  // it is not there
};
// Opens the existing `folder` (absolute, ending with '\') and each folder on its way without
// following a link, proves each a real folder at its own place and holds them (`held->
// handles`, the folder last) without delete sharing, so none can be renamed or replaced
// while they are held; then reads, through the held handle, who may change it. Nothing is
// held unless the answer is kOwn or kForeign.
FolderTrust HoldExistingFolder(const std::wstring& folder, HeldFolder* held);
