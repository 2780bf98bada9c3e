#include "core/inflate/HuffmanTable.h"

#include <new>

namespace {

constexpr HuffmanEntry kEmptyCode[1] = {{kOpInvalid, 0, 0}};

// Canonical codes (RFC 1951, 3.2.2): codes of one length are consecutive integers in
// symbol order, and the first code of each length follows the last code of the shorter
// length shifted left by one. The tables are indexed with reversed codes, so the walk
// below keeps the current code reversed and increments it from the top bit down.
//
// Fills the set (or, with Write false, only counts its entries) and returns the number of
// entries it needs.
template <bool Write>
unsigned FillTable(const std::uint16_t* sorted,
                   unsigned codeCount,
                   const std::uint8_t* lengths,
                   const unsigned* countOf,
                   unsigned maxLength,
                   unsigned root,
                   unsigned simpleCount,
                   const std::uint16_t* base,
                   const std::uint8_t* extra,
                   HuffmanEntry* out) {
  const unsigned rootSize = 1u << root;
  unsigned used = rootSize;
  unsigned remaining[kMaxCodeLength + 1];  // codes of each length not yet placed
  for (unsigned len = 0; len <= kMaxCodeLength; ++len)
    remaining[len] = countOf[len];
  if (Write) {
    for (unsigned i = 0; i < rootSize; ++i) {
      out[i] = HuffmanEntry{kOpInvalid, static_cast<std::uint8_t>(maxLength), 0};
    }
  }
  unsigned reversed = 0;  // current code, bit-reversed
  unsigned subLow = ~0u;  // root index of the open sub-table
  unsigned subStart = 0;  // its first entry
  for (unsigned i = 0; i < codeCount; ++i) {
    const unsigned symbol = sorted[i];
    const unsigned length = lengths[symbol];
    HuffmanEntry entry{};
    if (symbol < simpleCount) {
      entry.operation = symbol < 256 ? kOpLiteral : kOpEndOfBlock;
      entry.value = static_cast<std::uint16_t>(symbol);
    } else {
      entry.operation = extra[symbol - simpleCount];
      entry.value = base[symbol - simpleCount];
    }
    if (length <= root) {
      entry.bits = static_cast<std::uint8_t>(length);
      if (Write) {
        for (unsigned k = reversed; k < rootSize; k += 1u << length)
          out[k] = entry;
      }
    } else {
      const unsigned low = reversed & (rootSize - 1);
      if (low != subLow) {
        // Widen the sub-table while the longer codes still leave patterns free in it.
        unsigned width = length - root;
        int left = 1 << width;
        while (width + root < maxLength) {
          left -= static_cast<int>(remaining[width + root]);
          if (left <= 0)
            break;
          ++width;
          left <<= 1;
        }
        subLow = low;
        subStart = used;
        used += 1u << width;
        if (Write) {
          out[low] =
              HuffmanEntry{static_cast<std::uint8_t>(kOpLiteral + width),
                           static_cast<std::uint8_t>(root), static_cast<std::uint16_t>(subStart)};
        }
      }
      if (Write) {
        const unsigned subWidth = static_cast<unsigned>(out[low].operation) - kOpLiteral;
        const unsigned subLength = length - root;
        entry.bits = static_cast<std::uint8_t>(subLength);
        for (unsigned k = reversed >> root; k < (1u << subWidth); k += 1u << subLength) {
          out[subStart + k] = entry;
        }
      }
    }
    --remaining[length];
    // Next code of this length, reversed: add one at bit (length - 1) with carry downwards.
    unsigned bit = 1u << (length - 1);
    while (reversed & bit)
      bit >>= 1;
    reversed = bit ? (reversed & (bit - 1)) + bit : 0;
  }
  return used;
}

}  // namespace

int BuildHuffmanTable(const std::uint8_t* lengths,
                      unsigned count,
                      unsigned simpleCount,
                      const std::uint16_t* base,
                      const std::uint8_t* extra,
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
  const unsigned codeCount = count - countOf[0];

  const unsigned size = FillTable<false>(sorted, codeCount, lengths, countOf, maxLength, root,
                                         simpleCount, base, extra, nullptr);
  auto* entries = new (std::nothrow) HuffmanEntry[size];
  if (entries == nullptr)
    return kBuildNoMemory;
  FillTable<true>(sorted, codeCount, lengths, countOf, maxLength, root, simpleCount, base, extra,
                  entries);
  table->entries = entries;
  table->width = root;
  table->owned = true;
  return incomplete ? kBuildIncomplete : kBuildComplete;
}

HuffmanTable::~HuffmanTable() {
  if (owned)
    delete[] entries;
}
