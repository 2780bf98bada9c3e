#include "installer/flow/SpaceCheck.h"

#include "core/text/NumberText.h"
#include "win/base/Paths.h"
#include "win/install/PagedResource.h"

namespace {

// "12.3 MB" or "1.2 GB".
std::wstring Size(std::uint64_t bytes) {
  if (bytes >= (std::uint64_t{1} << 30))
    return TenthsText<wchar_t>(bytes, 30) + L" GB";
  return TenthsText<wchar_t>(bytes, 20) + L" MB";
}

}  // namespace

PackageFacts ReadPackageFacts(HMODULE module) {
  PackageFacts facts;
  std::uint32_t size = 0;
  const std::uint8_t* summary = LoadFileResource(module, 138, &size);
  facts.summarized = DecodePackageSummary(summary, size, &facts.summary);
  if (facts.summarized) {
    facts.check.recordIndex = facts.summary.records;
    facts.check.longestPath = facts.summary.longestPath;
    facts.check.dataBytes = facts.summary.dataBytes;
  }
  return facts;
}

SpaceEstimate EstimateSpace(const std::wstring& folder, const PackageFacts& package) {
  SpaceEstimate estimate;
  // The folder may not exist yet: its volume is that of the nearest folder above it.
  const std::wstring volume = VolumeOf(folder);
  if (volume.empty())
    return estimate;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  ULARGE_INTEGER available{}, total{}, free{};
  if (!GetDiskFreeSpaceExW(volume.c_str(), &available, &total, &free))
    return estimate;
  GetDiskFreeSpaceW(volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters);
  estimate.known = true;
  estimate.volume = volume;
  if (estimate.volume.size() > 2 && estimate.volume.back() == L'\\')
    estimate.volume.pop_back();
  estimate.available = available.QuadPart;
  estimate.needed =
      package.summary.SpaceNeeded(static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector);
  return estimate;
}

std::wstring SpaceWarning(const SpaceEstimate& estimate) {
  return L"磁盘空间可能不足：" + estimate.volume + L" 需要 " + Size(estimate.needed) + L"，可用 " +
         Size(estimate.available) + L"。是否仍要继续安装？";
}
