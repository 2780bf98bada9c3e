#include "win/install/PagedResource.h"

#include <algorithm>

#include "win/base/WorkingSet.h"

const std::uint8_t* LoadFileResource(HMODULE module, WORD id, std::uint32_t* size) {
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"FILE");
  if (resource == nullptr)
    return nullptr;
  HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr)
    return nullptr;
  *size = SizeofResource(module, resource);
  return static_cast<const std::uint8_t*>(LockResource(loaded));
}

namespace {

// Hands out a resource from a loaded module's memory a mebibyte at a time and hands its
// pages back to the system as it goes: the pages of each batch leave the working set when
// the next batch is asked for, and the rest when the reader goes.
class PagedReader : public InflateSource {
 public:
  PagedReader(const std::uint8_t* data, std::uint32_t size)
      : data_(data), size_(size), released_(PageOf(data)) {}
  ~PagedReader() override { ReleasePages(reinterpret_cast<const void*>(released_), Done()); }
  PagedReader(const PagedReader&) = delete;
  PagedReader& operator=(const PagedReader&) = delete;

  std::uint32_t Next(const std::uint8_t** data) override {
    const std::uintptr_t whole = PageOf(data_ + at_);
    if (whole > released_) {
      ReleasePages(reinterpret_cast<const void*>(released_), whole - released_);
      released_ = whole;
    }
    const std::uint32_t n = std::min<std::uint32_t>(kBatch, size_ - at_);
    *data = data_ + at_;
    at_ += n;
    return n;
  }

 private:
  static constexpr std::uint32_t kBatch = std::uint32_t{1} << 20;
  static std::uintptr_t PageOf(const std::uint8_t* p) {
    return reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
  }
  std::size_t Done() const { return reinterpret_cast<std::uintptr_t>(data_ + at_) - released_; }

  const std::uint8_t* data_;
  std::uint32_t size_;
  std::uint32_t at_ = 0;
  std::uintptr_t released_;  // the pages below have left the working set
};

class PagedStream : public StreamFile {
 public:
  PagedStream(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}
  std::unique_ptr<InflateSource> Open() const override {
    return std::make_unique<PagedReader>(data_, size_);
  }

 private:
  const std::uint8_t* data_;
  std::uint32_t size_;
};

}  // namespace

std::unique_ptr<StreamFile> PagedResource(const std::uint8_t* resource, std::uint32_t size) {
  if (resource == nullptr || size == 0)
    return nullptr;
  return std::make_unique<PagedStream>(resource, size);
}
