// Deterministic payload folders for tests, benchmarks and the demo.
//
// The reference payload has the scale and shape of the client the installer was made for:
// about 1,125 files and 32 MB, folders up to three levels deep, Chinese folder names below
// "Emotions", the client "Korvel互动.exe" and its component "ImageOle.dll" at the top, no
// empty file, no relative path longer than 42 UTF-16 code units, and a mix of contents that
// compresses about as real client files do: code-like binaries, markup and text, already
// compressed images, raw bitmaps and sound.
//
// The same seed gives the same files on every platform and compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct GeneratedFile {
  std::u16string path;  // relative, '\' separators
  std::vector<std::uint8_t> content;
};

enum class PayloadScale {
  kReference,  // ~1,125 files, ~32 MB
  kSmall,      // a few dozen files, ~1 MB: quick tests
};

inline constexpr std::size_t kReferenceLongestPath = 42;

// Generates the payload for `seed`, files in the order a sorted recursive walk of the
// folder visits them (each sub-folder's files where its name falls among its siblings).
std::vector<GeneratedFile> GeneratePayload(std::uint64_t seed, PayloadScale scale);

// Lays the files out as a payload package (not compressed), in the order given.
std::vector<std::uint8_t> BuildPackage(const std::vector<GeneratedFile>& files,
                                       char16_t filler = 0);
