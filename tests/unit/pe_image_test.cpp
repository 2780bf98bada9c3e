// The PE reader finds the digest block of PE32 and PE32+ images exactly where it is, and
// fails cleanly - never reading outside the file - on every damaged or truncated image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeImage.h"
#include "core/integrity/ResourceSection.h"
#include "tests/unit/pe_builder.h"
#include "tests/unit/row_name.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

PeStatus Locate(const Bytes& f, FileRange* block = nullptr, std::uint32_t* id = nullptr) {
  PeImage image;
  const PeStatus parsed = image.Parse(f.data(), f.size());
  if (parsed != PeStatus::kOk)
    return parsed;
  FileRange b;
  std::uint32_t i;
  const PeStatus s = image.FindDigestBlock(&b, &i);
  if (block)
    *block = b;
  if (id)
    *id = i;
  return s;
}

// A resource section written anew reads back as the loader searches it - named types first
// in upper-case order, then ids ascending - with the digest block still the first string
// block; a directory that is not three levels deep is refused, not half read.
TEST(ResourceSection, WritesTheLoadersOrderAndReadsItBack) {
  const Bytes f = MakeMinimalPe({});
  PeImage image;
  ASSERT_EQ(image.Parse(f.data(), f.size()), PeStatus::kOk);
  std::vector<Resource> resources;
  ASSERT_EQ(ReadResources(image, &resources), PeStatus::kOk);
  ASSERT_EQ(resources.size(), 1u);
  const auto add = [&](std::uint32_t type, const char16_t* typeName, std::uint32_t id, int byte) {
    SetResource(
        &resources,
        Resource{{type, typeName}, {id, {}}, 2052, 0, Bytes(3, static_cast<std::uint8_t>(byte))});
  };
  add(24, u"", 1, 1);
  add(0, u"SKIN", 131, 2);
  add(0, u"FILE", 139, 3);
  add(0, u"FILE", 137, 4);
  add(0, u"FILE", 137, 5);  // the same resource: replaced
  add(16, u"", 1, 6);
  Bytes out;
  ASSERT_EQ(WriteResourceSection(image, resources, &out), PeStatus::kOk);
  PeImage written;
  ASSERT_EQ(written.Parse(out.data(), out.size()), PeStatus::kOk);
  std::vector<Resource> back;
  ASSERT_EQ(ReadResources(written, &back), PeStatus::kOk);
  std::string order;
  for (const Resource& r : back) {
    order += r.type.text.empty() ? std::to_string(r.type.id)
                                 : std::string(r.type.text.begin(), r.type.text.end());
    order += " " + std::to_string(r.name.id) + "=" +
             std::to_string(r.data.size() == 3 ? r.data[0] : 0) + ";";
  }
  EXPECT_EQ(order, "FILE 137=5;FILE 139=3;SKIN 131=2;6 3=0;16 1=6;24 1=1;");
  FileRange block;
  std::uint32_t id = 0;
  ASSERT_EQ(Locate(out, &block, &id), PeStatus::kOk);
  EXPECT_EQ(id, 3u);
  EXPECT_TRUE(std::equal(f.begin() + kPeBlockPosition, f.begin() + kPeBlockPosition + 160,
                         out.begin() + block.position));

  PeLayout loop;
  loop.languageLoop = true;
  const Bytes looped = MakeMinimalPe(loop);
  ASSERT_EQ(image.Parse(looped.data(), looped.size()), PeStatus::kOk);
  EXPECT_EQ(ReadResources(image, &resources), PeStatus::kBadResourceDirectory);
  EXPECT_TRUE(resources.empty());
}

// Where the PE32 image of MakeMinimalPe keeps its headers.
constexpr std::size_t kOptional = 0x58, kDirectories = kOptional + 96,
                      kSectionTable = kOptional + 224;

void Put32(Bytes& f, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    f[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Adds a second section, 0x200 bytes in memory at `rva`, `rawSize` bytes at `raw` in the
// file (which grows to hold them); with `relocations`, data directory 5 names its first
// 8 bytes: one block for page 0.
void AddSection(Bytes& f,
                std::uint32_t rva,
                std::uint32_t raw,
                std::uint32_t rawSize,
                bool relocations) {
  f.resize(std::max<std::size_t>(f.size(), raw + rawSize));
  f[0x46] = 2;
  Put32(f, kSectionTable + 40 + 8, 0x200);
  Put32(f, kSectionTable + 40 + 12, rva);
  Put32(f, kSectionTable + 40 + 16, rawSize);
  Put32(f, kSectionTable + 40 + 20, raw);
  if (relocations) {
    Put32(f, kDirectories + 5 * 8, rva);
    Put32(f, kDirectories + 5 * 8 + 4, 8);
    Put32(f, raw, 0);
    Put32(f, raw + 4, 8);
  }
}

// The resource section is written anew only where nothing else has to follow it: not over a
// signature or appended data, only where it starts a section of whole file-alignment units,
// with nothing after it but base relocations that relocate nothing in it, and while the
// image stays under the size limit. Every refusal leaves the output empty.
struct WriteRow {
  const char* name;
  void (*change)(Bytes& f);
  std::size_t dataBytes;  // of the one resource written
  PeStatus expected;
};

class ResourceWrites : public testing::TestWithParam<WriteRow> {};

TEST_P(ResourceWrites, AreRefusedWhereTheImageCannotFollow) {
  const WriteRow& row = GetParam();
  Bytes f = MakeMinimalPe({});
  row.change(f);
  f.shrink_to_fit();  // so that the sanitizers see a read past the image
  PeImage image;
  ASSERT_EQ(image.Parse(f.data(), f.size()), PeStatus::kOk);
  const std::vector<Resource> resources = {
      Resource{{10, {}}, {1, {}}, 0, 0, Bytes(row.dataBytes, 'r')}};
  Bytes out(1, 0);
  EXPECT_EQ(WriteResourceSection(image, resources, &out), row.expected);
  if (row.expected != PeStatus::kOk) {
    EXPECT_TRUE(out.empty());
    return;
  }
  PeImage written;
  ASSERT_EQ(written.Parse(out.data(), out.size()), PeStatus::kOk);
  std::vector<Resource> back;
  ASSERT_EQ(ReadResources(written, &back), PeStatus::kOk);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].data, resources[0].data);
}

constexpr std::size_t kSmall = 3;

INSTANTIATE_TEST_SUITE_P(
    Rows,
    ResourceWrites,
    testing::Values(
        WriteRow{"AsBuilt", [](Bytes&) {}, kSmall, PeStatus::kOk},
        WriteRow{"RelocationsFollow", [](Bytes& f) { AddSection(f, 0x2000, 0x600, 0x200, true); },
                 kSmall, PeStatus::kOk},
        WriteRow{"Signed", [](Bytes& f) { Put32(f, kDirectories + 4 * 8, 0x600); }, kSmall,
                 PeStatus::kSigned},
        WriteRow{"AppendedData", [](Bytes& f) { f.push_back(0); }, kSmall, PeStatus::kAppendedData},
        WriteRow{"NoSectionAlignment", [](Bytes& f) { Put32(f, kOptional + 32, 0); }, kSmall,
                 PeStatus::kNotPe},
        WriteRow{"NoFileAlignment", [](Bytes& f) { Put32(f, kOptional + 36, 0); }, kSmall,
                 PeStatus::kNotPe},
        WriteRow{"NoResourceDirectory", [](Bytes& f) { Put32(f, kDirectories + 2 * 8, 0); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"DirectoryInsideItsSection",
                 [](Bytes& f) { Put32(f, kDirectories + 2 * 8, kPeSectionRva + 0x10); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"SectionOverTheHeaders",
                 [](Bytes& f) {
                   Put32(f, kSectionTable + 16, 0x600);
                   Put32(f, kSectionTable + 20, 0);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"NoRawData",
                 [](Bytes& f) {
                   Put32(f, kSectionTable + 16, 0);
                   AddSection(f, 0x2000, 0x600, 0x200, true);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"RawPositionOffFileAlignment", [](Bytes& f) { Put32(f, kOptional + 36, 0x400); },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"RawSizeOffFileAlignment",
                 [](Bytes& f) {
                   Put32(f, kSectionTable + 16, kPeSectionSize - 0x10);
                   f.resize(kPeSectionRaw + kPeSectionSize - 0x10);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"RawDataPastTheFile", [](Bytes& f) { Put32(f, kSectionTable + 16, 0x600); },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"SectionBeforeRunsIntoIt", [](Bytes& f) { AddSection(f, 0xF00, 0, 0, false); },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"SectionBeforeLiesAfterInTheFile",
                 [](Bytes& f) { AddSection(f, 0x800, 0x600, 0x200, false); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"SectionAfterIsNoRelocations",
                 [](Bytes& f) { AddSection(f, 0x2000, 0x600, 0x200, false); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"RelocationsOverlapInMemory",
                 [](Bytes& f) { AddSection(f, 0x1800, 0x600, 0x200, true); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"RelocationsOverlapInTheFile",
                 [](Bytes& f) { AddSection(f, 0x2000, 0x400, 0x200, true); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"AnotherDirectoryInIt",
                 [](Bytes& f) { Put32(f, kDirectories + 1 * 8, kPeSectionRva + 0x100); }, kSmall,
                 PeStatus::kResourcesNotAlone},
        WriteRow{"RelocationsPastTheirSection",
                 [](Bytes& f) {
                   AddSection(f, 0x2000, 0x600, 0x200, true);
                   Put32(f, 0x604, 0x200);  // a block as long as the section
                   Put32(f, kDirectories + 5 * 8 + 4, 0x208);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"RelocationsOfTheResources",
                 [](Bytes& f) {
                   AddSection(f, 0x2000, 0x600, 0x200, true);
                   Put32(f, 0x600, kPeSectionRva);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        WriteRow{"RelocationBlockUnder8Bytes",
                 [](Bytes& f) {
                   AddSection(f, 0x2000, 0x600, 0x200, true);
                   Put32(f, 0x604, 4);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        // A section that ends at 2^32 cannot grow: its end is no address.
        WriteRow{"SectionAtTheLastPage",
                 [](Bytes& f) {
                   Put32(f, kSectionTable + 12, 0xfffff000);
                   Put32(f, kDirectories + 2 * 8, 0xfffff000);
                 },
                 kSmall, PeStatus::kResourcesNotAlone},
        // 88 bytes of directories before the data: the image is exactly the limit.
        WriteRow{"ImageAtTheSizeLimit", [](Bytes&) {}, kInstallerSizeLimit - 0x200 - 88,
                 PeStatus::kFileTooLarge}),
    RowName());

TEST(PeImage, FindsTheBlockInPe32AndPe32Plus) {
  for (bool pe64 : {false, true}) {
    PeLayout layout;
    layout.pe64 = pe64;
    layout.namedTypeFirst = true;  // named entries are passed over
    const Bytes f = MakeMinimalPe(layout);
    FileRange block;
    std::uint32_t id = 0;
    ASSERT_EQ(Locate(f, &block, &id), PeStatus::kOk) << pe64;
    EXPECT_EQ(block.position, kPeBlockPosition);
    EXPECT_EQ(block.size, 160u);
    EXPECT_EQ(id, 3u);
    PeImage image;
    ASSERT_EQ(image.Parse(f.data(), f.size()), PeStatus::kOk);
    EXPECT_EQ(image.Is64(), pe64);
  }
}

// The digest leaves the block out (not zeroed: left out) and covers everything else: for a
// file with a zero checksum and no certificate table, MD5 of the file without its block -
// the rule every installer was stamped by before signing was possible.
TEST(InstallerDigest, CoversEverythingButTheBlock) {
  for (const bool pe64 : {false, true}) {
    PeLayout layout;
    layout.pe64 = pe64;
    Bytes f = MakeMinimalPe(layout);
    Md5Digest digest;
    InstallerParts parts;
    ASSERT_EQ(ComputeInstallerDigest(f.data(), f.size(), &digest, &parts), PeStatus::kOk);
    const FileRange block = parts.block;
    Bytes without(f.begin(), f.begin() + block.position);
    without.insert(without.end(), f.begin() + block.position + block.size, f.end());
    EXPECT_EQ(digest, Md5::Of(without.data(), without.size()));

    Bytes other = f;  // another string of the same block, same length: same digest
    other[block.position + 2 + 128] = 1;
    other[block.position + 2 + 130] = 'x';
    Md5Digest same;
    ASSERT_EQ(ComputeInstallerDigest(other.data(), other.size(), &same), PeStatus::kOk);
    EXPECT_EQ(same, digest);

    for (std::size_t at : {std::size_t{0x80}, std::size_t{block.position - 1},
                           std::size_t{block.position + block.size}, f.size() - 1}) {
      Bytes flipped = f;
      flipped[at] ^= 0x01;
      Md5Digest changed;
      ASSERT_EQ(ComputeInstallerDigest(flipped.data(), flipped.size(), &changed), PeStatus::kOk);
      EXPECT_NE(changed, digest) << "byte " << at;
    }
  }
}

// What Authenticode signing does to a file: pad it to 8 bytes, append a certificate table
// (WIN_CERTIFICATE entries of `entry` bytes each, each padded to 8), and set the table's
// directory entry and the header checksum.
Bytes Signed(Bytes f, std::uint32_t entry = 1001, int entries = 1) {
  const auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  f.resize((f.size() + 7) & ~std::size_t{7});
  const auto table = static_cast<std::uint32_t>(f.size());
  for (int n = 0; n < entries; ++n) {
    const std::size_t at = f.size();
    f.resize(at + ((entry + 7) & ~7u), 0x5A);
    put32(at, entry);
    f[at + 4] = 0x00;  // revision 2.0
    f[at + 5] = 0x02;
    f[at + 6] = 0x02;  // PKCS #7 signed data
    f[at + 7] = 0x00;
  }
  PeImage image;
  image.Parse(f.data(), f.size());
  const std::uint32_t checksum = image.ChecksumPosition();
  const std::uint32_t directory = image.DataDirectoryPosition(4);
  put32(checksum, 0x0001D2A5);
  put32(directory, table);
  put32(directory + 4, static_cast<std::uint32_t>(f.size()) - table);
  return f;
}

// A signed file keeps the digest it was stamped with, and every byte of its signed content
// still counts; the table is accepted only where signing puts it.
TEST(InstallerDigest, SigningLeavesTheDigestAndOnlySigningsPlaceIsAccepted) {
  for (const bool pe64 : {false, true}) {
    PeLayout layout;
    layout.pe64 = pe64;
    const Bytes unsigned_ = MakeMinimalPe(layout);
    Md5Digest stamped, signedDigest;
    ASSERT_EQ(ComputeInstallerDigest(unsigned_.data(), unsigned_.size(), &stamped), PeStatus::kOk);
    for (const int entries : {1, 2}) {
      const Bytes s = Signed(unsigned_, 1001, entries);
      InstallerParts parts;
      ASSERT_EQ(ComputeInstallerDigest(s.data(), s.size(), &signedDigest, &parts), PeStatus::kOk);
      EXPECT_EQ(signedDigest, stamped);
      EXPECT_EQ(parts.certificateTable.position, unsigned_.size());
      Bytes flipped = s;
      flipped[0x90] ^= 0x10;  // the signed content, in the headers
      Md5Digest changed;
      ASSERT_EQ(ComputeInstallerDigest(flipped.data(), flipped.size(), &changed), PeStatus::kOk);
      EXPECT_NE(changed, stamped);
    }
    const Bytes s = Signed(unsigned_);
    PeImage image;
    ASSERT_EQ(image.Parse(s.data(), s.size()), PeStatus::kOk);
    const std::uint32_t directory = image.DataDirectoryPosition(4);
    const auto with = [&](std::uint32_t position, std::uint32_t size, std::size_t extra) {
      Bytes b = s;
      b.resize(b.size() + extra, 0);
      for (int i = 0; i < 4; ++i) {
        b[directory + i] = static_cast<std::uint8_t>(position >> (8 * i));
        b[directory + 4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
      }
      return b;
    };
    const auto table = static_cast<std::uint32_t>(unsigned_.size());
    const auto length = static_cast<std::uint32_t>(s.size()) - table;
    struct Case {
      const char* name;
      Bytes file;
    };
    const Case cases[] = {
        {"bytes after the table", with(table, length, 8)},
        {"a shorter length", with(table, length - 8, 0)},
        {"a longer length", with(table, length + 8, 0)},
        {"moved into the section", with(kPeSectionRaw, length, 0)},
        {"not 8-byte aligned", with(table + 4, length - 4, 0)},
        {"an entry longer than the table",
         [&] {
           Bytes b = s;
           b[table + 1] = 0xFF;  // the entry's length
           return b;
         }()},
    };
    for (const Case& c : cases) {
      Md5Digest d;
      EXPECT_EQ(ComputeInstallerDigest(c.file.data(), c.file.size(), &d),
                PeStatus::kBadCertificateTable)
          << c.name << (pe64 ? ", PE32+" : ", PE32");
    }
  }
}

// String 32 is accepted by one rule, which the packager's verify and the installer's own
// check both call: exactly 64 units inside the block, two equal halves, the file's digest in
// upper case. A damaged length - which the digest leaves out with the block - fails it. The
// packager's stamp writes by the same rule.
struct StoredRow {
  const char* name;
  std::uint32_t blockId;
  std::int64_t blockSizeShift;  // the data entry's size
  int length;                   // written over string 32's length; -1: left as built
  void (*damage)(Bytes& f);
  StoredDigestStatus expected;
};

class StoredDigests : public testing::TestWithParam<StoredRow> {};

TEST_P(StoredDigests, OneRuleForTheInstallerAndThePackager) {
  const StoredRow& row = GetParam();
  PeLayout layout;
  layout.blockId = row.blockId;
  layout.dataSizeShift = row.blockSizeShift;
  Bytes f = MakeMinimalPe(layout);
  Md5Digest digest;
  ASSERT_EQ(ComputeInstallerDigest(f.data(), f.size(), &digest), PeStatus::kOk);
  PeImage image;
  ASSERT_EQ(image.Parse(f.data(), f.size()), PeStatus::kOk);
  FileRange block;
  std::uint32_t id = 0;
  ASSERT_EQ(image.FindDigestBlock(&block, &id), PeStatus::kOk);
  // Stamping writes a block only where reading accepts it, and refuses it as reading does.
  const Bytes built = f;
  const StoredDigestStatus written =
      WriteStoredDigest(f.data() + block.position, block.size, id, digest);
  if (written != StoredDigestStatus::kOk) {
    EXPECT_EQ(written, row.expected) << DescribeStoredDigestStatus(written);
    EXPECT_TRUE(f == built) << "a refused block is left as it was";
  }
  if (row.length >= 0) {
    f[kPeBlockPosition] = static_cast<std::uint8_t>(row.length);
    f[kPeBlockPosition + 1] = static_cast<std::uint8_t>(row.length >> 8);
  }
  if (row.damage != nullptr)
    row.damage(f);
  Md5Digest after;  // the block is left out: what the rows change in it alters no digest
  ASSERT_EQ(ComputeInstallerDigest(f.data(), f.size(), &after), PeStatus::kOk);
  if (row.blockSizeShift == 0) {
    ASSERT_EQ(after, digest);
  }
  StoredDigest stored;
  EXPECT_EQ(CheckStoredDigest(f.data() + block.position, block.size, id, after, &stored),
            row.expected)
      << DescribeStoredDigestStatus(row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows,
    StoredDigests,
    testing::Values(
        StoredRow{"Stamped", 3, 0, -1, nullptr, StoredDigestStatus::kOk},
        StoredRow{"LengthZero", 3, 0, 0, nullptr, StoredDigestStatus::kWrongLength},
        StoredRow{"Length63", 3, 0, 63, nullptr, StoredDigestStatus::kWrongLength},
        // Within the block: string 33's length and units are read as part of string 32.
        StoredRow{"Length65", 3, 0, 65, nullptr, StoredDigestStatus::kWrongLength},
        StoredRow{"Length79FillsTheBlock", 3, 0, 79, nullptr, StoredDigestStatus::kWrongLength},
        StoredRow{"Length80PastTheBlock", 3, 0, 80, nullptr, StoredDigestStatus::kLengthPastBlock},
        StoredRow{"Length65535", 3, 0, 65535, nullptr, StoredDigestStatus::kLengthPastBlock},
        StoredRow{"BlockEndsInTheDigest", 3, -40, -1, nullptr,
                  StoredDigestStatus::kLengthPastBlock},
        StoredRow{"BlockOfOneByte", 3, -159, -1, nullptr, StoredDigestStatus::kNoString32},
        StoredRow{"StringsBelow32", 2, 0, -1, nullptr, StoredDigestStatus::kStringsBelow32},
        StoredRow{"StringsAbove47", 4, 0, -1, nullptr, StoredDigestStatus::kNoString32},
        StoredRow{"HalvesDiffer", 3, 0, -1, [](Bytes& f) { f[kPeBlockPosition + 2 + 2 * 40] ^= 1; },
                  StoredDigestStatus::kHalvesDiffer},
        StoredRow{"LowerCase", 3, 0, -1,
                  [](Bytes& f) {
                    for (std::size_t i = 0; i < 64; ++i) {
                      std::uint8_t& c = f[kPeBlockPosition + 2 + 2 * i];
                      if (c >= 'A' && c <= 'F')
                        c = static_cast<std::uint8_t>(c + 32);
                    }
                  },
                  StoredDigestStatus::kDigestDiffers},
        // The same wide character at the same place of both halves: a unit like any other.
        StoredRow{"WideUnitsInBothHalves", 3, 0, -1,
                  [](Bytes& f) {
                    f[kPeBlockPosition + 3] = 0x4e;
                    f[kPeBlockPosition + 3 + 64] = 0x4e;
                  },
                  StoredDigestStatus::kDigestDiffers}),
    RowName());

TEST(InstallerDigest, RefusesEmptyAndTooLargeFiles) {
  Md5Digest d;
  const std::uint8_t none = 0;
  EXPECT_EQ(ComputeInstallerDigest(&none, 0, &d), PeStatus::kEmptyFile);
  Bytes big = MakeMinimalPe({});
  big.resize(kInstallerSizeLimit);
  EXPECT_EQ(ComputeInstallerDigest(big.data(), big.size(), &d), PeStatus::kFileTooLarge);
  big.resize(kInstallerSizeLimit - 1);
  EXPECT_EQ(ComputeInstallerDigest(big.data(), big.size(), &d), PeStatus::kOk);
}

struct Broken {
  const char* name;
  PeLayout layout;
  PeStatus status;
};

class BrokenImages : public testing::TestWithParam<Broken> {};

TEST_P(BrokenImages, FailWithTheirReason) {
  EXPECT_EQ(Locate(MakeMinimalPe(GetParam().layout)), GetParam().status);
}

PeLayout With(void (*change)(PeLayout&)) {
  PeLayout s;
  change(s);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    BrokenImages,
    testing::Values(Broken{"NoResourceDirectory", With([](PeLayout& s) { s.resources = false; }),
                           PeStatus::kNoResourceDirectory},
                    Broken{"NoStringTable", With([](PeLayout& s) {
                             s.stringTable = false;
                             s.namedTypeFirst = true;
                           }),
                           PeStatus::kNoStringTable},
                    Broken{"BlockEndsAtSectionEnd",
                           With([](PeLayout& s) { s.dataSizeShift = kPeSectionSize - 0xA0 - 160; }),
                           PeStatus::kOk},
                    Broken{"BlockOneByteOverSectionEnd", With([](PeLayout& s) {
                             s.dataSizeShift = kPeSectionSize - 0xA0 - 160 + 1;
                           }),
                           PeStatus::kDataOutsideFile},
                    Broken{"BlockBeforeTheSection",
                           With([](PeLayout& s) { s.dataRvaShift = -0x1000; }),
                           PeStatus::kDataOutsideFile},
                    Broken{"BlockHugeSize", With([](PeLayout& s) { s.dataSizeShift = 0xfffff000; }),
                           PeStatus::kDataOutsideFile},
                    Broken{"SubdirectoryLoop", With([](PeLayout& s) { s.languageLoop = true; }),
                           PeStatus::kResourceLoop}),
    RowName());

TEST(PeImage, EveryTruncationFailsCleanly) {
  for (bool pe64 : {false, true}) {
    PeLayout layout;
    layout.pe64 = pe64;
    const Bytes f = MakeMinimalPe(layout);
    for (std::size_t n = 0; n < f.size(); ++n) {
      const Bytes cut(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
      // Whatever is cut, nothing outside the bytes left is read (the sanitizers watch);
      // the block is found only while the file still holds all of it.
      const PeStatus s = Locate(cut);
      if (n < kPeBlockPosition + 160) {
        EXPECT_NE(s, PeStatus::kOk) << "length " << n;
      }
    }
  }
}

TEST(PeImage, HeadersThatAreNotPe) {
  Bytes f = MakeMinimalPe({});
  Bytes noMz = f;
  noMz[0] = 'X';
  EXPECT_EQ(Locate(noMz), PeStatus::kNotPe);
  Bytes farHeader = f;
  farHeader[0x3C] = 0xff;
  farHeader[0x3F] = 0x7f;
  EXPECT_EQ(Locate(farHeader), PeStatus::kNotPe);
  Bytes badMagic = f;
  badMagic[0x40 + 24] = 0x07;
  EXPECT_EQ(Locate(badMagic), PeStatus::kNotPe);
  Bytes manySections = f;
  manySections[0x40 + 6] = 0xff;
  manySections[0x40 + 7] = 0xff;
  EXPECT_EQ(Locate(manySections), PeStatus::kTruncated);
}

TEST(PeImage, AppendedDataLiesAfterTheSections) {
  PeLayout layout;
  layout.trailingBytes = 17;
  const Bytes f = MakeMinimalPe(layout);
  PeImage image;
  ASSERT_EQ(image.Parse(f.data(), f.size()), PeStatus::kOk);
  EXPECT_EQ(image.EndOfSections(), kPeSectionRaw + kPeSectionSize);
  EXPECT_EQ(f.size() - image.EndOfSections(), 17u);
}

}  // namespace
