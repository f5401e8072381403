// The LMDB store: opening the file, a short read transaction per lookup,
// and a sweep that visits a bounded number of entries per write
// transaction. Records go through the writer thread (LmdbWriter_un.cpp),
// which commits them in batches.
#include "ledger/LmdbStore_un.h"

#include "ledger/LmdbLedger_un.h"

namespace bw {

// A thread holds a reader slot from its first lookup until it ends; the
// milter runs a thread per SMTP connection, and LMDB's default is 126.
static constexpr unsigned MaxReaders = 1024;
static constexpr char StartName[] = "start";

static TLedgerKey KeyOfVal(const MDB_val &AVal) {
  TLedgerKey Key{};
  std::memcpy(Key.data(), AVal.mv_data, std::min(AVal.mv_size, Key.size()));
  return Key;
}

static std::unique_ptr<TOpenLedger> OpenLedgerFile(const std::string &APath, std::uint64_t AMapSize) {
  auto Result = std::make_unique<TOpenLedger>();
  MDB_env *Env = nullptr;
  CheckLmdb(mdb_env_create(&Env), "cannot create an LMDB environment");
  Result->Env.reset(Env);
  CheckLmdb(mdb_env_set_mapsize(Env, AMapSize), "cannot set the map size");
  CheckLmdb(mdb_env_set_maxdbs(Env, 2), "cannot set the number of databases");
  CheckLmdb(mdb_env_set_maxreaders(Env, MaxReaders), "cannot set the number of readers");
  // No readahead: lookups of hashed keys are random, and pages read ahead
  // would push useful ones out of memory.
  CheckLmdb(mdb_env_open(Env, APath.c_str(), MDB_NOSUBDIR | MDB_NORDAHEAD, 0600), "cannot open");
  // Frees the reader slots of processes that were killed.
  int Dead = 0;
  mdb_reader_check(Env, &Dead);

  TMdbTxn Txn(Env, 0);
  CheckLmdb(mdb_dbi_open(Txn.Get(), "ids", MDB_CREATE, &Result->Ids), "cannot open the database of IDs");
  CheckLmdb(mdb_dbi_open(Txn.Get(), "meta", MDB_CREATE, &Result->Meta), "cannot open the database of facts");
  MDB_val Name = ValOf(StartName, sizeof StartName - 1);
  MDB_val Value;
  std::int64_t Start = 0;
  const int Rc = mdb_get(Txn.Get(), Result->Meta, &Name, &Value);
  if (Rc == MDB_NOTFOUND) {
    Start = LedgerNow().time_since_epoch().count();
    MDB_val NewValue = ValOf(&Start, sizeof Start);
    CheckLmdb(mdb_put(Txn.Get(), Result->Meta, &Name, &NewValue, 0), "cannot record the start time");
  } else {
    CheckLmdb(Rc, "cannot read the start time");
    if (Value.mv_size == sizeof Start)
      std::memcpy(&Start, Value.mv_data, sizeof Start);
  }
  Txn.Commit();
  Result->Start = TLedgerTime(std::chrono::seconds(Start));
  return Result;
}

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
      CheckLmdb(Rc, "cannot look up");
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
      CheckLmdb(mdb_cursor_del(Cursor.get(), 0), "cannot remove an entry");
      ++Result.Removed;
      // Seek past the removed key rather than trust where the deletion left the cursor.
      Key = ValOf(Removed.data(), Removed.size());
      Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_SET_RANGE);
    }
    if (Rc == MDB_NOTFOUND)
      Result.PassComplete = true;
    else if (Rc != MDB_SUCCESS)
      RaiseLmdb("cannot read the next entry", Rc);
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
    CheckLmdb(mdb_stat(Txn.Get(), Ledger.Ids, &Stat), "cannot count the entries");
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
        RaiseLmdb("cannot read the entries", Rc);
    }
    MDB_envinfo Info;
    CheckLmdb(mdb_env_info(Ledger.Env.get(), &Info), "cannot read the file's size");
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

std::unique_ptr<ILedgerStore> OpenLmdbStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                            TLedgerLog ALog) {
  return std::make_unique<TLmdbStore>(AOptions, ALocation.Path, std::move(ALog));
}

} // namespace bw
