// Entry of bouncewarden-milter: locale, mail runtime and the daemon, nothing else.
#include "automation/runtime/AutomationRuntime_un.h"
#include "milter/MilterDaemon_un.h"

#include <malloc.h>

#include <clocale>
#include <string>
#include <vector>

int main(int argc, char *argv[]) {
  std::setlocale(LC_ALL, "");  // once, before libmilter's threads
  // libmilter runs a thread per MTA connection, and glibc would give each
  // busy thread a heap arena of its own that keeps what it once held: with
  // a few arenas shared by all, the resident size follows the checks that
  // run at once instead of the most connections ever open.
  mallopt(M_ARENA_MAX, 4);
  const std::vector<std::string> Args(argv + 1, argv + argc);
  // GMime up before smfi_main starts any thread, down after it returned and
  // the checks in progress ended.
  bw::TAutomationRuntime Runtime;
  return bw::RunMilterDaemon(Args);
}
