// Differential fuzz target: every input that zlib inflates completely as raw deflate must
// inflate to the same bytes here; on every input the inflater stays inside its block and
// counts only what it wrote, and inflating into a sink, from memory or from batches, ends
// the same way with the same bytes.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/inflate/ResourceInflater.h"

namespace {
// Twice the farthest a match reaches back, yet small enough that an input that inflates to
// the limit costs little: about 12,000 executions a second instead of 270 with 256 KiB.
// The sink's window (256 KiB) is therefore never slid here; the unit tests' outputs
// around its size slide it.
constexpr std::size_t kCapacity = 1 << 16;
constexpr std::size_t kGuard = 32;

class Collector : public InflateSink {
 public:
  bool Take(const std::uint8_t* data, std::uint32_t count) override {
    if (count == 0 || count > 32768)
      std::abort();
    bytes.insert(bytes.end(), data, data + count);
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

// Lends the input in batches of `batch` bytes, as a file or an image would.
class Batches : public InflateSource {
 public:
  Batches(const std::uint8_t* data, std::size_t size, std::size_t batch)
      : data_(data), size_(size), batch_(batch) {}
  std::uint32_t Next(const std::uint8_t** data) override {
    const std::size_t n = size_ - at_ < batch_ ? size_ - at_ : batch_;
    *data = data_ + at_;
    at_ += n;
    return static_cast<std::uint32_t>(n);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t batch_;
  std::size_t at_ = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1 << 16))
    return 0;
  // The first byte picks a capacity, so full blocks are explored too.
  const std::size_t capacity = size > 0 && data[0] < 16 ? data[0] * 97u : kCapacity;
  std::vector<std::uint8_t> ours(capacity + kGuard, 0xA5);
  int result = -1;
  const std::uint32_t n = InflateResource(data, static_cast<std::uint32_t>(size), ours.data(),
                                          static_cast<std::uint32_t>(capacity), &result);
  if (n > capacity || result < 0 || result > kInflateOutputFull)
    std::abort();
  for (std::size_t i = capacity; i < ours.size(); ++i) {
    if (ours[i] != 0xA5)
      std::abort();
  }

  Collector sink;
  if (InflateToSink(data, static_cast<std::uint32_t>(size), sink,
                    static_cast<std::uint32_t>(capacity)) != result ||
      sink.bytes.size() != n || (n > 0 && std::memcmp(sink.bytes.data(), ours.data(), n) != 0)) {
    std::abort();
  }
  // The second byte picks the batch size of a streamed read.
  Batches source(data, size, size > 1 ? 1 + data[1] % 64 : 1);
  Collector read;
  if (InflateToSink(source, read, static_cast<std::uint32_t>(capacity)) != result ||
      read.bytes != sink.bytes) {
    std::abort();
  }

  std::vector<std::uint8_t> theirs(capacity + 1);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK)
    return 0;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = theirs.data();
  z.avail_out = static_cast<uInt>(theirs.size());
  const int zr = inflate(&z, Z_FINISH);
  const std::size_t zn = z.total_out;
  inflateEnd(&z);
  if (zr == Z_STREAM_END && zn <= capacity) {
    if (result != kInflateOk || n != zn || std::memcmp(ours.data(), theirs.data(), n) != 0) {
      std::abort();
    }
  }
  return 0;
}
