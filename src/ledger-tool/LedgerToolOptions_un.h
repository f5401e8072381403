// bouncewarden-ledger's command line: the ledger's and BATV's key options
// (the tables the milter shares), the commands, and the help text.
#pragma once

#include "verdict/BatvSettings_un.h"
#include "verdict/LedgerSettings_un.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bw {

enum TLedgerCommand : std::uint8_t { lcInit, lcAdd, lcLookup, lcImport, lcStats, lcPrune, lcBatv, lcCover, lcRetire };
enum TLedgerToolRequest : std::uint8_t { ltRun, ltHelp, ltVersion, ltUsageError };

struct TLedgerToolParameters {
  TLedgerSettings Ledger = DefaultLedgerSettings();
  TLedgerCommand Command = lcStats;
  std::vector<std::string> Args;
  TBatvSettings Batv = DefaultBatvSettings();  // the key options, as the milter takes them
};

struct TLedgerToolParseResult {
  TLedgerToolRequest Request = ltUsageError;
  TLedgerToolParameters Parameters;
  std::string Message;  // why the command line was refused
};

// Options come before the command; everything after it is its arguments
// ("batv" takes exactly "sign ADDRESS" or "verify ADDRESS"). Never prints or
// exits.
TLedgerToolParseResult ParseLedgerToolArguments(std::span<const std::string> AArgs);

// The text of --help.
std::string LedgerToolHelpText();

} // namespace bw
