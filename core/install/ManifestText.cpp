#include "core/install/ManifestText.h"

#include <algorithm>

#include "core/package/PayloadPackage.h"
#include "core/text/AsciiCase.h"
#include "core/text/NumberText.h"

namespace {

std::u16string Line(std::u16string_view key, std::size_t number, std::u16string_view path) {
  std::u16string line(key);
  line += DecimalText<char16_t>(number);
  line += u'=';
  line += path;
  line += u"\r\n";
  return line;
}

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Blank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && Blank(s.back()))
    s.remove_suffix(1);
  return s;
}

// The number a key names after `prefix`: decimal without leading zeros, as the key was
// written; -1 for any other key.
long long KeyNumber(std::string_view key, std::string_view prefix) {
  if (key.size() <= prefix.size() || key.size() > prefix.size() + 9)
    return -1;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiUpper(key[i]) != AsciiUpper(prefix[i]))
      return -1;
  }
  const std::string_view digits = key.substr(prefix.size());
  std::uint32_t n = 0;
  if ((digits.size() > 1 && digits[0] == '0') || !ParseDecimal(digits, 9, &n))
    return -1;
  return n;
}

}  // namespace

std::vector<std::string> NumberedValues(std::string_view section,
                                        std::string_view prefix,
                                        EmptyValue empty) {
  // A list is contiguous from 0, so no number reaches the count of strings in the section.
  std::size_t strings = 0;
  for (const char c : section)
    strings += c == '\0' ? 1 : 0;
  std::vector<std::string> values(strings + 1);
  std::vector<bool> seen(strings + 1, false);
  for (std::size_t start = 0; start < section.size();) {
    std::size_t end = section.find('\0', start);
    if (end == std::string_view::npos)
      end = section.size();
    const std::string_view entry = section.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos)
      continue;
    const long long n = KeyNumber(Trim(entry.substr(0, equals)), prefix);
    if (n < 0 || static_cast<std::size_t>(n) > strings || seen[static_cast<std::size_t>(n)])
      continue;
    std::string_view value = Trim(entry.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    seen[static_cast<std::size_t>(n)] = true;
    values[static_cast<std::size_t>(n)] = std::string(value);
  }
  std::vector<std::string> list;
  for (std::size_t n = 0; n < values.size() && seen[n]; ++n) {
    if (!values[n].empty())
      list.push_back(std::move(values[n]));
    else if (empty == EmptyValue::kEndsTheList)
      break;
  }
  return list;
}

RemovalPlan PlanRemoval(const std::vector<std::u16string>& files,
                        const std::vector<std::u16string>& folders,
                        const std::vector<std::u16string>& kept,
                        std::size_t maxPathUnits) {
  RemovalPlan plan;
  const auto sort = [&](const std::vector<std::u16string>& entries,
                        std::vector<std::u16string>* accepted) {
    for (const std::u16string& entry : entries) {
      if (CheckRelativePath(entry, maxPathUnits) == PackageFault::kNone)
        accepted->push_back(entry);
      else
        plan.refused.push_back(entry);
    }
  };
  sort(files, &plan.files);
  if (folders.empty())
    plan.folders = ManifestFolders(plan.files);
  else
    sort(folders, &plan.folders);
  for (std::size_t n = 0; n < kept.size(); ++n) {
    if (CheckRelativePath(kept[n], maxPathUnits) == PackageFault::kNone)
      plan.kept.push_back({kept[n], KeptFilePath(n)});
    else
      plan.refused.push_back(kept[n]);
  }
  return plan;
}

std::u16string ManifestFileLine(std::size_t number, std::u16string_view path) {
  return Line(u"FILE", number, path);
}

std::u16string ManifestKeptLine(std::size_t number, std::u16string_view path) {
  return Line(u"KEPT", number, path);
}

std::u16string KeptFilePath(std::size_t number) {
  return std::u16string(kKeptFolderName) + u'\\' + DecimalText<char16_t>(number);
}

bool IsComponentPath(std::u16string_view path) {
  return path.size() == kComponentName.size() &&
         std::equal(path.begin(), path.end(), kComponentName.begin(),
                    [](char16_t a, char16_t b) { return AsciiUpper(a) == AsciiUpper(b); });
}

std::u16string ManifestFolderLine(std::size_t number, std::u16string_view path) {
  return Line(u"DIRECTORY", number, path);
}

namespace {

template <typename Paths>
std::vector<std::u16string> FoldersOf(const Paths& files) {
  std::vector<std::u16string> folders;
  // A file in the same folder as the one before it adds nothing: a list of ten thousand
  // files in a hundred folders gathers a few hundred names, not ten thousand.
  std::u16string_view last;
  for (const std::u16string_view file : files) {
    std::u16string_view rest = file.substr(0, std::min(file.size(), file.rfind(u'\\')));
    if (rest.size() == file.size() || (!folders.empty() && rest == last))
      continue;
    last = rest;
    for (std::size_t cut = rest.size(); cut != std::u16string_view::npos; cut = rest.rfind(u'\\')) {
      rest = rest.substr(0, cut);
      folders.emplace_back(rest);
    }
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  std::reverse(folders.begin(), folders.end());
  return folders;
}

}  // namespace

std::vector<std::u16string> ManifestFolders(const std::vector<std::u16string>& files) {
  return FoldersOf(files);
}

std::vector<std::u16string> ManifestFolders(const PathList& files) {
  return FoldersOf(files);
}

std::vector<std::u16string> ManifestFolderList(const PathList& files) {
  std::vector<std::u16string> lines;
  lines.emplace_back(kManifestFolderHeader);
  const std::vector<std::u16string> folders = ManifestFolders(files);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    lines.push_back(ManifestFolderLine(i, folders[i]));
  }
  return lines;
}
