// Tests for the PCRE facade of RegexMatch_un: matching options and compile errors.
#include "regex/RegexMatch_un.h"

#include "rtl/Charset_un.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using namespace bw;

// PCRE's execution codes that the facade passes through.
constexpr std::int32_t NoMatch = -1;
constexpr std::int32_t BadUtf8 = -10;
constexpr std::int32_t RecursionLimit = -21;

TEST(RegexMatchTest, MatchIsCaselessAndAnchoredAtTheStart) {
  const struct {
    std::u16string Subject, Pattern;
    std::int32_t Result;
  } Cases[] = {
      {u"abcdef", u"abc", 0},
      {u"ABCxyz", u"abc", 0},
      {u"abc", u"ABC", 0},
      {u"xabc", u"abc", NoMatch},
      {u"xabc", u".*abc", 0},
      {u"ab", u"abc", NoMatch},
      {u"x-b", u"b|x", 0},
      {u"\u00C9T\u00C9", u"\u00E9t\u00E9", 0},  // caseless beyond ASCII
      {u"<id.42@Example.COM>", u".*@example\\.com>$", 0},
      {u"<id.42@example.net>", u".*@example\\.com>$", NoMatch},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(RegexMatch(Case.Subject, Case.Pattern), Case.Result)
        << "subject \"" << WideToUtf8(Case.Subject) << "\" pattern \"" << WideToUtf8(Case.Pattern) << '"';
}

TEST(RegexMatchTest, EmptyPatternMatchesEverySubject) {
  for (const std::u16string &Subject : {u""s, u"anything"s, u"\u00E9\u20AC"s, u"line\r\nline"s})
    EXPECT_EQ(RegexMatch(Subject, u""), 0) << WideToUtf8(Subject);
}

TEST(RegexMatchTest, PatternThatDoesNotCompileNeverMatches) {
  for (const std::u16string &Subject : {u""s, u"("s, u"abc"s})
    for (const std::u16string &Pattern : {u"("s, u"a)"s, u"[a"s, u"a{2,1}"s, u"*"s})
      EXPECT_EQ(RegexMatch(Subject, Pattern), -1) << WideToUtf8(Pattern);
}

TEST(RegexMatchTest, LinesEndAtCrLfAndCrLf) {
  const struct {
    std::u16string Subject, Pattern;
    std::int32_t Result;
  } Cases[] = {
      {u"one\ntwo", u"one$", 0},
      {u"one\rtwo", u"one$", 0},
      {u"one\r\ntwo", u"one$", 0},
      {u"one\r\ntwo", u"one$\\r\\n^two$", 0},
      {u"one\ntwo", u".*^two", 0},
      {u"one\rtwo", u".*^two", 0},
      {u"one\r\ntwo\r\n", u"one..two.*$", 0},  // "." takes line ends too
      {u"one\ntwo", u"one.two", 0},
      // Only CR and LF end lines: not VT, FF, NEL or U+2028.
      {u"one\vtwo", u"one$", NoMatch},
      {u"one\ftwo", u"one$", NoMatch},
      {u"one\u0085two", u"one$", NoMatch},
      {u"one\u2028two", u".*^two", NoMatch},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(RegexMatch(Case.Subject, Case.Pattern), Case.Result) << WideToUtf8(Case.Pattern);
}

TEST(RegexMatchTest, TextIsMatchedAsUtf8Characters) {
  EXPECT_EQ(RegexMatch(u"\u00E9", u"^.$"), 0);
  EXPECT_EQ(RegexMatch(u"\u20AC1", u"[\u20AC$]\\d"), 0);
  EXPECT_EQ(RegexMatch(u"\u0100", u"\\x{100}"), 0);
  // The subject is length-counted: a zero unit inside it is an ordinary character.
  EXPECT_EQ(RegexMatch(u"a\0b"s, u"a.b$"), 0);
  EXPECT_EQ(RegexMatch(u"a\0b"s, u"a\\x00b"), 0);
  // The pattern goes to PCRE zero-terminated, so a U+0000 in it ends it.
  EXPECT_EQ(RegexMatch(u"abc", u"ab\0zz"s), 0);
}

TEST(RegexMatchTest, CharactersBeyondTheBmpMatchAsOneCharacter) {
  EXPECT_EQ(RegexMatch(u"\U0001F600", u"\U0001F600"), 0);
  EXPECT_EQ(RegexMatch(u"\U0001F600", u"^.$"), 0);
  EXPECT_EQ(RegexMatch(u"abc", u"abc\U0001F600"), NoMatch);
  EXPECT_EQ(RegexMatch(u"id\U0001F600@example.com", u".*@example\\.com$"), 0);
  EXPECT_EQ(RegexMatch(u"\xD800"s, u".*$"), 0);
}

TEST(RegexMatchTest, DeepRecursionFailsWithTheLimitCode) {
  // Each repetition of the group nests one level of the matcher: a few hundred
  // stay under the limit of 1200, a few thousand do not (but would fit the stack).
  const std::u16string Pattern = u"(?:a|b)*c";
  const auto Subject = [](std::size_t APairs) {
    std::u16string Result;
    for (std::size_t I = 0; I < APairs; ++I)
      Result += u"ab";
    return Result + u"c";
  };
  EXPECT_EQ(RegexMatch(Subject(300), Pattern), 0);
  EXPECT_EQ(RegexMatch(Subject(2500), Pattern), RecursionLimit);
  EXPECT_EQ(RegexMatch(Subject(50000), Pattern), RecursionLimit);
  // A pattern without nesting goes through a long subject untroubled.
  EXPECT_EQ(RegexMatch(Subject(50000), u"[ab]*c$"), 0);
}

TEST(RegexMatchTest, RegexMatchUtf8HonoursTheCaselessSwitch) {
  EXPECT_EQ(RegexMatchUtf8("ABC", "abc", /*ACaseless=*/true), 0);
  EXPECT_EQ(RegexMatchUtf8("ABC", "abc", /*ACaseless=*/false), NoMatch);
  EXPECT_EQ(RegexMatchUtf8("abc", "abc", /*ACaseless=*/false), 0);
  EXPECT_EQ(RegexMatchUtf8("xabc", "abc", /*ACaseless=*/false), NoMatch);
  EXPECT_EQ(RegexMatchUtf8("a\xFF", "a", /*ACaseless=*/false), BadUtf8);
}

TEST(RegexMatchTest, CheckRegexReportsPcreTextAndByteOffset) {
  EXPECT_EQ(CheckRegex(u"abc"), std::nullopt);
  EXPECT_EQ(CheckRegex(u""), std::nullopt);
  EXPECT_EQ(CheckRegex(u".*@example\\.(com|net)$"), std::nullopt);
  // Valid only in UTF-8 mode, which the check shares with the match.
  EXPECT_EQ(CheckRegex(u"\\x{100}"), std::nullopt);

  const struct {
    std::u16string Pattern;
    std::string Text;
    int Offset;
  } Cases[] = {
      {u"(", "missing )", 1},
      {u"\u00E9\u20AC(", "missing )", 6},  // offsets count UTF-8 bytes
      {u"a)", "unmatched parentheses", 1},
      {u"[a", "missing terminating ] for character class", 2},
      {u"a{2,1}", "numbers out of order in {} quantifier", 5},
  };
  for (const auto &Case : Cases) {
    const std::optional<TRegexCompileError> Error = CheckRegex(Case.Pattern);
    ASSERT_TRUE(Error.has_value()) << WideToUtf8(Case.Pattern);
    EXPECT_EQ(Error->Text, Case.Text) << WideToUtf8(Case.Pattern);
    EXPECT_EQ(Error->Offset, Case.Offset) << WideToUtf8(Case.Pattern);
  }
  EXPECT_EQ(CheckRegex(u"x\U0001F600"), std::nullopt);
}
