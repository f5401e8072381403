// The LMDB store's class and the layout of its file, private to its two
// units: LmdbStore_un.cpp (opening, lookups, sweep, stats) and
// LmdbWriter_un.cpp (the queue of records and the thread that commits it).
//
// Layout: the database "ids" maps each 16-byte key to the time it was sent
// (4 bytes, unsigned seconds since 1970, host order); "meta" holds the start
// time under "start" (8 bytes, signed seconds). Keys of one fixed size keep
// the B-tree shallow. Every commit is synced, so a record that Flush saw
// committed survives the process being killed, and the machine crashing.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerOutage_un.h"
#include "ledger/LedgerStore_un.h"
#include "ledger/LmdbOwners_un.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace bw {

// A time as "ids" stores it: clamped to what 4 unsigned bytes hold.
inline std::uint32_t StoredTime(TLedgerTime ATime) {
  const std::int64_t Seconds = ATime.time_since_epoch().count();
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(Seconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

// A value of another size than ours reads as 1970, and so expires.
inline TLedgerTime TimeOfVal(const MDB_val &AVal) {
  std::uint32_t Seconds = 0;
  if (AVal.mv_size == sizeof Seconds)
    std::memcpy(&Seconds, AVal.mv_data, sizeof Seconds);
  return TLedgerTime(std::chrono::seconds(Seconds));
}

// The file once opened: the environment, its two databases and the start time.
struct TOpenLedger {
  TMdbEnvPtr Env;
  MDB_dbi Ids = 0;
  MDB_dbi Meta = 0;
  TLedgerTime Start;
};

class TLmdbStore final : public ILedgerStore {
public:
  TLmdbStore(const TLedgerOptions &AOptions, const std::string &APath, TLedgerLog ALog);
  ~TLmdbStore() override;
  TLmdbStore(const TLmdbStore &) = delete;
  TLmdbStore &operator=(const TLmdbStore &) = delete;

  TLookupResult Contains(const TLedgerKey &AKey) override;
  TRecordResult Record(const TLedgerKey &AKey, TLedgerTime ATime) override;
  TRecordResult Flush() override;
  TSweepResult Sweep(std::size_t ABudget) override;
  TLedgerStats Stats() override;
  std::optional<TLedgerTime> StartTime() override;
  std::optional<TLedgerTime> LastLostRecords() const override { return FWrites.LastDown(); }

private:
  struct TPending {
    TLedgerKey Key;
    std::uint32_t Time;
  };

  void TryOpen();
  const TOpenLedger &Opened() const;
  void WriterLoop();
  TRecordResult Commit(std::span<const TPending> ABatch);
  TSweepResult SweepSome(std::size_t ABudget);

  const TLedgerOptions FOptions;
  const std::string FPath;
  TOutageLog FReads;
  TOutageLog FWrites;
  // Set once, before FIsOpen turns true (by the constructor, or later by the
  // writer thread), and read-only from then on.
  std::unique_ptr<TOpenLedger> FLedger;
  std::atomic<bool> FIsOpen{false};
  // After a failed commit, records are refused (with FRefusal) until then.
  std::atomic<std::int64_t> FRefusedUntil{0};
  std::atomic<TRecordResult> FRefusal{rrUnavailable};

  std::mutex FQueueLock;
  std::condition_variable FWake;       // the writer: records, or stop
  std::condition_variable FCommitted;  // Flush: a batch is done
  std::vector<TPending> FQueue;
  std::uint64_t FAccepted = 0;  // records ever queued
  std::uint64_t FDone = 0;      // of those, committed or lost
  std::optional<TRecordResult> FLost;
  bool FFlushWanted = false;  // a Flush waits: commit without gathering more
  bool FStopping = false;

  std::mutex FSweepLock;
  std::optional<TLedgerKey> FSweepFrom;  // where the next sweep starts; none: the first entry

  std::thread FWriter;  // last: starts once everything above is in place
};

} // namespace bw
