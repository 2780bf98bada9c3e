#include "win/install/ProgramVersion.h"

#include <windows.h>

#include "core/integrity/VersionResource.h"
#include "core/product/Product.h"

ProgramVersion ThisProgramVersion() {
  ProgramVersion version{product::kVersion, product::kVersionMajor, product::kVersionMinor};
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
  HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  ReleaseVersion read;
  if (data && ReadVersionResource(static_cast<const std::uint8_t*>(data),
                                  SizeofResource(nullptr, found), &read)) {
    version.text.assign(read.text.begin(), read.text.end());
    version.major = read.parts[0];
    version.minor = read.parts[1];
  }
  return version;
}
