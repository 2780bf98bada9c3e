// The text of "uninstall.ini", the list of what an installation wrote, which the
// uninstaller reads back as a profile file:
//
//   [InstallFileInfo]\r\n
//   FILE0=RudodeData\Spread.ini\r\n        the installed-file list, in the order written
//   FILE1=<relative path>\r\n
//   KEPT0=<relative path>\r\n              a file that was there before and that the
//   FILE2=<the same path>\r\n               package replaces: kept as uninstall.kept\0
//   ...
//   [InstallDirectoryInfo]\r\n
//   DIRECTORY0=<relative folder>\r\n       every folder of a listed file, deepest first
//   ...
//
// The file is a journal: the header is written when the file is made, and each file's line
// before that file is created, so an installation that ends abruptly (a killed process)
// leaves a list of everything it may have written. A file that was in the folder before is
// never deleted: its KEPT line is written before it is moved to the kept folder, and both
// before the FILE line of the file that replaces it, so a removal finds it there and puts
// it back. The folder header and lines follow the last file line once the run is over; a
// manifest without them is one whose run never ended, and its folders are those of its
// files.
//
// Lines are built here as UTF-16; the writer converts them to the system's ANSI code page.
// Numbers are contiguous from 0 in each list: the uninstaller stops at the first gap.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/install/PathList.h"
#include "core/product/Product.h"

inline constexpr std::u16string_view kManifestFileHeader = u"[InstallFileInfo]\r\n";
inline constexpr std::u16string_view kManifestFolderHeader = u"[InstallDirectoryInfo]\r\n";
inline constexpr auto kChannelFileUnits = product::ToUtf16(product::kChannelFile);
inline constexpr std::u16string_view kChannelFilePath = product::View(kChannelFileUnits);
inline constexpr auto kKeptFolderUnits = product::ToUtf16(product::kKeptFolder);
inline constexpr std::u16string_view kKeptFolderName = product::View(kKeptFolderUnits);

// "FILE<n>=<path>\r\n", "KEPT<n>=<path>\r\n" and "DIRECTORY<n>=<path>\r\n".
std::u16string ManifestFileLine(std::size_t number, std::u16string_view path);
std::u16string ManifestKeptLine(std::size_t number, std::u16string_view path);
std::u16string ManifestFolderLine(std::size_t number, std::u16string_view path);

// A file that was in the install folder before the run and that the package replaces: its
// relative path, and where it is kept meanwhile ("uninstall.kept\<n>", relative too).
struct KeptFile {
  std::u16string path;
  std::u16string kept;
};
// Where the file of line KEPT<n> is kept.
std::u16string KeptFilePath(std::size_t number);

// Whether `path` (relative) is the component's file: at the top, its name compared as
// Windows compares file names (it is ASCII, where that is letter case alone).
bool IsComponentPath(std::u16string_view path);

// Every folder that holds one of `files` (relative paths), at any depth, once each, in the
// order they are listed: sorted by UTF-16 code units, then reversed, so every folder comes
// before the folders that contain it. Top-level files add nothing.
std::vector<std::u16string> ManifestFolders(const std::vector<std::u16string>& files);
std::vector<std::u16string> ManifestFolders(const PathList& files);

// The lines written after registration: the folder header and the folder lines of `files`.
std::vector<std::u16string> ManifestFolderList(const PathList& files);

// What an empty value does to a list: the file lists' numbers name places (KEPT<n> is
// uninstall.kept\<n>), so an empty one ends them as a missing one does; the folder list is
// an order only, and an empty entry in it is passed over.
enum class EmptyValue { kEndsTheList, kSkipped };

// The uninstaller's reading of the manifest. `section` is one section as the profile call
// returns it ("KEY=VALUE" strings, each ended by a NUL). The values of <prefix>0,
// <prefix>1, ... as the profile call finds each key - letter case ignored, the first of
// equal keys, blanks around key and value trimmed, a value's enclosing quotes removed - up
// to the first number missing, and the first empty one unless `empty` skips it. Reads the
// section once, so a list of any length costs time in proportion to its size.
std::vector<std::string> NumberedValues(std::string_view section,
                                        std::string_view prefix,
                                        EmptyValue empty = EmptyValue::kEndsTheList);

// A manifest's lists as the profile calls read them back (win/install/ManifestFile).
struct ManifestLists {
  std::vector<std::u16string> files;    // FILE<n>
  std::vector<std::u16string> kept;     // KEPT<n>
  std::vector<std::u16string> folders;  // DIRECTORY<n>
  // Values that are no text in the code page, as they stand: no list names them.
  std::vector<std::string> unreadable;
};

// What a removal acts on, from the manifest's lists (already in UTF-16). An entry that breaks
// a package path rule or is longer than `maxPathUnits` (absolute, a drive, a stream,
// "..", a device name, ...) is refused: it is never touched. The folders are those listed;
// when the folder list is missing, every folder of an accepted file, in ManifestFolders'
// order. `kept` is the KEPT list: each accepted entry is put back from its KeptFilePath
// once the files are gone.
struct RemovalPlan {
  std::vector<std::u16string> files;    // in the manifest's order
  std::vector<std::u16string> folders;  // each before the folders that contain it
  std::vector<KeptFile> kept;
  std::vector<std::u16string> refused;
};
RemovalPlan PlanRemoval(const std::vector<std::u16string>& files,
                        const std::vector<std::u16string>& folders,
                        const std::vector<std::u16string>& kept,
                        std::size_t maxPathUnits);
