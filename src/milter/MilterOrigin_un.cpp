// The --record-from list and its match against a message.
#include "milter/MilterOrigin_un.h"

#include "rtl/Format_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>

namespace bw {

static constexpr const char *NotAnOriginFormat =
    "\"%s\" is none of auth, local and a network such as 10.0.0.0/8 or 2001:db8::/32 (no bits set after the prefix)";

static bool ParseNetwork(std::string_view AText, TNetwork &ANetwork) {
  const std::size_t Slash = AText.find('/');
  const std::string Address(AText.substr(0, Slash));
  ANetwork.IsInet6 = Address.find(':') != std::string::npos;
  if (inet_pton(ANetwork.IsInet6 ? AF_INET6 : AF_INET, Address.c_str(), ANetwork.Bytes.data()) != 1)
    return false;
  const unsigned Bits = ANetwork.IsInet6 ? 128 : 32;
  ANetwork.PrefixLength = Bits;
  if (Slash != std::string_view::npos) {
    const std::optional<unsigned> Length = ParseDecimal(AText.substr(Slash + 1), 0u, Bits);
    if (!Length)
      return false;
    ANetwork.PrefixLength = *Length;
  }
  // No bit may be set beyond the prefix.
  for (unsigned Bit = ANetwork.PrefixLength; Bit < Bits; ++Bit)
    if (ANetwork.Bytes[Bit / 8] & (0x80 >> (Bit % 8)))
      return false;
  ANetwork.Text = AText;
  return true;
}

TResult<TRecordOrigins> ParseRecordOrigins(std::string_view AList) {
  TRecordOrigins Origins;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t Comma = AList.find(',', Start);
    const std::string Item = TrimBytes(AList.substr(Start, Comma == std::string_view::npos ? AList.npos : Comma - Start));
    if (Item == "auth") {
      Origins.Auth = true;
    } else if (Item == "local") {
      Origins.Local = true;
    } else {
      TNetwork Network;
      if (!ParseNetwork(Item, Network)) {
        return Failure(FormatMessage(NotAnOriginFormat, {OneLineText(Item)}));
      }
      Origins.Networks.push_back(std::move(Network));
    }
    if (Comma == std::string_view::npos)
      break;
    Start = Comma + 1;
  }
  return Origins;
}

static bool InNetwork(const TNetwork &ANetwork, bool AIsInet6, const std::uint8_t *ABytes) {
  if (ANetwork.IsInet6 != AIsInet6)
    return false;
  for (unsigned Bit = 0; Bit < ANetwork.PrefixLength; ++Bit) {
    const std::uint8_t Mask = 0x80 >> (Bit % 8);
    if ((ANetwork.Bytes[Bit / 8] & Mask) != (ABytes[Bit / 8] & Mask))
      return false;
  }
  return true;
}

static constexpr std::uint8_t MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
static constexpr std::uint8_t Inet6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

TOriginMatch MatchOrigin(const TRecordOrigins &AOrigins, const std::optional<TClientAddress> &AClient,
                         bool AAuthenticated) {
  if (AOrigins.Auth && AAuthenticated)
    return {okAuth, "auth"};
  // Without a connect step, nothing is known of the client: not even that
  // it is local.
  if (!AClient)
    return {};
  const TClientAddress &Client = *AClient;
  // An IPv4 client of a dual-stack listener arrives as ::ffff:a.b.c.d.
  bool IsInet6 = Client.Kind == TClientAddress::caInet6;
  const std::uint8_t *Bytes = Client.Bytes.data();
  if (IsInet6 && std::equal(std::begin(MappedPrefix), std::end(MappedPrefix), Bytes)) {
    IsInet6 = false;
    Bytes += sizeof MappedPrefix;
  }
  const bool IsInet = Client.Kind == TClientAddress::caInet4 || Client.Kind == TClientAddress::caInet6;
  if (AOrigins.Local) {
    const bool Loopback = IsInet6 ? std::equal(std::begin(Inet6Loopback), std::end(Inet6Loopback), Bytes) : Bytes[0] == 127;
    if (!IsInet || (Loopback && Client.Port == 0))
      return {okLocal, "local"};
  }
  if (IsInet)
    for (const TNetwork &Network : AOrigins.Networks)
      if (InNetwork(Network, IsInet6, Bytes))
        return {okNetwork, Network.Text};
  return {};
}

} // namespace bw
