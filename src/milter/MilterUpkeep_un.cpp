// The ledger's upkeep in the milter.
#include "milter/MilterUpkeep_un.h"

namespace bw {

// How soon a failed check or mark is tried again.
static constexpr std::chrono::seconds RetryAfter{5};

TLedgerUpkeep::TLedgerUpkeep(TLedgerJudge &ALedger, TMilterLog &ALog, bool ARecords, std::string AUri,
                             std::string AKeyFile)
    : FLedger(ALedger), FLog(ALog), FRecords(ARecords), FUri(std::move(AUri)), FKeyFile(std::move(AKeyFile)) {}

std::string OtherKeyText(const std::string &AUri, const std::string &AKeyFile, TLedgerJudge &ALedger) {
  return "the ledger " + AUri + " was keyed with another key (its fingerprint " +
         ALedger.Store().Fingerprint().value_or("?") + ", that of " + AKeyFile + " is " + ALedger.KeyFingerprint() +
         "): give every host of one ledger the same key file (or, while rotating keys, the old one as "
         "--ledger-previous-key-file)";
}

std::optional<std::string> TLedgerUpkeep::Start() {
  const std::lock_guard Lock(FLock);
  const TKeyCheck Check = FLedger.CheckKey(/*AMayWrite=*/true);
  if (Check == kcOther)
    return OtherKeyText(FUri, FKeyFile, FLedger);
  FKeyKnown = Check != kcUnknown;
  if (!FKeyKnown)
    FLog.Daemon("the ledger's key fingerprint cannot be read yet: it is compared once the ledger answers");
  if (FRecords)
    Mark();
  return std::nullopt;
}

void TLedgerUpkeep::Tick(std::chrono::steady_clock::time_point ANow) {
  const std::lock_guard Lock(FLock);
  if (!FKeyKnown && ANow >= FNextKeyCheck) {
    CheckKey();
    FNextKeyCheck = ANow + RetryAfter;
  }
  if (FRecords && ANow >= FNextMark)
    Mark();
}

void TLedgerUpkeep::CheckKey() {
  switch (FLedger.CheckKey(/*AMayWrite=*/true)) {
  case kcOther:
    // Nothing the ledger says can be trusted now: every lookup answers
    // "unknown", which gives the outage answer.
    FLog.Daemon("error: " + OtherKeyText(FUri, FKeyFile, FLedger) + "; the ledger is not used until a restart");
    FKeyKnown = true;
    break;
  case kcSame:
  case kcWritten:
  case kcNone:
    FKeyKnown = true;
    break;
  case kcUnknown:
    break;
  }
}

void TLedgerUpkeep::Mark() {
  const TRecordResult Result = FLedger.MarkRecording(LedgerNow());
  const bool Failed = Result != rrAccepted;
  if (Failed && !FMarkFailed)
    FLog.Daemon("the ledger took no recorder's mark: other hosts will count this one as not recording after " +
                std::to_string(HeartbeatStale.count()) + " s");
  else if (!Failed && FMarkFailed)
    FLog.Daemon("the ledger takes this recorder's marks again");
  FMarkFailed = Failed;
  FNextMark = std::chrono::steady_clock::now() + (Failed ? RetryAfter : HeartbeatInterval);
}

} // namespace bw
