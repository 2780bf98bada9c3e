#include "core/inflate/ResourceInflater.h"

#include <bit>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/inflate/HuffmanTable.h"

// How the decoder moves bytes
// ---------------------------
//   source block -------------------bits--> output block                    (InflateResource)
//   InflateSource batches ----------bits--> window --32 KiB pieces--> InflateSink
//
// The input is read where it lies: the source block is one batch, an InflateSource hands
// out as many as it likes. The fast loop reads a batch 8 bytes at a time while 8 remain;
// the careful step reads its last bytes one by one and moves on to the next batch. Output
// goes straight into the caller's block when there is one (`direct`): the block itself is
// the history for back-references. For a sink, the window holds the output decoded so far
// at [0, windowPosition): the last 32 KiB that were delivered followed by the output not
// yet delivered, which starts at windowBase. Once the window's kWindowBytes are filled,
// FlushWindow delivers the pending output in pieces of 32 KiB and moves the newest 32 KiB
// to the front as the history: one move per 224 KiB of output.
//
// Both ways stop at the same byte: output ends at HardLimit (the capacity, in the
// coordinates of the block or the window), and the window is flushed when it is full.
// Below FastEnd, at least kFastSlack before either, the fast loop writes a whole symbol's
// bytes, overshooting a match by up to 31 bytes, without a check: nothing valid lies past
// the write position. The careful step writes the rest byte by byte.

namespace {

constexpr std::uint32_t kWindowSize = 32768;  // the history a match may reach
constexpr std::uint32_t kWindowBytes = 8 * kWindowSize;
constexpr std::uint32_t kSinkPiece = 32768;
// One fast-loop step writes at most a match (258 bytes) and its overshoot (15), or a run
// of literals that one refill of the bit buffer holds (fewer than 64).
constexpr std::uint32_t kFastSlack = 320;
constexpr std::uint32_t kWindowSlack = 512;  // >= kFastSlack
// A code-length code (up to 7 bits) and the extra bits of a repeat (up to 7).
constexpr unsigned kCodeLengthItemBits = 14;

struct DecoderState {
  InflateSource* source;  // where the input comes from, or null for a block in memory

  InflateSink* sink;
  bool sinkRefused;
  std::uint32_t sinkPosition;
  std::uint32_t sinkCapacity;

  // The compressed bytes at hand: the source block itself, or the source's current batch.
  const std::uint8_t* input;
  std::uint32_t bufferFill;
  std::uint32_t bufferPosition;

  // Bits fetched but not consumed, next bit lowest. Bits above bitCount are either zero or
  // copies of the bytes that the next fetch will OR in at the same place.
  std::uint64_t bitBuffer;
  unsigned bitCount;
  // Zero bytes fed in after the source ran out: they may fill the look-ahead of the last
  // code, but a stream that consumes one is truncated.
  unsigned overread;

  // Where output goes: the output block itself (`direct`), or the window (kWindowBytes and
  // kWindowSlack, for a sink only).
  std::uint8_t* destination;
  bool direct;
  std::uint32_t windowPosition;
  std::uint32_t windowBase;
  std::uint32_t outputCount;

  HuffmanTable fixedLiterals;
  HuffmanTable fixedDistances;
};

// Length codes 257..285 (and the two invalid codes 286, 287 of the fixed code), then
// distance codes 0..29: RFC 1951, 3.2.5.
constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The symbols' entries before their codes are known (BuildHuffmanTable).
struct LiteralLengthSymbols {
  HuffmanEntry entries[288];
  constexpr LiteralLengthSymbols() : entries() {
    for (unsigned i = 0; i < 256; ++i)
      entries[i] = LiteralSymbol(i);
    entries[256] = kEndOfBlockSymbol;
    for (unsigned i = 0; i < 29; ++i)
      entries[257 + i] = BaseSymbol(kLengthBase[i], kLengthExtra[i]);
    entries[286] = entries[287] = kInvalidSymbol;
  }
};
struct DistanceSymbols {
  HuffmanEntry entries[30];
  constexpr DistanceSymbols() : entries() {
    for (unsigned i = 0; i < 30; ++i)
      entries[i] = BaseSymbol(kDistanceBase[i], kDistanceExtra[i]);
  }
};
struct CodeLengthSymbols {
  HuffmanEntry entries[19];
  constexpr CodeLengthSymbols() : entries() {
    for (unsigned i = 0; i < 19; ++i)
      entries[i] = LiteralSymbol(i);
  }
};
constexpr LiteralLengthSymbols kLiteralLengthSymbols;
constexpr DistanceSymbols kDistanceSymbols;
constexpr CodeLengthSymbols kCodeLengthSymbols;

// Order in which a dynamic block lists the code-length code's lengths: RFC 1951, 3.2.7.
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::uint64_t LowMask(unsigned n) {
  return (std::uint64_t{1} << n) - 1;
}

inline std::uint64_t Load64LE(const std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 8; ++i)
      v |= std::uint64_t{p[i]} << (8 * i);
    return v;
  }
}

// Delivers as much of `data` as the output still takes; returns that count. A sink that
// refused a piece is never called again.
std::uint32_t OutputSink(DecoderState& s, const std::uint8_t* data, std::uint32_t count) {
  std::uint32_t n = s.sinkCapacity - s.sinkPosition;
  if (n > count)
    n = count;
  if (n == 0 || s.sinkRefused)
    return 0;
  if (!s.sink->Take(data, n)) {
    s.sinkRefused = true;
    return 0;
  }
  s.sinkPosition += n;
  return n;
}

// Moves on to the source's next batch, once the current one is used up, and yields its
// first byte. Past the end of the source it yields a zero filler byte and counts it in
// `overread`; the used-up batch stays current, so nothing more is read from it. A source
// block in memory is the only batch.
std::uint8_t NextBatch(DecoderState& s) {
  const std::uint8_t* data = nullptr;
  const std::uint32_t n = s.source != nullptr ? s.source->Next(&data) : 0;
  if (n == 0) {
    ++s.overread;
    return 0;
  }
  s.input = data;
  s.bufferFill = n;
  s.bufferPosition = 1;
  return data[0];
}

// Makes at least n bits (n <= 32) available. Reading fields low bits first is how RFC 1951
// packs them: a field's first bit is the lowest bit of the next unread byte.
void NeedBits(DecoderState& s, unsigned n) {
  while (s.bitCount < n) {
    const std::uint8_t byte =
        s.bufferPosition < s.bufferFill ? s.input[s.bufferPosition++] : NextBatch(s);
    s.bitBuffer |= std::uint64_t{byte} << s.bitCount;
    s.bitCount += 8;
  }
}

void DropBits(DecoderState& s, unsigned n) {
  s.bitBuffer >>= n;
  s.bitCount -= n;
}

unsigned TakeBits(DecoderState& s, unsigned n) {
  NeedBits(s, n);
  const auto v = static_cast<unsigned>(s.bitBuffer & LowMask(n));
  DropBits(s, n);
  return v;
}

// Makes at least 32 bits available: 56 or more at once while 8 input bytes remain (the
// fast loop's refill), byte by byte near the end.
void Refill(DecoderState& s) {
  if (s.bufferPosition + 8 <= s.bufferFill) {
    s.bitBuffer |= Load64LE(s.input + s.bufferPosition) << s.bitCount;
    s.bufferPosition += (63 - s.bitCount) >> 3;
    s.bitCount |= 56;
  } else {
    NeedBits(s, 32);
  }
}

// The fast loop's refill, on its own copy of the bit state: brings the bit buffer to at
// least 56 bits from the 8 bytes at `in`, which must lie in the batch.
inline void RefillFast(std::uint64_t& bits, unsigned& count, const std::uint8_t*& in) {
  bits |= Load64LE(in) << count;
  in += (63 - count) >> 3;
  count |= 56;
}

// True once the decoder has consumed a filler byte: the stream ended early.
bool ConsumedFiller(const DecoderState& s) {
  return s.bitCount < 8 * s.overread;
}

// Delivers the output not yet delivered in pieces of at most kSinkPiece, then moves the
// newest 32 KiB to the front of the window as the history. False when the sink did not
// take it all.
bool FlushWindow(DecoderState& s) {
  while (s.windowBase < s.windowPosition) {
    std::uint32_t piece = s.windowPosition - s.windowBase;
    if (piece > kSinkPiece)
      piece = kSinkPiece;
    const std::uint32_t written = OutputSink(s, s.destination + s.windowBase, piece);
    s.outputCount += written;
    if (written < piece)
      return false;
    s.windowBase += piece;
  }
  if (s.windowPosition > kWindowSize) {
    std::memmove(s.destination, s.destination + s.windowPosition - kWindowSize, kWindowSize);
    s.windowPosition = kWindowSize;
    s.windowBase = kWindowSize;
  }
  return true;
}

// The position where the output reaches its capacity (in the block, or in the window).
std::uint32_t HardLimit(const DecoderState& s) {
  return s.windowBase + (s.sinkCapacity - s.sinkPosition);
}

// Makes room for at least one more byte at windowPosition, and for a whole match in the
// window's slack, flushing the window when it is full. False when the output is full (or
// the sink refused a piece).
bool MakeRoom(DecoderState& s) {
  if (s.windowPosition >= HardLimit(s))
    return false;
  if (!s.direct && s.windowPosition >= kWindowBytes)
    return FlushWindow(s);
  return true;
}

inline void Copy8(std::uint8_t* to, const std::uint8_t* from) {
  std::memcpy(to, from, 8);
}

inline void Copy16(std::uint8_t* to, const std::uint8_t* from) {
  std::memcpy(to, from, 16);
}

// Copies `length` (3..258) bytes from `distance` back with the effect of a byte-by-byte
// copy in increasing order, so a distance shorter than the length repeats the last bytes.
// Writes up to 31 bytes past the end. A word that is copied whole never reaches bytes the
// same word writes: its distance is at least the word's width.
inline void CopyMatch(std::uint8_t* to, unsigned distance, unsigned length) {
  const std::uint8_t* from = to - distance;
  std::uint8_t* const end = to + length;
  if (distance >= 16) {
    Copy16(to, from);
    Copy16(to + 16, from + 16);
    to += 32;
    from += 32;
    while (to < end) {
      Copy16(to, from);
      to += 16;
      from += 16;
    }
  } else if (distance >= 8) {
    Copy8(to, from);
    Copy8(to + 8, from + 8);
    to += 16;
    from += 16;
    while (to < end) {
      Copy8(to, from);
      to += 8;
      from += 8;
    }
  } else if (distance == 1) {
    const std::uint64_t v = std::uint64_t{*from} * 0x0101010101010101u;
    do {
      std::memcpy(to, &v, 8);
      to += 8;
    } while (to < end);
  } else {
    do {
      *to++ = *from++;
    } while (to < end);
  }
}

enum SymbolKind : unsigned { kSymbolMatch, kSymbolLiteral, kSymbolEnd };

// One decoded literal/length symbol and, for a match, its distance.
struct Symbol {
  SymbolKind kind;
  unsigned value;  // the literal, or the match length
  unsigned distance;
};

// Looks up one code in `table`, following a sub-table link, and leaves its bits in the
// bit buffer; false for an invalid code. A lookup needs the table's whole width although
// the code may be shorter: near the end of the stream this look-ahead reads filler, which
// is harmless unless consumed.
bool LookUpSlow(DecoderState& s, const HuffmanTable& table, HuffmanEntry* entry) {
  NeedBits(s, table.width);
  HuffmanEntry e = table.entries[s.bitBuffer & LowMask(table.width)];
  if (e & kEntryLink) {
    DropBits(s, EntryDrop(e));
    const unsigned n = EntryCodeBits(e);
    NeedBits(s, n);
    e = table.entries[EntryValue(e) + (s.bitBuffer & LowMask(n))];
  }
  *entry = e;
  return (e & kEntryEscape) == 0 || IsEndOfBlock(e);
}

// Drops an entry's code bits and extra bits; returns its value plus the extra bits.
unsigned TakeEntry(DecoderState& s, HuffmanEntry e) {
  const unsigned drop = EntryDrop(e);
  NeedBits(s, drop);
  const auto extra = static_cast<unsigned>((s.bitBuffer & LowMask(drop)) >> EntryCodeBits(e));
  DropBits(s, drop);
  return EntryValue(e) + extra;
}

// Decodes one symbol the careful way: used near the end of the input and of the output,
// where the fast loop's 8-byte refill or its unchecked writes do not fit.
int DecodeSymbolSlow(DecoderState& s,
                     const HuffmanTable& literals,
                     const HuffmanTable& distances,
                     Symbol* symbol) {
  HuffmanEntry e;
  if (!LookUpSlow(s, literals, &e))
    return kInflateBadData;
  if (e & kEntryLiteral) {
    *symbol = Symbol{kSymbolLiteral, TakeEntry(s, e), 0};
  } else if (e & kEntryEscape) {
    TakeEntry(s, e);
    *symbol = Symbol{kSymbolEnd, 0, 0};
  } else {
    const unsigned length = TakeEntry(s, e);
    // A distance code is never a literal or an end of block.
    if (!LookUpSlow(s, distances, &e) || (e & (kEntryEscape | kEntryLiteral)) != 0)
      return kInflateBadData;
    *symbol = Symbol{kSymbolMatch, length, TakeEntry(s, e)};
  }
  return ConsumedFiller(s) ? kInflateBadData : kInflateOk;
}

// Decodes and writes one symbol the careful way (DecodeSymbolSlow), checking every byte
// against the output's room. Sets `*end` at the end of the block.
int CarefulStep(DecoderState& s,
                const HuffmanTable& literals,
                const HuffmanTable& distances,
                bool* end) {
  Symbol symbol;
  const int result = DecodeSymbolSlow(s, literals, distances, &symbol);
  if (result != kInflateOk)
    return result;
  if (symbol.kind == kSymbolEnd) {
    *end = true;
    return kInflateOk;
  }
  if (!MakeRoom(s))
    return kInflateOutputFull;
  std::uint8_t* const to = s.destination + s.windowPosition;
  if (symbol.kind == kSymbolLiteral) {
    *to = static_cast<std::uint8_t>(symbol.value);
    ++s.windowPosition;
    return kInflateOk;
  }
  // A reference before the first byte of this call's output has nothing to copy.
  if (symbol.distance > s.windowPosition)
    return kInflateBadData;
  // The window's slack takes a whole match; the output takes what is left of it.
  std::uint32_t n = symbol.value;
  if (n > HardLimit(s) - s.windowPosition)
    n = HardLimit(s) - s.windowPosition;
  const std::uint8_t* const from = to - symbol.distance;
  for (std::uint32_t i = 0; i < n; ++i)
    to[i] = from[i];
  s.windowPosition += n;
  return n == symbol.value ? kInflateOk : kInflateOutputFull;
}

// Where the fast loop must hand over to the careful step.
std::uint32_t FastEnd(const DecoderState& s) {
  const std::uint32_t hard = HardLimit(s);
  std::uint32_t end = hard > kFastSlack ? hard - kFastSlack : 0;
  if (!s.direct && end > kWindowBytes)
    end = kWindowBytes;
  return end;
}

// Decodes the codes of one block into the output until its end-of-block code.
//
// The fast loop runs while 8 bytes remain in the input batch and the output has room for
// one step unchecked. Each step starts with one branch-free refill that brings the bit
// buffer to at least 56 bits: enough for a literal/length code (15 bits), its extra bits
// (5), a distance code (15) and its extra bits (13), or for five first-level literals
// followed by the lookup of the next code. A first-level code has at most 9 bits: a
// complete code of at most 288 symbols has one of 9 bits or fewer, and the table is no
// wider. That lookup is kept for the next step, since the refill only adds bits above the
// ones it used. A length or distance entry drops its code and extra bits in one shift and
// takes the extra bits from the bits it dropped. The bit state and the positions live in
// locals there, because every byte stored into the output could otherwise alias them.
// Elsewhere CarefulStep decodes one symbol at a time.
int InflateCodes(DecoderState& s, const HuffmanTable& literals, const HuffmanTable& distances) {
  assert(literals.width <= 9);
  const HuffmanEntry* const lt = literals.entries;
  const HuffmanEntry* const dt = distances.entries;
  const std::uint64_t lmask = LowMask(literals.width);
  const std::uint64_t dmask = LowMask(distances.width);
  std::uint8_t* const start = s.destination;

  for (;;) {
    std::uint64_t bits = s.bitBuffer;
    unsigned count = s.bitCount;
    const std::uint8_t* in = s.input + s.bufferPosition;
    // The fast loop reads 8 bytes at `in` while `in` is below inEnd.
    const std::uint8_t* const inEnd = s.input + (s.bufferFill >= 8 ? s.bufferFill - 7 : 0);
    std::uint8_t* to = start + s.windowPosition;
    const std::uint8_t* const fastEnd = start + FastEnd(s);
    int result = kInflateOk;
    bool stop = false;
    if (to < fastEnd && in < inEnd) {
      RefillFast(bits, count, in);
      HuffmanEntry e = lt[bits & lmask];
      for (;;) {
        if (e & kEntryLiteral) {
#pragma GCC unroll 5
          for (int n = 0; n < 5; ++n) {
            bits >>= EntryDrop(e);
            count -= EntryDrop(e);
            *to++ = static_cast<std::uint8_t>(EntryValue(e));
            e = lt[bits & lmask];
            if (!(e & kEntryLiteral))
              break;
          }
          // `e` is the next code's entry.
          if (to >= fastEnd || in >= inEnd)
            break;
          RefillFast(bits, count, in);
          continue;
        }
        if (e & kEntryEscape) {
          if (!(e & kEntryLink)) {
            // End of block, or an invalid code.
            result = IsEndOfBlock(e) ? kInflateOk : kInflateBadData;
            bits >>= EntryDrop(e);
            count -= EntryDrop(e);
            stop = true;
            break;
          }
          bits >>= EntryDrop(e);
          count -= EntryDrop(e);
          e = lt[EntryValue(e) + (bits & LowMask(EntryCodeBits(e)))];
          if (e & kEntryLiteral) {
            bits >>= EntryDrop(e);
            count -= EntryDrop(e);
            *to++ = static_cast<std::uint8_t>(EntryValue(e));
          } else if (e & kEntryEscape) {
            result = IsEndOfBlock(e) ? kInflateOk : kInflateBadData;
            bits >>= EntryDrop(e);
            count -= EntryDrop(e);
            stop = true;
            break;
          }
        }
        if (!(e & kEntryLiteral)) {
          std::uint64_t saved = bits;
          bits >>= EntryDrop(e);
          count -= EntryDrop(e);
          const unsigned length =
              EntryValue(e) +
              static_cast<unsigned>((saved & LowMask(EntryDrop(e))) >> EntryCodeBits(e));
          e = dt[bits & dmask];
          if (e & kEntryEscape) {
            if (!(e & kEntryLink)) {
              result = kInflateBadData;
              stop = true;
              break;
            }
            bits >>= EntryDrop(e);
            count -= EntryDrop(e);
            e = dt[EntryValue(e) + (bits & LowMask(EntryCodeBits(e)))];
            if (e & kEntryEscape) {
              result = kInflateBadData;
              stop = true;
              break;
            }
          }
          saved = bits;
          bits >>= EntryDrop(e);
          count -= EntryDrop(e);
          const unsigned distance =
              EntryValue(e) +
              static_cast<unsigned>((saved & LowMask(EntryDrop(e))) >> EntryCodeBits(e));
          // A reference before the first byte of this call's output has nothing to copy.
          if (distance > static_cast<std::uint32_t>(to - start)) {
            result = kInflateBadData;
            stop = true;
            break;
          }
          CopyMatch(to, distance, length);
          to += length;
        }
        if (to >= fastEnd || in >= inEnd)
          break;
        RefillFast(bits, count, in);
        e = lt[bits & lmask];
      }
    }
    s.bitBuffer = bits;
    s.bitCount = count;
    s.bufferPosition = static_cast<std::uint32_t>(in - s.input);
    s.windowPosition = static_cast<std::uint32_t>(to - start);
    if (stop)
      return result;
    bool end = false;
    result = CarefulStep(s, literals, distances, &end);
    if (result != kInflateOk || end)
      return result;
  }
}

// Stored block (type 0): skip to the byte boundary, then LEN and NLEN, 16 bits each, NLEN
// the ones' complement of LEN, then LEN bytes copied as they are. After the alignment the
// bit buffer holds whole bytes, which are taken first; the rest comes straight from the
// input.
int InflateStored(DecoderState& s) {
  DropBits(s, s.bitCount % 8);
  const unsigned length = TakeBits(s, 16);
  const unsigned complement = TakeBits(s, 16);
  if (ConsumedFiller(s))
    return kInflateBadData;
  if (length != (~complement & 0xffffu))
    return kInflateBadData;
  unsigned left = length;
  while (left > 0) {
    if (!MakeRoom(s))
      return kInflateOutputFull;
    std::uint32_t room = HardLimit(s) - s.windowPosition;
    if (!s.direct && room > kWindowBytes - s.windowPosition)
      room = kWindowBytes - s.windowPosition;
    if (s.bitCount > 0) {
      if (ConsumedFiller(s) || s.bitCount == 8 * s.overread)
        return kInflateBadData;
      s.destination[s.windowPosition++] = static_cast<std::uint8_t>(s.bitBuffer);
      DropBits(s, 8);
      --left;
      continue;
    }
    s.bitBuffer = 0;  // drop the copies of bytes that are now read directly
    if (s.bufferPosition == s.bufferFill) {
      NextBatch(s);
      if (s.overread > 0)
        return kInflateBadData;
      s.bufferPosition = 0;
    }
    std::uint32_t n = s.bufferFill - s.bufferPosition;
    if (n > left)
      n = left;
    if (n > room)
      n = room;
    std::memcpy(s.destination + s.windowPosition, s.input + s.bufferPosition, n);
    s.windowPosition += n;
    s.bufferPosition += n;
    left -= n;
  }
  return kInflateOk;
}

// Fixed block (type 1): literal/length lengths 8 (0-143), 9 (144-255), 7 (256-279) and
// 8 (280-287); 30 distance codes of 5 bits, incomplete by design, so distance codes 30 and
// 31 decode as invalid. Built once per call and kept for every later fixed block.
int InflateFixed(DecoderState& s) {
  if (s.fixedLiterals.entries == nullptr) {
    std::uint8_t lengths[288];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    int r = BuildHuffmanTable(lengths, 288, kLiteralLengthSymbols.entries, 7, &s.fixedLiterals);
    if (r != kBuildComplete)
      return r;
    std::memset(lengths, 5, 30);
    r = BuildHuffmanTable(lengths, 30, kDistanceSymbols.entries, 5, &s.fixedDistances);
    if (r > kBuildIncomplete)
      return r;
  }
  return InflateCodes(s, s.fixedLiterals, s.fixedDistances);
}

// Reads `total` code lengths coded with the code-length code whose own lengths are
// `codeLengths` into `lengths`.
int ReadCodeLengths(DecoderState& s,
                    const std::uint8_t (&codeLengths)[19],
                    std::uint8_t* lengths,
                    unsigned total) {
  HuffmanTable codeTable;
  const int r = BuildHuffmanTable(codeLengths, 19, kCodeLengthSymbols.entries, 7, &codeTable);
  if (r != kBuildComplete)
    return r;
  // The code-length code is complete and at most 7 bits long, so its table has no links;
  // the entry of a lone one-bit code's missing pattern is invalid.
  const std::uint64_t mask = LowMask(codeTable.width);
  unsigned previous = 0;
  for (unsigned i = 0; i < total;) {
    if (s.bitCount < kCodeLengthItemBits)
      Refill(s);
    const HuffmanEntry e = codeTable.entries[s.bitBuffer & mask];
    if (e & kEntryEscape)
      return kInflateBadData;
    DropBits(s, EntryDrop(e));
    const unsigned symbol = EntryValue(e);
    if (symbol < 16) {
      if (ConsumedFiller(s))
        return kInflateBadData;
      lengths[i++] = static_cast<std::uint8_t>(symbol);
      previous = symbol;
      continue;
    }
    unsigned repeat;
    unsigned length = 0;
    if (symbol == 16) {
      repeat = 3 + TakeBits(s, 2);
      length = previous;
    } else if (symbol == 17) {
      repeat = 3 + TakeBits(s, 3);
    } else {
      repeat = 11 + TakeBits(s, 7);
    }
    if (ConsumedFiller(s) || repeat > total - i)
      return kInflateBadData;
    std::memset(lengths + i, static_cast<int>(length), repeat);
    i += repeat;
    previous = length;
  }
  return kInflateOk;
}

// Dynamic block (type 2), RFC 1951, 3.2.7: HLIT + 257 literal/length lengths, HDIST + 1
// distance lengths and HCLEN + 4 code-length code lengths (3 bits each, in kCodeLengthOrder).
// The lengths themselves are coded with the code-length code, where 16 repeats the previous
// length 3-6 times (2 extra bits), 17 gives 3-10 zeros (3 bits) and 18 gives 11-138 zeros
// (7 bits). Repeats may run from the literal/length lengths into the distance lengths but
// not past the last; the previous length starts at 0 in every block.
int InflateDynamic(DecoderState& s) {
  const unsigned literalCount = TakeBits(s, 5) + 257;
  const unsigned distanceCount = TakeBits(s, 5) + 1;
  const unsigned codeLengthCount = TakeBits(s, 4) + 4;
  if (ConsumedFiller(s))
    return kInflateBadData;
  if (literalCount > 286 || distanceCount > 30)
    return kInflateBadData;

  std::uint8_t codeLengths[19] = {};
  for (unsigned i = 0; i < codeLengthCount; ++i) {
    codeLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(TakeBits(s, 3));
  }
  if (ConsumedFiller(s))
    return kInflateBadData;
  std::uint8_t lengths[286 + 30];
  const unsigned total = literalCount + distanceCount;
  int r = ReadCodeLengths(s, codeLengths, lengths, total);
  if (r != kInflateOk)
    return r;

  HuffmanTable literals;
  r = BuildHuffmanTable(lengths, literalCount, kLiteralLengthSymbols.entries, 9, &literals);
  if (r != kBuildComplete) {
    if (r == kBuildIncomplete)
      std::fputs(" incomplete literal tree\n", stderr);
    return r;
  }
  HuffmanTable distances;
  r = BuildHuffmanTable(lengths + literalCount, distanceCount, kDistanceSymbols.entries, 6,
                        &distances);
  if (r != kBuildComplete) {
    if (r == kBuildIncomplete)
      std::fputs(" incomplete distance tree\n", stderr);
    return r;
  }
  return InflateCodes(s, literals, distances);
}

// Block header: BFINAL (1 bit), then BTYPE (2 bits): 0 stored, 1 fixed, 2 dynamic, 3 invalid.
int InflateBlock(DecoderState& s, bool* final) {
  *final = TakeBits(s, 1) != 0;
  const unsigned type = TakeBits(s, 2);
  if (ConsumedFiller(s))
    return kInflateBadData;
  switch (type) {
    case 0:
      return InflateStored(s);
    case 1:
      return InflateFixed(s);
    case 2:
      return InflateDynamic(s);
    default:
      return kInflateBadCode;
  }
}

// The bits of an in-memory source consumed so far, filler included.
std::uint64_t ConsumedBits(const DecoderState& s) {
  return 8 * (std::uint64_t{s.bufferPosition} + s.overread) - s.bitCount;
}

// Decodes blocks until the final one, then delivers what is still in the window. After a
// fault the output decoded before it is delivered too: all of it came from the stream.
// `bounds`, when given (an in-memory source only), receives where the final block lies.
int DecodeStream(DecoderState& s, InflateBounds* bounds) {
  int result;
  bool final = false;
  std::uint64_t header = 0;
  do {
    if (bounds != nullptr)
      header = ConsumedBits(s);
    result = InflateBlock(s, &final);
  } while (result == kInflateOk && !final);
  if (bounds != nullptr && result == kInflateOk)
    *bounds = InflateBounds{header, ConsumedBits(s)};
  if (s.direct) {
    s.outputCount = s.windowPosition;
  } else if (!FlushWindow(s) && result == kInflateOk) {
    result = kInflateOutputFull;
  }
  return result;
}

}  // namespace

namespace {

// Decodes one whole stream into `output` (when `sink` is null) or into `sink`.
int Decode(InflateSource* reader,
           const std::uint8_t* source,
           std::uint32_t sourceLength,
           std::uint8_t* output,
           InflateSink* sink,
           std::uint32_t capacity,
           std::uint32_t* written,
           InflateBounds* bounds = nullptr) {
  *written = 0;
  const std::unique_ptr<DecoderState> state(new (std::nothrow) DecoderState);
  if (!state)
    return kInflateNoMemory;
  DecoderState& s = *state;
  s.source = reader;
  s.sink = sink;
  s.sinkRefused = false;
  s.sinkPosition = 0;
  s.sinkCapacity = output == nullptr && sink == nullptr ? 0
                   : capacity < kInflateSinkLimit       ? capacity
                                                        : kInflateSinkLimit;
  s.bitBuffer = 0;
  s.bitCount = 0;
  s.overread = 0;
  // Without a sink the block (when there is one) is written directly.
  s.direct = sink == nullptr;
  std::unique_ptr<std::uint8_t[]> window;
  if (!s.direct) {
    window.reset(new (std::nothrow) std::uint8_t[kWindowBytes + kWindowSlack]);
    if (!window)
      return kInflateNoMemory;
  }
  s.destination = s.direct ? output : window.get();
  s.windowPosition = 0;
  s.windowBase = 0;
  s.outputCount = 0;
  // A source's first batch is asked for when the first bits are needed.
  s.input = reader != nullptr ? nullptr : source;
  s.bufferFill = reader == nullptr && source != nullptr ? sourceLength : 0;
  s.bufferPosition = 0;
  const int r = DecodeStream(s, bounds);
  *written = s.outputCount;
  return s.sinkRefused ? kInflateStopped : r;
}

}  // namespace

std::uint32_t InflateResource(const std::uint8_t* source,
                              std::uint32_t sourceLength,
                              std::uint8_t* output,
                              std::uint32_t outputCapacity,
                              int* result,
                              InflateBounds* bounds) {
  std::uint32_t written = 0;
  const int r =
      Decode(nullptr, source, sourceLength, output, nullptr, outputCapacity, &written, bounds);
  if (result != nullptr)
    *result = r;
  return written;
}

int InflateToSink(const std::uint8_t* source,
                  std::uint32_t sourceLength,
                  InflateSink& sink,
                  std::uint32_t limit) {
  std::uint32_t written = 0;
  return Decode(nullptr, source, sourceLength, nullptr, &sink, limit, &written);
}

int InflateToSink(InflateSource& source, InflateSink& sink, std::uint32_t limit) {
  std::uint32_t written = 0;
  return Decode(&source, nullptr, 0, nullptr, &sink, limit, &written);
}
