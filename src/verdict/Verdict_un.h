// Whether a bounce is ours: the returned Message-IDs weighed against the
// pattern, the ledger or both, in one pure decision over the evidence.
//
// Gathering the evidence (asking the ledger, matching the pattern) is apart
// from deciding on it, so that every rule can be shown with a table of
// evidence and no store or pattern at all.
#pragma once

#include "detector/MessageIdMatch_un.h"
#include "verdict/LedgerJudge_un.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace bw {

enum TCheckVerdict : std::uint8_t {
  cvNotBackscatter,
  cvBackscatter,
  cvError,       // no verdict could be made: Error says why
  cvNotFinished  // a stop's grace time ran out before the check ended
};

// The rule that gave the verdict: none when there were no Message-IDs to
// judge.
enum TDecidingRule : std::uint8_t { drNone, drPattern, drLedger };

// What judges the returned Message-IDs, as the options set it:
//   jgPattern  the pattern alone;
//   jgLedger   the ledger alone (there is no pattern);
//   jgUnion    ours when either the ledger or the pattern says so;
//   jgStrict   ours only when in the ledger; the pattern stands in only while
//              the ledger does not yet cover its retention.
enum TJudging : std::uint8_t { jgPattern, jgLedger, jgUnion, jgStrict };

enum TLedgerEvidence : std::uint8_t { leNotAsked, leFound, leAbsent, leUnknown };
enum TPatternEvidence : std::uint8_t { peNotAsked, peMatch, peNoMatch, peError };

// What is known about one bounce's returned Message-IDs.
struct TEvidence {
  std::size_t MessageIdCount = 0;
  TLedgerEvidence Ledger = leNotAsked;
  bool LedgerCovers = false;  // the ledger covers its retention
  TPatternEvidence Pattern = peNotAsked;
  std::string PatternError;   // peError: <class> "<message>"
};

struct TDecision {
  TCheckVerdict Verdict = cvNotBackscatter;
  TDecidingRule Rule = drNone;
  // Why the rule that decided is not the one configured first: the ledger
  // is warming up or could not answer. Empty otherwise.
  std::string RuleNote;
  // The Message-IDs the returned message yielded, also when matching them failed.
  std::size_t MessageIDCount = 0;
  std::string Error;  // <class> "<message>", or the reason, for cvError
  // What the ledger answered when it was asked (for the milter's counters).
  TLedgerEvidence LedgerAnswer = leNotAsked;
};

// The verdict. No Message-IDs at all give "not backscatter" with no rule.
// Otherwise, in order:
//   - an ID in the ledger: "not backscatter" by the ledger;
//   - the ledger deciding alone (jgLedger, jgStrict) and covering its
//     retention: "backscatter" by the ledger;
//   - a pattern: "backscatter" unless an ID matched it, by the pattern, with
//     the reason in RuleNote when the ledger was asked first and could not
//     decide (warming up, or unavailable under the union);
//   - otherwise no verdict (cvError, by the ledger): a ledger that cannot
//     answer while it decides alone, or one that decides alone while it
//     warms up without a pattern to fall back to.
// A pattern that cannot be used, or a match that cannot be completed, is
// cvError too: never a verdict, since judging the bounce backscatter could
// lose a genuine one.
TDecision Decide(TJudging AJudging, const TEvidence &AEvidence);

// What the returned Message-IDs are judged by: a pattern, a ledger or both.
struct TJudges {
  const TMessageIdPattern *Pattern = nullptr;
  TLedgerJudge *Ledger = nullptr;
  // With both: ours only when in the ledger (jgStrict), not either (jgUnion).
  bool LedgerOnly = false;

  TJudging Judging() const noexcept;
};

// Gathers the evidence about AMessageIDs and decides: the ledger first (the
// pattern is not asked once it found an ID), the warm-up only when the
// ledger would decide alone.
TDecision JudgeMessageIDs(const TJudges &AJudges, std::span<const std::u16string> AMessageIDs);

// The whole judgement of one message as the MTA delivered it: the
// detector's returned Message-IDs, then JudgeMessageIDs. A failure of the
// mail objects (a project exception) is cvError; anything else propagates.
TDecision JudgeBounce(const std::string &ASender, std::string AContent, const TJudges &AJudges);

// The verdict as a log line writes it ("backscatter", "error <why>").
std::string VerdictText(const TDecision &ADecision);
// The rule as a log line names it ("pattern", "ledger"); empty for drNone.
std::string_view RuleName(TDecidingRule ARule);

} // namespace bw
