#include "tools/pack/Signing.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "core/integrity/PeImage.h"
#include "tools/pack/HostFiles.h"

#ifdef _WIN32
#include <windows.h>

#include "core/package/Utf8.h"
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr unsigned kCertificateDirectory = 4;

#ifdef _WIN32
// A new folder only this user may use, below the temporary folder.
bool MakePrivateFolder(fs::path* folder, std::string* error) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  for (unsigned attempt = 0; !ec && attempt < 100; ++attempt) {
    const fs::path candidate = base / ("setup_pack-" + std::to_string(GetCurrentProcessId()) + "-" +
                                       std::to_string(GetTickCount64() + attempt));
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      *folder = candidate;
      return true;
    }
  }
  *error = "cannot make a temporary folder for signing";
  return false;
}

// The command's exit status, or -1 when it could not be run.
int RunShell(const std::string& command, const fs::path& file) {
  std::u16string line;
  if (!Utf8ToUtf16(command, &line))
    return -1;
  // cmd /c takes off the line's first and last quotes when it starts with one: the whole
  // line is quoted once more so that a quoted program path survives.
  std::wstring wide = L"\"" + std::wstring(line.begin(), line.end());
  wide += L" \"" + file.wstring() + L"\"\"";
  return _wsystem(wide.c_str());
}
#else
bool MakePrivateFolder(fs::path* folder, std::string* error) {
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "setup_pack-XXXXXX").string();
  if (ec || ::mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary folder for signing";
    return false;
  }
  *folder = pattern;
  return true;
}

int RunShell(const std::string& command, const fs::path& file) {
  std::string quoted = "'";
  for (const char c : file.string())
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const int status = std::system((command + " " + quoted).c_str());
  if (status == -1 || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}
#endif

}  // namespace

bool SignWithCommand(const std::string& command,
                     const fs::path& name,
                     Bytes* program,
                     std::string* error) {
  fs::path folder;
  if (!MakePrivateFolder(&folder, error))
    return false;
  const fs::path file = folder / name;
  Bytes signedProgram;
  bool ok = WriteFileAtomically(file, *program, error);
  if (ok) {
    const int status = RunShell(command, file);
    if (status != 0) {
      *error = "the signing command '" + command + "' " +
               (status < 0 ? std::string("could not be run")
                           : "exited with status " + std::to_string(status)) +
               " on " + QuotedPath(name);
      ok = false;
    }
  }
  ok = ok && ReadWholeFile(file, &signedProgram, error);
  if (ok) {
    PeImage pe;
    if (pe.Parse(signedProgram.data(), signedProgram.size()) != PeStatus::kOk ||
        pe.DataDirectory(kCertificateDirectory).size == 0) {
      *error =
          "the signing command '" + command + "' left " + QuotedPath(name) + " without a signature";
      ok = false;
    }
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
  if (ok)
    *program = std::move(signedProgram);
  return ok;
}
