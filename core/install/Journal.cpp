#include "core/install/Journal.h"

#include <algorithm>

#include "core/package/PayloadPackage.h"
#include "core/package/Utf8.h"
#include "core/text/NumberText.h"

namespace {

std::string Tagged(std::string_view tag, std::u16string_view value) {
  std::string line(tag);
  line += ' ';
  line += Utf16ToUtf8(value);
  line += "\r\n";
  return line;
}

constexpr char kHex[] = "0123456789abcdef";

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

bool FromHex(std::string_view text, std::vector<std::uint8_t>* bytes) {
  if (text.size() % 2 != 0)
    return false;
  const auto digit = [](char c) -> int {
    const char* at = std::find(kHex, kHex + 16, c);
    return at == kHex + 16 ? -1 : static_cast<int>(at - kHex);
  };
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0)
      return false;
    bytes->push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

bool RelativePath(std::string_view text, std::u16string* path) {
  return Utf8ToUtf16(text, path) &&
         CheckRelativePath(*path, kMaxFullPathUnits) == PackageFault::kNone;
}

// An absolute folder as the journal names one: "X:\...\" or "\\server\share\...\".
bool Folder(std::string_view text, std::u16string* folder) {
  return Utf8ToUtf16(text, folder) && folder->size() >= 3 && folder->back() == u'\\' &&
         folder->size() <= kMaxFullPathUnits &&
         ((*folder)[1] == u':' || folder->compare(0, 2, u"\\\\") == 0);
}

bool ParseValue(std::string_view text, EntryValue* value) {
  const std::size_t space = text.find(' ');
  const std::size_t equals = text.find('=');
  if (space == std::string_view::npos || equals == std::string_view::npos || equals < space)
    return false;
  const std::string_view kind = text.substr(0, space);
  const std::string_view data = text.substr(equals + 1);
  if (!Utf8ToUtf16(text.substr(space + 1, equals - space - 1), &value->name) ||
      value->name.empty()) {
    return false;
  }
  if (kind == "text") {
    value->kind = EntryValue::Kind::kText;
    return Utf8ToUtf16(data, &value->text);
  }
  if (kind == "number") {
    value->kind = EntryValue::Kind::kNumber;
    if (data.empty() || data.size() > 10 || data.find_first_not_of("0123456789") != data.npos)
      return false;
    std::uint64_t n = 0;
    for (const char c : data)
      n = n * 10 + static_cast<std::uint64_t>(c - '0');
    value->number = static_cast<std::uint32_t>(n);
    return n <= 0xffffffffu;
  }
  if (kind == "bytes") {
    value->kind = EntryValue::Kind::kBytes;
    return FromHex(data, &value->bytes);
  }
  value->kind = EntryValue::Kind::kAbsent;
  return kind == "absent" && data.empty();
}

}  // namespace

std::string JournalText(const Journal& journal) {
  std::string text = "*journal 2\r\n" + Tagged("*target", journal.target);
  if (!journal.made.empty())
    text += Tagged("*made", journal.made);
  if (!journal.earlierMade.empty())
    text += Tagged("*earlier-made", journal.earlierMade);
  if (journal.component)
    text += "*component\r\n";
  for (const std::u16string& file : journal.changed)
    text += Tagged("*changed", file);
  text += "*carried " + DecimalText<char>(journal.carried) + "\r\n";
  for (const KeptFile& kept : journal.kept) {
    text += Tagged(
        "*kept " + Utf16ToUtf8(std::u16string_view(kept.kept).substr(kKeptFolderName.size() + 1)),
        kept.path);
  }
  for (const std::u16string& folder : journal.folders)
    text += Tagged("*folder", folder);
  for (const std::u16string& file : journal.moved)
    text += Utf16ToUtf8(file) + "\r\n";
  return text;
}

std::string CommitText(const std::vector<EntryValue>& entry) {
  std::string text;
  for (const EntryValue& value : entry) {
    const std::string name = Utf16ToUtf8(value.name) + "=";
    switch (value.kind) {
      case EntryValue::Kind::kText:
        text += "*value text " + name + Utf16ToUtf8(value.text);
        break;
      case EntryValue::Kind::kNumber:
        text += "*value number " + name + DecimalText<char>(value.number);
        break;
      case EntryValue::Kind::kBytes:
        text += "*value bytes " + name + HexText(value.bytes);
        break;
      case EntryValue::Kind::kAbsent:
        text += "*value absent " + name;
        break;
    }
    text += "\r\n";
  }
  return text + "*committed\r\n";
}

bool ParseJournal(std::string_view text, Journal* journal) {
  *journal = Journal{};
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string_view::npos)
      return true;  // a line cut short by a kill is not there
    const std::string_view line = text.substr(at, end - at);
    at = end + 2;
    if (line.empty() || line[0] != '*') {
      std::u16string path;
      if (!RelativePath(line, &path))
        return false;
      journal->moved.push_back(std::move(path));
      continue;
    }
    const std::size_t space = line.find(' ');
    const std::string_view tag = line.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    std::u16string path;
    std::size_t number = 0;
    bool ok = true;
    if (tag == "*journal") {
      ok = journal->described = rest == "2";
    } else if (tag == "*target") {
      ok = Folder(rest, &journal->target);
    } else if (tag == "*made") {
      ok = Folder(rest, &journal->made);
    } else if (tag == "*earlier-made") {
      ok = Folder(rest, &journal->earlierMade);
    } else if (tag == "*component") {
      journal->component = true;
    } else if (tag == "*changed" || tag == "*folder") {
      ok = RelativePath(rest, &path);
      (tag == "*changed" ? journal->changed : journal->folders).push_back(path);
    } else if (tag == "*carried") {
      ok = ParseDecimal(rest, 9, &journal->carried);
    } else if (tag == "*kept") {
      const std::size_t cut = rest.find(' ');
      ok = cut != std::string_view::npos && ParseDecimal(rest.substr(0, cut), 9, &number) &&
           RelativePath(rest.substr(cut + 1), &path);
      journal->kept.push_back({path, KeptFilePath(number)});
    } else if (tag == "*begun" || tag == "*removed" || tag == "*committed") {
      ok = rest.empty();
      (tag == "*begun"     ? journal->begun
       : tag == "*removed" ? journal->removed
                           : journal->committed) = true;
    } else if (tag == "*value") {
      EntryValue value;
      ok = ParseValue(rest, &value);
      journal->entry.push_back(std::move(value));
    } else {
      ok = false;  // a newer installer's: what it means is not known here
    }
    if (!ok)
      return false;
  }
}
