// The ledger's URI and the choice of store it makes.
#include "ledger/LedgerStore_un.h"

#include "ledger/LmdbStore_un.h"
#include "ledger/RedisStore_un.h"
#include "rtl/StrUtils_un.h"

#include <charconv>
#include <ctime>

namespace bw {

static constexpr std::string_view LmdbScheme = "lmdb:";
static constexpr std::string_view RedisScheme = "redis://";
static constexpr std::string_view RedisUnixScheme = "redis+unix:";

// A decimal number in [AMin, AMax], all of AText.
static std::optional<int> NumberOf(std::string_view AText, int AMin, int AMax) {
  int Value = 0;
  const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Value);
  if (AText.empty() || Error != std::errc() || End != AText.data() + AText.size() || Value < AMin || Value > AMax)
    return std::nullopt;
  return Value;
}

static constexpr int MaxDatabase = 1 << 20;

static TLedgerUriResult ParseRedisTcp(std::string_view ARest) {
  TLedgerLocation Location;
  Location.Kind = lkRedisTcp;
  const std::size_t Slash = ARest.find('/');
  std::string_view Authority = ARest.substr(0, Slash);
  if (Authority.find('@') != std::string_view::npos)
    return {std::nullopt, "user names and passwords are not supported"};
  std::string_view Port;
  if (Authority.starts_with('[')) {
    const std::size_t Close = Authority.find(']');
    if (Close == std::string_view::npos)
      return {std::nullopt, "an IPv6 address lacks its \"]\""};
    Location.Host = Authority.substr(1, Close - 1);
    const std::string_view After = Authority.substr(Close + 1);
    if (!After.empty() && !After.starts_with(':'))
      return {std::nullopt, "only \":PORT\" may follow an IPv6 address"};
    Port = After.empty() ? After : After.substr(1);
    if (After == ":")
      return {std::nullopt, "the port is empty"};
  } else {
    const std::size_t Colon = Authority.find(':');
    Location.Host = Authority.substr(0, Colon);
    if (Colon != std::string_view::npos) {
      Port = Authority.substr(Colon + 1);
      if (Port.empty())
        return {std::nullopt, "the port is empty"};
    }
  }
  if (Location.Host.empty())
    return {std::nullopt, "the host is empty"};
  if (!Port.empty()) {
    const std::optional<int> Number = NumberOf(Port, 1, 65535);
    if (!Number)
      return {std::nullopt, "the port is not a number from 1 to 65535"};
    Location.Port = *Number;
  }
  if (Slash != std::string_view::npos && Slash + 1 < ARest.size()) {
    const std::optional<int> Number = NumberOf(ARest.substr(Slash + 1), 0, MaxDatabase);
    if (!Number)
      return {std::nullopt, "the database is not a number"};
    Location.Database = *Number;
  }
  return {Location, {}};
}

static TLedgerUriResult ParseRedisUnix(std::string_view ARest) {
  TLedgerLocation Location;
  Location.Kind = lkRedisUnix;
  const std::size_t Question = ARest.find('?');
  Location.Path = ARest.substr(0, Question);
  if (Location.Path.empty())
    return {std::nullopt, "the socket's path is empty"};
  if (Question != std::string_view::npos) {
    const std::string_view Query = ARest.substr(Question + 1);
    if (!Query.starts_with("db="))
      return {std::nullopt, "the only parameter is \"db=N\""};
    const std::optional<int> Number = NumberOf(Query.substr(3), 0, MaxDatabase);
    if (!Number)
      return {std::nullopt, "the database is not a number"};
    Location.Database = *Number;
  }
  return {Location, {}};
}

TLedgerUriResult ParseLedgerUri(std::string_view AUri) {
  TLedgerUriResult Result;
  if (AUri.starts_with(LmdbScheme)) {
    TLedgerLocation Location;
    Location.Path = AUri.substr(LmdbScheme.size());
    if (Location.Path.empty())
      Result.Error = "the LMDB file's path is empty";
    else
      Result.Location = Location;
  } else if (AUri.starts_with(RedisScheme)) {
    Result = ParseRedisTcp(AUri.substr(RedisScheme.size()));
  } else if (AUri.starts_with(RedisUnixScheme)) {
    Result = ParseRedisUnix(AUri.substr(RedisUnixScheme.size()));
  } else {
    Result.Error = "it begins with none of \"lmdb:\", \"redis://\" and \"redis+unix:\"";
  }
  if (!Result.Location)
    Result.Error = "Invalid ledger URI \"" + OneLineText(std::string(AUri)) + "\": " + Result.Error;
  return Result;
}

std::unique_ptr<ILedgerStore> OpenLedgerStore(const TLedgerOptions &AOptions, TLedgerLog ALog) {
  const TLedgerUriResult Parsed = ParseLedgerUri(AOptions.Uri);
  if (!Parsed.Location)
    throw ELedgerError(Parsed.Error);
  if (Parsed.Location->Kind == lkLmdb)
    return OpenLmdbStore(AOptions, Parsed.Location->Path, std::move(ALog));
  return OpenRedisStore(AOptions, *Parsed.Location, std::move(ALog));
}

TLedgerTime RetentionCutoff(TLedgerTime ANow, std::chrono::seconds ARetention) { return ANow - ARetention; }

TLedgerTime LedgerNow() { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

std::string LedgerTimeText(TLedgerTime ATime) {
  const std::time_t Seconds = ATime.time_since_epoch().count();
  std::tm Parts{};
  char Text[64];
  if (!::gmtime_r(&Seconds, &Parts) || std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &Parts) == 0)
    return std::to_string(Seconds);
  return Text;
}

} // namespace bw
