// Fuzz target for the installer's command line (the input is the line in UTF-8): every
// argument the split records starts inside the line and is given back alone by a split of
// its own raw text; /D= takes the raw rest of the line, less its quotes and trailing blanks;
// switches read the same in any letter case, and reading a line twice gives the same result.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/package/Utf8.h"
#include "core/setup/SetupOptions.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

bool Blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

std::u16string AsciiLower(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower;
}

bool IsFolderSwitch(std::u16string_view text) {
  return text.size() >= 3 && text[0] == u'/' && (text[1] == u'D' || text[1] == u'd') &&
         text[2] == u'=';
}

bool Same(const SetupOptions& a, const SetupOptions& b) {
  return a.silent == b.silent && a.help == b.help && a.noRun == b.noRun &&
         a.noShortcuts == b.noShortcuts && a.startup == b.startup && a.folder == b.folder &&
         a.log == b.log && a.error == b.error && a.offending == b.offending;
}

// `folder` is `rest` without its leading "/D=" (with a quote before or after it) and
// without the blanks and the one closing quote at its end.
bool IsRawRest(std::u16string_view rest, std::u16string_view folder) {
  for (std::size_t skip = 3; skip <= 5 && skip <= rest.size(); ++skip) {
    if (rest.substr(skip, folder.size()) != folder)
      continue;
    std::u16string_view tail = rest.substr(skip + folder.size());
    if (!tail.empty() && tail.front() == u'"')
      tail.remove_prefix(1);
    else if (!folder.empty() && Blank(folder.back()))
      continue;  // blanks at the end stay only inside the quotes
    bool blanks = true;
    for (const char16_t c : tail)
      blanks = blanks && Blank(c);
    if (blanks)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string line;
  if (!Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size), &line))
    return 0;

  const std::vector<CommandArgument> arguments = SplitCommandLine(line);
  Check(!arguments.empty() && arguments[0].start == 0);
  for (std::size_t a = 1; a < arguments.size(); ++a) {
    const CommandArgument& argument = arguments[a];
    Check(argument.start < line.size() && !Blank(line[argument.start]));
    Check(argument.start > arguments[a - 1].start);
    const std::size_t end = a + 1 < arguments.size() ? arguments[a + 1].start : line.size();
    const std::u16string_view raw =
        std::u16string_view(line).substr(argument.start, end - argument.start);
    Check(argument.text.size() <= raw.size());
    // An argument's raw text, split alone, gives exactly that argument.
    const std::vector<CommandArgument> again = SplitCommandLine(u"p " + std::u16string(raw));
    Check(again.size() == 2 && again[1].start == 2 && again[1].text == argument.text);
  }

  const SetupOptions options = ParseSetupOptions(line);
  Check(Same(options, ParseSetupOptions(line)));

  std::size_t folderArgument = 0;
  for (std::size_t a = 1; a < arguments.size() && folderArgument == 0; ++a) {
    if (IsFolderSwitch(arguments[a].text))
      folderArgument = a;
  }
  if (folderArgument == 0) {
    Check(options.folder.empty() && options.error != SwitchError::kBadFolder);
  } else {
    const std::u16string_view rest =
        std::u16string_view(line).substr(arguments[folderArgument].start);
    Check(IsRawRest(rest, options.folder));
    // /D= is read last: a refused folder is the first refusal unless another came before.
    if (options.error == SwitchError::kBadFolder)
      Check(options.offending == rest);
    if (!IsAbsoluteFolder(options.folder))
      Check(options.error != SwitchError::kNone);
  }
  // Letter case changes no switch.
  const SetupOptions lower = ParseSetupOptions(AsciiLower(line));
  Check(lower.silent == options.silent && lower.help == options.help &&
        lower.noRun == options.noRun && lower.noShortcuts == options.noShortcuts &&
        lower.startup == options.startup && lower.error == options.error);
  Check(AsciiLower(lower.folder) == AsciiLower(options.folder));
  return 0;
}
