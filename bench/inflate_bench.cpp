// Inflate throughput on the reference payload package, against zlib and libdeflate in the
// same run. The package is compressed two ways (zlib level 9, and the packager's stream as
// the installer ships it: libdeflate at the default level in 1 MiB pieces) and each
// stream is inflated by all three decoders, interleaved, several times, into one block
// large enough for the whole package, as the installer's pre-install check does.
// "ours-stream" is the installer's own path: InflateToSink reading the stream from an
// InflateSource that hands it over in 1 MiB batches (as PagedReader does) into a sink that
// copies each piece into the block (as PipedRead's sink does).
//
//   inflate_bench [REPETITIONS]
//   inflate_bench --write-streams DIR        writes DIR/zlib9.deflate and
//                                            DIR/shipped.deflate, prints the package size
//   inflate_bench --once DECODER FILE SIZE   inflates FILE once with ours, ours-stream, zlib
//                                            or libdeflate
//                                            inside MeasuredInflate (bench/inflate-instructions.sh
//                                            counts the instructions of that call)
#include <libdeflate.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "core/inflate/ResourceInflater.h"
#include "core/package/PayloadPackage.h"
#include "demo/payload/PayloadGenerator.h"
#include "tools/pack/Build.h"

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

// The stream the installer ships: the packager's, at its default level in 1 MiB pieces.
Bytes ShippedCompress(const Bytes& data) {
  Bytes out;
  std::string error;
  if (!CompressResource(data, kPackDefaultLevel, kPackageLimit, &out, &error))
    std::fprintf(stderr, "the packager failed: %s\n", error.c_str());
  return out;
}

bool Ours(const Bytes& in, Bytes& out) {
  int result = -1;
  const auto n = InflateResource(in.data(), static_cast<std::uint32_t>(in.size()), out.data(),
                                 static_cast<std::uint32_t>(out.size()), &result);
  return result == kInflateOk && n == out.size();
}

// Hands the stream over as the installer's resource reader does: in batches of 1 MiB.
class BatchSource : public InflateSource {
 public:
  explicit BatchSource(const Bytes& stream) : stream_(stream) {}
  std::uint32_t Next(const std::uint8_t** data) override {
    const std::size_t n = std::min<std::size_t>(std::size_t{1} << 20, stream_.size() - at_);
    *data = stream_.data() + at_;
    at_ += n;
    return static_cast<std::uint32_t>(n);
  }

 private:
  const Bytes& stream_;
  std::size_t at_ = 0;
};

// Copies each piece into the block, as the installer's piped sink copies into its buffers.
class CopySink : public InflateSink {
 public:
  explicit CopySink(Bytes& out) : out_(out) {}
  bool Take(const std::uint8_t* data, std::uint32_t count) override {
    if (count > out_.size() - at_)
      return false;
    std::memcpy(out_.data() + at_, data, count);
    at_ += count;
    return true;
  }
  std::size_t at_ = 0;

 private:
  Bytes& out_;
};

bool OursStream(const Bytes& in, Bytes& out) {
  BatchSource source(in);
  CopySink sink(out);
  return InflateToSink(source, sink, static_cast<std::uint32_t>(out.size())) == kInflateOk &&
         sink.at_ == out.size();
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

bool WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(file);
}

int WriteStreams(const std::string& folder) {
  const Bytes package = BuildPackage(GeneratePayload(77, PayloadScale::kReference));
  if (!WriteFile(folder + "/zlib9.deflate", ZlibCompress(package)) ||
      !WriteFile(folder + "/shipped.deflate", ShippedCompress(package))) {
    std::printf("cannot write the streams to %s\n", folder.c_str());
    return 1;
  }
  std::printf("%zu\n", package.size());
  return 0;
}

// The one call whose instructions the counting run collects: nothing else runs inside it.
__attribute__((noinline)) bool MeasuredInflate(const std::string& decoder,
                                               const Bytes& in,
                                               Bytes& out) {
  if (decoder == "ours")
    return Ours(in, out);
  if (decoder == "ours-stream")
    return OursStream(in, out);
  if (decoder == "zlib")
    return Zlib(in, out);
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  const bool ok = Libdeflate(ld, in, out);
  libdeflate_free_decompressor(ld);
  return ok;
}

int InflateOnce(const std::string& decoder, const std::string& path, const char* size) {
  std::ifstream file(path, std::ios::binary);
  const Bytes in{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  Bytes out(std::strtoul(size, nullptr, 10));
  if (in.empty() || out.empty() || !MeasuredInflate(decoder, in, out)) {
    std::printf("%s did not inflate %s to %s bytes\n", decoder.c_str(), path.c_str(), size);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-streams") == 0)
    return WriteStreams(argv[2]);
  if (argc == 5 && std::strcmp(argv[1], "--once") == 0)
    return InflateOnce(argv[2], argv[3], argv[4]);
  const int repetitions = argc > 1 ? std::max(3, std::atoi(argv[1])) : 9;
  const Bytes package = BuildPackage(GeneratePayload(77, PayloadScale::kReference));
  const double mb = static_cast<double>(package.size());
  std::printf("reference package: %zu bytes, %d repetitions\n", package.size(), repetitions);

  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  bool allMet = true;
  for (const bool useZlib : {true, false}) {
    const char* name = useZlib ? "zlib level 9" : "the packager (what the installer ships)";
    const Bytes stream = useZlib ? ZlibCompress(package) : ShippedCompress(package);
    std::printf("\nstream from %s: %zu bytes (%.1f%%)\n", name, stream.size(),
                100.0 * static_cast<double>(stream.size()) / mb);
    Bytes out(package.size());
    // One untimed run each: checks the bytes and touches every page of the block.
    bool ok = Ours(stream, out) && out == package;
    ok = ok && OursStream(stream, out) && out == package;
    ok = ok && Zlib(stream, out) && out == package;
    ok = ok && Libdeflate(ld, stream, out) && out == package;
    if (!ok) {
      std::printf("a decoder did not reproduce the package\n");
      return 1;
    }
    std::vector<double> ours, oursStream, zlib, libdeflate;
    for (int i = 0; i < repetitions; ++i) {
      ours.push_back(TimeOnce([&] { Ours(stream, out); }));
      oursStream.push_back(TimeOnce([&] { OursStream(stream, out); }));
      zlib.push_back(TimeOnce([&] { Zlib(stream, out); }));
      libdeflate.push_back(TimeOnce([&] { Libdeflate(ld, stream, out); }));
    }
    const Spread o = Throughput(ours, mb);
    const Spread os = Throughput(oursStream, mb);
    const Spread z = Throughput(zlib, mb);
    const Spread l = Throughput(libdeflate, mb);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "InflateResource", o.best,
                o.median, o.worst);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "InflateToSink", os.best,
                os.median, os.worst);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "zlib inflate", z.best,
                z.median, z.worst);
    std::printf("  %-16s best %7.1f  median %7.1f  worst %7.1f MB/s\n", "libdeflate", l.best,
                l.median, l.worst);
    std::printf("  ratio to zlib:       median %.2fx  best %.2fx  (target >= 1.00x)\n",
                o.median / z.median, o.best / z.best);
    std::printf("  ratio to libdeflate: median %.2fx  best %.2fx\n", o.median / l.median,
                o.best / l.best);
    std::printf("  stream/libdeflate:   median %.2fx  best %.2fx\n", os.median / l.median,
                os.best / l.best);
    allMet = allMet && o.median >= z.median;
  }
  libdeflate_free_decompressor(ld);
  std::printf("\ntarget %s\n", allMet ? "met" : "NOT met");
  return 0;
}
