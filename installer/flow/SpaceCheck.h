// What the installer's package asks of a folder, read from its summary, and whether the
// folder's volume has the space: the estimate and the warning that asks whether to go on.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/package/PackageSummary.h"
#include "core/package/PayloadPackage.h"

// What the installer's package asks of a folder, from the payload's summary (resource "FILE"
// 138) without inflating anything. An installer without one (or with one that cannot be
// read) has no facts: its folder gets no space estimate, and the run checks the package
// whole before it writes.
struct PackageFacts {
  bool summarized = false;
  PackageSummary summary;
  // The summary as the run takes it: its records, data bytes and longest path (in UTF-16
  // code units).
  PackageCheck check;
};
PackageFacts ReadPackageFacts(HMODULE module);

struct SpaceEstimate {
  bool known = false;   // false when the volume could not be read
  std::wstring volume;  // "D:" or the volume's path
  std::uint64_t needed = 0;
  std::uint64_t available = 0;  // to this user, quotas included
};
// The space the package takes on the volume of `folder` (which need not exist yet) and the
// space there is.
SpaceEstimate EstimateSpace(const std::wstring& folder, const PackageFacts& package);

// "磁盘空间可能不足：D: 需要 32.8 MB，可用 12.1 MB。是否仍要继续安装？"
std::wstring SpaceWarning(const SpaceEstimate& estimate);
