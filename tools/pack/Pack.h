// The packager's operations, for the command-line tool and the tests: build a payload
// package from a folder, compress a resource, stamp and verify an installer's digest, and
// read the resources back out of a built installer.
//
// Every operation returns true, or false with a message in `error` that names the
// offending path or rule. Nothing is written when an operation fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/Md5.h"

using Bytes = std::vector<std::uint8_t>;

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

struct PackStats {
  std::size_t files = 0;
  std::uint64_t dataBytes = 0;
  std::size_t longestPath = 0;
  std::vector<std::string> warnings;  // e.g. empty folders, which a package cannot hold
};

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

// Sets the PE header checksum of `image` to 0 and tells where it lies. Linkers that write
// a checksum (GNU ld does) make images that break the packaging rules until this is done:
// the checksum covers the digest block, so it could only be computed after stamping and
// would then change what the digest covers.
bool ClearChecksum(Bytes* image, std::uint32_t* position, std::string* error);

// Checks the packaging rules on a finished installer image and writes its digest twice
// over the 64 placeholder units of string 32 (the 128 bytes at `*position`). A signed file
// is refused: stamping would break its signature (stamp first, then sign), and so is one
// whose length is not a multiple of 8, which signing would pad.
bool ComputeStamp(const Bytes& image,
                  Md5Digest* digest,
                  std::uint32_t* position,
                  std::string* error);

struct VerifyReport {
  std::string stored;                // string 32 as found, up to 64 units (non-ASCII shown as '?')
  std::string computed;              // 32 digits, or empty when no digest could be computed
  std::uint32_t signatureBytes = 0;  // the certificate table's size; 0: not signed
  StoredDigestStatus status = StoredDigestStatus::kNoString32;  // why the check fails
  bool ok = false;
};
// The installer's own check, on the host, by the same rule and the same function
// (CheckStoredDigest, core/integrity/InstallerDigest.h): a signature where signing puts it is left
// out of the digest. False, with `error`, when there is no digest to compare (no PE file, no
// string 32); a string 32 of the wrong length, or one that does not match, is a report whose
// `ok` is false, as the installer's check fails.
bool VerifyImage(const Bytes& image, VerifyReport* report, std::string* error);

// Inflates resources "FILE" 137 (payload package, validated) and 139 (uninstaller).
bool ReadInstallerResources(const Bytes& image,
                            Bytes* package,
                            Bytes* uninstaller,
                            std::string* error);

// One file of an installer or a folder: its path ('\\' separators, UTF-8), size and
// SHA-256 (64 lower-case hexadecimal digits).
struct ManifestLine {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
};

// The files of the installer `image`, uninstall.exe first, then the payload in package
// order; and the files `folder` would make a package of, in the same order - so that
// `manifest` of a release and of its source folder compare line for line.
bool InstallerManifest(const Bytes& image, std::vector<ManifestLine>* lines, std::string* error);
bool FolderManifest(const std::filesystem::path& folder,
                    std::vector<ManifestLine>* lines,
                    std::string* error);

// Writes the uninstaller ("uninstall.exe") and every file of the payload package of the
// installer `image` below `folder`, making it and its sub-folders as needed. `stats` gets
// the payload's file and byte counts.
bool ExtractInstaller(const Bytes& image,
                      const std::filesystem::path& folder,
                      PackStats* stats,
                      std::string* error);

// Reads a whole file (following links). False, with `bytes` empty and a message naming the
// file, when it cannot be opened or read or holds more than `limit` bytes.
bool ReadWholeFile(const std::filesystem::path& path,
                   Bytes* bytes,
                   std::string* error,
                   std::uint64_t limit = UINT64_MAX);
// Writes `<path>.partial`, created exclusively and without following a link, and renames it
// to `path`. A regular `.partial` file (what an interrupted run leaves) is removed first; a
// link or anything else there is refused, named in `error`. Nothing is left on failure.
bool WriteFileAtomically(const std::filesystem::path& path, const Bytes& bytes, std::string* error);
