// setup_pack: builds the resources of an installer and checks finished installers. The
// arguments and messages are UTF-8; on Windows (setup_pack.exe) the arguments come in
// UTF-16 and are converted.
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
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
    "  build STUB DIR OUT [--uninstaller EXE] [--product-version X.Y.Z[.W]] [--sign COMMAND]\n"
    "        [--level N] [--threads N] [--max-path N]\n"
    "      Makes the finished installer OUT from the prebuilt installer STUB: packs DIR as\n"
    "      \"payload\" does into resource \"FILE\" 137, compresses EXE into \"FILE\" 139 (by\n"
    "      default the stub's own is kept), and stamps the digest. --product-version sets the\n"
    "      release's version in both programs' version resources (the installer writes it\n"
    "      into the uninstall entry); without it the stub's stands. --sign runs COMMAND with a\n"
    "      file's path appended on the uninstaller before it is packed and on OUT after\n"
    "      stamping (an osslsigncode or signtool line); without it, sign OUT afterwards.\n"
    "  payload DIR -o FILE [--level N] [--threads N] [--max-path N]\n"
    "      Packs every file below DIR into a payload package and writes it raw-deflate\n"
    "      compressed (resource \"FILE\" 137). Files are stored in a sorted recursive walk;\n"
    "      relative paths may have at most N UTF-16 code units (default 200). Every name\n"
    "      the installer cannot take is refused and named, with its reason, as are the\n"
    "      names the installation writes itself (uninstall.exe, uninstall.ini, ...) and a DIR\n"
    "      without the client program at its top.\n"
    "  compress FILE -o OUT [--level N] [--threads N]\n"
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
    "  extract EXE DIR [--uninstaller FILE]\n"
    "      Writes the installer's files below DIR, from which \"build\" makes it again, and\n"
    "      its uninstaller (which the installation writes itself) to FILE when asked.\n"
    "  --help\n"
    "      Prints this text.\n"
    "\n"
    "Compression uses libdeflate, level 1-12 (default 10), on N threads (1-64, default one\n"
    "per core; the bytes are the same for any N), and is checked by inflating with the\n"
    "installer's own decoder. Exit status: 0 done, 1 refused or failed, 2 usage.\n";

// A command line that cannot be run: what is wrong with it, then the usage, on stderr.
int Usage(const std::string& problem) {
  std::fprintf(stderr, "setup_pack: %s\n\n%s", problem.c_str(), kUsage);
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
  unsigned threads = 0;  // one per core
  std::size_t maxPath = kPackMaxRelativePath;
  bool clearChecksum = false;
  std::string problem;  // why the command line cannot be run; empty when it can
};

// `text` as a whole decimal number from `min` to `max`; false for anything else.
bool ParseNumber(const std::string& text,
                 unsigned long min,
                 unsigned long max,
                 unsigned long* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9')
    return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < min || n > max)
    return false;
  *value = n;
  return true;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc && o.problem.empty(); ++i) {
    const std::string a = argv[i];
    const bool takesValue = a == "-o" || a == "--level" || a == "--threads" || a == "--max-path" ||
                            a == "--uninstaller" || a == "--product-version" || a == "--sign";
    if (takesValue && i + 1 >= argc) {
      o.problem = a + " needs a value";
      break;
    }
    unsigned long number = 0;
    if (a == "-o") {
      o.output = argv[++i];
    } else if (a == "--uninstaller") {
      o.uninstaller = argv[++i];
    } else if (a == "--level") {
      if (ParseNumber(argv[++i], 1, 12, &number))
        o.level = static_cast<int>(number);
      else
        o.problem = "--level takes a whole number from 1 to 12, not '" + std::string(argv[i]) + "'";
    } else if (a == "--threads") {
      if (ParseNumber(argv[++i], 1, 64, &number))
        o.threads = static_cast<unsigned>(number);
      else
        o.problem =
            "--threads takes a whole number from 1 to 64, not '" + std::string(argv[i]) + "'";
    } else if (a == "--max-path") {
      if (ParseNumber(argv[++i], 1, kMaxFullPathUnits, &number))
        o.maxPath = number;
      else
        o.problem = "--max-path takes a whole number from 1 to " +
                    std::to_string(kMaxFullPathUnits) + ", not '" + argv[i] + "'";
    } else if (a == "--product-version") {
      o.versioned = true;
      if (!ParseReleaseVersion(argv[++i], &o.version)) {
        o.problem = "--product-version takes X.Y.Z or X.Y.Z.W, each 0 to 65535, not '" +
                    std::string(argv[i]) + "'";
      }
    } else if (a == "--sign") {
      o.sign = argv[++i];
    } else if (a == "--clear-checksum") {
      o.clearChecksum = true;
    } else if (!a.empty() && a[0] == '-') {
      o.problem = "unknown option '" + a + "'";
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
  {
    ProgressReport progress;
    if (!BuildPayloadPackage(HostPath(folder), o.maxPath, std::ref(progress), package, stats,
                             error))
      return false;
  }
  const unsigned threads = CompressThreads(o.threads);
  std::fprintf(stderr, "compressing %zu bytes at level %d on %u threads...\n", package->size(),
               o.level, threads);
  return CompressResource(*package, o.level, kPackageLimit, compressed, error, threads);
}

int Payload(const Options& o) {
  if (o.positional.size() != 1 || o.output.empty())
    return Usage("payload takes DIR and -o FILE");
  Bytes package, compressed;
  PackStats stats;
  std::string error;
  if (!CheckOutputPath(HostPath(o.output), &error))
    return Fail(error);
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
  if (!CompressResource(program, o.level, kUninstallerLimit, compressed, error, o.threads)) {
    *error = what + ": " + *error;
    return false;
  }
  return true;
}

int Build(const Options& o) {
  if (o.positional.size() != 3 || !o.output.empty())
    return Usage("build takes STUB DIR OUT");
  const std::string& stubPath = o.positional[0];
  const std::string& out = o.positional[2];
  Bytes stub, package, payload, uninstaller, installer;
  PackStats stats;
  std::string error;
  if (!CheckOutputPath(HostPath(out), &error))
    return Fail(error);
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
    return Usage("compress takes FILE and -o OUT");
  Bytes data, compressed;
  std::string error;
  if (!CheckOutputPath(HostPath(o.output), &error))
    return Fail(error);
  if (!ReadWholeFile(HostPath(o.positional[0]), &data, &error))
    return Fail(error);
  if (!CompressResource(data, o.level, kUninstallerLimit, &compressed, &error, o.threads)) {
    return Fail("'" + o.positional[0] + "': " + error);
  }
  if (!WriteFileAtomically(HostPath(o.output), compressed, &error))
    return Fail(error);
  std::printf("%zu bytes, compressed %zu bytes\n", data.size(), compressed.size());
  return 0;
}

int Stamp(const Options& o) {
  if (o.positional.size() != 1)
    return Usage("stamp takes EXE");
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
    return Usage("verify takes EXE");
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
    return Usage("list takes EXE");
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
    return Usage("manifest takes EXE or DIR");
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
    return Usage("extract takes EXE DIR");
  Bytes image;
  std::string error;
  PackStats stats;
  if (!o.uninstaller.empty() && !CheckOutputPath(HostPath(o.uninstaller), &error))
    return Fail(error);
  if (!ReadWholeFile(HostPath(o.positional[0]), &image, &error))
    return Fail(error);
  if (!ExtractInstaller(image, HostPath(o.positional[1]),
                        o.uninstaller.empty() ? fs::path() : HostPath(o.uninstaller), &stats,
                        &error))
    return Fail("'" + o.positional[0] + "': " + error);
  std::printf("%zu files, %llu bytes written below %s\n", stats.files,
              static_cast<unsigned long long>(stats.dataBytes), o.positional[1].c_str());
  if (!o.uninstaller.empty())
    std::printf("uninstaller written to %s\n", o.uninstaller.c_str());
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 2)
    return Usage("no command");
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {  // asked for: on stdout, no failure
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  const std::string command = argv[1];
  const Options o = ParseOptions(argc, argv);
  if (!o.problem.empty())
    return Usage(o.problem);
  constexpr struct {
    const char* name;
    int (*run)(const Options&);
  } kCommands[] = {{"payload", Payload},   {"build", Build},    {"compress", Compress},
                   {"stamp", Stamp},       {"verify", Verify},  {"list", List},
                   {"manifest", Manifest}, {"extract", Extract}};
  for (const auto& known : kCommands) {
    if (command == known.name)
      return known.run(o);
  }
  return Usage("unknown command '" + command + "'");
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
