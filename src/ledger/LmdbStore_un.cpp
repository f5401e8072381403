// The LMDB store: a short read transaction per lookup, a writer thread that
// commits records in batches (gathered for up to CommitDelay, so that a
// steady trickle of mail costs a sync per batch, not one per message), and
// a sweep that visits a bounded number of entries per write transaction.
//
// Layout: the database "ids" maps each 16-byte key to the time it was sent
// (4 bytes, unsigned seconds since 1970, host order); "meta" holds the start
// time under "start" (8 bytes, signed seconds). Keys of one fixed size keep
// the B-tree shallow. Every commit is synced, so a record that Flush saw
// committed survives the process being killed, and the machine crashing.
#include "ledger/LmdbStore_un.h"

#include "ledger/LedgerOutage_un.h"

#include <lmdb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace bw {

namespace {

class ELmdbError : public ELedgerError {
public:
  ELmdbError(std::string AMessage, int ACode) : ELedgerError(std::move(AMessage)), FCode(ACode) {}
  const char *ClassName() const noexcept override { return "ELmdbError"; }
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

[[noreturn]] void Raise(const std::string &AWhat, int ACode) {
  throw ELmdbError(AWhat + ": " + mdb_strerror(ACode), ACode);
}

void Check(int ACode, const char *AWhat) {
  if (ACode != MDB_SUCCESS)
    Raise(AWhat, ACode);
}

struct TMdbEnvClose {
  void operator()(MDB_env *AEnv) const noexcept { mdb_env_close(AEnv); }
};
using TMdbEnvPtr = std::unique_ptr<MDB_env, TMdbEnvClose>;

// Closes a cursor. A write transaction's cursor must be closed before the
// commit (which would free it too), so it lives in a scope inside the
// transaction's.
struct TMdbCursorClose {
  void operator()(MDB_cursor *ACursor) const noexcept { mdb_cursor_close(ACursor); }
};
using TMdbCursorPtr = std::unique_ptr<MDB_cursor, TMdbCursorClose>;

// A transaction that is aborted unless Commit() was called.
class TMdbTxn {
public:
  TMdbTxn(MDB_env *AEnv, unsigned AFlags) {
    Check(mdb_txn_begin(AEnv, nullptr, AFlags, &FTxn), "cannot begin a transaction");
  }
  ~TMdbTxn() {
    if (FTxn)
      mdb_txn_abort(FTxn);
  }
  TMdbTxn(const TMdbTxn &) = delete;
  TMdbTxn &operator=(const TMdbTxn &) = delete;

  MDB_txn *Get() const noexcept { return FTxn; }
  TMdbCursorPtr OpenCursor(MDB_dbi ADbi) const {
    MDB_cursor *Cursor = nullptr;
    Check(mdb_cursor_open(FTxn, ADbi, &Cursor), "cannot open a cursor");
    return TMdbCursorPtr(Cursor);
  }
  // The commit frees the transaction whatever it returns.
  void Commit() { Check(mdb_txn_commit(std::exchange(FTxn, nullptr)), "cannot commit"); }

private:
  MDB_txn *FTxn = nullptr;
};

MDB_val ValOf(const void *AData, std::size_t ASize) { return MDB_val{ASize, const_cast<void *>(AData)}; }

TLedgerKey KeyOfVal(const MDB_val &AVal) {
  TLedgerKey Key{};
  std::memcpy(Key.data(), AVal.mv_data, std::min(AVal.mv_size, Key.size()));
  return Key;
}

std::uint32_t StoredTime(TLedgerTime ATime) {
  const std::int64_t Seconds = ATime.time_since_epoch().count();
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(Seconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

// A value of another size than ours reads as 1970, and so expires.
TLedgerTime TimeOfVal(const MDB_val &AVal) {
  std::uint32_t Seconds = 0;
  if (AVal.mv_size == sizeof Seconds)
    std::memcpy(&Seconds, AVal.mv_data, sizeof Seconds);
  return TLedgerTime(std::chrono::seconds(Seconds));
}

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A thread holds a reader slot from its first lookup until it ends; the
// milter runs a thread per SMTP connection, and LMDB's default is 126.
constexpr unsigned MaxReaders = 1024;
constexpr std::size_t MaxQueue = 100000;  // records waiting for the writer
constexpr std::size_t BatchSize = 1000;   // records per write transaction
constexpr char StartName[] = "start";

struct TOpenLedger {
  TMdbEnvPtr Env;
  MDB_dbi Ids = 0;
  MDB_dbi Meta = 0;
  TLedgerTime Start;
};

std::unique_ptr<TOpenLedger> OpenLedgerFile(const std::string &APath, std::uint64_t AMapSize) {
  auto Result = std::make_unique<TOpenLedger>();
  MDB_env *Env = nullptr;
  Check(mdb_env_create(&Env), "cannot create an LMDB environment");
  Result->Env.reset(Env);
  Check(mdb_env_set_mapsize(Env, AMapSize), "cannot set the map size");
  Check(mdb_env_set_maxdbs(Env, 2), "cannot set the number of databases");
  Check(mdb_env_set_maxreaders(Env, MaxReaders), "cannot set the number of readers");
  // No readahead: lookups of hashed keys are random, and pages read ahead
  // would push useful ones out of memory.
  Check(mdb_env_open(Env, APath.c_str(), MDB_NOSUBDIR | MDB_NORDAHEAD, 0600), "cannot open");
  // Frees the reader slots of processes that were killed.
  int Dead = 0;
  mdb_reader_check(Env, &Dead);

  TMdbTxn Txn(Env, 0);
  Check(mdb_dbi_open(Txn.Get(), "ids", MDB_CREATE, &Result->Ids), "cannot open the database of IDs");
  Check(mdb_dbi_open(Txn.Get(), "meta", MDB_CREATE, &Result->Meta), "cannot open the database of facts");
  MDB_val Name = ValOf(StartName, sizeof StartName - 1);
  MDB_val Value;
  std::int64_t Start = 0;
  const int Rc = mdb_get(Txn.Get(), Result->Meta, &Name, &Value);
  if (Rc == MDB_NOTFOUND) {
    Start = LedgerNow().time_since_epoch().count();
    MDB_val NewValue = ValOf(&Start, sizeof Start);
    Check(mdb_put(Txn.Get(), Result->Meta, &Name, &NewValue, 0), "cannot record the start time");
  } else {
    Check(Rc, "cannot read the start time");
    if (Value.mv_size == sizeof Start)
      std::memcpy(&Start, Value.mv_data, sizeof Start);
  }
  Txn.Commit();
  Result->Start = TLedgerTime(std::chrono::seconds(Start));
  return Result;
}

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

TLmdbStore::TLmdbStore(const TLedgerOptions &AOptions, const std::string &APath, TLedgerLog ALog)
    : FOptions(AOptions), FPath(APath),
      FReads(ALog, "ledger " + AOptions.Uri + " cannot be read, bounces are checked without it",
             "ledger " + AOptions.Uri + " can be read again"),
      FWrites(ALog, "ledger " + AOptions.Uri + " cannot record, IDs of sent mail are not recorded",
              "ledger " + AOptions.Uri + " records again") {
  try {
    FLedger = OpenLedgerFile(FPath, FOptions.MapSize);
    FIsOpen.store(true, std::memory_order_release);
  } catch (const ELmdbError &E) {
    const std::string Text = "Cannot open the ledger \"" + FPath + "\": " + E.Message();
    if (FOptions.Opening == loRequire)
      throw ELedgerError(Text);
    FReads.Failed(Text);
  }
  FWriter = std::thread(&TLmdbStore::WriterLoop, this);
}

TLmdbStore::~TLmdbStore() {
  {
    const std::lock_guard<std::mutex> Lock(FQueueLock);
    FStopping = true;
  }
  FWake.notify_one();
  FWriter.join();
}

void TLmdbStore::TryOpen() {
  try {
    FLedger = OpenLedgerFile(FPath, FOptions.MapSize);
  } catch (const ELmdbError &) {
    return;  // still down, and logged when that began
  }
  FIsOpen.store(true, std::memory_order_release);
  FReads.Succeeded();
}

const TOpenLedger &TLmdbStore::Opened() const {
  if (!FIsOpen.load(std::memory_order_acquire))
    throw ELedgerError("The ledger \"" + FPath + "\" is not open");
  return *FLedger;
}

TLookupResult TLmdbStore::Contains(const TLedgerKey &AKey) {
  if (!FIsOpen.load(std::memory_order_acquire))
    return lrUnknown;
  try {
    const TMdbTxn Txn(FLedger->Env.get(), MDB_RDONLY);
    MDB_val Key = ValOf(AKey.data(), AKey.size());
    MDB_val Value;
    const int Rc = mdb_get(Txn.Get(), FLedger->Ids, &Key, &Value);
    if (Rc != MDB_NOTFOUND)
      Check(Rc, "cannot look up");
    FReads.Succeeded();
    if (Rc == MDB_NOTFOUND)
      return lrAbsent;
    // Entries older than the retention wait for the sweep; they count as gone.
    return TimeOfVal(Value) >= RetentionCutoff(LedgerNow(), FOptions.Retention) ? lrFound : lrAbsent;
  } catch (const ELmdbError &E) {
    FReads.Failed(E.Message());
    return lrUnknown;
  }
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
      Check(mdb_put(Txn.Get(), FLedger->Ids, &Key, &Value, 0), "cannot record");
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

TSweepResult TLmdbStore::Sweep(std::size_t ABudget) {
  try {
    return SweepSome(ABudget);
  } catch (const ELmdbError &E) {
    throw ELedgerError("Cannot sweep the ledger \"" + FPath + "\": " + E.Message());
  }
}

TSweepResult TLmdbStore::SweepSome(std::size_t ABudget) {
  const TOpenLedger &Ledger = Opened();
  const std::lock_guard<std::mutex> Lock(FSweepLock);
  const std::uint32_t Cutoff = StoredTime(RetentionCutoff(LedgerNow(), FOptions.Retention));
  TSweepResult Result;
  std::optional<TLedgerKey> Next;
  TMdbTxn Txn(Ledger.Env.get(), 0);
  {
    const TMdbCursorPtr Cursor = Txn.OpenCursor(Ledger.Ids);
    MDB_val Key, Value;
    int Rc;
    if (FSweepFrom) {
      Key = ValOf(FSweepFrom->data(), FSweepFrom->size());
      Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_SET_RANGE);
    } else {
      Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_FIRST);
    }
    while (Rc == MDB_SUCCESS && Result.Visited < ABudget) {
      ++Result.Visited;
      if (StoredTime(TimeOfVal(Value)) >= Cutoff) {
        Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_NEXT);
        continue;
      }
      const TLedgerKey Removed = KeyOfVal(Key);
      Check(mdb_cursor_del(Cursor.get(), 0), "cannot remove an entry");
      ++Result.Removed;
      // Seek past the removed key rather than trust where the deletion left the cursor.
      Key = ValOf(Removed.data(), Removed.size());
      Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_SET_RANGE);
    }
    if (Rc == MDB_NOTFOUND)
      Result.PassComplete = true;
    else if (Rc != MDB_SUCCESS)
      Raise("cannot read the next entry", Rc);
    else
      Next = KeyOfVal(Key);
  }
  Txn.Commit();
  FSweepFrom = Next;
  if (Result.Removed > 0)
    FRefusedUntil.store(0, std::memory_order_relaxed);  // room again: let records try at once
  return Result;
}

TLedgerStats TLmdbStore::Stats() {
  try {
    const TOpenLedger &Ledger = Opened();
    TLedgerStats Result;
    const TMdbTxn Txn(Ledger.Env.get(), MDB_RDONLY);
    MDB_stat Stat;
    Check(mdb_stat(Txn.Get(), Ledger.Ids, &Stat), "cannot count the entries");
    Result.Entries = Stat.ms_entries;
    {
      const TMdbCursorPtr Cursor = Txn.OpenCursor(Ledger.Ids);
      MDB_val Key, Value;
      int Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_FIRST);
      for (; Rc == MDB_SUCCESS; Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_NEXT)) {
        const TLedgerTime Time = TimeOfVal(Value);
        Result.Oldest = std::min(Result.Oldest.value_or(Time), Time);
        Result.Newest = std::max(Result.Newest.value_or(Time), Time);
      }
      if (Rc != MDB_NOTFOUND)
        Raise("cannot read the entries", Rc);
    }
    MDB_envinfo Info;
    Check(mdb_env_info(Ledger.Env.get(), &Info), "cannot read the file's size");
    Result.BytesUsed = (static_cast<std::uint64_t>(Info.me_last_pgno) + 1) * Stat.ms_psize;
    Result.StartTime = Ledger.Start;
    return Result;
  } catch (const ELmdbError &E) {
    throw ELedgerError("Cannot read the ledger \"" + FPath + "\": " + E.Message());
  }
}

std::optional<TLedgerTime> TLmdbStore::StartTime() {
  if (!FIsOpen.load(std::memory_order_acquire))
    return std::nullopt;
  return FLedger->Start;
}

} // namespace

std::unique_ptr<ILedgerStore> OpenLmdbStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                            TLedgerLog ALog) {
  return std::make_unique<TLmdbStore>(AOptions, ALocation.Path, std::move(ALog));
}

} // namespace bw
