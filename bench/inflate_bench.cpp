// Inflate throughput on the reference payload package, against zlib and libdeflate in the
// same run. The package is compressed two ways (zlib level 9, libdeflate level 12) and each
// stream is inflated by all three decoders, interleaved, several times, into one block
// large enough for the whole package, as the installer does.
//
//   inflate_bench [REPETITIONS]
#include <libdeflate.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "core/inflate/ResourceInflater.h"
#include "demo/payload/PayloadGenerator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ZlibCompress(const Bytes& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes LibdeflateCompress(const Bytes& data) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(12);
  Bytes out(libdeflate_deflate_compress_bound(c, data.size()));
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

bool Ours(const Bytes& in, Bytes& out) {
  int result = -1;
  const auto n = InflateResource(in.data(), static_cast<std::uint32_t>(in.size()), out.data(),
                                 static_cast<std::uint32_t>(out.size()), &result);
  return result == kInflateOk && n == out.size();
}

bool Zlib(const Bytes& in, Bytes& out) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int r = inflate(&z, Z_FINISH);
  const bool ok = r == Z_STREAM_END && z.total_out == out.size();
  inflateEnd(&z);
  return ok;
}

bool Libdeflate(libdeflate_decompressor* d, const Bytes& in, Bytes& out) {
  std::size_t n = 0;
  return libdeflate_deflate_decompress(d, in.data(), in.size(), out.data(), out.size(), &n) ==
             LIBDEFLATE_SUCCESS &&
         n == out.size();
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(3, std::atoi(argv[1])) : 9;
  const Bytes package = BuildPackage(GeneratePayload(77, PayloadScale::kReference));
  const double mb = static_cast<double>(package.size());
  std::printf("reference package: %zu bytes, %d repetitions\n", package.size(), repetitions);

  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  bool allMet = true;
  for (const bool useZlib : {true, false}) {
    const char* name = useZlib ? "zlib level 9" : "libdeflate level 12";
    const Bytes stream = useZlib ? ZlibCompress(package) : LibdeflateCompress(package);
    std::printf("\nstream from %s: %zu bytes (%.1f%%)\n", name, stream.size(),
                100.0 * static_cast<double>(stream.size()) / mb);
    Bytes out(package.size());
    // One untimed run each: checks the bytes and touches every page of the block.
    bool ok = Ours(stream, out) && out == package;
    ok = ok && Zlib(stream, out) && out == package;
    ok = ok && Libdeflate(ld, stream, out) && out == package;
    if (!ok) {
      std::printf("a decoder did not reproduce the package\n");
      return 1;
    }
    std::vector<double> ours, zlib, libdeflate;
    for (int i = 0; i < repetitions; ++i) {
      ours.push_back(TimeOnce([&] { Ours(stream, out); }));
      zlib.push_back(TimeOnce([&] { Zlib(stream, out); }));
      libdeflate.push_back(TimeOnce([&] { Libdeflate(ld, stream, out); }));
    }
    const Spread o = Throughput(ours, mb);
    const Spread z = Throughput(zlib, mb);
    const Spread l = Throughput(libdeflate, mb);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "InflateResource", o.best,
                o.median, o.worst);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "zlib inflate", z.best,
                z.median, z.worst);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "libdeflate", l.best,
                l.median, l.worst);
    std::printf("  ratio to zlib:       median %.2fx  best %.2fx  (target >= 1.00x)\n",
                o.median / z.median, o.best / z.best);
    std::printf("  ratio to libdeflate: median %.2fx  best %.2fx\n", o.median / l.median,
                o.best / l.best);
    allMet = allMet && o.median >= z.median;
  }
  libdeflate_free_decompressor(ld);
  std::printf("\ntarget %s\n", allMet ? "met" : "NOT met");
  return 0;
}
