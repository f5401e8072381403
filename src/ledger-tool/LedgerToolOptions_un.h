// bouncewarden-ledger's command line: the ledger's options (the table the
// milter shares), the commands, and the help text.
#pragma once

#include "verdict/LedgerSettings_un.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bw {

enum TLedgerCommand : std::uint8_t { lcInit, lcAdd, lcLookup, lcImport, lcStats, lcPrune, lcCover, lcRetire };
enum TLedgerToolRequest : std::uint8_t { ltRun, ltHelp, ltVersion, ltUsageError };

struct TLedgerToolParameters {
  TLedgerSettings Ledger = DefaultLedgerSettings();
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

// The text of --help.
std::string LedgerToolHelpText();

} // namespace bw
