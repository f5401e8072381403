// bouncewarden-ledger: the administrator's commands on a ledger of sent
// Message-IDs (init, add, lookup, import, stats, prune).
#pragma once

#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerOptions_un.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bw {

enum TLedgerCommand : std::uint8_t { lcInit, lcAdd, lcLookup, lcImport, lcStats, lcPrune };
enum TLedgerToolRequest : std::uint8_t { ltRun, ltHelp, ltVersion, ltUsageError };

struct TLedgerToolParameters {
  std::string Uri = DefaultLedgerUri;
  std::string KeyFile = DefaultLedgerKeyFile;
  std::chrono::days Retention{DefaultRetentionDays};
  std::uint64_t MapSize = std::uint64_t(DefaultMapSizeMiB) << 20;
  TLedgerCommand Command = lcStats;
  std::vector<std::string> Args;
};

struct TLedgerToolParseResult {
  TLedgerToolRequest Request = ltUsageError;
  TLedgerToolParameters Parameters;
  std::string Message;  // why the command line was refused
};

// Options come before the command; everything after it is its arguments.
// Never prints or exits.
TLedgerToolParseResult ParseLedgerToolArguments(std::span<const std::string> AArgs);

// Runs the command line (the arguments after the program's name) and
// returns the exit code: 0, 1 when lookup found not every ID, otherwise a
// sysexits.h code (64 usage, 65 an argument that is no Message-ID, 66 a key
// file or mail file that cannot be read, 69 a ledger that cannot be opened,
// 73 a file that cannot be created, 74 a ledger that cannot be written, 75
// a ledger that stopped answering).
int RunLedgerTool(std::span<const std::string> AArgs);

} // namespace bw
