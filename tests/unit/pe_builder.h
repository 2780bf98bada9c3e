// Small PE images built in code, so the PE reader's tests say exactly which bytes they
// feed in. One section, ".rsrc", holds the resource directory:
//
//   0x000 root directory: [a named type "FILE" if asked], type 6 (string tables)
//   0x040 name level of type 6: one entry, block `blockId`
//   0x060 language level: one entry, 2052
//   0x080 data entry: RVA and size of the string block
//   0x0A0 the string block: string 16 * (blockId - 1) = `firstString`, 15 empty strings
//   0x200 the name "FILE" (u16 length, UTF-16)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PeLayout {
  bool pe64 = false;
  bool resources = true;        // data directory 2 set
  bool stringTable = true;      // type 6 present (else only the named type)
  bool namedTypeFirst = false;  // a named entry before type 6 in the root
  std::uint32_t blockId = 3;
  std::u16string firstString = std::u16string(64, u'0');
  std::int64_t dataRvaShift = 0;    // moves the string block's RVA in the data entry
  std::int64_t dataSizeShift = 0;   // changes the size in the data entry
  bool languageLoop = false;        // the language entry points back at the name level
  std::uint32_t trailingBytes = 0;  // appended after the section
};

inline constexpr std::uint32_t kPeSectionRva = 0x1000;
inline constexpr std::uint32_t kPeSectionRaw = 0x200;
inline constexpr std::uint32_t kPeSectionSize = 0x400;
inline constexpr std::uint32_t kPeBlockPosition = kPeSectionRaw + 0xA0;

inline std::vector<std::uint8_t> MakeMinimalPe(const PeLayout& layout) {
  std::vector<std::uint8_t> f(kPeSectionRaw + kPeSectionSize + layout.trailingBytes, 0);
  auto put16 = [&](std::size_t at, std::uint32_t v) {
    f[at] = static_cast<std::uint8_t>(v);
    f[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    put16(at, v & 0xffff);
    put16(at + 2, v >> 16);
  };
  f[0] = 'M';
  f[1] = 'Z';
  const std::uint32_t pe = 0x40;
  put32(0x3C, pe);
  f[pe] = 'P';
  f[pe + 1] = 'E';
  put16(pe + 4, layout.pe64 ? 0x8664 : 0x14C);
  put16(pe + 6, 1);  // one section
  const std::uint32_t optionalSize = layout.pe64 ? 240 : 224;
  put16(pe + 20, optionalSize);
  const std::uint32_t opt = pe + 24;
  put16(opt, layout.pe64 ? 0x20B : 0x10B);
  put32(opt + 32, 0x1000);  // section alignment
  put32(opt + 36, 0x200);   // file alignment
  const std::uint32_t dirs = opt + (layout.pe64 ? 112 : 96);
  put32(dirs - 4, 16);
  if (layout.resources) {
    put32(dirs + 2 * 8, kPeSectionRva);
    put32(dirs + 2 * 8 + 4, kPeSectionSize);
  }
  const std::uint32_t section = opt + optionalSize;
  std::copy_n(".rsrc", 5, f.begin() + section);
  put32(section + 8, kPeSectionSize);
  put32(section + 12, kPeSectionRva);
  put32(section + 16, kPeSectionSize);
  put32(section + 20, kPeSectionRaw);

  const std::uint32_t r = kPeSectionRaw;
  // Root.
  const std::uint16_t named = layout.namedTypeFirst ? 1 : 0;
  const std::uint16_t ids = layout.stringTable ? 1 : 0;
  put16(r + 12, named);
  put16(r + 14, ids);
  std::uint32_t entry = r + 16;
  if (layout.namedTypeFirst) {
    put32(entry, 0x80000000u | 0x200);
    put32(entry + 4, 0x80000000u | 0x300);  // its own (empty) directory
    entry += 8;
  }
  if (layout.stringTable) {
    put32(entry, 6);
    put32(entry + 4, 0x80000000u | 0x40);
  }
  // Name level.
  put16(r + 0x40 + 14, 1);
  put32(r + 0x40 + 16, layout.blockId);
  put32(r + 0x40 + 20, 0x80000000u | 0x60);
  // Language level.
  put16(r + 0x60 + 14, 1);
  put32(r + 0x60 + 16, 2052);
  put32(r + 0x60 + 20, layout.languageLoop ? (0x80000000u | 0x40) : 0x80);
  // Data entry and the block.
  const std::uint32_t blockSize =
      static_cast<std::uint32_t>(2 + 2 * layout.firstString.size() + 30);
  put32(r + 0x80, static_cast<std::uint32_t>(kPeSectionRva + 0xA0 + layout.dataRvaShift));
  put32(r + 0x84, static_cast<std::uint32_t>(blockSize + layout.dataSizeShift));
  put16(r + 0xA0, static_cast<std::uint32_t>(layout.firstString.size()));
  for (std::size_t i = 0; i < layout.firstString.size(); ++i) {
    put16(r + 0xA2 + 2 * i, layout.firstString[i]);
  }
  // The named type's name.
  put16(r + 0x200, 4);
  for (int i = 0; i < 4; ++i)
    put16(r + 0x202 + 2 * i, static_cast<std::uint32_t>("FILE"[i]));
  return f;
}
