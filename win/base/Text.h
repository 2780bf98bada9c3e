// Text between the portable core (UTF-16 in std::u16string), the system's wide calls and
// its single-byte code pages.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The core's UTF-16 text as a wide string, and back: the same code units.
inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}
inline std::u16string Utf16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// `text` in code page `codePage`, characters it has no spelling for replaced by its
// default character; empty when it cannot be converted at all.
std::string ToCodePage(std::wstring_view text, UINT codePage = CP_ACP);

// `bytes` read in code page `codePage`; with MB_ERR_INVALID_CHARS in `flags`, empty when
// they are no text in it.
std::wstring FromCodePage(std::string_view bytes,
                          UINT codePage = CP_ACP,
                          DWORD flags = MB_ERR_INVALID_CHARS);

// Whether `text` comes back whole from a round trip through code page `codePage`: no
// character replaced, none spelled by a look-alike.
bool SpelledInCodePage(std::wstring_view text, UINT codePage = CP_ACP);
