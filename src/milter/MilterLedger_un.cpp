// The milter's use of the ledger.
#include "milter/MilterLedger_un.h"

#include "rtl/Charset_un.h"

#include <algorithm>

namespace bw {

TLookupResult TMilterLedger::LookUp(std::span<const std::u16string> AReturnedIds) {
  TLookupResult Result = lrAbsent;
  for (const std::u16string &Id : AReturnedIds) {
    // An empty ID would make every bounce that returns "<>" ours; none is recorded.
    if (Id.empty())
      continue;
    switch (FStore->Contains(FHasher.KeyOf(WideToUtf8(Id)))) {
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

TRecordResult TMilterLedger::Record(std::string_view AId) { return FStore->Record(FHasher.KeyOf(AId), LedgerNow()); }

std::optional<TLedgerTime> TMilterLedger::CoveredFrom() {
  const std::optional<TLedgerTime> Start = FStore->StartTime();
  if (!Start)
    return std::nullopt;
  // A bounce of a message whose record was lost may come back for a whole
  // retention after the loss: until then a missing ID proves nothing.
  const std::optional<TLedgerTime> Lost = FStore->LastLostRecords();
  return std::max(*Start, Lost.value_or(*Start)) + FRetention;
}

bool TMilterLedger::CoversRetention() {
  const std::optional<TLedgerTime> From = CoveredFrom();
  return From && *From <= LedgerNow();
}

} // namespace bw
