// The LMDB ledger's facts in its "meta" database: its start, cover and key
// fingerprint as seconds and bytes, and its recorders' marks and gaps.
#include "ledger/LmdbLedger_un.h"

#include "ledger/LedgerGaps_un.h"

namespace bw {

static constexpr std::string_view BeatPrefix = "beat:";
static constexpr std::string_view GapsPrefix = "gaps:";

std::optional<std::int64_t> GetSeconds(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view AName) {
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

void PutSeconds(MDB_txn *ATxn, MDB_dbi AMeta, std::string_view AName, TLedgerTime ATime, unsigned AFlags) {
  const std::int64_t Seconds = ATime.time_since_epoch().count();
  MDB_val Name = ValOfText(AName);
  MDB_val Value = ValOf(&Seconds, sizeof Seconds);
  const int Rc = mdb_put(ATxn, AMeta, &Name, &Value, AFlags);
  if (Rc != MDB_KEYEXIST)
    CheckLmdb(Rc, "cannot write the ledger's facts");
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

} // namespace bw
