// An outage of a store, logged once when it starts and once when it ends,
// and kept until the store has it as a gap.
//
// Every lookup or record reports whether it worked; only the changes reach
// the log, so a store that is down for an hour costs two lines, not one per
// message. An outage of recording is a span in which records were lost:
// once it ended, the store takes it (TakeEnded) and writes it as a gap, so
// that every host learns of it.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

class TOutageLog {
public:
  // AStartText and AEndText begin the two lines; the reason and the
  // duration follow them.
  TOutageLog(TLedgerLog ALog, std::string AStartText, std::string AEndText);

  // Logs "<start text>: <reason>" when the store was up.
  void Failed(const std::string &AReason);
  // Logs "<end text> after <n> s" when the store was down. Cheap when it was
  // up: one atomic load, so a lookup can call it every time.
  void Succeeded();
  // The last moment the store was down: now while it is, the end of its last
  // outage after one, nothing when it never was since this log was made.
  std::optional<TLedgerTime> LastDown() const;
  // The outages that ended since the last call, as one gap of ARecorder
  // (from the first one's start to the last one's end) with the reason the
  // first began with; nothing when none ended. Cheap when none did.
  std::optional<TLedgerGap> TakeEnded(std::string_view ARecorder);
  // Gives back what TakeEnded gave, when the store could not write it.
  void GiveBack(const TLedgerGap &AGap);

private:
  TLedgerLog FLog;
  std::string FStartText;
  std::string FEndText;
  std::atomic<bool> FDown{false};
  std::mutex FLock;  // orders the changes; never held while the log runs
  std::chrono::steady_clock::time_point FSince;
  TLedgerTime FStartedAt;  // FSince on the system's clock, for the gap
  std::string FReason;     // what the current or last outage began with
  std::atomic<std::int64_t> FEndedAt{0};  // seconds since the epoch; 0 while none ended
  std::atomic<bool> FHasEnded{false};     // FEnded holds a span
  std::optional<TLedgerGap> FEnded;       // under FLock
};

} // namespace bw
