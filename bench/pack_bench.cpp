// Packing the reference payload folder the way `setup_pack payload` does (walk, read,
// lay out, compress with libdeflate at the default level on every core, check with the installer's
// inflater), timed, and its size and time against zlib level 9 deflating the same package
// (one thread, as makensis does). The packing time on one thread is given beside.
//
//   pack_bench [REPETITIONS]
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/bench_util.h"
#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "demo/payload/PayloadGenerator.h"
#include "tools/pack/Build.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::string pattern = (fs::temp_directory_path() / "pack-bench-XXXXXX").string();
  const fs::path folder = mkdtemp(pattern.data());
  for (const GeneratedFile& f : GeneratePayload(77, PayloadScale::kReference)) {
    std::string relative = Utf16ToUtf8(f.path);
    for (char& c : relative) {
      if (c == '\\')
        c = '/';
    }
    fs::create_directories((folder / relative).parent_path());
    std::ofstream(folder / relative, std::ios::binary)
        .write(reinterpret_cast<const char*>(f.content.data()),
               static_cast<std::streamsize>(f.content.size()));
  }

  Bytes package, compressed;
  PackStats stats;
  std::string error;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  // The best of `runs` packings on `threads` threads, in seconds.
  const auto best = [&](unsigned threads, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
      times.push_back(TimeOnce([&] {
        if (!BuildPayloadPackage(folder, kPackMaxRelativePath, {}, &package, &stats, &error) ||
            !CompressResource(package, kPackDefaultLevel, kPackageLimit, &compressed, &error,
                              threads)) {
          std::printf("packing failed: %s\n", error.c_str());
          std::exit(1);
        }
      }));
    }
    return *std::min_element(times.begin(), times.end());
  };
  const double oneThread = best(1, 1);
  const double allCores = best(cores, repetitions);
  fs::remove_all(folder);

  uLongf zlibSize = compressBound(static_cast<uLong>(package.size()));
  Bytes z(zlibSize);
  z_stream s{};
  deflateInit2(&s, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  s.next_in = package.data();
  s.avail_in = static_cast<uInt>(package.size());
  s.next_out = z.data();
  s.avail_out = static_cast<uInt>(z.size());
  const double zlibTime = TimeOnce([&] { deflate(&s, Z_FINISH); });
  zlibSize = s.total_out;
  deflateEnd(&s);

  std::printf("reference payload: %zu files, %zu package bytes\n", stats.files, package.size());
  std::printf(
      "  setup_pack payload (level %d): %zu bytes, %.1f%%, packing %.2f s on %u threads "
      "(best of %d), %.2f s on one\n",
      kPackDefaultLevel, compressed.size(), 100.0 * compressed.size() / package.size(), allCores,
      cores, repetitions, oneThread);
  std::printf("  zlib level 9:                  %zu bytes, %.1f%%, deflate %.2f s\n",
              static_cast<std::size_t>(zlibSize), 100.0 * zlibSize / package.size(), zlibTime);
  std::printf("  size ratio to zlib: %.4fx  (target <= 0.97x)\n",
              static_cast<double>(compressed.size()) / static_cast<double>(zlibSize));
  std::printf("  time ratio to zlib: %.2fx  (packing on %u threads / deflate alone)\n",
              allCores / zlibTime, cores);
  return 0;
}
