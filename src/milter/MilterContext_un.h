// Everything the milter's connections share, for the life of the process.
//
// One context is made in main before libmilter starts its threads and is
// never destroyed while any of them can run: the daemon ends with _exit, so
// a thread still inside a check or a callback never meets freed memory
// (and commits the ledger's queued records before it does).
#pragma once

#include "detector/MessageIdMatch_un.h"
#include "milter/MilterLog_un.h"
#include "milter/MilterMessage_un.h"
#include "milter/MilterMetrics_un.h"
#include "milter/MilterOptions_un.h"
#include "milter/MilterPool_un.h"
#include "milter/MilterSettings_un.h"
#include "milter/MilterUpkeep_un.h"
#include "milter/MilterWatch_un.h"
#include "verdict/LedgerJudge_un.h"
#include "verdict/RecipientRule_un.h"
#include "verdict/Verdict_un.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace bw {

// How a transaction ended: answered at its end (or earlier, when nothing
// more was wanted), or left by its MTA (an abort, a new MAIL FROM, the
// connection's end).
enum TTransactionEnd : std::uint8_t { teAnswered, teAborted };

class TMilterContext {
public:
  // The first snapshot of the settings, its pattern compiled and studied
  // once (when there is one); every check shares it read-only.
  TMilterContext(TMilterOptions AOptions, std::unique_ptr<TMilterLog> ALog, TGivenSettings AGiven = {});
  TMilterContext(const TMilterContext &) = delete;
  TMilterContext &operator=(const TMilterContext &) = delete;

  // The options the process started with: what only a restart changes (the
  // socket, the user, the log, the workers) reads them. Everything a reload
  // changes is read from Settings(), by a transaction from its own.
  const TMilterOptions &Options() const noexcept { return FStartOptions; }
  TCheckPool &Checks() noexcept { return FChecks; }
  TMilterLog &Log() noexcept { return *FLog; }
  // What the messages in progress hold, under the current --buffer-limit.
  TByteBudget &Buffers() noexcept { return FBuffers; }

  // The current snapshot; a transaction keeps the one it took.
  TMilterSettingsPtr Settings() const;
  // Makes ASettings current for the transactions that begin from now on.
  void Install(TMilterSettingsPtr ASettings);
  // The ledger is opened by the daemon once it runs as its own user (so
  // that the files it creates are that user's): it joins the current
  // snapshot, with its upkeep (MilterUpkeep_un.h). A check holds its
  // snapshot, so a judge outlives the checks that ask it.
  void AttachLedger(std::shared_ptr<TLedgerJudge> ALedger);
  // The current snapshot's; null until attached, or when no option asks for
  // a ledger. Valid while that snapshot is: for the daemon's own lines.
  TLedgerJudge *Ledger() const;
  // The current snapshot's ledger upkeep; null without a ledger.
  std::shared_ptr<TLedgerUpkeep> Upkeep() const;
  // True for the one caller that is first to ask: the check of the MTA's
  // own host name against the pattern runs once per process.
  bool ClaimHostNameCheck() noexcept { return !FHostNameChecked.exchange(true); }

  // The recipient rules and BATV's keys, read by the daemon once it runs as
  // its own user: they join the current snapshot, as the ledger does.
  void AttachRecipients(std::shared_ptr<const TRecipientJudge> AJudge);

  // --- The orderly stop. A transaction (MAIL FROM to its end) that began
  // before the stop runs to its end; one that would begin after it is
  // refused, so that the stop waits for a known set.

  // False once the stop began: the transaction is refused with a 4xx.
  bool BeginTransaction();
  void EndTransaction(TTransactionEnd AHow) noexcept;
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
  // How the transactions that ended since the stop began ended.
  std::size_t AnsweredSinceStop() const;
  std::size_t AbortedSinceStop() const;

  // The connections, for the watch over silent peers and the gauge.
  TConnectionWatch &Connections() noexcept { return FConnections; }
  // The counts of messages, verdicts, errors and the ledger's answers.
  TMilterMetrics &Metrics() noexcept { return FMetrics; }

private:
  const TMilterOptions FStartOptions;
  std::unique_ptr<TMilterLog> FLog;
  TByteBudget FBuffers;
  mutable std::mutex FSettingsMutex;
  TMilterSettingsPtr FSettings;
  TCheckPool FChecks;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::size_t FTransactions = 0;
  std::size_t FAnsweredSinceStop = 0;
  std::size_t FAbortedSinceStop = 0;
  TConnectionWatch FConnections;
  TMilterMetrics FMetrics;
  std::size_t FCallbacks = 0;
  std::chrono::steady_clock::time_point FLastCallback{};
  bool FStopping = false;
  std::atomic<bool> FHostNameChecked{false};
};

} // namespace bw
