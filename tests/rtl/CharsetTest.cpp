// Tests for the lenient iconv conversions of Charset_un and its UTF-8 writer.
#include "rtl/Charset_un.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using namespace bw;

TEST(CharsetTest, DecodeToWideReadsEachCharset) {
  const struct {
    std::string Charset, Bytes;
    std::u16string Text;
  } Cases[] = {
      {"utf-8", "caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00E9 \u20AC"},
      {"UTF-8", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"us-ascii", "plain", u"plain"},
      {"iso-8859-1", "\xE9\x80\xFF", u"\u00E9\u0080\u00FF"},
      {"windows-1252", "\x80\x93\xE9\x94", u"\u20AC\u201C\u00E9\u201D"},
      {"Unicode", "h\0\xE9\0"s, u"h\u00E9"},
      {"unicodeFFFE", "\0h\0\xE9"s, u"h\u00E9"},
      {"utf-16", "\xFF\xFEh\0i\0"s, u"hi"},
      {"utf-7", "Hi +AOk-", u"Hi \u00E9"},
      {"unicode-1-1-utf-7", "+AOkA6Q-!", u"\u00E9\u00E9!"},
      {"x-sjis", "\x82\xA0", u"\u3042"},
      // Unknown names, and names iconv must not see, fall back to Latin-1.
      {"x-nonsense", "\xC3\xA9\x80", u"\u00C3\u00A9\u0080"},
      {"", "\xE9", u"\u00E9"},
      {"utf-8//IGNORE", "\xC3\xA9", u"\u00C3\u00A9"},
      // Malformed input is replaced, never dropped or fatal.
      {"utf-8", "a\xFFz", u"a\uFFFDz"},
      {"utf-8", "\xC3(", u"\uFFFD("},
      {"utf-8", "", u""},
  };
  for (const auto &Case : Cases) {
    const TDecodeResult Result = DecodeToWide(Case.Charset, Case.Bytes);
    EXPECT_EQ(Result.Text, Case.Text) << Case.Charset << ": " << Case.Bytes;
    EXPECT_EQ(Result.BytesConsumed, Case.Bytes.size()) << Case.Charset << ": " << Case.Bytes;
  }
}

TEST(CharsetTest, DecodeToWideReplacesATruncatedTail) {
  const TDecodeResult Result = DecodeToWide("utf-8", "ok\xE2\x82");
  ASSERT_GE(Result.Text.size(), 3u);
  EXPECT_EQ(Result.Text.substr(0, 3), u"ok\uFFFD");
  EXPECT_EQ(Result.Text.find_first_not_of(u'\uFFFD', 2), std::u16string::npos);
  EXPECT_EQ(Result.BytesConsumed, 4u);
}

TEST(CharsetTest, DecodeToWideStopsAtMaxUnitsAndReportsBytesRead) {
  const struct {
    std::string Charset, Bytes;
    std::size_t MaxUnits;
    std::u16string Text;
    std::size_t Consumed;
  } Cases[] = {
      {"utf-8", "h\xC3\xA9llo", 2, u"h\u00E9", 3},
      {"utf-8", "\xE2\x82\xAC\xE2\x82\xAC", 1, u"\u20AC", 3},
      {"utf-8", "abc", 0, u"", 0},
      {"utf-8", "abc", 10, u"abc", 3},
      {"Unicode", "a\0b\0c\0"s, 2, u"ab", 4},
      {"iso-8859-1", "\xE9\xE8\xEA", 1, u"\u00E9", 1},
      {"x-nonsense", "abcdef", 4, u"abcd", 4},
      {"utf-8", "a\xFF\xFF", 2, u"a\uFFFD", 2},
  };
  for (const auto &Case : Cases) {
    const TDecodeResult Result = DecodeToWide(Case.Charset, Case.Bytes, Case.MaxUnits);
    EXPECT_EQ(Result.Text, Case.Text) << Case.Charset << " max " << Case.MaxUnits;
    EXPECT_EQ(Result.BytesConsumed, Case.Consumed) << Case.Charset << " max " << Case.MaxUnits;
  }
}

// Decoding a stateless charset piece by piece, each from where the last one
// stopped, gives the whole text.
TEST(CharsetTest, DecodeToWideInPiecesMatchesOneDecode) {
  const struct {
    std::string Charset, Bytes;
  } Cases[] = {
      {"utf-8", "Gr\xC3\xBC\xC3\x9F"
                "e \xE2\x82\xAC \xF0\x9F\x98\x80 ok"},
      {"utf-8", "bad \xFF\xFE bytes \xC3"},
      {"Unicode", "x\0\x3D\xD8\x00\xDEy\0"s},
      {"windows-1252", "\x80 \x93quoted\x94"},
  };
  for (const auto &Case : Cases)
    for (const std::size_t Piece : {2u, 3u, 5u}) {
      const std::u16string Whole = DecodeToWide(Case.Charset, Case.Bytes).Text;
      std::u16string Joined;
      std::size_t Offset = 0;
      while (Offset < Case.Bytes.size()) {
        const TDecodeResult Part = DecodeToWide(Case.Charset, std::string_view(Case.Bytes).substr(Offset), Piece);
        ASSERT_LE(Part.Text.size(), Piece);
        if (Part.BytesConsumed == 0)
          break;
        Joined += Part.Text;
        Offset += Part.BytesConsumed;
      }
      EXPECT_EQ(Joined, Whole) << Case.Charset << " in pieces of " << Piece;
      EXPECT_EQ(Offset, Case.Bytes.size()) << Case.Charset << " in pieces of " << Piece;
    }
}

TEST(CharsetTest, EncodeFromWideWritesEachCharsetWithQuestionMarks) {
  const struct {
    std::string Charset;
    std::u16string Text;
    std::string Bytes;
  } Cases[] = {
      {"utf-8", u"caf\u00E9 \u20AC \U0001F600", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"iso-8859-1", u"caf\u00E9", "caf\xE9"},
      {"iso-8859-1", u"a\u20ACb", "a?b"},
      {"us-ascii", u"na\u00EFve", "na?ve"},
      {"windows-1252", u"\u20AC\u201C", "\x80\x93"},
      {"Unicode", u"h\u00E9", "h\0\xE9\0"s},
      {"utf-7", u"Hi \u00E9", "Hi +AOk-"},
      {"x-nonsense", u"\u00E9", "\xE9"},
      {"utf-8", u"a\xD800z"s, "a?z"},
      {"utf-8", u"", ""},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(EncodeFromWide(Case.Charset, Case.Text), Case.Bytes) << Case.Charset;
}

TEST(CharsetTest, AnsiConversionsUseTheLocaleCodePage) {
  // The tests run under C.UTF-8.
  EXPECT_EQ(AnsiCodePage(), "UTF-8");
  EXPECT_EQ(AnsiToWide("caf\xC3\xA9 \xE2\x82\xAC"), u"caf\u00E9 \u20AC");
  EXPECT_EQ(AnsiToWide("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(AnsiToWide("a\0b"s), u"a\0b"s);
  EXPECT_EQ(AnsiToWide(""), u"");
  EXPECT_EQ(WideToAnsi(u"caf\u00E9 \u20AC"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(WideToAnsi(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToAnsi(u""), "");
}

TEST(CharsetTest, AnsiConversionsReplaceWhatTheyCannotConvert) {
  EXPECT_EQ(AnsiToWide("a\xFFz"), u"a\uFFFDz");
  EXPECT_EQ(AnsiToWide("a\x80"), u"a\uFFFD");
  const std::u16string Truncated = AnsiToWide("ok\xE2\x82");
  ASSERT_GE(Truncated.size(), 3u);
  EXPECT_EQ(Truncated.substr(0, 3), u"ok\uFFFD");
  EXPECT_EQ(Truncated.find_first_not_of(u'\uFFFD', 2), std::u16string::npos);

  EXPECT_EQ(WideToAnsi(u"a\xD800z"s), "a?z");
  EXPECT_EQ(WideToAnsi(u"a\xDC00"s), "a?");
  EXPECT_EQ(WideToAnsi(u"\xDC00\xD800"s), "??");  // the wrong order is no pair
}

TEST(CharsetTest, WideToUtf8EncodesCharactersAsStandardUtf8) {
  const struct {
    std::u16string Wide;
    std::string Utf8;
  } Cases[] = {
      {u"", ""},
      {u"Az~\x7F", "Az~\x7F"},
      {u"\0"s, "\0"s},
      {u"\u0080", "\xC2\x80"},
      {u"\u00E9", "\xC3\xA9"},
      {u"\u07FF", "\xDF\xBF"},
      {u"\u0800", "\xE0\xA0\x80"},
      {u"\u20AC", "\xE2\x82\xAC"},
      {u"\uFFFF", "\xEF\xBF\xBF"},
      {u"a\u00E9\u20AC", "a\xC3\xA9\xE2\x82\xAC"},
      // A surrogate pair is one four-byte character.
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\xDBFF\xDFFF"s, "\xF4\x8F\xBF\xBF"},
      {u"a\U00010000b", "a\xF0\x90\x80\x80" "b"},
      // A lone or reversed surrogate becomes U+FFFD, never invalid UTF-8.
      {u"\xD800"s, "\xEF\xBF\xBD"},
      {u"a\xDC00"s, "a\xEF\xBF\xBD"},
      {u"\xDE00\xD83D"s, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {u"\xD83Dx"s, "\xEF\xBF\xBDx"},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(WideToUtf8(Case.Wide), Case.Utf8);
}
