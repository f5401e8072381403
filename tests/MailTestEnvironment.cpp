// The mail runtime up for a whole test program, registered before main runs.
#include "automation/runtime/AutomationRuntime_un.h"

#include <gtest/gtest.h>

#include <memory>

namespace {
class TMailRuntimeEnvironment : public ::testing::Environment {
public:
  void SetUp() override { FRuntime = std::make_unique<bw::TAutomationRuntime>(); }
  void TearDown() override { FRuntime.reset(); }

private:
  std::unique_ptr<bw::TAutomationRuntime> FRuntime;
};

// googletest takes ownership; registering from a static initialiser is its
// documented way for a library that has no main of its own.
[[maybe_unused]] ::testing::Environment *const MailRuntime =
    ::testing::AddGlobalTestEnvironment(new TMailRuntimeEnvironment);
} // namespace
