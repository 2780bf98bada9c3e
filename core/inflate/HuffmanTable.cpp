#include "core/inflate/HuffmanTable.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <new>

namespace {

constexpr HuffmanEntry kEmptyCode[1] = {kEntryInvalid};

// The entry of a symbol whose code has `bits` bits at its level: its code bits, and the
// drop grown by them.
HuffmanEntry SymbolEntry(HuffmanEntry symbol, unsigned bits) {
  return symbol == kInvalidSymbol ? kEntryInvalid : symbol + (bits << 8) + bits;
}

// The code after `reversed` among the codes of `length` bits, both bit-reversed: one is
// added at bit (length - 1) with the carry running downwards. The last code of a length
// (all ones) has no successor and gives 0.
unsigned NextReversed(unsigned reversed, unsigned length) {
  const unsigned bit = std::bit_floor(reversed ^ ((1u << length) - 1));
  return bit == 0 ? 0 : (reversed & (bit - 1)) | bit;
}

// Width of the sub-table opened for a code of `length` bits: widened one bit at a time
// while the codes of the next longer lengths (`remaining`, the current code included)
// would still leave patterns of the narrower table free.
unsigned SubTableWidth(unsigned length,
                       unsigned root,
                       unsigned maxLength,
                       const unsigned* remaining) {
  unsigned width = length - root;
  int left = 1 << width;
  while (width + root < maxLength) {
    left -= static_cast<int>(remaining[width + root]);
    if (left <= 0)
      break;
    ++width;
    left <<= 1;
  }
  return width;
}

// Entries that the sub-tables of the codes longer than `root` need, walking those codes
// in canonical order (RFC 1951, 3.2.2): a code's first `root` bits pick its sub-table.
unsigned SubTableEntries(const unsigned* countOf, unsigned root, unsigned maxLength) {
  unsigned remaining[kMaxCodeLength + 1];
  unsigned code = 0;
  for (unsigned len = 1; len <= root; ++len)
    code = (code + countOf[len]) << 1;
  for (unsigned len = root + 1; len <= maxLength; ++len)
    remaining[len] = countOf[len];
  unsigned entries = 0;
  unsigned open = ~0u;
  for (unsigned len = root + 1; len <= maxLength; ++len) {
    for (unsigned n = countOf[len]; n > 0; --n, ++code) {
      const unsigned prefix = code >> (len - root);
      if (prefix != open) {
        open = prefix;
        entries += 1u << SubTableWidth(len, root, maxLength, remaining);
      }
      --remaining[len];
    }
    code <<= 1;
  }
  return entries;
}

}  // namespace

// Canonical codes (RFC 1951, 3.2.2): codes of one length are consecutive integers in
// symbol order, and the first code of each length follows the last code of the shorter
// length shifted left by one. The tables are indexed with reversed codes, so the walk
// keeps the current code reversed (NextReversed); a reversed code keeps its value when the
// walk moves on to the next length.
//
// The first level is filled length by length at the size of the current length: each code
// takes one entry, and before the next length the table so far is copied onto the
// following half, which repeats every shorter code's entry wherever its bits match.
int BuildHuffmanTable(const std::uint8_t* lengths,
                      unsigned count,
                      const HuffmanEntry* symbols,
                      unsigned requestedWidth,
                      HuffmanTable* table) {
  if (table->owned)
    delete[] table->entries;
  table->entries = nullptr;
  table->width = 0;
  table->owned = false;
  unsigned countOf[kMaxCodeLength + 1] = {};
  for (unsigned i = 0; i < count; ++i)
    ++countOf[lengths[i]];
  if (countOf[0] == count) {
    table->entries = kEmptyCode;
    return kBuildComplete;
  }
  unsigned minLength = 1;
  while (countOf[minLength] == 0)
    ++minLength;
  unsigned maxLength = kMaxCodeLength;
  while (countOf[maxLength] == 0)
    --maxLength;
  unsigned root = requestedWidth;
  if (root < minLength)
    root = minLength;
  if (root > maxLength)
    root = maxLength;

  // Kraft check: how many bit patterns of the longest length remain unused.
  long long left = 1;
  for (unsigned len = 1; len <= maxLength; ++len) {
    left = left * 2 - countOf[len];
    if (left < 0)
      return kBuildOversubscribed;
  }
  const bool incomplete = left > 0 && maxLength != 1;
  // From here on, missing codes all lie in the first level: root == maxLength.
  if (left > 0 && maxLength > root)
    return kBuildIncomplete;

  // Symbols ordered by code length, then by value.
  unsigned offset[kMaxCodeLength + 2] = {};
  for (unsigned len = 1; len <= kMaxCodeLength; ++len)
    offset[len + 1] = offset[len] + countOf[len];
  std::uint16_t sorted[kMaxCodeLengths];
  for (unsigned i = 0; i < count; ++i) {
    if (lengths[i] != 0)
      sorted[offset[lengths[i]]++] = static_cast<std::uint16_t>(i);
  }

  const unsigned rootSize = 1u << root;
  const unsigned size =
      rootSize + (maxLength > root ? SubTableEntries(countOf, root, maxLength) : 0);
  auto* const out = new (std::nothrow) HuffmanEntry[size];
  if (out == nullptr)
    return kBuildNoMemory;

  const std::uint16_t* symbol = sorted;
  unsigned reversed = 0;
  unsigned filled = 1u << minLength;  // entries of the first level laid out so far
  for (unsigned len = minLength; len <= root; ++len) {
    if (len > minLength) {
      std::memcpy(out + filled, out, filled * sizeof *out);
      filled <<= 1;
    }
    for (unsigned n = countOf[len]; n > 0; --n) {
      out[reversed] = SymbolEntry(symbols[*symbol++], len);
      reversed = NextReversed(reversed, len);
    }
  }
  // The patterns no code takes (a lone one-bit code, or an incomplete code) are invalid.
  for (; left > 0 && maxLength == root; --left) {
    out[reversed] = kEntryInvalid;
    reversed = NextReversed(reversed, root);
  }

  // Longer codes: one sub-table per first-level prefix, reached through a link entry.
  unsigned remaining[kMaxCodeLength + 1];
  for (unsigned len = root + 1; len <= maxLength; ++len)
    remaining[len] = countOf[len];
  unsigned used = rootSize;
  unsigned openLow = ~0u;
  unsigned subStart = 0;
  unsigned subWidth = 0;
  for (unsigned len = root + 1; len <= maxLength; ++len) {
    for (unsigned n = countOf[len]; n > 0; --n) {
      const unsigned low = reversed & (rootSize - 1);
      if (low != openLow) {
        openLow = low;
        subWidth = SubTableWidth(len, root, maxLength, remaining);
        subStart = used;
        used += 1u << subWidth;
        out[low] = MakeEntry(kEntryEscape | kEntryLink, subWidth, root, subStart);
      }
      const unsigned subLength = len - root;
      const HuffmanEntry entry = SymbolEntry(symbols[*symbol++], subLength);
      for (unsigned k = reversed >> root; k < (1u << subWidth); k += 1u << subLength)
        out[subStart + k] = entry;
      --remaining[len];
      reversed = NextReversed(reversed, len);
    }
  }
  assert(used == size);

  table->entries = out;
  table->width = root;
  table->owned = true;
  return incomplete ? kBuildIncomplete : kBuildComplete;
}

HuffmanTable::~HuffmanTable() {
  if (owned)
    delete[] entries;
}
