// The LMDB store's writer: Record queues, one thread commits. It gathers
// records for up to CommitDelay (or a full batch) and commits them in one
// synced transaction, so that a steady trickle of mail costs a sync per
// batch, not one per message; between batches it retries a ledger that
// would not open and runs the background sweep. Flush waits for it.
#include "ledger/LmdbLedger_un.h"

#include "rtl/Clock_un.h"

namespace bw {

static constexpr std::size_t MaxQueue = 100000;  // records waiting for the writer
static constexpr std::size_t BatchSize = 1000;   // records per write transaction

// The writer commits what is still queued before it ends.
TLmdbStore::~TLmdbStore() {
  {
    const std::lock_guard<std::mutex> Lock(FQueueLock);
    FStopping = true;
  }
  FWake.notify_one();
  FWriter.join();
}

TRecordResult TLmdbStore::Record(const TLedgerKey &AKey, TLedgerTime ATime) {
  if (ATime < RetentionCutoff(LedgerNow(), FOptions.Retention))
    return rrExpired;
  if (!FIsOpen.load(std::memory_order_acquire))
    return rrUnavailable;
  if (SteadyNanoseconds() < FRefusedUntil.load(std::memory_order_relaxed))
    return FRefusal.load(std::memory_order_relaxed);
  {
    const std::lock_guard<std::mutex> Lock(FQueueLock);
    if (FQueue.size() < MaxQueue) {
      FQueue.push_back({AKey, StoredTime(ATime)});
      ++FAccepted;
      // The first record wakes the writer, which then gathers; a full batch
      // ends the gathering early.
      if (FQueue.size() == 1 || FQueue.size() == BatchSize)
        FWake.notify_one();
      return rrAccepted;
    }
  }
  FWrites.Failed("the writer is behind by " + std::to_string(MaxQueue) + " records");
  return rrUnavailable;
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
  const bool Sweeps = FOptions.SweepInterval.count() > 0;
  TClock::time_point NextSweep = TClock::now() + FOptions.SweepInterval;
  TClock::time_point NextOpen = TClock::now() + FOptions.RetryDelay;
  for (;;) {
    std::vector<TPending> Batch;
    {
      std::unique_lock<std::mutex> Lock(FQueueLock);
      const auto Due = [this] { return FStopping || !FQueue.empty(); };
      if (!FIsOpen.load(std::memory_order_acquire))
        FWake.wait_until(Lock, NextOpen, Due);
      else if (Sweeps)
        FWake.wait_until(Lock, NextSweep, Due);
      else
        FWake.wait(Lock, Due);
      if (FStopping && FQueue.empty())
        return;
      const auto Gathered = [this] { return FStopping || FFlushWanted || FQueue.size() >= BatchSize; };
      if (!FQueue.empty() && FOptions.CommitDelay.count() > 0 && !Gathered())
        FWake.wait_for(Lock, FOptions.CommitDelay, Gathered);
      FFlushWanted = false;
      Batch.swap(FQueue);
    }
    if (!FIsOpen.load(std::memory_order_acquire) && TClock::now() >= NextOpen) {
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
      }
      FCommitted.notify_all();
    }
    if (Sweeps && FIsOpen.load(std::memory_order_acquire) && TClock::now() >= NextSweep) {
      try {
        SweepSome(FOptions.SweepBudget);
      } catch (const ELmdbError &E) {  // a failed sweep is a failed write: the next one tries again
        FWrites.Failed(E.Message());
      }
      NextSweep = TClock::now() + FOptions.SweepInterval;
    }
  }
}

TRecordResult TLmdbStore::Commit(std::span<const TPending> ABatch) {
  try {
    TMdbTxn Txn(FLedger->Env.get(), 0);
    for (const TPending &Pending : ABatch) {
      MDB_val Key = ValOf(Pending.Key.data(), Pending.Key.size());
      MDB_val Value = ValOf(&Pending.Time, sizeof Pending.Time);
      CheckLmdb(mdb_put(Txn.Get(), FLedger->Ids, &Key, &Value, 0), "cannot record");
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
