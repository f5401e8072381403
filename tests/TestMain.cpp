// Test entry: the locale the program would take from a UTF-8 environment,
// and the mail runtime up for the whole run.
#include "automation/AutomationRuntime_un.h"

#include <gtest/gtest.h>

#include <clocale>
#include <memory>

namespace {
class TMailRuntimeEnvironment : public ::testing::Environment {
public:
  void SetUp() override { FRuntime = std::make_unique<bw::TAutomationRuntime>(); }
  void TearDown() override { FRuntime.reset(); }

private:
  std::unique_ptr<bw::TAutomationRuntime> FRuntime;
};
} // namespace

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new TMailRuntimeEnvironment);
  return RUN_ALL_TESTS();
}
