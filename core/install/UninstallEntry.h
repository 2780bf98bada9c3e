// What the uninstall entry records of an installation, in the portable terms the commit
// writes and the next installer reads: one value of the entry, the FileStamps record of the
// files as installed (and which of them their user changed since), and the order of two
// versions (DisplayVersion against this installer's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One value of the uninstall entry as the commit writes it; kAbsent deletes the value.
struct EntryValue {
  enum class Kind { kText, kNumber, kBytes, kAbsent };
  std::u16string name;
  Kind kind = Kind::kText;
  std::u16string text;
  std::uint32_t number = 0;
  std::vector<std::uint8_t> bytes;
  bool operator==(const EntryValue&) const = default;

  static EntryValue Text(std::u16string name, std::u16string text) {
    EntryValue value;
    value.name = std::move(name);
    value.text = std::move(text);
    return value;
  }
  static EntryValue Number(std::u16string name, std::uint32_t number) {
    EntryValue value = Absent(std::move(name));
    value.kind = Kind::kNumber;
    value.number = number;
    return value;
  }
  static EntryValue Bytes(std::u16string name, std::vector<std::uint8_t> bytes) {
    EntryValue value = Absent(std::move(name));
    value.kind = Kind::kBytes;
    value.bytes = std::move(bytes);
    return value;
  }
  static EntryValue Absent(std::u16string name) {
    EntryValue value;
    value.name = std::move(name);
    value.kind = Kind::kAbsent;
    return value;
  }
};

// A file's size and last-write time, as the entry's value FileStamps records each listed
// file's: 16 bytes a file, both little-endian, in the manifest's order.
struct FileStamp {
  std::uint64_t size = 0;
  std::uint64_t written = 0;
};
inline constexpr std::size_t kFileStampBytes = 16;
void AppendFileStamp(const FileStamp& stamp, std::vector<std::uint8_t>* bytes);
std::vector<std::uint8_t> EncodeFileStamps(const std::vector<FileStamp>& stamps);

// The files of `files` (a manifest's list) whose stamp now (`now`, by file; none for a file
// that is not there) differs from the one `recorded` holds: the files their user changed.
// None unless `recorded` holds exactly one stamp a file. The component and the channel file
// are the installation's own and never count.
std::vector<std::u16string> ChangedFiles(const std::vector<std::u16string>& files,
                                         const std::vector<std::uint8_t>& recorded,
                                         const std::vector<std::optional<FileStamp>>& now);

// Compares two versions ("1.2", "1.2.3.4") part by part as numbers, a missing part being 0:
// negative, 0 or positive; none when either is no version.
std::optional<int> CompareVersions(std::u16string_view a, std::u16string_view b);
