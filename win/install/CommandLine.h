// Command lines of the programs the installer starts. Windows hands a child one string and
// the child splits it again (CommandLineToArgvW's rules, which the C runtime follows), so
// every program path and argument we build is quoted: blanks, '&', '(', ')', '^' and any
// letter then survive as one argument.
#pragma once

#include <string>
#include <string_view>

// `argument` in double quotes, with backslashes doubled where they precede a quote or the
// closing quote and embedded quotes escaped, so that the split gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// The installed programs of an installation in `folder` (ending with '\'): the client,
// and the uninstaller with " -silent" when `silent` - the entry's UninstallString and
// QuietUninstallString.
std::wstring ClientCommandLine(const std::wstring& folder);
std::wstring UninstallerCommandLine(const std::wstring& folder, bool silent);
