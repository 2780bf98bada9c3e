#include "installer/wizard/AgreementText.h"

#include <cstdint>

namespace {

char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

// Position of `needle` in `text` from `from`, ASCII letters compared without case.
std::size_t FindNoCase(std::u16string_view text, std::u16string_view needle, std::size_t from) {
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && Lower(text[i + k]) == needle[k])
      ++k;
    if (k == needle.size())
      return i;
  }
  return std::u16string_view::npos;
}

void AppendCodePoint(std::u16string* out, std::uint32_t c) {
  if (c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    *out += static_cast<char16_t>(0xD800 + (c >> 10));
    *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  } else if (c > 0 && c < 0x10000 && (c < 0xD800 || c > 0xDFFF)) {
    *out += static_cast<char16_t>(c);
  }
}

// Decodes the entity at text[i] ('&'); returns the characters it took, 0 when it is none.
std::size_t DecodeEntity(std::u16string_view text, std::size_t i, std::u16string* out) {
  const std::size_t end = text.find(u';', i);
  if (end == std::u16string_view::npos || end - i > 10)
    return 0;
  const std::u16string_view name = text.substr(i + 1, end - i - 1);
  struct Named {
    std::u16string_view name;
    char16_t value;
  };
  static constexpr Named kNamed[] = {{u"lt", u'<'},        {u"gt", u'>'},      {u"amp", u'&'},
                                     {u"quot", u'"'},      {u"apos", u'\''},   {u"nbsp", u'\u00a0'},
                                     {u"copy", u'\u00a9'}, {u"reg", u'\u00ae'}};
  for (const Named& n : kNamed) {
    if (name == n.name) {
      *out += n.value;
      return end - i + 1;
    }
  }
  if (name.size() >= 2 && name[0] == u'#') {
    const bool hex = name[1] == u'x' || name[1] == u'X';
    std::uint32_t value = 0;
    for (std::size_t k = hex ? 2 : 1; k < name.size(); ++k) {
      const char16_t c = Lower(name[k]);
      const int digit = c >= u'0' && c <= u'9'          ? c - u'0'
                        : hex && c >= u'a' && c <= u'f' ? c - u'a' + 10
                                                        : -1;
      if (digit < 0 || value > 0x10FFFF)
        return 0;
      value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
    }
    AppendCodePoint(out, value);
    return end - i + 1;
  }
  return 0;
}

}  // namespace

std::vector<TextRun> ParseAgreementHtml(std::u16string_view html) {
  std::size_t begin = FindNoCase(html, u"<pre", 0);
  std::size_t end = std::u16string_view::npos;
  if (begin != std::u16string_view::npos) {
    begin = html.find(u'>', begin);
    begin = begin == std::u16string_view::npos ? html.size() : begin + 1;
    end = FindNoCase(html, u"</pre", begin);
  } else {
    begin = FindNoCase(html, u"<body", 0);
    begin = begin == std::u16string_view::npos ? 0 : html.find(u'>', begin) + 1;
    end = FindNoCase(html, u"</body", begin);
  }
  const std::u16string_view body =
      html.substr(begin, end == std::u16string_view::npos ? html.npos : end - begin);

  std::vector<TextRun> runs(1);
  bool bold = false;
  for (std::size_t i = 0; i < body.size();) {
    if (body[i] == u'<') {
      const std::size_t close = body.find(u'>', i);
      if (close == std::u16string_view::npos)
        break;
      std::u16string tag;
      for (std::size_t k = i + 1; k < close && body[k] != u' '; ++k)
        tag += Lower(body[k]);
      const bool opens = tag == u"b" || tag == u"strong";
      const bool closes = tag == u"/b" || tag == u"/strong";
      if ((opens && !bold) || (closes && bold)) {
        bold = opens;
        if (!runs.back().text.empty())
          runs.emplace_back();
        runs.back().bold = bold;
      } else if (tag == u"br" || tag == u"br/") {
        runs.back().text += u'\n';
      }
      i = close + 1;
      continue;
    }
    if (body[i] == u'&') {
      const std::size_t taken = DecodeEntity(body, i, &runs.back().text);
      if (taken > 0) {
        i += taken;
        continue;
      }
    }
    if (body[i] != u'\r')
      runs.back().text += body[i];
    ++i;
  }
  if (runs.back().text.empty() && runs.size() > 1)
    runs.pop_back();
  return runs;
}
