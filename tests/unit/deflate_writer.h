// Builds raw-deflate bit streams by hand, so decoder tests can name exactly the stream
// they feed in: block headers, stored blocks, codes given as canonical code lengths.
#pragma once

#include <cstdint>
#include <vector>

class DeflateWriter {
 public:
  // Appends `count` bits of `value`, lowest bit first (how deflate packs fields); bits
  // past the 32 of `value` are zeros.
  void Bits(std::uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
      Bit(i < 32 ? (value >> i) & 1u : 0u);
  }
  // Appends a Huffman code: its most significant bit first.
  void Code(std::uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;)
      Bit((code >> i) & 1u);
  }
  void AlignToByte() {
    while (bitCount_ % 8 != 0)
      Bit(0);
  }
  void Byte(std::uint8_t b) { Bits(b, 8); }

  void BlockHeader(bool final, unsigned type) {
    Bits(final ? 1 : 0, 1);
    Bits(type, 2);
  }
  // A whole stored block; LEN and NLEN as given, so tests can break the complement.
  void Stored(bool final, const std::vector<std::uint8_t>& data, int nlenXor = 0) {
    BlockHeader(final, 0);
    AlignToByte();
    const auto len = static_cast<std::uint32_t>(data.size());
    Bits(len, 16);
    Bits((~len & 0xffffu) ^ static_cast<std::uint32_t>(nlenXor), 16);
    for (auto b : data)
      Byte(b);
  }

  std::vector<std::uint8_t> Finish() const { return bytes_; }
  std::size_t BitCount() const { return bitCount_; }

 private:
  void Bit(std::uint32_t bit) {
    if (bitCount_ % 8 == 0)
      bytes_.push_back(0);
    bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | bit << (bitCount_ % 8));
    ++bitCount_;
  }
  std::vector<std::uint8_t> bytes_;
  std::size_t bitCount_ = 0;
};

// Canonical codes (RFC 1951, 3.2.2) for the given lengths; 0 for unused symbols.
inline std::vector<std::uint32_t> CanonicalCodes(const std::vector<std::uint8_t>& lengths) {
  unsigned count[17] = {};
  for (auto l : lengths)
    ++count[l];
  count[0] = 0;
  std::uint32_t next[17] = {};
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] != 0)
      codes[s] = next[lengths[s]]++;
  }
  return codes;
}

// Fixed code of a fixed block (RFC 1951, 3.2.6).
inline void FixedLiteral(DeflateWriter& w, unsigned symbol) {
  if (symbol < 144) {
    w.Code(0x30 + symbol, 8);
  } else if (symbol < 256) {
    w.Code(0x190 + symbol - 144, 9);
  } else if (symbol < 280) {
    w.Code(symbol - 256, 7);
  } else {
    w.Code(0xc0 + symbol - 280, 8);
  }
}

// Header of a dynamic block that sends every code length plainly (code-length symbols
// 0-15, no repeats). By default the code-length code gives symbols 0-15 four bits each (a
// complete code) and the repeat symbols none.
struct DynamicHeader {
  std::vector<std::uint8_t> literalLengths;   // 257..288 entries
  std::vector<std::uint8_t> distanceLengths;  // 1..32 entries
  std::vector<std::uint8_t> codeLengthLengths = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
                                                 4, 4, 4, 4, 4, 4, 0, 0, 0};

  void Write(DeflateWriter& w, bool final) const {
    static constexpr unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                            11, 4,  12, 3, 13, 2, 14, 1, 15};
    w.BlockHeader(final, 2);
    w.Bits(static_cast<std::uint32_t>(literalLengths.size() - 257), 5);
    w.Bits(static_cast<std::uint32_t>(distanceLengths.size() - 1), 5);
    w.Bits(19 - 4, 4);
    for (unsigned i = 0; i < 19; ++i)
      w.Bits(codeLengthLengths[kOrder[i]], 3);
    const auto codes = CanonicalCodes(codeLengthLengths);
    for (auto l : literalLengths)
      w.Code(codes[l], codeLengthLengths[l]);
    for (auto l : distanceLengths)
      w.Code(codes[l], codeLengthLengths[l]);
  }
};
