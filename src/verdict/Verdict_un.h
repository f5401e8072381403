// Whether a bounce is ours: the returned Message-IDs weighed against the
// pattern, the ledger or both, in one pure decision over the evidence.
//
// Gathering the evidence (asking the ledger, matching the pattern) is apart
// from deciding on it, so that every rule can be shown with a table of
// evidence and no store or pattern at all.
#pragma once

#include "detector/BackscatterDetector_un.h"
#include "detector/MessageIdMatch_un.h"
#include "verdict/LedgerJudge_un.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

enum TCheckVerdict : std::uint8_t {
  cvNotBackscatter,
  cvBackscatter,
  cvError,        // no verdict could be made: Error says why
  cvNotFinished,  // a stop's grace time ran out before the check ended
  cvDeferred      // only the ledger could tell, and it cannot now: a temporary failure, the sender retries
};

// The rule that gave the verdict: none when there were no Message-IDs to
// judge. The last four decide at RCPT time, over the envelope
// (RecipientRule_un.h): the envelope's tag, the one recipient of a bounce,
// and the recipient lists.
enum TDecidingRule : std::uint8_t { drNone, drPattern, drLedger, drBatv, drOneRecipient, drNeverRefuse, drNoBouncesTo };

// What judges the returned Message-IDs, as the options set it:
//   jgPattern  the pattern alone;
//   jgLedger   the ledger alone (there is no pattern);
//   jgUnion    ours when either the ledger or the pattern says so;
//   jgStrict   ours only when in the ledger; the pattern stands in only while
//              the ledger does not yet cover its retention.
enum TJudging : std::uint8_t { jgPattern, jgLedger, jgUnion, jgStrict };

// leUnknown: the store is down or lost its data; leSlow: it did not answer
// within the check's bound (no record was lost for that).
enum TLedgerEvidence : std::uint8_t { leNotAsked, leFound, leAbsent, leUnknown, leSlow };

// The answer when only the ledger could rescue a bounce and it cannot
// answer (--on-ledger-outage): a temporary failure, the pattern's verdict,
// or accepting it.
enum TOutageAnswer : std::uint8_t { oaTempfail, oaPattern, oaAccept };

enum TPatternEvidence : std::uint8_t { peNotAsked, peMatch, peNoMatch, peError };

// What is known about one bounce's returned Message-IDs.
struct TEvidence {
  std::size_t MessageIdCount = 0;
  TLedgerEvidence Ledger = leNotAsked;
  bool LedgerCovers = false;  // the ledger covers its retention
  TPatternEvidence Pattern = peNotAsked;
  std::string PatternError;   // peError: <class> "<message>"
  TOutageAnswer OnOutage = oaTempfail;
  TGapPlacement Gap = gpNone;  // (LedgerJudge_un.h) asked only when the ledger would refuse alone
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
  // The texts the returned IDs were judged by (the ledger's keys; the
  // detector's IDs as UTF-8 without a ledger), for the log.
  std::vector<std::string> ReturnedIds;
  // What the ledger answered when it was asked (for the milter's counters).
  TLedgerEvidence LedgerAnswer = leNotAsked;
};

// The verdict. No Message-IDs from the detector give "not backscatter" with
// no rule: the IDs only the ledger's keys find can rescue a bounce, never
// condemn one. Otherwise, in order:
//   - an ID in the ledger: "not backscatter" by the ledger;
//   - a ledger that cannot answer (down or slow): the outage answer
//     (OnOutage), by the ledger, noted "ledger unavailable" or "ledger
//     slow". oaTempfail defers the bounce when only the ledger could rescue
//     it: under the union when the pattern does not match, when the ledger
//     decides alone in every case. oaPattern lets the pattern decide (no
//     verdict without one); oaAccept makes it "not backscatter";
//   - the ledger deciding alone (jgLedger, jgStrict) while its recorders may
//     have missed the message (Gap): the pattern decides, noted "ledger
//     gap", or without one the outage answer;
//   - the ledger deciding alone and covering its retention: "backscatter"
//     by the ledger;
//   - a pattern: "backscatter" unless an ID matched it, by the pattern, with
//     the reason in RuleNote when the ledger was asked first and could not
//     decide (warming up, a gap);
//   - otherwise no verdict (cvError, by the ledger): a ledger that decides
//     alone while it warms up without a pattern to fall back to.
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
  TOutageAnswer OnOutage = oaTempfail;

  TJudging Judging() const noexcept;
};

// What one bounce returned: the detector's IDs (what the pattern judges
// and what a refusal needs), the texts the ledger looks up, and when the
// returned copy says it was written.
struct TReturnedIds {
  std::vector<std::u16string> MessageIDs;
  std::vector<std::string> LedgerTexts;  // ReturnedMessageIdTexts
  std::optional<TLedgerTime> Date;       // the first readable Date of its header blocks
};

// AReturned as the detector's reading of a bounce gives it.
TReturnedIds ReturnedIdsOf(const TBackscatterDetector::TReturnedMessage &AReturned);

// Gathers the evidence about AReturned and decides: the ledger first (the
// pattern is not asked once it found an ID), the warm-up and the gaps only
// when the ledger would decide alone.
TDecision JudgeReturned(const TJudges &AJudges, const TReturnedIds &AReturned);
// JudgeReturned over the detector's IDs alone.
TDecision JudgeMessageIDs(const TJudges &AJudges, std::span<const std::u16string> AMessageIDs);

// The whole judgement of one message as the MTA delivered it: what the
// detector finds returned (the header blocks too when a ledger judges),
// then JudgeReturned. A failure of the mail objects (a project exception)
// is cvError; anything else propagates.
TDecision JudgeBounce(const std::string &ASender, std::string AContent, const TJudges &AJudges);

// The verdict as a log line writes it ("backscatter", "error <why>").
std::string VerdictText(const TDecision &ADecision);
// The rule as a log line names it ("pattern", "ledger", "batv",
// "one-recipient", "never-refuse", "no-bounces-to"); empty for drNone.
std::string_view RuleName(TDecidingRule ARule);

} // namespace bw
