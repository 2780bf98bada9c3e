// How uninstall.exe removes its own file. A running program cannot delete it, so a copy, the
// clean-up helper, waits for the uninstaller to end and deletes it. The helper is elevated,
// so the copy lies where no user can change it between its writing and its start - never in
// the user's temporary folder:
//
//   <Windows>\Temp\Del<32 random hexadecimal digits>\uninstall.exe
//
// The folder is made new for each removal (a name already taken may be a user's: another is
// drawn), owned by Administrators, full control for SYSTEM and Administrators only, nothing
// inherited. The copy is written through the handle that created it and started by that
// path. The system deletes the copy when the helper ends; the folder goes at the next
// restart.
#pragma once

#include <cstdint>
#include <string>

// Starts the clean-up helper for the running uninstaller, whose file is `self`, inheriting
// a handle to this process and no other; `madeFolder` is the outermost folder the
// installation made (the uninstaller's folder or one above it), or empty. False when that
// cannot be arranged (no folder can be made, the file cannot be copied, the helper cannot
// start); nothing is then left behind.
bool ScheduleSelfDelete(const std::wstring& self, const std::wstring& madeFolder = {});

// The helper's own first argument: no other command line starts so.
inline constexpr wchar_t kCleanUpSwitch[] = L"/clean-up-after-uninstall";

// The helper's command line: the copy's path, kCleanUpSwitch, the inherited handle of the
// uninstaller's process in decimal, the installed uninstaller's path and the made folder (when
// there is one), each path quoted so that blanks, '&' or '%' in it keep it one argument for
// CommandLineToArgvW.
std::wstring CleanUpCommandLine(const std::wstring& copy,
                                std::uintptr_t process,
                                const std::wstring& uninstaller,
                                const std::wstring& madeFolder = {});

// The helper's work for `commandLine` as CleanUpCommandLine builds it (anything else does
// nothing): waits for the uninstaller's process to end, then deletes its file only while it
// is still the file this copy was made from - the same size and time of last writing,
// which the copy keeps - and no link: a new installation may already have written its own
// uninstall.exe there. Then removes that file's folder if it is empty, and each folder
// above it up to the made folder while they are empty. False, having done nothing, when
// the command line is no helper's: its first argument is not kCleanUpSwitch, or the next
// names no handle of another process that runs the uninstall.exe the one after names.
bool CleanUp(const wchar_t* commandLine);
