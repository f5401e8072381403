// Brings up what the stand-in mail objects need and registers them.
#pragma once

namespace bw {

// One per process, around everything that uses the mail objects: GMime is
// initialised on construction and shut down on destruction, after every
// object made through it has been released.
class TAutomationRuntime {
public:
  TAutomationRuntime();
  ~TAutomationRuntime();
  TAutomationRuntime(const TAutomationRuntime &) = delete;
  TAutomationRuntime &operator=(const TAutomationRuntime &) = delete;
};

} // namespace bw
