#include "win/install/ChannelInfo.h"

#include <windows.h>

#include "core/install/ChannelName.h"
#include "core/install/ManifestText.h"
#include "win/install/Directories.h"

std::wstring ProgramName() {
  const wchar_t* line = GetCommandLineW();
  // argv[0] by the runtime's rule: up to the closing quote, or up to the first blank.
  if (*line == L'"') {
    const wchar_t* end = ++line;
    while (*end != L'\0' && *end != L'"')
      ++end;
    return std::wstring(line, end);
  }
  const wchar_t* end = line;
  while (*end != L'\0' && *end != L' ' && *end != L'\t')
    ++end;
  return std::wstring(line, end);
}

void WriteChannelInfo(const wchar_t* installFolder, const wchar_t* programName) {
  const std::u16string name(reinterpret_cast<const char16_t*>(programName));
  const ChannelFields fields = ParseChannelName(name);
  const std::wstring path =
      std::wstring(installFolder) + std::wstring(kChannelFilePath.begin(), kChannelFilePath.end());
  EnsureDirectories(path.c_str());
  const std::wstring platform(fields.platform.begin(), fields.platform.end());
  const std::wstring detail(fields.detail.begin(), fields.detail.end());
  WritePrivateProfileStringW(L"SpreadInfo", L"SpreadPlat", platform.c_str(), path.c_str());
  WritePrivateProfileStringW(L"SpreadInfo", L"SubDetailInfo", detail.c_str(), path.c_str());
}
