#include "win/install/Shortcuts.h"

#include <windows.h>

#include "win/base/Files.h"
#include "win/base/Paths.h"

std::wstring ShortcutPath(int csidl, const wchar_t* name) {
  const std::wstring folder = SpecialFolderPath(csidl);
  return folder.empty() ? folder : folder + L"\\" + name;
}

Removal DeleteShortcut(int csidl, const wchar_t* name) {
  const std::wstring path = ShortcutPath(csidl, name);
  if (path.empty())
    return Removal::kAbsent;
  if (DeleteFileW(path.c_str()))
    return Removal::kGone;
  return Missing(GetLastError()) ? Removal::kAbsent : Removal::kFailed;
}
