// The ledger's URI, read strictly: a part that is not understood is refused
// by name rather than ignored.
#include "ledger/LedgerUri_un.h"

#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

namespace bw {

static constexpr std::string_view LmdbScheme = "lmdb:";
static constexpr std::string_view RedisScheme = "redis://";
static constexpr std::string_view RedisUnixScheme = "redis+unix:";
static constexpr int MaxDatabase = 1 << 20;

static TResult<TLedgerLocation> ParseLmdb(std::string_view ARest) {
  if (ARest.empty())
    return Failure("the LMDB file's path is empty");
  TLedgerLocation Location;
  Location.Path = ARest;
  return Location;
}

static TResult<TLedgerLocation> ParseRedisTcp(std::string_view ARest) {
  TLedgerLocation Location;
  Location.Kind = lkRedisTcp;
  const std::size_t Slash = ARest.find('/');
  std::string_view Authority = ARest.substr(0, Slash);
  if (Authority.find('@') != std::string_view::npos)
    return Failure("user names and passwords are not supported");
  std::string_view Port;
  if (Authority.starts_with('[')) {
    const std::size_t Close = Authority.find(']');
    if (Close == std::string_view::npos)
      return Failure("an IPv6 address lacks its \"]\"");
    Location.Host = Authority.substr(1, Close - 1);
    const std::string_view After = Authority.substr(Close + 1);
    if (!After.empty() && !After.starts_with(':'))
      return Failure("only \":PORT\" may follow an IPv6 address");
    Port = After.empty() ? After : After.substr(1);
    if (After == ":")
      return Failure("the port is empty");
  } else {
    const std::size_t Colon = Authority.find(':');
    Location.Host = Authority.substr(0, Colon);
    if (Colon != std::string_view::npos) {
      Port = Authority.substr(Colon + 1);
      if (Port.empty())
        return Failure("the port is empty");
    }
  }
  if (Location.Host.empty())
    return Failure("the host is empty");
  if (!Port.empty()) {
    const std::optional<int> Number = ParseDecimal(Port, 1, 65535);
    if (!Number)
      return Failure("the port is not a number from 1 to 65535");
    Location.Port = *Number;
  }
  if (Slash != std::string_view::npos && Slash + 1 < ARest.size()) {
    const std::optional<int> Number = ParseDecimal(ARest.substr(Slash + 1), 0, MaxDatabase);
    if (!Number)
      return Failure("the database is not a number");
    Location.Database = *Number;
  }
  return Location;
}

static TResult<TLedgerLocation> ParseRedisUnix(std::string_view ARest) {
  TLedgerLocation Location;
  Location.Kind = lkRedisUnix;
  const std::size_t Question = ARest.find('?');
  Location.Path = ARest.substr(0, Question);
  if (Location.Path.empty())
    return Failure("the socket's path is empty");
  if (Question != std::string_view::npos) {
    const std::string_view Query = ARest.substr(Question + 1);
    if (!Query.starts_with("db="))
      return Failure("the only parameter is \"db=N\"");
    const std::optional<int> Number = ParseDecimal(Query.substr(3), 0, MaxDatabase);
    if (!Number)
      return Failure("the database is not a number");
    Location.Database = *Number;
  }
  return Location;
}

static TResult<TLedgerLocation> ParseAnyScheme(std::string_view AUri) {
  if (AUri.starts_with(LmdbScheme))
    return ParseLmdb(AUri.substr(LmdbScheme.size()));
  if (AUri.starts_with(RedisScheme))
    return ParseRedisTcp(AUri.substr(RedisScheme.size()));
  if (AUri.starts_with(RedisUnixScheme))
    return ParseRedisUnix(AUri.substr(RedisUnixScheme.size()));
  return Failure("it begins with none of \"lmdb:\", \"redis://\" and \"redis+unix:\"");
}

TResult<TLedgerLocation> ParseLedgerUri(std::string_view AUri) {
  TResult<TLedgerLocation> Result = ParseAnyScheme(AUri);
  if (!Result)
    return Failure("Invalid ledger URI \"" + OneLineText(std::string(AUri)) + "\": " + Result.error());
  return Result;
}

} // namespace bw
