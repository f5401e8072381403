// BATV's prvs tag over GLib's HMAC-SHA-1.
#include "verdict/BatvTag_un.h"

#include "ledger/LedgerKey_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <glib.h>

#include <cstdio>

namespace bw {

static constexpr std::string_view TagType = "prvs=";
static constexpr std::size_t TagValueSize = 10;  // K DDD SSSSSS
static constexpr unsigned DayWrap = 1000;

namespace {
struct THmacUnref {
  void operator()(GHmac *AHmac) const noexcept { g_hmac_unref(AHmac); }
};
using THmacPtr = std::unique_ptr<GHmac, THmacUnref>;
} // namespace

TBatvKey TBatvKey::FromKeyFile(const std::string &AFileName) { return TBatvKey(ReadSiteKeyFile(AFileName, "BATV")); }

TBatvKey::TBatvKey(std::string_view AKey) {
  // Keying hashes the key's two pads once; each tag then starts from a copy.
  FKeyed.reset(g_hmac_new(G_CHECKSUM_SHA1, reinterpret_cast<const guchar *>(AKey.data()), AKey.size()),
               [](void *AHmac) { g_hmac_unref(static_cast<GHmac *>(AHmac)); });
}

std::string TBatvKey::Signature(std::string_view ASource) const {
  const THmacPtr Hmac(g_hmac_copy(static_cast<const GHmac *>(FKeyed.get())));
  g_hmac_update(Hmac.get(), reinterpret_cast<const guchar *>(ASource.data()), static_cast<gssize>(ASource.size()));
  guint8 Digest[20];
  gsize Length = sizeof Digest;
  g_hmac_get_digest(Hmac.get(), Digest, &Length);
  return HexText(std::span<const std::uint8_t>(Digest, 3));
}

std::int64_t BatvDay(std::chrono::system_clock::time_point ATime) {
  return std::chrono::floor<std::chrono::days>(ATime).time_since_epoch().count();
}

// "KDDD": the start of the tag and of what its signature covers.
static std::string KeyAndDay(unsigned AKeyNumber, unsigned ADay) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "%u%03u", AKeyNumber % 10, ADay % DayWrap);
  return Text;
}

static unsigned DayModulo(std::int64_t ADay) {
  return static_cast<unsigned>(((ADay % DayWrap) + DayWrap) % DayWrap);
}

std::string BatvSign(const TBatvKey &AKey, unsigned AKeyNumber, std::int64_t AExpiryDay, std::string_view AAddress) {
  const std::string Head = KeyAndDay(AKeyNumber, DayModulo(AExpiryDay));
  std::string Source = Head;
  Source.append(AAddress);
  return std::string(TagType) + Head + AKey.Signature(Source) + "=" + std::string(AAddress);
}

static bool IsDigit(char C) { return C >= '0' && C <= '9'; }
static bool IsHexDigit(char C) { return IsDigit(C) || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F'); }

std::optional<TBatvAddress> ParseBatvAddress(std::string_view AAddress) {
  if (AAddress.size() < TagType.size() + TagValueSize + 1 || !SameText(AAddress.substr(0, TagType.size()), TagType))
    return std::nullopt;
  const std::string_view Value = AAddress.substr(TagType.size(), TagValueSize);
  for (std::size_t I = 0; I < 4; ++I)
    if (!IsDigit(Value[I]))
      return std::nullopt;
  for (std::size_t I = 4; I < TagValueSize; ++I)
    if (!IsHexDigit(Value[I]))
      return std::nullopt;
  if (AAddress[TagType.size() + TagValueSize] != '=')
    return std::nullopt;
  const std::string_view Address = AAddress.substr(TagType.size() + TagValueSize + 1);
  const std::size_t At = Address.rfind('@');
  if (At == std::string_view::npos || At == 0 || At + 1 == Address.size())
    return std::nullopt;
  TBatvAddress Parsed;
  Parsed.KeyNumber = static_cast<unsigned>(Value[0] - '0');
  Parsed.ExpiryDay = *ParseDecimal<unsigned>(Value.substr(1, 3), 0, DayWrap - 1);
  Parsed.Signature = Value.substr(4);
  Parsed.Address = Address;
  return Parsed;
}

std::string_view UntaggedAddress(std::string_view AAddress) {
  const std::optional<TBatvAddress> Parsed = ParseBatvAddress(AAddress);
  return Parsed ? Parsed->Address : AAddress;
}

// Without an early end at the first difference, so that the time taken says
// nothing about how much of a forged signature was right.
static bool SameSignature(std::string_view AGiven, std::string_view AExpected) {
  unsigned Difference = AGiven.size() == AExpected.size() ? 0 : 1;
  for (std::size_t I = 0; I < AGiven.size() && I < AExpected.size(); ++I) {
    const char Given = AGiven[I] >= 'A' && AGiven[I] <= 'F' ? static_cast<char>(AGiven[I] - 'A' + 'a') : AGiven[I];
    Difference |= static_cast<unsigned char>(Given ^ AExpected[I]);
  }
  return Difference == 0;
}

TBatvCheck BatvVerify(const TBatvKeys &AKeys, std::int64_t AToday, unsigned ALifetimeDays, std::string_view AAddress) {
  const std::optional<TBatvAddress> Parsed = ParseBatvAddress(AAddress);
  if (!Parsed)
    return bcAbsent;
  const std::optional<TBatvKey> &Key = AKeys[Parsed->KeyNumber];
  if (!Key)
    return bcInvalid;
  std::string Source = KeyAndDay(Parsed->KeyNumber, Parsed->ExpiryDay);
  Source.append(Parsed->Address);
  if (!SameSignature(Parsed->Signature, Key->Signature(Source)))
    return bcInvalid;
  const unsigned Ahead = (Parsed->ExpiryDay + DayWrap - DayModulo(AToday)) % DayWrap;
  return Ahead <= ALifetimeDays ? bcValid : bcExpired;
}

std::string_view BatvCheckName(TBatvCheck ACheck) {
  switch (ACheck) {
  case bcAbsent:
    return "absent";
  case bcValid:
    return "valid";
  case bcExpired:
    return "expired";
  case bcInvalid:
    break;
  }
  return "invalid";
}

} // namespace bw
