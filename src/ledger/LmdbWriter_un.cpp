// The LMDB store's writer: Record queues, one thread commits. It gathers
// records for up to CommitDelay (or a full batch) and commits them in one
// synced transaction, so that a steady trickle of mail costs a sync per
// batch, not one per message; a caller of RecordDurably ends the gathering,
// and every caller that queued meanwhile shares that commit. Between
// batches it retries a ledger that would not open, writes the gaps of
// records that were lost, looks whether the file was replaced, and runs the
// background sweep. Flush waits for it.
#include "ledger/LedgerGaps_un.h"
#include "ledger/LmdbLedger_un.h"

#include "rtl/Clock_un.h"

#include <sys/stat.h>

namespace bw {

static constexpr std::size_t MaxQueue = 100000;  // records waiting for the writer
static constexpr std::size_t BatchSize = 1000;   // records per write transaction
static constexpr std::chrono::seconds ReplacedCheckInterval{2};

// The writer commits what is still queued before it ends.
TLmdbStore::~TLmdbStore() {
  {
    const std::lock_guard<std::mutex> Lock(FQueueLock);
    FStopping = true;
  }
  FWake.notify_one();
  FRoom.notify_all();
  FWriter.join();
}

TRecordResult TLmdbStore::Enqueue(const TLedgerKey &AKey, TLedgerTime ATime, TDurable *AWaiter, TQueueFull AFull) {
  if (ATime < RetentionCutoff(LedgerNow(), FOptions.Retention))
    return rrExpired;
  if (FOptions.Opening == loExisting)
    return rrUnavailable;
  if (!Current()) {
    FWrites.Failed("the ledger is not open");
    return rrUnavailable;
  }
  if (SteadyNanoseconds() < FRefusedUntil.load(std::memory_order_relaxed))
    return FRefusal.load(std::memory_order_relaxed);
  {
    std::unique_lock<std::mutex> Lock(FQueueLock);
    if (AFull == qfWait)
      FRoom.wait(Lock, [this] { return FStopping || FQueue.size() < MaxQueue; });
    if (FQueue.size() < MaxQueue && !FStopping) {
      FQueue.push_back({AKey, StoredTime(ATime), AWaiter});
      ++FAccepted;
      // The first record wakes the writer, which then gathers; a full batch,
      // or a caller waiting for the commit, ends the gathering early.
      if (AWaiter)
        FFlushWanted = true;
      if (AWaiter || FQueue.size() == 1 || FQueue.size() == BatchSize)
        FWake.notify_one();
      return rrAccepted;
    }
  }
  FWrites.Failed("the writer is behind by " + std::to_string(MaxQueue) + " records");
  return rrUnavailable;
}

TRecordResult TLmdbStore::Record(const TLedgerKey &AKey, TLedgerTime ATime) {
  return Enqueue(AKey, ATime, nullptr, qfRefuse);
}

TRecordResult TLmdbStore::RecordWaiting(const TLedgerKey &AKey, TLedgerTime ATime) {
  return Enqueue(AKey, ATime, nullptr, qfWait);
}

TRecordResult TLmdbStore::RecordDurably(const TLedgerKey &AKey, TLedgerTime ATime) {
  TDurable Waiter;
  const TRecordResult Queued = Enqueue(AKey, ATime, &Waiter, qfWait);
  if (Queued != rrAccepted)
    return Queued;
  std::unique_lock<std::mutex> Lock(FQueueLock);
  FCommitted.wait(Lock, [&Waiter] { return Waiter.Done; });
  return Waiter.Result;
}

TRecordResult TLmdbStore::Flush() {
  std::unique_lock<std::mutex> Lock(FQueueLock);
  const std::uint64_t Target = FAccepted;
  if (FDone < Target) {
    FFlushWanted = true;
    FWake.notify_one();
  }
  FCommitted.wait(Lock, [&] { return FDone >= Target; });
  return std::exchange(FLost, std::nullopt).value_or(rrAccepted);
}

void TLmdbStore::WriterLoop() {
  using TClock = std::chrono::steady_clock;
  const bool Sweeps = FOptions.SweepInterval.count() > 0 && FOptions.Opening != loExisting;
  TClock::time_point NextSweep = TClock::now() + FOptions.SweepInterval;
  TClock::time_point NextOpen = TClock::now() + FOptions.RetryDelay;
  TClock::time_point NextCheck = TClock::now() + ReplacedCheckInterval;
  for (;;) {
    std::vector<TPending> Batch;
    {
      std::unique_lock<std::mutex> Lock(FQueueLock);
      const auto Due = [this] { return FStopping || !FQueue.empty(); };
      TClock::time_point Until = Current() ? NextCheck : NextOpen;
      if (Sweeps && Current())
        Until = std::min(Until, NextSweep);
      FWake.wait_until(Lock, Until, Due);
      if (FStopping && FQueue.empty())
        return;
      const auto Gathered = [this] { return FStopping || FFlushWanted || FQueue.size() >= BatchSize; };
      if (!FQueue.empty() && FOptions.CommitDelay.count() > 0 && !Gathered())
        FWake.wait_for(Lock, FOptions.CommitDelay, Gathered);
      FFlushWanted = false;
      Batch.swap(FQueue);
    }
    FRoom.notify_all();
    if (!Current() && TClock::now() >= NextOpen) {
      TryOpen();
      NextOpen = TClock::now() + FOptions.RetryDelay;
    }
    for (std::size_t From = 0; From < Batch.size(); From += BatchSize) {
      const std::span<const TPending> Part(Batch.data() + From, std::min(BatchSize, Batch.size() - From));
      const TRecordResult Result = Commit(Part);
      {
        const std::lock_guard<std::mutex> Lock(FQueueLock);
        FDone += Part.size();
        if (Result != rrAccepted)
          FLost = Result;
        for (const TPending &Pending : Part)
          if (Pending.Waiter) {
            Pending.Waiter->Result = Result;
            Pending.Waiter->Done = true;
          }
      }
      FCommitted.notify_all();
    }
    WriteEndedLosses();
    if (Current() && TClock::now() >= NextCheck) {
      CheckReplaced();
      NextCheck = TClock::now() + ReplacedCheckInterval;
    }
    if (Sweeps && Current() && TClock::now() >= NextSweep) {
      try {
        SweepSome(FOptions.SweepBudget);
      } catch (const ELmdbError &E) {  // a failed sweep is a failed write: the next one tries again
        FWrites.Failed(E.Message());
      } catch (const ELedgerError &) {  // the ledger closed meanwhile: the next open sweeps
      }
      NextSweep = TClock::now() + FOptions.SweepInterval;
    }
  }
}

void TLmdbStore::WriteEndedLosses() {
  const std::optional<TLedgerGap> Ended = FWrites.TakeEnded(FRecorder);
  if (Ended && RecordGap(*Ended) != rrAccepted)
    FWrites.GiveBack(*Ended);  // still no room: the next batch tries again
}

void TLmdbStore::CheckReplaced() {
  std::shared_ptr<TOpenLedger> Old = Current();
  struct stat Info {};
  if (!Old || (::stat(FPath.c_str(), &Info) == 0 && Info.st_dev == Old->Device && Info.st_ino == Old->Inode))
    return;
  FReplacedSince = std::min(FReplacedSince.value_or(Old->OpenedAt), Old->OpenedAt);
  FReads.Failed("the file \"" + FPath + "\" was replaced or removed");
  FLedger.store(nullptr, std::memory_order_release);
  // A process holds LMDB's lock on a file once: the old environment must
  // be closed before the lock file is opened again. Lookups that took it
  // before it was withdrawn end within one read transaction.
  while (Old.use_count() > 1)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Old.reset();
  TryOpen();
}

TRecordResult TLmdbStore::Commit(std::span<const TPending> ABatch) {
  const std::shared_ptr<TOpenLedger> Ledger = Current();
  if (!Ledger) {
    FWrites.Failed("the ledger is not open");
    return rrUnavailable;
  }
  try {
    TMdbTxn Txn(Ledger->Env.get(), 0);
    // The first record starts the ledger's clock; opening it does not.
    const std::int64_t Now = LedgerNow().time_since_epoch().count();
    MDB_val StartKey = ValOf(StartName, sizeof StartName - 1);
    MDB_val StartValue = ValOf(&Now, sizeof Now);
    if (const int Rc = mdb_put(Txn.Get(), Ledger->Meta, &StartKey, &StartValue, MDB_NOOVERWRITE); Rc != MDB_KEYEXIST)
      CheckLmdb(Rc, "cannot record the start time");
    for (const TPending &Pending : ABatch) {
      MDB_val Key = ValOf(Pending.Key.data(), Pending.Key.size());
      MDB_val Value = ValOf(&Pending.Time, sizeof Pending.Time);
      int Rc = mdb_put(Txn.Get(), Ledger->Ids, &Key, &Value, MDB_NOOVERWRITE);
      // Recorded before: keep the newer time, so that an import of an older
      // copy never shortens the entry.
      if (Rc == MDB_KEYEXIST) {
        const bool Newer = StoredTime(TimeOfVal(Value)) < Pending.Time;
        Value = ValOf(&Pending.Time, sizeof Pending.Time);
        Rc = Newer ? mdb_put(Txn.Get(), Ledger->Ids, &Key, &Value, 0) : MDB_SUCCESS;
      }
      CheckLmdb(Rc, "cannot record");
    }
    Txn.Commit();
  } catch (const ELmdbError &E) {
    const bool Full = E.Code() == MDB_MAP_FULL;
    FRefusal.store(Full ? rrFull : rrUnavailable, std::memory_order_relaxed);
    FRefusedUntil.store(SteadyNanoseconds() + std::chrono::nanoseconds(FOptions.RetryDelay).count(),
                        std::memory_order_relaxed);
    FWrites.Failed(Full ? "it is full (its map size is " + std::to_string(FOptions.MapSize >> 20) +
                              " MiB); IDs recorded before are still checked"
                        : E.Message());
    return Full ? rrFull : rrUnavailable;
  }
  FWrites.Succeeded();
  return rrAccepted;
}

} // namespace bw
