// The checks the wizard makes before anything is installed: a running client is ended, an
// earlier installation removed, a folder suggested with the free space of every drive, and
// the space the package needs compared with what the chosen volume has. Each takes the
// window that owns its questions and a way to wait that keeps that window painted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Waits for `object` for up to `milliseconds` while the wizard stays painted and takes no
// input; the result of the wait (WAIT_OBJECT_0 or WAIT_TIMEOUT).
using BusyWait = std::function<DWORD(HANDLE object, DWORD milliseconds)>;

// The application name: the program's file name without its extension.
std::wstring ApplicationName();
// A Yes/No question captioned "提示", and a message captioned with the application name,
// both owned by `owner`.
int Ask(HWND owner, const std::wstring& text);
void Tell(HWND owner, const std::wstring& text);

// Runs `command` (current folder `folder`, or the installer's when null) and waits for it
// with `wait`; false when it could not be started.
bool RunAndWait(std::wstring command, const wchar_t* folder, const BusyWait& wait);

// Ends every running client after the user agreed; false to stay on the welcome page.
bool EndRunningClient(HWND owner, const BusyWait& wait);

// Removes an earlier installation (its "UninstallString" with " -silent") after the user
// agreed; false to stay on the welcome page.
bool RemovePreviousInstallation(HWND owner, const BusyWait& wait);

struct FolderSuggestion {
  std::wstring folder;     // "X:\brimvale" on the first drive that is not the system's
  std::wstring freeSpace;  // "可用空间： C:12.3G D:45.6G "
};
FolderSuggestion SuggestTargetFolder();

// What the installer's package asks of a folder, read once from its resources.
struct PackageFacts {
  bool readable = false;
  std::size_t longestPath = 0;           // UTF-16 code units
  std::vector<std::uint32_t> fileSizes;  // the payload's files and the uninstaller
};
PackageFacts InspectInstallerPackage(HMODULE module);

struct SpaceEstimate {
  bool known = false;   // false when the volume could not be read
  std::wstring volume;  // "D:" or the volume's path
  std::uint64_t needed = 0;
  std::uint64_t available = 0;  // to this user, quotas included
};
// The space the package takes on the volume of `folder` (which need not exist yet) and the
// space there is.
SpaceEstimate EstimateSpace(const std::wstring& folder, const PackageFacts& package);

// "磁盘空间可能不足：D: 需要 32.8 MB，可用 12.1 MB。是否仍要继续安装？"
std::wstring SpaceWarning(const SpaceEstimate& estimate);
