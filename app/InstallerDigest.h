// The installer's self-digest: MD5 over every byte of its file except the digest block
// (the first string-table block, which holds string 32). The digest is stored in string 32
// as its 32 upper-case hexadecimal digits written twice, so the block has the same size
// before and after stamping and stamping changes nothing the digest covers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/Md5.h"
#include "app/PeImage.h"

// Files must be shorter than this many bytes.
inline constexpr std::size_t kInstallerSizeLimit = 104857600;
// The string that holds the stored digest, and its length in UTF-16 code units.
inline constexpr unsigned kDigestStringId = 32;
inline constexpr std::size_t kDigestStringUnits = 64;
inline constexpr std::size_t kDigestHexUnits = 32;

// Digest of `file` without its digest block. kOk, or why there is none: an empty or too
// large file, no PE file, no string table, a damaged resource directory. `block`, when
// given, receives the block's place.
PeStatus ComputeInstallerDigest(const std::uint8_t* file,
                                std::size_t size,
                                Md5Digest* digest,
                                FileRange* block = nullptr);

// The 32 upper-case hexadecimal digits, in digest byte order.
std::string DigestHex(const Md5Digest& digest);
