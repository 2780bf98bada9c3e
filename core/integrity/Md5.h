// MD5 message digest (RFC 1321), incremental and one-shot. The installer's integrity check
// digests its own file with it; the packager stamps that digest into the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using Md5Digest = std::array<std::uint8_t, 16>;

class Md5 {
 public:
  Md5() { Reset(); }
  void Reset();
  // Adds `size` bytes; any chunking gives the same digest.
  void Update(const std::uint8_t* data, std::size_t size);
  // Pads, returns the digest and leaves the object to be Reset before reuse.
  Md5Digest Finish();

  static Md5Digest Of(const std::uint8_t* data, std::size_t size) {
    Md5 md5;
    md5.Update(data, size);
    return md5.Finish();
  }

 private:
  void Transform(const std::uint8_t* block);

  std::uint32_t state_[4];
  std::uint64_t length_;  // bytes added so far
  std::uint8_t buffer_[64];
  std::size_t buffered_;
};
