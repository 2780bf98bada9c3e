// The licence agreement as the wizard shows it: the agreement is an HTML page whose body is
// one <pre> block holding a bold heading and the clauses. This turns that page into runs of
// plain text, bold or not, for a read-only rich-edit view: tags are dropped (<b> and
// <strong> switch bold on and off), entities are decoded, and the pre block's line breaks
// are kept.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct TextRun {
  std::u16string text;
  bool bold = false;
};

// The runs of the first <pre> block, or of the whole body when there is none. Unknown
// entities stay as written.
std::vector<TextRun> ParseAgreementHtml(std::u16string_view html);
