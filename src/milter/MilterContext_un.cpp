// The process-lifetime context of the milter.
#include "milter/MilterContext_un.h"

#include <algorithm>
#include <utility>

namespace bw {

TMilterContext::TMilterContext(TMilterOptions AOptions, std::unique_ptr<TMilterLog> ALog, TGivenSettings AGiven)
    : FStartOptions(AOptions), FLog(std::move(ALog)), FBuffers(FStartOptions.BufferLimitBytes),
      FSettings(MakeSettings(std::move(AOptions), std::move(AGiven))), FChecks(FStartOptions.Workers) {}

TMilterSettingsPtr TMilterContext::Settings() const {
  const std::lock_guard Lock(FSettingsMutex);
  return FSettings;
}

void TMilterContext::Install(TMilterSettingsPtr ASettings) {
  // The old snapshot goes when the last transaction holding it ends, never
  // under the lock.
  TMilterSettingsPtr Old;
  FBuffers.SetLimit(ASettings->Options.BufferLimitBytes);
  const std::lock_guard Lock(FSettingsMutex);
  Old = std::exchange(FSettings, std::move(ASettings));
}

void TMilterContext::AttachLedger(std::shared_ptr<TLedgerJudge> ALedger) {
  auto Settings = std::make_shared<TMilterSettings>(*this->Settings());
  Settings->Ledger = std::move(ALedger);
  Settings->Upkeep = MakeUpkeep(*Settings, *FLog);
  Install(std::move(Settings));
}

void TMilterContext::AttachRecipients(std::shared_ptr<const TRecipientJudge> AJudge) {
  auto Settings = std::make_shared<TMilterSettings>(*this->Settings());
  Settings->Recipients = std::move(AJudge);
  Install(std::move(Settings));
}

TLedgerJudge *TMilterContext::Ledger() const { return Settings()->Ledger.get(); }

std::shared_ptr<TLedgerUpkeep> TMilterContext::Upkeep() const { return Settings()->Upkeep; }

bool TMilterContext::BeginTransaction() {
  const std::lock_guard Lock(FMutex);
  if (FStopping)
    return false;
  ++FTransactions;
  return true;
}

void TMilterContext::EndTransaction(TTransactionEnd AHow) noexcept {
  {
    const std::lock_guard Lock(FMutex);
    --FTransactions;
    if (FStopping)
      ++(AHow == teAnswered ? FAnsweredSinceStop : FAbortedSinceStop);
  }
  FChanged.notify_all();
}

void TMilterContext::BeginStop() {
  const std::lock_guard Lock(FMutex);
  FStopping = true;
}

bool TMilterContext::WaitForTransactions(std::chrono::steady_clock::time_point ADeadline) {
  std::unique_lock Lock(FMutex);
  return FChanged.wait_until(Lock, ADeadline, [this] { return FTransactions == 0; });
}

void TMilterContext::EnterCallback() noexcept {
  const std::lock_guard Lock(FMutex);
  ++FCallbacks;
  FLastCallback = std::chrono::steady_clock::now();
}

void TMilterContext::LeaveCallback() noexcept {
  {
    const std::lock_guard Lock(FMutex);
    --FCallbacks;
    FLastCallback = std::chrono::steady_clock::now();
  }
  FChanged.notify_all();
}

bool TMilterContext::WaitForQuiet(std::chrono::milliseconds AQuiet, std::chrono::steady_clock::time_point ADeadline) {
  std::unique_lock Lock(FMutex);
  for (;;) {
    const auto Now = std::chrono::steady_clock::now();
    if (FCallbacks == 0 && Now - FLastCallback >= AQuiet)
      return true;
    if (Now >= ADeadline)
      return false;
    FChanged.wait_until(Lock, std::min(ADeadline, FCallbacks == 0 ? FLastCallback + AQuiet : ADeadline));
  }
}

std::size_t TMilterContext::OpenTransactions() const {
  const std::lock_guard Lock(FMutex);
  return FTransactions;
}

} // namespace bw

namespace bw {

std::size_t TMilterContext::AnsweredSinceStop() const {
  const std::lock_guard Lock(FMutex);
  return FAnsweredSinceStop;
}

std::size_t TMilterContext::AbortedSinceStop() const {
  const std::lock_guard Lock(FMutex);
  return FAbortedSinceStop;
}

} // namespace bw
