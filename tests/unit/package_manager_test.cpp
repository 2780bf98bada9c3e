// The winget manifest in packaging/winget says what the programs do: each exit code of the
// installer with the response its meaning calls for, switches that the installer reads as
// meant in the order winget puts them, the product's version, names and uninstall key - and
// it keeps to the format's rules (schema 1.6.0). The uninstaller's codes, for which the
// format has no field, are in packaging/README.md's table, checked the same way.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/install/ChannelName.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "core/setup/SetupOptions.h"
#include "uninstaller/ExitCodes.h"

namespace {

// What each exit code asks of a package manager, in winget's words (ReturnResponse), or
// "success" for a code the format takes as success (0, or one in InstallerSuccessCodes).
struct Response {
  SetupExit code;
  const char* response;
};
constexpr Response kResponses[] = {
    {SetupExit::kInstalled, "success"},
    {SetupExit::kUsage, "invalidParameter"},
    // winget has checked the file's hash: what is damaged is the release itself.
    {SetupExit::kIntegrityFailed, "contactSupport"},
    {SetupExit::kFolderRefused, "invalidParameter"},  // the folder given (--location)
    {SetupExit::kNotEnoughSpace, "diskFull"},
    // The space is checked before: what is left is mostly a file in use.
    {SetupExit::kWriteFailed, "fileInUse"},
    {SetupExit::kRegistrationFailed, "contactSupport"},
    {SetupExit::kPackageUnreadable, "contactSupport"},
    {SetupExit::kClientNotEnded, "packageInUse"},
    {SetupExit::kSystemUnsupported, "systemNotSupported"},
    {SetupExit::kPreviousNotRemoved, "packageInUseByApplication"},
    {SetupExit::kApplicationsOpen, "packageInUse"},
    {SetupExit::kCancelled, "cancelledByUser"},
    {SetupExit::kFatal, "contactSupport"},
    {SetupExit::kAlreadyRunning, "installInProgress"},
    // Installed: winget reports success and that a restart finishes it.
    {SetupExit::kRestartRequired, "rebootRequiredToFinish"},
};
static_assert(std::size(kResponses) == std::size(kEveryExit), "a response for every exit code");

struct UninstallResponse {
  int code;
  const char* response;
};
constexpr UninstallResponse kUninstallResponses[] = {
    {kExitRemoved, "success"},
    {kExitIncomplete, "fileInUse"},  // a file held open stays; a second run finishes
    {kExitClientRunning, "packageInUse"},
    {kExitCancelled, "cancelledByUser"},
    {kExitUsage, "invalidParameter"},
    {kExitInstallerRunning, "installInProgress"},
    {kExitSystemUnsupported, "systemNotSupported"},
    {kExitFolderNotInCodePage, "contactSupport"},
    {kExitRestartRequired, "rebootRequiredToFinish"},
};
static_assert(std::size(kUninstallResponses) == std::size(kEveryUninstallExit),
              "a response for every exit code of the uninstaller");

// The values schema 1.6.0 allows, by field name (indices and "Installers." left out).
const std::map<std::string, std::set<std::string>>& Enums() {
  static const std::map<std::string, std::set<std::string>> enums = {
      {"Architecture", {"x86", "x64", "arm", "arm64", "neutral"}},
      {"InstallerType",
       {"msix", "msi", "appx", "exe", "zip", "inno", "nullsoft", "wix", "burn", "pwa", "portable"}},
      {"Scope", {"user", "machine"}},
      {"InstallModes", {"interactive", "silent", "silentWithProgress"}},
      {"Platform", {"Windows.Desktop", "Windows.Universal"}},
      {"UpgradeBehavior", {"install", "uninstallPrevious"}},
      {"ElevationRequirement", {"elevationRequired", "elevationProhibited", "elevatesSelf"}},
      {"ExpectedReturnCodes.ReturnResponse",
       {"packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse",
        "missingDependency", "diskFull", "insufficientMemory", "invalidParameter", "noNetwork",
        "contactSupport", "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated",
        "cancelledByUser", "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported",
        "custom"}},
  };
  return enums;
}

// Each scalar of a manifest under its path: "Installers[0].InstallerSwitches.Silent".
using Fields = std::map<std::string, std::string>;

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A scalar as the manifests write it: plain, or in single quotes ('' for a quote). Anything
// else YAML has (double quotes, flow collections, anchors, tags, block scalars, comments
// after a value, ": " in a plain scalar) is not read: false.
bool Scalar(const std::string& text, std::string& value) {
  value.clear();
  if (text.front() == '\'') {
    if (text.size() < 2 || text.back() != '\'')
      return false;
    const std::string inner = text.substr(1, text.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
      if (inner[i] == '\'' && (i + 1 == inner.size() || inner[++i] != '\''))
        return false;
      value += inner[i];
    }
    return true;
  }
  if (std::string(" \"[]{}&*!|>%@`#").find(text.front()) != std::string::npos ||
      text.find(" #") != std::string::npos || text.find(": ") != std::string::npos)
    return false;
  value = text;
  return true;
}

// Reads the YAML subset the manifests are written in: block mappings and sequences by
// indentation (a sequence's items at its key's indentation or deeper), scalars as Scalar
// reads them, whole-line comments. Returns "" having read every line, else the first line
// it does not read, with its number (a duplicate key too).
std::string ReadYaml(const std::string& text, Fields& fields) {
  struct Open {
    std::size_t indent;
    std::string path;
    bool item;
    int items;          // the last item's index
    std::size_t below;  // the indentation of what it holds, once its first line is read
  };
  std::vector<Open> open;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos || line[indent] == '#')
      continue;
    const std::string failure = "line " + std::to_string(number) + ": " + line;
    std::size_t at = indent;
    std::string rest = line.substr(at);
    const bool item = rest == "-" || rest.compare(0, 2, "- ") == 0;
    // Back to what holds this line: a sequence's items may stand at its key's indentation.
    while (!open.empty() &&
           (open.back().indent > at || (open.back().indent == at && (!item || open.back().item))))
      open.pop_back();
    if (!open.empty() && open.back().below == std::string::npos)
      open.back().below = at;
    if (at != (open.empty() ? 0 : open.back().below) ||
        (item && (open.empty() || open.back().item || rest == "-")))
      return failure;
    std::string parent = open.empty() ? "" : open.back().path;
    if (item) {
      parent += "[" + std::to_string(++open.back().items) + "]";
      open.push_back({at, parent, true, -1, at + 2});
      rest.erase(0, 2);
      at += 2;
      if (rest.find(": ") == std::string::npos && rest.back() != ':') {
        if (!Scalar(rest, fields[parent]))
          return failure;
        continue;
      }
    }
    std::size_t colon = rest.find(": ");
    if (colon == std::string::npos && rest.back() != ':')
      return failure;
    if (colon == std::string::npos)
      colon = rest.size() - 1;  // "Key:", whose value the lines below hold
    const std::string key = rest.substr(0, colon);
    const std::string path = parent.empty() ? key : parent + "." + key;
    if (key.empty() || key.find_first_of(" \t'\"#.[]") != std::string::npos || fields.count(path))
      return failure;
    const std::size_t value = rest.find_first_not_of(' ', colon + 1);
    if (value == std::string::npos)
      open.push_back({at, path, false, -1, std::string::npos});
    else if (!Scalar(rest.substr(value), fields[path]))
      return failure;
  }
  return "";
}

std::string Get(const Fields& fields, const std::string& path) {
  const auto found = fields.find(path);
  return found == fields.end() ? "" : found->second;
}

template <std::size_t N>
std::string Narrow(const wchar_t (&text)[N]) {
  const auto units = product::ToUtf16(text);
  return Utf16ToUtf8(product::View(units));
}

std::string Narrow(const std::u16string& text) {
  return Utf16ToUtf8(text);
}

// A path without its indices and without "Installers.": the field's name in the schema.
std::string SchemaName(const std::string& path) {
  std::string name;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '[')
      i = path.find(']', i);
    else
      name += path[i];
  }
  return name.compare(0, 11, "Installers.") == 0 ? name.substr(11) : name;
}

bool AllOf(const std::string& text, bool (*good)(char)) {
  for (const char c : text) {
    if (!good(c))
      return false;
  }
  return true;
}

bool Letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

// Not one of the characters the schema keeps out of versions: \ / : * ? " < > | and 1-31.
bool VersionUnit(char c) {
  return std::string("\\/:*?\"<>|").find(c) == std::string::npos && !(c >= '\x01' && c <= '\x1f');
}

bool IdentifierUnit(char c) {
  return VersionUnit(c) && c != '.' && c != ' ' && c != '\t';
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// The patterns schema 1.6.0 sets, by field name; a locale in its "ll-CC" form only.
bool Matches(const std::string& name, const std::string& value) {
  if (name == "PackageIdentifier") {
    const std::vector<std::string> parts = Split(value, '.');
    bool good = parts.size() >= 2 && parts.size() <= 8 && value.size() <= 128;
    for (const std::string& part : parts)
      good = good && !part.empty() && part.size() <= 32 && AllOf(part, IdentifierUnit);
    return good;
  }
  if (name == "PackageVersion")
    return !value.empty() && value.size() <= 128 && AllOf(value, VersionUnit);
  if (name == "DefaultLocale" || name == "PackageLocale" || name == "InstallerLocale") {
    const std::vector<std::string> parts = Split(value, '-');
    bool good = value.size() <= 20 && parts[0].size() >= 2 && parts[0].size() <= 3;
    for (const std::string& part : parts)
      good = good && !part.empty() && part.size() <= 8 && AllOf(part, Letter);
    return good;
  }
  if (name.size() > 3 && name.compare(name.size() - 3, 3, "Url") == 0) {
    std::string scheme = value.substr(0, value.find("://"));
    for (char& c : scheme)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return (scheme == "http" || scheme == "https") && value.size() > scheme.size() + 3 &&
           value.size() <= 2048;
  }
  return true;
}

TEST(PackageManifest, WingetManifestSaysWhatTheInstallerDoes) {
  // The three files, by ManifestType, each named as winget-pkgs names it.
  std::map<std::string, Fields> manifests;
  std::map<std::string, std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(SETUP_PACKAGING "/winget")) {
    if (entry.path().extension() != ".yaml")
      continue;
    Fields fields;
    const std::string error = ReadYaml(ReadText(entry.path()), fields);
    ASSERT_EQ(error, "") << entry.path();
    const std::string type = Get(fields, "ManifestType");
    ASSERT_TRUE(manifests.emplace(type, fields).second) << "two of ManifestType " << type;
    names[type] = entry.path().filename().string();
  }
  ASSERT_EQ(manifests.size(), 3u);
  const Fields& version = manifests["version"];
  const Fields& locale = manifests["defaultLocale"];
  const Fields& installer = manifests["installer"];
  const std::string id = Get(version, "PackageIdentifier");
  EXPECT_EQ(names["version"], id + ".yaml");
  EXPECT_EQ(names["installer"], id + ".installer.yaml");
  EXPECT_EQ(names["defaultLocale"], id + ".locale." + Get(version, "DefaultLocale") + ".yaml");
  EXPECT_EQ(Get(locale, "PackageLocale"), Get(version, "DefaultLocale"));

  const std::map<std::string, std::vector<std::string>> required = {
      {"version", {"DefaultLocale"}},
      {"defaultLocale",
       {"PackageLocale", "Publisher", "PackageName", "License", "ShortDescription"}},
      {"installer", {"Installers[0].Architecture", "Installers[0].InstallerUrl"}},
  };
  for (const auto& [type, fields] : manifests) {
    ASSERT_TRUE(required.count(type)) << names[type] << ": ManifestType " << type;
    for (const std::string& field : required.at(type))
      EXPECT_NE(Get(fields, field), "") << names[type] << " needs " << field;
    EXPECT_EQ(Get(fields, "PackageIdentifier"), id) << names[type];
    EXPECT_EQ(Get(fields, "PackageVersion"), Narrow(product::kVersion)) << names[type];
    EXPECT_EQ(Get(fields, "ManifestVersion"), "1.6.0") << names[type];
    for (const auto& [path, value] : fields) {
      const std::string name = SchemaName(path);
      const auto allowed = Enums().find(name);
      EXPECT_TRUE(allowed == Enums().end() || allowed->second.count(value))
          << names[type] << ": " << path << ": " << value;
      EXPECT_TRUE(Matches(name, value)) << names[type] << ": " << path << ": " << value;
    }
  }
  // The build adds the hash of the installer it made (cmake/WingetManifest.cmake).
  EXPECT_EQ(installer.count("Installers[0].InstallerSha256"), 0u);
  EXPECT_EQ(installer.count("Installers[1].Architecture"), 0u) << "one installer";

  // The product's names and the installer's behaviour; an installer's own field overrides
  // the manifest's.
  const auto field = [&installer](const std::string& name) {
    const std::string own = Get(installer, "Installers[0]." + name);
    return own.empty() ? Get(installer, name) : own;
  };
  const std::string key = Narrow(product::kUninstallKeyPath);
  const std::string keyName = key.substr(key.rfind('\\') + 1);
  EXPECT_EQ(key, Narrow(product::kUninstallKeyParent) + "\\" + keyName);
  const std::pair<std::string, std::string> facts[] = {
      {Get(locale, "Publisher"), Narrow(product::kPublisher)},
      {Get(locale, "PackageName"), Narrow(product::kDisplayName)},
      {Get(locale, "PublisherUrl"), Narrow(product::kAboutUrl)},
      {Get(locale, "PublisherSupportUrl"), Narrow(product::kHelpUrl)},
      {Get(locale, "Copyright"), SETUP_COPYRIGHT},
      {field("InstallerType"), "exe"},
      {field("Scope"), "machine"},
      {field("UpgradeBehavior"), "install"},
      {field("ElevationRequirement"), "elevatesSelf"},
      {field("ProductCode"), keyName},
      {field("AppsAndFeaturesEntries[0].ProductCode"), keyName},
      {field("AppsAndFeaturesEntries[0].DisplayName"), Narrow(product::kDisplayName)},
      {field("AppsAndFeaturesEntries[0].Publisher"), Narrow(product::kPublisher)},
  };
  for (const auto& [value, expected] : facts)
    EXPECT_EQ(value, expected);

  // The file winget downloads keeps the URL's name, from which the installer reads its channel.
  const std::string url = field("InstallerUrl");
  EXPECT_EQ(url.rfind(Narrow(product::kAboutUrl), 0), 0u) << url;
  const std::string file = url.substr(url.rfind('/') + 1);
  std::u16string file16;
  ASSERT_TRUE(Utf8ToUtf16(file, &file16));
  const ChannelFields channel = ParseChannelName(file16);
  EXPECT_FALSE(channel.platform.empty() || channel.detail.empty()) << url;

  // Every exit code once, with its response; none that the installer does not return.
  std::map<long long, std::string> listed;
  for (const auto& [path, value] : installer) {
    const std::string name = SchemaName(path);
    std::string response;
    if (name == "ExpectedReturnCodes.InstallerReturnCode")
      response = Get(installer, path.substr(0, path.rfind('.')) + ".ReturnResponse");
    else if (name == "InstallerSuccessCodes")
      response = "success";
    else
      continue;
    const bool negative = !value.empty() && value[0] == '-';
    ASSERT_TRUE(value.size() > negative && value.size() <= 10u + negative &&
                AllOf(value.substr(negative), Digit))
        << path << ": " << value;
    EXPECT_TRUE(listed.emplace(std::stoll(value), response).second) << "listed twice: " << value;
  }
  for (const SetupExit code : kEveryExit) {
    std::vector<const char*> expected;
    for (const Response& row : kResponses) {
      if (row.code == code)
        expected.push_back(row.response);
    }
    ASSERT_EQ(expected.size(), 1u) << static_cast<int>(code);
    const auto found = listed.find(static_cast<int>(code));
    if (code == SetupExit::kInstalled)
      EXPECT_TRUE(found == listed.end()) << "0 is success already, and the schema refuses it";
    else if (found == listed.end())
      ADD_FAILURE() << "the manifest does not list " << static_cast<int>(code);
    else
      EXPECT_EQ(found->second, expected[0]) << static_cast<int>(code);
    if (found != listed.end())
      listed.erase(found);
  }
  for (const auto& [code, response] : listed)
    ADD_FAILURE() << "the installer never returns " << code << " (" << response << ")";

  // The switches, as winget puts them together: the mode, the log, the location last (/D=
  // takes the rest of the line), with paths that hold blanks and letters outside ASCII.
  const std::string log = "C:\\Users\\Test User\\AppData\\Local\\WinGet 日志\\install.log";
  const std::string folder = "D:\\Program Files\\Korvel 视频";
  const auto with = [](std::string text, const std::string& token, const std::string& value) {
    const std::size_t at = text.find(token);
    return at == std::string::npos ? text : text.replace(at, token.size(), value);
  };
  for (const char* mode : {"Silent", "SilentWithProgress"}) {
    const std::string line =
        "\"C:\\Users\\Test User\\AppData\\Local\\Temp\\WinGet\\" + file + "\" " +
        field(std::string("InstallerSwitches.") + mode) + " " +
        with(field("InstallerSwitches.Log"), "<LOGPATH>", log) + " " +
        with(field("InstallerSwitches.InstallLocation"), "<INSTALLPATH>", folder);
    std::u16string line16;
    ASSERT_TRUE(Utf8ToUtf16(line, &line16));
    const SetupOptions options = ParseSetupOptions(line16);
    EXPECT_EQ(options.error, SwitchError::kNone) << line << ": " << Narrow(options.offending);
    EXPECT_EQ(options.silent, std::string(mode) == "Silent") << line;
    EXPECT_EQ(options.passive, std::string(mode) == "SilentWithProgress") << line;
    EXPECT_EQ(Narrow(options.log), log) << line;
    EXPECT_EQ(Narrow(options.folder), folder) << line;
  }
}

// The uninstaller's codes, which an installer manifest has no field for, in the words of the
// same responses: packaging/README.md's table names each once.
TEST(PackageManifest, ReadmeTableSaysWhatTheUninstallerReturns) {
  const std::string readme = ReadText(SETUP_PACKAGING "/README.md");
  const std::size_t table = readme.find("Exit codes of `uninstall.exe`");
  ASSERT_NE(table, std::string::npos);
  std::istringstream lines(readme.substr(table));
  std::string line;
  std::map<int, std::string> rows;
  while (std::getline(lines, line) && !(line.empty() && !rows.empty())) {
    std::vector<std::string> cells = Split(line, '|');
    for (std::string& cell : cells) {
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
    }
    if (cells.size() > 3 && cells[0].empty() && !cells[1].empty() && AllOf(cells[1], Digit)) {
      EXPECT_TRUE(rows.emplace(std::stoi(cells[1]), cells[2]).second) << line;
    }
  }
  const auto& responses = Enums().at("ExpectedReturnCodes.ReturnResponse");
  for (const UninstallResponse& row : kUninstallResponses) {
    EXPECT_TRUE(row.code == kExitRemoved || responses.count(row.response)) << row.response;
    EXPECT_EQ(rows[row.code], row.response) << row.code;
    rows.erase(row.code);
  }
  for (const int code : kEveryUninstallExit) {
    int count = 0;
    for (const UninstallResponse& row : kUninstallResponses)
      count += row.code == code;
    EXPECT_EQ(count, 1) << code;
  }
  for (const auto& [code, response] : rows)
    ADD_FAILURE() << "uninstall.exe never returns " << code << " (" << response << ")";
}

}  // namespace
