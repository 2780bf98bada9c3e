#include "core/install/UninstallEntry.h"

#include <algorithm>

#include "core/install/ManifestText.h"
#include "core/text/NumberText.h"

void AppendFileStamp(const FileStamp& stamp, std::vector<std::uint8_t>* bytes) {
  for (const std::uint64_t field : {stamp.size, stamp.written}) {
    for (int shift = 0; shift < 64; shift += 8)
      bytes->push_back(static_cast<std::uint8_t>(field >> shift));
  }
}

std::vector<std::uint8_t> EncodeFileStamps(const std::vector<FileStamp>& stamps) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(stamps.size() * kFileStampBytes);
  for (const FileStamp& stamp : stamps)
    AppendFileStamp(stamp, &bytes);
  return bytes;
}

std::vector<std::u16string> ChangedFiles(const std::vector<std::u16string>& files,
                                         const std::vector<std::uint8_t>& recorded,
                                         const std::vector<std::optional<FileStamp>>& now) {
  std::vector<std::u16string> changed;
  if (files.empty() || recorded.size() != files.size() * 16 || now.size() != files.size())
    return changed;
  const auto field = [&recorded](std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
      value = value << 8 | recorded[at + static_cast<std::size_t>(i)];
    return value;
  };
  for (std::size_t n = 0; n < files.size(); ++n) {
    if (now[n] && (now[n]->size != field(n * 16) || now[n]->written != field(n * 16 + 8)) &&
        !IsComponentPath(files[n]) && files[n] != kChannelFilePath) {
      changed.push_back(files[n]);
    }
  }
  return changed;
}

std::optional<int> CompareVersions(std::u16string_view a, std::u16string_view b) {
  const auto parts = [](std::u16string_view text, std::vector<std::uint32_t>* out) {
    for (std::size_t start = 0;;) {
      const std::size_t dot = std::min(text.find(u'.', start), text.size());
      std::uint32_t part = 0;
      if (!ParseDecimal(text.substr(start, dot - start), 9, &part))
        return false;
      out->push_back(part);
      if (dot == text.size())
        return out->size() <= 4;
      start = dot + 1;
    }
  };
  std::vector<std::uint32_t> left, right;
  if (!parts(a, &left) || !parts(b, &right))
    return std::nullopt;
  left.resize(4, 0);
  right.resize(4, 0);
  return left < right ? -1 : left > right ? 1 : 0;
}
