// An outage of a store, logged once when it starts and once when it ends.
//
// Every lookup or record reports whether it worked; only the changes reach
// the log, so a store that is down for an hour costs two lines, not one per
// message.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

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

private:
  TLedgerLog FLog;
  std::string FStartText;
  std::string FEndText;
  std::atomic<bool> FDown{false};
  std::mutex FLock;  // orders the changes; never held while the log runs
  std::chrono::steady_clock::time_point FSince;
  std::atomic<std::int64_t> FEndedAt{0};  // seconds since the epoch; 0 while none ended
};

} // namespace bw
