// The resource section of a PE image, read whole and written anew: how the packager puts a
// payload into a prebuilt installer stub with neither compiler nor linker. The reader
// beside it (PeImage.h) finds single resources; this module lists them all, and writes an
// image whose resource section holds a given list.
//
// The section written, offsets from its start (which is the resource directory's address):
//   directories    the root, then each type's name level, then each name's language level,
//                  breadth first: 16 bytes (all zero but the two entry counts), then 8-byte
//                  entries - named ones first, ordered by their upper-case code units as the
//                  loader's binary search expects, then ids in ascending order
//   data entries   16 bytes each, in directory order: address, size, code page, 0
//   names          u16 length and UTF-16 units, each name once, in order of first use
//   data           each resource's bytes, in directory order, each at an 8-byte boundary
//
// The image around it: the resource section keeps its address and grows or shrinks; the
// sections after it may only be base relocations (which nothing but data directory 5
// addresses, and which relocate nothing at or after the resources), and move by whole
// section-alignment units in memory and file-alignment units in the file. SizeOfImage,
// SizeOfInitializedData, data directories 2 and 5 and the section table follow. The header
// checksum is written as 0: the installer's stamp requires it (InstallerDigest.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/integrity/PeImage.h"

// A resource type or name: a number, or a name when `text` is not empty.
struct ResourceName {
  std::uint32_t id = 0;
  std::u16string text;
  bool operator==(const ResourceName&) const = default;
};

struct Resource {
  ResourceName type;
  ResourceName name;
  std::uint32_t language = 0;
  std::uint32_t codePage = 0;
  std::vector<std::uint8_t> data;
};

// Every resource of a parsed `image`, in directory order. kOk (an image without a
// resource directory has none), or why not: a directory that is not three levels deep, an
// entry, name or data outside the sections, more than 65,536 resources or more than
// 104,857,600 bytes of data in all. `resources` is empty after an error.
PeStatus ReadResources(const PeImage& image, std::vector<Resource>* resources);

// Replaces the resource of the same type, name and language in `resources`, or adds it.
void SetResource(std::vector<Resource>* resources, Resource resource);

// Writes into `out` the parsed `image` with a resource section that holds `resources`
// (in the order above, whatever their order in the list). kOk, or why it cannot be done,
// with `out` empty: kResourcesNotAlone (the directory does not start a section of its own
// with whole file-alignment units, or something other than base relocations follows it),
// kSigned, kAppendedData, kFileTooLarge (the image would reach 104,857,600 bytes).
PeStatus WriteResourceSection(const PeImage& image,
                              const std::vector<Resource>& resources,
                              std::vector<std::uint8_t>* out);
