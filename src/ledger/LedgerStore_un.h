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
#include <string>

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
  rrFull,         // LMDB's map is full: not recorded
  rrUnavailable,  // the store cannot take it now: not recorded
};

struct TLedgerStats {
  std::uint64_t Entries = 0;              // swept or not
  std::optional<TLedgerTime> Oldest;      // none when empty
  std::optional<TLedgerTime> Newest;
  std::uint64_t BytesUsed = 0;            // LMDB: the file's used pages; Redis: the keys' memory
  std::optional<TLedgerTime> StartTime;
};

struct TSweepResult {
  std::size_t Visited = 0;
  std::size_t Removed = 0;
  bool PassComplete = false;  // the sweep reached the last entry; the next starts from the first
};

// One ledger. Every member may be called from many threads at once.
// Contains, Record and StartTime never wait for longer than one short read
// transaction (LMDB: Record only queues the record for the writer thread)
// or one round trip within the timeout (Redis), and never raise
// (std::bad_alloc aside): a store that is down answers lrUnknown or
// rrUnavailable at once until its retry delay has passed. Flush waits for
// the writer; Sweep holds LMDB's write lock for at most its budget of
// entries; Sweep and Stats raise ELedgerError when the store cannot be read
// or written.
//
// Destroy a store only once no thread calls it any more; the destructor
// commits what is still queued.
//
// The process must ignore SIGPIPE: a Redis server that went away would
// otherwise end it on the next write.
class ILedgerStore {
public:
  virtual ~ILedgerStore() = default;

  virtual TLookupResult Contains(const TLedgerKey &AKey) = 0;
  // Records AKey as sent at ATime; a key recorded again takes the new time
  // (and, in Redis, the rest of the retention from it).
  virtual TRecordResult Record(const TLedgerKey &AKey, TLedgerTime ATime) = 0;
  // Waits until everything recorded before the call is committed. Returns
  // rrAccepted when every record since the previous Flush was, otherwise the
  // reason the last lost one was not.
  virtual TRecordResult Flush() = 0;
  // Removes up to ABudget entries older than the retention, each call going
  // on where the previous one stopped. Redis expires its keys by itself.
  virtual TSweepResult Sweep(std::size_t ABudget) = 0;
  // Reads every entry: for the administrator, not for each message.
  virtual TLedgerStats Stats() = 0;
  // When the store began recording, kept in the store itself (so it
  // survives restarts and is shared by every host of one Redis); nothing
  // when the store cannot say now. A ledger covers its retention once this
  // lies that far back.
  virtual std::optional<TLedgerTime> StartTime() = 0;
  // The last moment this process's records may have been lost, because the
  // store would not take them or a batch failed: now while that lasts, the
  // end of the last such outage after one, nothing when there was none since
  // the store was opened. Another process's losses are not seen here.
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
