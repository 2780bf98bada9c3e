// Writes a generated payload folder: gen_payload [--seed N] [--small] [--component DLL] OUTDIR
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/package/Utf8.h"
#include "demo/payload/PayloadGenerator.h"

int main(int argc, char** argv) {
  std::uint64_t seed = 77;
  PayloadScale scale = PayloadScale::kReference;
  const char* outDir = nullptr;
  const char* component = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--component") == 0 && i + 1 < argc) {
      component = argv[++i];
    } else if (std::strcmp(argv[i], "--small") == 0) {
      scale = PayloadScale::kSmall;
    } else if (argv[i][0] != '-' && outDir == nullptr) {
      outDir = argv[i];
    } else {
      outDir = nullptr;
      break;
    }
  }
  if (outDir == nullptr) {
    std::fprintf(stderr,
                 "usage: gen_payload [--seed N] [--small] [--component DLL] OUTDIR\n"
                 "Writes the deterministic reference payload (about 1,125 files, 32 MB) or,\n"
                 "with --small, a quick one, into OUTDIR. With --component, ImageOle.dll\n"
                 "starts with that DLL's bytes, so that it registers for real; the generated\n"
                 "bytes after them keep its reference size.\n");
    return 2;
  }
  auto files = GeneratePayload(seed, scale);
  if (component != nullptr) {
    std::ifstream in(component, std::ios::binary);
    const std::string dll{std::istreambuf_iterator<char>(in), {}};
    if (!in && !in.eof()) {
      std::fprintf(stderr, "gen_payload: cannot read %s\n", component);
      return 1;
    }
    for (auto& f : files) {
      if (f.path != u"ImageOle.dll")
        continue;
      if (f.content.size() < dll.size())
        f.content.resize(dll.size());
      std::copy(dll.begin(), dll.end(), f.content.begin());
    }
  }
  std::size_t bytes = 0;
  for (const auto& f : files) {
    std::string relative = Utf16ToUtf8(f.path);
    for (char& c : relative) {
      if (c == '\\')
        c = '/';
    }
    const std::filesystem::path path = std::filesystem::path(outDir) / relative;
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(f.content.data()),
              static_cast<std::streamsize>(f.content.size()));
    if (ec || !out) {
      std::fprintf(stderr, "gen_payload: cannot write %s\n", path.c_str());
      return 1;
    }
    bytes += f.content.size();
  }
  std::printf("gen_payload: %zu files, %zu bytes in %s\n", files.size(), bytes, outDir);
  return 0;
}
