// Matching Message-IDs against the site's pattern: anchored, caseless, one
// budget, and no verdict from a pattern that cannot be used; the message
// both programs give for a pattern that does not compile.
#include "detector/MessageIdMatch_un.h"

#include "rtl/SysUtils_un.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using bw::InvalidPatternMessage;
using bw::MatchesAnyMessageID;
using bw::TMessageIdPattern;

TEST(MessageIdMatchTest, PatternThatDoesNotCompileIsNamedWithPcresReasonAndOffset) {
  const struct {
    std::string Pattern;
    std::optional<std::string> Message;
  } Cases[] = {
      {".*@example\\.com$", std::nullopt},
      {"", std::nullopt},
      {"(", "Invalid Message-ID regular expression \"(\": missing ) at offset 1."},
      {"a)", "Invalid Message-ID regular expression \"a)\": unmatched parentheses at offset 1."},
      {".*@[a", "Invalid Message-ID regular expression \".*@[a\": missing terminating ] for character class at offset 5."},
      // Offsets count bytes of the UTF-8 that PCRE is given.
      {"a\xF0\x9F\x98\x80(", "Invalid Message-ID regular expression \"a\xF0\x9F\x98\x80(\": missing ) at offset 6."},
      // The pattern is shown as given, a slot marker in it included.
      {"%s(", "Invalid Message-ID regular expression \"%s(\": missing ) at offset 3."},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(InvalidPatternMessage(Case.Pattern), Case.Message) << Case.Pattern;
}

TEST(MessageIdMatchTest, AnchoredAtTheStartAndCaseInsensitive) {
  const struct {
    std::vector<std::u16string> IDs;
    std::string Regex;
    bool Matches;
  } Cases[] = {
      {{u"abc@example.com"}, ".*@example\\.com$", true},
      {{u"abc@example.com"}, ".*@EXAMPLE\\.COM$", true},
      {{u"abc@example.com"}, "example\\.com$", false},
      {{u"abc@example.com"}, "@example", false},
      {{u"abc@example.com"}, "ABC", true},
      {{u"abc@example.com.evil"}, ".*@example\\.com$", false},
      {{u"x@other.example", u"y@example.com"}, ".*@example\\.com$", true},
      {{u"x@other.example", u"y@other.example"}, ".*@example\\.com$", false},
      {{u""}, "", true},
      {{u""}, "x?", true},
      {{u""}, ".+", false},
      {{u"abc@example.com"}, "a\xF0\x9F\x98\x80", false},
      {{u"caf\u00E9@x"}, "CAF\xC3\x89@", true},
      {{}, ".*", false},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(MatchesAnyMessageID(TMessageIdPattern(Case.Regex), Case.IDs), Case.Matches) << Case.Regex;
}

// Show that a pattern that cannot be compiled gives no verdict: judging every
// bounce backscatter would refuse genuine ones.
TEST(MessageIdMatchTest, UnusablePatternRaisesInsteadOfMatchingNothing) {
  const std::vector<std::u16string> IDs{u"abc@example.com"};
  EXPECT_EQ(bwtest::RaisedError([&] { MatchesAnyMessageID(TMessageIdPattern("a(b"), IDs); }),
            "ERegexMatchError: Message-ID regular expression \"a(b\" cannot be used: missing )");
}

TEST(MessageIdMatchTest, AMatchOverTheBudgetRaisesNamingTheIDsPlaceNotTheID) {
  const std::vector<std::u16string> IDs{u"ok@example.org", std::u16string(40, u'a') + u"!"};
  EXPECT_EQ(bwtest::RaisedError([&] { MatchesAnyMessageID(TMessageIdPattern("(a|aa)+\x01?$"), IDs); }),
            "ERegexMatchError: Message-ID regular expression \"(a|aa)+??$\" failed on Message-ID 2 of 2: "
            "match limit exceeded");
}
