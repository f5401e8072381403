// Opening a ledger by its URI: the one place that knows every kind of store.
//
// Callers that open a store include this; callers that only use one
// include LedgerStore_un.h, and neither knows LMDB or Redis.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"

#include <memory>

namespace bw {

// Opens the store that AOptions.Uri names (see TLedgerLocation). Raises
// ELedgerError with ParseLedgerUri's message for a bad URI; under loRequire
// and loExisting, for a store that cannot be opened; under loExisting,
// "The ledger "<path or URI>" does not exist" for one that holds no ledger
// (nothing is created). Under loTolerate a store that cannot be opened logs
// that through ALog and answers "unknown" until it can.
std::unique_ptr<ILedgerStore> OpenLedgerStore(const TLedgerOptions &AOptions, TLedgerLog ALog);

} // namespace bw
