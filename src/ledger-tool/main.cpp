// Entry of bouncewarden-ledger: locale, signals and the tool, nothing else.
#include "ledger-tool/LedgerTool_un.h"

#include <clocale>
#include <csignal>
#include <string>
#include <vector>

int main(int argc, char *argv[]) {
  std::setlocale(LC_ALL, "");  // IDs are lower-cased as the locale says, as a bounce check does
  // A Redis server that goes away must give an error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> Args(argv + 1, argv + argc);
  return bw::RunLedgerTool(Args);
}
