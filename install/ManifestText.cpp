#include "install/ManifestText.h"

#include <algorithm>

namespace {

std::u16string Decimal(std::size_t n) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n != 0);
  return digits;
}

std::u16string Line(std::u16string_view key, std::size_t number, std::u16string_view path) {
  std::u16string line(key);
  line += Decimal(number);
  line += u'=';
  line += path;
  line += u"\r\n";
  return line;
}

}  // namespace

std::u16string ManifestFileLine(std::size_t number, std::u16string_view path) {
  return Line(u"FILE", number, path);
}

std::u16string ManifestFolderLine(std::size_t number, std::u16string_view path) {
  return Line(u"DIRECTORY", number, path);
}

std::vector<std::u16string> ManifestFolders(const std::vector<std::u16string>& files) {
  std::vector<std::u16string> folders;
  for (const std::u16string& file : files) {
    std::u16string_view rest(file);
    for (std::size_t cut = rest.rfind(u'\\'); cut != std::u16string_view::npos;
         cut = rest.rfind(u'\\')) {
      rest = rest.substr(0, cut);
      folders.emplace_back(rest);
    }
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  std::reverse(folders.begin(), folders.end());
  return folders;
}

std::vector<std::u16string> ManifestListLines(const std::vector<std::u16string>& files) {
  std::vector<std::u16string> lines;
  for (std::size_t i = 0; i < files.size(); ++i)
    lines.push_back(ManifestFileLine(i, files[i]));
  lines.emplace_back(kManifestFolderHeader);
  const std::vector<std::u16string> folders = ManifestFolders(files);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    lines.push_back(ManifestFolderLine(i, folders[i]));
  }
  return lines;
}
