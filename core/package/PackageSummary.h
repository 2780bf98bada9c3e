// The payload's summary: what the packager writes beside the payload (resource "FILE" 138)
// so that the installer knows the package - its records, its longest path, the space its
// files take - without inflating it. The installer's digest covers it like every other
// resource, but it is a claim, not a proof: the run still checks every record as it writes
// it, and a summary that does not match the package only spoils an estimate or ends the run
// as a damaged package would.
//
// Layout, 164 bytes, all integers little-endian:
//
//   offset 0   4 bytes  format: 1
//   offset 4   4 bytes  records
//   offset 8   4 bytes  longest path, in UTF-16 code units
//   offset 12  8 bytes  data bytes: the sizes of the records summed
//   offset 20  8 bytes  times 18: the space the files take - the payload's and the
//                       uninstaller's - first as their sizes summed, then with each file
//                       rounded up to whole clusters of 512, 1024, ... 32 MiB
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr std::size_t kSummaryBytes = 164;
inline constexpr std::size_t kSummarySpaces = 18;

struct PackageSummary {
  std::uint32_t records = 0;
  std::uint32_t longestPath = 0;
  std::uint64_t dataBytes = 0;
  // [0]: the sizes summed; [k]: each size rounded up to clusters of 256 << k bytes.
  std::uint64_t space[kSummarySpaces] = {};

  // Counts one file of `size` bytes in the space (a record's or the uninstaller's).
  void AddFile(std::uint32_t size);
  // The space the files take on a volume of `clusterBytes` clusters (0 when not known):
  // a cluster size between the steps is taken as the next one up, one beyond the last as
  // the last. An estimate: the file system may keep small files in its own records, and
  // compression or quotas change what a file costs.
  std::uint64_t SpaceNeeded(std::uint64_t clusterBytes) const;

  bool operator==(const PackageSummary&) const = default;
};

std::vector<std::uint8_t> EncodePackageSummary(const PackageSummary& summary);
// False, leaving `summary` alone, for anything but 164 bytes of format 1.
bool DecodePackageSummary(const std::uint8_t* data, std::size_t size, PackageSummary* summary);
