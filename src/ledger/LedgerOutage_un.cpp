// Outage logging of a store.
#include "ledger/LedgerOutage_un.h"

namespace bw {

TOutageLog::TOutageLog(TLedgerLog ALog, std::string AStartText, std::string AEndText)
    : FLog(std::move(ALog)), FStartText(std::move(AStartText)), FEndText(std::move(AEndText)) {}

void TOutageLog::Failed(const std::string &AReason) {
  {
    const std::lock_guard<std::mutex> Lock(FLock);
    if (FDown.load(std::memory_order_relaxed))
      return;
    FSince = std::chrono::steady_clock::now();
    FDown.store(true, std::memory_order_release);
  }
  if (FLog)
    FLog(FStartText + ": " + AReason);
}

void TOutageLog::Succeeded() {
  if (!FDown.load(std::memory_order_acquire))
    return;
  std::chrono::steady_clock::duration Lasted;
  {
    const std::lock_guard<std::mutex> Lock(FLock);
    if (!FDown.load(std::memory_order_relaxed))
      return;
    Lasted = std::chrono::steady_clock::now() - FSince;
    FEndedAt.store(LedgerNow().time_since_epoch().count(), std::memory_order_relaxed);
    FDown.store(false, std::memory_order_release);
  }
  if (FLog)
    FLog(FEndText + " after " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(Lasted).count()) +
         " s");
}

std::optional<TLedgerTime> TOutageLog::LastDown() const {
  if (FDown.load(std::memory_order_acquire))
    return LedgerNow();
  const std::int64_t EndedAt = FEndedAt.load(std::memory_order_relaxed);
  if (EndedAt == 0)
    return std::nullopt;
  return TLedgerTime(std::chrono::seconds(EndedAt));
}

} // namespace bw
