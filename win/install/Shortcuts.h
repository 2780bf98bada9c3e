// The product's shortcut files in the shell's special folders, as both programs find them:
// the installer makes them and deletes them when an installation is undone or replaced,
// the uninstaller deletes them.
#pragma once

#include <string>

#include "win/install/Removal.h"

// The file path of shortcut `name` (which may hold a sub-folder) in special folder `csidl`,
// or empty when the folder cannot be resolved.
std::wstring ShortcutPath(int csidl, const wchar_t* name);

// Deletes shortcut `name` of special folder `csidl`: kGone when it was deleted, kAbsent when
// there was none (or the folder cannot be resolved), kFailed - with the Windows error as
// the last error - when it stays.
Removal DeleteShortcut(int csidl, const wchar_t* name);
