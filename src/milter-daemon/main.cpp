// Entry of bouncewarden-milter: locale, heap, mail runtime, the one context
// and the daemon, nothing else.
#include "automation/runtime/AutomationRuntime_un.h"
#include "milter-daemon/MilterDaemon_un.h"
#include "milter-daemon/MilterStartup_un.h"
#include "milter/MilterContext_un.h"
#include "milter/MilterOptions_un.h"

#include <clocale>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char *argv[]) {
  bw::PrepareMilterProcess(argv);  // may start the program again, so first
  std::setlocale(LC_ALL, "");       // once, before libmilter's threads
  const std::vector<std::string> Args(argv + 1, argv + argc);
  bw::TMilterParseResult Parsed = bw::ParseMilterOptions(Args, bw::DefaultConfigFile);
  if (Parsed.Request != bw::mrRun)
    return bw::AnswerWithoutRunning(Parsed);
  // GMime up before any thread starts. Once libmilter runs, the daemon ends
  // the process itself, so neither the runtime nor the context is ever torn
  // down under a running check.
  bw::TAutomationRuntime Runtime;
  auto Log = std::make_unique<bw::TMilterLog>(Parsed.Options.LogStderr ? bw::ltStderr : bw::ltSyslog);
  static bw::TMilterContext Context(std::move(Parsed.Options), std::move(Log), std::move(Parsed.Given));
  return bw::RunMilterDaemon(Context, Args);
}
