#include "tools/pack/Stamp.h"

#include <algorithm>

#include "core/integrity/PeImage.h"

namespace {

std::string StoredText(const std::uint16_t* units, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += units[i] >= 0x20 && units[i] < 0x7f ? static_cast<char>(units[i]) : '?';
  }
  return text;
}

// True for kOk; otherwise the status, described, goes to `error`.
bool Ok(PeStatus status, std::string* error) {
  if (status == PeStatus::kOk)
    return true;
  *error = DescribePeStatus(status);
  return false;
}

// The string block that holds the digest (string 32), and what string 32 holds now.
struct DigestString {
  FileRange block;
  std::uint32_t blockId = 0;
  StoredDigest stored;
  StoredDigestStatus status = StoredDigestStatus::kOk;
};

// Finds the digest's block in `image`, parsed as `pe`, and reads string 32 from it; false,
// with the reason in `error`, when the image has no such block.
bool ReadDigestString(const PeImage& pe,
                      const Bytes& image,
                      DigestString* found,
                      std::string* error) {
  if (!Ok(pe.FindDigestBlock(&found->block, &found->blockId), error))
    return false;
  found->status = ReadStoredDigest(image.data() + found->block.position, found->block.size,
                                   found->blockId, &found->stored);
  return true;
}

}  // namespace

bool ClearChecksum(Bytes* image, std::uint32_t* position, std::string* error) {
  PeImage pe;
  if (!Ok(pe.Parse(image->data(), image->size()), error))
    return false;
  *position = pe.ChecksumPosition();
  std::fill_n(image->begin() + *position, 4, 0);
  return true;
}

bool StampImage(Bytes* file, Md5Digest* digest, FileRange* stamped, std::string* error) {
  const Bytes& image = *file;
  if (image.size() >= kInstallerSizeLimit) {
    *error = "the file is " + std::to_string(image.size()) +
             " bytes; an installer must be shorter than 104,857,600";
    return false;
  }
  PeImage pe;
  if (!Ok(pe.Parse(image.data(), image.size()), error))
    return false;
  if (pe.Checksum() != 0) {
    *error = "the PE header checksum is set; it must stay 0 (it would change after stamping)";
    return false;
  }
  const FileRange certificates = pe.DataDirectory(4);
  if (certificates.position != 0 || certificates.size != 0) {
    *error =
        "the file is signed: stamping would change what its signature covers and break it; "
        "stamp the unsigned file, then sign it";
    return false;
  }
  if (image.size() > pe.EndOfSections()) {
    *error = std::to_string(image.size() - pe.EndOfSections()) +
             " bytes follow the last section; nothing may be appended to an installer";
    return false;
  }
  if (image.size() % 8 != 0) {
    *error =
        "the file's length is not a multiple of 8: a signature would pad it first, and the "
        "padding would change what the digest covers";
    return false;
  }
  DigestString found;
  if (!ReadDigestString(pe, image, &found, error))
    return false;
  if (found.status == StoredDigestStatus::kWrongLength) {
    *error = "string 32 has " + std::to_string(found.stored.length) + " characters; it must have " +
             std::to_string(kDigestStringUnits) + " placeholder characters";
    return false;
  }
  if (found.status != StoredDigestStatus::kOk) {
    *error = DescribeStoredDigestStatus(found.status);
    return false;
  }
  if (!Ok(ComputeInstallerDigest(image.data(), image.size(), digest), error))
    return false;
  const StoredDigestStatus written = WriteStoredDigest(file->data() + found.block.position,
                                                       found.block.size, found.blockId, *digest);
  if (written != StoredDigestStatus::kOk) {
    *error = DescribeStoredDigestStatus(written);
    return false;
  }
  *stamped = {found.block.position + 2, static_cast<std::uint32_t>(2 * kDigestStringUnits)};
  return true;
}

bool VerifyImage(const Bytes& image, VerifyReport* report, std::string* error) {
  *report = VerifyReport{};
  PeImage pe;
  if (!Ok(image.empty() ? PeStatus::kEmptyFile : pe.Parse(image.data(), image.size()), error))
    return false;
  DigestString found;
  if (!ReadDigestString(pe, image, &found, error))
    return false;
  report->stored =
      StoredText(found.stored.units, std::min(found.stored.length, kDigestStringUnits));
  if (found.status == StoredDigestStatus::kStringsBelow32 ||
      found.status == StoredDigestStatus::kNoString32) {
    *error = DescribeStoredDigestStatus(found.status);
    return false;
  }
  Md5Digest digest;
  InstallerParts parts;
  if (!Ok(ComputeInstallerDigest(image.data(), image.size(), &digest, &parts), error))
    return false;
  report->computed = DigestHex(digest);
  report->signatureBytes = parts.certificateTable.size;
  report->status = CheckStoredDigest(image.data() + found.block.position, found.block.size,
                                     found.blockId, digest, &found.stored);
  report->ok = report->status == StoredDigestStatus::kOk;
  return true;
}
