#include "win/install/PagedResource.h"

#include <algorithm>
#include <cstring>

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

// Reads a resource from a loaded module's memory and hands its pages back to the system
// as it goes: the pages wholly read leave the working set once a mebibyte of them gathers,
// and the rest when the reader goes.
class PagedReader : public InflateSource {
 public:
  PagedReader(const std::uint8_t* data, std::uint32_t size)
      : data_(data), size_(size), released_(PageOf(data)) {}
  ~PagedReader() override { ReleasePages(reinterpret_cast<const void*>(released_), Done()); }
  PagedReader(const PagedReader&) = delete;
  PagedReader& operator=(const PagedReader&) = delete;

  std::uint32_t Read(std::uint8_t* destination, std::uint32_t wanted) override {
    const std::uint32_t n = std::min(wanted, size_ - at_);
    std::memcpy(destination, data_ + at_, n);
    at_ += n;
    const std::uintptr_t whole = PageOf(data_ + at_);
    if (whole - released_ >= kBatch) {
      ReleasePages(reinterpret_cast<const void*>(released_), whole - released_);
      released_ = whole;
    }
    return n;
  }

 private:
  static constexpr std::uintptr_t kBatch = std::uintptr_t{1} << 20;
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
