// Sizes and flags of the PE structures both the reader and the resource section writer
// walk: the resource directory's tables, entries and data entries, and the section table.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kPeHighBit = 0x80000000u;  // an entry's name or subdirectory
inline constexpr std::uint32_t kPeDirectoryBytes = 16;    // IMAGE_RESOURCE_DIRECTORY
inline constexpr std::uint32_t kPeEntryBytes = 8;         // IMAGE_RESOURCE_DIRECTORY_ENTRY
inline constexpr std::uint32_t kPeDataEntryBytes = 16;    // IMAGE_RESOURCE_DATA_ENTRY
inline constexpr std::uint32_t kPeSectionBytes = 40;      // IMAGE_SECTION_HEADER
