// The rights of everything the installer creates: those of the system's program folder.
// Administrators and SYSTEM have full control, users may read and execute, and nothing is
// inherited from the parent (a D:\ root that users may write, say). Elevated code later
// runs from the install folder - the next installer runs uninstall.exe, ImageOle.dll is
// registered machine-wide - so a folder or file that users may change would hand them
// those rights. A folder that existed before the installer gets the same rights, and
// Administrators as its owner.
#pragma once

#include <windows.h>

#include "win/base/Owners.h"

class ProtectedRights {
 public:
  // For a new folder: the entries are inherited by what is later made inside it.
  const SECURITY_ATTRIBUTES* Folder() const { return folder_.get(); }
  // For a new file.
  const SECURITY_ATTRIBUTES* File() const { return file_.get(); }
  // What ProtectExisting sets: the folder's entries, and Administrators as owner.
  const SECURITY_ATTRIBUTES* ExistingFolder() const { return ownedFolder_.get(); }
  // Replaces the rights of an existing file or folder opened with WRITE_DAC; false, with the
  // Windows error as the last error, when that fails.
  bool Apply(HANDLE handle, bool folder) const;
  // Gives the existing folder behind `folder` (opened with WRITE_DAC and WRITE_OWNER) the
  // folder rights and Administrators as its owner - whoever owns a folder may always change
  // its rights again - leaving what is already inside it as it is (its entries keep the
  // rights they have). False when that fails.
  bool ProtectExisting(HANDLE folder) const;

  // The process's one instance, built on first use (thread-safe). If the descriptors
  // cannot be built, Folder() and File() are null and Apply fails.
  static const ProtectedRights& Get();

 private:
  ProtectedRights();
  SddlAttributes folder_;
  SddlAttributes file_;
  SddlAttributes ownedFolder_;  // the folder rights with Administrators as owner
};
