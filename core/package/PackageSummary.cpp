#include "core/package/PackageSummary.h"

namespace {

constexpr std::uint32_t kSummaryFormat = 1;

std::uint64_t ClusterBytes(std::size_t step) {
  return std::uint64_t{256} << step;
}

void Put(std::vector<std::uint8_t>* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t Get(const std::uint8_t* data, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i)
    value = value << 8 | data[i];
  return value;
}

}  // namespace

void PackageSummary::AddFile(std::uint32_t size) {
  space[0] += size;
  for (std::size_t k = 1; k < kSummarySpaces; ++k) {
    const std::uint64_t cluster = ClusterBytes(k);
    space[k] += (size + cluster - 1) / cluster * cluster;
  }
}

std::uint64_t PackageSummary::SpaceNeeded(std::uint64_t clusterBytes) const {
  if (clusterBytes == 0)
    return space[0];
  std::size_t k = 1;
  while (k + 1 < kSummarySpaces && ClusterBytes(k) < clusterBytes)
    ++k;
  return space[k];
}

std::vector<std::uint8_t> EncodePackageSummary(const PackageSummary& summary) {
  std::vector<std::uint8_t> out;
  out.reserve(kSummaryBytes);
  Put(&out, kSummaryFormat, 4);
  Put(&out, summary.records, 4);
  Put(&out, summary.longestPath, 4);
  Put(&out, summary.dataBytes, 8);
  for (const std::uint64_t space : summary.space)
    Put(&out, space, 8);
  return out;
}

bool DecodePackageSummary(const std::uint8_t* data, std::size_t size, PackageSummary* summary) {
  if (data == nullptr || size != kSummaryBytes || Get(data, 4) != kSummaryFormat)
    return false;
  summary->records = static_cast<std::uint32_t>(Get(data + 4, 4));
  summary->longestPath = static_cast<std::uint32_t>(Get(data + 8, 4));
  summary->dataBytes = Get(data + 12, 8);
  for (std::size_t k = 0; k < kSummarySpaces; ++k)
    summary->space[k] = Get(data + 20 + 8 * k, 8);
  return true;
}
