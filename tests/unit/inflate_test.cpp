// The inflater turns every valid raw-deflate stream into exactly its bytes, ends every
// damaged one with the right result code, and never writes past the caller's block nor
// counts a byte it did not write.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/inflate/ResourceInflater.h"
#include "tests/unit/deflate_writer.h"
#include "tests/unit/row_name.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Inflated {
  int result = -1;
  Bytes bytes;
};

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 64;

// Collects a streaming inflate's pieces; refuses the piece after `accepted` pieces.
class Collector : public InflateSink {
 public:
  explicit Collector(std::size_t accepted = SIZE_MAX) : accepted_(accepted) {}
  bool Take(const std::uint8_t* data, std::uint32_t count) override {
    EXPECT_GT(count, 0u);
    EXPECT_LE(count, 32768u);
    if (pieces_++ == accepted_)
      return false;
    bytes.insert(bytes.end(), data, data + count);
    return true;
  }
  Bytes bytes;

 private:
  std::size_t accepted_;
  std::size_t pieces_ = 0;
};

// Hands out a stream in batches whose sizes cycle from 1 to 1,000 bytes (the first one may
// be chosen), each in a block of its own that is freed at the next call: a read past a
// batch's end or after it is gone is caught by the address sanitizer.
class Source : public InflateSource {
 public:
  explicit Source(const Bytes& stream, std::size_t first = 0) : stream_(stream), first_(first) {}
  std::uint32_t Next(const std::uint8_t** data) override {
    static constexpr std::size_t kSizes[] = {1000, 1, 9, 7, 333, 2, 8, 64};
    std::size_t n = at_ == 0 && first_ > 0 ? first_ : kSizes[calls_++ % std::size(kSizes)];
    n = std::min(n, stream_.size() - at_);
    batch_.reset(n > 0 ? new std::uint8_t[n] : nullptr);
    std::copy_n(stream_.begin() + static_cast<std::ptrdiff_t>(at_), n, batch_.get());
    at_ += n;
    *data = batch_.get();
    return static_cast<std::uint32_t>(n);
  }

 private:
  const Bytes& stream_;
  std::size_t first_;
  std::size_t at_ = 0;
  std::size_t calls_ = 0;
  std::unique_ptr<std::uint8_t[]> batch_;
};

// Inflates into a block of `capacity` bytes followed by guard bytes, and checks that the
// guard is intact and the count stays inside the block. The same stream inflated into a
// sink with `capacity` as its limit, from memory and read piece by piece, must end the
// same way with the same bytes.
Inflated Inflate(const Bytes& stream, std::size_t capacity) {
  Bytes block(capacity + kGuardBytes, kGuard);
  Inflated out;
  const std::uint32_t n =
      InflateResource(stream.data(), static_cast<std::uint32_t>(stream.size()), block.data(),
                      static_cast<std::uint32_t>(capacity), &out.result);
  EXPECT_LE(n, capacity);
  for (std::size_t i = capacity; i < block.size(); ++i) {
    if (block[i] != kGuard) {
      ADD_FAILURE() << "byte " << i << " past the block's capacity was written";
      break;
    }
  }
  out.bytes.assign(block.begin(), block.begin() + std::min<std::size_t>(n, capacity));
  Collector sink;
  EXPECT_EQ(InflateToSink(stream.data(), static_cast<std::uint32_t>(stream.size()), sink,
                          static_cast<std::uint32_t>(capacity)),
            out.result);
  EXPECT_TRUE(sink.bytes == out.bytes) << "the sink got other bytes than the block";
  Source source(stream);
  Collector read;
  EXPECT_EQ(InflateToSink(source, read, static_cast<std::uint32_t>(capacity)), out.result);
  EXPECT_TRUE(read.bytes == out.bytes) << "a stream read in pieces gave other bytes";
  return out;
}

Bytes ZlibDeflate(const Bytes& data, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::uint32_t NextRandom(std::uint32_t& state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  for (auto& x : b)
    x = static_cast<std::uint8_t>(NextRandom(seed));
  return b;
}

// Text-like data with long and short repeats at every distance up to the window.
Bytes RepetitiveBytes(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {
      "install ",  "folder ",           "\xe4\xba\x92\xe5\x8a\xa8 ",
      "brimvale ", "uninstall.ini\r\n", "progress "};
  Bytes b;
  while (b.size() < n) {
    const std::uint32_t r = NextRandom(seed);
    if (b.size() > 300 && r % 5 == 0) {
      const std::size_t back = 1 + NextRandom(seed) % std::min<std::size_t>(b.size(), 32768);
      const std::size_t len = 3 + NextRandom(seed) % 300;
      for (std::size_t i = 0; i < len; ++i)
        b.push_back(b[b.size() - back]);
    } else {
      const char* w = kWords[r % 6];
      b.insert(b.end(), w, w + std::strlen(w));
    }
  }
  b.resize(n);
  return b;
}

Bytes Runs(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>((i / 1000) % 3);
  return b;
}

// --- zlib's output at every level and strategy -------------------------------------------

struct ZlibCase {
  const char* data;
  int level;
  int strategy;
};

std::string ZlibCaseName(const testing::TestParamInfo<ZlibCase>& info) {
  static const char* const kStrategies[] = {"default", "filtered", "huffman", "rle", "fixed"};
  return std::string(info.param.data) + "_level" + std::to_string(info.param.level) + "_" +
         kStrategies[info.param.strategy];
}

std::vector<ZlibCase> AllZlibCases() {
  std::vector<ZlibCase> cases;
  for (const char* data : {"text", "random", "runs"}) {
    for (int level = 0; level <= 9; ++level) {
      for (int strategy = 0; strategy <= Z_FIXED; ++strategy) {
        cases.push_back({data, level, strategy});
      }
    }
  }
  return cases;
}

class ZlibOutput : public testing::TestWithParam<ZlibCase> {};

TEST_P(ZlibOutput, InflatesByteForByte) {
  const std::string kind = GetParam().data;
  const Bytes data = kind == "text"     ? RepetitiveBytes(150000, 7)
                     : kind == "random" ? RandomBytes(70000, 3)
                                        : Runs(120000);
  const Bytes stream = ZlibDeflate(data, GetParam().level, GetParam().strategy);
  const Inflated out = Inflate(stream, data.size());
  EXPECT_EQ(out.result, kInflateOk);
  EXPECT_TRUE(out.bytes == data);
}

INSTANTIATE_TEST_SUITE_P(EveryLevelAndStrategy,
                         ZlibOutput,
                         testing::ValuesIn(AllZlibCases()),
                         ZlibCaseName);

// --- output sizes around the window -----------------------------------------------------

class WindowSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(WindowSizes, ExactBytesAndCount) {
  const Bytes data = RepetitiveBytes(GetParam(), static_cast<std::uint32_t>(GetParam()));
  for (int level : {0, 1, 9}) {
    const Inflated out = Inflate(ZlibDeflate(data, level, Z_DEFAULT_STRATEGY), data.size());
    EXPECT_EQ(out.result, kInflateOk) << "level " << level;
    EXPECT_TRUE(out.bytes == data) << "level " << level;
  }
}

// 300,001 bytes fill the sink's window (256 KiB) and slide it.
INSTANTIATE_TEST_SUITE_P(
    AroundTheWindow,
    WindowSizes,
    testing::Values(0, 1, 258, 32767, 32768, 32769, 65535, 65536, 65537, 98304, 300001));

// --- capacity -------------------------------------------------------------------------

TEST(Capacity, ExactOneShortAndLarger) {
  const Bytes data = RepetitiveBytes(100000, 11);
  const Bytes stream = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);

  Inflated exact = Inflate(stream, data.size());
  EXPECT_EQ(exact.result, kInflateOk);
  EXPECT_TRUE(exact.bytes == data);

  Inflated larger = Inflate(stream, data.size() + 1000);
  EXPECT_EQ(larger.result, kInflateOk);
  EXPECT_TRUE(larger.bytes == data);

  for (std::size_t capacity :
       {data.size() - 1, std::size_t{65536}, std::size_t{32769}, std::size_t{1}, std::size_t{0}}) {
    Inflated shorter = Inflate(stream, capacity);
    EXPECT_EQ(shorter.result, kInflateOutputFull) << capacity;
    ASSERT_EQ(shorter.bytes.size(), capacity);
    EXPECT_TRUE(std::equal(shorter.bytes.begin(), shorter.bytes.end(), data.begin()));
  }
}

// A sink that refuses a piece stops decoding at once; what it took is the real output.
TEST(Capacity, RefusingSinkStopsTheDecoder) {
  const Bytes data = RepetitiveBytes(200000, 13);
  const Bytes stream = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  for (std::size_t accepted : {0, 1, 3}) {
    Collector sink(accepted);
    EXPECT_EQ(InflateToSink(stream.data(), static_cast<std::uint32_t>(stream.size()), sink),
              kInflateStopped);
    EXPECT_EQ(sink.bytes.size(), accepted * 32768);
    EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), data.begin()));
  }
}

TEST(Capacity, NullBlocksAreEmpty) {
  const Bytes stream = ZlibDeflate(RepetitiveBytes(1000, 1), 6, Z_DEFAULT_STRATEGY);
  int result = -1;
  EXPECT_EQ(InflateResource(stream.data(), static_cast<std::uint32_t>(stream.size()), nullptr, 1000,
                            &result),
            0u);
  EXPECT_EQ(result, kInflateOutputFull);
  EXPECT_EQ(InflateResource(nullptr, 100, nullptr, 0, &result), 0u);
  EXPECT_EQ(result, kInflateBadData);
}

// --- truncated input ------------------------------------------------------------------

// Every proper prefix of a stream ends with bad data, and what it delivers is a prefix of
// the real output: filler past the input is never decoded into the block.
TEST(Truncation, EveryPrefixEndsWithBadDataAndDeliversOnlyRealBytes) {
  const Bytes data = RepetitiveBytes(70000, 5);
  for (int level : {0, 6}) {
    const Bytes stream = ZlibDeflate(data, level, Z_DEFAULT_STRATEGY);
    const std::size_t step = std::max<std::size_t>(1, stream.size() / 500);
    for (std::size_t cut = 0; cut < stream.size();
         cut += (cut < 64 || stream.size() - cut < 64) ? 1 : step) {
      const Bytes prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
      const Inflated out = Inflate(prefix, data.size());
      ASSERT_EQ(out.result, kInflateBadData) << "level " << level << " cut " << cut;
      ASSERT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), data.begin()))
          << "level " << level << " cut " << cut;
    }
    EXPECT_EQ(Inflate(stream, data.size()).result, kInflateOk);
  }
}

// A stream whose last code ends in the last input byte needs look-ahead past it.
TEST(Truncation, StreamEndingInItsLastByteIsComplete) {
  DeflateWriter w;
  w.BlockHeader(true, 1);
  FixedLiteral(w, 'k');
  FixedLiteral(w, 256);  // 3 + 8 + 7 = 18 bits: the look-ahead of 7 bits runs past byte 3
  const Inflated out = Inflate(w.Finish(), 10);
  EXPECT_EQ(out.result, kInflateOk);
  EXPECT_EQ(out.bytes, Bytes{'k'});
}

// --- batches ------------------------------------------------------------------------

// A source's batch may end anywhere: inside a code, its extra bits, a stored block's header
// or its bytes, and within the fast loop's 8-byte reads.
TEST(Batches, EndingAtEveryOffsetChangesNothing) {
  const Bytes data = RepetitiveBytes(3000, 9);
  for (int level : {0, 6}) {
    const Bytes stream = ZlibDeflate(data, level, Z_DEFAULT_STRATEGY);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
      Source source(stream, cut);
      Collector sink;
      ASSERT_EQ(InflateToSink(source, sink), kInflateOk) << "level " << level << " cut " << cut;
      ASSERT_TRUE(sink.bytes == data) << "level " << level << " cut " << cut;
    }
  }
}

// --- hand-built streams, one per rule -------------------------------------------------

struct Vector {
  const char* name;
  std::function<Bytes()> stream;
  int result;
  std::function<Bytes()> output;
  const char* diagnostic = "";
  friend void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }
};

Bytes Repeat(std::uint8_t b, std::size_t n) {
  return Bytes(n, b);
}

// A fixed block: literals, then the given (length symbol, extra, distance code, extra)
// tuples, then end of block.
struct Match {
  unsigned lengthSymbol, lengthExtra, lengthExtraBits, distanceCode, distanceExtra,
      distanceExtraBits;
};
void FixedMatch(DeflateWriter& w, const Match& m) {
  FixedLiteral(w, m.lengthSymbol);
  w.Bits(m.lengthExtra, m.lengthExtraBits);
  w.Code(m.distanceCode, 5);
  w.Bits(m.distanceExtra, m.distanceExtraBits);
}

// Literal/length code where 'a' and end of block have one bit each.
DynamicHeader TwoSymbolHeader() {
  DynamicHeader h;
  h.literalLengths.assign(257, 0);
  h.literalLengths['a'] = 1;
  h.literalLengths[256] = 1;
  h.distanceLengths = {1};
  return h;
}

const Vector kVectors[] = {
    {"EmptyStoredFinalBlock",
     [] {
       DeflateWriter w;
       w.Stored(true, {});
       return w.Finish();
     },
     kInflateOk, [] { return Bytes{}; }},
    {"StoredNlenMismatchKeepsEarlierOutput",
     [] {
       DeflateWriter w;
       w.Stored(false, Repeat('A', 33000));
       w.Stored(true, {1, 2, 3}, 0x0100);
       return w.Finish();
     },
     kInflateBadData, [] { return Repeat('A', 33000); }},
    {"BlockType3",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 3);
       w.Bits(0, 13);
       return w.Finish();
     },
     kInflateBadCode, [] { return Bytes{}; }},
    {"FixedLiterals",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       for (unsigned c : {0x61u, 0xffu, 0x90u, 0u})
         FixedLiteral(w, c);
       FixedLiteral(w, 256);
       return w.Finish();
     },
     kInflateOk,
     [] {
       return Bytes{'a', 0xff, 0x90, 0};
     }},
    {"FixedLengthCode286",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 'a');
       FixedLiteral(w, 'b');
       FixedLiteral(w, 286);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData,
     [] {
       return Bytes{'a', 'b'};
     }},
    {"FixedLengthCode287",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 287);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"FixedDistanceCode30",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 'x');
       FixedMatch(w, {257, 0, 0, 30, 0, 0});
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{'x'}; }},
    {"FixedDistanceCode31",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 'x');
       FixedMatch(w, {257, 0, 0, 31, 0, 0});
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{'x'}; }},
    {"DistanceBeforeFirstByte",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 'x');
       FixedMatch(w, {257, 0, 0, 1, 0, 0});  // distance 2, one byte of output
       FixedLiteral(w, 256);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{'x'}; }},
    {"DistanceOneLength258",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 'z');
       FixedMatch(w, {285, 0, 0, 0, 0, 0});
       FixedLiteral(w, 256);
       return w.Finish();
     },
     kInflateOk, [] { return Repeat('z', 259); }},
    {"Distance32768AfterFullWindow",
     [] {
       DeflateWriter w;
       Bytes first = RandomBytes(32768, 9);
       w.Stored(false, first);
       w.BlockHeader(true, 1);
       FixedMatch(w, {285, 0, 0, 29, 8191, 13});
       FixedLiteral(w, 256);
       return w.Finish();
     },
     kInflateOk,
     [] {
       Bytes b = RandomBytes(32768, 9);
       const Bytes head(b.begin(), b.begin() + 258);
       b.insert(b.end(), head.begin(), head.end());
       return b;
     }},
    {"DistanceOnePastTheOutput",
     [] {
       DeflateWriter w;
       w.Stored(false, Repeat('q', 100));
       w.BlockHeader(true, 1);
       FixedMatch(w, {257, 0, 0, 13, 4, 5});  // distance 97 + 4 = 101
       FixedLiteral(w, 256);
       return w.Finish();
     },
     kInflateBadData, [] { return Repeat('q', 100); }},
    {"MatchStraddlingTheWindowEnd",
     [] {
       DeflateWriter w;
       w.Stored(false, RandomBytes(32700, 4));
       w.BlockHeader(true, 1);
       FixedMatch(w, {285, 0, 0, 19, 0, 8});  // distance 769
       FixedLiteral(w, 256);
       return w.Finish();
     },
     kInflateOk,
     [] {
       Bytes b = RandomBytes(32700, 4);
       for (int i = 0; i < 258; ++i)
         b.push_back(b[b.size() - 769]);
       return b;
     }},
    {"Dynamic287LiteralCodes",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 2);
       w.Bits(30, 5);
       w.Bits(0, 5);
       w.Bits(15, 4);
       w.Bits(0, 64);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"Dynamic288LiteralCodes",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 2);
       w.Bits(31, 5);
       w.Bits(0, 5);
       w.Bits(15, 4);
       w.Bits(0, 64);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"Dynamic31DistanceCodes",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 2);
       w.Bits(0, 5);
       w.Bits(30, 5);
       w.Bits(15, 4);
       w.Bits(0, 64);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"Dynamic32DistanceCodes",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 2);
       w.Bits(0, 5);
       w.Bits(31, 5);
       w.Bits(15, 4);
       w.Bits(0, 64);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"DynamicTwoSymbols",
     [] {
       DeflateWriter w;
       TwoSymbolHeader().Write(w, true);
       w.Code(0, 1);  // 'a'
       w.Code(0, 1);
       w.Code(1, 1);  // end of block
       return w.Finish();
     },
     kInflateOk,
     [] {
       return Bytes{'a', 'a'};
     }},
    {"IncompleteLiteralTree",
     [] {
       DeflateWriter w;
       DynamicHeader h = TwoSymbolHeader();
       h.literalLengths[256] = 2;
       h.Write(w, true);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }, " incomplete literal tree\n"},
    {"IncompleteDistanceTree",
     [] {
       DeflateWriter w;
       DynamicHeader h = TwoSymbolHeader();
       h.distanceLengths = {2, 2};
       h.Write(w, true);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }, " incomplete distance tree\n"},
    {"SingleOneBitDistanceCodeIsAccepted",
     [] {
       DeflateWriter w;
       DynamicHeader h;
       h.literalLengths.assign(258, 0);
       h.literalLengths['a'] = 1;
       h.literalLengths[256] = 2;
       h.literalLengths[257] = 2;      // length 3
       h.distanceLengths = {0, 0, 1};  // distance code 2 alone: distance 3
       h.Write(w, true);
       const auto codes = CanonicalCodes(h.literalLengths);
       for (int i = 0; i < 3; ++i)
         w.Code(codes['a'], 1);
       w.Code(codes[257], 2);
       w.Code(0, 1);
       w.Code(codes[256], 2);
       return w.Finish();
     },
     kInflateOk, [] { return Repeat('a', 6); }},
    {"OversubscribedLiteralCode",
     [] {
       DeflateWriter w;
       DynamicHeader h = TwoSymbolHeader();
       h.literalLengths['b'] = 1;
       h.Write(w, true);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadCode, [] { return Bytes{}; }},
    {"EmptyDistanceCodeWithOnlyLiterals",
     [] {
       DeflateWriter w;
       DynamicHeader h = TwoSymbolHeader();
       h.distanceLengths = {0};
       h.Write(w, true);
       w.Code(0, 1);
       w.Code(1, 1);
       return w.Finish();
     },
     kInflateOk, [] { return Bytes{'a'}; }},
    {"MatchWithEmptyDistanceCode",
     [] {
       DeflateWriter w;
       DynamicHeader h;
       h.literalLengths.assign(258, 0);
       h.literalLengths['a'] = 1;
       h.literalLengths[256] = 2;
       h.literalLengths[257] = 2;
       h.distanceLengths = {0};
       h.Write(w, true);
       w.Code(0, 1);
       w.Code(CanonicalCodes(h.literalLengths)[257], 2);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{'a'}; }},
    {"EmptyCodeLengthCode",
     [] {
       DeflateWriter w;
       DynamicHeader h = TwoSymbolHeader();
       h.codeLengthLengths.assign(19, 0);
       h.Write(w, true);
       w.Bits(0, 32);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"RepeatPreviousAsFirstSymbolRepeatsZero",
     [] {
       // Code-length code: 0, 1 and 16 two bits each, 17 and 18 three bits: complete.
       DeflateWriter w;
       w.BlockHeader(true, 2);
       w.Bits(0, 5);   // 257 literal/length lengths
       w.Bits(0, 5);   // 1 distance length
       w.Bits(15, 4);  // 19 code-length lengths
       std::vector<std::uint8_t> cl(19, 0);
       cl[0] = 2;
       cl[1] = 2;
       cl[16] = 2;
       cl[17] = 3;
       cl[18] = 3;
       static constexpr unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};
       for (unsigned s : kOrder)
         w.Bits(cl[s], 3);
       const auto c = CanonicalCodes(cl);
       w.Code(c[16], 2);  // 3 x previous, which is 0 at the start of a block: 0..2
       w.Bits(0, 2);
       w.Code(c[18], 3);  // 94 zeros: 3..96
       w.Bits(83, 7);
       w.Code(c[1], 2);   // 'a' (97) gets 1
       w.Code(c[18], 3);  // 138 zeros: 98..235
       w.Bits(127, 7);
       w.Code(c[18], 3);  // 20 zeros: 236..255
       w.Bits(9, 7);
       w.Code(c[1], 2);  // 256 gets 1
       w.Code(c[1], 2);  // the one distance code gets 1
       w.Code(0, 1);     // 'a'
       w.Code(1, 1);     // end of block
       return w.Finish();
     },
     kInflateOk, [] { return Bytes{'a'}; }},
    {"RepeatPastTheDeclaredLengths",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 2);
       w.Bits(0, 5);
       w.Bits(0, 5);
       w.Bits(15, 4);
       std::vector<std::uint8_t> cl(19, 0);
       cl[0] = 1;
       cl[18] = 1;
       static constexpr unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};
       for (unsigned s : kOrder)
         w.Bits(cl[s], 3);
       const auto c = CanonicalCodes(cl);
       w.Code(c[18], 1);  // 138 zeros
       w.Bits(127, 7);
       w.Code(c[18], 1);  // 138 more: 276 > 258
       w.Bits(127, 7);
       w.Bits(0, 16);
       return w.Finish();
     },
     kInflateBadData, [] { return Bytes{}; }},
    {"FixedBlockWithoutEndOfBlock",
     [] {
       DeflateWriter w;
       w.BlockHeader(true, 1);
       FixedLiteral(w, 'a');
       FixedLiteral(w, 'b');
       return w.Finish();
     },
     kInflateBadData,
     [] {
       return Bytes{'a', 'b'};
     }},
    {"NonFinalBlockThenNothing",
     [] {
       DeflateWriter w;
       w.Stored(false, {'o', 'k'});
       return w.Finish();
     },
     kInflateBadData,
     [] {
       return Bytes{'o', 'k'};
     }},
    {"EmptyInput", [] { return Bytes{}; }, kInflateBadData, [] { return Bytes{}; }},
};

class HandBuilt : public testing::TestWithParam<Vector> {};

TEST_P(HandBuilt, ResultOutputAndDiagnostic) {
  const Vector& v = GetParam();
  const Bytes expected = v.output();
  testing::internal::CaptureStderr();
  const Inflated out = Inflate(v.stream(), 70000);
  const std::string diagnostic = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.result, v.result);
  EXPECT_TRUE(out.bytes == expected)
      << "got " << out.bytes.size() << " bytes, expected " << expected.size();
  EXPECT_EQ(diagnostic, std::string(v.diagnostic) + v.diagnostic + v.diagnostic);  // 3 decodes
}

INSTANTIATE_TEST_SUITE_P(Rules, HandBuilt, testing::ValuesIn(kVectors), RowName());

}  // namespace
