// A bounds-checked reader of PE/COFF executable files (PE32 and PE32+) over a byte view:
// the headers, the section table, address translation and the resource directory. The
// integrity check uses it to find the digest block of its own file; the packager uses it
// to stamp, verify, list and extract installers. Every read checks the bytes that remain;
// a damaged file yields an error, never a read outside the view.
//
//   offset 0x3C           u32  position P of the PE signature "PE\0\0"
//   P + 4                 COFF file header (20 bytes): machine, section count, ...,
//                         size of the optional header at +16
//   P + 24                optional header: magic 0x10B (PE32) or 0x20B (PE32+);
//                         checksum at +64; data directories at +96 (PE32) or +112 (PE32+),
//                         8 bytes each (address, size), their count just before them
//   P + 24 + opt. size    section table, 40 bytes a section: virtual size +8,
//                         virtual address +12, raw size +16, raw position +20
//
// Resource directory (data directory 2), offsets relative to its start:
//   directory   16 bytes: ..., named entry count +12 (u16), id entry count +14 (u16),
//               then the entries, 8 bytes each: name or id (high bit: offset of a name,
//               a u16 length and UTF-16 units), data (high bit: offset of a subdirectory,
//               else of a data entry)
//   data entry  16 bytes: address of the data (an RVA) +0, size +4
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class PeStatus {
  kOk,
  kNotPe,      // no "MZ", no "PE\0\0", or an unknown optional header
  kTruncated,  // a header or the section table runs past the end of the file
  kNoResourceDirectory,
  kNoStringTable,
  kNoSuchResource,
  kBadResourceDirectory,  // an entry, name or data entry outside every section or the file
  kResourceLoop,          // a subdirectory chain deeper than any real directory
  kDataOutsideFile,       // a resource's data lie outside every section or the file
  kEmptyFile,
  kFileTooLarge,         // 104,857,600 bytes or more: no installer is that large
  kBadCertificateTable,  // not where a signature puts it: last, 8-byte aligned, whole length
  // Rewriting the resource section (ResourceSection.h) is refused:
  kResourcesNotAlone,  // not a section of its own, or followed by more than base relocations
  kSigned,             // a certificate table: its signature would no longer hold
  kAppendedData,       // bytes after the last section, which nothing would account for
};

// A short English sentence for the status.
const char* DescribePeStatus(PeStatus status);

struct PeSection {
  std::uint32_t virtualAddress;
  std::uint32_t virtualSize;
  std::uint32_t rawPosition;
  std::uint32_t rawSize;
};

// A located run of bytes in the file.
struct FileRange {
  std::uint32_t position = 0;
  std::uint32_t size = 0;
};

class PeImage {
 public:
  // Reads the headers and the section table; kOk or the reason the view is no PE file.
  PeStatus Parse(const std::uint8_t* data, std::size_t size);

  const std::uint8_t* Data() const { return data_; }
  std::size_t Size() const { return size_; }
  bool Is64() const { return is64_; }
  std::uint32_t Checksum() const { return checksum_; }
  std::uint32_t ChecksumPosition() const { return checksumPosition_; }
  // Data directory `index` (address, size), or zeros when the image has fewer.
  FileRange DataDirectory(unsigned index) const;
  // Where entry `index` of the data directory lies in the file (8 bytes), or 0 when the
  // image has fewer entries.
  std::uint32_t DataDirectoryPosition(unsigned index) const;
  const std::vector<PeSection>& Sections() const { return sections_; }
  // End of the last section's raw data: what lies beyond is appended data.
  std::uint32_t EndOfSections() const { return endOfSections_; }

  // Translates [rva, rva + length) into file positions: it must lie within the raw data
  // of one section and within the file. False otherwise.
  bool RvaToPosition(std::uint32_t rva, std::uint32_t length, std::uint32_t* position) const;

  // The digest block: the data of the first string-table block, taking the first entry at
  // the name and language levels. `blockId` receives that block's number (strings
  // 16 * (blockId - 1) to 16 * (blockId - 1) + 15), or 0 when it is named.
  PeStatus FindDigestBlock(FileRange* block, std::uint32_t* blockId) const;

  // Names of the DLLs the image imports statically (data directory 1), in table order,
  // and of those it imports with delayed loading (data directory 13).
  PeStatus ImportedDlls(std::vector<std::string>* names) const;

  // The data of resource `id` of the named type `typeName` (compared without case, as
  // resource names are), first language.
  PeStatus FindNamedTypeResource(std::u16string_view typeName,
                                 std::uint32_t id,
                                 FileRange* range) const;
  // The same for a type given by number, such as 24 for an application manifest.
  PeStatus FindTypedResource(std::uint32_t typeId, std::uint32_t id, FileRange* range) const;

 private:
  struct Entry {
    std::uint32_t name;  // id, or the offset of a name (high bit set)
    std::uint32_t data;  // data entry offset, or subdirectory offset (high bit set)
  };
  bool ReadDirectory(std::uint32_t offset, std::uint16_t* named, std::uint16_t* ids) const;
  bool ReadEntry(std::uint32_t directory, std::uint32_t index, Entry* entry) const;
  bool NameEquals(std::uint32_t nameOffset, std::u16string_view name) const;
  PeStatus DataEntry(std::uint32_t offset, FileRange* range) const;
  // Resource `id`, first language, of the type named `*typeName`, or numbered `typeId`
  // when `typeName` is null.
  PeStatus FindResourceOfType(const std::u16string_view* typeName,
                              std::uint32_t typeId,
                              std::uint32_t id,
                              FileRange* range) const;
  // Resource `id`, first language, below the type entry at `type` of the root.
  PeStatus FindInType(const Entry& type, std::uint32_t id, FileRange* range) const;
  bool ResourceRoot() const { return resourceRva_ != 0; }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool is64_ = false;
  std::uint32_t checksum_ = 0;
  std::uint32_t checksumPosition_ = 0;
  std::uint32_t directoryPosition_ = 0;
  std::uint32_t directoryCount_ = 0;
  std::uint32_t resourceRva_ = 0;
  std::uint32_t endOfSections_ = 0;
  std::vector<PeSection> sections_;
};
