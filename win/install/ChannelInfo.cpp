#include "win/install/ChannelInfo.h"

#include <windows.h>

#include "core/install/ChannelName.h"
#include "core/install/ManifestText.h"
#include "win/base/Text.h"
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
  const std::u16string name = Utf16(programName);
  const ChannelFields fields = ParseChannelName(name);
  const std::wstring path = installFolder + Wide(kChannelFilePath);
  EnsureDirectories(path.c_str());
  const std::wstring platform = Wide(fields.platform);
  const std::wstring detail = Wide(fields.detail);
  WritePrivateProfileStringW(L"SpreadInfo", L"SpreadPlat", platform.c_str(), path.c_str());
  WritePrivateProfileStringW(L"SpreadInfo", L"SubDetailInfo", detail.c_str(), path.c_str());
}
