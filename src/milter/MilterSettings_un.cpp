// Snapshots of the settings, and what a reload makes of a new reading.
#include "milter/MilterSettings_un.h"

#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerUri_un.h"
#include "rtl/StrUtils_un.h"

#include <algorithm>

namespace bw {

std::shared_ptr<TMilterSettings> MakeSettings(TMilterOptions AOptions, TGivenSettings AGiven) {
  auto Settings = std::make_shared<TMilterSettings>();
  Settings->Options = std::move(AOptions);
  Settings->Given = std::move(AGiven);
  if (!Settings->Options.Pattern.empty())
    Settings->Pattern = std::make_shared<const TMessageIdPattern>(Settings->Options.Pattern);
  return Settings;
}

std::shared_ptr<TLedgerUpkeep> MakeUpkeep(const TMilterSettings &ASettings, TMilterLog &ALog) {
  if (!ASettings.Ledger)
    return nullptr;
  const TMilterOptions &Options = ASettings.Options;
  return std::make_shared<TLedgerUpkeep>(*ASettings.Ledger, ALog, !Options.RecordFrom.Empty(), Options.Ledger.Uri,
                                         Options.Ledger.KeyFile);
}

static bool SameLedger(const TLedgerSettings &A, const TLedgerSettings &B) {
  return A.Uri == B.Uri && A.KeyFile == B.KeyFile && A.PreviousKeyFile == B.PreviousKeyFile &&
         A.PasswordFile == B.PasswordFile && A.Recorder == B.Recorder && A.RetentionDays == B.RetentionDays &&
         A.MapSizeMiB == B.MapSizeMiB && A.TimeoutMs == B.TimeoutMs;
}

static bool IsLmdb(const std::string &AUri) {
  const TResult<TLedgerLocation> Location = ParseLedgerUri(AUri);
  return Location && Location->Kind == lkLmdb;
}

// What the process holds from its start: the socket, the user, the log, the
// workers and the metrics endpoint.
static void KeepRestartOnly(const TMilterOptions &ARunning, TMilterOptions &AOptions) {
  AOptions.Listen = ARunning.Listen;
  AOptions.User = ARunning.User;
  AOptions.SocketOwner = ARunning.SocketOwner;
  AOptions.SocketGroup = ARunning.SocketGroup;
  AOptions.SocketMode = ARunning.SocketMode;
  AOptions.Workers = ARunning.Workers;
  AOptions.LogStderr = ARunning.LogStderr;
  AOptions.Metrics = ARunning.Metrics;
}

TReload ReloadSettings(const TMilterSettings &ARunning, const TMilterParseResult &ANew, const TLedgerOpener &AOpen,
                       const TRecipientsOpener &AOpenRecipients, TMilterLog &ALog) {
  TReload Result;
  TMilterOptions Options = ANew.Options;
  TGivenSettings Given = ANew.Given;
  KeepRestartOnly(ARunning.Options, Options);
  const std::vector<std::string> Waiting = RestartOnlyChanges(ARunning.Given, ANew.Given);
  if (!Waiting.empty()) {
    std::string Names;
    for (const std::string &Name : Waiting) {
      Names += (Names.empty() ? "" : ", ") + Name;
      // Kept as it runs, so that the next reload compares with what runs.
      if (const auto Running = ARunning.Given.find(Name); Running != ARunning.Given.end())
        Given[Name] = Running->second;
      else
        Given.erase(Name);
    }
    Result.Lines.push_back("changed, but only a restart applies it, so the running value stays: " + Names);
  }

  std::shared_ptr<TLedgerJudge> Ledger;
  const TLedgerSettings &RunningLedger = ARunning.Options.Ledger;
  if (Options.UsesLedger()) {
    if (ARunning.Ledger && SameLedger(RunningLedger, Options.Ledger)) {
      Ledger = ARunning.Ledger;
    } else if (ARunning.Ledger && RunningLedger.Uri == Options.Ledger.Uri && IsLmdb(RunningLedger.Uri)) {
      // LMDB allows one environment per file and process, and the running
      // one stays open while transactions hold it.
      Ledger = ARunning.Ledger;
      Options.Ledger = RunningLedger;
      Result.Lines.push_back("the settings of the ledger " + OneLineText(RunningLedger.Uri) +
                             " changed, but its LMDB file opens anew only at a restart: the running ones stay");
    } else {
      try {
        Ledger = AOpen(Options);
      } catch (const ELedgerKeyError &E) {  // the site's key: nothing new is safe to judge with
        return {nullptr, {"the running settings stay: " + E.Message()}};
      } catch (const ELedgerError &E) {  // a URI the parser would have refused
        return {nullptr, {"the running settings stay: " + E.Message()}};
      }
    }
  }
  std::shared_ptr<const TRecipientJudge> Recipients;
  if (Options.Batv.Any()) {
    try {
      Recipients = AOpenRecipients(Options);
    } catch (const Exception &E) {  // a key or list that cannot be read: nothing new is safe to use
      return {nullptr, {"the running settings stay: " + E.Message()}};
    }
  }
  const bool SameJudge = Ledger == ARunning.Ledger;
  std::shared_ptr<TMilterSettings> Settings = MakeSettings(std::move(Options), std::move(Given));
  Settings->Ledger = std::move(Ledger);
  Settings->Upkeep = SameJudge ? ARunning.Upkeep : MakeUpkeep(*Settings, ALog);
  // A new ledger keyed with another key would miss every ID, as at a start.
  if (!SameJudge && Settings->Upkeep)
    if (std::optional<std::string> Refusal = Settings->Upkeep->Start())
      return {nullptr, {"the running settings stay: " + *Refusal}};
  Settings->Recipients = std::move(Recipients);
  Result.Settings = std::move(Settings);
  return Result;
}

} // namespace bw
