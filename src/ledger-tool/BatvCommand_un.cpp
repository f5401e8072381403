// bouncewarden-ledger batv sign and verify.
#include "ledger-tool/BatvCommand_un.h"

#include "verdict/BatvTag_un.h"
#include "rtl/ExitCodes_un.h"
#include "rtl/Format_un.h"
#include "rtl/StrUtils_un.h"

#include <chrono>

namespace bw {

static constexpr const char *NoAddressError = "\"%s\" holds no address (local@domain)";
static constexpr const char *TaggedError = "\"%s\" is tagged already";

// The address of "local@domain" or "<local@domain>", blanks around it
// dropped; empty when it has no local part or no domain.
static std::string AddressOf(const std::string &AArg) {
  std::string Address = TrimBytes(AArg);
  if (Address.size() >= 2 && Address.front() == '<' && Address.back() == '>')
    Address = Address.substr(1, Address.size() - 2);
  const std::size_t At = Address.rfind('@');
  if (At == std::string::npos || At == 0 || At + 1 == Address.size())
    return {};
  return Address;
}

int RunBatvCommand(const TBatvSettings &ASettings, std::span<const std::string> AArgs, std::ostream &AOut,
                   const std::function<void(const std::string &)> &AReportError) {
  const std::string Address = AddressOf(AArgs[1]);
  if (Address.empty()) {
    AReportError(FormatMessage(NoAddressError, {OneLineText(AArgs[1])}));
    return EX_DATAERR;
  }
  const TBatvKeys Keys = OpenBatvKeys(ASettings);
  const std::int64_t Today = BatvDay(std::chrono::system_clock::now());
  if (AArgs[0] == "sign") {
    if (ParseBatvAddress(Address)) {
      AReportError(FormatMessage(TaggedError, {OneLineText(Address)}));
      return EX_DATAERR;
    }
    AOut << BatvSign(*Keys[ASettings.KeyNumber], ASettings.KeyNumber, Today + ASettings.LifetimeDays, Address)
         << "\n";
    return EX_OK;
  }
  const TBatvCheck Check = BatvVerify(Keys, Today, ASettings.LifetimeDays, Address);
  AOut << OneLineText(Address) << ": " << (Check == bcAbsent ? "no tag" : BatvCheckName(Check)) << "\n";
  switch (Check) {
  case bcValid:
    return EX_OK;
  case bcExpired:
    return ExitBatvExpired;
  case bcAbsent:
  case bcInvalid:
    break;
  }
  return ExitNotFound;
}

} // namespace bw
