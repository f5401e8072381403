// The decision over a bounce's returned Message-IDs.
#include "verdict/Verdict_un.h"

#include "detector/BackscatterDetector_un.h"
#include "rtl/SysUtils_un.h"

namespace bw {

static TDecision DecideByPattern(const TEvidence &AEvidence, TDecision ADecision) {
  ADecision.Rule = drPattern;
  switch (AEvidence.Pattern) {
  case peMatch:
    ADecision.Verdict = cvNotBackscatter;
    break;
  case peNoMatch:
    ADecision.Verdict = cvBackscatter;
    break;
  case peError:
    ADecision.Verdict = cvError;
    ADecision.Error = AEvidence.PatternError;
    break;
  case peNotAsked:  // a caller that gathered no evidence: still no verdict made up
    ADecision.Verdict = cvError;
    ADecision.Error = "the pattern was not asked";
    break;
  }
  return ADecision;
}

TDecision Decide(TJudging AJudging, const TEvidence &AEvidence) {
  TDecision Decision;
  Decision.MessageIDCount = AEvidence.MessageIdCount;
  if (AEvidence.MessageIdCount == 0)
    return Decision;
  if (AJudging == jgPattern)
    return DecideByPattern(AEvidence, std::move(Decision));
  const bool Alone = AJudging == jgLedger || AJudging == jgStrict;
  Decision.Rule = drLedger;
  switch (AEvidence.Ledger) {
  case leFound:
    Decision.Verdict = cvNotBackscatter;
    return Decision;
  case leAbsent:
    if (!Alone)
      break;  // the union: the pattern may still know the ID
    if (AEvidence.LedgerCovers) {
      Decision.Verdict = cvBackscatter;
      return Decision;
    }
    // Recording began less than a retention ago: an ID sent before then
    // is missing without being forged.
    Decision.RuleNote = "ledger warming up";
    if (AJudging == jgLedger) {
      Decision.Verdict = cvError;
      Decision.Error = "the ledger does not cover its retention yet and there is no pattern";
      return Decision;
    }
    break;
  case leUnknown:
  case leNotAsked:
    // Never judge a bounce backscatter because a store is down.
    Decision.RuleNote = "ledger unavailable";
    if (Alone) {
      Decision.Verdict = cvError;
      Decision.Error = "the ledger cannot answer";
      return Decision;
    }
    break;
  }
  return DecideByPattern(AEvidence, std::move(Decision));
}

TJudging TJudges::Judging() const noexcept {
  if (!Ledger)
    return jgPattern;
  if (!Pattern)
    return jgLedger;
  return LedgerOnly ? jgStrict : jgUnion;
}

static TLedgerEvidence LedgerEvidenceOf(TLookupResult AResult) {
  switch (AResult) {
  case lrFound:
    return leFound;
  case lrAbsent:
    return leAbsent;
  case lrUnknown:
    break;
  }
  return leUnknown;
}

TDecision JudgeMessageIDs(const TJudges &AJudges, std::span<const std::u16string> AMessageIDs) {
  const TJudging Judging = AJudges.Judging();
  TEvidence Evidence;
  Evidence.MessageIdCount = AMessageIDs.size();
  if (AMessageIDs.empty())
    return Decide(Judging, Evidence);
  if (AJudges.Ledger) {
    Evidence.Ledger = LedgerEvidenceOf(AJudges.Ledger->LookUp(AMessageIDs));
    // Only a ledger that decides alone needs to know whether it covers
    // its retention (a look at the store's start time).
    if (Evidence.Ledger == leAbsent && (Judging == jgLedger || Judging == jgStrict))
      Evidence.LedgerCovers = AJudges.Ledger->CoversRetention();
  }
  if (AJudges.Pattern && Evidence.Ledger != leFound) {
    try {
      Evidence.Pattern = MatchesAnyMessageID(*AJudges.Pattern, AMessageIDs) ? peMatch : peNoMatch;
    } catch (const ERegexMatchError &E) {  // a pattern that cannot be used, a match over its budget
      Evidence.Pattern = peError;
      Evidence.PatternError = ExceptionText(E);
    }
  }
  TDecision Decision = Decide(Judging, Evidence);
  Decision.LedgerAnswer = Evidence.Ledger;
  return Decision;
}

TDecision JudgeBounce(const std::string &ASender, std::string AContent, const TJudges &AJudges) {
  std::vector<std::u16string> MessageIDs;
  try {
    MessageIDs = TBackscatterDetector::ReturnedMessageIDs(ASender, std::move(AContent));
  } catch (const Exception &E) {
    // An object failure while reading the message: no verdict either.
    TDecision Decision;
    Decision.Verdict = cvError;
    Decision.Error = ExceptionText(E);
    return Decision;
  }
  return JudgeMessageIDs(AJudges, MessageIDs);
}

std::string VerdictText(const TDecision &ADecision) {
  switch (ADecision.Verdict) {
  case cvNotBackscatter:
    return "not backscatter";
  case cvBackscatter:
    return "backscatter";
  case cvError:
    return "error " + ADecision.Error;
  case cvNotFinished:
    return "not finished (stopping)";
  }
  return "unknown";
}

std::string_view RuleName(TDecidingRule ARule) {
  switch (ARule) {
  case drPattern:
    return "pattern";
  case drLedger:
    return "ledger";
  case drNone:
    break;
  }
  return "";
}

} // namespace bw
