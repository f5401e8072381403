// The check of one assembled message, bounded in how many run at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace bw {

// A counting semaphore that can also be closed: at most N checks hold it,
// which bounds memory by N times the largest check, and once closed it lets
// no new check in and waits for the running ones, so the mail runtime can be
// shut down under none.
class TCheckGate {
public:
  explicit TCheckGate(unsigned AWorkers) : FFree(AWorkers) {}
  TCheckGate(const TCheckGate &) = delete;
  TCheckGate &operator=(const TCheckGate &) = delete;

  // Waits for a free slot; false when the gate is closed.
  bool Enter();
  void Leave() noexcept;
  // Refuses new checks and returns when no check runs any more.
  void CloseAndWait();

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  unsigned FFree;
  unsigned FRunning = 0;
  bool FClosed = false;
};

enum TCheckVerdict : std::uint8_t {
  cvNotBackscatter,
  cvBackscatter,
  cvError,        // the check raised: Error says what
  cvShuttingDown  // the gate was closed before the check could start
};

struct TCheckOutcome {
  TCheckVerdict Verdict = cvNotBackscatter;
  std::size_t MessageIDCount = 0;
  std::string Error;  // <class> "<message>" for cvError
  std::chrono::microseconds Elapsed{0};  // waiting for a slot included
};

// TBackscatterDetector::CheckMessage inside the gate. A project exception
// becomes cvError; anything else propagates.
TCheckOutcome RunCheck(TCheckGate &AGate, const std::string &ASender, std::string AContent,
                       const std::string &APattern);

// The verdict as the log line writes it.
std::string VerdictText(const TCheckOutcome &AOutcome);

} // namespace bw
