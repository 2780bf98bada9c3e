// Named kernel objects that only elevated programs make: the installers' single-instance
// mutex and the grant an installer gives the uninstaller it runs while it holds that mutex.
// Any user can make an object of any name, even in the global namespace, but not one that
// Administrators own: a standard user's token cannot name that group as owner. An object's
// owner therefore tells an installer's object from one a user made in its way.
#pragma once

#include <windows.h>

#include <string>

#include "win/base/UniqueHandle.h"

// 32 upper-case hexadecimal digits (128 bits) from the system's random source: a name nobody
// can guess, for an object or a folder made where others may make theirs. Empty when the
// source fails.
std::wstring RandomDigits();

// For a new object: owned by Administrators; SYSTEM and Administrators have full control,
// nobody else any access. Null when the descriptor cannot be built.
const SECURITY_ATTRIBUTES* AdminObjectRights();

// Whether the object behind `object` (opened with READ_CONTROL) is owned by Administrators
// or SYSTEM. False when its owner cannot be read.
bool OwnedByAdministrators(HANDLE object);

// The leave an installer gives an uninstaller it runs itself while it holds the mutex: an
// event in the global namespace named with 128 random bits, owned by Administrators, whose
// random part the installer puts in the uninstaller's environment
// (product::kStartedByInstaller) for as long as this object lives. The variable alone is
// worth nothing: anyone can set it, but only an elevated program can make the object it
// names. This installer never runs an earlier installation's program; installers of earlier
// versions run the uninstaller to remove an installation, and it still takes their leave.
class InstallerGrant {
 public:
  InstallerGrant();
  ~InstallerGrant();
  InstallerGrant(const InstallerGrant&) = delete;
  InstallerGrant& operator=(const InstallerGrant&) = delete;
  // False when the object could not be made; the variable is then not set.
  bool valid() const { return event_.valid(); }

 private:
  UniqueHandle event_;
};

// The uninstaller's side: true when this process's environment names a live grant, owned
// by Administrators or SYSTEM.
bool GrantedByInstaller();

// Who may act on a file or folder, read from its descriptor. The administrators are
// Administrators, SYSTEM and TrustedInstaller - and under Wine, which keeps no access list
// per file and shows every file as its one user's with full control, that user.
//
// Whether nobody else holds any of `rights` over it: an administrator owns it (an owner may
// always change the rights) and no allow entry grants one of them to anyone else (CREATOR
// OWNER aside, which only passes rights on to a new entry's maker). With `itselfOnly`,
// entries that only pass rights on to what is made inside do not count. `alsoTrusted` (or
// null) counts as an administrator.
bool OnlyAdministratorsHave(PSECURITY_DESCRIPTOR descriptor,
                            ACCESS_MASK rights,
                            bool itselfOnly,
                            PSID alsoTrusted);

// The rights that change a folder or what is in it.
inline constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                             FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                             WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Whether nobody but an administrator can have changed the folder behind `folder` (opened
// with READ_CONTROL) or what is in it: no other holds a change right, not even one it only
// passes on. False when the descriptor cannot be read.
bool OnlyAdministratorsMayChange(HANDLE folder);
bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor, PSID alsoTrusted);

// What lets someone move a folder away and put another in its place: on the folder,
// deleting (or renaming) it; on its parent, letting go of any entry; on either, changing
// its rights or owner.
inline constexpr ACCESS_MASK kRemoveItself = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
inline constexpr ACCESS_MASK kRemoveEntries =
    FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// Whether someone other than an administrator may remove or rename the folder behind
// `folder`, or any entry of it (each opened with READ_CONTROL; true when the descriptor
// cannot be read).
bool OthersMayRemove(HANDLE folder);
bool OthersMayRemoveEntries(HANDLE folder);
