// The LMDB store: opening the file (and noticing another put in its
// place), lookups in pooled read transactions, and a sweep that visits a
// bounded number of entries per write transaction. Records go through the
// writer thread (LmdbWriter_un.cpp), which commits them in batches; the
// ledger's facts are LmdbFacts_un.cpp's.
#include "ledger/LmdbStore_un.h"

#include "ledger/LedgerGaps_un.h"
#include "ledger/LmdbLedger_un.h"
#include "rtl/SysUtils_un.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace bw {

// Slots for lookups running at once (a lookup holds one only while it
// runs, see TMdbReadPool), with room for other processes' readers.
static constexpr unsigned MaxReaders = 1024;
static constexpr const char *ReplacedReason = "the ledger file was replaced or removed under this process";

static TLedgerKey KeyOfVal(const MDB_val &AVal) {
  TLedgerKey Key{};
  std::memcpy(Key.data(), AVal.mv_data, std::min(AVal.mv_size, Key.size()));
  return Key;
}


// The owner that files the store creates must have when root creates them:
// the existing data file's, else the folder's. Nothing when that is root.
static std::optional<std::pair<uid_t, gid_t>> OwnerForNewFiles(const std::string &APath) {
  if (::geteuid() != 0)
    return std::nullopt;
  struct stat Info {};
  if (::stat(APath.c_str(), &Info) != 0) {
    const std::filesystem::path Folder = std::filesystem::path(APath).parent_path();
    if (::stat(Folder.empty() ? "." : Folder.c_str(), &Info) != 0)
      return std::nullopt;
  }
  if (Info.st_uid == 0)
    return std::nullopt;
  return std::make_pair(Info.st_uid, Info.st_gid);
}

static void HandOver(const std::string &AFile, bool AExisted, const std::optional<std::pair<uid_t, gid_t>> &AOwner) {
  if (AExisted || !AOwner)
    return;
  if (::chown(AFile.c_str(), AOwner->first, AOwner->second) != 0) {
    const int Error = errno;
    throw ELmdbError(SystemError("cannot give \"" + AFile + "\" to the ledger's owner", Error), Error);
  }
}

static std::shared_ptr<TOpenLedger> OpenLedgerFile(const std::string &APath, std::uint64_t AMapSize,
                                                   TLedgerOpening AOpening) {
  const std::string LockPath = APath + "-lock";
  const std::optional<std::pair<uid_t, gid_t>> Owner = OwnerForNewFiles(APath);
  const bool DataExisted = ::access(APath.c_str(), F_OK) == 0;
  const bool LockExisted = ::access(LockPath.c_str(), F_OK) == 0;
  if (AOpening == loExisting && !DataExisted)
    throw ELmdbError("the file does not exist", ENOENT);

  auto Result = std::make_shared<TOpenLedger>();
  MDB_env *Env = nullptr;
  CheckLmdb(mdb_env_create(&Env), "cannot create an LMDB environment");
  Result->Env.reset(Env);
  CheckLmdb(mdb_env_set_mapsize(Env, AMapSize), "cannot set the map size");
  CheckLmdb(mdb_env_set_maxdbs(Env, 2), "cannot set the number of databases");
  CheckLmdb(mdb_env_set_maxreaders(Env, MaxReaders), "cannot set the number of readers");
  // No readahead: lookups of hashed keys are random, and pages read ahead
  // would push useful ones out of memory. No thread-local reader slots: the
  // pool hands them to lookups, not to threads.
  CheckLmdb(mdb_env_open(Env, APath.c_str(), MDB_NOSUBDIR | MDB_NORDAHEAD | MDB_NOTLS, 0600), "cannot open");
  HandOver(APath, DataExisted, Owner);
  HandOver(LockPath, LockExisted, Owner);
  // Frees the reader slots of processes that were killed.
  int Dead = 0;
  mdb_reader_check(Env, &Dead);

  int Fd = -1;
  struct stat Info {};
  CheckLmdb(mdb_env_get_fd(Env, &Fd), "cannot find the file");
  if (::fstat(Fd, &Info) != 0)
    RaiseLmdb("cannot find the file", errno);
  Result->Device = Info.st_dev;
  Result->Inode = Info.st_ino;
  Result->OpenedAt = LedgerNow();

  // Reading an existing ledger writes nothing; opening it to record
  // creates its databases when they are missing.
  const unsigned Create = AOpening == loExisting ? 0 : MDB_CREATE;
  TMdbTxn Txn(Env, AOpening == loExisting ? MDB_RDONLY : 0);
  CheckLmdb(mdb_dbi_open(Txn.Get(), "ids", Create, &Result->Ids), "cannot open the database of IDs");
  CheckLmdb(mdb_dbi_open(Txn.Get(), "meta", Create, &Result->Meta), "cannot open the database of facts");
  Txn.Commit();
  return Result;
}

TLmdbStore::TLmdbStore(const TLedgerOptions &AOptions, const std::string &APath, const TLedgerLog &ALog)
    : FOptions(AOptions), FPath(APath), FRecorder(LedgerRecorderName(AOptions)),
      FReads(ALog, "ledger " + AOptions.Uri + " cannot be read, bounces are checked without it",
             "ledger " + AOptions.Uri + " can be read again"),
      FWrites(ALog, "ledger " + AOptions.Uri + " cannot record, IDs of sent mail are not recorded",
              "ledger " + AOptions.Uri + " records again") {
  if (FOptions.Opening == loExisting && ::access(FPath.c_str(), F_OK) != 0 && errno == ENOENT)
    throw ELedgerError("The ledger \"" + FPath + "\" does not exist");
  try {
    SetCurrent(OpenLedgerFile(FPath, FOptions.MapSize, FOptions.Opening));
  } catch (const ELmdbError &E) {
    const std::string Text = "Cannot open the ledger \"" + FPath + "\": " + E.Message();
    if (FOptions.Opening != loTolerate)
      throw ELedgerError(Text);
    FReads.Failed(Text);
  }
  FWriter = std::thread(&TLmdbStore::WriterLoop, this);
}

bool TLmdbStore::TryOpen() {
  try {
    SetCurrent(OpenLedgerFile(FPath, FOptions.MapSize, FOptions.Opening));
  } catch (const ELmdbError &E) {
    FReads.Failed("Cannot open the ledger \"" + FPath + "\": " + E.Message());  // logged once, when it began
    return false;
  }
  FStart.store(0, std::memory_order_relaxed);
  FReads.Succeeded();
  if (FReplacedSince) {
    // The records this process made in the file it had are not in this
    // one: every host must know that they may be missing.
    const TLedgerGap Gap{FRecorder, std::max(*FReplacedSince, RetentionCutoff(LedgerNow(), FOptions.Retention)),
                         LedgerNow(), ReplacedReason};
    if (RecordGap(Gap) == rrAccepted)
      FReplacedSince.reset();
  }
  return true;
}

std::shared_ptr<TOpenLedger> TLmdbStore::Opened() const {
  std::shared_ptr<TOpenLedger> Ledger = Current();
  if (!Ledger)
    throw ELedgerError("The ledger \"" + FPath + "\" is not open");
  return Ledger;
}

TLookupResult TLmdbStore::ContainsAny(std::span<const TLedgerKey> AKeys) {
  const std::shared_ptr<TOpenLedger> Ledger = Current();
  if (!Ledger)
    return lrUnknown;
  try {
    const TMdbPooledRead Txn(Ledger->Reads, Ledger->Env.get());
    // Entries older than the retention wait for the sweep; they count as gone.
    const TLedgerTime Cutoff = RetentionCutoff(LedgerNow(), FOptions.Retention);
    TLookupResult Result = lrAbsent;
    for (const TLedgerKey &Wanted : AKeys) {
      MDB_val Key = ValOf(Wanted.data(), Wanted.size());
      MDB_val Value;
      const int Rc = mdb_get(Txn.Get(), Ledger->Ids, &Key, &Value);
      if (Rc != MDB_NOTFOUND)
        CheckLmdb(Rc, "cannot look up");
      if (Rc == MDB_SUCCESS && TimeOfVal(Value) >= Cutoff) {
        Result = lrFound;
        break;
      }
    }
    FReads.Succeeded();
    return Result;
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
  const std::shared_ptr<TOpenLedger> Ledger = Opened();
  const std::lock_guard<std::mutex> Lock(FSweepLock);
  const std::uint32_t Cutoff = StoredTime(RetentionCutoff(LedgerNow(), FOptions.Retention));
  TSweepResult Result;
  std::optional<TLedgerKey> Next;
  TMdbTxn Txn(Ledger->Env.get(), 0);
  {
    const TMdbCursorPtr Cursor = Txn.OpenCursor(Ledger->Ids);
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
    const std::shared_ptr<TOpenLedger> Ledger = Opened();
    TLedgerStats Result;
    const TMdbPooledRead Txn(Ledger->Reads, Ledger->Env.get());
    MDB_stat Stat;
    CheckLmdb(mdb_stat(Txn.Get(), Ledger->Ids, &Stat), "cannot count the entries");
    Result.Entries = Stat.ms_entries;
    {
      MDB_cursor *Raw = nullptr;
      CheckLmdb(mdb_cursor_open(Txn.Get(), Ledger->Ids, &Raw), "cannot open a cursor");
      const TMdbCursorPtr Cursor(Raw);
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
    CheckLmdb(mdb_env_info(Ledger->Env.get(), &Info), "cannot read the file's size");
    Result.BytesUsed = (static_cast<std::uint64_t>(Info.me_last_pgno) + 1) * Stat.ms_psize;
    if (Info.me_mapsize > 0)
      Result.Fullness = static_cast<double>(Result.BytesUsed) / static_cast<double>(Info.me_mapsize);
    if (const std::optional<std::int64_t> Start = GetSeconds(Txn.Get(), Ledger->Meta, StartName))
      Result.StartTime = TimeOfSeconds(*Start);
    if (const std::optional<std::int64_t> Cover = GetSeconds(Txn.Get(), Ledger->Meta, CoverName))
      Result.CoverSince = TimeOfSeconds(*Cover);
    MDB_val Name = ValOfText(FingerprintName);
    MDB_val Value;
    if (mdb_get(Txn.Get(), Ledger->Meta, &Name, &Value) == MDB_SUCCESS)
      Result.Fingerprint = std::string(TextOfVal(Value));
    return Result;
  } catch (const ELmdbError &E) {
    throw ELedgerError("Cannot read the ledger \"" + FPath + "\": " + E.Message());
  }
}

std::unique_ptr<ILedgerStore> OpenLmdbStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                            const TLedgerLog &ALog) {
  return std::make_unique<TLmdbStore>(AOptions, ALocation.Path, ALog);
}

} // namespace bw
