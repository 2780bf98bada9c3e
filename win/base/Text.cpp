#include "win/base/Text.h"

std::string ToCodePage(std::wstring_view text, UINT codePage) {
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0)
    return {};
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
  return bytes;
}

std::wstring FromCodePage(std::string_view bytes, UINT codePage, DWORD flags) {
  const int length = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
  if (units <= 0)
    return {};
  std::wstring text(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(codePage, flags, bytes.data(), length, text.data(), units);
  return text;
}

bool SpelledInCodePage(std::wstring_view text, UINT codePage) {
  const int length = static_cast<int>(text.size());
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length,
                                        nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy)
    return false;
  std::string spelled(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, spelled.data(), bytes,
                      nullptr, nullptr);
  return FromCodePage(spelled, codePage) == text;
}
