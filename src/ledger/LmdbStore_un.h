// The ledger in an LMDB file, for one host: no server to run.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"
#include "ledger/LedgerUri_un.h"

#include <memory>

namespace bw {

// Opens (creating it when missing, but under loExisting) the LMDB ledger
// in the data file ALocation.Path (lkLmdb), with its lock file beside it
// ("<path>-lock"). See OpenLedgerStore. Run as root, a file it creates goes
// to the owner of the existing data file, else of the folder, so that the
// milter's user can still open the ledger. A file replaced or removed at
// the path is noticed within a few seconds, opened (or created) again, and
// the records this process made in the old one are a gap of its recorder.
//
// One environment per file and process: LMDB breaks its own locks when a
// process opens one file twice, so never open a second store on the same
// path in one process. Other processes may open it at the same time (one
// writes at a time; readers never wait).
std::unique_ptr<ILedgerStore> OpenLmdbStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                            const TLedgerLog &ALog);

} // namespace bw
