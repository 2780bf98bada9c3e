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
// The fastest of libdeflate's near-optimal levels: 0.1 % larger than 12 (0.03 % for 11) in
// 0.6 of its time; below 10 a payload grows by 1.5 to 3 %. The figures are in README, "The
// packager".
inline constexpr int kPackDefaultLevel = 10;

// Progress of a long operation: `done` of `total` units (bytes), with a phase name.
using PackProgress =
    std::function<void(const char* phase, std::uint64_t done, std::uint64_t total)>;

// Lays out the package of every file below `folder`, in the package order (a sorted
// recursive walk, each sub-folder's files where its name falls among its siblings).
// Follows symbolic links that stay inside `folder`. Refuses, one line of `error` each and
// all in one walk: names Windows cannot hold (forbidden characters, device names, names
// that differ only in letter case, in any script, as any Windows may compare them), names
// code page 936 cannot spell (the manifest's), the names the installation writes itself
// (InstallationOwnPaths, and "<file>.new" beside a file of the package), links that lead
// outside `folder` or nowhere, symbolic-link loops, folders that hold no files, files that
// are not regular, paths longer than `maxPath`, and a `folder` without a file or without
// the client (Korvel互动.exe) at its top. Stops at the first of: a package over 104,857,600 bytes -
// checked at every file as the walk goes, so links that lead to the same folders many
// times over are refused before their records take memory - more folders to walk than a
// package could hold records, a folder that cannot be read, and a file whose reading fails.
bool BuildPayloadPackage(const std::filesystem::path& folder,
                         std::size_t maxPath,
                         const PackProgress& progress,
                         Bytes* package,
                         PackStats* stats,
                         std::string* error);

// The data are compressed in pieces of this many bytes, each on its own and on any free
// thread, then joined into one stream; the pieces never depend on the number of threads, so
// neither do the bytes. A piece starts without the previous one's history, which costs the
// reference payload 688 bytes (0.004 %) against one whole stream; the figures are in README,
// "The packager".
inline constexpr std::size_t kPackPieceBytes = std::size_t{1} << 20;

// The pieces `size` bytes of data are cut into: 1 MiB, but data under 4 MiB in four
// pieces, each a multiple of 64 KiB and no piece under 256 KiB - so that a small package
// keeps every core busy too. A function of the size alone, never of the threads.
std::size_t PackPieceBytes(std::size_t size);

// The threads compression runs on: `requested`, or one per core for 0.
unsigned CompressThreads(unsigned requested);

// Raw-deflate compression with libdeflate at `level` (1-12) on `threads` threads (0: one per
// core), checked by inflating the result with the installer's own inflater and comparing.
// The result is one stream, the same bytes for any number of threads: each piece of
// `pieceBytes` (0: PackPieceBytes of the data's size; tests make them small to join many)
// compressed whole, every piece but the last without its final mark and followed by an
// empty stored block that brings the next to a byte boundary. Data of one piece or less
// compress exactly as one libdeflate call makes them. Refuses data over `limit`.
bool CompressResource(const Bytes& data,
                      int level,
                      std::uint32_t limit,
                      Bytes* compressed,
                      std::string* error,
                      unsigned threads = 0,
                      std::size_t pieceBytes = 0);
