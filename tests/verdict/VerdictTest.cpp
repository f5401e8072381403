// The decision over a bounce's returned Message-IDs, rule by rule, from
// evidence alone; and the gathering of that evidence from a real pattern.
#include "verdict/Verdict_un.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace bw;

struct TCase {
  const char *Name;
  TJudging Judging;
  TEvidence Evidence;
  TCheckVerdict Verdict;
  TDecidingRule Rule;
  std::string Note;
  std::string Error;
};

TEvidence Ids(TLedgerEvidence ALedger, bool ACovers, TPatternEvidence APattern, TOutageAnswer AOnOutage = oaTempfail,
              TGapPlacement AGap = gpNone) {
  TEvidence Evidence;
  Evidence.MessageIdCount = 2;
  Evidence.Ledger = ALedger;
  Evidence.LedgerCovers = ACovers;
  Evidence.Pattern = APattern;
  Evidence.OnOutage = AOnOutage;
  Evidence.Gap = AGap;
  if (APattern == peError)
    Evidence.PatternError = "ERegexMatchError \"match limit exceeded\"";
  return Evidence;
}

// Show every rule and every kind of evidence: which verdict, by which rule,
// with which note or error. A bounce only the ledger could rescue is never
// judged backscatter while the ledger cannot answer or may have missed it.
TEST(VerdictTest, EachRuleDecidesFromItsEvidence) {
  const std::string Warming = "ledger warming up", Unavailable = "ledger unavailable", Slow = "ledger slow",
                    Gap = "ledger gap";
  const std::string NoPattern = "the ledger cannot answer and there is no pattern";
  const std::string PatternError = "ERegexMatchError \"match limit exceeded\"";
  const TCase Cases[] = {
      {"NoIdsNoRule", jgStrict, TEvidence{}, cvNotBackscatter, drNone, "", ""},
      {"PatternMatch", jgPattern, Ids(leNotAsked, false, peMatch), cvNotBackscatter, drPattern, "", ""},
      {"PatternNoMatch", jgPattern, Ids(leNotAsked, false, peNoMatch), cvBackscatter, drPattern, "", ""},
      {"PatternError", jgPattern, Ids(leNotAsked, false, peError), cvError, drPattern, "", PatternError},
      {"UnionFound", jgUnion, Ids(leFound, true, peNotAsked), cvNotBackscatter, drLedger, "", ""},
      {"UnionAbsentPatternKnows", jgUnion, Ids(leAbsent, true, peMatch), cvNotBackscatter, drPattern, "", ""},
      {"UnionAbsentNobodyKnows", jgUnion, Ids(leAbsent, true, peNoMatch), cvBackscatter, drPattern, "", ""},
      // The ledger down or slow: 4xx when only it could rescue the bounce,
      // or as --on-ledger-outage says.
      {"UnionDownPatternKnows", jgUnion, Ids(leUnknown, false, peMatch), cvNotBackscatter, drPattern, Unavailable,
       ""},
      {"UnionDownDeferred", jgUnion, Ids(leUnknown, false, peNoMatch), cvDeferred, drLedger, Unavailable, ""},
      {"UnionSlowDeferred", jgUnion, Ids(leSlow, true, peNoMatch), cvDeferred, drLedger, Slow, ""},
      {"UnionDownPatternError", jgUnion, Ids(leUnknown, false, peError), cvError, drPattern, Unavailable,
       PatternError},
      {"UnionDownByPattern", jgUnion, Ids(leUnknown, false, peNoMatch, oaPattern), cvBackscatter, drPattern,
       Unavailable, ""},
      {"UnionDownAccepted", jgUnion, Ids(leUnknown, false, peNoMatch, oaAccept), cvNotBackscatter, drLedger,
       Unavailable, ""},
      {"StrictDownPatternKnowsDeferred", jgStrict, Ids(leUnknown, true, peMatch), cvDeferred, drLedger, Unavailable,
       ""},
      {"StrictSlowByPattern", jgStrict, Ids(leSlow, true, peNoMatch, oaPattern), cvBackscatter, drPattern, Slow, ""},
      {"StrictDownAccepted", jgStrict, Ids(leUnknown, true, peNoMatch, oaAccept), cvNotBackscatter, drLedger,
       Unavailable, ""},
      {"LedgerAloneDownByMissingPattern", jgLedger, Ids(leUnknown, true, peNotAsked, oaPattern), cvError, drLedger,
       Unavailable, NoPattern},
      // A gap: the ledger alone refuses nothing; the pattern decides, or the outage answer.
      {"StrictGapByPattern", jgStrict, Ids(leAbsent, true, peNoMatch, oaTempfail, gpInside), cvBackscatter, drPattern,
       Gap, ""},
      {"StrictUndatedGapPatternKnows", jgStrict, Ids(leAbsent, true, peMatch, oaTempfail, gpUndated),
       cvNotBackscatter, drPattern, Gap, ""},
      {"LedgerAloneGapDeferred", jgLedger, Ids(leAbsent, true, peNotAsked, oaTempfail, gpInside), cvDeferred,
       drLedger, Gap, ""},
      {"LedgerAloneGapAccepted", jgLedger, Ids(leAbsent, true, peNotAsked, oaAccept, gpUndated), cvNotBackscatter,
       drLedger, Gap, ""},
      {"StrictGapFoundStillFound", jgStrict, Ids(leFound, true, peNotAsked, oaTempfail, gpInside), cvNotBackscatter,
       drLedger, "", ""},
      {"StrictFound", jgStrict, Ids(leFound, false, peNotAsked), cvNotBackscatter, drLedger, "", ""},
      {"StrictCoveredAbsent", jgStrict, Ids(leAbsent, true, peMatch), cvBackscatter, drLedger, "", ""},
      {"StrictWarmingPattern", jgStrict, Ids(leAbsent, false, peMatch), cvNotBackscatter, drPattern, Warming, ""},
      {"StrictWarmingPatternError", jgStrict, Ids(leAbsent, false, peError), cvError, drPattern, Warming,
       PatternError},

      {"LedgerAloneFound", jgLedger, Ids(leFound, false, peNotAsked), cvNotBackscatter, drLedger, "", ""},
      {"LedgerAloneCoveredAbsent", jgLedger, Ids(leAbsent, true, peNotAsked), cvBackscatter, drLedger, "", ""},
      {"LedgerAloneWarming", jgLedger, Ids(leAbsent, false, peNotAsked), cvError, drLedger, Warming,
       "the ledger does not cover its retention yet and there is no pattern"},
      {"LedgerAloneDown", jgLedger, Ids(leUnknown, false, peNotAsked), cvDeferred, drLedger, Unavailable, ""},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const TDecision Decision = Decide(Case.Judging, Case.Evidence);
    EXPECT_EQ(Decision.Verdict, Case.Verdict);
    EXPECT_EQ(Decision.Rule, Case.Rule);
    EXPECT_EQ(Decision.RuleNote, Case.Note);
    EXPECT_EQ(Decision.Error, Case.Error);
    EXPECT_EQ(Decision.MessageIDCount, Case.Evidence.MessageIdCount);
  }
}

// Show that the options' combinations name the rules, and that a pattern
// which cannot be matched gives no verdict, never "backscatter".
TEST(VerdictTest, JudgesNameTheirRuleAndAFailedMatchIsNoVerdict) {
  const TMessageIdPattern Pattern(".*@example\\.com$");
  EXPECT_EQ((TJudges{&Pattern, nullptr, false}.Judging()), jgPattern);
  EXPECT_EQ((TJudges{&Pattern, nullptr, true}.Judging()), jgPattern);

  const std::vector<std::u16string> Ours = {u"a@x.test", u"b@example.com"}, Foreign = {u"a@x.test"};
  EXPECT_EQ(JudgeMessageIDs({&Pattern}, Ours).Verdict, cvNotBackscatter);
  EXPECT_EQ(JudgeMessageIDs({&Pattern}, Foreign).Verdict, cvBackscatter);
  EXPECT_EQ(JudgeMessageIDs({&Pattern}, {}).Rule, drNone);

  // Catastrophic backtracking runs out of the match budget.
  const TMessageIdPattern Costly("(a+)+$");
  const std::vector<std::u16string> Hostile = {std::u16string(40, u'a') + u"!"};
  const TDecision Decision = JudgeMessageIDs({&Costly}, Hostile);
  EXPECT_EQ(Decision.Verdict, cvError);
  EXPECT_EQ(Decision.Error.rfind("ERegexMatchError", 0), 0u) << Decision.Error;
  EXPECT_EQ(VerdictText(Decision), "error " + Decision.Error);
}

} // namespace
