// The ledger as a judge of bounces: one store and the site's keyed hash,
// written with the IDs of the mail the site sends and asked about the IDs
// a bounce returns. The milter and bouncewarden-ledger both go through it,
// so that the tool answers exactly what the milter would.
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

// When AStore covers ARetention: a retention after its start time, or after
// the last time this process's records may have been lost, whichever is
// later; nothing while the store cannot say.
std::optional<TLedgerTime> CoveredFrom(ILedgerStore &AStore, std::chrono::seconds ARetention);

class TLedgerJudge {
public:
  TLedgerJudge(std::unique_ptr<ILedgerStore> AStore, TLedgerHasher AHasher, std::chrono::seconds ARetention)
      : FStore(std::move(AStore)), FHasher(std::move(AHasher)), FRetention(ARetention) {}
  TLedgerJudge(const TLedgerJudge &) = delete;
  TLedgerJudge &operator=(const TLedgerJudge &) = delete;

  // lrFound when any of the returned IDs' texts (ReturnedMessageIdTexts)
  // was recorded (the rest are not asked); otherwise lrUnknown when the
  // store could not answer for one, else lrAbsent. Never waits longer than
  // the store's bound per ID.
  TLookupResult LookUp(std::span<const std::string> AIdTexts);
  // One ID's text, as SentMessageIdText or ReturnedMessageIdText give it.
  TLookupResult LookUpText(std::string_view AIdText);
  // Records the ID's text (SentMessageIdText) as sent at ATime.
  TRecordResult Record(std::string_view AIdText, TLedgerTime ATime);
  TRecordResult Record(std::string_view AIdText) { return Record(AIdText, LedgerNow()); }
  // True once the store's start time, and the last time this process's
  // records may have been lost, lie a whole retention back, so that an ID
  // missing from it was not sent within the retention; false while the store
  // cannot say.
  bool CoversRetention();
  // When CoversRetention turns true; nothing while the store cannot say.
  std::optional<TLedgerTime> CoveredFrom() { return bw::CoveredFrom(*FStore, FRetention); }

  std::chrono::seconds Retention() const noexcept { return FRetention; }
  ILedgerStore &Store() noexcept { return *FStore; }

private:
  std::unique_ptr<ILedgerStore> FStore;
  const TLedgerHasher FHasher;
  const std::chrono::seconds FRetention;
};

} // namespace bw
