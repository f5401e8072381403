// bouncewarden-ledger batv: a signed envelope sender made or checked by
// hand, with the milter's keys and lifetime, for administrators and scripts.
#pragma once

#include "verdict/BatvSettings_un.h"

#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace bw {

// AArgs is "sign ADDRESS" or "verify ADDRESS" (the parser checked it).
// sign prints ADDRESS tagged as --batv-sign would tag it today; verify prints
// "ADDRESS: valid", "expired", "invalid" or "no tag" as --batv-verify would
// find it today. Returns the exit code: 0, ExitNotFound (no valid tag),
// ExitBatvExpired, or EX_DATAERR for an argument that is no address (or one
// tagged already, to sign), said through AReportError. Raises ELedgerKeyError
// for a key file that cannot be used.
int RunBatvCommand(const TBatvSettings &ASettings, std::span<const std::string> AArgs, std::ostream &AOut,
                   const std::function<void(const std::string &)> &AReportError);

} // namespace bw
