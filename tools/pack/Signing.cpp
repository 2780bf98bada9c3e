#include "tools/pack/Signing.h"

#include <filesystem>
#include <system_error>

#include "core/integrity/PeImage.h"
#include "tools/pack/HostFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kCertificateDirectory = 4;

}  // namespace

bool SignWithCommand(const std::string& command,
                     const fs::path& name,
                     Bytes* program,
                     std::string* error) {
  fs::path folder;
  if (!MakePrivateTemporaryFolder(&folder)) {
    *error = "cannot make a temporary folder for signing";
    return false;
  }
  const fs::path file = folder / name;
  Bytes signedProgram;
  bool ok = WriteFileAtomically(file, *program, error);
  if (ok) {
    const int status = RunHostCommand(command, file);
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
