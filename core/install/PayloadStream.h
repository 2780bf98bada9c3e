// Reading the installer's streams: the uninstaller inflated whole, the payload inflated
// piece by piece into a package reader - on this thread, or on one of its own beside it.
#pragma once

#include <cstdint>
#include <memory>

#include "core/install/InstallRun.h"
#include "core/package/PayloadPackage.h"

// An inflated resource in a block of its limit's size: only the pages written are used.
struct Inflated {
  std::unique_ptr<std::uint8_t[]> block;
  std::uint32_t size = 0;
};

// Inflates `stream` into a block of `limit` bytes; false when it is damaged, there is no
// stream, or no block.
bool InflateStream(const std::uint8_t* stream,
                   std::uint32_t size,
                   std::uint32_t limit,
                   Inflated* out);

// Reads the payload stream through `reader` without holding it: true when the stream
// inflated cleanly and the reader found the package whole, or when the reader stopped it
// (its check and Stopped() tell which).
bool ReadPackage(const std::uint8_t* payload,
                 std::uint32_t size,
                 const StreamFile* file,
                 PackageReader& reader);

// Reads the payload stream through `reader` like ReadPackage, inflating on the other thread
// of `threads`: while this thread writes one buffer's files, the other fills the next
// buffer, so a run uses both cores and holds a few MiB whatever the package's size. Where
// no thread can be started the stream is read on this one. `packageBytes` (the inflated
// size) bounds the buffers, so a small package takes little.
bool ReadPackagePiped(const std::uint8_t* payload,
                      std::uint32_t size,
                      const StreamFile* file,
                      std::uint64_t packageBytes,
                      ThreadPair& threads,
                      PackageReader& reader);
