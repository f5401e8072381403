// The exit codes as --help lists them.
#include "rtl/ExitCodes_un.h"

namespace bw {

std::string ExitCodesHelp(std::span<const TExitCodeInfo> ACodes) {
  std::string Text = "Exit codes:\n";
  for (const TExitCodeInfo &Info : ACodes) {
    const std::string Code = std::to_string(Info.Code);
    Text += "  " + Code + std::string(4 - Code.size(), ' ') + Info.Meaning + "\n";
  }
  return Text;
}

} // namespace bw
