#include "demo/payload/PayloadGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/package/PayloadPackage.h"
#include "demo/payload/SplitMix64.h"

namespace {

class Random : public SplitMix64 {
 public:
  using SplitMix64::SplitMix64;
  // Uniform in [lo, hi].
  std::uint32_t Range(std::uint32_t lo, std::uint32_t hi) {
    return lo + static_cast<std::uint32_t>(Next() % (std::uint64_t{hi} - lo + 1));
  }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Next()); }
  // Small values much more often than large ones: index into a list of n, Zipf-like.
  std::uint32_t Skewed(std::uint32_t n) {
    const std::uint32_t a = Range(0, n - 1);
    const std::uint32_t b = Range(0, n - 1);
    return a < b ? a : b;
  }
};

enum class Kind { kBinary, kText, kMarkup, kCompressedImage, kBitmap, kSound };

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes* out, const char* text) {
  out->insert(out->end(), text, text + std::strlen(text));
}

// Code-like bytes: instructions drawn from a per-file set of opcode patterns with operands
// that favour small values, broken by string tables, pointer tables and padding, roughly
// the mix of a compiled Windows module.
void FillBinary(Random& r, Bytes* out, std::size_t size) {
  Bytes patterns[96];
  for (auto& p : patterns) {
    const std::uint32_t n = r.Range(1, 4);
    for (std::uint32_t i = 0; i < n; ++i)
      p.push_back(r.Byte());
  }
  Append(out, "MZ\x90");
  out->resize(std::min<std::size_t>(size, 0x400), 0);
  while (out->size() < size) {
    const std::uint32_t section = r.Range(0, 99);
    const std::size_t run = r.Range(256, 4096);
    const std::size_t end = std::min(size, out->size() + run);
    if (section < 70) {
      while (out->size() < end) {
        if (out->size() > 4096 && r.Range(0, 9) < 3) {
          // Compiled code repeats itself: prologues, calls, idioms.
          const std::size_t from = out->size() - r.Range(64, 4096);
          const std::size_t n = r.Range(6, 40);
          for (std::size_t i = 0; i < n; ++i)
            out->push_back((*out)[from + i]);
          continue;
        }
        const Bytes& p = patterns[r.Skewed(96)];
        out->insert(out->end(), p.begin(), p.end());
        const std::uint32_t operands = r.Range(0, 3);
        for (std::uint32_t i = 0; i < operands; ++i) {
          out->push_back(r.Range(0, 7) == 0 ? r.Byte() : static_cast<std::uint8_t>(r.Skewed(24)));
        }
      }
    } else if (section < 82) {
      while (out->size() < end) {  // UTF-16 names
        const std::uint32_t letters = r.Range(4, 14);
        for (std::uint32_t i = 0; i < letters; ++i) {
          out->push_back(static_cast<std::uint8_t>('A' + r.Skewed(26) + (i ? 32 : 0)));
          out->push_back(0);
        }
        out->push_back(0);
        out->push_back(0);
      }
    } else if (section < 92) {
      std::uint32_t pointer = static_cast<std::uint32_t>(r.Next()) & 0x7fff0000u;
      while (out->size() < end) {  // tables of addresses
        pointer += r.Range(2, 64);
        for (unsigned i = 0; i < 4; ++i)
          out->push_back(static_cast<std::uint8_t>(pointer >> (8 * i)));
      }
    } else if (section < 97) {
      out->resize(end, 0);  // alignment padding
    } else {
      while (out->size() < end)
        out->push_back(r.Byte());  // packed data
    }
  }
  out->resize(size);
}

const char* const kSyllables[] = {"ka",  "lo",  "ven", "ri", "sta", "mo",  "ne",   "qui",
                                  "dar", "te",  "xin", "po", "lu",  "ber", "chan", "so",
                                  "vi",  "mar", "zen", "fa", "gro", "hal", "im",   "jo"};

void AppendWord(Random& r, Bytes* out) {
  const std::uint32_t n = r.Range(1, 3);
  for (std::uint32_t i = 0; i < n; ++i)
    Append(out, kSyllables[r.Skewed(24)]);
}

// Prose-like text and configuration lines.
void FillText(Random& r, Bytes* out, std::size_t size) {
  while (out->size() < size) {
    if (r.Range(0, 4) == 0) {
      out->push_back('[');
      AppendWord(r, out);
      Append(out, "]\r\n");
    }
    const std::uint32_t words = r.Range(3, 14);
    for (std::uint32_t i = 0; i < words; ++i) {
      AppendWord(r, out);
      out->push_back(i + 1 < words ? ' ' : '.');
    }
    Append(out, "\r\n");
  }
  out->resize(size);
}

// Markup: nested elements with attributes, as in skins, help pages, styles and scripts.
void FillMarkup(Random& r, Bytes* out, std::size_t size) {
  Append(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n");
  while (out->size() < size) {
    const std::uint32_t depth = r.Range(0, 3);
    for (std::uint32_t i = 0; i < depth; ++i)
      Append(out, "  ");
    out->push_back('<');
    AppendWord(r, out);
    const std::uint32_t attributes = r.Range(0, 4);
    for (std::uint32_t i = 0; i < attributes; ++i) {
      out->push_back(' ');
      AppendWord(r, out);
      Append(out, "=\"");
      if (r.Range(0, 1)) {
        AppendWord(r, out);
      } else {
        const std::string number = std::to_string(r.Range(0, 640));
        Append(out, number.c_str());
      }
      out->push_back('"');
    }
    Append(out, "/>\r\n");
  }
  out->resize(size);
}

// Images that are already compressed (PNG, GIF, JPEG): a real signature, then entropy.
void FillCompressedImage(Random& r, Bytes* out, std::size_t size, const char* signature) {
  Append(out, signature);
  while (out->size() < size)
    out->push_back(r.Byte());
  out->resize(size);
}

// Uncompressed 24-bit bitmaps as skins have them: flat panels, borders and gradients,
// with a little dithering noise.
void FillBitmap(Random& r, Bytes* out, std::size_t size) {
  Append(out, "BM");
  out->resize(std::min<std::size_t>(size, 54), 0);
  const std::uint32_t width = r.Range(16, 256);
  std::uint8_t panel[3] = {r.Byte(), r.Byte(), r.Byte()};
  while (out->size() < size) {
    if (r.Range(0, 15) == 0) {
      for (auto& c : panel)
        c = r.Byte();  // the next panel
    }
    const bool gradient = r.Range(0, 3) == 0;
    for (std::uint32_t x = 0; x < width && out->size() < size; ++x) {
      const bool border = x == 0 || x + 1 == width;
      const std::uint32_t shade = gradient ? x * 64 / width : 0;
      const std::uint32_t noise = r.Range(0, 15) == 0 ? 1 : 0;
      for (const std::uint8_t c : panel) {
        out->push_back(border ? 0x40 : static_cast<std::uint8_t>(c + shade + noise));
      }
    }
  }
  out->resize(size);
}

// 16-bit PCM: a few tones with noise, behind a RIFF header.
void FillSound(Random& r, Bytes* out, std::size_t size) {
  Append(out, "RIFF");
  out->resize(std::min<std::size_t>(size, 44), 0);
  const double f1 = r.Range(200, 900) / 22050.0;
  const double f2 = r.Range(900, 3000) / 22050.0;
  for (std::size_t i = 0; out->size() < size; ++i) {
    const double t = static_cast<double>(i);
    const double v = 6000.0 * std::sin(6.283185307 * f1 * t) +
                     2500.0 * std::sin(6.283185307 * f2 * t) + (r.Range(0, 255) - 128.0);
    const auto sample = static_cast<std::int16_t>(v);
    out->push_back(static_cast<std::uint8_t>(sample & 0xff));
    out->push_back(static_cast<std::uint8_t>((sample >> 8) & 0xff));
  }
  out->resize(size);
}

struct Group {
  const char16_t* folder;  // "" for the top level
  const char16_t* stem;    // file names are stem + number + extension
  const char16_t* extension;
  Kind kind;
  std::uint32_t count;
  std::uint32_t minSize;
  std::uint32_t maxSize;
};

// The reference tree: 1,125 files. Module sizes are scaled afterwards to meet the total.
constexpr Group kReference[] = {
    {u"", u"module", u".dll", Kind::kBinary, 45, 0, 0},
    {u"", u"helper", u".exe", Kind::kBinary, 6, 40000, 400000},
    {u"", u"config", u".ini", Kind::kText, 5, 300, 6000},
    {u"", u"readme", u".txt", Kind::kText, 2, 2000, 20000},
    {u"", u"setting", u".xml", Kind::kMarkup, 2, 1000, 30000},
    {u"Skin\\Default", u"btn_", u".png", Kind::kCompressedImage, 120, 600, 14000},
    {u"Skin\\Default", u"bg_", u".bmp", Kind::kBitmap, 30, 6000, 80000},
    {u"Skin\\Default", u"layout", u".xml", Kind::kMarkup, 10, 2000, 40000},
    {u"Skin\\UserIcon\\Level", u"Level", u".png", Kind::kCompressedImage, 64, 400, 3000},
    {u"Skin\\UserIcon\\Vip", u"vip", u".png", Kind::kCompressedImage, 40, 500, 5000},
    {u"Skin\\Face", u"face", u".bmp", Kind::kBitmap, 100, 2000, 12000},
    {u"Skin\\Themes\\Blue", u"theme_", u".png", Kind::kCompressedImage, 56, 1000, 16000},
    {u"Skin\\Themes\\Pink", u"theme_", u".png", Kind::kCompressedImage, 56, 1000, 16000},
    {u"web\\IconHelp", u"help", u".htm", Kind::kMarkup, 20, 2000, 20000},
    {u"web\\IconHelp\\images", u"help_step_arrow_", u".gif", Kind::kCompressedImage, 80, 800, 9000},
    {u"web\\css", u"style", u".css", Kind::kMarkup, 12, 1000, 20000},
    {u"web\\js", u"script", u".js", Kind::kText, 25, 2000, 60000},
    {u"Emotions\\经典", u"em", u".gif", Kind::kCompressedImage, 96, 1500, 16000},
    {u"Emotions\\动物", u"em", u".gif", Kind::kCompressedImage, 60, 1500, 16000},
    {u"Emotions\\搞笑", u"em", u".gif", Kind::kCompressedImage, 72, 1500, 16000},
    {u"Emotions\\可爱", u"em", u".gif", Kind::kCompressedImage, 64, 1500, 16000},
    {u"Emotions\\节日", u"em", u".gif", Kind::kCompressedImage, 40, 1500, 16000},
    {u"Sound", u"notify", u".wav", Kind::kSound, 30, 20000, 280000},
    {u"Plugins\\Game\\Data", u"level", u".dat", Kind::kBinary, 40, 10000, 90000},
    {u"Plugins\\Game", u"game", u".dll", Kind::kBinary, 8, 50000, 200000},
    {u"Lang\\zh-CN", u"strings", u".xml", Kind::kMarkup, 20, 2000, 20000},
    {u"Lang\\en-US", u"strings", u".xml", Kind::kMarkup, 20, 2000, 20000},
};

constexpr Group kSmall[] = {
    {u"", u"module", u".dll", Kind::kBinary, 4, 0, 0},
    {u"", u"config", u".ini", Kind::kText, 2, 300, 3000},
    {u"Skin\\UserIcon\\Level", u"Level", u".png", Kind::kCompressedImage, 6, 400, 3000},
    {u"web\\IconHelp\\images", u"help_step_arrow_", u".gif", Kind::kCompressedImage, 4, 800, 9000},
    {u"Emotions\\经典", u"em", u".gif", Kind::kCompressedImage, 5, 1500, 16000},
    {u"Emotions\\可爱", u"em", u".gif", Kind::kCompressedImage, 5, 1500, 16000},
    {u"Sound", u"notify", u".wav", Kind::kSound, 2, 20000, 60000},
    {u"Lang\\zh-CN", u"strings", u".xml", Kind::kMarkup, 3, 2000, 20000},
};

constexpr std::uint32_t kReferenceTotal = 32808821;
constexpr std::uint32_t kReferenceClient = 3534848;  // the largest file
constexpr std::uint32_t kSmallTotal = 1000000;
constexpr std::uint32_t kSmallClient = 120000;

void Fill(Random& r, Kind kind, const std::u16string& extension, std::size_t size, Bytes* out) {
  out->reserve(size);
  switch (kind) {
    case Kind::kBinary:
      FillBinary(r, out, size);
      break;
    case Kind::kText:
      FillText(r, out, size);
      break;
    case Kind::kMarkup:
      FillMarkup(r, out, size);
      break;
    case Kind::kCompressedImage:
      FillCompressedImage(r, out, size, extension == u".gif" ? "GIF89a" : "\x89PNG\r\n\x1a\n");
      break;
    case Kind::kBitmap:
      FillBitmap(r, out, size);
      break;
    case Kind::kSound:
      FillSound(r, out, size);
      break;
  }
}

std::u16string Number(std::uint32_t n) {
  std::u16string s;
  s += static_cast<char16_t>(u'0' + n / 10 % 10);
  s += static_cast<char16_t>(u'0' + n % 10);
  if (n >= 100)
    s.insert(s.begin(), static_cast<char16_t>(u'0' + n / 100 % 10));
  return s;
}

}  // namespace

std::vector<GeneratedFile> GeneratePayload(std::uint64_t seed, PayloadScale scale) {
  const bool reference = scale == PayloadScale::kReference;
  const Group* groups = reference ? kReference : kSmall;
  const std::size_t groupCount = reference ? std::size(kReference) : std::size(kSmall);
  const std::uint32_t total = reference ? kReferenceTotal : kSmallTotal;
  const std::uint32_t clientSize = reference ? kReferenceClient : kSmallClient;
  Random r(seed);

  struct Plan {
    std::u16string path;
    Kind kind;
    std::u16string extension;
    std::uint32_t size;
  };
  std::vector<Plan> plans;
  plans.push_back({u"Korvel互动.exe", Kind::kBinary, u".exe", clientSize});
  plans.push_back({u"ImageOle.dll", Kind::kBinary, u".dll", clientSize / 20});
  std::uint64_t fixedBytes = plans[0].size + plans[1].size;
  std::vector<std::size_t> modules;  // sizes filled in below, to meet the total
  for (std::size_t g = 0; g < groupCount; ++g) {
    const Group& group = groups[g];
    const std::u16string folder = group.folder;
    for (std::uint32_t i = 1; i <= group.count; ++i) {
      std::u16string path = folder.empty() ? u"" : folder + u"\\";
      path += group.stem + Number(i) + group.extension;
      std::uint32_t size = 0;
      if (group.maxSize == 0) {
        modules.push_back(plans.size());
      } else {
        size = r.Range(group.minSize, group.maxSize);
        fixedBytes += size;
      }
      plans.push_back({path, group.kind, group.extension, size});
    }
  }
  // Spread what is left of the total over the modules with random weights.
  std::vector<std::uint32_t> weights(modules.size());
  std::uint64_t weightSum = 0;
  for (auto& w : weights)
    weightSum += (w = r.Range(1, 100));
  const std::uint64_t left = total > fixedBytes ? total - fixedBytes : modules.size() * 4096;
  std::uint64_t given = 0;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    std::uint64_t size = i + 1 < modules.size() ? left * weights[i] / weightSum : left - given;
    size = std::clamp<std::uint64_t>(size, 4096, clientSize - 1);
    plans[modules[i]].size = static_cast<std::uint32_t>(size);
    given += size;
  }

  std::sort(plans.begin(), plans.end(),
            [](const Plan& a, const Plan& b) { return PackageOrderLess(a.path, b.path); });
  std::vector<GeneratedFile> files;
  files.reserve(plans.size());
  for (const Plan& plan : plans) {
    GeneratedFile file{plan.path, {}};
    std::uint64_t pathHash = 0xcbf29ce484222325ull;  // FNV-1a: the same on every platform
    for (const char16_t c : plan.path)
      pathHash = (pathHash ^ c) * 0x100000001b3ull;
    Random content(seed ^ pathHash);
    Fill(content, plan.kind, plan.extension, plan.size, &file.content);
    files.push_back(std::move(file));
  }
  return files;
}

std::vector<std::uint8_t> BuildPackage(const std::vector<GeneratedFile>& files, char16_t filler) {
  std::size_t size = 0;
  for (const auto& f : files)
    size += kPackageHeaderBytes + f.content.size();
  std::vector<std::uint8_t> package;
  package.reserve(size);
  for (const auto& f : files) {
    AppendPackageRecord(&package, f.path, f.content.data(), f.content.size(), filler);
  }
  return package;
}
