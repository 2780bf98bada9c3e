#include "core/install/PayloadStream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/inflate/ResourceInflater.h"

namespace {

// Feeds an inflater's output to a package reader.
class ReaderSink : public InflateSink {
 public:
  explicit ReaderSink(PackageReader& reader) : reader_(reader) {}
  bool Take(const std::uint8_t* data, std::uint32_t count) override {
    return reader_.Feed(data, count);
  }

 private:
  PackageReader& reader_;
};

// Inflates the payload stream - from its file where that opens, else from memory - into
// `sink`; kInflateBadData when there is no stream.
int InflatePayload(const std::uint8_t* payload,
                   std::uint32_t size,
                   const StreamFile* file,
                   InflateSink& sink) {
  if (file != nullptr) {
    if (const std::unique_ptr<InflateSource> source = file->Open())
      return InflateToSink(*source, sink, kPackageLimit);
  }
  if (payload == nullptr)
    return kInflateBadData;
  return InflateToSink(payload, size, sink, kPackageLimit);
}

class PipedRead {
 public:
  // `packageBytes` (the inflated size) bounds the buffers, so a small package takes little.
  static bool Read(const std::uint8_t* payload,
                   std::uint32_t size,
                   const StreamFile* file,
                   std::uint64_t packageBytes,
                   PackageReader& reader) {
    if (payload == nullptr)
      return false;
    PipedRead pipe(static_cast<std::size_t>(
        std::clamp<std::uint64_t>(packageBytes / kBuffers, kInflatePiece, kLargestBuffer)));
    try {
      pipe.producer_ =
          std::thread([&pipe, payload, size, file] { pipe.Produce(payload, size, file); });
    } catch (const std::system_error&) {
      return ReadPackage(payload, size, file, reader);
    }
    return pipe.Consume(reader);
  }

  ~PipedRead() {
    if (producer_.joinable()) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
      }
      changed_.notify_all();
      producer_.join();
    }
  }

 private:
  static constexpr std::size_t kLargestBuffer = std::size_t{1} << 20;
  static constexpr std::size_t kInflatePiece = 32768;
  static constexpr std::size_t kBuffers = 3;

  struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t fill = 0;
  };

  // Gathers the inflater's pieces into whole buffers for the reading thread.
  class Sink : public InflateSink {
   public:
    explicit Sink(PipedRead& pipe) : pipe_(pipe) {}
    bool Take(const std::uint8_t* data, std::uint32_t count) override {
      while (count > 0) {
        if (current_ == nullptr && (current_ = pipe_.Empty()) == nullptr)
          return false;  // the reader is gone
        const std::size_t n = std::min<std::size_t>(count, pipe_.bufferBytes_ - current_->fill);
        std::memcpy(current_->bytes.get() + current_->fill, data, n);
        current_->fill += n;
        data += n;
        count -= static_cast<std::uint32_t>(n);
        if (current_->fill == pipe_.bufferBytes_)
          Hand();
      }
      return true;
    }
    void Hand() {
      if (current_ != nullptr && current_->fill > 0)
        pipe_.Full(current_);
      current_ = nullptr;
    }

   private:
    PipedRead& pipe_;
    Buffer* current_ = nullptr;
  };

  explicit PipedRead(std::size_t bufferBytes) : bufferBytes_(bufferBytes) {
    for (Buffer& buffer : buffers_) {
      buffer.bytes.reset(new std::uint8_t[bufferBytes_]);
      empty_.push_back(&buffer);
    }
  }

  void Produce(const std::uint8_t* payload, std::uint32_t size, const StreamFile* file) {
    Sink sink(*this);
    const int result = InflatePayload(payload, size, file, sink);
    sink.Hand();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      result_ = result;
      produced_ = true;
    }
    changed_.notify_all();
  }

  // A buffer to fill, once one is free; null once the reader is gone.
  Buffer* Empty() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !empty_.empty() || abandoned_; });
    if (abandoned_)
      return nullptr;
    Buffer* buffer = empty_.back();
    empty_.pop_back();
    buffer->fill = 0;
    return buffer;
  }

  void Full(Buffer* buffer) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      full_.push_back(buffer);
    }
    changed_.notify_all();
  }

  bool Consume(PackageReader& reader) {
    for (;;) {
      Buffer* buffer = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !full_.empty() || produced_; });
        if (full_.empty())
          break;
        buffer = full_.front();
        full_.pop_front();
      }
      const bool more = reader.Feed(buffer->bytes.get(), buffer->fill);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        empty_.push_back(buffer);
      }
      changed_.notify_all();
      if (!more)
        return true;  // the reader stopped it, or found a fault: its check tells
    }
    producer_.join();
    if (result_ == kInflateStopped)
      return true;
    reader.Finish();
    return result_ == kInflateOk;
  }

  const std::size_t bufferBytes_;
  Buffer buffers_[kBuffers];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Buffer*> empty_;
  std::deque<Buffer*> full_;
  bool produced_ = false;
  bool abandoned_ = false;
  int result_ = kInflateOk;
  std::thread producer_;
};

}  // namespace

bool InflateStream(const std::uint8_t* stream,
                   std::uint32_t size,
                   std::uint32_t limit,
                   Inflated* out) {
  if (stream == nullptr)
    return false;
  out->block.reset(new (std::nothrow) std::uint8_t[limit]);
  if (!out->block)
    return false;
  int result = -1;
  out->size = InflateResource(stream, size, out->block.get(), limit, &result);
  return result == kInflateOk;
}

bool ReadPackage(const std::uint8_t* payload,
                 std::uint32_t size,
                 const StreamFile* file,
                 PackageReader& reader) {
  if (payload == nullptr)
    return false;
  ReaderSink sink(reader);
  const int result = InflatePayload(payload, size, file, sink);
  if (result == kInflateStopped)
    return true;
  reader.Finish();
  return result == kInflateOk;
}

bool ReadPackagePiped(const std::uint8_t* payload,
                      std::uint32_t size,
                      const StreamFile* file,
                      std::uint64_t packageBytes,
                      PackageReader& reader) {
  return PipedRead::Read(payload, size, file, packageBytes, reader);
}
