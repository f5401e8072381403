// Program entry: locale, mail runtime and the driver, nothing else.
#include "app/AppLogic_un.h"
#include "automation/AutomationRuntime_un.h"
#include "cli/CommandLineParser_un.h"

#include <clocale>
#include <csignal>

int main(int argc, char *argv[]) {
  std::setlocale(LC_ALL, "");
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe must not end the run or change its exit code
  const std::vector<std::string> Args = bw::TCommandLineParser::SplitArguments(argc, argv);
  bw::TAutomationRuntime Runtime;  // GMime up first, down last: after every stand-in is gone
  return bw::TAppLogic::Run(Args);
}
