#include "app/InstallerDigest.h"

PeStatus ComputeInstallerDigest(const std::uint8_t* file,
                                std::size_t size,
                                Md5Digest* digest,
                                FileRange* block) {
  if (size == 0)
    return PeStatus::kEmptyFile;
  if (size >= kInstallerSizeLimit)
    return PeStatus::kFileTooLarge;
  PeImage image;
  PeStatus status = image.Parse(file, size);
  if (status != PeStatus::kOk)
    return status;
  FileRange range;
  std::uint32_t blockId = 0;
  status = image.FindDigestBlock(&range, &blockId);
  if (status != PeStatus::kOk)
    return status;
  Md5 md5;
  md5.Update(file, range.position);
  const std::size_t after = std::size_t{range.position} + range.size;
  md5.Update(file + after, size - after);
  *digest = md5.Finish();
  if (block != nullptr)
    *block = range;
  return PeStatus::kOk;
}

std::string DigestHex(const Md5Digest& digest) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}
