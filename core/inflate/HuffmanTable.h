// Canonical Huffman decoding tables for the raw-deflate decoder.
//
// A table set is a first-level table of 2^width entries indexed by the next `width` bits of
// the bit buffer (the first bit of a code sits in the lowest place, so every code indexes
// the table with its bits reversed), followed in the same allocation by the sub-tables that
// codes longer than `width` need. A sub-table holds no further links: one link is the most
// any lookup follows.
#pragma once

#include <cstdint>

// Operations of a HuffmanEntry.
//   0..13  a length or distance code: `value` is the base, followed by `operation` extra bits
//   15     end of block
//   16     a literal (or a plain symbol of the code-length code): `value` is the symbol
//   17..   a link: the sub-table at entry index `value` is indexed by (operation - 16) bits
//   99     an invalid code
inline constexpr std::uint8_t kOpEndOfBlock = 15;
inline constexpr std::uint8_t kOpLiteral = 16;
inline constexpr std::uint8_t kOpInvalid = 99;

struct HuffmanEntry {
  std::uint8_t operation;
  std::uint8_t bits;    // bits this entry consumes at its own level
  std::uint16_t value;  // symbol, base, or sub-table index within the set
};
static_assert(sizeof(HuffmanEntry) == 4);

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
// Symbols below `simpleCount` decode as literals (below 256) or end of block (256 and up);
// symbol s >= simpleCount decodes as base[s - simpleCount] with extra[s - simpleCount]
// extra bits. The table width is `requestedWidth`, raised to the shortest code length and
// lowered to the longest. Missing codes of an incomplete code decode as invalid entries.
//
// Returns kBuildComplete or kBuildIncomplete with `*table` usable, kBuildOversubscribed
// with no table, or kBuildNoMemory with no table. An incomplete code whose missing codes
// would need sub-tables gets no table (every caller refuses such a code). What `*table` held
// before is released.
int BuildHuffmanTable(const std::uint8_t* lengths,
                      unsigned count,
                      unsigned simpleCount,
                      const std::uint16_t* base,
                      const std::uint8_t* extra,
                      unsigned requestedWidth,
                      HuffmanTable* table);
