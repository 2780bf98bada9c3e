// The host's files as the packager reads and writes them: whole, and never half-written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tools/pack/Pack.h"

// A path as the packager's messages name it: in single quotes.
std::string QuotedPath(const std::filesystem::path& path);

// Reads a whole file (following links). False, with `bytes` empty and a message naming the
// file, when it cannot be opened or read or holds more than `limit` bytes.
bool ReadWholeFile(const std::filesystem::path& path,
                   Bytes* bytes,
                   std::string* error,
                   std::uint64_t limit = UINT64_MAX);
// Whether the file `path` can be written, before any work for it is done: its folder is
// there, is a folder this process may add files to, and `path` itself is no folder. False,
// with a message naming the folder (or `path`), when not.
bool CheckOutputPath(const std::filesystem::path& path, std::string* error);
// Writes `<path>.partial`, created exclusively and without following a link, and renames it
// to `path`. A regular `.partial` file (what an interrupted run leaves) is removed first; a
// link or anything else there is refused, named in `error`. Nothing is left on failure.
bool WriteFileAtomically(const std::filesystem::path& path, const Bytes& bytes, std::string* error);
