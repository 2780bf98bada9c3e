// What uninstall.exe tells by its exit code.
//
// kExitRemoved; kExitRestartRequired when all is removed but files in use, which go at the
// next restart; kExitIncomplete when something it should remove is still there
// (the interactive mode then names the first such path instead of its success text);
// kExitClientRunning, kExitInstallerRunning, kExitCancelled (the question answered No),
// kExitUsage (arguments it does not know), kExitSystemUnsupported or
// kExitFolderNotInCodePage (the interactive mode then names the folder) when it removed
// nothing. The outcomes management tools act on have Windows Installer's values.
#pragma once

inline constexpr int kExitRemoved = 0;
inline constexpr int kExitIncomplete = 1;
inline constexpr int kExitClientRunning = 2;
inline constexpr int kExitCancelled = 1602;  // Windows Installer's "cancelled by the user"
inline constexpr int kExitUsage = 4;
inline constexpr int kExitInstallerRunning = 1618;  // "another installation in progress"
inline constexpr int kExitSystemUnsupported = 6;
inline constexpr int kExitFolderNotInCodePage = 7;
inline constexpr int kExitRestartRequired = 3010;  // "a restart completes it"

// Every exit code, in the order above.
inline constexpr int kEveryUninstallExit[] = {
    kExitRemoved,        kExitIncomplete,       kExitClientRunning,     kExitCancelled,
    kExitUsage,          kExitInstallerRunning, kExitSystemUnsupported, kExitFolderNotInCodePage,
    kExitRestartRequired};

// What an exit code means, for the log's last line.
inline const wchar_t* UninstallExitMeaning(int code) {
  switch (code) {
    case kExitRemoved:
      return L"removed";
    case kExitIncomplete:
      return L"not all could be removed";
    case kExitClientRunning:
      return L"the client runs";
    case kExitCancelled:
      return L"cancelled by the user";
    case kExitUsage:
      return L"usage";
    case kExitInstallerRunning:
      return L"an installer is running";
    case kExitSystemUnsupported:
      return L"the system cannot keep DLL loading to its own folder";
    case kExitFolderNotInCodePage:
      return L"the code page cannot spell the folder's name";
    case kExitRestartRequired:
      return L"removed; files in use go at the next restart";
  }
  return L"unknown";
}
