// Memory that was read once and is not needed again - pages of a loaded image or of a file
// view - leaving the process's working set, so that reading something large through memory
// does not keep it resident.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Takes the whole pages within [`data`, `data` + `size`) out of the working set; they are
// read again from their file if touched later. Nothing changes for the program.
inline void ReleasePages(const void* data, std::size_t size) {
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (start + size) & ~(kPage - 1);
  // VirtualUnlock on pages that are not locked removes them from the working set (and
  // reports ERROR_NOT_LOCKED, which is what is wanted).
  if (end > first)
    VirtualUnlock(reinterpret_cast<void*>(first), end - first);
}
