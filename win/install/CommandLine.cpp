#include "win/install/CommandLine.h"

#include <windows.h>

#include "core/product/Product.h"

std::wstring QuoteArgument(std::wstring_view argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');  // the closing quote follows
  quoted += L'"';
  return quoted;
}

std::wstring ClientCommandLine(const std::wstring& folder) {
  return QuoteArgument(folder + product::kClientFile);
}

std::wstring UninstallerCommandLine(const std::wstring& folder, bool silent) {
  return QuoteArgument(folder + product::kUninstallerFile) + (silent ? L" -silent" : L"");
}
