// The ledger's URI, read strictly: a part that is not understood is refused
// by name rather than ignored.
#include "ledger/LedgerUri_un.h"

#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <tuple>

namespace bw {

static constexpr std::string_view LmdbScheme = "lmdb:";
static constexpr std::string_view RedisScheme = "redis://";
static constexpr std::string_view RedisUnixScheme = "redis+unix:";
static constexpr std::string_view RedisSentinelScheme = "redis+sentinel://";
static constexpr int MaxDatabase = 1 << 20;

static TResult<TLedgerLocation> ParseLmdb(std::string_view ARest) {
  if (ARest.empty())
    return Failure("the LMDB file's path is empty");
  TLedgerLocation Location;
  Location.Path = ARest;
  return Location;
}

// HOST[:PORT] or [IPV6][:PORT].
static TResult<std::pair<std::string, int>> ParseHostPort(std::string_view AAuthority, int ADefaultPort) {
  std::pair<std::string, int> Result{std::string(), ADefaultPort};
  std::string_view Port;
  bool HasPort = false;
  if (AAuthority.starts_with('[')) {
    const std::size_t Close = AAuthority.find(']');
    if (Close == std::string_view::npos)
      return Failure("an IPv6 address lacks its \"]\"");
    Result.first = AAuthority.substr(1, Close - 1);
    const std::string_view After = AAuthority.substr(Close + 1);
    if (!After.empty() && !After.starts_with(':'))
      return Failure("only \":PORT\" may follow an IPv6 address");
    HasPort = !After.empty();
    Port = HasPort ? After.substr(1) : After;
  } else {
    const std::size_t Colon = AAuthority.find(':');
    Result.first = AAuthority.substr(0, Colon);
    HasPort = Colon != std::string_view::npos;
    Port = HasPort ? AAuthority.substr(Colon + 1) : std::string_view();
  }
  if (Result.first.empty())
    return Failure("the host is empty");
  if (HasPort && Port.empty())
    return Failure("the port is empty");
  if (HasPort) {
    const std::optional<int> Number = ParseDecimal(Port, 1, 65535);
    if (!Number)
      return Failure("the port is not a number from 1 to 65535");
    Result.second = *Number;
  }
  return Result;
}

// Takes "USER@" off the front of AAuthority into ALocation.User.
static TResult<void> TakeUser(std::string_view &AAuthority, TLedgerLocation &ALocation) {
  const std::size_t At = AAuthority.find('@');
  if (At == std::string_view::npos)
    return {};
  const std::string_view User = AAuthority.substr(0, At);
  if (User.find(':') != std::string_view::npos)
    return Failure("a password never goes in the URI: give it in the password file");
  if (User.empty())
    return Failure("the user name is empty");
  ALocation.User = User;
  AAuthority.remove_prefix(At + 1);
  return {};
}

static TResult<void> ParseDatabase(std::string_view AText, TLedgerLocation &ALocation) {
  if (AText.empty())
    return {};
  const std::optional<int> Number = ParseDecimal(AText, 0, MaxDatabase);
  if (!Number)
    return Failure("the database is not a number");
  ALocation.Database = *Number;
  return {};
}

static TResult<TLedgerLocation> ParseRedisTcp(std::string_view ARest) {
  TLedgerLocation Location;
  Location.Kind = lkRedisTcp;
  const std::size_t Slash = ARest.find('/');
  std::string_view Authority = ARest.substr(0, Slash);
  if (TResult<void> User = TakeUser(Authority, Location); !User)
    return Failure(User.error());
  const TResult<std::pair<std::string, int>> Server = ParseHostPort(Authority, Location.Port);
  if (!Server)
    return Failure(Server.error());
  std::tie(Location.Host, Location.Port) = *Server;
  if (TResult<void> Database = ParseDatabase(Slash == std::string_view::npos ? "" : ARest.substr(Slash + 1), Location);
      !Database)
    return Failure(Database.error());
  return Location;
}

static TResult<TLedgerLocation> ParseRedisSentinel(std::string_view ARest) {
  constexpr int SentinelPort = 26379;
  TLedgerLocation Location;
  Location.Kind = lkRedisSentinel;
  const std::size_t Slash = ARest.find('/');
  if (Slash == std::string_view::npos || Slash + 1 == ARest.size() || ARest[Slash + 1] == '/')
    return Failure("the master's name is missing (\"/MASTER\" after the sentinels)");
  std::string_view Authority = ARest.substr(0, Slash);
  if (TResult<void> User = TakeUser(Authority, Location); !User)
    return Failure(User.error());
  while (true) {
    const std::size_t Comma = Authority.find(',');
    const TResult<std::pair<std::string, int>> Sentinel = ParseHostPort(Authority.substr(0, Comma), SentinelPort);
    if (!Sentinel)
      return Failure(Sentinel.error());
    Location.Sentinels.push_back(*Sentinel);
    if (Comma == std::string_view::npos)
      break;
    Authority.remove_prefix(Comma + 1);
  }
  const std::string_view Path = ARest.substr(Slash + 1);
  const std::size_t Next = Path.find('/');
  Location.MasterName = Path.substr(0, Next);
  if (TResult<void> Database = ParseDatabase(Next == std::string_view::npos ? "" : Path.substr(Next + 1), Location);
      !Database)
    return Failure(Database.error());
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
  if (AUri.starts_with(RedisSentinelScheme))
    return ParseRedisSentinel(AUri.substr(RedisSentinelScheme.size()));
  return Failure("it begins with none of \"lmdb:\", \"redis://\", \"redis+unix:\" and \"redis+sentinel://\"");
}

TResult<TLedgerLocation> ParseLedgerUri(std::string_view AUri) {
  TResult<TLedgerLocation> Result = ParseAnyScheme(AUri);
  if (!Result)
    return Failure("Invalid ledger URI \"" + OneLineText(std::string(AUri)) + "\": " + Result.error());
  return Result;
}

} // namespace bw
