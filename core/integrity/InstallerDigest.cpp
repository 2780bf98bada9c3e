#include "core/integrity/InstallerDigest.h"

#include <algorithm>
#include <array>

#include "core/text/LittleEndian.h"

namespace {

constexpr unsigned kCertificateDirectory = 4;

// A certificate table as Authenticode writes it: WIN_CERTIFICATE entries (a u32 length
// that counts its 8-byte header, a u16 revision, a u16 type, then the data), each padded
// to 8 bytes, together exactly as long as the table.
bool EntriesFill(const std::uint8_t* table, std::uint32_t size) {
  std::uint32_t at = 0;
  while (at < size) {
    if (size - at < 8)
      return false;
    const std::uint32_t length = U32(table + at);
    if (length < 8 || length > size - at)
      return false;
    at += (length + 7) & ~7u;
  }
  return at == size;
}

}  // namespace

PeStatus FindInstallerParts(const PeImage& image, InstallerParts* parts) {
  const std::size_t size = image.Size();
  InstallerParts found;
  std::uint32_t blockId = 0;
  const PeStatus status = image.FindDigestBlock(&found.block, &blockId);
  if (status != PeStatus::kOk)
    return status;
  found.checksumPosition = image.ChecksumPosition();
  found.certificateEntryPosition = image.DataDirectoryPosition(kCertificateDirectory);
  const FileRange table = image.DataDirectory(kCertificateDirectory);  // a file position
  if (table.position != 0 || table.size != 0) {
    if (table.size == 0 || table.position % 8 != 0 || table.position < image.EndOfSections() ||
        table.position > size || size - table.position != table.size ||
        !EntriesFill(image.Data() + table.position, table.size)) {
      return PeStatus::kBadCertificateTable;
    }
    found.certificateTable = table;
  }
  *parts = found;
  return PeStatus::kOk;
}

std::vector<DigestSpan> DigestSpans(const InstallerParts& parts, std::size_t size) {
  // The bytes before the certificate table, in order: the block skipped, the checksum and
  // the certificate entry read as zeros.
  const std::size_t end = parts.certificateTable.size != 0 ? parts.certificateTable.position : size;
  struct Zeroed {
    std::size_t position;
    std::size_t length;
  };
  std::array<Zeroed, 2> zeroed{
      Zeroed{parts.checksumPosition, 4},
      Zeroed{parts.certificateEntryPosition, parts.certificateEntryPosition != 0 ? 8u : 0u}};
  std::sort(zeroed.begin(), zeroed.end(),
            [](const Zeroed& a, const Zeroed& b) { return a.position < b.position; });
  const std::size_t blockStart = parts.block.position;
  const std::size_t blockEnd = blockStart + parts.block.size;
  std::vector<DigestSpan> spans;
  const auto feed = [&](std::size_t from, std::size_t to) {  // [from, to) without the block
    if (from < blockStart && std::min(to, blockStart) > from)
      spans.push_back({from, std::min(to, blockStart) - from, false});
    if (to > blockEnd) {
      const std::size_t start = std::max(from, blockEnd);
      if (to > start)
        spans.push_back({start, to - start, false});
    }
  };
  std::size_t at = 0;
  for (const Zeroed& z : zeroed) {
    if (z.length == 0 || z.position + z.length > end || z.position < at)
      continue;  // headers lie before the block and the table
    feed(at, z.position);
    spans.push_back({z.position, z.length, true});
    at = z.position + z.length;
  }
  feed(at, end);
  return spans;
}

PeStatus ComputeInstallerDigest(const std::uint8_t* file,
                                std::size_t size,
                                Md5Digest* digest,
                                InstallerParts* parts) {
  if (size == 0)
    return PeStatus::kEmptyFile;
  if (size >= kInstallerSizeLimit)
    return PeStatus::kFileTooLarge;
  PeImage image;
  PeStatus status = image.Parse(file, size);
  if (status != PeStatus::kOk)
    return status;
  InstallerParts found;
  status = FindInstallerParts(image, &found);
  if (status != PeStatus::kOk)
    return status;

  static constexpr std::uint8_t kZeros[8] = {};
  Md5 md5;
  for (const DigestSpan& span : DigestSpans(found, size))
    md5.Update(span.zeros ? kZeros : file + span.position, span.length);
  *digest = md5.Finish();
  if (parts != nullptr)
    *parts = found;
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

const char* DescribeStoredDigestStatus(StoredDigestStatus status) {
  switch (status) {
    case StoredDigestStatus::kOk:
      return "string 32 holds the file's digest twice";
    case StoredDigestStatus::kStringsBelow32:
      return "the string table holds strings numbered below 32, so string 32's block is not "
             "the digest block";
    case StoredDigestStatus::kNoString32:
      return "the executable has no string 32";
    case StoredDigestStatus::kLengthPastBlock:
      return "string 32 runs past the end of its block";
    case StoredDigestStatus::kWrongLength:
      return "string 32 does not have 64 characters";
    case StoredDigestStatus::kHalvesDiffer:
      return "the two halves of string 32 differ";
    case StoredDigestStatus::kDigestDiffers:
      return "string 32 is not the file's digest";
  }
  return "unknown status";
}

StoredDigestStatus ReadStoredDigest(const std::uint8_t* block,
                                    std::size_t size,
                                    std::uint32_t blockId,
                                    StoredDigest* stored) {
  *stored = StoredDigest{};
  if (blockId != 0 && blockId < 3)
    return StoredDigestStatus::kStringsBelow32;
  if (blockId != 3 || size < 2)
    return StoredDigestStatus::kNoString32;
  stored->length = U16(block);
  const std::size_t fits = std::min((size - 2) / 2, kDigestStringUnits);
  for (std::size_t i = 0; i < std::min(stored->length, fits); ++i)
    stored->units[i] = U16(block + 2 + 2 * i);
  if (stored->length > (size - 2) / 2)
    return StoredDigestStatus::kLengthPastBlock;
  if (stored->length != kDigestStringUnits)
    return StoredDigestStatus::kWrongLength;
  return StoredDigestStatus::kOk;
}

StoredDigestStatus WriteStoredDigest(std::uint8_t* block,
                                     std::size_t size,
                                     std::uint32_t blockId,
                                     const Md5Digest& digest) {
  StoredDigest stored;
  const StoredDigestStatus status = ReadStoredDigest(block, size, blockId, &stored);
  if (status != StoredDigestStatus::kOk)
    return status;
  const std::string hex = DigestHex(digest);
  for (std::size_t i = 0; i < kDigestStringUnits; ++i) {
    block[2 + 2 * i] = static_cast<std::uint8_t>(hex[i % kDigestHexUnits]);
    block[3 + 2 * i] = 0;
  }
  return StoredDigestStatus::kOk;
}

StoredDigestStatus CheckStoredDigest(const std::uint8_t* block,
                                     std::size_t size,
                                     std::uint32_t blockId,
                                     const Md5Digest& computed,
                                     StoredDigest* stored) {
  const StoredDigestStatus status = ReadStoredDigest(block, size, blockId, stored);
  if (status != StoredDigestStatus::kOk)
    return status;
  const std::uint16_t* first = stored->units;
  const std::uint16_t* second = stored->units + kDigestHexUnits;
  if (!std::equal(first, second, second))
    return StoredDigestStatus::kHalvesDiffer;
  const std::string hex = DigestHex(computed);
  for (std::size_t i = 0; i < kDigestHexUnits; ++i) {
    if (first[i] != static_cast<unsigned char>(hex[i]))
      return StoredDigestStatus::kDigestDiffers;
  }
  return StoredDigestStatus::kOk;
}
