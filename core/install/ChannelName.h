// The distribution channel carried in the installer's own file name, as in
// "D:\Downloads\setup_portal_77.exe": the text is scanned like sscanf's
// "%[^_]_%[^_]_%[^.]" - everything before the first '_' (folder included), then the
// platform up to the next '_', then the detail up to the next '.' or the end. A piece that
// cannot be matched (an empty run, or a missing '_') ends the scan, leaving the rest empty.
#pragma once

#include <string>
#include <string_view>

// UTF-16 code units kept of each field; longer values are cut there, or one unit earlier
// where the cut would split a surrogate pair.
inline constexpr std::size_t kChannelFieldUnits = 31;

struct ChannelFields {
  std::u16string platform;  // "SpreadPlat"
  std::u16string detail;    // "SubDetailInfo"
};

ChannelFields ParseChannelName(std::u16string_view programName);
