// Exception helpers shared by every layer.
#include "rtl/SysUtils_un.h"

namespace bw {

void Assert(bool ACondition, const char *AUnitName, int ALine) {
  if (ACondition)
    return;
  throw EAssertionFailed("Assertion failure (" + std::string(AUnitName) + ", line " +
                         std::to_string(ALine) + ")");
}

std::string TrimErrorText(std::string AText) {
  while (!AText.empty()) {
    const unsigned char Last = static_cast<unsigned char>(AText.back());
    if (Last > 32 && Last != '.')
      break;
    AText.pop_back();
  }
  return AText;
}

} // namespace bw
