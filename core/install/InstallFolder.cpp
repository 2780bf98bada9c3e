#include "core/install/InstallFolder.h"

#include <algorithm>

#include "core/install/InstallRun.h"
#include "core/install/Journal.h"
#include "core/install/ManifestText.h"
#include "core/package/PayloadPackage.h"

std::size_t MaxInstallFolderUnits(std::size_t longestRelativePath) {
  const std::size_t longest = std::max({longestRelativePath, kChannelFilePath.size(),
                                        kManifestName.size(), kUninstallerName.size()});
  return longest < kMaxFullPathUnits ? kMaxFullPathUnits - longest : 0;
}

FolderVerdict CheckInstallFolder(std::u16string_view folder, std::size_t longestRelativePath) {
  if (folder.find(u'%') != std::u16string_view::npos)
    return FolderVerdict::kPercent;
  if (folder.size() > MaxInstallFolderUnits(longestRelativePath))
    return FolderVerdict::kTooLong;
  return FolderVerdict::kOk;
}

std::span<const std::u16string_view> InstallationOwnPaths() {
  static constexpr std::u16string_view kPaths[] = {
      kUninstallerName, kManifestName, kChannelFilePath, kKeptFolderName, kAsideFolderName};
  return kPaths;
}
