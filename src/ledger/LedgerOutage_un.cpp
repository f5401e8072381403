// Outage logging of a store.
#include "ledger/LedgerOutage_un.h"

#include <algorithm>
#include <utility>

namespace bw {

TOutageLog::TOutageLog(TLedgerLog ALog, std::string AStartText, std::string AEndText)
    : FLog(std::move(ALog)), FStartText(std::move(AStartText)), FEndText(std::move(AEndText)) {}

void TOutageLog::Failed(const std::string &AReason) {
  {
    const std::lock_guard<std::mutex> Lock(FLock);
    if (FDown.load(std::memory_order_relaxed))
      return;
    FSince = std::chrono::steady_clock::now();
    FStartedAt = LedgerNow();
    FReason = AReason;
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
    const TLedgerTime Now = LedgerNow();
    FEndedAt.store(Now.time_since_epoch().count(), std::memory_order_relaxed);
    if (FEnded)
      FEnded->To = Now;
    else
      FEnded = TLedgerGap{{}, FStartedAt, Now, FReason};
    FHasEnded.store(true, std::memory_order_release);
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

std::optional<TLedgerGap> TOutageLog::TakeEnded(std::string_view ARecorder) {
  if (!FHasEnded.load(std::memory_order_acquire))
    return std::nullopt;
  const std::lock_guard<std::mutex> Lock(FLock);
  std::optional<TLedgerGap> Ended = std::exchange(FEnded, std::nullopt);
  FHasEnded.store(false, std::memory_order_release);
  if (Ended)
    Ended->Recorder = ARecorder;
  return Ended;
}

void TOutageLog::GiveBack(const TLedgerGap &AGap) {
  const std::lock_guard<std::mutex> Lock(FLock);
  if (FEnded) {
    FEnded->From = std::min(FEnded->From, AGap.From);
    FEnded->To = std::max(FEnded->To, AGap.To);
  } else {
    FEnded = AGap;
  }
  FHasEnded.store(true, std::memory_order_release);
}

} // namespace bw
