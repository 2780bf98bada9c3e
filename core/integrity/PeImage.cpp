#include "core/integrity/PeImage.h"

#include "core/integrity/PeLayout.h"
#include "core/text/AsciiCase.h"
#include "core/text/LittleEndian.h"

namespace {

constexpr std::uint32_t kStringTableType = 6;
// type -> name -> language -> data: a real directory has two subdirectory hops below the
// type level; anything deeper is a loop or garbage.
constexpr unsigned kMaxHops = 4;

bool Fits(std::size_t size, std::uint64_t position, std::uint64_t length) {
  return position <= size && length <= size - position;
}

}  // namespace

const char* DescribePeStatus(PeStatus status) {
  switch (status) {
    case PeStatus::kOk:
      return "ok";
    case PeStatus::kNotPe:
      return "not a PE executable";
    case PeStatus::kTruncated:
      return "the PE headers or section table run past the end of the file";
    case PeStatus::kNoResourceDirectory:
      return "the executable has no resource directory";
    case PeStatus::kNoStringTable:
      return "the executable has no string table";
    case PeStatus::kNoSuchResource:
      return "the executable has no such resource";
    case PeStatus::kBadResourceDirectory:
      return "the resource directory is damaged";
    case PeStatus::kResourceLoop:
      return "the resource directory loops";
    case PeStatus::kDataOutsideFile:
      return "a resource's data lie outside the file's sections";
    case PeStatus::kEmptyFile:
      return "the file is empty";
    case PeStatus::kFileTooLarge:
      return "the file is 104,857,600 bytes or larger";
    case PeStatus::kBadCertificateTable:
      return "the certificate table is not where a signature puts it (last in the file, "
             "8-byte aligned, its length matching)";
    case PeStatus::kResourcesNotAlone:
      return "the resources do not fill a section of their own at the end of the image (only "
             "base relocations may follow them)";
    case PeStatus::kSigned:
      return "the file is signed: changing it would break its signature; sign the result";
    case PeStatus::kAppendedData:
      return "data follow the last section of the file";
  }
  return "unknown status";
}

PeStatus PeImage::Parse(const std::uint8_t* data, std::size_t size) {
  *this = PeImage{};
  data_ = data;
  size_ = size;
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z')
    return PeStatus::kNotPe;
  const std::uint32_t pe = U32(data + 0x3C);
  if (!Fits(size, pe, 24))
    return PeStatus::kNotPe;
  if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) {
    return PeStatus::kNotPe;
  }
  const std::uint16_t sectionCount = U16(data + pe + 6);
  const std::uint16_t optionalSize = U16(data + pe + 20);
  const std::uint32_t optional = pe + 24;
  if (!Fits(size, optional, optionalSize))
    return PeStatus::kTruncated;
  if (optionalSize < 2)
    return PeStatus::kNotPe;
  const std::uint16_t magic = U16(data + optional);
  std::uint32_t directories;
  if (magic == 0x10B) {
    directories = 96;
  } else if (magic == 0x20B) {
    directories = 112;
    is64_ = true;
  } else {
    return PeStatus::kNotPe;
  }
  if (optionalSize < directories)
    return PeStatus::kTruncated;
  checksumPosition_ = optional + 64;
  checksum_ = U32(data + checksumPosition_);
  const std::uint32_t declared = U32(data + optional + directories - 4);
  const auto room = static_cast<std::uint32_t>((optionalSize - directories) / kPeEntryBytes);
  directoryCount_ = declared < room ? declared : room;
  directoryPosition_ = optional + directories;

  const std::uint64_t table = std::uint64_t{optional} + optionalSize;
  if (!Fits(size, table, std::uint64_t{sectionCount} * kPeSectionBytes)) {
    return PeStatus::kTruncated;
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const std::uint8_t* s = data + table + i * kPeSectionBytes;
    const PeSection section{U32(s + 12), U32(s + 8), U32(s + 20), U32(s + 16)};
    sections_.push_back(section);
    if (section.rawSize > 0) {
      const std::uint64_t end = std::uint64_t{section.rawPosition} + section.rawSize;
      if (end > endOfSections_) {
        endOfSections_ = end > 0xffffffffu ? 0xffffffffu : static_cast<std::uint32_t>(end);
      }
    }
  }
  resourceRva_ = DataDirectory(2).position;
  return PeStatus::kOk;
}

std::uint32_t PeImage::DataDirectoryPosition(unsigned index) const {
  return index < directoryCount_
             ? static_cast<std::uint32_t>(directoryPosition_ + index * kPeEntryBytes)
             : 0;
}

FileRange PeImage::DataDirectory(unsigned index) const {
  if (index >= directoryCount_)
    return {};
  const std::uint8_t* d = data_ + directoryPosition_ + index * kPeEntryBytes;
  return {U32(d), U32(d + 4)};
}

bool PeImage::RvaToPosition(std::uint32_t rva,
                            std::uint32_t length,
                            std::uint32_t* position) const {
  for (const PeSection& s : sections_) {
    if (rva < s.virtualAddress || rva - s.virtualAddress >= s.rawSize)
      continue;
    const std::uint32_t offset = rva - s.virtualAddress;
    if (length > s.rawSize - offset)
      return false;
    const std::uint64_t at = std::uint64_t{s.rawPosition} + offset;
    if (!Fits(size_, at, length))
      return false;
    *position = static_cast<std::uint32_t>(at);
    return true;
  }
  return false;
}

bool PeImage::ReadDirectory(std::uint32_t offset, std::uint16_t* named, std::uint16_t* ids) const {
  const std::uint64_t rva = std::uint64_t{resourceRva_} + offset;
  std::uint32_t at;
  if (rva > 0xffffffffu ||
      !RvaToPosition(static_cast<std::uint32_t>(rva), kPeDirectoryBytes, &at)) {
    return false;
  }
  *named = U16(data_ + at + 12);
  *ids = U16(data_ + at + 14);
  return true;
}

bool PeImage::ReadEntry(std::uint32_t directory, std::uint32_t index, Entry* entry) const {
  const std::uint64_t rva = std::uint64_t{resourceRva_} + directory + kPeDirectoryBytes +
                            std::uint64_t{index} * kPeEntryBytes;
  std::uint32_t at;
  if (rva > 0xffffffffu || !RvaToPosition(static_cast<std::uint32_t>(rva), kPeEntryBytes, &at)) {
    return false;
  }
  entry->name = U32(data_ + at);
  entry->data = U32(data_ + at + 4);
  return true;
}

bool PeImage::NameEquals(std::uint32_t nameOffset, std::u16string_view name) const {
  const std::uint64_t rva = std::uint64_t{resourceRva_} + (nameOffset & ~kPeHighBit);
  std::uint32_t at;
  if (rva > 0xffffffffu || !RvaToPosition(static_cast<std::uint32_t>(rva), 2, &at)) {
    return false;
  }
  const std::uint16_t length = U16(data_ + at);
  if (length != name.size())
    return false;
  if (!RvaToPosition(static_cast<std::uint32_t>(rva) + 2, 2u * length, &at))
    return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (AsciiUpper(static_cast<char16_t>(U16(data_ + at + 2 * i))) != AsciiUpper(name[i]))
      return false;
  }
  return true;
}

PeStatus PeImage::DataEntry(std::uint32_t offset, FileRange* range) const {
  const std::uint64_t rva = std::uint64_t{resourceRva_} + offset;
  std::uint32_t at;
  if (rva > 0xffffffffu ||
      !RvaToPosition(static_cast<std::uint32_t>(rva), kPeDataEntryBytes, &at)) {
    return PeStatus::kBadResourceDirectory;
  }
  const std::uint32_t dataRva = U32(data_ + at);
  const std::uint32_t size = U32(data_ + at + 4);
  std::uint32_t position;
  if (!RvaToPosition(dataRva, size, &position))
    return PeStatus::kDataOutsideFile;
  *range = {position, size};
  return PeStatus::kOk;
}

PeStatus PeImage::FindDigestBlock(FileRange* block, std::uint32_t* blockId) const {
  if (!ResourceRoot())
    return PeStatus::kNoResourceDirectory;
  std::uint16_t named, ids;
  if (!ReadDirectory(0, &named, &ids))
    return PeStatus::kBadResourceDirectory;
  Entry entry{};
  bool found = false;
  for (std::uint32_t i = 0; i < std::uint32_t{named} + ids && !found; ++i) {
    if (!ReadEntry(0, i, &entry))
      return PeStatus::kBadResourceDirectory;
    found = (entry.name & kPeHighBit) == 0 && entry.name == kStringTableType;
  }
  if (!found)
    return PeStatus::kNoStringTable;
  *blockId = 0;
  for (unsigned hop = 0; entry.data & kPeHighBit; ++hop) {
    if (hop == kMaxHops)
      return PeStatus::kResourceLoop;
    const std::uint32_t directory = entry.data & ~kPeHighBit;
    if (!ReadDirectory(directory, &named, &ids))
      return PeStatus::kBadResourceDirectory;
    if (std::uint32_t{named} + ids == 0 || !ReadEntry(directory, 0, &entry)) {
      return PeStatus::kBadResourceDirectory;
    }
    if (hop == 0)
      *blockId = (entry.name & kPeHighBit) ? 0 : entry.name;
  }
  return DataEntry(entry.data, block);
}

PeStatus PeImage::FindNamedTypeResource(std::u16string_view typeName,
                                        std::uint32_t id,
                                        FileRange* range) const {
  return FindResourceOfType(&typeName, 0, id, range);
}

PeStatus PeImage::FindTypedResource(std::uint32_t typeId,
                                    std::uint32_t id,
                                    FileRange* range) const {
  return FindResourceOfType(nullptr, typeId, id, range);
}

PeStatus PeImage::FindResourceOfType(const std::u16string_view* typeName,
                                     std::uint32_t typeId,
                                     std::uint32_t id,
                                     FileRange* range) const {
  if (!ResourceRoot())
    return PeStatus::kNoResourceDirectory;
  std::uint16_t named, ids;
  if (!ReadDirectory(0, &named, &ids))
    return PeStatus::kBadResourceDirectory;
  // Named types come first in a directory, then those with an id.
  const std::uint32_t first = typeName != nullptr ? 0 : named;
  const std::uint32_t end = typeName != nullptr ? named : std::uint32_t{named} + ids;
  for (std::uint32_t i = first; i < end; ++i) {
    Entry type{};
    if (!ReadEntry(0, i, &type))
      return PeStatus::kBadResourceDirectory;
    const bool match = typeName != nullptr
                           ? (type.name & kPeHighBit) && NameEquals(type.name, *typeName)
                           : type.name == typeId;
    if (match)
      return FindInType(type, id, range);
  }
  return PeStatus::kNoSuchResource;
}

PeStatus PeImage::FindInType(const Entry& type, std::uint32_t id, FileRange* range) const {
  if (!(type.data & kPeHighBit))
    return PeStatus::kNoSuchResource;
  const std::uint32_t names = type.data & ~kPeHighBit;
  std::uint16_t named, ids;
  if (!ReadDirectory(names, &named, &ids))
    return PeStatus::kBadResourceDirectory;
  Entry entry{};
  bool found = false;
  for (std::uint32_t i = named; i < std::uint32_t{named} + ids && !found; ++i) {
    if (!ReadEntry(names, i, &entry))
      return PeStatus::kBadResourceDirectory;
    found = entry.name == id;
  }
  if (!found)
    return PeStatus::kNoSuchResource;
  if (entry.data & kPeHighBit) {  // the language level: take the first
    const std::uint32_t languages = entry.data & ~kPeHighBit;
    if (!ReadDirectory(languages, &named, &ids))
      return PeStatus::kBadResourceDirectory;
    if (std::uint32_t{named} + ids == 0 || !ReadEntry(languages, 0, &entry)) {
      return PeStatus::kBadResourceDirectory;
    }
    if (entry.data & kPeHighBit)
      return PeStatus::kBadResourceDirectory;
  }
  return DataEntry(entry.data, range);
}

PeStatus PeImage::ImportedDlls(std::vector<std::string>* names) const {
  names->clear();
  // Import descriptors are 20 bytes with the name's RVA at +12; delay-load descriptors are
  // 32 bytes with it at +4. Both tables end with an all-zero descriptor.
  struct Table {
    unsigned directory;
    std::uint32_t size;
    std::uint32_t nameAt;
  };
  for (const Table& t : {Table{1, 20, 12}, Table{13, 32, 4}}) {
    const FileRange dir = DataDirectory(t.directory);
    if (dir.position == 0)
      continue;
    for (std::uint32_t rva = dir.position;; rva += t.size) {
      std::uint32_t at;
      if (!RvaToPosition(rva, t.size, &at))
        return PeStatus::kTruncated;
      const std::uint32_t nameRva = U32(data_ + at + t.nameAt);
      if (nameRva == 0)
        break;
      std::string name;
      std::uint32_t p;
      for (std::uint32_t i = 0;; ++i) {
        if (i == 256 || !RvaToPosition(nameRva + i, 1, &p))
          return PeStatus::kTruncated;
        if (data_[p] == 0)
          break;
        name += static_cast<char>(data_[p]);
      }
      names->push_back(name);
    }
  }
  return PeStatus::kOk;
}
