#include "core/integrity/Md5.h"

#include <cstring>

#include "core/text/LittleEndian.h"

namespace {

inline std::uint32_t Rotl(std::uint32_t x, unsigned n) {
  return (x << n) | (x >> (32 - n));
}

// The round functions of RFC 1321, 3.4 (G in StepG below); F in its select form, which
// needs one operation less.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

template <std::uint32_t (*Fn)(std::uint32_t, std::uint32_t, std::uint32_t)>
inline void Step(std::uint32_t& a,
                 std::uint32_t b,
                 std::uint32_t c,
                 std::uint32_t d,
                 std::uint32_t x,
                 std::uint32_t t,
                 unsigned s) {
  // a, x and t are known steps before b, c and d: adding them first leaves the round
  // function, one addition and the rotation on the chain from one step to the next.
  a = b + Rotl(a + x + t + Fn(b, c, d), s);
}

// G's two terms never have a bit in common, so they may be added one by one; the first
// does not wait for b, the newest word.
inline void StepG(std::uint32_t& a,
                  std::uint32_t b,
                  std::uint32_t c,
                  std::uint32_t d,
                  std::uint32_t x,
                  std::uint32_t t,
                  unsigned s) {
  a = b + Rotl(a + x + t + (c & ~d) + (b & d), s);
}

}  // namespace

void Md5::Reset() {
  state_[0] = 0x67452301u;
  state_[1] = 0xefcdab89u;
  state_[2] = 0x98badcfeu;
  state_[3] = 0x10325476u;
  length_ = 0;
  buffered_ = 0;
}

void Md5::Transform(const std::uint8_t* block) {
  std::uint32_t x[16];
  for (unsigned i = 0; i < 16; ++i)
    x[i] = U32(block + 4 * i);
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  Step<F>(a, b, c, d, x[0], 0xd76aa478u, 7);
  Step<F>(d, a, b, c, x[1], 0xe8c7b756u, 12);
  Step<F>(c, d, a, b, x[2], 0x242070dbu, 17);
  Step<F>(b, c, d, a, x[3], 0xc1bdceeeu, 22);
  Step<F>(a, b, c, d, x[4], 0xf57c0fafu, 7);
  Step<F>(d, a, b, c, x[5], 0x4787c62au, 12);
  Step<F>(c, d, a, b, x[6], 0xa8304613u, 17);
  Step<F>(b, c, d, a, x[7], 0xfd469501u, 22);
  Step<F>(a, b, c, d, x[8], 0x698098d8u, 7);
  Step<F>(d, a, b, c, x[9], 0x8b44f7afu, 12);
  Step<F>(c, d, a, b, x[10], 0xffff5bb1u, 17);
  Step<F>(b, c, d, a, x[11], 0x895cd7beu, 22);
  Step<F>(a, b, c, d, x[12], 0x6b901122u, 7);
  Step<F>(d, a, b, c, x[13], 0xfd987193u, 12);
  Step<F>(c, d, a, b, x[14], 0xa679438eu, 17);
  Step<F>(b, c, d, a, x[15], 0x49b40821u, 22);

  StepG(a, b, c, d, x[1], 0xf61e2562u, 5);
  StepG(d, a, b, c, x[6], 0xc040b340u, 9);
  StepG(c, d, a, b, x[11], 0x265e5a51u, 14);
  StepG(b, c, d, a, x[0], 0xe9b6c7aau, 20);
  StepG(a, b, c, d, x[5], 0xd62f105du, 5);
  StepG(d, a, b, c, x[10], 0x02441453u, 9);
  StepG(c, d, a, b, x[15], 0xd8a1e681u, 14);
  StepG(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
  StepG(a, b, c, d, x[9], 0x21e1cde6u, 5);
  StepG(d, a, b, c, x[14], 0xc33707d6u, 9);
  StepG(c, d, a, b, x[3], 0xf4d50d87u, 14);
  StepG(b, c, d, a, x[8], 0x455a14edu, 20);
  StepG(a, b, c, d, x[13], 0xa9e3e905u, 5);
  StepG(d, a, b, c, x[2], 0xfcefa3f8u, 9);
  StepG(c, d, a, b, x[7], 0x676f02d9u, 14);
  StepG(b, c, d, a, x[12], 0x8d2a4c8au, 20);

  Step<H>(a, b, c, d, x[5], 0xfffa3942u, 4);
  Step<H>(d, a, b, c, x[8], 0x8771f681u, 11);
  Step<H>(c, d, a, b, x[11], 0x6d9d6122u, 16);
  Step<H>(b, c, d, a, x[14], 0xfde5380cu, 23);
  Step<H>(a, b, c, d, x[1], 0xa4beea44u, 4);
  Step<H>(d, a, b, c, x[4], 0x4bdecfa9u, 11);
  Step<H>(c, d, a, b, x[7], 0xf6bb4b60u, 16);
  Step<H>(b, c, d, a, x[10], 0xbebfbc70u, 23);
  Step<H>(a, b, c, d, x[13], 0x289b7ec6u, 4);
  Step<H>(d, a, b, c, x[0], 0xeaa127fau, 11);
  Step<H>(c, d, a, b, x[3], 0xd4ef3085u, 16);
  Step<H>(b, c, d, a, x[6], 0x04881d05u, 23);
  Step<H>(a, b, c, d, x[9], 0xd9d4d039u, 4);
  Step<H>(d, a, b, c, x[12], 0xe6db99e5u, 11);
  Step<H>(c, d, a, b, x[15], 0x1fa27cf8u, 16);
  Step<H>(b, c, d, a, x[2], 0xc4ac5665u, 23);

  Step<I>(a, b, c, d, x[0], 0xf4292244u, 6);
  Step<I>(d, a, b, c, x[7], 0x432aff97u, 10);
  Step<I>(c, d, a, b, x[14], 0xab9423a7u, 15);
  Step<I>(b, c, d, a, x[5], 0xfc93a039u, 21);
  Step<I>(a, b, c, d, x[12], 0x655b59c3u, 6);
  Step<I>(d, a, b, c, x[3], 0x8f0ccc92u, 10);
  Step<I>(c, d, a, b, x[10], 0xffeff47du, 15);
  Step<I>(b, c, d, a, x[1], 0x85845dd1u, 21);
  Step<I>(a, b, c, d, x[8], 0x6fa87e4fu, 6);
  Step<I>(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
  Step<I>(c, d, a, b, x[6], 0xa3014314u, 15);
  Step<I>(b, c, d, a, x[13], 0x4e0811a1u, 21);
  Step<I>(a, b, c, d, x[4], 0xf7537e82u, 6);
  Step<I>(d, a, b, c, x[11], 0xbd3af235u, 10);
  Step<I>(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
  Step<I>(b, c, d, a, x[9], 0xeb86d391u, 21);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::Update(const std::uint8_t* data, std::size_t size) {
  length_ += size;
  if (buffered_ > 0) {
    const std::size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ < 64)
      return;
    Transform(buffer_);
    buffered_ = 0;
  }
  for (; size >= 64; data += 64, size -= 64)
    Transform(data);
  if (size > 0)
    std::memcpy(buffer_, data, size);
  buffered_ = size;
}

Md5Digest Md5::Finish() {
  // Padding: a 1 bit, zeros up to 56 bytes modulo 64, then the length in bits, 64-bit LE.
  const std::uint64_t bits = length_ * 8;
  std::uint8_t pad[72] = {0x80};
  const std::size_t padLength = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
  for (unsigned i = 0; i < 8; ++i)
    pad[padLength + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Update(pad, padLength + 8);
  Md5Digest digest;
  for (unsigned i = 0; i < 4; ++i) {
    for (unsigned k = 0; k < 4; ++k) {
      digest[4 * i + k] = static_cast<std::uint8_t>(state_[i] >> (8 * k));
    }
  }
  return digest;
}
