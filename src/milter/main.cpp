// Entry of bouncewarden-milter: locale, mail runtime and the daemon, nothing else.
#include "automation/AutomationRuntime_un.h"
#include "milter/MilterDaemon_un.h"

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char *argv[]) {
  std::setlocale(LC_ALL, "");  // once, before libmilter's threads
  const std::vector<std::string> Args(argv + 1, argv + argc);
  // GMime up before smfi_main starts any thread, down after it returned and
  // the checks in progress ended.
  bw::TAutomationRuntime Runtime;
  return bw::RunMilterDaemon(Args);
}
