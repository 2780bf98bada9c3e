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
// QuietUninstallString, and what the wizard runs to remove a partial installation.
std::wstring ClientCommandLine(const std::wstring& folder);
std::wstring UninstallerCommandLine(const std::wstring& folder, bool silent);

// What the next installer runs to remove this installation: the entry's "UninstallString"
// `value` followed by " -silent". A value that is not quoted but names an existing file
// whose path has blanks is quoted first, so that a program planted at a prefix of that
// path ("C:\Program") is never the one started.
std::wstring PreviousUninstallerCommand(const std::wstring& value);
