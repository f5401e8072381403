// The ledger's upkeep while the milter runs: the key fingerprint compared
// before anything is judged by the ledger, and, for a milter that records,
// its mark in the store every HeartbeatInterval (the first one turning the
// time since the mark before into a gap: mail passed unrecorded while it
// was stopped).
//
// The daemon calls it at start and from a timer; it never raises, and logs
// only what changes.
#pragma once

#include "milter/MilterLog_un.h"
#include "verdict/LedgerJudge_un.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace bw {

class TLedgerUpkeep {
public:
  // AUri names the ledger in the lines; AKeyFile the key.
  TLedgerUpkeep(TLedgerJudge &ALedger, TMilterLog &ALog, bool ARecords, std::string AUri, std::string AKeyFile);

  // The first checks, at start: the line that must stop the start (the
  // ledger was keyed with another key), or nothing. What the store cannot
  // say yet is asked again by Tick.
  std::optional<std::string> Start();
  // Does what is due at ANow: the key check until the store could answer
  // it, and a recorder's mark every HeartbeatInterval (sooner while the last
  // one failed). Safe from any one thread at a time.
  void Tick(std::chrono::steady_clock::time_point ANow);

private:
  void CheckKey();
  void Mark();

  TLedgerJudge &FLedger;
  TMilterLog &FLog;
  const bool FRecords;
  const std::string FUri;
  const std::string FKeyFile;
  std::mutex FLock;
  bool FKeyKnown = false;
  bool FMarkFailed = false;  // logged once until a mark goes through again
  std::chrono::steady_clock::time_point FNextKeyCheck{};
  std::chrono::steady_clock::time_point FNextMark{};
};

// The line that names a ledger keyed with another key and what to do.
std::string OtherKeyText(const std::string &AUri, const std::string &AKeyFile, TLedgerJudge &ALedger);

} // namespace bw
