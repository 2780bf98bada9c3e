// The package walker hands out exactly the records that were written, and the validator
// refuses every damaged or hostile package before anything would be written from it; the
// text the installer makes of names and numbers is what the C runtime would have made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/text/NumberText.h"
#include "demo/payload/PayloadGenerator.h"
#include "tests/unit/row_name.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Add(Bytes* package, std::u16string_view path, const std::string& data, char16_t filler = 0) {
  ASSERT_TRUE(AppendPackageRecord(package, path, reinterpret_cast<const std::uint8_t*>(data.data()),
                                  data.size(), filler));
}

struct Walked {
  std::u16string path;
  std::string data;
  std::size_t dataOffset;
};

// The records of a whole package, the last of which must end where the package ends.
std::vector<Walked> Walk(const Bytes& package) {
  std::vector<Walked> out;
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  std::size_t end = 0;
  while (walker.Next(&r)) {
    const auto dataOffset = static_cast<std::size_t>(r.data - package.data());
    out.push_back({std::u16string(r.path, r.pathLength),
                   std::string(reinterpret_cast<const char*>(r.data), r.size), dataOffset});
    end = dataOffset + r.size;
  }
  EXPECT_EQ(end, package.size()) << "the walk ended early";
  return out;
}

// Rebuilds the records a reader hands out; stops at record `stopAt`.
class Rebuilt : public PackageVisitor {
 public:
  explicit Rebuilt(std::size_t stopAt = SIZE_MAX) : stopAt_(stopAt) {}
  bool Record(std::u16string_view path, std::uint32_t size) override {
    EXPECT_FALSE(open_);
    if (records.size() == stopAt_)
      return false;
    records.push_back({std::u16string(path), {}, size});
    open_ = true;
    return true;
  }
  bool Data(const std::uint8_t* data, std::size_t size) override {
    EXPECT_TRUE(open_);
    EXPECT_GT(size, 0u);
    records.back().data.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  bool RecordEnd() override {
    EXPECT_EQ(records.back().data.size(), records.back().dataOffset);  // the size announced
    open_ = false;
    return true;
  }
  std::vector<Walked> records;

 private:
  std::size_t stopAt_;
  bool open_ = false;
};

// ValidatePackage, checked against a reader fed in pieces of several sizes: the same check,
// and for a whole package the walker's records.
PackageCheck Validate(const Bytes& p, std::size_t maxPathUnits = kMaxFullPathUnits) {
  const PackageCheck check = ValidatePackage(p.data(), p.size(), maxPathUnits);
  for (std::size_t piece : {1, 7, 524, 600}) {
    Rebuilt rebuilt;
    PackageReader reader(maxPathUnits, &rebuilt);
    for (std::size_t at = 0; at < p.size(); at += piece)
      reader.Feed(p.data() + at, std::min(piece, p.size() - at));
    const PackageCheck pieces = reader.Finish();
    EXPECT_EQ(pieces.fault, check.fault) << piece;
    EXPECT_EQ(pieces.recordIndex, check.recordIndex) << piece;
    EXPECT_EQ(pieces.offset, check.offset) << piece;
    EXPECT_EQ(pieces.longestPath, check.longestPath) << piece;
    EXPECT_EQ(pieces.dataBytes, check.dataBytes) << piece;
    if (check.ok()) {
      const std::vector<Walked> walked = Walk(p);
      EXPECT_EQ(rebuilt.records.size(), walked.size());
      for (std::size_t i = 0; i < std::min(walked.size(), rebuilt.records.size()); ++i) {
        EXPECT_EQ(rebuilt.records[i].path, walked[i].path);
        EXPECT_EQ(rebuilt.records[i].data, walked[i].data);
      }
    }
  }
  return check;
}

TEST(PackageWalker, EmptyPackageHasNoRecords) {
  const Bytes empty;
  EXPECT_TRUE(Walk(empty).empty());
  const PackageCheck check = Validate(empty);
  EXPECT_TRUE(check.ok());
  EXPECT_EQ(check.recordIndex, 0u);
}

// Zero-size records, a repeated path, non-ASCII names and garbage after the NUL all walk
// as written; the last record ends exactly at the end of the package.
TEST(PackageWalker, RecordsComeBackAsWritten) {
  Bytes p;
  Add(&p, u"Korvel互动.exe", "MZ binary");
  Add(&p, u"empty.txt", "", u'\xfeff');
  Add(&p, u"Emotions\\经典\\em01.gif", "GIF89a...", u'x');
  Add(&p, u"empty.txt", "now with data");
  const auto records = Walk(p);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].path, u"Korvel互动.exe");
  EXPECT_EQ(records[0].data, "MZ binary");
  EXPECT_EQ(records[0].dataOffset, kPackageHeaderBytes);
  EXPECT_EQ(records[1].path, u"empty.txt");
  EXPECT_EQ(records[1].data, "");
  EXPECT_EQ(records[2].dataOffset, records[1].dataOffset + kPackageHeaderBytes);
  EXPECT_EQ(records[2].path, u"Emotions\\经典\\em01.gif");
  EXPECT_EQ(records[3].path, u"empty.txt");
  EXPECT_EQ(records[3].data, "now with data");
  const PackageCheck check = Validate(p);
  EXPECT_TRUE(check.ok()) << check.Describe();
  EXPECT_EQ(check.recordIndex, 4u);
  EXPECT_EQ(check.longestPath, 20u);
  EXPECT_EQ(check.dataBytes, 9u + 0 + 9 + 13);

  // A visitor that stops the read ends it there, with nothing found wrong.
  Rebuilt stopping(2);
  PackageReader reader(kMaxFullPathUnits, &stopping);
  EXPECT_FALSE(reader.Feed(p.data(), p.size()));
  EXPECT_TRUE(reader.Stopped());
  EXPECT_TRUE(reader.Finish().ok());
  EXPECT_EQ(stopping.records.size(), 2u);
}

TEST(PackageWalker, LongestPathFieldIsAccepted) {
  Bytes p;
  std::u16string path(259, u'a');
  Add(&p, path, "x");
  ASSERT_EQ(Walk(p).size(), 1u);
  EXPECT_TRUE(Validate(p).ok());
  EXPECT_EQ(Validate(p, 258).fault, PackageFault::kPathTooLong);
  EXPECT_FALSE(AppendPackageRecord(&p, std::u16string(260, u'a'), nullptr, 0));
}

// --- damaged structure ------------------------------------------------------------------

struct Damage {
  const char* name;
  std::size_t cutFromEnd;  // bytes removed from a two-record package
  PackageFault fault;
};

class DamagedStructure : public testing::TestWithParam<Damage> {};

TEST_P(DamagedStructure, RefusedAtTheDamagedRecord) {
  Bytes p;
  Add(&p, u"a.txt", "first");
  const std::size_t second = p.size();
  Add(&p, u"b.txt", "second record");
  p.resize(p.size() - GetParam().cutFromEnd);
  const PackageCheck check = Validate(p);
  EXPECT_EQ(check.fault, GetParam().fault);
  EXPECT_EQ(check.recordIndex, 1u);
  EXPECT_EQ(check.offset, second);
  EXPECT_NE(check.Describe().find("record 1 at offset"), std::string::npos);

  PayloadPackage walker(p.data(), p.size());
  PackageRecord r;
  EXPECT_TRUE(walker.Next(&r));
  EXPECT_FALSE(walker.Next(&r));
  EXPECT_FALSE(walker.Next(&r));
}

INSTANTIATE_TEST_SUITE_P(
    Truncations,
    DamagedStructure,
    testing::Values(Damage{"OneDataByteMissing", 1, PackageFault::kDataTruncated},
                    Damage{"AllDataMissing", 13, PackageFault::kDataTruncated},
                    Damage{"SizeFieldCut", 14, PackageFault::kHeaderTruncated},
                    Damage{"OnlyAPathByte", 536, PackageFault::kHeaderTruncated}),
    RowName());

TEST(PackageValidator, PathWithoutNulIsRefused) {
  Bytes p;
  Add(&p, u"a.txt", "data");
  for (std::size_t i = 0; i < kPackagePathBytes; i += 2)
    p[i] = 'a';
  EXPECT_EQ(Validate(p).fault, PackageFault::kPathUnterminated);
}

TEST(PackageValidator, SizeBeyondThePackageIsRefused) {
  Bytes p;
  Add(&p, u"a.txt", "data");
  p[kPackageSizeOffset + 3] = 0xff;  // 4 GiB - a little
  EXPECT_EQ(Validate(p).fault, PackageFault::kDataTruncated);
}

// --- hostile paths ----------------------------------------------------------------------

struct BadPath {
  const char* name;
  std::u16string path;
  PackageFault fault;
};

class HostilePaths : public testing::TestWithParam<BadPath> {};

TEST_P(HostilePaths, RefusedBeforeAnyFileIsWritten) {
  Bytes p;
  Add(&p, u"good.txt", "fine");
  Add(&p, GetParam().path, "evil");
  const PackageCheck check = Validate(p);
  EXPECT_EQ(check.fault, GetParam().fault) << check.Describe();
  EXPECT_EQ(check.recordIndex, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules,
    HostilePaths,
    testing::Values(BadPath{"Empty", u"", PackageFault::kEmptyPath},
                    BadPath{"LeadingBackslash", u"\\Windows\\evil.dll",
                            PackageFault::kAbsolutePath},
                    BadPath{"Unc", u"\\\\server\\share\\x", PackageFault::kAbsolutePath},
                    BadPath{"Drive", u"C:\\Windows\\evil.dll", PackageFault::kDrive},
                    BadPath{"DriveRelative", u"C:evil.dll", PackageFault::kDrive},
                    BadPath{"ForwardSlash", u"web/index.htm", PackageFault::kForwardSlash},
                    BadPath{"DotDot", u"..\\..\\evil.dll", PackageFault::kDotComponent},
                    BadPath{"InnerDotDot", u"a\\..\\..\\evil.dll", PackageFault::kDotComponent},
                    BadPath{"Dot", u"a\\.\\b", PackageFault::kDotComponent},
                    BadPath{"DoubleBackslash", u"a\\\\b", PackageFault::kEmptyComponent},
                    BadPath{"TrailingBackslash", u"folder\\", PackageFault::kEmptyComponent},
                    BadPath{"Colon", u"file.txt:stream", PackageFault::kForbiddenCharacter},
                    BadPath{"Star", u"a*.txt", PackageFault::kForbiddenCharacter},
                    BadPath{"Question", u"a?.txt", PackageFault::kForbiddenCharacter},
                    BadPath{"Quote", u"a\".txt", PackageFault::kForbiddenCharacter},
                    BadPath{"Angle", u"a<b>.txt", PackageFault::kForbiddenCharacter},
                    BadPath{"Pipe", u"a|b", PackageFault::kForbiddenCharacter},
                    BadPath{"Control", u"a\x01.txt", PackageFault::kForbiddenCharacter},
                    BadPath{"TrailingDot", u"dir.\\a.txt", PackageFault::kTrailingDotOrSpace},
                    BadPath{"TrailingSpace", u"a.txt ", PackageFault::kTrailingDotOrSpace},
                    BadPath{"DeviceName", u"con", PackageFault::kReservedName},
                    BadPath{"DeviceWithExtension", u"web\\NUL.txt", PackageFault::kReservedName},
                    BadPath{"ComPort", u"Com7.log", PackageFault::kReservedName},
                    BadPath{"ComPortZero", u"COM0", PackageFault::kReservedName},
                    BadPath{"PrinterPortZero", u"web\\lpt0.txt", PackageFault::kReservedName},
                    BadPath{"SuperscriptComPort", u"COM\u00B9.log", PackageFault::kReservedName},
                    BadPath{"SuperscriptPrinter", u"web\\lpt\u00B3", PackageFault::kReservedName},
                    BadPath{"ConsoleInput", u"CONIN$", PackageFault::kReservedName},
                    BadPath{"ConsoleOutput", u"conout$.txt", PackageFault::kReservedName}),
    RowName());

TEST(PackageValidator, NamesThatOnlyLookReservedAreFine) {
  for (const char16_t* ok :
       {u"console.txt", u"COM", u"LPT10.txt", u"nul_sound.wav", u"auxiliary", u".hidden", u"a..b",
        u"网页\\说明.htm", u"COM\u2074", u"CONIN", u"conout$$"}) {
    EXPECT_EQ(CheckRelativePath(ok, kMaxFullPathUnits), PackageFault::kNone) << Utf16ToUtf8(ok);
  }
}

// --- order ------------------------------------------------------------------------------

TEST(PackageOrder, SubFolderFilesComeWhereTheFolderNameFalls) {
  std::vector<std::u16string> paths = {u"b.txt", u"a-b.txt",  u"a\\z.txt", u"a\\b\\c.txt",
                                       u"A.txt", u"a\\a.txt", u"c\\d.txt"};
  std::sort(paths.begin(), paths.end(), PackageOrderLess);
  const std::vector<std::u16string> expected = {
      u"A.txt", u"a\\a.txt", u"a\\b\\c.txt", u"a\\z.txt", u"a-b.txt", u"b.txt", u"c\\d.txt"};
  EXPECT_EQ(paths, expected);
}

// --- the reference payload --------------------------------------------------------------

TEST(ReferencePayload, HasTheShapeOfTheShippedClient) {
  const auto files = GeneratePayload(77, PayloadScale::kReference);
  EXPECT_EQ(files.size(), 1125u);
  std::size_t total = 0;
  std::size_t longest = 0;
  bool client = false;
  bool component = false;
  bool chineseFolder = false;
  bool threeLevels = false;
  for (const auto& f : files) {
    EXPECT_FALSE(f.content.empty()) << Utf16ToUtf8(f.path);
    total += f.content.size();
    longest = std::max(longest, f.path.size());
    client |= f.path == u"Korvel互动.exe";
    component |= f.path == u"ImageOle.dll";
    chineseFolder |= f.path.rfind(u"Emotions\\经典\\", 0) == 0;
    threeLevels |= std::count(f.path.begin(), f.path.end(), u'\\') == 3;
  }
  EXPECT_NEAR(static_cast<double>(total), 32.8e6, 0.5e6);
  EXPECT_LE(longest, kReferenceLongestPath);
  EXPECT_TRUE(client && component && chineseFolder && threeLevels);
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end(), [](const auto& a, const auto& b) {
    return PackageOrderLess(a.path, b.path);
  }));

  const Bytes package = BuildPackage(files, u'#');
  const PackageCheck check = ValidatePackage(package.data(), package.size());
  EXPECT_TRUE(check.ok()) << check.Describe();
  EXPECT_EQ(check.recordIndex, files.size());
}

TEST(ReferencePayload, SameSeedSameFilesOtherSeedOtherFiles) {
  const auto a = GeneratePayload(5, PayloadScale::kSmall);
  const auto b = GeneratePayload(5, PayloadScale::kSmall);
  const auto c = GeneratePayload(6, PayloadScale::kSmall);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].path, b[i].path);
    EXPECT_TRUE(a[i].content == b[i].content);
  }
  EXPECT_FALSE(a[0].content == c[0].content);
}

// --- UTF-8 for host file names ------------------------------------------------------------

TEST(Utf8, RoundTripAndRefusals) {
  const std::u16string text = u"Emotions\\经典\\😀.gif";
  std::u16string back;
  ASSERT_TRUE(Utf8ToUtf16(Utf16ToUtf8(text), &back));
  EXPECT_EQ(back, text);
  for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe4\xba", "\x80"}) {
    EXPECT_FALSE(Utf8ToUtf16(bad, &back)) << bad;
  }
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xd800')), "\xef\xbf\xbd");
}

// --- Numbers as text, without printf ------------------------------------------------------

TEST(NumberText, DecimalAtTheEdgesOfEachType) {
  EXPECT_EQ(DecimalText<char>(0), "0");
  EXPECT_EQ(DecimalText<char>(-7), "-7");
  EXPECT_EQ(DecimalText<char>(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(DecimalText<char>(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(DecimalText<char>(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  EXPECT_EQ(DecimalText<char>(4294967295u), "4294967295");
  // The log's time stamp: zeros in front, never a digit cut off.
  EXPECT_EQ(DecimalText<char>(7, 2), "07");
  EXPECT_EQ(DecimalText<char>(0, 3), "000");
  EXPECT_EQ(DecimalText<char>(2026, 2), "2026");
  EXPECT_EQ(DecimalText<char>(-5, 3), "-005");
  EXPECT_EQ(DecimalText<wchar_t>(1234567u), L"1234567");
}

// The journal, the manifest keys and the version strings read numbers back: whole digits
// only, no more of them than asked, no more than the type holds.
TEST(NumberText, ParseDecimalTakesWholeNumbersWithinTheDigitsAndTheType) {
  std::uint64_t big = 0;
  EXPECT_TRUE(ParseDecimal<char>(DecimalText<char>(9999999999999999999ull), 19, &big));
  EXPECT_EQ(big, 9999999999999999999ull);
  std::uint16_t part = 0;
  EXPECT_TRUE(ParseDecimal<char16_t>(u"065535", 6, &part));
  EXPECT_EQ(part, 65535);
  for (const char* refused : {"", "0000001", "65536", "-1", "+1", " 1", "1 ", "1.0", "1e3"}) {
    EXPECT_FALSE(ParseDecimal<char>(refused, 6, &part)) << refused;
  }
  EXPECT_FALSE(ParseDecimal<char>(std::string_view("1\0", 2), 6, &part));
  EXPECT_EQ(part, 65535);  // a refusal leaves it
}

struct TenthsRow {
  const char* name;
  std::uint64_t numerator;
  unsigned shift;
  const char* text;
};

class Tenths : public testing::TestWithParam<TenthsRow> {};

TEST_P(Tenths, WrittenAsPrintfWritesTheExactValue) {
  const TenthsRow& row = GetParam();
  EXPECT_EQ(TenthsText<char>(row.numerator, row.shift), row.text);
  char printed[64];
  std::snprintf(printed, sizeof printed, "%.1f",
                static_cast<double>(row.numerator) / static_cast<double>(1ull << row.shift));
  EXPECT_EQ(TenthsText<char>(row.numerator, row.shift), printed);
}

constexpr std::uint64_t kMiB = 1ull << 20;
INSTANTIATE_TEST_SUITE_P(
    NumberText,
    Tenths,
    testing::Values(
        TenthsRow{"Zero", 0, 20, "0.0"},
        TenthsRow{"OneByte", 1, 20, "0.0"},
        TenthsRow{"QuarterTiesDownToEven", kMiB / 4, 20, "0.2"},
        TenthsRow{"ThreeQuartersTiesUpToEven", 3 * kMiB / 4, 20, "0.8"},
        TenthsRow{"JustAboveATieRoundsUp", kMiB / 4 + 1, 20, "0.3"},
        TenthsRow{"JustBelowATieRoundsDown", 3 * kMiB / 4 - 1, 20, "0.7"},
        TenthsRow{"NinePointNinetySixCarriesIntoTheWhole", 10 * kMiB - kMiB / 25, 20, "10.0"},
        TenthsRow{"OneByteShortOfAGiBInGiB", (1ull << 30) - 1, 30, "1.0"},
        TenthsRow{"LargeNumeratorSmallShift", (1ull << 53) - 1, 1, "4503599627370495.5"},
        TenthsRow{"LargestShift", 3ull << 59, 60, "1.5"}),
    RowName());

TEST(NumberText, TenthsAgreeWithPrintfAroundEveryTieOfTheFirstTenMiB) {
  // Ties fall on multiples of a quarter MiB; check each and its two neighbours.
  for (std::uint64_t tie = 0; tie <= 40 * (kMiB / 4); tie += kMiB / 4) {
    for (const std::uint64_t bytes : {tie - (tie > 0 ? 1 : 0), tie, tie + 1}) {
      char printed[64];
      std::snprintf(printed, sizeof printed, "%.1f", static_cast<double>(bytes) / 1048576.0);
      ASSERT_EQ(TenthsText<char>(bytes, 20), printed) << bytes;
    }
  }
}

}  // namespace
