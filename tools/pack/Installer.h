// A finished installer made from a prebuilt stub, with no compiler or linker: the stub is
// the installer program linked once without a payload (setup_stub.exe). It carries every
// resource but the payload - the wizard's, the version, the manifest, string 32 as 64
// placeholder characters and, normally, the compressed uninstaller ("FILE" 139).
#pragma once

#include <cstdint>
#include <string>

#include "core/integrity/Md5.h"
#include "core/integrity/VersionResource.h"
#include "tools/pack/Pack.h"

// The language of the "FILE" resources the packager writes: Chinese (PRC), as in the
// installer's resource script. The installer looks them up by type and id alone.
inline constexpr std::uint32_t kPackResourceLanguage = 2052;

// Makes `installer` from `stub`: resource "FILE" 137 set to `payload` (a compressed payload
// package), "FILE" 139 to `uninstaller` unless it is empty (a compressed uninstaller;
// otherwise the stub's own must be there), the version resource stating `version` unless
// it is null (SetVersionResource), the resource section rebuilt around them
// (core/integrity/ResourceSection.h) with every other resource kept byte for byte, the
// header checksum 0, then stamped by the rules of `stamp` (StampImage), which `digest`
// receives. A stub that already holds a payload gets the new one. Refuses, naming the rule
// in `error`: a file that is no PE image, a signed stub (sign the installer instead),
// resources that cannot be rewritten, no uninstaller, no version resource to set, and
// whatever stamping refuses.
bool BuildInstaller(const Bytes& stub,
                    const Bytes& payload,
                    const Bytes& uninstaller,
                    const ReleaseVersion* version,
                    Bytes* installer,
                    Md5Digest* digest,
                    std::string* error);

// The uninstaller the prebuilt `stub` carries ("FILE" 139), inflated into `program`.
bool StubUninstaller(const Bytes& stub, Bytes* program, std::string* error);

// `program` (a PE image, such as the uninstaller) with `version` in its version resource,
// its resource section rebuilt as BuildInstaller rebuilds the stub's. Refuses, with
// `program` unchanged, a signed program (its signature would break: sign it afterwards),
// one without a version resource and one whose resources cannot be rewritten.
bool SetProgramVersion(Bytes* program, const ReleaseVersion& version, std::string* error);
