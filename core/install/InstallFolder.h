// The rules an install folder must meet, whoever names it. The folder is absolute and ends
// with '\'; every path an installation writes is the folder followed by a relative path
// (a payload file's, or one of the installer's own: uninstall.exe, uninstall.ini,
// RudodeData\Spread.ini), and each must fit in 259 UTF-16 code units. The registration
// command runs through cmd /c, where "%NAME%" expands even inside quotes, so a folder
// with '%' is refused rather than written into that command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

enum class FolderVerdict {
  kOk,
  kTooLong,  // a path below it would pass 259 units
  kPercent,  // '%' would expand inside the registration command
};

// Longest folder (its trailing '\' included) that leaves room for a relative path of
// `longestRelativePath` units and for the installer's own files.
std::size_t MaxInstallFolderUnits(std::size_t longestRelativePath);

// `folder` ends with '\'; `longestRelativePath` is the package's longest path.
FolderVerdict CheckInstallFolder(std::u16string_view folder, std::size_t longestRelativePath);

// What an upgrade adds to the name of a package file that it writes beside the installed
// file of that name, which its user changed and which stays as it is.
inline constexpr std::u16string_view kBesideSuffix = u".new";

// What an installation writes below the install folder besides the package's files, as
// paths relative to it: uninstall.exe, uninstall.ini, RudodeData\Spread.ini, and the
// folders uninstall.kept (the files that were there before) and uninstall.old (an upgrade's
// earlier files and its journal). A package file at one of these paths or below one, or a
// file where one of them needs a folder, cannot be installed; Windows compares the names
// without letter case.
std::span<const std::u16string_view> InstallationOwnPaths();
