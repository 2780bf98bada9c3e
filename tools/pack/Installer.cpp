#include "tools/pack/Installer.h"

#include <algorithm>
#include <utility>

#include "core/install/InstallRun.h"
#include "core/integrity/PeImage.h"
#include "core/integrity/ResourceSection.h"
#include "tools/pack/Extract.h"
#include "tools/pack/Stamp.h"

namespace {

constexpr std::uint32_t kPayloadId = 137;
constexpr std::uint32_t kSummaryId = 138;
constexpr std::uint32_t kUninstallerId = 139;
constexpr std::uint32_t kVersionType = 16;  // RT_VERSION

Resource FileResource(std::uint32_t id, const Bytes& data) {
  Resource r;
  r.type.text = u"FILE";
  r.name.id = id;
  r.language = kPackResourceLanguage;
  r.data = data;
  return r;
}

// Sets `version` in every version resource of `resources`. False, with a reason, when there
// is none or one is no version resource.
bool SetVersions(std::vector<Resource>* resources,
                 const ReleaseVersion& version,
                 std::string* error) {
  bool found = false;
  for (Resource& r : *resources) {
    if (!r.type.text.empty() || r.type.id != kVersionType)
      continue;
    Bytes rewritten;
    if (!SetVersionResource(r.data, version, &rewritten)) {
      *error = "its version resource is damaged";
      return false;
    }
    r.data = std::move(rewritten);
    found = true;
  }
  if (!found)
    *error = "it has no version resource to set the version in";
  return found;
}

}  // namespace

bool StubUninstaller(const Bytes& stub, Bytes* program, std::string* error) {
  PeImage pe;
  FileRange range;
  const PeStatus status = pe.Parse(stub.data(), stub.size());
  if (status != PeStatus::kOk) {
    *error = std::string("the stub: ") + DescribePeStatus(status);
    return false;
  }
  if (!InflateFileResource(pe, kUninstallerId, kUninstallerLimit, program, &range, error)) {
    *error = "the stub's " + *error;
    return false;
  }
  return true;
}

bool SetProgramVersion(Bytes* program, const ReleaseVersion& version, std::string* error) {
  PeImage pe;
  PeStatus status = pe.Parse(program->data(), program->size());
  std::vector<Resource> resources;
  if (status == PeStatus::kOk)
    status = ReadResources(pe, &resources);
  if (status != PeStatus::kOk) {
    *error = DescribePeStatus(status);
    return false;
  }
  if (!SetVersions(&resources, version, error))
    return false;
  Bytes image;
  status = WriteResourceSection(pe, resources, &image);
  if (status != PeStatus::kOk) {
    *error = DescribePeStatus(status);
    if (status == PeStatus::kSigned)
      *error += ": give it unsigned, and sign it with --sign";
    return false;
  }
  *program = std::move(image);
  return true;
}

bool BuildInstaller(const Bytes& stub,
                    const Bytes& payload,
                    const Bytes& uninstaller,
                    const ReleaseVersion* version,
                    Bytes* installer,
                    Md5Digest* digest,
                    std::string* error) {
  installer->clear();
  PeImage pe;
  PeStatus status = pe.Parse(stub.data(), stub.size());
  std::vector<Resource> resources;
  if (status == PeStatus::kOk)
    status = ReadResources(pe, &resources);
  if (status != PeStatus::kOk) {
    *error = std::string("the stub: ") + DescribePeStatus(status);
    return false;
  }
  // One payload, its summary and one uninstaller: any the stub has, in whatever language,
  // are replaced.
  std::erase_if(resources, [&](const Resource& r) {
    return r.type.text == u"FILE" && (r.name.id == kPayloadId || r.name.id == kSummaryId ||
                                      (r.name.id == kUninstallerId && !uninstaller.empty()));
  });
  if (!uninstaller.empty())
    SetResource(&resources, FileResource(kUninstallerId, uninstaller));
  const auto carried = std::find_if(resources.begin(), resources.end(), [](const Resource& r) {
    return r.type.text == u"FILE" && r.name.id == kUninstallerId;
  });
  if (carried == resources.end()) {
    *error = "the stub carries no uninstaller (resource \"FILE\" 139); give one with --uninstaller";
    return false;
  }
  PackageSummary summary;
  PackageCheck check;
  if (!SummarizePackage(payload.data(), static_cast<std::uint32_t>(payload.size()),
                        carried->data.data(), static_cast<std::uint32_t>(carried->data.size()),
                        &summary, &check)) {
    *error = check.ok() ? "the payload or the uninstaller does not inflate cleanly"
                        : "the payload package is damaged: " + check.Describe();
    return false;
  }
  if (version && !SetVersions(&resources, *version, error)) {
    *error = "the stub: " + *error;
    return false;
  }
  SetResource(&resources, FileResource(kPayloadId, payload));
  SetResource(&resources, FileResource(kSummaryId, EncodePackageSummary(summary)));
  Bytes image;
  status = WriteResourceSection(pe, resources, &image);
  if (status != PeStatus::kOk) {
    *error = std::string("the stub: ") + DescribePeStatus(status);
    return false;
  }
  FileRange stamped;
  if (!StampImage(&image, digest, &stamped, error))
    return false;
  *installer = std::move(image);
  return true;
}
