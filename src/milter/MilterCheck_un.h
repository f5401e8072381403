// The check of one assembled message: the returned Message-IDs, the decision
// over them, and the pool of workers that runs checks for the connections.
#pragma once

#include "detector/MessageIdMatch_un.h"
#include "milter/MilterLedger_un.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace bw {

enum TCheckVerdict : std::uint8_t {
  cvNotBackscatter,
  cvBackscatter,
  cvError,       // the check raised: Error says what
  cvNotFinished  // a stop's grace time ran out before the check ended
};

// The rule that gave the verdict: none when there were no Message-IDs to
// judge.
enum TDecidingRule : std::uint8_t { drNone, drPattern, drLedger };

// What a returned Message-ID is judged by. A pattern, a ledger or both; with
// both, an ID is ours when either says so, unless LedgerOnly.
struct TCheckRules {
  const TMessageIdPattern *Pattern = nullptr;
  TMilterLedger *Ledger = nullptr;
  // Ours only when in the ledger; the pattern is asked only while the
  // ledger does not yet cover its retention. Without a pattern the ledger
  // decides alone whatever this says.
  bool LedgerOnly = false;
};

struct TCheckOutcome {
  TCheckVerdict Verdict = cvNotBackscatter;
  TDecidingRule Rule = drNone;
  // Why the rule that decided is not the one configured first: the ledger
  // is warming up or could not answer. Empty otherwise.
  std::string RuleNote;
  // The Message-IDs the returned message yielded, also when matching them failed.
  std::size_t MessageIDCount = 0;
  std::string Error;  // <class> "<message>" for cvError
  std::chrono::microseconds Elapsed{0};  // waiting for a worker included
};

// The verdict over the returned Message-IDs. None at all gives "not
// backscatter" with no rule. Otherwise, in order:
//   - an ID in the ledger: "not backscatter" by the ledger;
//   - the ledger deciding alone (LedgerOnly, or no pattern) and covering its
//     retention: "backscatter" by the ledger;
//   - a pattern: "backscatter" unless an ID matches it, by the pattern, with
//     the reason in RuleNote when the ledger was asked first and could not
//     decide (warming up, or unavailable under the union);
//   - otherwise no verdict (cvError, by the ledger): a ledger that cannot
//     answer under --ledger-only, or one that decides alone while it warms
//     up without a pattern to fall back to.
// A pattern that cannot be used, or a match that cannot be completed, is
// cvError too: never a verdict, with the count of the IDs kept.
TCheckOutcome DecideOnMessageIDs(const TCheckRules &ARules, std::span<const std::u16string> AMessageIDs);

// The whole check of one message as the MTA delivered it: the detector's
// returned Message-IDs, then DecideOnMessageIDs. A project exception becomes
// cvError; anything else propagates. Elapsed is left 0.
TCheckOutcome CheckAssembledMessage(const std::string &ASender, std::string AContent, const TCheckRules &ARules);

// The checks, at most N at once, which bounds memory by N times the largest
// check. A connection that finds a slot free and nobody queued runs its check
// itself, which spares two thread hand-offs (about 100 microseconds on two
// cores, more than the check of an ordinary bounce); otherwise it queues for
// a worker and waits. Once the pool is abandoned (a stop's grace time ran
// out) every waiting and later request returns cvNotFinished at once, while a
// check already running goes on to its end, which only the end of the
// process stops. A check is bounded (its size and its match budget), so one
// run by its connection ends well within the stop's grace time.
class TCheckPool {
public:
  using TCheck = std::function<TCheckOutcome()>;

  explicit TCheckPool(unsigned AWorkers) : FWorkerCount(AWorkers) {}
  // Lets the workers finish what they run and joins them (a test's pool; the
  // daemon's lives as long as the process).
  ~TCheckPool();
  TCheckPool(const TCheckPool &) = delete;
  TCheckPool &operator=(const TCheckPool &) = delete;

  // Starts the worker threads (they take the caller's signal mask). Until
  // then, Run waits.
  void Start();
  // Runs ACheck (on the calling thread when a slot is free, else on a
  // worker) and returns its outcome, with Elapsed counting from the call.
  // An exception ACheck raises becomes cvError.
  TCheckOutcome Run(TCheck ACheck);
  // From now on no check starts and no one waits: see the class comment.
  void Abandon();
  // Checks asked for and not yet ended (waiting for a worker or running).
  std::size_t Pending() const;

private:
  struct TJob {
    TCheck Check;
    TCheckOutcome Outcome;
    bool Done = false;
    // Wakes only the connection that waits for this job: with one shared
    // signal every waiting connection would wake at every job's end.
    std::condition_variable Changed;  // done, or the pool was abandoned
  };
  void Work();

  const unsigned FWorkerCount;
  mutable std::mutex FMutex;
  std::condition_variable FWorkReady;  // a job queued, or the pool ends
  std::deque<std::shared_ptr<TJob>> FQueue;
  std::set<TJob *> FWaiting;  // the jobs whose connection waits, for Abandon
  std::size_t FPending = 0;
  unsigned FRunning = 0;  // checks running, on workers or on their connections
  bool FAbandoned = false;
  bool FEnding = false;
  std::vector<std::thread> FWorkers;
};

// The verdict as the log line writes it.
std::string VerdictText(const TCheckOutcome &AOutcome);
// The rule as the log line names it ("pattern", "ledger"); empty for drNone.
std::string_view RuleName(TDecidingRule ARule);

} // namespace bw
