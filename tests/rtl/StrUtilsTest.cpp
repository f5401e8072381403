// Tests for the 8-bit and wide string helpers of StrUtils_un.
#include "rtl/StrUtils_un.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using namespace bw;

TEST(StrUtilsTest, SameTextFoldsAsciiLettersOnly) {
  const struct {
    std::string A, B;
    bool Same;
  } Cases[] = {
      {"abc", "ABC", true},
      {"Mailer-Daemon", "MAILER-daemon", true},
      {"", "", true},
      {"abc", "abd", false},
      {"abc", "abcd", false},
      {"abc", "", false},
      {"[", "{", false},
      {"@", "`", false},                // differ by 32 like a letter pair, but are no letters
      {"\xC3\xA9", "\xC3\x89", false},  // é and É in UTF-8: not ASCII, so not folded
      {"a\0b"s, "A\0B"s, true},
      {"a\0b"s, "a\0c"s, false},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(SameText(Case.A, Case.B), Case.Same) << '"' << Case.A << "\" vs \"" << Case.B << '"';
}

TEST(StrUtilsTest, AsciiLowerCaseKeepsEveryOtherByte) {
  EXPECT_EQ(AsciiLowerCase("MiXeD Case 123"), "mixed case 123");
  EXPECT_EQ(AsciiLowerCase("@[\\]^_`{|}~"), "@[\\]^_`{|}~");
  EXPECT_EQ(AsciiLowerCase("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");
  EXPECT_EQ(AsciiLowerCase("A\0B"s), "a\0b"s);
  EXPECT_EQ(AsciiLowerCase(""), "");
}

TEST(StrUtilsTest, TrimBytesRemovesControlsAndSpacesAtBothEnds) {
  EXPECT_EQ(TrimBytes("\0\t\r\n hello  world \x1F\x20"s), "hello  world");
  EXPECT_EQ(TrimBytes(" \t\r\n"), "");
  EXPECT_EQ(TrimBytes(""), "");
  EXPECT_EQ(TrimBytes("!x!"), "!x!");
  // Bytes above 127 are not blanks, whatever the signedness of char.
  EXPECT_EQ(TrimBytes("\xA0x\xFF"), "\xA0x\xFF");
  EXPECT_EQ(TrimBytes(" \x80 "), "\x80");
}

TEST(StrUtilsTest, EscapeControlBytesWritesEachAsHexAndKeepsTheRest) {
  EXPECT_EQ(EscapeControlBytes("a\r\nb\x1B[2J\x07\x7F\0z"s), "a\\x0D\\x0Ab\\x1B[2J\\x07\\x7F\\x00z");
  EXPECT_EQ(EscapeControlBytes(""), "");
  // Bytes above 127 (UTF-8 among them), backslashes and spaces stay as they are.
  EXPECT_EQ(EscapeControlBytes("\xC3\xA9 \\x41 \x80"), "\xC3\xA9 \\x41 \x80");
}

TEST(StrUtilsTest, TrimWideRemovesUnitsUpToSpaceAtBothEnds) {
  EXPECT_EQ(TrimWide(u"\0\u0009 a b \u001F\u0020"s), u"a b");
  EXPECT_EQ(TrimWide(u"   "), u"");
  EXPECT_EQ(TrimWide(u""), u"");
  EXPECT_EQ(TrimWide(u"\u00A0a\u3000"), u"\u00A0a\u3000");
  EXPECT_EQ(TrimWide(u"\u0021x\u0021"), u"\u0021x\u0021");
}

TEST(StrUtilsTest, WideLowerCaseMapsEachUnitToOneUnit) {
  const struct {
    std::u16string In, Out;
  } Cases[] = {
      {u"ABC xyz 09", u"abc xyz 09"},
      {u"Z[@", u"z[@"},
      {u"\u00C9T\u00C9", u"\u00E9t\u00E9"},    // É
      {u"\u0391\u03A9", u"\u03B1\u03C9"},      // Greek capitals
      {u"\u0416", u"\u0436"},                  // Cyrillic Zhe
      {u"\u00E9\u00DF", u"\u00E9\u00DF"},      // already lower
      {u"\U0001F600", u"\U0001F600"},          // a surrogate pair stays as it is
      {u"\xD801\xDC00"s, u"\xD801\xDC00"s},    // U+10400 has a lower case, but not within one unit
      {u"\xDC00X\xD800"s, u"\xDC00x\xD800"s},  // lone surrogates
  };
  for (const auto &Case : Cases) {
    const std::u16string Lower = WideLowerCase(Case.In);
    EXPECT_EQ(Lower, Case.Out);
    EXPECT_EQ(Lower.size(), Case.In.size());
  }
}
