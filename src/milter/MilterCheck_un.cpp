// The check, the decision and the workers.
#include "milter/MilterCheck_un.h"

#include "detector/BackscatterDetector_un.h"
#include "rtl/SysUtils_un.h"

#include <malloc.h>

#include <exception>
#include <new>

namespace bw {

static std::string ErrorText(const Exception &AError) {
  return std::string(AError.ClassName()) + " \"" + AError.Message() + "\"";
}

// The pattern's verdict over the IDs.
static void DecideByPattern(const TMessageIdPattern &APattern, std::span<const std::u16string> AMessageIDs,
                            TCheckOutcome &AOutcome) {
  AOutcome.Rule = drPattern;
  try {
    AOutcome.Verdict = MatchesAnyMessageID(APattern, AMessageIDs) ? cvNotBackscatter : cvBackscatter;
  } catch (const ERegexMatchError &E) {
    // A pattern that cannot be used or a match over its budget gives no
    // verdict: judging the bounce backscatter could lose a genuine one.
    AOutcome.Verdict = cvError;
    AOutcome.Error = ErrorText(E);
  }
}

TCheckOutcome DecideOnMessageIDs(const TCheckRules &ARules, std::span<const std::u16string> AMessageIDs) {
  TCheckOutcome Outcome;
  Outcome.MessageIDCount = AMessageIDs.size();
  if (AMessageIDs.empty())
    return Outcome;
  if (ARules.Ledger) {
    const bool Alone = ARules.LedgerOnly || !ARules.Pattern;
    Outcome.Rule = drLedger;
    switch (ARules.Ledger->LookUp(AMessageIDs)) {
    case lrFound:
      Outcome.Verdict = cvNotBackscatter;
      return Outcome;
    case lrAbsent:
      if (!Alone)
        break;  // the union: the pattern may still know the ID
      if (ARules.Ledger->CoversRetention()) {
        Outcome.Verdict = cvBackscatter;
        return Outcome;
      }
      // Recording began less than a retention ago: an ID sent before then
      // is missing without being forged.
      Outcome.RuleNote = "ledger warming up";
      if (!ARules.Pattern) {
        Outcome.Verdict = cvError;
        Outcome.Error = "the ledger does not cover its retention yet and there is no pattern";
        return Outcome;
      }
      break;
    case lrUnknown:
      // Never judge a bounce backscatter because a store is down.
      Outcome.RuleNote = "ledger unavailable";
      if (Alone) {
        Outcome.Verdict = cvError;
        Outcome.Error = "the ledger cannot answer";
        return Outcome;
      }
      break;
    }
  }
  if (ARules.Pattern)
    DecideByPattern(*ARules.Pattern, AMessageIDs, Outcome);
  return Outcome;
}

TCheckOutcome CheckAssembledMessage(const std::string &ASender, std::string AContent, const TCheckRules &ARules) {
  std::vector<std::u16string> MessageIDs;
  try {
    MessageIDs = TBackscatterDetector::ReturnedMessageIDs(ASender, std::move(AContent));
  } catch (const Exception &E) {
    // An object failure while reading the message: no verdict either.
    TCheckOutcome Outcome;
    Outcome.Verdict = cvError;
    Outcome.Error = ErrorText(E);
    return Outcome;
  }
  return DecideOnMessageIDs(ARules, MessageIDs);
}

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

static TCheckOutcome RunGuarded(const TCheckPool::TCheck &ACheck) noexcept {
  TCheckOutcome Outcome;
  // A worker thread has no caller to hand an exception to.
  try {
    return ACheck();
  } catch (const Exception &E) {
    Outcome.Error = ErrorText(E);
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
static TCheckOutcome RunAndTrim(TCheckPool::TCheck &ACheck) noexcept {
  const auto Start = std::chrono::steady_clock::now();
  TCheckOutcome Outcome = RunGuarded(ACheck);
  ACheck = nullptr;
  if (std::chrono::steady_clock::now() - Start >= TrimAfter)
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
    TCheckOutcome Outcome = RunAndTrim(Job->Check);
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
  const auto Start = std::chrono::steady_clock::now();
  std::unique_lock Lock(FMutex);
  // A free slot and nobody before this one: the connection runs it itself.
  if (!FAbandoned && !FWorkers.empty() && FQueue.empty() && FRunning < FWorkerCount) {
    ++FRunning;
    ++FPending;
    Lock.unlock();
    TCheckOutcome Outcome = RunAndTrim(ACheck);
    Lock.lock();
    --FRunning;
    --FPending;
    FWorkReady.notify_one();  // a slot is free for a queued job
    Lock.unlock();
    Outcome.Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - Start);
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
    Outcome = std::move(Job->Outcome);
  else
    Outcome.Verdict = cvNotFinished;
  Lock.unlock();
  Outcome.Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - Start);
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

std::string VerdictText(const TCheckOutcome &AOutcome) {
  switch (AOutcome.Verdict) {
  case cvNotBackscatter:
    return "not backscatter";
  case cvBackscatter:
    return "backscatter";
  case cvError:
    return "error " + AOutcome.Error;
  case cvNotFinished:
    return "not finished (stopping)";
  }
  return "unknown";
}

std::string_view RuleName(TDecidingRule ARule) {
  switch (ARule) {
  case drPattern:
    return "pattern";
  case drLedger:
    return "ledger";
  case drNone:
    break;
  }
  return "";
}

} // namespace bw
