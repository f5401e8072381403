// The ledger's answers about sent and returned Message-IDs.
#include "verdict/LedgerJudge_un.h"

#include <algorithm>

namespace bw {

TLookupResult TLedgerJudge::LookUp(std::span<const std::string> AIdTexts) {
  TLookupResult Result = lrAbsent;
  for (const std::string &Text : AIdTexts) {
    switch (LookUpText(Text)) {
    case lrFound:
      return lrFound;
    case lrUnknown:
      Result = lrUnknown;
      break;
    case lrAbsent:
      break;
    }
  }
  return Result;
}

TLookupResult TLedgerJudge::LookUpText(std::string_view AIdText) { return FStore->Contains(FHasher.KeyOf(AIdText)); }

TRecordResult TLedgerJudge::Record(std::string_view AIdText, TLedgerTime ATime) {
  return FStore->Record(FHasher.KeyOf(AIdText), ATime);
}

std::optional<TLedgerTime> CoveredFrom(ILedgerStore &AStore, std::chrono::seconds ARetention) {
  const std::optional<TLedgerTime> Start = AStore.StartTime();
  if (!Start)
    return std::nullopt;
  // A bounce of a message whose record was lost may come back for a whole
  // retention after the loss: until then a missing ID proves nothing.
  const std::optional<TLedgerTime> Lost = AStore.LastLostRecords();
  return std::max(*Start, Lost.value_or(*Start)) + ARetention;
}

bool TLedgerJudge::CoversRetention() {
  const std::optional<TLedgerTime> From = CoveredFrom();
  return From && *From <= LedgerNow();
}

} // namespace bw
