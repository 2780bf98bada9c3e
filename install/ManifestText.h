// The text of "uninstall.ini", the list of what an installation wrote, which the
// uninstaller reads back as a profile file:
//
//   [InstallFileInfo]\r\n
//   FILE0=RudodeData\Spread.ini\r\n        the installed-file list, in the order written
//   FILE1=<relative path>\r\n
//   ...
//   [InstallDirectoryInfo]\r\n
//   DIRECTORY0=<relative folder>\r\n       every folder of a listed file, deepest first
//   ...
//
// Lines are built here as UTF-16; the writer converts them to the system's ANSI code page.
// Numbers are contiguous from 0 in each list: the uninstaller stops at the first gap.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "product/Product.h"

inline constexpr std::u16string_view kManifestFileHeader = u"[InstallFileInfo]\r\n";
inline constexpr std::u16string_view kManifestFolderHeader = u"[InstallDirectoryInfo]\r\n";
inline constexpr auto kChannelFileUnits = product::ToUtf16(product::kChannelFile);
inline constexpr std::u16string_view kChannelFilePath = product::View(kChannelFileUnits);

// "FILE<n>=<path>\r\n" and "DIRECTORY<n>=<path>\r\n".
std::u16string ManifestFileLine(std::size_t number, std::u16string_view path);
std::u16string ManifestFolderLine(std::size_t number, std::u16string_view path);

// Every folder that holds one of `files` (relative paths), at any depth, once each, in the
// order they are listed: sorted by UTF-16 code units, then reversed, so every folder comes
// before the folders that contain it. Top-level files add nothing.
std::vector<std::u16string> ManifestFolders(const std::vector<std::u16string>& files);

// The lines written after registration: the file lines, the folder header and the folder
// lines, in order.
std::vector<std::u16string> ManifestListLines(const std::vector<std::u16string>& files);
