// A body part's text read through the stream object, in its character set.
#include "detector/PartText_un.h"

#include "automation/stream/AdoStream_un.h"

#include <gtest/gtest.h>

#include <string>

using bw::NewTextStream;
using bw::ReadStreamText;
using bw::TAutoValue;
using bw::TSharedBytes;

TEST(PartTextTest, NoStreamReadsAsEmptyText) {
  EXPECT_EQ(ReadStreamText(TAutoValue()), u"");
  EXPECT_EQ(ReadStreamText(TAutoValue::Null()), u"");
}

TEST(PartTextTest, WholeTextComesBackInTheStreamsCharset) {
  const struct {
    std::string Bytes;
    std::u16string Charset;
    std::u16string Text;
  } Cases[] = {
      {"Message-ID: <\xC3\xBC\xE2\x82\xAC@x>", u"utf-8", u"Message-ID: <\u00FC\u20AC@x>"},
      {"\xE9t\xE9", u"ISO-8859-1", u"\u00E9t\u00E9"},
      {"+ADw-a+AD4-", u"utf-7", u"<a>"},
      {"+ADw-a+AD4-", u"unicode-1-1-utf-7", u"<a>"},
      {"Message-ID: +ADw-caf+AOk-+AEA-x+AD4-", u"Unicode-1-1-UTF-7", u"Message-ID: <caf\u00E9@x>"},
      {"", u"utf-8", u""},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", u"utf-8", u"\U0001F600\U0001F600"},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(ReadStreamText(NewTextStream(TSharedBytes(std::string(Case.Bytes)), Case.Charset)), Case.Text)
        << Case.Bytes;
}
