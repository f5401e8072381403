// The bounded check.
#include "milter/MilterCheck_un.h"

#include "detector/BackscatterDetector_un.h"
#include "rtl/SysUtils_un.h"

#include <malloc.h>

namespace bw {

bool TCheckGate::Enter() {
  std::unique_lock Lock(FMutex);
  FChanged.wait(Lock, [this] { return FClosed || FFree > 0; });
  if (FClosed)
    return false;
  --FFree;
  ++FRunning;
  return true;
}

void TCheckGate::Leave() noexcept {
  {
    const std::lock_guard Lock(FMutex);
    ++FFree;
    --FRunning;
  }
  FChanged.notify_all();
}

void TCheckGate::CloseAndWait() {
  std::unique_lock Lock(FMutex);
  FClosed = true;
  FChanged.notify_all();
  FChanged.wait(Lock, [this] { return FRunning == 0; });
}

namespace {
class TGateSlot {
public:
  explicit TGateSlot(TCheckGate &AGate) : FGate(AGate), FEntered(AGate.Enter()) {}
  ~TGateSlot() {
    if (FEntered)
      FGate.Leave();
  }
  TGateSlot(const TGateSlot &) = delete;
  TGateSlot &operator=(const TGateSlot &) = delete;
  bool Entered() const noexcept { return FEntered; }

private:
  TCheckGate &FGate;
  bool FEntered;
};
} // namespace

// A check of a message this large may have made GMime build hundreds of
// thousands of small objects; their memory is handed back to the system
// afterwards instead of staying with the heap for good.
static constexpr std::size_t TrimAfterSize = 256 * 1024;

TCheckOutcome RunCheck(TCheckGate &AGate, const std::string &ASender, std::string AContent,
                       const std::string &APattern) {
  const auto Start = std::chrono::steady_clock::now();
  const bool Trim = AContent.size() >= TrimAfterSize;
  TCheckOutcome Outcome;
  {
    const TGateSlot Slot(AGate);
    if (!Slot.Entered()) {
      Outcome.Verdict = cvShuttingDown;
      return Outcome;
    }
    try {
      const TCheckResult Result = TBackscatterDetector::CheckMessage(ASender, std::move(AContent), TMessageIdPattern(APattern));
      Outcome.Verdict = Result.Backscatter ? cvBackscatter : cvNotBackscatter;
      Outcome.MessageIDCount = Result.MessageIDCount;
    } catch (const Exception &E) {
      // A check that cannot finish (a match over its budget, an object
      // failure) gives no verdict; the configured error policy decides.
      Outcome.Verdict = cvError;
      Outcome.Error = std::string(E.ClassName()) + " \"" + E.Message() + "\"";
    }
  }
  if (Trim)
    malloc_trim(0);
  Outcome.Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - Start);
  return Outcome;
}

std::string VerdictText(const TCheckOutcome &AOutcome) {
  switch (AOutcome.Verdict) {
  case cvNotBackscatter:
    return "not backscatter";
  case cvBackscatter:
    return "backscatter";
  case cvError:
    return "error " + AOutcome.Error;
  case cvShuttingDown:
    return "not checked (shutting down)";
  }
  return "unknown";
}

} // namespace bw
