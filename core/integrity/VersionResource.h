// A program's version resource (RT_VERSION 1), read and given a new release version: how
// one prebuilt stub serves every release. The installer reads its version from it at run
// time; the packager writes the release's into both programs.
//
// The resource is a tree of nodes, each at a 4-byte boundary from the resource's start:
//   +0  u16  wLength       bytes of the node with its children (no padding after them)
//   +2  u16  wValueLength  UTF-16 units of a text value with its NUL, bytes of a binary one
//   +4  u16  wType         1 text, 0 binary
//   +6       key           UTF-16, NUL-terminated; then padding to a 4-byte boundary
//            value         then padding to a 4-byte boundary
//            children      nodes, each at a 4-byte boundary, up to wLength
// The root "VS_VERSION_INFO" holds VS_FIXEDFILEINFO (52 bytes: signature 0xFEEF04BD at +0,
// file version at +8 and +12, product version at +16 and +20, each as two u32 of two u16,
// most significant first); below "StringFileInfo" each string table holds the "FileVersion"
// and "ProductVersion" texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A release version: its four numbers (0 to 65,535, unused ones 0) and its text ("2.5.1").
struct ReleaseVersion {
  std::uint16_t parts[4] = {};
  std::u16string text;
};

// Reads "X.Y.Z" or "X.Y.Z.W" (decimal numbers of 0 to 65,535 without signs or blanks).
// False when the text is anything else.
bool ParseReleaseVersion(std::string_view text, ReleaseVersion* version);

// The version a resource states: the "ProductVersion" text of its first string table and
// the fixed product version's numbers. False (with `version` unchanged) when the bytes are
// no version resource or either is missing.
bool ReadVersionResource(const std::uint8_t* data, std::size_t size, ReleaseVersion* version);

// `resource` with `version` as its fixed file and product versions and as every string
// table's "FileVersion" and "ProductVersion" texts; every other node is kept. False, with
// `out` empty, when the bytes are no version resource or the texts would make it longer
// than its 16-bit lengths can say.
bool SetVersionResource(const std::vector<std::uint8_t>& resource,
                        const ReleaseVersion& version,
                        std::vector<std::uint8_t>* out);
