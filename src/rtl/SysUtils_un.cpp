// Exception helpers shared by every layer.
#include "rtl/SysUtils_un.h"

#include "rtl/Format_un.h"

#include <cstring>

namespace bw {

static constexpr const char *AssertionFormat = "%s (%s, line %d)";

void Assert(bool ACondition, const char *AUnitName, int ALine) {
  if (ACondition)
    return;
  throw EAssertionFailed(FormatMessage(AssertionFormat, {"Assertion failure", AUnitName, std::to_string(ALine)}));
}

std::string ExceptionText(const Exception &AError) {
  return std::string(AError.ClassName()) + " \"" + AError.Message() + "\"";
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

std::string SystemErrorText(int AErrno) {
  char Buffer[256];
  // The GNU strerror_r: it returns the text, in Buffer or a constant.
  return strerror_r(AErrno, Buffer, sizeof Buffer);
}

std::string SystemError(std::string_view AWhat, int AErrno) {
  std::string Text(AWhat);
  if (AErrno != 0)
    Text.append(": ").append(SystemErrorText(AErrno));
  return Text;
}

} // namespace bw
