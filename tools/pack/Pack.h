// The packager's library, shared by setup_pack (main.cpp), the tests and the benchmark. It
// comes in six parts, each with its own header:
//
//   Build.h      a payload package made from a folder; raw-deflate compression of a resource
//   Stamp.h      the packaging rules on a finished installer; its digest stamped and verified
//   Extract.h    a built installer read back: its resources, its files, their manifest
//   Installer.h  a finished installer made from a prebuilt stub, a payload and a version
//   HostFiles.h  the host's files read whole and written atomically
//   Signing.h    a release signed with the team's own command
//
// Every operation returns true, or false with a message in `error` that names the
// offending path or rule. Nothing is written when an operation fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// What a package holds, as building or extracting it found.
struct PackStats {
  std::size_t files = 0;
  std::uint64_t dataBytes = 0;
  std::size_t longestPath = 0;
};
