// The check pool's workers.
#include "milter/MilterPool_un.h"

#include "rtl/Clock_un.h"
#include "rtl/SysUtils_un.h"

#include <malloc.h>

#include <exception>
#include <new>

namespace bw {

TCheckPool::~TCheckPool() {
  {
    const std::lock_guard Lock(FMutex);
    FEnding = true;
  }
  FWorkReady.notify_all();
  for (std::thread &Worker : FWorkers)
    Worker.join();
}

void TCheckPool::Start() {
  const std::lock_guard Lock(FMutex);
  for (unsigned I = FWorkers.size(); I < FWorkerCount; ++I)
    FWorkers.emplace_back([this] { Work(); });
}

// A check that took this long may have made GMime build hundreds of
// thousands of small objects; the heap hands their memory back to the system
// afterwards instead of keeping it for good. An ordinary check takes well
// under a millisecond and skips the trim's walk over the heap.
static constexpr std::chrono::milliseconds TrimAfter{20};

static TDecision RunGuarded(const TCheckPool::TCheck &ACheck) noexcept {
  TDecision Outcome;
  // A worker thread has no caller to hand an exception to.
  try {
    return ACheck();
  } catch (const Exception &E) {
    Outcome.Error = ExceptionText(E);
  } catch (const std::bad_alloc &) {
    Outcome.Error = "out of memory";
  } catch (const std::exception &E) {
    Outcome.Error = std::string("internal error \"") + E.what() + "\"";
  } catch (...) {
    Outcome.Error = "internal error of unknown type";
  }
  Outcome.Verdict = cvError;
  return Outcome;
}

// Runs the check and lets go of what it held (the message); a costly check
// is one that left the heap large.
static TDecision RunAndTrim(TCheckPool::TCheck &ACheck) noexcept {
  const TStopwatch Watch;
  TDecision Outcome = RunGuarded(ACheck);
  ACheck = nullptr;
  if (Watch.Elapsed() >= TrimAfter)
    malloc_trim(0);
  return Outcome;
}

void TCheckPool::Work() {
  std::unique_lock Lock(FMutex);
  for (;;) {
    FWorkReady.wait(Lock, [this] {
      return FEnding || (!FAbandoned && !FQueue.empty() && FRunning < FWorkerCount);
    });
    if (FEnding)
      return;
    const std::shared_ptr<TJob> Job = std::move(FQueue.front());
    FQueue.pop_front();
    ++FRunning;
    Lock.unlock();
    TDecision Outcome = RunAndTrim(Job->Check);
    Lock.lock();
    --FRunning;
    Job->Outcome = std::move(Outcome);
    Job->Done = true;
    --FPending;
    Job->Changed.notify_one();
    FWorkReady.notify_one();  // a slot is free for a queued job
  }
}

TCheckOutcome TCheckPool::Run(TCheck ACheck) {
  const TStopwatch Watch;
  std::unique_lock Lock(FMutex);
  // A free slot and nobody before this one: the connection runs it itself.
  if (!FAbandoned && !FWorkers.empty() && FQueue.empty() && FRunning < FWorkerCount) {
    ++FRunning;
    ++FPending;
    Lock.unlock();
    TCheckOutcome Outcome{RunAndTrim(ACheck)};
    Lock.lock();
    --FRunning;
    --FPending;
    FWorkReady.notify_one();  // a slot is free for a queued job
    Lock.unlock();
    Outcome.Elapsed = Watch.Elapsed();
    return Outcome;
  }
  auto Job = std::make_shared<TJob>();
  Job->Check = std::move(ACheck);
  if (!FAbandoned) {
    FQueue.push_back(Job);
    ++FPending;
    FWaiting.insert(Job.get());
    FWorkReady.notify_one();
    Job->Changed.wait(Lock, [&] { return Job->Done || FAbandoned; });
    FWaiting.erase(Job.get());
  }
  TCheckOutcome Outcome;
  if (Job->Done)
    static_cast<TDecision &>(Outcome) = std::move(Job->Outcome);
  else
    Outcome.Verdict = cvNotFinished;
  Lock.unlock();
  Outcome.Elapsed = Watch.Elapsed();
  return Outcome;
}

void TCheckPool::Abandon() {
  {
    const std::lock_guard Lock(FMutex);
    FAbandoned = true;
    // Jobs nobody waits for any more: their messages go at once.
    FPending -= FQueue.size();
    FQueue.clear();
    for (TJob *Job : FWaiting)
      Job->Changed.notify_one();
  }
}

std::size_t TCheckPool::Pending() const {
  const std::lock_guard Lock(FMutex);
  return FPending;
}

} // namespace bw
