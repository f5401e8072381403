// The ledger's URI: which store it names, and why a bad one is refused, by
// the parser and by the factory alike.
#include "ledger/LedgerOpen_un.h"
#include "ledger/LedgerUri_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using bw::ParseLedgerUri;

TEST(LedgerStoreTest, UriNamesTheStoreOrSaysWhyNot) {
  const struct {
    std::string Uri;
    bw::TLedgerKind Kind;
    std::string PathOrHost;
    int Port;
    int Database;
  } Valid[] = {
      {"lmdb:/var/lib/bouncewarden/ledger", bw::lkLmdb, "/var/lib/bouncewarden/ledger", 6379, 0},
      {"redis://redis.example.org", bw::lkRedisTcp, "redis.example.org", 6379, 0},
      {"redis://10.0.0.5:6380/3", bw::lkRedisTcp, "10.0.0.5", 6380, 3},
      {"redis://[::1]:7000/", bw::lkRedisTcp, "::1", 7000, 0},
      {"redis+unix:/run/redis/redis.sock", bw::lkRedisUnix, "/run/redis/redis.sock", 6379, 0},
      {"redis+unix:/run/redis/redis.sock?db=2", bw::lkRedisUnix, "/run/redis/redis.sock", 6379, 2},
  };
  for (const auto &Case : Valid) {
    const bw::TResult<bw::TLedgerLocation> Result = ParseLedgerUri(Case.Uri);
    ASSERT_TRUE(Result) << Case.Uri << ": " << Result.error();
    EXPECT_EQ(Result->Kind, Case.Kind) << Case.Uri;
    EXPECT_EQ(Case.Kind == bw::lkRedisTcp ? Result->Host : Result->Path, Case.PathOrHost);
    EXPECT_EQ(Result->Port, Case.Port) << Case.Uri;
    EXPECT_EQ(Result->Database, Case.Database) << Case.Uri;
  }
  const struct {
    std::string Uri;
    std::string Why;
  } Invalid[] = {
      {"lmdb:", "the LMDB file's path is empty"},
      {"/var/lib/ledger", "it begins with none of \"lmdb:\", \"redis://\", \"redis+unix:\" and \"redis+sentinel://\""},
      {"redis://", "the host is empty"},
      {"redis://host:0", "the port is not a number from 1 to 65535"},
      {"redis://host:", "the port is empty"},
      {"redis://host/x", "the database is not a number"},
      {"redis://host/-0", "the database is not a number"},
      {"redis://:secret@host", "a password never goes in the URI: give it in the password file"},
      {"redis://[::1", "an IPv6 address lacks its \"]\""},
      {"redis+unix:?db=1", "the socket's path is empty"},
      {"redis+unix:/s.sock?timeout=1", "the only parameter is \"db=N\""},
  };
  for (const auto &Case : Invalid) {
    const std::string Message = "Invalid ledger URI \"" + Case.Uri + "\": " + Case.Why;
    EXPECT_EQ(ParseLedgerUri(Case.Uri).error(), Message);
    bw::TLedgerOptions Options;
    Options.Uri = Case.Uri;
    EXPECT_EQ(bwtest::RaisedError([&] { bw::OpenLedgerStore(Options, {}); }), "ELedgerError: " + Message);
  }
}
