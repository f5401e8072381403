// The value texts of the milter's settings that need more than a number
// or a name: the reject reply, the socket's owner and mode, the metrics
// address.
#include "milter/MilterOptionValues_un.h"

#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <charconv>

namespace bw {

static bool AllDigits(std::string_view AText) {
  return !AText.empty() && std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// "5.Y.Z" with one to three digits in Y and Z, as RFC 3463 has them.
static bool IsPermanentStatus(std::string_view AStatus) {
  if (!AStatus.starts_with("5."))
    return false;
  AStatus.remove_prefix(2);
  const std::size_t Dot = AStatus.find('.');
  if (Dot == std::string_view::npos)
    return false;
  const std::string_view Subject = AStatus.substr(0, Dot), Detail = AStatus.substr(Dot + 1);
  return AllDigits(Subject) && Subject.size() <= 3 && AllDigits(Detail) && Detail.size() <= 3;
}

// "CODE X.Y.Z text". The text goes into an SMTP reply line through
// smfi_setreply: printable ASCII only, and no "%", which the MTA may expand.
bool ParseRejectReply(std::string_view AValue, TMilterOptions &AOptions) {
  const std::size_t First = AValue.find(' ');
  if (First == std::string_view::npos)
    return false;
  const std::size_t Second = AValue.find(' ', First + 1);
  if (Second == std::string_view::npos)
    return false;
  const std::string_view Code = AValue.substr(0, First), Status = AValue.substr(First + 1, Second - First - 1),
                         Text = AValue.substr(Second + 1);
  if (Code.size() != 3 || !AllDigits(Code) || Code[0] != '5' || !IsPermanentStatus(Status) ||
      TrimBytes(Text).empty())
    return false;
  if (!std::all_of(Text.begin(), Text.end(), [](char C) { return C >= 0x20 && C < 0x7F && C != '%'; }))
    return false;
  AOptions.ReplyCode = Code;
  AOptions.ReplyStatus = Status;
  AOptions.ReplyText = Text;
  return true;
}

bool ParseSocketOwner(std::string_view AValue, TMilterOptions &AOptions) {
  const std::size_t Colon = AValue.find(':');
  AOptions.SocketOwner = AValue.substr(0, Colon);
  AOptions.SocketGroup = Colon == std::string_view::npos ? std::string_view() : AValue.substr(Colon + 1);
  return !AOptions.SocketOwner.empty() || !AOptions.SocketGroup.empty();
}

bool ParseSocketMode(std::string_view AValue, mode_t &AMode) {
  if (!AllDigits(AValue))
    return false;
  unsigned Mode = 0;
  const auto [End, Error] = std::from_chars(AValue.data(), AValue.data() + AValue.size(), Mode, 8);
  if (Error != std::errc() || End != AValue.data() + AValue.size() || Mode > 0777)
    return false;
  AMode = static_cast<mode_t>(Mode);
  return true;
}

// "HOST:PORT" with a port from 1 to 65535; the host as Prometheus' exposer
// (civetweb) takes it, an IPv6 address in brackets.
bool ValidMetricsAddress(std::string_view AValue) {
  const std::size_t Colon = AValue.rfind(':');
  return Colon != std::string_view::npos && Colon > 0 && ParseDecimal<unsigned>(AValue.substr(Colon + 1), 1, 65535) &&
         std::all_of(AValue.begin(), AValue.end(), [](char C) { return C > 0x20 && C < 0x7F; });
}

} // namespace bw
