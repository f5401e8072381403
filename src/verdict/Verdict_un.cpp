// The decision over a bounce's returned Message-IDs.
#include "verdict/Verdict_un.h"

#include "detector/MailDate_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"
#include "verdict/MessageIdKey_un.h"

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

// The answer of a ledger that cannot answer, or whose absence proves
// nothing (a gap) where it would decide alone: see Decide.
static TDecision OutageAnswer(TJudging AJudging, const TEvidence &AEvidence, TDecision ADecision) {
  switch (AEvidence.OnOutage) {
  case oaAccept:
    ADecision.Verdict = cvNotBackscatter;
    return ADecision;
  case oaPattern:
    if (AJudging != jgLedger)
      return DecideByPattern(AEvidence, std::move(ADecision));
    ADecision.Verdict = cvError;
    ADecision.Error = "the ledger cannot answer and there is no pattern";
    return ADecision;
  case oaTempfail:
    break;
  }
  // Under the union a pattern that knows an ID needs no ledger, and one
  // that fails gives no verdict either way.
  if (AJudging == jgUnion && AEvidence.Pattern != peNoMatch)
    return DecideByPattern(AEvidence, std::move(ADecision));
  ADecision.Verdict = cvDeferred;
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
    if (AEvidence.Gap != gpNone) {
      // A recorder may have missed the message: its absence proves nothing.
      Decision.RuleNote = "ledger gap";
      if (AJudging == jgLedger)
        return OutageAnswer(AJudging, AEvidence, std::move(Decision));
      break;
    }
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
  case leSlow:
  case leNotAsked:
    // Never judge a bounce backscatter because a store is down or slow.
    Decision.RuleNote = AEvidence.Ledger == leSlow ? "ledger slow" : "ledger unavailable";
    return OutageAnswer(AJudging, AEvidence, std::move(Decision));
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

static TLedgerEvidence LedgerEvidenceOf(TLookupAnswer AAnswer) {
  switch (AAnswer.Result) {
  case lrFound:
    return leFound;
  case lrAbsent:
    return leAbsent;
  case lrUnknown:
    break;
  }
  return AAnswer.Slow ? leSlow : leUnknown;
}

TReturnedIds ReturnedIdsOf(const TBackscatterDetector::TReturnedMessage &AReturned) {
  TReturnedIds Ids;
  Ids.MessageIDs = AReturned.MessageIDs;
  Ids.LedgerTexts = ReturnedMessageIdTexts(AReturned);
  for (const std::vector<THeaderField> &Block : AReturned.HeaderBlocks)
    for (const THeaderField &Field : Block)
      if (!Ids.Date && SameText(Field.Name, "Date"))
        Ids.Date = ParseMailDate(Field.Value);
  return Ids;
}

TDecision JudgeReturned(const TJudges &AJudges, const TReturnedIds &AReturned) {
  const TJudging Judging = AJudges.Judging();
  TEvidence Evidence;
  Evidence.MessageIdCount = AReturned.MessageIDs.size();
  Evidence.OnOutage = AJudges.OnOutage;
  if (AReturned.MessageIDs.empty())
    return Decide(Judging, Evidence);
  if (AJudges.Ledger) {
    Evidence.Ledger = LedgerEvidenceOf(AJudges.Ledger->Ask(AReturned.LedgerTexts));
    // Only a ledger that decides alone needs to know whether it covers its
    // retention and where its gaps lie (what the store knows of itself).
    if (Evidence.Ledger == leAbsent && (Judging == jgLedger || Judging == jgStrict)) {
      Evidence.LedgerCovers = AJudges.Ledger->CoversRetention();
      Evidence.Gap = AJudges.Ledger->PlaceInGaps(AReturned.Date);
    }
  }
  if (AJudges.Pattern && Evidence.Ledger != leFound) {
    try {
      Evidence.Pattern = MatchesAnyMessageID(*AJudges.Pattern, AReturned.MessageIDs) ? peMatch : peNoMatch;
    } catch (const ERegexMatchError &E) {  // a pattern that cannot be used, a match over its budget
      Evidence.Pattern = peError;
      Evidence.PatternError = ExceptionText(E);
    }
  }
  TDecision Decision = Decide(Judging, Evidence);
  Decision.ReturnedIds = AReturned.LedgerTexts;
  Decision.LedgerAnswer = Evidence.Ledger;
  return Decision;
}

TDecision JudgeMessageIDs(const TJudges &AJudges, std::span<const std::u16string> AMessageIDs) {
  TReturnedIds Returned;
  Returned.MessageIDs.assign(AMessageIDs.begin(), AMessageIDs.end());
  Returned.LedgerTexts = ReturnedMessageIdTexts({Returned.MessageIDs, {}});
  return JudgeReturned(AJudges, Returned);
}

TDecision JudgeBounce(const std::string &ASender, std::string AContent, const TJudges &AJudges) {
  TReturnedIds Returned;
  try {
    if (AJudges.Ledger) {
      Returned = ReturnedIdsOf(TBackscatterDetector::ReturnedMessage(ASender, std::move(AContent)));
    } else {
      Returned.MessageIDs = TBackscatterDetector::ReturnedMessageIDs(ASender, std::move(AContent));
      Returned.LedgerTexts = ReturnedMessageIdTexts({Returned.MessageIDs, {}});
    }
  } catch (const Exception &E) {
    // An object failure while reading the message: no verdict either.
    TDecision Decision;
    Decision.Verdict = cvError;
    Decision.Error = ExceptionText(E);
    return Decision;
  }
  return JudgeReturned(AJudges, Returned);
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
  case cvDeferred:
    return "deferred";
  }
  return "unknown";
}

std::string_view RuleName(TDecidingRule ARule) {
  switch (ARule) {
  case drPattern:
    return "pattern";
  case drLedger:
    return "ledger";
  case drBatv:
    return "batv";
  case drOneRecipient:
    return "one-recipient";
  case drNeverRefuse:
    return "never-refuse";
  case drNoBouncesTo:
    return "no-bounces-to";
  case drNone:
    break;
  }
  return "";
}

} // namespace bw
