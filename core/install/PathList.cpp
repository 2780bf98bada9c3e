#include "core/install/PathList.h"

#include <algorithm>

PathList::PathList(std::initializer_list<std::u16string_view> paths) {
  for (const std::u16string_view path : paths)
    push_back(path);
}

void PathList::push_back(std::u16string_view path) {
  if (blocks_.empty() || blocks_.back().size() + path.size() > kBlockUnits) {
    blocks_.emplace_back();
    firsts_.push_back(starts_.size());
  }
  std::u16string& block = blocks_.back();
  // Grown by doubling up to a whole block, so that a short list stays small.
  const std::size_t needed = block.size() + path.size();
  if (needed > block.capacity())
    block.reserve(
        std::max(needed, std::min(kBlockUnits, std::max(block.capacity() * 2, std::size_t{256}))));
  starts_.push_back(static_cast<std::uint32_t>(block.size()));
  block.append(path);
}

std::u16string_view PathList::operator[](std::size_t n) const {
  const std::size_t block =
      static_cast<std::size_t>(std::upper_bound(firsts_.begin(), firsts_.end(), n) -
                               firsts_.begin()) -
      1;
  const bool lastInBlock =
      block + 1 == firsts_.size() ? n + 1 == starts_.size() : n + 1 == firsts_[block + 1];
  const std::size_t end = lastInBlock ? blocks_[block].size() : starts_[n + 1];
  return std::u16string_view(blocks_[block]).substr(starts_[n], end - starts_[n]);
}

bool operator==(const PathList& a, const PathList& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}
