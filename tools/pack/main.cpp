// setup_pack: builds the resources of an installer and checks finished installers. The
// arguments and messages are UTF-8; on Windows (setup_pack.exe) the arguments come in
// UTF-16 and are converted.
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "tools/pack/Build.h"
#include "tools/pack/Extract.h"
#include "tools/pack/HostFiles.h"
#include "tools/pack/Installer.h"
#include "tools/pack/Signing.h"
#include "tools/pack/Stamp.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: setup_pack COMMAND ...\n"
    "\n"
    "  build STUB DIR OUT [--uninstaller EXE] [--level N] [--max-path N]\n"
    "      Makes the finished installer OUT from the prebuilt installer STUB: packs DIR as\n"
    "      \"payload\" does into resource \"FILE\" 137, compresses EXE into \"FILE\" 139 (by\n"
    "      default the stub's own is kept), and stamps the digest. Sign OUT afterwards.\n"
    "  payload DIR -o FILE [--level N] [--max-path N]\n"
    "      Packs every file below DIR into a payload package and writes it raw-deflate\n"
    "      compressed (resource \"FILE\" 137). Files are stored in a sorted recursive walk;\n"
    "      relative paths may have at most N UTF-16 code units (default 200). Every name\n"
    "      the installer cannot take is refused and named, with its reason.\n"
    "  compress FILE -o OUT [--level N]\n"
    "      Compresses the uninstaller (at most 10,485,760 bytes) for resource \"FILE\" 139.\n"
    "  stamp EXE [--clear-checksum]\n"
    "      Writes the digest of a finished installer into its string 32, in place. The PE\n"
    "      header checksum must be 0; --clear-checksum sets it to 0 first (GNU ld sets it).\n"
    "  verify EXE\n"
    "      Runs the installer's own integrity check and says whether the file is signed;\n"
    "      exit status 0 when it passes, 1 if not.\n"
    "  manifest EXE|DIR\n"
    "      One line per file an installer holds (uninstall.exe first) or a folder would pack:\n"
    "      its SHA-256, its size and its path, in package order, to audit a release.\n"
    "  list EXE\n"
    "      Lists what the installer will put on a machine: size and path of every file.\n"
    "  extract EXE DIR\n"
    "      Writes the installer's files (and uninstall.exe) below DIR.\n"
    "  --help\n"
    "      Prints this text.\n"
    "\n"
    "Compression uses libdeflate, level 1-12 (default 12), and is checked by inflating with\n"
    "the installer's own decoder. Exit status: 0 done, 1 refused or failed, 2 usage.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// One line of the message on stderr per line of `message` (a refusal names every path).
int Fail(const std::string& message) {
  for (std::size_t start = 0; start <= message.size();) {
    std::size_t end = message.find('\n', start);
    if (end == std::string::npos)
      end = message.size();
    std::fprintf(stderr, "setup_pack: %s\n", message.substr(start, end - start).c_str());
    start = end + 1;
  }
  return 1;
}

// Progress on stderr: a bar on a terminal, a line per tenth otherwise.
class ProgressReport {
 public:
  ProgressReport() : terminal_(isatty(STDERR_FILENO) != 0) {}
  ~ProgressReport() {
    if (terminal_ && drawn_)
      std::fputc('\n', stderr);
  }
  void operator()(const char* phase, std::uint64_t done, std::uint64_t total) {
    const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
    if (terminal_) {
      const unsigned filled = percent / 4;
      std::fprintf(stderr, "\r%-10s [%s%s] %3u%%", phase, std::string(filled, '#').c_str(),
                   std::string(25 - filled, ' ').c_str(), percent);
      drawn_ = true;
    } else if (percent / 10 != lastTenth_) {
      lastTenth_ = percent / 10;
      std::fprintf(stderr, "%s: %u%%\n", phase, percent);
    }
  }

 private:
  bool terminal_;
  bool drawn_ = false;
  unsigned lastTenth_ = ~0u;
};

struct Options {
  std::vector<std::string> positional;
  std::string output;
  std::string uninstaller;
  std::string sign;
  bool versioned = false;
  ReleaseVersion version;
  int level = kPackDefaultLevel;
  std::size_t maxPath = kPackMaxRelativePath;
  bool clearChecksum = false;
  bool ok = true;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "-o" && hasValue) {
      o.output = argv[++i];
    } else if (a == "--level" && hasValue) {
      o.level = std::atoi(argv[++i]);
    } else if (a == "--max-path" && hasValue) {
      o.maxPath = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--uninstaller" && hasValue) {
      o.uninstaller = argv[++i];
    } else if (a == "--product-version" && hasValue) {
      o.versioned = true;
      if (!ParseReleaseVersion(argv[++i], &o.version)) {
        std::fprintf(stderr,
                     "setup_pack: --product-version takes X.Y.Z or X.Y.Z.W, each 0-65535\n");
        o.ok = false;
      }
    } else if (a == "--sign" && hasValue) {
      o.sign = argv[++i];
    } else if (a == "--clear-checksum") {
      o.clearChecksum = true;
    } else if (!a.empty() && a[0] == '-') {
      o.ok = false;
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

// Packs `folder` and compresses the package, with progress on stderr.
bool PackFolder(const Options& o,
                const std::string& folder,
                Bytes* package,
                Bytes* compressed,
                PackStats* stats,
                std::string* error) {
  if (o.maxPath == 0 || o.maxPath > kMaxFullPathUnits) {
    *error = "--max-path must be 1 to 259";
    return false;
  }
  {
    ProgressReport progress;
    if (!BuildPayloadPackage(HostPath(folder), o.maxPath, std::ref(progress), package, stats,
                             error))
      return false;
  }
  std::fprintf(stderr, "compressing %zu bytes at level %d...\n", package->size(), o.level);
  return CompressResource(*package, o.level, kPackageLimit, compressed, error);
}

int Payload(const Options& o) {
  if (o.positional.size() != 1 || o.output.empty())
    return Usage();
  Bytes package, compressed;
  PackStats stats;
  std::string error;
  if (!PackFolder(o, o.positional[0], &package, &compressed, &stats, &error))
    return Fail(error);
  if (!WriteFileAtomically(HostPath(o.output), compressed, &error))
    return Fail(error);
  std::printf(
      "%zu files, %llu data bytes, longest path %zu; package %zu bytes, compressed %zu "
      "bytes (%.1f%%)\n",
      stats.files, static_cast<unsigned long long>(stats.dataBytes), stats.longestPath,
      package.size(), compressed.size(),
      package.empty()
          ? 0.0
          : 100.0 * static_cast<double>(compressed.size()) / static_cast<double>(package.size()));
  return 0;
}

// The uninstaller as the installer will carry it, compressed into `compressed`: the one
// given, or the stub's own when it changes, with the release's version and signed when
// asked; left empty when the stub's own is kept as it is.
bool PackUninstaller(const Options& o, const Bytes& stub, Bytes* compressed, std::string* error) {
  Bytes program;
  const std::string what =
      o.uninstaller.empty() ? "the stub's uninstaller" : QuotedPath(HostPath(o.uninstaller));
  if (!o.uninstaller.empty()) {
    if (!ReadWholeFile(HostPath(o.uninstaller), &program, error))
      return false;
  } else if (o.versioned || !o.sign.empty()) {
    if (!StubUninstaller(stub, &program, error))
      return false;
  } else {
    return true;
  }
  if (o.versioned && !SetProgramVersion(&program, o.version, error)) {
    *error = what + ": " + *error;
    return false;
  }
  if (!o.sign.empty() && !SignWithCommand(o.sign, "uninstall.exe", &program, error))
    return false;
  if (!CompressResource(program, o.level, kUninstallerLimit, compressed, error)) {
    *error = what + ": " + *error;
    return false;
  }
  return true;
}

int Build(const Options& o) {
  if (o.positional.size() != 3 || !o.output.empty())
    return Usage();
  const std::string& stubPath = o.positional[0];
  const std::string& out = o.positional[2];
  Bytes stub, package, payload, uninstaller, installer;
  PackStats stats;
  std::string error;
  if (!ReadWholeFile(HostPath(stubPath), &stub, &error))
    return Fail(error);
  if (!PackUninstaller(o, stub, &uninstaller, &error))
    return Fail(error);
  if (!PackFolder(o, o.positional[1], &package, &payload, &stats, &error))
    return Fail(error);
  Md5Digest digest;
  if (!BuildInstaller(stub, payload, uninstaller, o.versioned ? &o.version : nullptr, &installer,
                      &digest, &error)) {
    return Fail("'" + stubPath + "': " + error);
  }
  if (!o.sign.empty()) {
    VerifyReport report;
    if (!SignWithCommand(o.sign, HostPath(out).filename(), &installer, &error))
      return Fail(error);
    if (!VerifyImage(installer, &report, &error) || !report.ok) {
      return Fail("the signed installer no longer passes its own check: " +
                  (error.empty() ? std::string(DescribeStoredDigestStatus(report.status)) : error));
    }
  }
  if (!WriteFileAtomically(HostPath(out), installer, &error))
    return Fail(error);
  std::printf("%zu files, %llu data bytes, payload compressed %zu bytes; %zu bytes  %s  %s\n",
              stats.files, static_cast<unsigned long long>(stats.dataBytes), payload.size(),
              installer.size(), DigestHex(digest).c_str(), out.c_str());
  return 0;
}

int Compress(const Options& o) {
  if (o.positional.size() != 1 || o.output.empty())
    return Usage();
  Bytes data, compressed;
  std::string error;
  if (!ReadWholeFile(HostPath(o.positional[0]), &data, &error))
    return Fail(error);
  if (!CompressResource(data, o.level, kUninstallerLimit, &compressed, &error)) {
    return Fail("'" + o.positional[0] + "': " + error);
  }
  if (!WriteFileAtomically(HostPath(o.output), compressed, &error))
    return Fail(error);
  std::printf("%zu bytes, compressed %zu bytes\n", data.size(), compressed.size());
  return 0;
}

int Stamp(const Options& o) {
  if (o.positional.size() != 1)
    return Usage();
  const std::string& path = o.positional[0];
  Bytes image;
  std::string error;
  if (!ReadWholeFile(HostPath(path), &image, &error))
    return Fail(error);
  std::uint32_t checksumPosition = 0;
  if (o.clearChecksum && !ClearChecksum(&image, &checksumPosition, &error)) {
    return Fail("'" + path + "': " + error);
  }
  Md5Digest digest;
  FileRange stamped;
  if (!StampImage(&image, &digest, &stamped, &error))
    return Fail("'" + path + "': " + error);
  // In place: only the bytes that changed are written.
  std::fstream file(HostPath(path), std::ios::binary | std::ios::in | std::ios::out);
  if (o.clearChecksum) {
    file.seekp(checksumPosition);
    file.write("\0\0\0\0", 4);
  }
  file.seekp(stamped.position);
  file.write(reinterpret_cast<const char*>(image.data() + stamped.position), stamped.size);
  file.flush();
  if (!file)
    return Fail("'" + path + "': cannot write the digest");
  std::printf("%s  %s\n", DigestHex(digest).c_str(), path.c_str());
  return 0;
}

int Verify(const Options& o) {
  if (o.positional.size() != 1)
    return Usage();
  Bytes image;
  VerifyReport report;
  std::string error;
  if (!ReadWholeFile(HostPath(o.positional[0]), &image, &error))
    return Fail(error);
  if (!VerifyImage(image, &report, &error))
    return Fail("'" + o.positional[0] + "': " + error);
  std::printf("stored:    %s\ncomputed:  %s\n", report.stored.c_str(), report.computed.c_str());
  if (report.signatureBytes != 0)
    std::printf("signature: present (a certificate table of %u bytes)\n", report.signatureBytes);
  else
    std::printf("signature: none\n");
  if (report.ok)
    std::printf("integrity check passes\n");
  else
    std::printf("integrity check FAILS: %s\n", DescribeStoredDigestStatus(report.status));
  return report.ok ? 0 : 1;
}

int List(const Options& o) {
  if (o.positional.size() != 1)
    return Usage();
  Bytes image, package, uninstaller;
  std::string error;
  if (!ReadWholeFile(HostPath(o.positional[0]), &image, &error))
    return Fail(error);
  if (!ReadInstallerResources(image, &package, &uninstaller, &error))
    return Fail("'" + o.positional[0] + "': " + error);
  std::printf("%10zu  uninstall.exe\n", uninstaller.size());
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  while (walker.Next(&r)) {
    ++files;
    bytes += r.size;
    std::printf("%10u  %s\n", r.size,
                Utf16ToUtf8(std::u16string_view(r.path, r.pathLength)).c_str());
  }
  std::printf("%zu files, %llu bytes\n", files, static_cast<unsigned long long>(bytes));
  return 0;
}

int Manifest(const Options& o) {
  if (o.positional.size() != 1)
    return Usage();
  std::vector<ManifestLine> lines;
  std::string error;
  const fs::path input = HostPath(o.positional[0]);
  std::error_code ec;
  if (fs::is_directory(input, ec)) {
    if (!FolderManifest(input, &lines, &error))
      return Fail(error);
  } else {
    Bytes image;
    if (!ReadWholeFile(input, &image, &error))
      return Fail(error);
    if (!InstallerManifest(image, &lines, &error))
      return Fail("'" + o.positional[0] + "': " + error);
  }
  for (const ManifestLine& line : lines) {
    std::printf("%s  %10llu  %s\n", line.sha256.c_str(), static_cast<unsigned long long>(line.size),
                line.path.c_str());
  }
  return 0;
}

int Extract(const Options& o) {
  if (o.positional.size() != 2)
    return Usage();
  Bytes image;
  std::string error;
  PackStats stats;
  if (!ReadWholeFile(HostPath(o.positional[0]), &image, &error))
    return Fail(error);
  if (!ExtractInstaller(image, HostPath(o.positional[1]), &stats, &error))
    return Fail("'" + o.positional[0] + "': " + error);
  std::printf("%zu files, %llu bytes written below %s\n", stats.files,
              static_cast<unsigned long long>(stats.dataBytes), o.positional[1].c_str());
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 2)
    return Usage();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {  // asked for: on stdout, no failure
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  const std::string command = argv[1];
  const Options o = ParseOptions(argc, argv);
  if (!o.ok)
    return Usage();
  if (command == "payload")
    return Payload(o);
  if (command == "build")
    return Build(o);
  if (command == "compress")
    return Compress(o);
  if (command == "stamp")
    return Stamp(o);
  if (command == "verify")
    return Verify(o);
  if (command == "list")
    return List(o);
  if (command == "manifest")
    return Manifest(o);
  if (command == "extract")
    return Extract(o);
  return Usage();
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);  // the messages are UTF-8
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i)
    arguments.push_back(Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  std::vector<char*> pointers;
  for (std::string& argument : arguments)
    pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return Run(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
  return Run(argc, argv);
}
#endif
