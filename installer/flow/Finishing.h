// The installer's finishing actions after a completed wizard: the shortcuts the user chose,
// starting the client as the signed-in user, and the machine-wide uninstall entry that the
// system's list of programs, admins and the next installer read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/install/UninstallEntry.h"

#include "win/install/ProgramVersion.h"
#include "win/install/SetupLog.h"

// Writes a shell link to `target` (working folder: the target's folder; `description` may be
// null), creating a missing sub-folder. True exactly when the link file was saved. COM must
// be initialised on the calling thread.
bool CreateShortcut(int csidl,
                    const wchar_t* name,
                    const wchar_t* target,
                    const wchar_t* description);

// Writes a REG_SZ value with its terminating NUL; ERROR_INVALID_DATA, writing nothing, for a
// null text. The Windows error code of the write otherwise.
LONG WriteStringValue(HKEY key, const wchar_t* name, const wchar_t* text);

struct FinishChoices {
  bool autoStart = false;        // a shortcut in the user's Startup folder
  bool runNow = false;           // start the client now
  bool createShortcuts = false;  // desktop and program-menu shortcuts
};

// Whether the client can be started as the signed-in user from this thread's desktop, as
// FinishInstallation would start it: true when the desktop shell's token can be taken;
// otherwise false, with the reason (and the Windows error) logged.
bool CanStartClientAsUser(SetupLog& log);

// The uninstall entry of an installation in `folder` (absolute, ending with '\'), value by
// value: DisplayName, Publisher, a quoted UninstallString, QuietUninstallString (...
// -silent), DisplayIcon, DisplayVersion, VersionMajor and VersionMinor of `version`, InstallDate
// (yyyymmdd), URLInfoAbout, HelpLink, InstallLocation, EstimatedSize (KB of
// `installedBytes`), NoModify and NoRepair; CreatedFolder, `madeFolder` - the outermost
// folder the installation made, for the uninstaller to remove with those below it on the
// way to the folder - or, without one, none; FileStamps, `stamps` (as EncodeFileStamps
// writes them).
std::vector<EntryValue> UninstallEntryValues(const std::wstring& folder,
                                             std::uint64_t installedBytes,
                                             const ProgramVersion& version,
                                             const std::wstring& madeFolder,
                                             std::vector<std::uint8_t> stamps);

// Writes `values` into the uninstall entry under HKEY_LOCAL_MACHINE (kAbsent ones deleted),
// making it when it is not there; false, with the Windows error logged, when one fails.
bool WriteUninstallEntry(const std::vector<EntryValue>& values, SetupLog& log);

// Runs the finishing actions for an installation in `folder` (absolute, ending with '\'):
// the chosen shortcuts (each replaced if it exists), the client started if asked; then the
// product's shortcuts that the choices did not make go, when `replaced` (an earlier
// installation made them). Under the system account the client is never started and the
// Startup shortcut goes to every user's Startup folder. The client (its path quoted, the
// folder current, not waited for) runs with the token of the process that owns this
// thread's desktop's shell window or, when there is none, its taskbar - the signed-in
// user's, never this elevated program's own. Without such a process (a service's or session
// 0's desktop) or its token, the client is not started and the log says why. Each action is
// logged with its result; none stops the rest or fails the installation: a shortcut that
// cannot be made is missing.
void FinishInstallation(const std::wstring& folder,
                        const FinishChoices& choices,
                        SetupLog& log,
                        bool replaced = false);

// Deletes every shortcut the product makes (and its program-menu folder when empty); false
// when one stays.
bool DeleteProductShortcuts();
