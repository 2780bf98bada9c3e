// What uninstall.exe tells by its exit code.
//
// kExitRemoved; kExitIncomplete when something it should remove is still there
// (the interactive mode then names the first such path instead of its success text);
// kExitClientRunning, kExitInstallerRunning, kExitCancelled (the question answered No),
// kExitUsage (arguments it does not know), kExitSystemUnsupported or
// kExitFolderNotInCodePage (the interactive mode then names the folder) when it removed
// nothing.
#pragma once

inline constexpr int kExitRemoved = 0;
inline constexpr int kExitIncomplete = 1;
inline constexpr int kExitClientRunning = 2;
inline constexpr int kExitCancelled = 3;
inline constexpr int kExitUsage = 4;
inline constexpr int kExitInstallerRunning = 5;
inline constexpr int kExitSystemUnsupported = 6;
inline constexpr int kExitFolderNotInCodePage = 7;
