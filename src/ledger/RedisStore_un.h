// The ledger in Redis, for several MTA hosts sharing one record of sent mail.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"
#include "ledger/LedgerUri_un.h"

#include <memory>

namespace bw {

// Opens the Redis ledger at ALocation (lkRedisTcp, lkRedisUnix or
// lkRedisSentinel). See OpenLedgerStore. Entries are the keys
// "bwl:<32 hexadecimal digits>" with the time they were sent as their value
// and the rest of the retention as their time to live. The ledger's facts
// live without one: "bwl-start", "bwl-cover" (seconds), "bwl-fingerprint",
// and the hashes "bwl-beats" (recorder: seconds) and "bwl-gaps" (recorder:
// GapsText).
//
// Beyond OpenLedgerStore's errors, raises ELedgerError naming the password
// file when it cannot be read, and, whatever the opening, when Redis is
// reached and would evict keys (a maxmemory-policy other than noeviction):
// a ledger that drops entries silently refuses genuine bounces. Where
// CONFIG GET is refused, that is logged once and the store goes on.
// Behind sentinels, a record counts once every replica has it (WAIT), since
// a failover may promote any; a master with fewer replicas than it had is
// not written to for 30 s, as it may be the old master in a failover.
std::unique_ptr<ILedgerStore> OpenRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                             const TLedgerLog &ALog);

} // namespace bw
