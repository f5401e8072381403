// bouncewarden-ledger: the administrator's commands on a ledger of sent
// Message-IDs (init, add, lookup, import, stats, prune).
#pragma once

#include <span>
#include <string>

namespace bw {

// Runs the command line (the arguments after the program's name) and
// returns the exit code, one of LedgerToolExitCodes (rtl/ExitCodes_un.h).
int RunLedgerTool(std::span<const std::string> AArgs);

} // namespace bw
