// Everything the milter's connections share, for the life of the process.
//
// One context is made in main before libmilter starts its threads and is
// never destroyed while any of them can run: the daemon ends with _exit, so
// a thread still inside a check or a callback never meets freed memory
// (and commits the ledger's queued records before it does).
#pragma once

#include "detector/MessageIdMatch_un.h"
#include "milter/MilterLog_un.h"
#include "milter/MilterOptions_un.h"
#include "milter/MilterPool_un.h"
#include "milter/MilterUpkeep_un.h"
#include "verdict/LedgerJudge_un.h"
#include "verdict/RecipientRule_un.h"
#include "verdict/Verdict_un.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace bw {

class TMilterContext {
public:
  // Compiles and studies the pattern once, when there is one; every check
  // shares it read-only.
  TMilterContext(TMilterOptions AOptions, std::unique_ptr<TMilterLog> ALog);
  TMilterContext(const TMilterContext &) = delete;
  TMilterContext &operator=(const TMilterContext &) = delete;

  const TMilterOptions &Options() const noexcept { return FOptions; }
  // Null without --pattern.
  const TMessageIdPattern *Pattern() const noexcept { return FPattern.get(); }
  TCheckPool &Checks() noexcept { return FChecks; }
  TMilterLog &Log() noexcept { return *FLog; }

  // The ledger is opened by the daemon once it runs as its own user (so
  // that the files it creates are that user's) and attached here once,
  // before any thread that could use it starts. It goes after the checks'
  // workers, which may still be asking it.
  // Its upkeep (MilterUpkeep_un.h) comes with it.
  void AttachLedger(std::unique_ptr<TLedgerJudge> ALedger);
  // Null until attached, or when no option asks for a ledger.
  TLedgerJudge *Ledger() noexcept { return FLedger.get(); }
  TLedgerUpkeep *Upkeep() noexcept { return FUpkeep.get(); }
  // True for the one caller that is first to ask: the check of the MTA's
  // own host name against the pattern runs once per process.
  bool ClaimHostNameCheck() noexcept { return !FHostNameChecked.exchange(true); }
  // What a bounce's returned Message-IDs are judged by.
  TJudges Judges() noexcept { return {FPattern.get(), FLedger.get(), FOptions.LedgerOnly, FOptions.OnLedgerOutage}; }

  // The recipient rules and BATV's keys, read by the daemon once it runs as
  // its own user and attached here once, before any thread that could use
  // them starts, as the ledger is.
  void AttachRecipients(std::unique_ptr<const TRecipientJudge> AJudge) noexcept { FRecipients = std::move(AJudge); }
  // Null until attached, or when no option asks for them.
  const TRecipientJudge *Recipients() const noexcept { return FRecipients.get(); }

  // --- The orderly stop. A transaction (MAIL FROM to its end) that began
  // before the stop runs to its end; one that would begin after it is
  // refused, so that the stop waits for a known set.

  // False once the stop began: the transaction gets the --on-error answer.
  bool BeginTransaction();
  void EndTransaction() noexcept;
  void BeginStop();
  // True when every transaction begun before the stop ended by ADeadline.
  bool WaitForTransactions(std::chrono::steady_clock::time_point ADeadline);
  // A libmilter callback running (its reply then goes out as it returns).
  void EnterCallback() noexcept;
  void LeaveCallback() noexcept;
  // True once no callback has run for AQuiet (a command the MTA already sent
  // would have started one by then), false at ADeadline.
  bool WaitForQuiet(std::chrono::milliseconds AQuiet, std::chrono::steady_clock::time_point ADeadline);
  std::size_t OpenTransactions() const;

private:
  const TMilterOptions FOptions;
  const std::unique_ptr<const TMessageIdPattern> FPattern;
  std::unique_ptr<TMilterLog> FLog;
  std::unique_ptr<TLedgerJudge> FLedger;  // before FChecks, so that it outlives the workers
  std::unique_ptr<const TRecipientJudge> FRecipients;
  std::unique_ptr<TLedgerUpkeep> FUpkeep;
  TCheckPool FChecks;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::size_t FTransactions = 0;
  std::size_t FCallbacks = 0;
  std::chrono::steady_clock::time_point FLastCallback{};
  bool FStopping = false;
  std::atomic<bool> FHostNameChecked{false};
};

} // namespace bw
