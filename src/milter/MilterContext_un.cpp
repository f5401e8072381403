// The process-lifetime context of the milter.
#include "milter/MilterContext_un.h"

#include <algorithm>

namespace bw {

TMilterContext::TMilterContext(TMilterOptions AOptions, std::unique_ptr<TMilterLog> ALog)
    : FOptions(std::move(AOptions)),
      FPattern(FOptions.Pattern.empty() ? nullptr : std::make_unique<const TMessageIdPattern>(FOptions.Pattern)),
      FLog(std::move(ALog)), FChecks(FOptions.Workers) {}

void TMilterContext::AttachLedger(std::unique_ptr<TLedgerJudge> ALedger) {
  FLedger = std::move(ALedger);
  FUpkeep = std::make_unique<TLedgerUpkeep>(*FLedger, *FLog, !FOptions.RecordFrom.Empty(), FOptions.Ledger.Uri,
                                            FOptions.Ledger.KeyFile);
}

bool TMilterContext::BeginTransaction() {
  const std::lock_guard Lock(FMutex);
  if (FStopping)
    return false;
  ++FTransactions;
  return true;
}

void TMilterContext::EndTransaction() noexcept {
  {
    const std::lock_guard Lock(FMutex);
    --FTransactions;
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
