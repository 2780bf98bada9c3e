// The agreement page becomes the text the wizard shows: the pre block only, bold where the
// page says so, entities decoded, line breaks kept, tags gone.
#include <gtest/gtest.h>

#include "installer/wizard/AgreementText.h"

namespace {

TEST(AgreementText, PreBlockWithBoldHeadingAndEntities) {
  const std::u16string html =
      u"<html><head><style>pre{color:#000}</style></head><body>"
      u"<PRE class=\"x\"><b>许可协议</b>\r\n1.1 条款 &lt;一&gt; &amp; "
      u"&quot;二&quot;&#x4E09;&#22235;&nbsp;"
      u"<STRONG>强</strong>尾</pre><p>ignored</p></body></html>";
  const std::vector<TextRun> runs = ParseAgreementHtml(html);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_TRUE(runs[0].bold);
  EXPECT_EQ(runs[0].text, u"许可协议");
  EXPECT_FALSE(runs[1].bold);
  EXPECT_EQ(runs[1].text, u"\n1.1 条款 <一> & \"二\"三四\u00a0");
  EXPECT_TRUE(runs[2].bold);
  EXPECT_EQ(runs[2].text, u"强");
  EXPECT_EQ(runs[3].text, u"尾");
}

TEST(AgreementText, HostileAndPlainInput) {
  // No pre block: the body. Broken tags and entities neither crash nor loop.
  EXPECT_EQ(ParseAgreementHtml(u"<body>a&unknown;b<br>c</body>")[0].text, u"a&unknown;b\nc");
  // A number past U+10FFFF is no reference and stays; a lone surrogate is dropped.
  EXPECT_EQ(ParseAgreementHtml(u"<pre>x &#99999999; &#xD800; y").front().text, u"x &#99999999;  y");
  EXPECT_EQ(ParseAgreementHtml(u"<pre>unclosed <b").front().text, u"unclosed ");
  EXPECT_EQ(ParseAgreementHtml(u"").size(), 1u);
}

}  // namespace
