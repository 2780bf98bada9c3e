// Fuzz target for the uninstaller's reading of its manifest: a section as the profile call
// returns it gives the same values as looking each numbered key up one by one would (the
// profile call's own rules, written plainly here), and the removal planned from them acts
// only on paths that keep to the package's rules, refuses the rest, and derives each
// folder once, deepest first, from the files it accepted.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/install/ManifestText.h"
#include "core/package/PayloadPackage.h"

namespace {

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

bool SameKey(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    if (up(a[i]) != up(b[i]))
      return false;
  }
  return true;
}

// One key looked up as the profile call looks it up: the first string whose key matches.
bool Lookup(std::string_view section, const std::string& key, std::string* value) {
  for (std::size_t start = 0; start < section.size();) {
    std::size_t end = section.find('\0', start);
    if (end == std::string_view::npos)
      end = section.size();
    const std::string_view entry = section.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos || !SameKey(Trim(entry.substr(0, equals)), key))
      continue;
    std::string_view v = Trim(entry.substr(equals + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    *value = std::string(v);
    return true;
  }
  return false;
}

std::vector<std::string> OneByOne(std::string_view section,
                                  const std::string& prefix,
                                  EmptyValue empty = EmptyValue::kEndsTheList) {
  std::vector<std::string> values;
  std::string value;
  for (std::size_t n = 0; Lookup(section, prefix + std::to_string(n), &value); ++n) {
    if (!value.empty())
      values.push_back(value);
    else if (empty == EmptyValue::kEndsTheList)
      break;
  }
  return values;
}

std::vector<std::u16string> Wide(const std::vector<std::string>& values) {
  std::vector<std::u16string> wide;
  for (const std::string& v : values)
    wide.emplace_back(v.begin(), v.end());  // each byte a unit, as a single-byte code page
  return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::size_t room = data[0];
  const std::string_view section(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<std::string> files = NumberedValues(section, "FILE");
  const std::vector<std::string> folders =
      NumberedValues(section, "DIRECTORY", EmptyValue::kSkipped);
  if (files != OneByOne(section, "FILE") ||
      folders != OneByOne(section, "DIRECTORY", EmptyValue::kSkipped))
    std::abort();

  const std::vector<std::u16string> wideFiles = Wide(files);
  const std::vector<std::u16string> kept = Wide(NumberedValues(section, "KEPT"));
  const RemovalPlan plan = PlanRemoval(wideFiles, Wide(folders), kept, room);
  // Each accepted kept file is put back from its own place, numbered as its line.
  for (const KeptFile& k : plan.kept) {
    const auto at = std::find(kept.begin(), kept.end(), k.path);
    if (at == kept.end() || CheckRelativePath(k.path, room) != PackageFault::kNone ||
        k.kept != KeptFilePath(static_cast<std::size_t>(at - kept.begin())))
      std::abort();
  }
  // Every file is either acted on or refused, in order, by the package's rules.
  std::size_t accepted = 0, refused = 0;
  for (const std::u16string& file : wideFiles) {
    const bool ok = CheckRelativePath(file, room) == PackageFault::kNone;
    if (ok ? (accepted >= plan.files.size() || plan.files[accepted++] != file)
           : (refused >= plan.refused.size() || plan.refused[refused++] != file)) {
      std::abort();
    }
  }
  if (accepted != plan.files.size())
    std::abort();
  for (const std::u16string& folder : plan.folders) {
    if (CheckRelativePath(folder, room) != PackageFault::kNone)
      std::abort();
  }
  if (folders.empty()) {
    // Derived: each an ancestor of an accepted file, once, before every folder above it.
    for (std::size_t i = 0; i < plan.folders.size(); ++i) {
      const std::u16string& folder = plan.folders[i];
      bool holds = false;
      for (const std::u16string& file : plan.files)
        holds =
            holds || (file.size() > folder.size() && file.compare(0, folder.size(), folder) == 0 &&
                      file[folder.size()] == u'\\');
      if (!holds)
        std::abort();
      for (std::size_t j = 0; j < i; ++j) {
        const std::u16string& earlier = plan.folders[j];
        if (earlier == folder ||
            (folder.size() > earlier.size() && folder.compare(0, earlier.size(), earlier) == 0 &&
             folder[earlier.size()] == u'\\')) {
          std::abort();  // a repeat, or a folder after one it contains
        }
      }
    }
  }
  return 0;
}
