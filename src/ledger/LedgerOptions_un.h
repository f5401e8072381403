// What a store is opened with: its URI, how it treats a failure to open,
// its bounds and rhythms, the defaults the milter and bouncewarden-ledger
// share, and where it logs an outage.
//
// Plain values with no store behind them, so that a command line can fill
// them in without linking a store.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace bw {

inline constexpr const char *DefaultLedgerUri = "lmdb:/var/lib/bouncewarden/ledger";
// The defaults that the milter and bouncewarden-ledger share, in the units
// their command lines take.
inline constexpr unsigned DefaultRetentionDays = 14;       // longer than any MTA retries a delivery
inline constexpr unsigned DefaultMapSizeMiB = 1024;
inline constexpr unsigned DefaultLedgerTimeoutMs = 100;    // one Redis call seen from the milter

// What a store does when it cannot be opened at start.
enum TLedgerOpening : std::uint8_t {
  loRequire,  // raise ELedgerError; create a missing ledger (the tool's add, import, cover)
  loExisting, // raise ELedgerError, "... does not exist" for a missing ledger, which is
              // never created; nothing is written by opening (the tool's stats, lookup)
  loTolerate, // log the outage, answer "unknown" and retry in the background (a daemon)
};

struct TLedgerOptions {
  std::string Uri = DefaultLedgerUri;
  TLedgerOpening Opening = loRequire;
  std::chrono::seconds Retention = std::chrono::days(DefaultRetentionDays);
  std::uint64_t MapSize = std::uint64_t(DefaultMapSizeMiB) << 20;  // LMDB: the most the file may grow to
  // Redis: the whole of one call (a lookup of many keys, a record),
  // connecting and asking the sentinels included.
  std::chrono::milliseconds Timeout{DefaultLedgerTimeoutMs};
  std::chrono::milliseconds RetryDelay{2000};                  // after a failure, before the next attempt
  // LMDB: how long the writer gathers records before it commits them (each
  // commit is a sync of the file); Flush commits at once. 0: every record as
  // soon as the writer takes it.
  std::chrono::milliseconds CommitDelay{20};
  std::chrono::milliseconds SweepInterval{1000};               // LMDB: between background sweeps (0: none)
  std::size_t SweepBudget = 1000;                              // LMDB: entries one background sweep visits
  // Redis: a file holding the password, or "USER PASSWORD" on one line for
  // an ACL user (redis://USER@HOST names the user too); empty: none.
  std::string PasswordFile;
  // The name this process's own lost records are kept under as gaps
  // (TLedgerGap::Recorder); empty: the host's name.
  std::string Recorder;
};

// Where a store reports that it became unavailable (once, when that starts)
// and available again (once, when it ends). Called from any thread, never
// while the store holds a lock that a lookup waits for.
using TLedgerLog = std::function<void(const std::string &ALine)>;

} // namespace bw
