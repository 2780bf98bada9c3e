// Canonical Huffman decoding tables for the raw-deflate decoder.
//
// A table set is a first-level table of 2^width entries indexed by the next `width` bits of
// the bit buffer (the first bit of a code sits in the lowest place, so every code indexes
// the table with its bits reversed), followed in the same allocation by the sub-tables that
// codes longer than `width` need. A sub-table holds no further links: one link is the most
// any lookup follows.
#pragma once

#include <cstdint>

// A decoding entry is one 32-bit word, laid out so that the decoder's common steps are a
// shift by its low byte and a test of one bit:
//   bits 0-7    bits to drop: the code's bits at this level, plus the extra bits of a
//               length or distance code
//   bits 8-12   the code's bits at this level; for a link, the sub-table's index width
//   bit 13      a link: the sub-table starting at entry `value` is indexed by the next
//               (bits 8-12) bits, after dropping this level's bits
//   bit 14      escape: a link, an end of block, or an invalid code (no code bits)
//   bit 15      a literal (or a plain symbol of the code-length code)
//   bits 16-31  value: the literal or symbol, the base of a length or distance, or the
//               sub-table's first entry
// A length or distance code has neither flag; its extra bits follow its code bits.
using HuffmanEntry = std::uint32_t;

inline constexpr HuffmanEntry kEntryLink = 1u << 13;
inline constexpr HuffmanEntry kEntryEscape = 1u << 14;
inline constexpr HuffmanEntry kEntryLiteral = 1u << 15;
inline constexpr HuffmanEntry kEntryInvalid = kEntryEscape;
constexpr HuffmanEntry MakeEntry(HuffmanEntry flags,
                                 unsigned codeBits,
                                 unsigned drop,
                                 unsigned value) {
  return flags | codeBits << 8 | drop | value << 16;
}
constexpr unsigned EntryDrop(HuffmanEntry e) {
  return e & 0xff;
}
constexpr unsigned EntryCodeBits(HuffmanEntry e) {
  return (e >> 8) & 0x1f;
}
constexpr unsigned EntryValue(HuffmanEntry e) {
  return e >> 16;
}
// A symbol's entry before its code is known: a literal (or plain symbol), the end of
// block, or a base with its extra bits.
constexpr HuffmanEntry LiteralSymbol(unsigned value) {
  return kEntryLiteral | value << 16;
}
inline constexpr HuffmanEntry kEndOfBlockSymbol = kEntryEscape;
inline constexpr HuffmanEntry kInvalidSymbol = ~HuffmanEntry{0};  // decodes as kEntryInvalid
constexpr HuffmanEntry BaseSymbol(unsigned base, unsigned extraBits) {
  return extraBits | base << 16;
}

// An end of block: an escape, not a link, with code bits.
constexpr bool IsEndOfBlock(HuffmanEntry e) {
  return (e & (kEntryEscape | kEntryLink)) == kEntryEscape && EntryCodeBits(e) != 0;
}

// One table set, which releases what it owns. An empty code (all lengths zero) has width 0
// and points at a shared one-entry table whose entry is invalid, so a lookup in it ends
// decoding cleanly.
struct HuffmanTable {
  HuffmanTable() = default;
  HuffmanTable(const HuffmanTable&) = delete;
  HuffmanTable& operator=(const HuffmanTable&) = delete;
  ~HuffmanTable();

  const HuffmanEntry* entries = nullptr;
  unsigned width = 0;
  bool owned = false;
};

// Results of BuildHuffmanTable; the same values are result codes of the decoder core.
inline constexpr int kBuildComplete = 0;
inline constexpr int kBuildIncomplete = 1;      // codes missing (not a lone 1-bit code)
inline constexpr int kBuildOversubscribed = 2;  // more codes of some length than patterns
inline constexpr int kBuildNoMemory = 3;

inline constexpr unsigned kMaxCodeLength = 16;
inline constexpr unsigned kMaxCodeLengths = 288;

// Builds the decoding table set for `count` code lengths (each 0..16, count <= 288).
// `symbols[i]` is symbol i's entry without its code: flags and value, and in the drop field
// the extra bits of a length or distance (see SymbolEntry); the builder adds the code's
// length. A symbol of kInvalidSymbol decodes as an invalid code. The table width is
// `requestedWidth`, raised to the shortest code length and lowered to the longest. Missing codes of
// an incomplete code decode as invalid entries.
//
// Returns kBuildComplete or kBuildIncomplete with `*table` usable, kBuildOversubscribed
// with no table, or kBuildNoMemory with no table. An incomplete code whose missing codes
// would need sub-tables gets no table (every caller refuses such a code). What `*table` held
// before is released.
int BuildHuffmanTable(const std::uint8_t* lengths,
                      unsigned count,
                      const HuffmanEntry* symbols,
                      unsigned requestedWidth,
                      HuffmanTable* table);
