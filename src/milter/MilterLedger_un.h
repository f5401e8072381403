// The ledger as the milter uses it: one store and the site's keyed hash,
// looked up with a bounce's returned Message-IDs and written with the IDs of
// the mail the site sends.
//
// Both sides key an ID the same way: the UTF-8 text of the ID as the
// detector extracts it from a returned copy (WideToUtf8 of
// ReturnedMessageIDs), which is what Utf8MessageIdOfHeaderValue makes of the
// header the message was sent with.
#pragma once

#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerStore_un.h"

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bw {

class TMilterLedger {
public:
  TMilterLedger(std::unique_ptr<ILedgerStore> AStore, TLedgerHasher AHasher, std::chrono::seconds ARetention)
      : FStore(std::move(AStore)), FHasher(std::move(AHasher)), FRetention(ARetention) {}
  TMilterLedger(const TMilterLedger &) = delete;
  TMilterLedger &operator=(const TMilterLedger &) = delete;

  // lrFound when any of the IDs was recorded (the rest are not asked);
  // otherwise lrUnknown when the store could not answer for one, else
  // lrAbsent. Never waits longer than the store's bound per ID.
  TLookupResult LookUp(std::span<const std::u16string> AReturnedIds);
  // Records the ID (UTF-8, as Utf8MessageIdOfHeaderValue gives it) as sent now.
  TRecordResult Record(std::string_view AId);
  // True once the store's start time, and the last time this process's
  // records may have been lost, lie a whole retention back, so that an ID
  // missing from it was not sent within the retention; false while the store
  // cannot say.
  bool CoversRetention();
  // When CoversRetention turns true; nothing while the store cannot say.
  std::optional<TLedgerTime> CoveredFrom();

  ILedgerStore &Store() noexcept { return *FStore; }

private:
  std::unique_ptr<ILedgerStore> FStore;
  const TLedgerHasher FHasher;
  const std::chrono::seconds FRetention;
};

} // namespace bw
