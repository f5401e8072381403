// The LMDB store: opening the file (and noticing another put in its
// place), lookups in pooled read transactions, the ledger's facts, and a
// sweep that visits a bounded number of entries per write transaction.
// Records go through the writer thread (LmdbWriter_un.cpp), which commits
// them in batches.
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
static constexpr char CoverName[] = "cover";
static constexpr char FingerprintName[] = "fingerprint";
static constexpr std::string_view BeatPrefix = "beat:";
static constexpr std::string_view GapsPrefix = "gaps:";
static constexpr const char *ReplacedReason = "the ledger file was replaced or removed under this process";

static TLedgerKey KeyOfVal(const MDB_val &AVal) {
  TLedgerKey Key{};
  std::memcpy(Key.data(), AVal.mv_data, std::min(AVal.mv_size, Key.size()));
  return Key;
}

static MDB_val ValOfText(std::string_view AText) { return ValOf(AText.data(), AText.size()); }
static std::string_view TextOfVal(const MDB_val &AVal) {
  return std::string_view(static_cast<const char *>(AVal.mv_data), AVal.mv_size);
}

static std::optional<std::int64_t> GetSeconds(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view AName) {
  MDB_val Name = ValOfText(AName);
  MDB_val Value;
  const int Rc = mdb_get(ATxn, AMeta, &Name, &Value);
  if (Rc == MDB_NOTFOUND)
    return std::nullopt;
  CheckLmdb(Rc, "cannot read the ledger's facts");
  std::int64_t Seconds = 0;
  if (Value.mv_size != sizeof Seconds)
    return std::nullopt;
  std::memcpy(&Seconds, Value.mv_data, sizeof Seconds);
  return Seconds;
}

static void PutSeconds(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view AName, TLedgerTime ATime, unsigned AFlags) {
  const std::int64_t Seconds = ATime.time_since_epoch().count();
  MDB_val Name = ValOfText(AName);
  MDB_val Value = ValOf(&Seconds, sizeof Seconds);
  const int Rc = mdb_put(ATxn, AMeta, &Name, &Value, AFlags);
  if (Rc != MDB_KEYEXIST)
    CheckLmdb(Rc, "cannot write the ledger's facts");
}

static TLedgerTime TimeOfSeconds(std::int64_t ASeconds) { return TLedgerTime(std::chrono::seconds(ASeconds)); }

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

TLmdbStore::TLmdbStore(const TLedgerOptions &AOptions, const std::string &APath, TLedgerLog ALog)
    : FOptions(AOptions), FPath(APath), FRecorder(LedgerRecorderName(AOptions)),
      FReads(ALog, "ledger " + AOptions.Uri + " cannot be read, bounces are checked without it",
             "ledger " + AOptions.Uri + " can be read again"),
      FWrites(ALog, "ledger " + AOptions.Uri + " cannot record, IDs of sent mail are not recorded",
              "ledger " + AOptions.Uri + " records again") {
  if (FOptions.Opening == loExisting && ::access(FPath.c_str(), F_OK) != 0 && errno == ENOENT)
    throw ELedgerError("The ledger \"" + FPath + "\" does not exist");
  try {
    FLedger.store(OpenLedgerFile(FPath, FOptions.MapSize, FOptions.Opening), std::memory_order_release);
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
    FLedger.store(OpenLedgerFile(FPath, FOptions.MapSize, FOptions.Opening), std::memory_order_release);
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

template <class T, class TAction> std::optional<T> TLmdbStore::ReadMeta(TAction &&AAction) {
  const std::shared_ptr<TOpenLedger> Ledger = Current();
  if (!Ledger)
    return std::nullopt;
  try {
    const TMdbPooledRead Txn(Ledger->Reads, Ledger->Env.get());
    return AAction(Txn.Get(), *Ledger);
  } catch (const ELmdbError &E) {
    FReads.Failed(E.Message());
    return std::nullopt;
  }
}

template <class TAction> TRecordResult TLmdbStore::WriteMeta(TAction &&AAction) {
  const std::shared_ptr<TOpenLedger> Ledger = Current();
  if (!Ledger || FOptions.Opening == loExisting)
    return rrUnavailable;
  try {
    TMdbTxn Txn(Ledger->Env.get(), 0);
    AAction(Txn.Get(), *Ledger);
    Txn.Commit();
    return rrAccepted;
  } catch (const ELmdbError &E) {
    return E.Code() == MDB_MAP_FULL ? rrFull : rrUnavailable;
  }
}

std::optional<TLedgerTime> TLmdbStore::StartTime() {
  if (const std::int64_t Known = FStart.load(std::memory_order_relaxed); Known != 0)
    return TimeOfSeconds(Known);
  // Not there yet: another process (the tool's import) may set it any time.
  const std::optional<std::int64_t> Read = ReadMeta<std::int64_t>(
      [](MDB_txn *ATxn, const TOpenLedger &ALedger) { return GetSeconds(ATxn, ALedger.Meta, StartName); });
  if (!Read || *Read == 0)
    return std::nullopt;
  FStart.store(*Read, std::memory_order_relaxed);
  return TimeOfSeconds(*Read);
}

std::optional<TLedgerTime> TLmdbStore::CoverSince() {
  const std::optional<std::int64_t> Read = ReadMeta<std::int64_t>(
      [](MDB_txn *ATxn, const TOpenLedger &ALedger) { return GetSeconds(ATxn, ALedger.Meta, CoverName); });
  return Read ? std::optional(TimeOfSeconds(*Read)) : std::nullopt;
}

TRecordResult TLmdbStore::SetCoverSince(TLedgerTime ASince) {
  return WriteMeta([&](MDB_txn *ATxn, const TOpenLedger &ALedger) { PutSeconds(ATxn, ALedger.Meta, CoverName, ASince, 0); });
}

std::optional<std::string> TLmdbStore::Fingerprint() {
  return ReadMeta<std::string>([](MDB_txn *ATxn, const TOpenLedger &ALedger) -> std::optional<std::string> {
    MDB_val Name = ValOfText(FingerprintName);
    MDB_val Value;
    const int Rc = mdb_get(ATxn, ALedger.Meta, &Name, &Value);
    if (Rc == MDB_NOTFOUND)
      return std::nullopt;
    CheckLmdb(Rc, "cannot read the fingerprint");
    return std::string(TextOfVal(Value));
  });
}

TRecordResult TLmdbStore::SetFingerprint(std::string_view AFingerprint) {
  return WriteMeta([&](MDB_txn *ATxn, const TOpenLedger &ALedger) {
    MDB_val Name = ValOfText(FingerprintName);
    MDB_val Value = ValOfText(AFingerprint);
    const int Rc = mdb_put(ATxn, ALedger.Meta, &Name, &Value, MDB_NOOVERWRITE);
    if (Rc != MDB_KEYEXIST)
      CheckLmdb(Rc, "cannot write the fingerprint");
  });
}

TRecordResult TLmdbStore::Heartbeat(std::string_view ARecorder, TLedgerTime ANow) {
  const std::string Name = StoredRecorderName(ARecorder);
  if (Name.empty())
    return rrUnavailable;
  return WriteMeta([&](MDB_txn *ATxn, const TOpenLedger &ALedger) {
    PutSeconds(ATxn, ALedger.Meta, std::string(BeatPrefix) + Name, ANow, 0);
  });
}

std::optional<TLedgerTime> TLmdbStore::LastHeartbeat(std::string_view ARecorder) {
  const std::string Name = std::string(BeatPrefix) + StoredRecorderName(ARecorder);
  const std::optional<std::int64_t> Read = ReadMeta<std::int64_t>(
      [&](MDB_txn *ATxn, const TOpenLedger &ALedger) { return GetSeconds(ATxn, ALedger.Meta, Name); });
  return Read ? std::optional(TimeOfSeconds(*Read)) : std::nullopt;
}

// Calls AEach(name after the prefix, value) for every "meta" entry whose
// name begins with APrefix.
template <class TEach>
static void ForEachMeta(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view APrefix, TEach &&AEach) {
  MDB_cursor *Raw = nullptr;
  CheckLmdb(mdb_cursor_open(ATxn, AMeta, &Raw), "cannot open a cursor");
  const TMdbCursorPtr Cursor(Raw);
  MDB_val Key = ValOfText(APrefix);
  MDB_val Value;
  int Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_SET_RANGE);
  for (; Rc == MDB_SUCCESS && TextOfVal(Key).starts_with(APrefix);
       Rc = mdb_cursor_get(Cursor.get(), &Key, &Value, MDB_NEXT))
    AEach(TextOfVal(Key).substr(APrefix.size()), Value);
  if (Rc != MDB_SUCCESS && Rc != MDB_NOTFOUND)
    RaiseLmdb("cannot read the ledger's facts", Rc);
}

std::optional<std::vector<TLedgerHeartbeat>> TLmdbStore::Heartbeats() {
  return ReadMeta<std::vector<TLedgerHeartbeat>>([](MDB_txn *ATxn, const TOpenLedger &ALedger) {
    std::vector<TLedgerHeartbeat> Result;
    ForEachMeta(ATxn, ALedger.Meta, BeatPrefix, [&](std::string_view AName, const MDB_val &AValue) {
      std::int64_t Seconds = 0;
      if (AValue.mv_size == sizeof Seconds) {
        std::memcpy(&Seconds, AValue.mv_data, sizeof Seconds);
        Result.push_back({std::string(AName), TimeOfSeconds(Seconds)});
      }
    });
    return std::optional(std::move(Result));
  });
}

TRecordResult TLmdbStore::RetireRecorder(std::string_view ARecorder) {
  const std::string Name = std::string(BeatPrefix) + StoredRecorderName(ARecorder);
  return WriteMeta([&](MDB_txn *ATxn, const TOpenLedger &ALedger) {
    MDB_val Key = ValOfText(Name);
    const int Rc = mdb_del(ATxn, ALedger.Meta, &Key, nullptr);
    if (Rc != MDB_NOTFOUND)
      CheckLmdb(Rc, "cannot retire the recorder");
  });
}

TRecordResult TLmdbStore::RecordGap(const TLedgerGap &AGap) {
  TLedgerGap Gap = AGap;
  Gap.Recorder = StoredRecorderName(AGap.Recorder);
  if (Gap.Recorder.empty())
    return rrUnavailable;
  const std::string MetaName = std::string(GapsPrefix) + Gap.Recorder;
  const TLedgerTime Cutoff = RetentionCutoff(LedgerNow(), FOptions.Retention);
  if (std::max(Gap.From, Gap.To) < Cutoff)
    return rrExpired;
  return WriteMeta([&](MDB_txn *ATxn, const TOpenLedger &ALedger) {
    MDB_val Name = ValOfText(MetaName);
    MDB_val Value;
    const int Rc = mdb_get(ATxn, ALedger.Meta, &Name, &Value);
    if (Rc != MDB_NOTFOUND)
      CheckLmdb(Rc, "cannot read the gaps");
    std::vector<TLedgerGap> Known;
    if (Rc == MDB_SUCCESS)
      Known = ParseGapsText(Gap.Recorder, TextOfVal(Value));
    const std::string Text = GapsText(MergeGap(std::move(Known), Gap, Cutoff));
    MDB_val NewValue = ValOfText(Text);
    CheckLmdb(mdb_put(ATxn, ALedger.Meta, &Name, &NewValue, 0), "cannot write the gaps");
  });
}

std::optional<std::vector<TLedgerGap>> TLmdbStore::Gaps(TLedgerTime ASince) {
  return ReadMeta<std::vector<TLedgerGap>>([&](MDB_txn *ATxn, const TOpenLedger &ALedger) {
    std::vector<TLedgerGap> Result;
    ForEachMeta(ATxn, ALedger.Meta, GapsPrefix, [&](std::string_view AName, const MDB_val &AValue) {
      for (TLedgerGap &Gap : ParseGapsText(AName, TextOfVal(AValue)))
        if (Gap.To >= ASince)
          Result.push_back(std::move(Gap));
    });
    std::stable_sort(Result.begin(), Result.end(),
                     [](const TLedgerGap &A, const TLedgerGap &B) { return A.From < B.From; });
    return std::optional(std::move(Result));
  });
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
                                            TLedgerLog ALog) {
  return std::make_unique<TLmdbStore>(AOptions, ALocation.Path, std::move(ALog));
}

} // namespace bw
