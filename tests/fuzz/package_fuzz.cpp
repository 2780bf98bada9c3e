// Fuzz target for the package validator, reader and walker: they never read outside the
// package, a package the validator accepts walks completely into records with acceptable
// paths, and a reader fed in pieces (their size taken from the input) finds what the
// validator finds and hands out the walker's records.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/package/PayloadPackage.h"

namespace {

// Checks the reader's records against the walker's, in order.
class AgainstWalker : public PackageVisitor {
 public:
  AgainstWalker(const std::uint8_t* data, std::size_t size) : walker_(data, size) {}
  bool Record(std::u16string_view path, std::uint32_t size) override {
    if (!walker_.Next(&record_)) {
      // The walker refuses a record cut short at once; the reader finds out at the end (and
      // must then report the data cut short).
      truncated = true;
      return true;
    }
    if (path != std::u16string_view(record_.path, record_.pathLength) || size != record_.size)
      std::abort();
    taken_ = 0;
    return true;
  }
  bool Data(const std::uint8_t* data, std::size_t size) override {
    if (truncated)
      return true;
    if (size == 0 || size > record_.size - taken_ ||
        std::memcmp(data, record_.data + taken_, size) != 0) {
      std::abort();
    }
    taken_ += size;
    return true;
  }
  bool RecordEnd() override {
    if (truncated || taken_ != record_.size)
      std::abort();
    return true;
  }

  bool truncated = false;

 private:
  PayloadPackage walker_;
  PackageRecord record_{};
  std::size_t taken_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const PackageCheck check = ValidatePackage(data, size);
  PayloadPackage walker(data, size);
  PackageRecord record;
  std::size_t records = 0;
  std::size_t end = 0;
  while (walker.Next(&record)) {
    const auto dataOffset = static_cast<std::size_t>(record.data - data);
    if (dataOffset + record.size > size)
      std::abort();
    end = dataOffset + record.size;
    if (check.ok() && CheckRelativePath(std::u16string_view(record.path, record.pathLength),
                                        kMaxFullPathUnits) != PackageFault::kNone) {
      std::abort();
    }
    ++records;
  }
  if (check.ok() && (end != size || records != check.recordIndex)) {
    std::abort();
  }
  if (!check.ok() && check.recordIndex > records)
    std::abort();
  (void)check.Describe();

  AgainstWalker visitor(data, size);
  PackageReader reader(kMaxFullPathUnits, &visitor);
  const std::size_t piece = size > 0 ? 1 + data[0] % 600 : 1;
  for (std::size_t at = 0; at < size; at += piece)
    reader.Feed(data + at, std::min(piece, size - at));
  const PackageCheck pieces = reader.Finish();
  if (pieces.fault != check.fault || pieces.recordIndex != check.recordIndex ||
      pieces.offset != check.offset || pieces.dataBytes != check.dataBytes ||
      (visitor.truncated && pieces.fault != PackageFault::kDataTruncated)) {
    std::abort();
  }
  return 0;
}
