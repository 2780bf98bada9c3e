// The installer's command line: split by Windows' rules - under Wine compared with
// CommandLineToArgvW itself - and read into switches in any letter case, /D= taking the rest
// of the line, a malformed switch refused with the argument that was.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/package/Utf8.h"
#include "core/setup/SetupOptions.h"
#include "uninstaller/ExitCodes.h"

#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <shellapi.h>
#endif

namespace {

std::string Narrow(const std::u16string& text) {
  return Utf16ToUtf8(text);
}

struct SplitRow {
  std::u16string line;
  std::vector<std::u16string> arguments;  // the program name first
};

TEST(SetupOptions, SplitsLikeWindows) {
  const SplitRow rows[] = {
      {u"setup.exe", {u"setup.exe"}},
      {u"\"C:\\Program Files\\setup.exe\" /S", {u"C:\\Program Files\\setup.exe", u"/S"}},
      {u"C:\\a\"b c\"\\setup.exe x", {u"C:\\a\"b", u"c\\setup.exe x"}},
      {u"setup.exe \"a b\"  c\t\td  ", {u"setup.exe", u"a b", u"c", u"d"}},
      {u"setup.exe a\\\\b \"c\\\\\" d", {u"setup.exe", u"a\\\\b", u"c\\", u"d"}},
      {u"setup.exe \\\"x\\\" \"y\\\"z\"", {u"setup.exe", u"\"x\"", u"y\"z"}},
      {u"setup.exe \\\\\\\"a", {u"setup.exe", u"\\\"a"}},
      // A doubled quote inside quotes is a letter, and ends the quoted part.
      {u"setup.exe \"a\"\"b\" c", {u"setup.exe", u"a\"b c"}},
      {u"setup.exe \"\"\"a\"\"\"", {u"setup.exe", u"\"a\""}},
      {u"setup.exe \"\" x\"\"y", {u"setup.exe", u"", u"xy"}},
      {u"setup.exe \"unclosed arg", {u"setup.exe", u"unclosed arg"}},
      {u"setup.exe /D=C:\\互动 视频", {u"setup.exe", u"/D=C:\\互动", u"视频"}},
  };
  for (const SplitRow& row : rows) {
    std::vector<std::u16string> split;
    for (const CommandArgument& argument : SplitCommandLine(row.line))
      split.push_back(argument.text);
    EXPECT_EQ(split, row.arguments) << Narrow(row.line);
#ifdef _WIN32
    int count = 0;
    LPWSTR* windows =
        CommandLineToArgvW(reinterpret_cast<const wchar_t*>(row.line.c_str()), &count);
    ASSERT_NE(windows, nullptr);
    std::vector<std::u16string> expected;
    for (int i = 0; i < count; ++i)
      expected.emplace_back(reinterpret_cast<const char16_t*>(windows[i]));
    LocalFree(windows);
    EXPECT_EQ(split, expected) << "CommandLineToArgvW differs for " << Narrow(row.line);
#endif
  }
}

struct OptionsRow {
  std::u16string line;
  SetupOptions expected;
};

SetupOptions Options(bool silent,
                     std::u16string folder = u"",
                     std::u16string log = u"",
                     SwitchError error = SwitchError::kNone,
                     std::u16string offending = u"") {
  SetupOptions options;
  options.silent = silent;
  options.folder = std::move(folder);
  options.log = std::move(log);
  options.error = error;
  options.offending = std::move(offending);
  return options;
}

SetupOptions AllChoices() {
  SetupOptions options = Options(true, u"", u"C:\\l.log");
  options.noRun = options.noShortcuts = options.startup = options.noCloseApplications = true;
  return options;
}

SetupOptions Passive(bool noBoxes = false) {
  SetupOptions options;
  options.passive = true;
  options.noBoxes = noBoxes;
  return options;
}

SetupOptions Help() {
  SetupOptions options;
  options.help = true;
  return options;
}

TEST(SetupOptions, ReadsTheSwitches) {
  const OptionsRow rows[] = {
      {u"setup.exe", {}},
      {u"setup.exe /s /norun /NoShortcuts /STARTUP /NoCloseApplications /log=C:\\l.log",
       AllChoices()},
      {u"setup.exe \"/LOG=C:\\My Logs\\x.log\" /S", Options(true, u"", u"C:\\My Logs\\x.log")},
      {u"setup.exe /S /D=C:\\Program Files\\互动 视频  ",
       Options(true, u"C:\\Program Files\\互动 视频")},
      {u"setup.exe /S /d=\"C:\\a b\"", Options(true, u"C:\\a b")},
      {u"setup.exe /S \"/D=C:\\a b\"", Options(true, u"C:\\a b")},
      {u"setup.exe /D=\\\\server\\share\\app", Options(false, u"\\\\server\\share\\app")},
      {u"setup.exe /D=D:/games", Options(false, u"D:/games")},
      // The rest of the line is the folder: a switch after it is part of its name.
      {u"setup.exe /D=C:\\x /S", Options(false, u"C:\\x /S")},
      {u"setup.exe /?", Help()},
      // Refused, with the argument named; the switches after a refused one still count.
      {u"setup.exe /X /S", Options(true, u"", u"", SwitchError::kUnknown, u"/X")},
      // What other installers call their quiet modes, and what admins add to them.
      {u"setup.exe /VERYSILENT /NORESTART", Options(true)},
      {u"setup.exe /passive /SuppressMsgBoxes", Passive(true)},
      {u"setup.exe /silent", Passive()},
      {u"setup.exe /PASSIVE /NoRestart", Passive()},
      {u"setup.exe /QUIET", Options(false, u"", u"", SwitchError::kUnknown, u"/QUIET")},
      {u"setup.exe C:\\games", Options(false, u"", u"", SwitchError::kUnknown, u"C:\\games")},
      {u"setup.exe /S /D=relative\\x",
       Options(true, u"relative\\x", u"", SwitchError::kBadFolder, u"/D=relative\\x")},
      {u"setup.exe /D=", Options(false, u"", u"", SwitchError::kBadFolder, u"/D=")},
      {u"setup.exe /D=C:\\a|b",
       Options(false, u"C:\\a|b", u"", SwitchError::kBadFolder, u"/D=C:\\a|b")},
      {u"setup.exe /D=C:\\a:b",
       Options(false, u"C:\\a:b", u"", SwitchError::kBadFolder, u"/D=C:\\a:b")},
      {u"setup.exe /D=\\\\server",
       Options(false, u"\\\\server", u"", SwitchError::kBadFolder, u"/D=\\\\server")},
      {u"setup.exe /LOG= /S", Options(true, u"", u"", SwitchError::kBadLog, u"/LOG=")},
  };
  for (const OptionsRow& row : rows) {
    const SetupOptions o = ParseSetupOptions(row.line);
    const SetupOptions& e = row.expected;
    const std::string line = Narrow(row.line);
    EXPECT_EQ(o.silent, e.silent) << line;
    EXPECT_EQ(o.passive, e.passive) << line;
    EXPECT_EQ(o.noBoxes, e.noBoxes) << line;
    EXPECT_EQ(o.help, e.help) << line;
    EXPECT_EQ(o.noRun, e.noRun) << line;
    EXPECT_EQ(o.noShortcuts, e.noShortcuts) << line;
    EXPECT_EQ(o.startup, e.startup) << line;
    EXPECT_EQ(o.noCloseApplications, e.noCloseApplications) << line;
    EXPECT_EQ(Narrow(o.folder), Narrow(e.folder)) << line;
    EXPECT_EQ(Narrow(o.log), Narrow(e.log)) << line;
    EXPECT_EQ(o.error, e.error) << line;
    EXPECT_EQ(Narrow(o.offending), Narrow(e.offending)) << line;
  }
}

// The README's tables name every exit code the programs return: the installer's table each
// SetupExit, the uninstaller's each of its codes, as a row of its own.
TEST(SetupOptions, EveryExitCodeIsInTheReadme) {
  std::ifstream file(SETUP_README, std::ios::binary);
  ASSERT_TRUE(file) << SETUP_README;
  std::stringstream text;
  text << file.rdbuf();
  const std::string readme = text.str();
  const std::size_t installer = readme.find("Exit codes of the installer");
  const std::size_t uninstaller = readme.find("Exit codes of `uninstall.exe`");
  ASSERT_NE(installer, std::string::npos);
  ASSERT_NE(uninstaller, std::string::npos);
  const std::string installerTable = readme.substr(installer, uninstaller - installer);
  const std::string uninstallerTable = readme.substr(uninstaller, 3000);
  const auto row = [](int code) { return "\n| " + std::to_string(code) + " "; };
  for (const SetupExit code : kEveryExit) {
    EXPECT_NE(installerTable.find(row(static_cast<int>(code))), std::string::npos)
        << static_cast<int>(code);
  }
  for (const int code : kEveryUninstallExit)
    EXPECT_NE(uninstallerTable.find(row(code)), std::string::npos) << code;
}

}  // namespace
