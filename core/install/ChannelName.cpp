#include "core/install/ChannelName.h"

#include <algorithm>

namespace {

// Takes a non-empty run of characters other than `stop`; false when the run is empty.
bool TakeRun(std::u16string_view& text, char16_t stop, std::u16string* out) {
  const std::size_t end = std::min(text.find(stop), text.size());
  if (end == 0)
    return false;
  if (out != nullptr) {
    std::size_t kept = std::min(end, kChannelFieldUnits);
    // A cut between the two halves of a surrogate pair drops the whole character.
    if (kept < end && kept > 0 && text[kept - 1] >= 0xD800 && text[kept - 1] <= 0xDBFF)
      --kept;
    *out = std::u16string(text.substr(0, kept));
  }
  text.remove_prefix(end);
  return true;
}

bool TakeChar(std::u16string_view& text, char16_t c) {
  if (text.empty() || text.front() != c)
    return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

ChannelFields ParseChannelName(std::u16string_view programName) {
  ChannelFields fields;
  std::u16string_view text = programName;
  if (TakeRun(text, u'_', nullptr) && TakeChar(text, u'_') &&
      TakeRun(text, u'_', &fields.platform) && TakeChar(text, u'_')) {
    TakeRun(text, u'.', &fields.detail);
  }
  return fields;
}
