#include "win/install/Directories.h"

#include <cwchar>
#include <string>

#include "win/base/Paths.h"

namespace {

bool IsFolder(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool EnsureDirectories(const wchar_t* path) {
  const std::size_t length = std::wcslen(path);
  if (length > MAX_PATH - 1)
    return false;
  if (IsFolder(path))
    return true;
  wchar_t copy[MAX_PATH];
  std::wmemcpy(copy, path, length + 1);
  wchar_t* last = std::wcsrchr(copy, L'\\');
  if (last == nullptr)
    return true;
  last[1] = L'\0';
  // The root ("D:\" or "\\server\share\") is never made: it is there or the path cannot
  // be. A path without one (relative, or rooted "\x") is walked from its start.
  const std::wstring root = PathRoot(copy);
  if (!root.empty() && !IsFolder(root.c_str()))
    return false;
  // Each prefix ending just before a '\' after the root: "D:\A", "D:\A\B".
  for (wchar_t* cut = std::wcschr(copy + root.size(), L'\\'); cut != nullptr;
       cut = std::wcschr(cut + 1, L'\\')) {
    *cut = L'\0';
    const bool ok = IsFolder(copy) || CreateDirectoryW(copy, nullptr) ||
                    IsFolder(copy);  // made meanwhile by someone else
    *cut = L'\\';
    if (!ok)
      return false;
  }
  return true;
}
