// The choice of store a URI makes: one row per kind of location, each with
// the function that opens it, so that a new kind of store is one row and
// one unit, and no store knows another.
#include "ledger/LedgerOpen_un.h"

#include "ledger/LedgerUri_un.h"
#include "ledger/LmdbStore_un.h"
#include "ledger/RedisStore_un.h"

namespace bw {

static constexpr const char *UnitName = "LedgerOpen_un";
static constexpr int KindWithoutOpenerLine = 38;

namespace {
using TStoreOpener = std::unique_ptr<ILedgerStore> (*)(const TLedgerOptions &, const TLedgerLocation &, const TLedgerLog &);

struct TStoreKind {
  TLedgerKind Kind;
  TStoreOpener Open;
};
} // namespace

static constexpr TStoreKind StoreKinds[] = {
    {lkLmdb, OpenLmdbStore},
    {lkRedisTcp, OpenRedisStore},
    {lkRedisUnix, OpenRedisStore},
    {lkRedisSentinel, OpenRedisStore},
};

std::unique_ptr<ILedgerStore> OpenLedgerStore(const TLedgerOptions &AOptions, TLedgerLog ALog) {
  const TResult<TLedgerLocation> Location = ParseLedgerUri(AOptions.Uri);
  if (!Location)
    throw ELedgerError(Location.error());
  for (const TStoreKind &Kind : StoreKinds)
    if (Kind.Kind == Location->Kind)
      return Kind.Open(AOptions, *Location, std::move(ALog));
  Assert(false, UnitName, KindWithoutOpenerLine);  // a kind that ParseLedgerUri makes lacks its row above
  return nullptr;
}

} // namespace bw
