// The ledger's URI: which store it names, and where that store lives.
#pragma once

#include "rtl/Result_un.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw {

enum TLedgerKind : std::uint8_t { lkLmdb, lkRedisTcp, lkRedisUnix, lkRedisSentinel };

// Where a ledger lives, from its URI:
//   lmdb:PATH                     the LMDB data file PATH (its lock file is PATH-lock)
//   redis://[USER@]HOST[:PORT][/DB]
//                                 Redis over TCP (port 6379, database 0 by default;
//                                 an IPv6 address in brackets; a host name is
//                                 resolved at each connection, without the timeout)
//   redis+unix:PATH[?db=N]        Redis on a unix socket
//   redis+sentinel://[USER@]HOST[:PORT][,HOST[:PORT]...]/MASTER[/DB]
//                                 the master that these sentinels (port 26379 by
//                                 default) name MASTER, asked again after a failover
// USER is the Redis (ACL) user; the password is never in the URI but in
// TLedgerOptions::PasswordFile.
struct TLedgerLocation {
  TLedgerKind Kind = lkLmdb;
  std::string Path;  // lkLmdb, lkRedisUnix
  std::string Host;  // lkRedisTcp
  int Port = 6379;
  int Database = 0;
  std::string User;                                   // Redis
  std::vector<std::pair<std::string, int>> Sentinels; // lkRedisSentinel: host and port each
  std::string MasterName;                             // lkRedisSentinel
};

// Never raises: the failure is "Invalid ledger URI "<AUri>": <why>", which a
// command-line parser reports as a usage error and OpenLedgerStore raises.
TResult<TLedgerLocation> ParseLedgerUri(std::string_view AUri);

} // namespace bw
