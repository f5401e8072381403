// The ledger's clock and the text of its times.
#include "ledger/LedgerStore_un.h"

#include <ctime>

namespace bw {

TLedgerTime LedgerNow() { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

TLedgerTime RetentionCutoff(TLedgerTime ANow, std::chrono::seconds ARetention) { return ANow - ARetention; }

std::string LedgerTimeText(TLedgerTime ATime) {
  const std::time_t Seconds = ATime.time_since_epoch().count();
  std::tm Parts{};
  char Text[64];
  if (!::gmtime_r(&Seconds, &Parts) || std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &Parts) == 0)
    return std::to_string(Seconds);
  return Text;
}

} // namespace bw
