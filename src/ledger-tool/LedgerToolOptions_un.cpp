// The ledger tool's command line.
#include "ledger-tool/LedgerToolOptions_un.h"

#include "rtl/ExitCodes_un.h"
#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <iterator>

namespace bw {

namespace {
enum TToolOptionId : int { toHelp = 1000, toVersion };

struct TCommandInfo {
  std::string_view Name;
  TLedgerCommand Command;
  bool TakesArgs;
};
} // namespace

static constexpr TCommandInfo Commands[] = {
    {"init", lcInit, false},    {"add", lcAdd, true},       {"lookup", lcLookup, true},
    {"import", lcImport, true}, {"stats", lcStats, false}, {"prune", lcPrune, false},
    {"batv", lcBatv, true},
    {"cover", lcCover, true},   {"retire", lcRetire, true},
};

static constexpr TOptionInfo ToolOptions[] = {
    {"help", nullptr, dkNone, nullptr, "show this text", toHelp},
    {"version", nullptr, dkNone, nullptr, "show the version", toVersion},
};

// The ledger's options, BATV's key options, then --help and --version.
static const std::vector<TOptionInfo> &AllOptions() {
  static const std::vector<TOptionInfo> All = [] {
    const std::span<const TOptionInfo> Ledger = LedgerOptionTable(), Batv = BatvKeyOptionTable();
    std::vector<TOptionInfo> Options(Ledger.begin(), Ledger.end());
    Options.insert(Options.end(), Batv.begin(), Batv.end());
    Options.insert(Options.end(), std::begin(ToolOptions), std::end(ToolOptions));
    return Options;
  }();
  return All;
}

TLedgerToolParseResult ParseLedgerToolArguments(std::span<const std::string> AArgs) {
  TLedgerToolParseResult Result;
  TLedgerToolParameters &Parameters = Result.Parameters;
  bool Help = false, Version = false;
  const auto Apply = [&](const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource) -> TResult<void> {
    if (AInfo.Id == toHelp || AInfo.Id == toVersion) {
      (AInfo.Id == toHelp ? Help : Version) = true;
      return {};
    }
    if (AInfo.Id >= biBatvKeyFile)
      return ApplyBatvOption(AInfo.Id, AValue, ASource, Parameters.Batv);
    return ApplyLedgerOption(AInfo.Id, AValue, ASource, Parameters.Ledger);
  };
  const TResult<std::vector<std::string>> Operands = ParseOptions(AArgs, AllOptions(), Apply, opAfterOptions);
  if (Help || Version) {
    Result.Request = Help ? ltHelp : ltVersion;
    return Result;
  }
  if (!Operands) {
    Result.Message = Operands.error();
    return Result;
  }
  if (Operands->empty()) {
    Result.Message = "no command given (init, add, lookup, import, stats, prune, cover, retire or batv)";
    return Result;
  }
  const std::string &Name = Operands->front();
  const auto Found = std::find_if(std::begin(Commands), std::end(Commands),
                                  [&Name](const TCommandInfo &AInfo) { return AInfo.Name == Name; });
  if (Found == std::end(Commands)) {
    Result.Message = "unknown command: " + OneLineText(Name);
    return Result;
  }
  Parameters.Command = Found->Command;
  Parameters.Args.assign(Operands->begin() + 1, Operands->end());
  if (Found->TakesArgs == Parameters.Args.empty()) {
    Result.Message = Found->TakesArgs ? Name + " needs at least one argument" : Name + " takes no arguments";
    return Result;
  }
  if (Parameters.Command == lcBatv &&
      (Parameters.Args.size() != 2 || (Parameters.Args[0] != "sign" && Parameters.Args[0] != "verify"))) {
    Result.Message = "batv takes \"sign ADDRESS\" or \"verify ADDRESS\"";
    return Result;
  }
  if ((Found->Command == lcCover || Found->Command == lcRetire) && Parameters.Args.size() != 1) {
    Result.Message = Name + " takes one argument";
    return Result;
  }
  Result.Request = ltRun;
  return Result;
}

std::string LedgerToolHelpText() {
  return "Usage: bouncewarden-ledger [OPTION...] COMMAND [ARG...]\n"
         "Keeps the ledger of the Message-IDs of sent mail that bounces are checked against.\n"
         "\n"
         "Commands:\n"
         "  init            create the key file (mode 0600) when it is missing, and the ledger\n"
         "  add ID...       record the IDs as sent now\n"
         "  lookup ID...    tell whether each ID is recorded, as the milter would find it (exit 0: all\n"
         "                  are, 1: not all)\n"
         "  import PATH...  record the IDs of the mbox files or maildirs of sent mail, as sent at\n"
         "                  their Date; messages older than the retention are skipped\n"
         "  stats           entries, oldest, newest, bytes used and fullness, start time, cover date,\n"
         "                  key fingerprint, the recorders and the gaps in their recording\n"
         "  prune           remove the entries older than the retention\n"
         "  cover --since=DATE\n"
         "                  state that every way this site sends mail has been recorded or imported\n"
         "                  since DATE (YYYY-MM-DD, UTC): the warm-up then counts from it\n"
         "  retire RECORDER a recorder host that is gone for good: its marks are no longer awaited\n"
         "  batv sign ADDRESS\n"
         "                  print ADDRESS with a BATV tag, as the milter's --batv-sign makes it\n"
         "  batv verify ADDRESS\n"
         "                  tell whether ADDRESS carries a valid tag, as the milter's --batv-verify\n"
         "                  finds it (exit 0: valid, 1: invalid or none, 2: expired)\n"
         "\n"
         "Options (the milter takes the same ledger and BATV key options):\n" +
         OptionsHelp(AllOptions()) + "\n" + ExitCodesHelp(LedgerToolExitCodes);
}

} // namespace bw
