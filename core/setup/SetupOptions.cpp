#include "core/setup/SetupOptions.h"

#include "core/text/AsciiCase.h"

namespace {

bool Blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// Whether `text` begins with `prefix` (upper case ASCII), in any letter case.
bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiUpper(text[i]) != prefix[i])
      return false;
  }
  return true;
}

bool Is(std::u16string_view text, std::u16string_view name) {
  return text.size() == name.size() && StartsWith(text, name);
}

// The folder of "/D=...": the rest of the line from the switch on, without the blanks at its
// end and without the quotes that may stand around the switch or its value.
std::u16string FolderFrom(std::u16string_view rest) {
  bool quoted = false;
  if (!rest.empty() && rest.front() == u'"') {
    quoted = true;
    rest.remove_prefix(1);
  }
  rest.remove_prefix(3);  // "/D="
  while (!rest.empty() && Blank(rest.back()))
    rest.remove_suffix(1);
  if (!rest.empty() && rest.front() == u'"') {
    quoted = true;
    rest.remove_prefix(1);
  }
  if (quoted && !rest.empty() && rest.back() == u'"')
    rest.remove_suffix(1);
  return std::u16string(rest);
}

}  // namespace

std::u16string_view ExitMeaning(SetupExit code) {
  switch (code) {
    case SetupExit::kInstalled:
      return u"installed";
    case SetupExit::kCancelled:
      return u"cancelled by the user";
    case SetupExit::kUsage:
      return u"usage";
    case SetupExit::kIntegrityFailed:
      return u"the integrity check failed";
    case SetupExit::kAlreadyRunning:
      return u"another installer is running";
    case SetupExit::kFolderRefused:
      return u"the install folder was refused";
    case SetupExit::kNotEnoughSpace:
      return u"not enough space";
    case SetupExit::kWriteFailed:
      return u"a file could not be written";
    case SetupExit::kRegistrationFailed:
      return u"the component's registration failed";
    case SetupExit::kPackageUnreadable:
      return u"the package is unreadable";
    case SetupExit::kClientNotEnded:
      return u"the running client could not be ended";
    case SetupExit::kSystemUnsupported:
      return u"the system cannot keep DLL loading to its own folder";
    case SetupExit::kPreviousNotRemoved:
      return u"the earlier installation could not be removed whole";
    case SetupExit::kApplicationsOpen:
      return u"programs use the installation and may not be closed";
    case SetupExit::kRestartRequired:
      return u"installed; a restart completes it";
    case SetupExit::kFatal:
      return u"a fatal error";
  }
  return u"unknown";
}

std::vector<CommandArgument> SplitCommandLine(std::u16string_view line) {
  std::vector<CommandArgument> arguments;
  std::size_t i = 0;
  const std::size_t n = line.size();
  CommandArgument program;
  if (n > 0 && line[0] == u'"') {
    for (i = 1; i < n && line[i] != u'"'; ++i)
      program.text += line[i];
    if (i < n)
      ++i;
  } else {
    for (; i < n && !Blank(line[i]); ++i)
      program.text += line[i];
  }
  arguments.push_back(std::move(program));
  for (;;) {
    while (i < n && Blank(line[i]))
      ++i;
    if (i >= n)
      break;
    CommandArgument argument;
    argument.start = i;
    std::u16string& text = argument.text;
    int quotes = 0;  // 1 inside a quoted part
    std::size_t backslashes = 0;
    while (i < n && !(Blank(line[i]) && quotes == 0)) {
      const char16_t c = line[i++];
      if (c == u'\\') {
        text += c;
        ++backslashes;
        continue;
      }
      if (c != u'"') {
        text += c;
        backslashes = 0;
        continue;
      }
      // Half of the backslashes before a quote stay; an odd one makes the quote a letter.
      text.resize(text.size() - backslashes / 2);
      if (backslashes % 2 == 1) {
        text.back() = u'"';
      } else {
        ++quotes;
      }
      backslashes = 0;
      // A run of quotes: each third one is a letter.
      for (; i < n && line[i] == u'"'; ++i) {
        if (++quotes == 3) {
          text += u'"';
          quotes = 0;
        }
      }
      if (quotes == 2)
        quotes = 0;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

bool IsAbsoluteFolder(std::u16string_view folder) {
  for (std::size_t i = 0; i < folder.size(); ++i) {
    const char16_t c = folder[i];
    if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*')
      return false;
    if (c == u':' && i != 1)
      return false;
  }
  const auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (folder.size() >= 3 && AsciiUpper(folder[0]) >= u'A' && AsciiUpper(folder[0]) <= u'Z' &&
      folder[1] == u':' && separator(folder[2])) {
    return true;
  }
  // "\\server\share": a server name and a share name, each at least one letter.
  if (folder.size() < 5 || !separator(folder[0]) || !separator(folder[1]) || separator(folder[2]))
    return false;
  const std::size_t share = folder.find_first_of(u"\\/", 2);
  return share != std::u16string_view::npos && share + 1 < folder.size() &&
         !separator(folder[share + 1]);
}

SetupOptions ParseSetupOptions(std::u16string_view line) {
  SetupOptions options;
  const std::vector<CommandArgument> arguments = SplitCommandLine(line);
  // The first refusal is kept, and the rest still read: a /S or /LOG= after a bad switch
  // still decides where its message goes.
  const auto refuse = [&options](SwitchError error, std::u16string_view argument) {
    if (options.error == SwitchError::kNone) {
      options.error = error;
      options.offending = std::u16string(argument);
    }
  };
  for (std::size_t a = 1; a < arguments.size(); ++a) {
    const std::u16string& text = arguments[a].text;
    if (StartsWith(text, u"/D=")) {
      const std::u16string_view rest = line.substr(arguments[a].start);
      options.folder = FolderFrom(rest);
      if (!IsAbsoluteFolder(options.folder))
        refuse(SwitchError::kBadFolder, rest);
      break;  // the rest of the line was the folder
    }
    if (StartsWith(text, u"/LOG=")) {
      options.log = text.substr(5);
      if (options.log.empty())
        refuse(SwitchError::kBadLog, text);
    } else if (Is(text, u"/S") || Is(text, u"/VERYSILENT")) {
      options.silent = true;
    } else if (Is(text, u"/SILENT") || Is(text, u"/PASSIVE")) {
      options.passive = true;
    } else if (Is(text, u"/SUPPRESSMSGBOXES")) {
      options.noBoxes = true;
    } else if (Is(text, u"/NORESTART")) {
      // nothing to do: no restart ever
    } else if (Is(text, u"/NORUN")) {
      options.noRun = true;
    } else if (Is(text, u"/NOSHORTCUTS")) {
      options.noShortcuts = true;
    } else if (Is(text, u"/STARTUP")) {
      options.startup = true;
    } else if (Is(text, u"/NOCLOSEAPPLICATIONS")) {
      options.noCloseApplications = true;
    } else if (text == u"/?") {
      options.help = true;
    } else {
      refuse(SwitchError::kUnknown, text);
    }
  }
  return options;
}
