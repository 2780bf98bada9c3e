// The digest of a finished installer image, in memory: the packaging rules checked, the
// digest stamped into string 32, and the installer's own check run on the host.
#pragma once

#include <cstdint>
#include <string>

#include "core/integrity/InstallerDigest.h"
#include "tools/pack/Pack.h"

// Sets the PE header checksum of `image` to 0 and tells where it lies. Linkers that write
// a checksum (GNU ld does) make images that break the packaging rules until this is done:
// the checksum covers the digest block, so it could only be computed after stamping and
// would then change what the digest covers.
bool ClearChecksum(Bytes* image, std::uint32_t* position, std::string* error);

// Checks the packaging rules on a finished installer image and stamps it: its digest,
// twice, over the 64 placeholder units of string 32 (WriteStoredDigest). `stamped` receives
// where the 128 bytes written lie. A signed file is refused: stamping would break its
// signature (stamp first, then sign), and so is one whose length is not a multiple of 8,
// which signing would pad. On failure `image` is unchanged.
bool StampImage(Bytes* image, Md5Digest* digest, FileRange* stamped, std::string* error);

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
