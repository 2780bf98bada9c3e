// A built installer read back on the host: its two "FILE" resources inflated, the files
// they hold written out, and a manifest of them to audit a release against its sources.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/integrity/PeImage.h"
#include "tools/pack/Pack.h"

// Inflates resource "FILE" `id` (137 the payload package, 139 the uninstaller) of the
// parsed `pe`, at most `limit` bytes, into `out`; `range` gets where it lies in the file.
// False, with the resource named in `error`, when it is missing or does not inflate cleanly.
bool InflateFileResource(const PeImage& pe,
                         std::uint32_t id,
                         std::uint32_t limit,
                         Bytes* out,
                         FileRange* range,
                         std::string* error);

// Inflates resources "FILE" 137 (payload package, validated) and 139 (uninstaller), and
// checks that "FILE" 138 (the payload's summary), where there is one, tells what they hold.
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

// Writes every file of the payload package of the installer `image` below `folder`, making
// it and its sub-folders as needed, so that `folder` builds that installer again; and the
// uninstaller, which the installation writes itself, to `uninstaller` when that is not
// empty. `stats` gets the payload's file and byte counts.
bool ExtractInstaller(const Bytes& image,
                      const std::filesystem::path& folder,
                      const std::filesystem::path& uninstaller,
                      PackStats* stats,
                      std::string* error);
