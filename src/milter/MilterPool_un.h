// The pool of workers that runs the checks of the connections' messages.
#pragma once

#include "verdict/Verdict_un.h"

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

// One check's decision, and how long the connection waited for it.
struct TCheckOutcome : TDecision {
  std::chrono::microseconds Elapsed{0};  // waiting for a worker included
};

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
  using TCheck = std::function<TDecision()>;

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
    TDecision Outcome;
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

} // namespace bw
