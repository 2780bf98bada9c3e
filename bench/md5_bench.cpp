// MD5 throughput on a 17 MiB buffer (the size of the shipped installer), against OpenSSL's
// MD5 in the same run, interleaved.
//
//   md5_bench [REPETITIONS]
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_util.h"
#include "core/integrity/Md5.h"

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  std::vector<std::uint8_t> buffer(17u << 20);
  std::uint32_t x = 12345;
  for (auto& b : buffer)
    b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);

  Md5Digest ours{};
  unsigned char theirs[EVP_MAX_MD_SIZE];
  unsigned int theirsLength = 0;
  std::vector<double> oursTimes, theirTimes;
  for (int i = 0; i < repetitions; ++i) {
    oursTimes.push_back(TimeOnce([&] { ours = Md5::Of(buffer.data(), buffer.size()); }));
    theirTimes.push_back(TimeOnce([&] {
      EVP_Digest(buffer.data(), buffer.size(), theirs, &theirsLength, EVP_md5(), nullptr);
    }));
  }
  if (theirsLength != 16 || !std::equal(ours.begin(), ours.end(), theirs)) {
    std::printf("the digests differ\n");
    return 1;
  }
  const double bytes = static_cast<double>(buffer.size());
  const Spread o = Throughput(oursTimes, bytes);
  const Spread t = Throughput(theirTimes, bytes);
  std::printf("MD5 of %zu bytes, %d repetitions\n", buffer.size(), repetitions);
  std::printf("  %-8s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "Md5", o.best, o.median,
              o.worst);
  std::printf("  %-8s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "OpenSSL", t.best, t.median,
              t.worst);
  std::printf("  ratio to OpenSSL: median %.2fx  best %.2fx  (target >= 0.97x)\n",
              o.median / t.median, o.best / t.best);
  return 0;
}
