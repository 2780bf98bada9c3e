// Building an installer's resources on the host: the payload package of a folder, and the
// raw-deflate stream the installer inflates (the package, the uninstaller, the artwork).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "tools/pack/Pack.h"

// Longest relative path the packager stores, in UTF-16 code units. The installer writes
// each file at install folder + relative path within 259 units; 200 leaves the folder
// (for example "D:\brimvale\", 12 units) ample room.
inline constexpr std::size_t kPackMaxRelativePath = 200;
// libdeflate's strongest level. Against 10 it saves 0.1 to 0.15 % of a payload for about
// twice the packing time (7 s for the 32 MB reference payload); below 10 a payload grows by
// 1.5 to 3 %. The figures are in README, "The packager".
inline constexpr int kPackDefaultLevel = 12;

// Progress of a long operation: `done` of `total` units (bytes), with a phase name.
using PackProgress =
    std::function<void(const char* phase, std::uint64_t done, std::uint64_t total)>;

// Lays out the package of every file below `folder`, in the package order (a sorted
// recursive walk, each sub-folder's files where its name falls among its siblings).
// Follows symbolic links; refuses unreadable files (and files whose reading fails), names
// Windows cannot hold (including two names that differ only in letter case, in any script),
// paths longer than `maxPath`, a package over 104,857,600 bytes - checked at every file as
// the walk goes, so links that lead to the same folders many times over are refused before
// their records take memory - more folders to walk than a package could hold records, and
// symbolic-link loops.
bool BuildPayloadPackage(const std::filesystem::path& folder,
                         std::size_t maxPath,
                         const PackProgress& progress,
                         Bytes* package,
                         PackStats* stats,
                         std::string* error);

// Raw-deflate compression with libdeflate at `level` (1-12), checked by inflating the
// result with the installer's own inflater and comparing. Refuses data over `limit`.
bool CompressResource(const Bytes& data,
                      int level,
                      std::uint32_t limit,
                      Bytes* compressed,
                      std::string* error);
