// The host's files as the packager sees them: folders listed, links followed, files read
// whole and written never half-written, and SHA-256. Everything host-specific in the
// packager is here, in one implementation per host: HostFilesPosix.cpp (stat, open,
// OpenSSL) and HostFilesWin.cpp (Win32 with "\\?\" long paths and UTF-16 names, CNG).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/pack/Pack.h"

// A path from UTF-8 text (a command-line argument, a package path), never through a code
// page.
inline std::filesystem::path HostPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A path as the packager's messages name it: in single quotes, in UTF-8.
std::string QuotedPath(const std::filesystem::path& path);

// The name of the last part of `path` in UTF-16. False when the host's name is no valid
// text (a POSIX name that is not UTF-8).
bool HostName(const std::filesystem::path& path, std::u16string* name);

// The paths of the entries of `folder` ("." and ".." left out), in no particular order.
// False, with a message naming the folder in `error`, when it cannot be read.
bool ListHostFolder(const std::filesystem::path& folder,
                    std::vector<std::filesystem::path>* entries,
                    std::string* error);

// What a path is once every link on the way is followed: symbolic links, and on Windows
// junctions and other name-surrogate reparse points.
struct HostEntry {
  enum class Kind { kFolder, kFile, kOther };
  Kind kind = Kind::kOther;
  std::uint64_t size = 0;      // bytes, of a file
  std::uint64_t volume = 0;    // device, or volume serial number
  std::uint64_t file = 0;      // inode, or file index: with `volume`, one per file or folder
  std::filesystem::path real;  // absolute, without links
};

// Follows `path` to what it names. False, with the host's reason in `error` (no path in
// it), when a link leads nowhere, links loop or the path cannot be read.
bool ResolveHostPath(const std::filesystem::path& path, HostEntry* entry, std::string* error);

// Whether the real path `target` is `root` or lies below it, as the host compares names.
bool HostPathInside(const std::filesystem::path& target, const std::filesystem::path& root);

// Reads a whole file (following links). False, with `bytes` empty and a message naming the
// file, when it cannot be opened or read or holds more than `limit` bytes.
bool ReadWholeFile(const std::filesystem::path& path,
                   Bytes* bytes,
                   std::string* error,
                   std::uint64_t limit = UINT64_MAX);
// Whether the file `path` can be written, before any work for it is done: its folder is
// there, is a folder (on POSIX hosts one this process may add files to; Windows' rights are
// the write's to judge), and `path` itself is no folder. False,
// with a message naming the folder (or `path`), when not.
bool CheckOutputPath(const std::filesystem::path& path, std::string* error);
// Writes `<path>.partial`, created exclusively and without following a link, and renames it
// to `path`. A regular `.partial` file (what an interrupted run leaves) is removed first; a
// link or anything else there is refused, named in `error`. Nothing is left on failure.
bool WriteFileAtomically(const std::filesystem::path& path, const Bytes& bytes, std::string* error);

// A new folder below the temporary folder that only this user may use, into `folder`.
// False when none can be made.
bool MakePrivateTemporaryFolder(std::filesystem::path* folder);
// Runs the command line `command` (UTF-8) with `file` appended, quoted, through the host's
// shell (sh -c; cmd /c on Windows) and waits for it. Its exit status, or -1 when it could
// not be run.
int RunHostCommand(const std::string& command, const std::filesystem::path& file);

using Sha256Digest = std::array<std::uint8_t, 32>;
// The SHA-256 of `size` bytes into `digest`. False, `digest` unspecified, when the host's
// cryptography fails.
bool Sha256(const std::uint8_t* data, std::size_t size, Sha256Digest* digest);
