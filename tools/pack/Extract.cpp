#include "tools/pack/Extract.h"

#include <algorithm>
#include <system_error>

#include "core/inflate/ResourceInflater.h"
#include "core/install/InstallRun.h"
#include "core/integrity/PeImage.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/product/Product.h"
#include "tools/pack/Build.h"
#include "tools/pack/HostFiles.h"

namespace fs = std::filesystem;

bool InflateFileResource(const PeImage& pe,
                         std::uint32_t id,
                         std::uint32_t limit,
                         Bytes* out,
                         FileRange* range,
                         std::string* error) {
  const char* what = id == 137 ? "payload package" : id == 139 ? "uninstaller" : "data";
  const PeStatus status = pe.FindNamedTypeResource(u"FILE", id, range);
  if (status != PeStatus::kOk) {
    *error = std::string("resource FILE ") + std::to_string(id) + " (" + what +
             "): " + DescribePeStatus(status);
    return false;
  }
  Bytes inflated(limit);
  int result = -1;
  const std::uint32_t n =
      InflateResource(pe.Data() + range->position, range->size, inflated.data(), limit, &result);
  if (result != kInflateOk) {
    *error = std::string("resource FILE ") + std::to_string(id) + " (" + what +
             ") does not inflate cleanly (inflater result " + std::to_string(result) + ")";
    return false;
  }
  inflated.resize(n);
  inflated.shrink_to_fit();
  *out = std::move(inflated);
  return true;
}

bool ReadInstallerResources(const Bytes& image,
                            Bytes* package,
                            Bytes* uninstaller,
                            std::string* error) {
  PeImage pe;
  const PeStatus parsed = pe.Parse(image.data(), image.size());
  if (parsed != PeStatus::kOk) {
    *error = DescribePeStatus(parsed);
    return false;
  }
  FileRange ranges[2];
  if (!InflateFileResource(pe, 137, kPackageLimit, package, &ranges[0], error) ||
      !InflateFileResource(pe, 139, kUninstallerLimit, uninstaller, &ranges[1], error)) {
    return false;
  }
  const PackageCheck check = ValidatePackage(package->data(), package->size());
  if (!check.ok()) {
    *error = "the payload package is damaged: " + check.Describe();
    return false;
  }
  // The summary, where there is one, must say what the resources hold.
  FileRange stored;
  if (pe.FindNamedTypeResource(u"FILE", 138, &stored) != PeStatus::kOk)
    return true;
  PackageSummary said, found;
  PackageCheck unused;
  if (!DecodePackageSummary(image.data() + stored.position, stored.size, &said) ||
      !SummarizePackage(image.data() + ranges[0].position, ranges[0].size,
                        image.data() + ranges[1].position, ranges[1].size, &found, &unused) ||
      !(said == found)) {
    *error = "resource FILE 138 (payload summary) does not match the payload";
    return false;
  }
  return true;
}

namespace {

// Adds a line for `size` bytes at `data` named `path`; false, with `error`, when the host
// cannot compute SHA-256.
bool AddManifestLine(std::string path,
                     const std::uint8_t* data,
                     std::size_t size,
                     std::vector<ManifestLine>* lines,
                     std::string* error) {
  Sha256Digest digest;
  if (!Sha256(data, size, &digest)) {
    *error = "the host's SHA-256 failed";
    return false;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  lines->push_back({std::move(path), size, std::move(text)});
  return true;
}

bool PackageManifest(const Bytes& package, std::vector<ManifestLine>* lines, std::string* error) {
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  while (walker.Next(&r)) {
    if (!AddManifestLine(Utf16ToUtf8(std::u16string_view(r.path, r.pathLength)), r.data, r.size,
                         lines, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool InstallerManifest(const Bytes& image, std::vector<ManifestLine>* lines, std::string* error) {
  Bytes package, uninstaller;
  if (!ReadInstallerResources(image, &package, &uninstaller, error))
    return false;
  lines->clear();
  return AddManifestLine(Utf16ToUtf8(kUninstallerName), uninstaller.data(), uninstaller.size(),
                         lines, error) &&
         PackageManifest(package, lines, error);
}

bool FolderManifest(const fs::path& folder, std::vector<ManifestLine>* lines, std::string* error) {
  Bytes package;
  PackStats stats;
  if (!BuildPayloadPackage(folder, kPackMaxRelativePath, {}, &package, &stats, error))
    return false;
  lines->clear();
  return PackageManifest(package, lines, error);
}

bool ExtractInstaller(const Bytes& image,
                      const fs::path& folder,
                      const fs::path& uninstallerFile,
                      PackStats* stats,
                      std::string* error) {
  *stats = PackStats{};
  Bytes package, uninstaller;
  if (!ReadInstallerResources(image, &package, &uninstaller, error))
    return false;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = QuotedPath(folder) + ": " + ec.message();
    return false;
  }
  if (!uninstallerFile.empty() && !WriteFileAtomically(uninstallerFile, uninstaller, error))
    return false;
  PayloadPackage walker(package.data(), package.size());
  PackageRecord r;
  while (walker.Next(&r)) {
    std::string relative = Utf16ToUtf8(std::u16string_view(r.path, r.pathLength));
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const fs::path target = folder / HostPath(relative);
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
      *error = QuotedPath(target.parent_path()) + ": " + ec.message();
      return false;
    }
    if (!WriteFileAtomically(target, Bytes(r.data, r.data + r.size), error))
      return false;
    ++stats->files;
    stats->dataBytes += r.size;
  }
  return true;
}
