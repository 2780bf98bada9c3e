// What every file operation of the installer and the uninstaller asks the same way.
#pragma once

#include <windows.h>

// Attributes that make an entry something other than a plain file: a folder, or a link
// (a junction, a symbolic link or any other reparse point).
inline constexpr DWORD kLinkOrFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;

// Sharing that leaves every other opener free: the handle is held for what it names, not
// to keep others out.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Fails as a Windows call fails, leaving `error` as the last error: for a refusal that no
// call reported (a link, a name already taken), so that the caller's GetLastError() says why.
inline bool FailWith(DWORD error) {
  SetLastError(error);
  return false;
}

// Whether `error` says that the path names nothing (itself or a folder on its way).
inline bool Missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
