// The installer's finishing actions after a completed wizard: the shortcuts the user chose,
// starting the client, and the machine-wide uninstall entry that the system's list of
// programs, admins and the next installer read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "install/SetupLog.h"

// The file path of shortcut `name` (which may hold a sub-folder) in special folder `csidl`,
// or empty when the folder cannot be resolved.
std::wstring ShortcutPath(int csidl, const wchar_t* name);

// Writes a shell link to `target` (working folder: the target's folder; `description` may be
// null), creating a missing sub-folder. TRUE exactly when the link file was saved. COM must
// be initialised on the calling thread.
BOOL CreateShortcut(int csidl,
                    const wchar_t* name,
                    const wchar_t* target,
                    const wchar_t* description);

// Deletes the shortcut if there is one; the result of the deletion.
BOOL DeleteShortcut(int csidl, const wchar_t* name);

// Writes a REG_SZ value with its terminating NUL; ERROR_INVALID_DATA, writing nothing, for a
// null text. The Windows error code of the write otherwise.
LONG WriteStringValue(HKEY key, const wchar_t* name, const wchar_t* text);

struct FinishChoices {
  bool autoStart = false;        // a shortcut in the user's Startup folder
  bool runNow = false;           // start the client now
  bool createShortcuts = false;  // desktop and program-menu shortcuts
};

// Runs the finishing actions for an installation in `folder` (absolute, ending with '\'):
// the chosen shortcuts (each replaced if it exists), the client started if asked (its path
// quoted, not waited for), and always the uninstall entry: DisplayName, Publisher, a quoted
// UninstallString, QuietUninstallString (... -silent), DisplayIcon, DisplayVersion,
// InstallLocation, EstimatedSize (KB of `installedBytes`), NoModify and NoRepair. Each
// action is logged with its result; none stops the rest or fails the installation: a
// shortcut that cannot be made is missing.
void FinishInstallation(const std::wstring& folder,
                        const FinishChoices& choices,
                        std::uint64_t installedBytes,
                        const wchar_t* version,
                        SetupLog& log);
