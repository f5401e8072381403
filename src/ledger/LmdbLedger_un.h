// The LMDB store's class and the layout of its file, private to its three
// units: LmdbStore_un.cpp (opening, lookups, sweep, stats), LmdbFacts_un.cpp
// (the ledger's facts, recorders and gaps) and LmdbWriter_un.cpp (the queue
// of records and the thread that commits it).
//
// Layout: the database "ids" maps each 16-byte key to the time it was sent
// (4 bytes, unsigned seconds since 1970, host order); "meta" holds the
// ledger's facts: "start" and "cover" (8 bytes, signed seconds),
// "fingerprint" (its bytes), "beat:<recorder>" (8 bytes, signed seconds) and
// "gaps:<recorder>" (GapsText). Keys of one fixed size keep the B-tree
// shallow. Every commit is synced, so a record that Flush saw committed
// survives the process being killed, and the machine crashing.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerOutage_un.h"
#include "ledger/LedgerStore_un.h"
#include "ledger/LmdbOwners_un.h"

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
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

inline constexpr char StartName[] = "start";
inline constexpr char CoverName[] = "cover";
inline constexpr char FingerprintName[] = "fingerprint";

inline MDB_val ValOfText(std::string_view AText) { return ValOf(AText.data(), AText.size()); }
inline std::string_view TextOfVal(const MDB_val &AVal) {
  return std::string_view(static_cast<const char *>(AVal.mv_data), AVal.mv_size);
}
inline TLedgerTime TimeOfSeconds(std::int64_t ASeconds) { return TLedgerTime(std::chrono::seconds(ASeconds)); }
// A fact in seconds: none when it is not there (or not 8 bytes).
std::optional<std::int64_t> GetSeconds(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view AName);
// AFlags as mdb_put's: MDB_NOOVERWRITE keeps one that is there.
void PutSeconds(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view AName, TLedgerTime ATime, unsigned AFlags);

// The file once opened: the environment, its two databases, and which file
// it is, so that one put in its place is noticed.
struct TOpenLedger {
  TMdbEnvPtr Env;
  MDB_dbi Ids = 0;
  MDB_dbi Meta = 0;
  dev_t Device = 0;
  ino_t Inode = 0;
  TLedgerTime OpenedAt;
  TMdbReadPool Reads;  // after Env: its transactions end before the environment closes
};

class TLmdbStore final : public ILedgerStore {
public:
  TLmdbStore(const TLedgerOptions &AOptions, const std::string &APath, const TLedgerLog &ALog);
  ~TLmdbStore() override;
  TLmdbStore(const TLmdbStore &) = delete;
  TLmdbStore &operator=(const TLmdbStore &) = delete;

  TLookupResult ContainsAny(std::span<const TLedgerKey> AKeys) override;
  TRecordResult Record(const TLedgerKey &AKey, TLedgerTime ATime) override;
  TRecordResult RecordDurably(const TLedgerKey &AKey, TLedgerTime ATime) override;
  TRecordResult RecordWaiting(const TLedgerKey &AKey, TLedgerTime ATime) override;
  TRecordResult Flush() override;
  TSweepResult Sweep(std::size_t ABudget) override;
  TLedgerStats Stats() override;
  std::optional<TLedgerTime> StartTime() override;
  std::optional<TLedgerTime> CoverSince() override;
  TRecordResult SetCoverSince(TLedgerTime ASince) override;
  std::optional<std::string> Fingerprint() override;
  TRecordResult SetFingerprint(std::string_view AFingerprint) override;
  TRecordResult Heartbeat(std::string_view ARecorder, TLedgerTime ANow) override;
  std::optional<TLedgerTime> LastHeartbeat(std::string_view ARecorder) override;
  std::optional<std::vector<TLedgerHeartbeat>> Heartbeats() override;
  TRecordResult RetireRecorder(std::string_view ARecorder) override;
  TRecordResult RecordGap(const TLedgerGap &AGap) override;
  std::optional<std::vector<TLedgerGap>> Gaps(TLedgerTime ASince) override;
  std::optional<TLedgerTime> LastLostRecords() const override { return FWrites.LastDown(); }

private:
  // A caller of RecordDurably, waiting on its stack for the batch its
  // record went into.
  struct TDurable {
    bool Done = false;
    TRecordResult Result = rrAccepted;
  };
  struct TPending {
    TLedgerKey Key;
    std::uint32_t Time;
    TDurable *Waiter;  // nullptr: nobody waits for this one
  };
  enum TQueueFull : std::uint8_t { qfRefuse, qfWait };

  std::shared_ptr<TOpenLedger> Current() const {
    const std::lock_guard<std::mutex> Lock(FLedgerLock);
    return FLedger;
  }
  void SetCurrent(std::shared_ptr<TOpenLedger> ALedger) {
    const std::lock_guard<std::mutex> Lock(FLedgerLock);
    FLedger.swap(ALedger);  // the old one is released outside the lock
  }
  std::shared_ptr<TOpenLedger> Opened() const;
  bool TryOpen();
  void CheckReplaced();
  TRecordResult Enqueue(const TLedgerKey &AKey, TLedgerTime ATime, TDurable *AWaiter, TQueueFull AFull);
  void WriterLoop();
  TRecordResult Commit(std::span<const TPending> ABatch);
  void WriteEndedLosses();
  TSweepResult SweepSome(std::size_t ABudget);
  // Reads or writes the "meta" database: AAction(Txn, Ledger) in one
  // transaction (a read's returns std::optional<T>). Reads answer nothing
  // and writes the reason when the ledger is not open or LMDB fails;
  // neither raises.
  template <class T, class TAction> std::optional<T> ReadMeta(TAction &&AAction);
  template <class TAction> TRecordResult WriteMeta(TAction &&AAction);

  const TLedgerOptions FOptions;
  const std::string FPath;
  const std::string FRecorder;
  TOutageLog FReads;
  TOutageLog FWrites;
  // Null while the file cannot be opened; replaced (by the writer thread)
  // when the file at the path is another one.
  // (A mutex rather than std::atomic<std::shared_ptr>, whose lock in
  // libstdc++ 12 ThreadSanitizer cannot see.)
  mutable std::mutex FLedgerLock;
  std::shared_ptr<TOpenLedger> FLedger;
  std::atomic<std::int64_t> FStart{0};  // seconds, once read; 0 while not known
  // When this process's view of an earlier file began, while a gap for the
  // file being put in its place is still to be written.
  std::optional<TLedgerTime> FReplacedSince;  // the writer thread's
  // After a failed commit, records are refused (with FRefusal) until then.
  std::atomic<std::int64_t> FRefusedUntil{0};
  std::atomic<TRecordResult> FRefusal{rrUnavailable};

  std::mutex FQueueLock;
  std::condition_variable FWake;       // the writer: records, or stop
  std::condition_variable FCommitted;  // Flush, RecordDurably: a batch is done
  std::condition_variable FRoom;       // RecordWaiting: the queue has room
  std::vector<TPending> FQueue;
  std::uint64_t FAccepted = 0;  // records ever queued
  std::uint64_t FDone = 0;      // of those, committed or lost
  std::optional<TRecordResult> FLost;
  bool FFlushWanted = false;  // a Flush or RecordDurably waits: commit without gathering more
  bool FStopping = false;

  std::mutex FSweepLock;
  std::optional<TLedgerKey> FSweepFrom;  // where the next sweep starts; none: the first entry

  std::thread FWriter;  // last: starts once everything above is in place
};

} // namespace bw
