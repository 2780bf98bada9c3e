// Fuzz target for the PE reader: locating the digest block and the "FILE" resources never
// reads outside the file, and whatever it finds lies inside it. A resource section that can
// be read can be written anew, and reads back the same. The bytes as a version resource:
// one that can be read and given a release's version states it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeImage.h"
#include "core/integrity/ResourceSection.h"
#include "core/integrity/VersionResource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReleaseVersion version, read;
  std::vector<std::uint8_t> set;
  if (ReadVersionResource(data, size, &version)) {
    const ReleaseVersion release{{1, 2, 3, 4}, u"1.2.3.4"};
    if (SetVersionResource(std::vector<std::uint8_t>(data, data + size), release, &set) &&
        (!ReadVersionResource(set.data(), set.size(), &read) || read.text != release.text ||
         read.parts[3] != 4)) {
      std::abort();
    }
  }
  PeImage image;
  if (image.Parse(data, size) != PeStatus::kOk)
    return 0;
  FileRange range;
  std::uint32_t id = 0;
  if (image.FindDigestBlock(&range, &id) == PeStatus::kOk &&
      std::uint64_t{range.position} + range.size > size) {
    std::abort();
  }
  for (std::uint32_t resource : {137u, 139u}) {
    if (image.FindNamedTypeResource(u"FILE", resource, &range) == PeStatus::kOk &&
        std::uint64_t{range.position} + range.size > size) {
      std::abort();
    }
  }
  if (image.FindTypedResource(24, 1, &range) == PeStatus::kOk &&
      std::uint64_t{range.position} + range.size > size) {
    std::abort();
  }
  std::vector<std::string> names;
  (void)image.ImportedDlls(&names);
  Md5Digest digest;
  (void)ComputeInstallerDigest(data, size, &digest);

  std::vector<Resource> resources, back;
  std::vector<std::uint8_t> written;
  if (ReadResources(image, &resources) == PeStatus::kOk &&
      WriteResourceSection(image, resources, &written) == PeStatus::kOk) {
    PeImage again;
    if (again.Parse(written.data(), written.size()) != PeStatus::kOk ||
        ReadResources(again, &back) != PeStatus::kOk || back.size() != resources.size()) {
      std::abort();
    }
  }
  return 0;
}
