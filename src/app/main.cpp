// Program entry: locale, mail runtime and the driver, nothing else.
#include "app/AppLogic_un.h"
#include "automation/runtime/AutomationRuntime_un.h"
#include "cli/CommandLineParser_un.h"

#include <malloc.h>

#include <clocale>
#include <csignal>

int main(int argc, char *argv[]) {
  std::setlocale(LC_ALL, "");
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe must not end the run or change its exit code
  // A check allocates a few buffers of up to 1 MiB (the file, its copies, the
  // decoded text). Left to mmap, each costs fresh zeroed pages and an unmap;
  // from the heap, freed ones are reused. Halves the system time of a run.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  const std::vector<std::string> Args = bw::TCommandLineParser::SplitArguments(argc, argv);
  bw::TAutomationRuntime Runtime;  // GMime up first, down last: after every stand-in is gone
  return bw::TAppLogic::Run(Args);
}
