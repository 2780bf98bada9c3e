// Signing with the release's own tool: the packager runs a command the team gives (an
// osslsigncode or signtool line) on a file, so that the uninstaller is signed before it is
// packed and the installer after it is stamped, in one `build`.
#pragma once

#include <filesystem>
#include <string>

#include "tools/pack/Pack.h"

// Writes `program` as `name` into a new private temporary folder, runs `command` with that
// file's path appended (quoted) through the host's shell, and reads the signed file back
// into `program`. Refuses, with `program` unchanged and the reason in `error`: a command
// that exits non-zero (its status named), and a file that comes back as no PE image or
// without a signature (no certificate table). The folder is removed in every case.
bool SignWithCommand(const std::string& command,
                     const std::filesystem::path& name,
                     Bytes* program,
                     std::string* error);
