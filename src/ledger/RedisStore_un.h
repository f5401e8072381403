// The ledger in Redis, for several MTA hosts sharing one record of sent mail.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"
#include "ledger/LedgerUri_un.h"

#include <memory>

namespace bw {

// Opens the Redis ledger at ALocation (lkRedisTcp or lkRedisUnix). See
// OpenLedgerStore. Entries are the keys "bwl:<32 hexadecimal digits>" with
// the time they were sent as their value and the rest of the retention as
// their time to live; the start time is "bwl-start", without one.
std::unique_ptr<ILedgerStore> OpenRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                             TLedgerLog ALog);

} // namespace bw
