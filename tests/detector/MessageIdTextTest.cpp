// The Message-ID of a returned part's text: keyword, line, fold and cleaning.
#include "detector/MessageIdText_un.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using bw::CleanMessageID;
using bw::ExtractMessageID;

namespace {
struct TCase {
  std::u16string Text;
  std::optional<std::u16string> ID;
};

void ExpectIDs(std::initializer_list<TCase> ACases) {
  for (const TCase &Case : ACases)
    EXPECT_EQ(ExtractMessageID(Case.Text), Case.ID) << testing::PrintToString(Case.Text);
}
} // namespace

TEST(MessageIdTextTest, RestOfLineAfterFirstKeywordWithOneBlank) {
  ExpectIDs({
      {u"Subject: x\r\nMessage-ID: <ABC.1@Example.COM>\r\nTo: y\r\n", u"abc.1@example.com"},
      {u"MESSAGE-ID: <A@B>", u"a@b"},
      {u"message-id:<a@b>\n", std::nullopt},
      {u"Message-ID:\t<a@b>\n", std::nullopt},
      {u"Message-Id:    <a@b>   \n", u"a@b"},
      {u"X-Message-ID: <x@y>\nMessage-ID: <a@b>\n", u"x@y"},
      {u"Resent-Message-Id: <r@y>\nMessage-ID: <a@b>\n", u"r@y"},
      {u"Message-ID: <a@b>\nMessage-ID: <c@d>\n", u"a@b"},
      {u"we kept the message-id: <body@x> of it\n", u"body@xofit"},
      {u"Message-ID: x", std::nullopt},
      {u"Message-ID: xy", u"xy"},
      {u"Message-ID: \n", std::nullopt},
      {u"Message-ID: <a@b>\rX: y", u"a@b"},
      {u"Message-ID:  < a b >  \n", u"ab"},
      {u"Message-ID: \t<a\tb>\x01\n", u"a\tb"},
      {u"Message-ID: <\u00C4\u0416@X>\n", u"\u00E4\u0436@x"},
      {u"no keyword here\n", std::nullopt},
      {u"", std::nullopt},
  });
}

TEST(MessageIdTextTest, KeywordEndingItsLineTakesTheIndentedNextLine) {
  ExpectIDs({
      {u"Message-ID:\n <a@b>\nX-Message-ID: <c@d>\n", u"a@b"},
      {u"Message-ID:\t \r\n\t<A@B>\r\n", u"a@b"},
      {u"X-Message-ID: <x@y>\nMessage-ID:\n <a@b>\n", u"x@y"},
      // Without the blank and not folded: skipped, and the search goes on.
      {u"Message-ID:<a@b>\nX-Message-ID: <c@d>\n", u"c@d"},
      {u"Message-ID:\nSubject: x\nX-Message-ID: <c@d>\n", u"c@d"},
      {u"Message-ID:\n", std::nullopt},
  });
}

TEST(MessageIdTextTest, BlankValueIsReadFromTheFoldedNextLineOnly) {
  ExpectIDs({
      {u"Message-ID: \n <a@b>\nSubject: x\n", u"a@b"},
      {u"Message-ID: \r\n\t<a@b>\r\n", u"a@b"},
      {u"Message-ID: \r <a@b>\r", u"a@b"},
      {u"Message-ID:   \t\n <a@b>\n <c@d>\n", u"a@b"},
      {u"Message-ID: \n <a@b>", u"a@b"},
      {u"Message-ID: \n   \nSubject: x\n", u""},
      // Not folded: the next line starts with no blank, or the value is on the keyword's line.
      {u"Message-ID: \nSubject: x\n", u""},
      {u"Message-ID: \r\nSubject: x\r\n", u""},
      {u"Message-ID: \n\n <a@b>\n", u""},
      {u"Message-ID: <a@b>\n <c@d>\n", u"a@b"},
  });
}

TEST(MessageIdTextTest, CleanMessageIDDropsSpacesAndAngleBracketsOnly) {
  EXPECT_EQ(CleanMessageID(u" <a b>\t<c>> "), u"ab\tc");
  EXPECT_EQ(CleanMessageID(std::string_view(" <a b>\t<c>> ")), "ab\tc");
  EXPECT_EQ(CleanMessageID(std::string_view("<< >>")), "");
  EXPECT_EQ(CleanMessageID(std::string_view("a(b)[c]\"d\"@e")), "a(b)[c]\"d\"@e");
}

// Show that the ID recorded from a sent header is the one its bounce yields,
// whether the MTA hands the value over with its leading blank or folded onto
// the next line; a value whose blank the MTA stripped gives the same ID.
TEST(MessageIdTextTest, SentHeaderValueNormalisesLikeItsReturnedCopy) {
  EXPECT_EQ(bw::MessageIdOfHeaderValue(u"<Abc.1@Example.COM>"), u"abc.1@example.com");
  for (const std::u16string Value : {u" <Abc.1@Example.COM>", u"\n <Abc.1@Example.COM>", u"\r\n\t<Abc.1@Example.COM>  "}) {
    const std::u16string ReturnedCopy = u"From: a@example.com\nMessage-ID:" + Value + u"\nSubject: x\n";
    EXPECT_EQ(bw::MessageIdOfHeaderValue(Value), ExtractMessageID(ReturnedCopy)) << testing::PrintToString(Value);
    EXPECT_EQ(bw::MessageIdOfHeaderValue(Value), u"abc.1@example.com");
  }
  EXPECT_EQ(bw::MessageIdOfHeaderValue(u""), std::nullopt);
}
