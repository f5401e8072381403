// The ledger of sent Message-IDs: the one interface both stores implement,
// its key, its answers, and the times it keeps.
//
// A store holds keys (keyed hashes of IDs, see LedgerKey_un.h), never IDs,
// each with the time it was sent. Callers never see a transaction, a
// connection or a reply: a lookup answers found, absent or unknown, and
// "unknown" (a store that is down, slow, missing, unreadable) is the caller's
// cue to decide by other means. Nothing here knows about mail, nor which
// stores exist: LedgerOpen_un.h opens one by its URI.
#pragma once

#include "rtl/SysUtils_un.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// A store that cannot be opened or read for the administrator's commands;
// a bad URI. Lookups and records never raise it.
class ELedgerError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "ELedgerError"; }
};

inline constexpr std::size_t LedgerKeySize = 16;
using TLedgerKey = std::array<std::uint8_t, LedgerKeySize>;
using TLedgerTime = std::chrono::sys_seconds;

enum TLookupResult : std::uint8_t {
  lrFound,    // recorded within the retention
  lrAbsent,   // not recorded, or recorded longer ago than the retention
  lrUnknown,  // the store cannot answer now: decide without it
};

enum TRecordResult : std::uint8_t {
  rrAccepted,     // stored, or queued to be (LMDB: Flush says when it is committed)
  rrExpired,      // older than the retention: nothing to keep
  rrFull,         // LMDB's map is full, Redis is out of memory: not recorded
  rrUnavailable,  // the store cannot take it now: not recorded
};

// A span of time in which a recorder may have sent mail that the ledger
// does not hold: its records were lost, its link to the store was down, or
// it was stopped. A bounce of mail sent then proves nothing by its absence.
struct TLedgerGap {
  std::string Recorder;  // the host (or tool) that could not record
  TLedgerTime From;
  TLedgerTime To;
  std::string Reason;    // one line, for the administrator
  friend bool operator==(const TLedgerGap &, const TLedgerGap &) = default;
};

// A recorder that has not been retired, and its last mark.
struct TLedgerHeartbeat {
  std::string Recorder;
  TLedgerTime Last;
  friend bool operator==(const TLedgerHeartbeat &, const TLedgerHeartbeat &) = default;
};

struct TLedgerStats {
  std::uint64_t Entries = 0;              // swept or not
  std::optional<TLedgerTime> Oldest;      // none when empty
  std::optional<TLedgerTime> Newest;
  // LMDB: the file's used pages; Redis: the server's memory above its empty
  // state, shared out over every key it holds, for the ledger's entries.
  std::uint64_t BytesUsed = 0;
  // How full the store is, from 0 to 1 (LMDB: its used pages of the map
  // size; Redis: used_memory of maxmemory); none when it has no bound.
  std::optional<double> Fullness;
  std::optional<TLedgerTime> StartTime;
  std::optional<TLedgerTime> CoverSince;
  std::optional<std::string> Fingerprint;
};

struct TSweepResult {
  std::size_t Visited = 0;
  std::size_t Removed = 0;
  bool PassComplete = false;  // the sweep reached the last entry; the next starts from the first
};

// One ledger. Every member may be called from many threads at once.
// Lookups, records and the facts below never raise (std::bad_alloc
// aside), and never wait for longer than one short read transaction (LMDB:
// Record only queues the record for the writer thread) or the timeout
// (Redis); a store that is down answers lrUnknown, rrUnavailable or nothing
// at once until its retry delay has passed. Flush, RecordDurably and
// RecordWaiting wait for the LMDB writer; Sweep holds LMDB's write lock for
// at most its budget of entries; Sweep and Stats raise ELedgerError when the
// store cannot be read or written.
//
// Destroy a store only once no thread calls it any more; the destructor
// commits what is still queued.
//
// The process must ignore SIGPIPE: a Redis server that went away would
// otherwise end it on the next write.
class ILedgerStore {
public:
  virtual ~ILedgerStore() = default;

  // -- Entries --
  TLookupResult Contains(const TLedgerKey &AKey) { return ContainsAny(std::span<const TLedgerKey>(&AKey, 1)); }
  // lrFound when any of AKeys was recorded within this store's retention
  // (the stored time is compared, whoever recorded it); lrUnknown when the
  // store could not answer for all of them within one timeout for the whole
  // call (LMDB: one read transaction; Redis: one round trip); lrAbsent
  // otherwise, and for no keys. A slow answer loses no record: it is not
  // an outage of recording (LastLostRecords, Gaps).
  virtual TLookupResult ContainsAny(std::span<const TLedgerKey> AKeys) = 0;
  // Records AKey as sent at ATime. A key recorded again keeps the newer of
  // its two times (and, in Redis, the rest of the retention from it), so an
  // import of an older copy never shortens an entry. The first record into
  // a ledger without a start time sets it (StartTime).
  virtual TRecordResult Record(const TLedgerKey &AKey, TLedgerTime ATime) = 0;
  // Record, returning only once the record is committed (synced in LMDB,
  // acknowledged by Redis): rrAccepted then means it survives the process
  // being killed. Callers at once share one commit (LMDB commits at once
  // when anyone waits, rather than gathering for CommitDelay).
  virtual TRecordResult RecordDurably(const TLedgerKey &AKey, TLedgerTime ATime) = 0;
  // Record for an import: where Record would refuse because the writer is
  // behind (LMDB's queue is full), waits for room instead. Flush says
  // whether the records were committed.
  virtual TRecordResult RecordWaiting(const TLedgerKey &AKey, TLedgerTime ATime) = 0;
  // Waits until everything recorded before the call is committed. Returns
  // rrAccepted when every record since the previous Flush was, otherwise the
  // reason the last lost one was not.
  virtual TRecordResult Flush() = 0;
  // Removes up to ABudget entries older than the retention, each call going
  // on where the previous one stopped. Redis expires its keys by itself.
  virtual TSweepResult Sweep(std::size_t ABudget) = 0;
  // Reads every entry: for the administrator, not for each message.
  virtual TLedgerStats Stats() = 0;

  // -- Facts of the whole ledger, kept in the store itself, so that they
  // survive restarts and are shared by every host of one Redis. "Nothing"
  // means absent, or that the store cannot say now. Apart from StartTime,
  // each call reads the store (in Redis, a round trip): a caller that needs
  // them for every message keeps them for a while. --

  // When recording began: set by the first record, never by opening. A
  // ledger covers its retention once this lies that far back.
  virtual std::optional<TLedgerTime> StartTime() = 0;
  // The administrator's statement that every path of sent mail since then
  // has been recorded or imported (bouncewarden-ledger cover).
  virtual std::optional<TLedgerTime> CoverSince() = 0;
  virtual TRecordResult SetCoverSince(TLedgerTime ASince) = 0;
  // The fingerprint of the key the ledger's entries are keyed with
  // (TLedgerHasher::Fingerprint); opaque bytes to the store. Set only when
  // absent; rrAccepted also when one was there already (this one or
  // another: read Fingerprint to compare).
  virtual std::optional<std::string> Fingerprint() = 0;
  virtual TRecordResult SetFingerprint(std::string_view AFingerprint) = 0;

  // -- Recorders and their gaps --

  // ARecorder marks that it is recording at ANow (a milter every minute or
  // so, and at its start). A recorder retired before is known again.
  virtual TRecordResult Heartbeat(std::string_view ARecorder, TLedgerTime ANow) = 0;
  virtual std::optional<TLedgerTime> LastHeartbeat(std::string_view ARecorder) = 0;
  // Every recorder not retired, with its last mark; nothing when the store
  // cannot say.
  virtual std::optional<std::vector<TLedgerHeartbeat>> Heartbeats() = 0;
  // ARecorder's host is gone for good: its heartbeat is no longer expected.
  // Its gaps stay until they leave the retention.
  virtual TRecordResult RetireRecorder(std::string_view ARecorder) = 0;
  // Keeps AGap, merged with the recorder's gaps that it overlaps or
  // touches; gaps that ended before the retention are dropped, and a
  // recorder's oldest gaps are merged when it has too many, so that their
  // number stays bounded (a merged gap only grows).
  virtual TRecordResult RecordGap(const TLedgerGap &AGap) = 0;
  // The gaps that end at or after ASince, every recorder's, oldest first;
  // nothing when the store cannot say. Include the store's own lost records
  // (below), once they could be written.
  virtual std::optional<std::vector<TLedgerGap>> Gaps(TLedgerTime ASince) = 0;
  // The last moment this process's records may have been lost, because the
  // store would not take them or a batch failed: now while that lasts, the
  // end of the last such outage after one, nothing when there was none since
  // the store was opened. The store also keeps each such span as a gap of
  // TLedgerOptions::Recorder, written as soon as the store takes writes
  // again, so that every host learns of it.
  virtual std::optional<TLedgerTime> LastLostRecords() const = 0;
};

// The ledger's clock and its arithmetic live beside TLedgerTime: every
// caller of Record needs the first, both stores and their callers the
// second, and none of them anything else of a calendar.
TLedgerTime LedgerNow();
// The first instant that is still within the retention at ANow.
TLedgerTime RetentionCutoff(TLedgerTime ANow, std::chrono::seconds ARetention);
// ATime as "YYYY-MM-DD HH:MM:SS UTC" (its seconds since the epoch should the
// calendar fail), as the milter's log and the ledger tool show times.
std::string LedgerTimeText(TLedgerTime ATime);

} // namespace bw
