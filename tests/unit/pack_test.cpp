// The packager turns a folder into exactly the package the installer will unpack, refuses
// what Windows or the installer cannot take with a message naming the offending path, and
// stamps a digest that the installer's own check accepts - and only for an intact file.
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "core/inflate/ResourceInflater.h"
#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeImage.h"
#include "core/integrity/ResourceSection.h"
#include "core/integrity/VersionResource.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "tests/unit/pe_builder.h"
#include "tests/unit/row_name.h"
#include "tools/pack/Build.h"
#include "tools/pack/Extract.h"
#include "tools/pack/HostFiles.h"
#include "tools/pack/Installer.h"
#include "tools/pack/Stamp.h"

namespace fs = std::filesystem;

namespace {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "setup-pack-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  void Write(const std::string& relative, const std::string& content) const {
    fs::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << content;
  }

 private:
  fs::path path_;
};

// The files of a package: UTF-8 path with '/' -> content, in package order.
std::vector<std::pair<std::string, std::string>> Records(const Bytes& package) {
  std::vector<std::pair<std::string, std::string>> out;
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  while (walker.Next(&r)) {
    std::string path = Utf16ToUtf8(std::u16string_view(r.path, r.pathLength));
    for (char& c : path) {
      if (c == '\\')
        c = '/';
    }
    out.emplace_back(path, std::string(reinterpret_cast<const char*>(r.data), r.size));
  }
  return out;
}

// The files below a folder, read back from disk.
std::map<std::string, std::string> FolderFiles(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file())
      continue;
    std::ifstream in(e.path(), std::ios::binary);
    files[fs::relative(e.path(), root).string()] = {std::istreambuf_iterator<char>(in), {}};
  }
  return files;
}

// --- payload: round trip and order ------------------------------------------------------

TEST(PackPayload, RoundTripThroughCompressionAndTheInstallersInflater) {
  TempFolder dir;
  dir.Write("Korvel互动.exe", "MZ client");
  dir.Write("empty.txt", "");
  dir.Write("Emotions/经典/em01.gif", "GIF89a one");
  dir.Write("Emotions/可爱/em01.gif", "GIF89a two");
  dir.Write("Skin/UserIcon/Level/Level01.png", std::string(5000, 'p'));
  dir.Write("Skin-readme.txt", "sorts after the Skin folder's files");

  Bytes package;
  PackStats stats;
  std::string error;
  ASSERT_TRUE(BuildPayloadPackage(dir.path(), kPackMaxRelativePath, {}, &package, &stats, &error))
      << error;
  EXPECT_EQ(stats.files, 6u);

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Emotions/可爱/em01.gif", "GIF89a two"},
      {"Emotions/经典/em01.gif", "GIF89a one"},
      {"Korvel互动.exe", "MZ client"},
      {"Skin/UserIcon/Level/Level01.png", std::string(5000, 'p')},
      {"Skin-readme.txt", "sorts after the Skin folder's files"},
      {"empty.txt", ""}};
  EXPECT_EQ(Records(package), expected);

  Bytes compressed;
  ASSERT_TRUE(CompressResource(package, kPackDefaultLevel, kPackageLimit, &compressed, &error));
  Bytes back(package.size());
  int result = -1;
  ASSERT_EQ(InflateResource(compressed.data(), static_cast<std::uint32_t>(compressed.size()),
                            back.data(), static_cast<std::uint32_t>(back.size()), &result),
            package.size());
  EXPECT_EQ(result, kInflateOk);
  EXPECT_EQ(back, package);
}

TEST(PackPayload, FollowsSymbolicLinksWithinTheFolder) {
  TempFolder dir;
  dir.Write("Korvel互动.exe", "MZ");
  dir.Write("a.txt", "a");
  dir.Write("shared/logo.png", "PNG");
  fs::create_directory_symlink(dir.path() / "shared", dir.path() / "images");
  fs::create_symlink("a.txt", dir.path() / "b.txt");
  Bytes package;
  PackStats stats;
  std::string error;
  ASSERT_TRUE(BuildPayloadPackage(dir.path(), kPackMaxRelativePath, {}, &package, &stats, &error))
      << error;
  const std::vector<std::pair<std::string, std::string>> expected = {{"Korvel互动.exe", "MZ"},
                                                                     {"a.txt", "a"},
                                                                     {"b.txt", "a"},
                                                                     {"images/logo.png", "PNG"},
                                                                     {"shared/logo.png", "PNG"}};
  EXPECT_EQ(Records(package), expected);
}

// --- payload: refusals ----------------------------------------------------------------

// "diamond" and folders level1 to level`depth` beside it, each but the last holding links
// "a" and "b" to the next; the last holds a file of `size` bytes (none when 0).
void MakeDiamond(const TempFolder& d, int depth, std::size_t size) {
  const auto level = [&](int i) {
    return d.path() / (i == 0 ? "diamond" : "level" + std::to_string(i));
  };
  for (int i = 0; i < depth; ++i) {
    fs::create_directories(level(i));
    fs::create_directory_symlink(level(i + 1), level(i) / "a");
    fs::create_directory_symlink(level(i + 1), level(i) / "b");
  }
  fs::create_directories(level(depth));
  if (size != 0)
    d.Write("level" + std::to_string(depth) + "/f.bin", std::string(size, 'x'));
}

struct Refusal {
  const char* name;
  void (*make)(const TempFolder&);
  std::size_t maxPath;
  const char* message;  // a fragment of the error
  const char* path;     // the offending path, relative to the folder ("": the folder)
};

// The client program, without which a folder is refused.
constexpr const char* kClient = "Korvel互动.exe";

class PackRefusals : public testing::TestWithParam<Refusal> {};

TEST_P(PackRefusals, NameTheOffendingPath) {
  TempFolder dir;
  dir.Write(kClient, "MZ");
  dir.Write("fine/ok.txt", "ok");
  GetParam().make(dir);
  Bytes package;
  PackStats stats;
  std::string error;
  EXPECT_FALSE(BuildPayloadPackage(dir.path(), GetParam().maxPath, {}, &package, &stats, &error));
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
  const std::string offending =
      *GetParam().path ? (dir.path() / GetParam().path).string() : "'" + dir.path().string() + "'";
  EXPECT_NE(error.find(offending), std::string::npos) << error;
  EXPECT_TRUE(package.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rules,
    PackRefusals,
    testing::Values(
        Refusal{"ReservedDeviceName", [](const TempFolder& d) { d.Write("web/aux.htm", "x"); },
                kPackMaxRelativePath, "reserved device name", "web/aux.htm"},
        Refusal{"Colon", [](const TempFolder& d) { d.Write("a:b.txt", "x"); }, kPackMaxRelativePath,
                "Windows forbids", "a:b.txt"},
        Refusal{"TrailingDot", [](const TempFolder& d) { d.Write("notes.", "x"); },
                kPackMaxRelativePath, "ends with '.'", "notes."},
        Refusal{"Backslash", [](const TempFolder& d) { d.Write("a\\b.txt", "x"); },
                kPackMaxRelativePath, "cannot be in a name", "a\\b.txt"},
        Refusal{"InvalidUtf8", [](const TempFolder& d) { d.Write("bad\xff.txt", "x"); },
                kPackMaxRelativePath, "not valid UTF-8", "bad\xff.txt"},
        Refusal{"CaseOnlyDifference",
                [](const TempFolder& d) {
                  d.Write("fine/README.txt", "1");
                  d.Write("fine/readme.TXT", "2");
                },
                kPackMaxRelativePath, "differ only in letter case", "fine/README.txt"},
        Refusal{"CaseOnlyDifferenceBeyondAscii",
                [](const TempFolder& d) {
                  d.Write("fine/\xc3\x84rger.txt", "1");  // Ärger
                  d.Write("fine/\xc3\xa4rger.txt", "2");  // ärger
                },
                kPackMaxRelativePath, "differ only in letter case", "fine/\xc3\x84rger.txt"},
        Refusal{"CaseOnlyDifferenceSigma",
                [](const TempFolder& d) {
                  d.Write("fine/\xce\xa3.txt", "1");  // capital sigma
                  d.Write("fine/\xcf\x82.txt", "2");  // final sigma
                },
                kPackMaxRelativePath, "differ only in letter case", "fine/\xce\xa3.txt"},
        Refusal{"CaseOnlyDifferenceFullWidth",
                [](const TempFolder& d) {
                  d.Write("fine/\xef\xbc\xa6", "1");  // fullwidth F
                  d.Write("fine/\xef\xbd\x86", "2");  // fullwidth f
                },
                kPackMaxRelativePath, "differ only in letter case", "fine/\xef\xbc\xa6"},
        Refusal{"CaseOnlyDifferenceDotlessI",
                [](const TempFolder& d) {
                  d.Write("fine/i.txt", "1");
                  d.Write("fine/\xc4\xb1.txt", "2");  // dotless i, whose capital is I
                },
                kPackMaxRelativePath, "differ only in letter case", "fine/i.txt"},
        Refusal{"CaseOnlyDifferenceDottedCapitalI",
                [](const TempFolder& d) {
                  d.Write("fine/i.txt", "1");
                  d.Write("fine/\xc4\xb0.txt", "2");  // dotted capital I, Turkish capital i
                },
                kPackMaxRelativePath, "differ only in letter case", "fine/i.txt"},
        Refusal{"NotInTheCodePage", [](const TempFolder& d) { d.Write("fine/\xc4\xb1.txt", "x"); },
                kPackMaxRelativePath, "code page 936", "fine/\xc4\xb1.txt"},
        Refusal{"CodePageBestFitOnly", [](const TempFolder& d) { d.Write("\xc2\xa5.txt", "x"); },
                kPackMaxRelativePath, "cannot spell U+00A5", "\xc2\xa5.txt"},  // yen sign
        Refusal{"PortZero", [](const TempFolder& d) { d.Write("fine/LPT0.log", "x"); },
                kPackMaxRelativePath, "reserved device name", "fine/LPT0.log"},
        Refusal{"SuperscriptDeviceName",
                [](const TempFolder& d) { d.Write("COM\xc2\xb9.log", "x"); }, kPackMaxRelativePath,
                "reserved device name", "COM\xc2\xb9.log"},
        Refusal{"PathTooLong",
                [](const TempFolder& d) { d.Write("deep/" + std::string(30, 'n') + ".txt", "x"); },
                30, "the limit is 30", "deep/nnnnnnnnnnnnnnnnnnnnnnnnnnnnnn.txt"},
        Refusal{"SymbolicLinkLoop",
                [](const TempFolder& d) {
                  fs::create_directory_symlink(d.path() / "fine", d.path() / "fine/again");
                },
                kPackMaxRelativePath, "symbolic-link loop", "fine/again"},
        Refusal{"LinkOutsideTheFolder",
                [](const TempFolder& d) {
                  fs::create_symlink("/proc/version", d.path() / "fine/version.txt");
                },
                kPackMaxRelativePath, "leads outside the folder", "fine/version.txt"},
        Refusal{"EmptyFolder",
                [](const TempFolder& d) { fs::create_directories(d.path() / "Empty/Nested"); },
                kPackMaxRelativePath, "holds no files", "Empty"},
        // Every refusal is named in one run, not only the first the walk meets.
        Refusal{"EveryRefusalInOneRun",
                [](const TempFolder& d) {
                  d.Write("a/aux.htm", "x");
                  d.Write("z/con.txt", "x");
                },
                kPackMaxRelativePath, "reserved device name", "z/con.txt"},
        Refusal{"DanglingLink",
                [](const TempFolder& d) {
                  fs::create_symlink(d.path() / "nowhere", d.path() / "fine/gone.txt");
                },
                kPackMaxRelativePath, "No such file", "fine/gone.txt"},
        Refusal{"NotARegularFile",
                [](const TempFolder& d) { mkfifo((d.path() / "pipe").c_str(), 0600); },
                kPackMaxRelativePath, "not a regular file", "pipe"},
        // Two links in each of 16 folders to the next: 65,536 paths to one 64 KiB file. The
        // limit is met within the first 1,600 of them, during the walk.
        Refusal{"SymbolicLinkDiamond", [](const TempFolder& d) { MakeDiamond(d, 16, 65536); },
                kPackMaxRelativePath, "would exceed 104,857,600 bytes", "diamond/a/a/a/a/a/"},
        // The same with no file at the bottom: 32,767 folders, stopped at 16,384.
        Refusal{"EmptyFolderDiamond", [](const TempFolder& d) { MakeDiamond(d, 14, 0); },
                kPackMaxRelativePath, "folders to walk", "diamond/"},
        // The names the installation writes itself (what `extract` of an installer once
        // left in its folder), in any letter case: the package's file could not be made.
        Refusal{"OwnUninstaller", [](const TempFolder& d) { d.Write("uninstall.exe", "MZ"); },
                kPackMaxRelativePath, "writes uninstall.exe itself", "uninstall.exe"},
        Refusal{"OwnManifestInOtherCase",
                [](const TempFolder& d) { d.Write("Uninstall.INI", "[InstallFileInfo]"); },
                kPackMaxRelativePath, "writes uninstall.ini itself", "Uninstall.INI"},
        Refusal{"OwnChannelFile",
                [](const TempFolder& d) { d.Write("rudodeDATA/SPREAD.ini", "[SpreadInfo]"); },
                kPackMaxRelativePath, "writes RudodeData\\Spread.ini itself",
                "rudodeDATA/SPREAD.ini"},
        Refusal{"FileWhereTheChannelFolderGoes",
                [](const TempFolder& d) { d.Write("RudodeData", "x"); }, kPackMaxRelativePath,
                "makes a folder of this name for RudodeData\\Spread.ini", "RudodeData"},
        Refusal{"OwnKeptFolder", [](const TempFolder& d) { d.Write("uninstall.kept/1", "x"); },
                kPackMaxRelativePath, "writes uninstall.kept itself", "uninstall.kept"},
        Refusal{"OwnAsideFolder",
                [](const TempFolder& d) { d.Write("UNINSTALL.OLD/journal", "*journal 2"); },
                kPackMaxRelativePath, "writes uninstall.old itself", "UNINSTALL.OLD"},
        Refusal{"NewVersionBesideAChangedFile",
                [](const TempFolder& d) { d.Write("fine/OK.txt.New", "x"); }, kPackMaxRelativePath,
                "writes the package's 'ok.txt' under this name", "fine/OK.txt.New"},
        Refusal{"NoClient", [](const TempFolder& d) { fs::remove(d.path() / kClient); },
                kPackMaxRelativePath, "missing: the installer's shortcuts lead to this program",
                kClient},
        Refusal{"ClientOnlyBelowTheTop",
                [](const TempFolder& d) {
                  fs::rename(d.path() / kClient, d.path() / "fine" / kClient);
                },
                kPackMaxRelativePath, "missing: the installer's shortcuts", kClient},
        Refusal{"NothingToInstall",
                [](const TempFolder& d) {
                  fs::remove_all(d.path() / "fine");
                  fs::remove(d.path() / kClient);
                  fs::create_directories(d.path() / "only/empty");
                },
                kPackMaxRelativePath, "holds no files: there is nothing to install", ""}),
    RowName());

TEST(PackPayload, RefusesAPackageOverTheLimitBeforeReadingIt) {
  TempFolder dir;
  dir.Write("big.bin", "");
  fs::resize_file(dir.path() / "big.bin", kPackageLimit);  // sparse: costs no disk
  Bytes package;
  PackStats stats;
  std::string error;
  EXPECT_FALSE(BuildPayloadPackage(dir.path(), kPackMaxRelativePath, {}, &package, &stats, &error));
  EXPECT_NE(error.find("104,857,600"), std::string::npos) << error;
}

// A regular file by its status whose every read fails (EIO), even for root.
TEST(PackRead, AReadErrorIsNamed) {
  Bytes bytes;
  std::string error;
  EXPECT_FALSE(ReadWholeFile("/proc/self/mem", &bytes, &error));
  EXPECT_NE(error.find("read error"), std::string::npos) << error;
}

TEST(PackPayload, RefusesAnUnreadableFile) {
  TempFolder dir;
  dir.Write(kClient, "MZ");
  dir.Write("secret.txt", "x");
  fs::permissions(dir.path() / "secret.txt", fs::perms::none);
  // Root reads every file: it reads as another user meanwhile, in a folder open to all.
  const bool root = geteuid() == 0;
  if (root) {
    fs::permissions(dir.path(),
                    fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    fs::perm_options::add);
    setfsuid(65534);
  }
  Bytes package;
  PackStats stats;
  std::string error;
  const bool built =
      BuildPayloadPackage(dir.path(), kPackMaxRelativePath, {}, &package, &stats, &error);
  if (root)
    setfsuid(0);
  EXPECT_FALSE(built);
  EXPECT_NE(error.find("secret.txt"), std::string::npos) << error;
}

// The temporary output is made afresh: never written through a link that stands in its
// place, and a stale one from an interrupted run is replaced.
TEST(PackWrite, NeverWritesThroughALinkAndReplacesAStaleTemporary) {
  TempFolder dir;
  dir.Write("victim", "kept");
  const fs::path out = dir.path() / "out.bin";
  fs::create_symlink(dir.path() / "victim", dir.path() / "out.bin.partial");
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(out, Bytes{'n', 'e', 'w'}, &error));
  EXPECT_NE(error.find("out.bin.partial"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(fs::symlink_status(out)));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "out.bin.partial"));
  std::ifstream victim(dir.path() / "victim");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "kept");

  fs::remove(dir.path() / "out.bin.partial");
  dir.Write("out.bin.partial", "stale, and longer than the new content");
  ASSERT_TRUE(WriteFileAtomically(out, Bytes{'n', 'e', 'w'}, &error)) << error;
  std::ifstream written(out);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "new");
  EXPECT_FALSE(fs::exists(dir.path() / "out.bin.partial"));
}

TEST(PackCompress, RefusesDataOverTheLimit) {
  Bytes data(1001, 'x'), out;
  std::string error;
  EXPECT_FALSE(CompressResource(data, 12, 1000, &out, &error));
  EXPECT_TRUE(CompressResource(data, 12, 1001, &out, &error)) << error;
  EXPECT_FALSE(CompressResource(data, 13, 1001, &out, &error));
}

// Compressed in pieces on any number of threads, a resource is one stream that the
// installer's inflater and zlib both take back whole, and the same bytes every time.
Bytes Words(std::size_t size) {
  static const char* const kWords[] = {"install ", "folder ", "Korvel ", "skin ", "level\n"};
  Bytes out;
  std::uint32_t seed = 7;
  while (out.size() < size) {
    seed = seed * 1103515245 + 12345;
    const char* word = kWords[(seed >> 16) % 5];
    out.insert(out.end(), word, word + std::strlen(word));
  }
  out.resize(size);
  return out;
}
Bytes Noise(std::size_t size) {
  Bytes out(size);
  std::uint64_t seed = 11;
  for (std::uint8_t& b : out) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    b = static_cast<std::uint8_t>(seed >> 56);
  }
  return out;
}
// One byte from the middle of the first piece to the middle of the third.
Bytes RunAcrossPieces(std::size_t size) {
  Bytes out = Words(size);
  std::fill(out.begin() + kPackPieceBytes / 2, out.begin() + 5 * kPackPieceBytes / 2, 'z');
  return out;
}

struct PieceRow {
  const char* name;
  std::size_t size;
  Bytes (*make)(std::size_t);
  int level;
};

class PackPieces : public testing::TestWithParam<PieceRow> {};

// The data `stream` inflates to, by the installer's inflater and by zlib; both must take the
// whole stream.
void ExpectInflatesTo(const Bytes& stream, const Bytes& data) {
  Bytes back(data.size() + 1);
  int result = -1;
  back.resize(InflateResource(stream.data(), static_cast<std::uint32_t>(stream.size()), back.data(),
                              static_cast<std::uint32_t>(back.size()), &result));
  EXPECT_EQ(result, kInflateOk);
  EXPECT_EQ(back, data);

  Bytes zback(data.size() + 1);
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = zback.data();
  z.avail_out = static_cast<uInt>(zback.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u);  // the stream ends where the resource ends
  zback.resize(z.total_out);
  inflateEnd(&z);
  EXPECT_EQ(zback, data);
}

TEST_P(PackPieces, AreOneStreamTheSameForAnyNumberOfThreads) {
  const Bytes data = GetParam().make(GetParam().size);
  std::string error;
  Bytes one;
  ASSERT_TRUE(CompressResource(data, GetParam().level, kPackageLimit, &one, &error, 1)) << error;
  for (const unsigned threads : {2u, 3u, 8u, 8u}) {
    Bytes many;
    ASSERT_TRUE(CompressResource(data, GetParam().level, kPackageLimit, &many, &error, threads))
        << error;
    EXPECT_EQ(many, one) << threads << " threads";
  }
  ExpectInflatesTo(one, data);
}

// A piece may end at any bit of its last byte; the join must hold for each of the eight.
// Pieces of a few dozen bytes (libdeflate stores 31 or fewer whole at level 6) make
// hundreds of joins, and the test checks that they reach every ending.
TEST(PackPieces, JoinAfterAPieceEndingAtAnyBit) {
  std::set<unsigned> endings;
  for (std::size_t piece = 32; piece < 48; ++piece) {
    for (const Bytes& data : {Words(1500), Noise(300)}) {
      std::string error;
      Bytes one, many;
      ASSERT_TRUE(CompressResource(data, 6, kPackageLimit, &one, &error, 1, piece)) << error;
      ASSERT_TRUE(CompressResource(data, 6, kPackageLimit, &many, &error, 3, piece)) << error;
      EXPECT_EQ(many, one) << piece;
      ExpectInflatesTo(one, data);
      for (std::size_t at = 0; at < data.size(); at += piece) {
        const Bytes part(
            data.begin() + static_cast<std::ptrdiff_t>(at),
            data.begin() + static_cast<std::ptrdiff_t>(std::min(at + piece, data.size())));
        Bytes alone, back(piece);
        ASSERT_TRUE(CompressResource(part, 6, kPackageLimit, &alone, &error, 1, piece));
        InflateBounds bounds;
        int result = -1;
        InflateResource(alone.data(), static_cast<std::uint32_t>(alone.size()), back.data(),
                        static_cast<std::uint32_t>(back.size()), &result, &bounds);
        ASSERT_EQ(result, kInflateOk);
        endings.insert(static_cast<unsigned>(bounds.end % 8));
      }
    }
  }
  EXPECT_EQ(endings.size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows,
    PackPieces,
    testing::Values(PieceRow{"Empty", 0, Words, 1},
                    PieceRow{"SmallerThanAPiece", 1000, Words, 12},
                    PieceRow{"ExactlyTheSmallestPiece", 256 << 10, Words, 1},
                    PieceRow{"OneByteOver", (256 << 10) + 1, Words, 1},
                    PieceRow{"SmallPackageInQuarters", 700000, Words, 10},
                    PieceRow{"ManyPieces", 9 * kPackPieceBytes / 2, Words, 6},
                    PieceRow{"Incompressible", 2 * kPackPieceBytes + 100, Noise, 6},
                    PieceRow{"LongRunAcrossPieces", 3 * kPackPieceBytes, RunAcrossPieces, 1}),
    RowName());

// --- the command line ---------------------------------------------------------------------

// A bad option value is a usage error (exit status 2, the reason on stderr), and an output
// that cannot be written is refused before any work, naming its folder.
struct CommandLine {
  const char* name;
  const char* arguments;  // {in}: the sample payload folder, {out}: an empty folder
  int status;
  const char* message;  // a fragment of stderr, {out} replaced
};

class PackCommandLine : public testing::TestWithParam<CommandLine> {};

std::string Replaced(std::string text, const std::string& out) {
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"{in}", SETUP_SAMPLE_PAYLOAD_DIR},
        {"{stub}", SETUP_SAMPLE_PE64},
        {"{out}", out}}) {
    for (std::size_t at; (at = text.find(from)) != std::string::npos;)
      text.replace(at, from.size(), to);
  }
  return text;
}

TEST_P(PackCommandLine, SaysWhatIsWrong) {
  TempFolder out;
  const std::string errors = (out.path() / "stderr").string();
  const int status = std::system(("'" SETUP_PACK_PROGRAM "' " +
                                  Replaced(GetParam().arguments, out.path().string()) +
                                  " >/dev/null 2>'" + errors + "'")
                                     .c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), GetParam().status);
  std::ifstream in(errors);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find(Replaced(GetParam().message, out.path().string())), std::string::npos)
      << text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows,
    PackCommandLine,
    testing::Values(
        CommandLine{"LevelAboveTwelve", "payload {in} -o {out}/p --level 13", 2,
                    "--level takes a whole number from 1 to 12, not '13'"},
        CommandLine{"LevelNotANumber", "payload {in} -o {out}/p --level x", 2, "not 'x'"},
        CommandLine{"LevelWithMore", "compress {in}/config.ini -o {out}/c --level 9x", 2,
                    "not '9x'"},
        CommandLine{"MaxPathZero", "build stub {in} {out}/i.exe --max-path 0", 2,
                    "--max-path takes a whole number from 1 to 259, not '0'"},
        CommandLine{"MaxPathPastTheLimit", "payload {in} -o {out}/p --max-path 260", 2,
                    "not '260'"},
        CommandLine{"VersionOfTwoNumbers", "build stub {in} {out}/i.exe --product-version 1.2", 2,
                    "--product-version takes X.Y.Z or X.Y.Z.W, each 0 to 65535, not '1.2'"},
        CommandLine{"SignWithoutACommand", "build stub {in} {out}/i.exe --sign", 2,
                    "--sign needs a value"},
        CommandLine{"SigningCommandFails", "build {stub} {in} {out}/i.exe --sign false", 1,
                    "the signing command 'false' exited with status 1 on 'uninstall.exe'"},
        CommandLine{"NoValue", "payload {in} -o", 2, "-o needs a value"},
        CommandLine{"UnknownOption", "payload {in} -o {out}/p --fast", 2,
                    "unknown option '--fast'"},
        CommandLine{"ThreadsZero", "payload {in} -o {out}/p --threads 0", 2,
                    "--threads takes a whole number from 1 to 64, not '0'"},
        CommandLine{"GoodValues", "payload {in} -o {out}/p --level 1 --threads 3 --max-path 259", 0,
                    "at level 1 on 3 threads..."},
        CommandLine{"OutputInAMissingFolder", "payload {in} -o {out}/missing/p", 1,
                    "'{out}/missing': the output's folder does not exist"},
        // Checked before the stub is read, let alone the payload compressed.
        CommandLine{"InstallerInAMissingFolder", "build {out}/no-stub.exe {in} {out}/missing/i.exe",
                    1, "'{out}/missing': the output's folder does not exist"},
        CommandLine{"OutputIsAFile", "compress {in}/config.ini -o {in}/config.ini/c", 1,
                    "config.ini': the output's folder is not a folder"},
        CommandLine{"UninstallerInAMissingFolder",
                    "extract {out}/no.exe {out}/x --uninstaller {out}/missing/uninstall.exe", 1,
                    "'{out}/missing': the output's folder does not exist"}),
    RowName());

// --- stamp and verify on real images ----------------------------------------------------

// A cross-built image as the build's stamp step sees it: GNU ld writes a header checksum,
// which the stamp step clears.
Bytes ReadSample(const char* path) {
  Bytes image;
  std::string error;
  EXPECT_TRUE(ReadWholeFile(path, &image, &error)) << error;
  std::uint32_t position = 0;
  EXPECT_TRUE(ClearChecksum(&image, &position, &error)) << error;
  return image;
}

Bytes Stamped(const Bytes& image) {
  Bytes out = image;
  Md5Digest digest;
  FileRange stamped;
  std::string error;
  EXPECT_TRUE(StampImage(&out, &digest, &stamped, &error)) << error;
  return out;
}

bool Passes(const Bytes& image) {
  VerifyReport report;
  std::string error;
  return VerifyImage(image, &report, &error) && report.ok;
}

class RealImages : public testing::TestWithParam<const char*> {};

TEST_P(RealImages, StampedPassesAndOnlyAnIntactFilePasses) {
  const Bytes image = ReadSample(GetParam());
  PeImage pe;
  ASSERT_EQ(pe.Parse(image.data(), image.size()), PeStatus::kOk);
  EXPECT_EQ(pe.Is64(), std::string(GetParam()).find("x86_64") != std::string::npos);
  EXPECT_FALSE(Passes(image));  // placeholder digits

  const Bytes stamped = Stamped(image);
  ASSERT_TRUE(Passes(stamped));
  FileRange block;
  std::uint32_t id = 0;
  ASSERT_EQ(pe.FindDigestBlock(&block, &id), PeStatus::kOk);
  EXPECT_EQ(id, 3u);

  Bytes flipped = stamped;  // a byte outside the block
  flipped[block.position - 1] ^= 0x20;
  EXPECT_FALSE(Passes(flipped));

  Bytes otherString = stamped;  // string 40: same block, same length
  const std::size_t s40 = block.position + 2 + 128 + 7 * 2 + 2;
  ASSERT_EQ(otherString[s40], 'a');
  otherString[s40] = 'A';
  EXPECT_TRUE(Passes(otherString));

  Bytes lower = stamped;  // the digest in lower case: no match
  for (std::size_t i = 0; i < 64; ++i) {
    std::uint8_t& c = lower[block.position + 2 + 2 * i];
    if (c >= 'A' && c <= 'F')
      c = static_cast<std::uint8_t>(c + 32);
  }
  EXPECT_FALSE(Passes(lower));

  Bytes halves = stamped;  // halves that differ
  halves[block.position + 2 + 2 * 40] ^= 1;
  EXPECT_FALSE(Passes(halves));

  // A damaged length of string 32 (left out of the digest with its block) fails, whether it
  // stays inside the block or runs past it, as it fails the installer's own check.
  for (const unsigned length : {0u, 63u, 65u, 79u, 80u, 65535u}) {
    Bytes damaged = stamped;
    damaged[block.position] = static_cast<std::uint8_t>(length);
    damaged[block.position + 1] = static_cast<std::uint8_t>(length >> 8);
    VerifyReport report;
    std::string error;
    ASSERT_TRUE(VerifyImage(damaged, &report, &error)) << length << ": " << error;
    EXPECT_FALSE(report.ok) << length;
    EXPECT_EQ(report.status, length > (block.size - 2) / 2 ? StoredDigestStatus::kLengthPastBlock
                                                           : StoredDigestStatus::kWrongLength)
        << length;
  }
}

TEST_P(RealImages, ImportsAreListed) {
  const Bytes image = ReadSample(GetParam());
  PeImage pe;
  ASSERT_EQ(pe.Parse(image.data(), image.size()), PeStatus::kOk);
  std::vector<std::string> names;
  ASSERT_EQ(pe.ImportedDlls(&names), PeStatus::kOk);
  EXPECT_NE(std::find(names.begin(), names.end(), "KERNEL32.dll"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "msvcrt.dll"), names.end());
  Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(image.size() / 2));
  PeImage half;
  if (half.Parse(cut.data(), cut.size()) == PeStatus::kOk) {
    half.ImportedDlls(&names);  // whatever it says, it stays inside the bytes it has
  }
}

TEST_P(RealImages, ListAndExtractGiveBackThePayload) {
  Bytes package, uninstaller;
  std::string error;
  ASSERT_TRUE(ReadInstallerResources(ReadSample(GetParam()), &package, &uninstaller, &error))
      << error;
  const auto folder = FolderFiles(SETUP_SAMPLE_PAYLOAD_DIR);
  const auto records = Records(package);
  ASSERT_EQ(records.size(), folder.size());
  for (const auto& [path, content] : records) {
    ASSERT_TRUE(folder.count(path)) << path;
    EXPECT_EQ(folder.at(path), content) << path;
  }
  EXPECT_FALSE(uninstaller.empty());

  // The manifest of the installer is that of its source folder, after uninstall.exe.
  std::vector<ManifestLine> installer, source;
  ASSERT_TRUE(InstallerManifest(ReadSample(GetParam()), &installer, &error)) << error;
  ASSERT_TRUE(FolderManifest(SETUP_SAMPLE_PAYLOAD_DIR, &source, &error)) << error;
  ASSERT_EQ(installer.size(), source.size() + 1);
  EXPECT_EQ(installer.front().path, "uninstall.exe");
  for (std::size_t i = 0; i < source.size(); ++i) {
    EXPECT_EQ(installer[i + 1].path, source[i].path);
    EXPECT_EQ(installer[i + 1].size, source[i].size);
    EXPECT_EQ(installer[i + 1].sha256, source[i].sha256);
    EXPECT_EQ(source[i].sha256.size(), 64u);
  }

  // Extraction makes its folder, however deep, and that folder packs into the same package:
  // the uninstaller, which the installation writes itself, goes elsewhere, when asked for.
  TempFolder out;
  PackStats stats;
  const fs::path extracted = out.path() / "new/deeper";
  ASSERT_TRUE(ExtractInstaller(ReadSample(GetParam()), extracted, out.path() / "uninstall.exe",
                               &stats, &error))
      << error;
  EXPECT_EQ(FolderFiles(extracted.string()), folder);
  EXPECT_EQ(stats.files, folder.size());
  Bytes written, again;
  ASSERT_TRUE(ReadWholeFile(out.path() / "uninstall.exe", &written, &error)) << error;
  EXPECT_TRUE(written == uninstaller);
  ASSERT_TRUE(BuildPayloadPackage(extracted, kPackMaxRelativePath, {}, &again, &stats, &error))
      << error;
  EXPECT_TRUE(again == package);
}

// Stamped, then signed with osslsigncode as a release is: the installer's check passes and
// finds the digest the file was stamped with. A changed byte of the signed content, bytes
// after the signature, or a certificate table moved or given another length fail it.
TEST_P(RealImages, SignedAfterStampingStillPasses) {
  std::string path = GetParam();
  path.insert(path.size() - 4, "-signed");
  Bytes signedImage;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(path, &signedImage, &error)) << error;
  VerifyReport report, stamped;
  ASSERT_TRUE(VerifyImage(signedImage, &report, &error)) << error;
  EXPECT_TRUE(report.ok);
  EXPECT_GT(report.signatureBytes, 0u);
  ASSERT_TRUE(VerifyImage(Stamped(ReadSample(GetParam())), &stamped, &error)) << error;
  EXPECT_EQ(report.computed, stamped.computed);

  PeImage pe;
  ASSERT_EQ(pe.Parse(signedImage.data(), signedImage.size()), PeStatus::kOk);
  const std::uint32_t directory = pe.DataDirectoryPosition(4);
  const FileRange table = pe.DataDirectory(4);
  const auto withDirectory = [&](std::uint32_t position, std::uint32_t size) {
    Bytes b = signedImage;
    for (int i = 0; i < 4; ++i) {
      b[directory + i] = static_cast<std::uint8_t>(position >> (8 * i));
      b[directory + 4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    }
    return b;
  };
  Bytes content = signedImage;
  content[pe.Sections().front().rawPosition + 16] ^= 0x01;
  Bytes appended = signedImage;
  appended.resize(appended.size() + 8, 0);
  EXPECT_FALSE(Passes(content)) << "a changed byte of the signed content";
  EXPECT_FALSE(Passes(appended)) << "bytes after the signature";
  EXPECT_FALSE(Passes(withDirectory(table.position, table.size - 8))) << "a shorter table";
  EXPECT_FALSE(Passes(withDirectory(table.position + 8, table.size - 8))) << "a moved table";
  EXPECT_FALSE(Passes(withDirectory(table.position - 512, table.size + 512))) << "a larger one";
}

// A sample used as a stub with another payload - one that grows the resource section by
// pages, so the base relocations after it move, and an empty one, which shrinks it - is an
// installer that passes its check and holds the new payload, with every other resource and
// every section before the resources as they were. Built twice, it is the same bytes.
TEST_P(RealImages, BuildFromAStubChangesOnlyThePayload) {
  const Bytes stub = ReadSample(GetParam());
  PeImage before;
  ASSERT_EQ(before.Parse(stub.data(), stub.size()), PeStatus::kOk);
  std::vector<Resource> stubResources;
  ASSERT_EQ(ReadResources(before, &stubResources), PeStatus::kOk);
  TempFolder dir;
  std::string noise(150000, '\0');
  std::uint32_t x = 1;
  for (char& c : noise) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  dir.Write("noise.bin", noise);
  dir.Write(kClient, "MZ");
  for (const bool grow : {true, false}) {
    Bytes package, payload, installer, again, unpacked, uninstaller;
    PackStats stats;
    Md5Digest digest;
    std::string error;
    if (grow) {
      ASSERT_TRUE(
          BuildPayloadPackage(dir.path(), kPackMaxRelativePath, {}, &package, &stats, &error))
          << error;
    }
    ASSERT_TRUE(CompressResource(package, 1, kPackageLimit, &payload, &error)) << error;
    ASSERT_TRUE(BuildInstaller(stub, payload, {}, nullptr, &installer, &digest, &error)) << error;
    ASSERT_TRUE(BuildInstaller(stub, payload, {}, nullptr, &again, &digest, &error)) << error;
    EXPECT_TRUE(installer == again);
    EXPECT_TRUE(Passes(installer)) << grow;
    ASSERT_TRUE(ReadInstallerResources(installer, &unpacked, &uninstaller, &error)) << error;
    EXPECT_TRUE(unpacked == package);

    PeImage after;
    ASSERT_EQ(after.Parse(installer.data(), installer.size()), PeStatus::kOk);
    EXPECT_EQ(installer.size() > stub.size(), grow);
    std::vector<Resource> resources;
    ASSERT_EQ(ReadResources(after, &resources), PeStatus::kOk);
    // The payload's summary is new (ReadInstallerResources found it true to the payload).
    EXPECT_EQ(std::erase_if(resources, [](const Resource& r) { return r.name.id == 138; }), 1u);
    ASSERT_EQ(resources.size(), stubResources.size());
    for (std::size_t i = 0; i < resources.size(); ++i) {
      const Resource& r = resources[i];
      EXPECT_TRUE(r.type == stubResources[i].type && r.name == stubResources[i].name &&
                  r.language == stubResources[i].language)
          << i;
      const bool payloadOrDigest = r.name.id == 137 || r.type.id == 6;
      EXPECT_TRUE(payloadOrDigest || r.data == stubResources[i].data) << i;
    }
    const std::uint32_t resourcesAt = before.DataDirectory(2).position;
    for (std::size_t i = 0; i < before.Sections().size(); ++i) {
      const PeSection& a = before.Sections()[i];
      const PeSection& b = after.Sections()[i];
      if (a.virtualAddress < resourcesAt) {
        EXPECT_EQ(a.virtualAddress, b.virtualAddress);
        EXPECT_TRUE(std::equal(stub.begin() + a.rawPosition,
                               stub.begin() + a.rawPosition + a.rawSize,
                               installer.begin() + b.rawPosition))
            << i;
      }
    }
    EXPECT_EQ(after.DataDirectory(5).position - before.DataDirectory(5).position,
              after.Sections().back().virtualAddress - before.Sections().back().virtualAddress);
  }
}

// `build --product-version` gives both programs the release's version: the stub, and any
// program as the uninstaller. Setting the version a resource states already gives back the
// resource the resource compiler wrote, so every other node is kept as it was.
TEST_P(RealImages, ProductVersionIsSetInBothPrograms) {
  const Bytes stub = ReadSample(GetParam());
  PeImage pe;
  FileRange range;
  ASSERT_EQ(pe.Parse(stub.data(), stub.size()), PeStatus::kOk);
  ASSERT_EQ(pe.FindTypedResource(16, 1, &range), PeStatus::kOk);
  const Bytes original(stub.begin() + range.position, stub.begin() + range.position + range.size);
  ReleaseVersion same{{0, 9, 0, 0}, u"0.9"};
  Bytes rewritten;
  ASSERT_TRUE(SetVersionResource(original, same, &rewritten));
  EXPECT_TRUE(rewritten == original);

  ReleaseVersion release;
  ASSERT_TRUE(ParseReleaseVersion("2.5.1.7", &release));
  Bytes program = stub, uninstaller, payload, installer;
  std::string error;
  ASSERT_TRUE(SetProgramVersion(&program, release, &error)) << error;
  ASSERT_TRUE(CompressResource(program, 1, kUninstallerLimit, &uninstaller, &error)) << error;
  ASSERT_TRUE(CompressResource({}, 1, kPackageLimit, &payload, &error)) << error;
  Md5Digest digest;
  ASSERT_TRUE(BuildInstaller(stub, payload, uninstaller, &release, &installer, &digest, &error))
      << error;
  EXPECT_TRUE(Passes(installer));
  Bytes carried;
  ASSERT_TRUE(StubUninstaller(installer, &carried, &error)) << error;
  EXPECT_TRUE(carried == program);
  for (const Bytes* image : {&installer, &program}) {
    ASSERT_EQ(pe.Parse(image->data(), image->size()), PeStatus::kOk);
    ASSERT_EQ(pe.FindTypedResource(16, 1, &range), PeStatus::kOk);
    ReleaseVersion read;
    ASSERT_TRUE(ReadVersionResource(image->data() + range.position, range.size, &read));
    EXPECT_TRUE(read.text == u"2.5.1.7");
    EXPECT_EQ(std::vector<int>(read.parts, read.parts + 4), (std::vector<int>{2, 5, 1, 7}));
  }

  // A signed program would lose its signature; a program without a version resource has
  // nowhere to take it.
  Bytes signedProgram;
  ASSERT_TRUE(ReadWholeFile(
      std::string(GetParam()).replace(std::string(GetParam()).size() - 4, 4, "-signed.exe"),
      &signedProgram, &error))
      << error;
  EXPECT_FALSE(SetProgramVersion(&signedProgram, release, &error));
  EXPECT_NE(error.find("signed"), std::string::npos) << error;
  ASSERT_EQ(pe.Parse(stub.data(), stub.size()), PeStatus::kOk);
  std::vector<Resource> resources;
  ASSERT_EQ(ReadResources(pe, &resources), PeStatus::kOk);
  std::erase_if(resources, [](const Resource& r) { return r.type.id == 16; });
  Bytes unversioned;
  ASSERT_EQ(WriteResourceSection(pe, resources, &unversioned), PeStatus::kOk);
  EXPECT_FALSE(SetProgramVersion(&unversioned, release, &error));
  EXPECT_NE(error.find("no version resource"), std::string::npos) << error;
}

// A release's version is three or four numbers of 0 to 65,535, nothing else.
TEST(ReleaseVersion, OnlyThreeOrFourNumbersAreAVersion) {
  ReleaseVersion version;
  for (const char* good : {"1.2.3", "0.0.0.0", "65535.65535.65535.65535", "10.01.2"})
    EXPECT_TRUE(ParseReleaseVersion(good, &version)) << good;
  EXPECT_TRUE(version.text == u"10.01.2" && version.parts[1] == 1 && version.parts[3] == 0);
  for (const char* bad : {"", "1.2", "1.2.3.4.5", "1..3", "1.2.3.", ".1.2.3", "1.2.x", "65536.0.0",
                          "+1.2.3", "1.2.3 ", "-1.2.3", "1.2.000003"}) {
    EXPECT_FALSE(ParseReleaseVersion(bad, &version)) << bad;
  }
}

INSTANTIATE_TEST_SUITE_P(CrossBuilt,
                         RealImages,
                         testing::Values(SETUP_SAMPLE_PE32, SETUP_SAMPLE_PE64),
                         [](const testing::TestParamInfo<const char*>& row) {
                           return std::string(row.index == 0 ? "Pe32" : "Pe32Plus");
                         });

struct StampRefusal {
  const char* name;
  void (*damage)(Bytes&);
  const char* message;
};

class StampRefusals : public testing::TestWithParam<StampRefusal> {};

TEST_P(StampRefusals, BreakAPackagingRule) {
  Bytes image = ReadSample(SETUP_SAMPLE_PE64);
  GetParam().damage(image);
  const Bytes damaged = image;
  Md5Digest digest;
  FileRange stamped;
  std::string error;
  EXPECT_FALSE(StampImage(&image, &digest, &stamped, &error));
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
  EXPECT_TRUE(image == damaged) << "a refused image is left as it was";
}

PeImage Parsed(const Bytes& image) {
  PeImage pe;
  pe.Parse(image.data(), image.size());
  return pe;
}

INSTANTIATE_TEST_SUITE_P(
    Rules,
    StampRefusals,
    testing::Values(
        StampRefusal{"HeaderChecksum", [](Bytes& f) { f[Parsed(f).ChecksumPosition()] = 1; },
                     "checksum"},
        StampRefusal{"Signed", [](Bytes& f) { f[Parsed(f).DataDirectoryPosition(4) + 4] = 8; },
                     "is signed: stamping would"},
        StampRefusal{"AppendedData", [](Bytes& f) { f.push_back(0); }, "follow the last section"},
        StampRefusal{"TooLarge", [](Bytes& f) { f.resize(kInstallerSizeLimit); }, "104,857,600"},
        StampRefusal{"NotPe", [](Bytes& f) { f[0] = 'Z'; }, "not a PE"}),
    RowName());

TEST(Stamp, RefusesAPlaceholderOfTheWrongLengthOrLowerStrings) {
  Md5Digest digest;
  FileRange stamped;
  std::string error;
  PeLayout shortPlaceholder;
  shortPlaceholder.firstString = std::u16string(63, u'0');
  Bytes image = MakeMinimalPe(shortPlaceholder);
  EXPECT_FALSE(StampImage(&image, &digest, &stamped, &error));
  EXPECT_NE(error.find("63 characters"), std::string::npos) << error;

  PeLayout lower;
  lower.blockId = 2;
  image = MakeMinimalPe(lower);
  EXPECT_FALSE(StampImage(&image, &digest, &stamped, &error));
  EXPECT_NE(error.find("below 32"), std::string::npos) << error;

  image = MakeMinimalPe({});
  EXPECT_TRUE(StampImage(&image, &digest, &stamped, &error)) << error;
  EXPECT_EQ(stamped.position, kPeBlockPosition + 2);
  EXPECT_EQ(stamped.size, 128u);
}

// A stub is unsigned (the installer is signed, after it is built), has nothing after its
// last section and carries an uninstaller, or is given one; the payload and the
// uninstaller inflate, and the package is sound.
TEST(BuildInstaller, RefusesWhatCannotBeAStub) {
  const Bytes stub = ReadSample(SETUP_SAMPLE_PE64);
  Bytes signedStub, withoutUninstaller, installer;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(SETUP_SIGNED_PE64, &signedStub, &error)) << error;
  PeImage pe;
  ASSERT_EQ(pe.Parse(stub.data(), stub.size()), PeStatus::kOk);
  std::vector<Resource> resources;
  ASSERT_EQ(ReadResources(pe, &resources), PeStatus::kOk);
  std::erase_if(resources, [](const Resource& r) { return r.name.id == 139; });
  ASSERT_EQ(WriteResourceSection(pe, resources, &withoutUninstaller), PeStatus::kOk);
  Bytes appended = stub;
  appended.resize(appended.size() + 8);
  Bytes payload, uninstaller, damaged;
  ASSERT_TRUE(CompressResource({}, 1, kPackageLimit, &payload, &error)) << error;
  ASSERT_TRUE(CompressResource({9, 9}, 1, kUninstallerLimit, &uninstaller, &error)) << error;
  ASSERT_TRUE(CompressResource({1, 2, 3}, 1, kPackageLimit, &damaged, &error)) << error;
  const Bytes garbage = {0xff, 0xff};
  const struct {
    const Bytes* stub;
    const Bytes* payload;
    const char* message;
  } rows[] = {{&signedStub, &payload, "signed"},
              {&appended, &payload, "follow the last section"},
              {&withoutUninstaller, &payload, "no uninstaller"},
              {&stub, &garbage, "does not inflate"},
              {&stub, &damaged, "damaged: record 0 at offset 0"}};
  Md5Digest digest;
  for (const auto& row : rows) {
    EXPECT_FALSE(BuildInstaller(*row.stub, *row.payload, {}, nullptr, &installer, &digest, &error));
    EXPECT_NE(error.find(row.message), std::string::npos) << error;
  }
  ASSERT_TRUE(BuildInstaller(withoutUninstaller, payload, uninstaller, nullptr, &installer, &digest,
                             &error))
      << error;
  ASSERT_EQ(pe.Parse(installer.data(), installer.size()), PeStatus::kOk);
  FileRange range;
  ASSERT_EQ(pe.FindNamedTypeResource(u"FILE", 139, &range), PeStatus::kOk);
  EXPECT_EQ(range.size, uninstaller.size());
}

}  // namespace
