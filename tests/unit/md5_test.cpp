// MD5 gives RFC 1321's digests for its test suite and around every padding boundary,
// whatever the chunking of the input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/Md5.h"
#include "tests/unit/row_name.h"

namespace {

std::string Hex(const Md5Digest& d) {
  std::string s = DigestHex(d);
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Of(const std::string& text) {
  return Hex(Md5::Of(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

struct Known {
  const char* name;
  std::string input;
  const char* digest;
};

class Md5Known : public testing::TestWithParam<Known> {};

TEST_P(Md5Known, OneShotAndEveryChunking) {
  const Known& k = GetParam();
  EXPECT_EQ(Of(k.input), k.digest);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(k.input.data());
  for (std::size_t chunk : {1u, 3u, 55u, 63u, 64u, 65u, 127u}) {
    Md5 md5;
    for (std::size_t at = 0; at < k.input.size(); at += chunk) {
      md5.Update(bytes + at, std::min(chunk, k.input.size() - at));
    }
    EXPECT_EQ(Hex(md5.Finish()), k.digest) << "chunks of " << chunk;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rfc1321AndPadding,
    Md5Known,
    testing::Values(
        Known{"Empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        Known{"A", "a", "0cc175b9c0f1b6a831c399e269772661"},
        Known{"Abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        Known{"MessageDigest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        Known{"Alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        Known{"Alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
              "d174ab98d277d9f5a5611c2c9f419d9f"},
        Known{"Digits80",
              std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" +
                  "1234567890" + "1234567890" + "1234567890" + "1234567890",
              "57edf4a22be3c955ac49da2e2107b67a"},
        Known{"Length55", std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        Known{"Length56", std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        Known{"Length57", std::string(57, 'a'), "652b906d60af96844ebd21b674f35e93"},
        Known{"Length63", std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        Known{"Length64", std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        Known{"Length65", std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        Known{"Length119", std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
        Known{"Length120", std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
        Known{"Length121", std::string(121, 'a'), "f6acfca2d47c87f2b14ca038234d3614"},
        Known{"MillionA", std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"}),
    RowName());

TEST(Md5, ResetStartsOver) {
  Md5 md5;
  md5.Update(reinterpret_cast<const std::uint8_t*>("junk"), 4);
  md5.Reset();
  md5.Update(reinterpret_cast<const std::uint8_t*>("abc"), 3);
  EXPECT_EQ(Hex(md5.Finish()), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(DigestHex(Md5::Of(nullptr, 0)), "D41D8CD98F00B204E9800998ECF8427E");
}

}  // namespace
