// The installer's self-digest: MD5 over every byte of its file except what stamping and
// signing change. The digest is stored in string 32 as its 32 upper-case hexadecimal digits
// written twice, so the block has the same size before and after stamping.
//
//   left out            what it is                                why
//   the digest block    the first string-table block (string 32)  stamping writes it
//   4 bytes             the optional header's checksum            signing sets it
//   8 bytes             data-directory entry 4 (certificate table)  signing sets it
//   the table itself    the certificate table, last in the file   signing appends it
//
// These are the parts an Authenticode signature leaves out of its own hash, besides the
// block. The checksum and the directory entry are counted as zero bytes, so for a file with
// a zero checksum and no certificate table the digest is MD5 over the file without its
// block - the rule of every installer stamped before signing was possible. A certificate
// table is accepted only where signing puts it: last in the file, 8-byte aligned, its
// directory length equal to the bytes that remain and to its entries' lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/integrity/Md5.h"
#include "core/integrity/PeImage.h"

// Files must be shorter than this many bytes.
inline constexpr std::size_t kInstallerSizeLimit = 104857600;
// The string that holds the stored digest, and its length in UTF-16 code units.
inline constexpr unsigned kDigestStringId = 32;
inline constexpr std::size_t kDigestStringUnits = 64;
inline constexpr std::size_t kDigestHexUnits = 32;

// Where the parts that the digest leaves out lie in an installer file.
struct InstallerParts {
  FileRange block;                             // the digest block
  std::uint32_t checksumPosition = 0;          // 4 bytes
  std::uint32_t certificateEntryPosition = 0;  // 8 bytes; 0 when the image has no entry 4
  FileRange certificateTable;                  // size 0 when the file is not signed
};

// Finds the parts of a parsed `image`. kOk, or why not: no string table, a damaged resource
// directory, a certificate table that is not where signing puts it.
PeStatus FindInstallerParts(const PeImage& image, InstallerParts* parts);

// One stretch of the digest's input, in order: `length` bytes of the file at `position`,
// or, where `zeros` is set, that many zero bytes in their place.
struct DigestSpan {
  std::size_t position;
  std::size_t length;
  bool zeros;
};

// The spans of a file of `size` bytes whose left-out parts are `parts`: MD5 over them, in
// order, is the digest.
std::vector<DigestSpan> DigestSpans(const InstallerParts& parts, std::size_t size);

// Digest of `file` by the rule above. kOk, or why there is none: an empty or too large
// file, no PE file, no string table, a damaged resource directory, a misplaced certificate
// table. `parts`, when given, receives where the left-out parts lie.
PeStatus ComputeInstallerDigest(const std::uint8_t* file,
                                std::size_t size,
                                Md5Digest* digest,
                                InstallerParts* parts = nullptr);

// The 32 upper-case hexadecimal digits, in digest byte order.
std::string DigestHex(const Md5Digest& digest);

// String 32, the stored digest, as both the installer and the packager read it: from the
// digest block itself, never through the resource loader, so that the bytes read are the
// bytes the digest leaves out. The block (strings 32-47) opens with string 32:
//
//   offset 0   u16  length L in UTF-16 code units (64 once stamped or holding placeholders)
//          2   L units, no NUL; strings 33 to 47 follow, each a u16 length and its units
enum class StoredDigestStatus {
  kOk,
  kStringsBelow32,   // the first string-table block holds strings numbered below 32
  kNoString32,       // the first block holds strings above 47, or is named or too short
  kLengthPastBlock,  // the length runs past the end of the block
  kWrongLength,      // not 64 units
  kHalvesDiffer,     // the two 32-unit halves are not the same
  kDigestDiffers,    // the halves are not the upper-case digits of the file's digest
};

// A short English sentence for the status.
const char* DescribeStoredDigestStatus(StoredDigestStatus status);

struct StoredDigest {
  std::size_t length = 0;                        // as declared; 0 when there is no string 32
  std::uint16_t units[kDigestStringUnits] = {};  // up to 64 units as found, zeros after
};

// Reads string 32 from the digest block `block` (`size` bytes, numbered `blockId` as
// PeImage::FindDigestBlock reports it): kOk when it has exactly 64 units within the block,
// else kStringsBelow32, kNoString32, kLengthPastBlock or kWrongLength. `stored` receives
// what was read: the declared length and the units that lie within the block.
StoredDigestStatus ReadStoredDigest(const std::uint8_t* block,
                                    std::size_t size,
                                    std::uint32_t blockId,
                                    StoredDigest* stored);

// Stamping: writes the 32 upper-case digits of `digest` twice over string 32's 64 units in
// the digest block `block` (UTF-16LE, 128 bytes from offset 2), the length left as it is.
// Writes only where ReadStoredDigest finds exactly 64 units and returns its status: on
// anything but kOk the block is unchanged.
StoredDigestStatus WriteStoredDigest(std::uint8_t* block,
                                     std::size_t size,
                                     std::uint32_t blockId,
                                     const Md5Digest& digest);

// The installer's acceptance of string 32, for both sides: ReadStoredDigest's status when it
// is not kOk, then kHalvesDiffer, kDigestDiffers (units compared exactly: case matters, a
// NUL is a unit like any other) or kOk.
StoredDigestStatus CheckStoredDigest(const std::uint8_t* block,
                                     std::size_t size,
                                     std::uint32_t blockId,
                                     const Md5Digest& computed,
                                     StoredDigest* stored);
