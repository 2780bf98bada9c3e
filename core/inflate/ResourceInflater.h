// Raw-deflate decoder (RFC 1951: no zlib or gzip wrapper, no checksum) for the compressed
// resources the installer carries: the payload package and the uninstaller.
//
// One call inflates one stream that lies whole in memory, either into a block the caller
// supplies or, piece by piece, into a sink that never needs the whole output at once. The
// decoder never writes past the block's capacity, and the count it returns is exactly the
// number of bytes it wrote there. Decoding ends at the end of the final block or at the
// first fault; callers that need to know which ask for the result code.
#pragma once

#include <cstdint>

// Result codes of the decoder core.
enum InflateResult : int {
  kInflateOk = 0,
  // Invalid data: an invalid code, a stored length that fails its complement check, too
  // many codes declared, a repeat past the declared lengths, an incomplete dynamic code, a
  // symbol of a code that has none, a distance before the start of the output, or a
  // truncated stream.
  kInflateBadData = 1,
  kInflateBadCode = 2,     // an over-subscribed code, or a block of type 3
  kInflateNoMemory = 3,    // a decoding table or the decoder state could not be allocated
  kInflateOutputFull = 4,  // the stream inflates to more than the output block holds
  kInflateStopped = 5,     // the sink refused a piece
};

// The most any call writes, whatever capacity the caller names: 100 MiB.
inline constexpr std::uint32_t kInflateSinkLimit = 104857600;

// Where a stream's final block lies, in bits from the start of the source (bit 0 is the
// lowest bit of the first byte).
struct InflateBounds {
  std::uint64_t finalBlock = 0;  // the final block's header, whose first bit is BFINAL
  std::uint64_t end = 0;         // the first bit after the final block
};

// Inflates `sourceLength` bytes at `source` into `output`, writing at most
// min(outputCapacity, kInflateSinkLimit) bytes. Returns the number of bytes written, all of
// them decoded from the stream in order. On a fault the bytes decoded before it are still
// written and counted; `*result` (when given) receives the code that ended decoding, and
// only kInflateOk means the stream was complete and fitted the block. `*bounds` (when
// given) receives where the final block lies when the result is kInflateOk, and is left as
// it was otherwise: the packager joins streams with it.
//
// Thread-safe: every call has its own decoder state. The two diagnostics of an incomplete
// dynamic code, " incomplete literal tree\n" and " incomplete distance tree\n", go to the
// standard error stream.
std::uint32_t InflateResource(const std::uint8_t* source,
                              std::uint32_t sourceLength,
                              std::uint8_t* output,
                              std::uint32_t outputCapacity,
                              int* result = nullptr,
                              InflateBounds* bounds = nullptr);

// Receives a streaming inflate's output in order, in pieces of at most 32 KiB that stay
// valid only during the call.
class InflateSink {
 public:
  virtual ~InflateSink() = default;
  // Takes the next `count` bytes; false ends decoding with kInflateStopped.
  virtual bool Take(const std::uint8_t* data, std::uint32_t count) = 0;
};

// Hands a streaming inflate its compressed input in batches, when the stream is not in
// memory all at once (a file read piece by piece, or a mapped image whose pages are handed
// back as they are read).
class InflateSource {
 public:
  virtual ~InflateSource() = default;
  // Points `*data` at the next bytes of the stream, which stay valid and unchanged until
  // the next call, and returns their count; 0 at the end and on every call after it (or on
  // a read error, which the decoder takes for a truncated stream).
  virtual std::uint32_t Next(const std::uint8_t** data) = 0;
};

// Inflates `sourceLength` bytes at `source` into `sink`, at most min(limit,
// kInflateSinkLimit) bytes in all, and returns the code that ended decoding: kInflateOk
// only when the stream was complete within the limit. The output decoded before a fault
// still reaches the sink. The decoder needs about 260 KiB whatever the stream's size: a
// window of the last 32 KiB delivered and up to 224 KiB more, delivered together.
int InflateToSink(const std::uint8_t* source,
                  std::uint32_t sourceLength,
                  InflateSink& sink,
                  std::uint32_t limit = kInflateSinkLimit);

// The same, reading the compressed stream from `source`.
int InflateToSink(InflateSource& source,
                  InflateSink& sink,
                  std::uint32_t limit = kInflateSinkLimit);
