// The Redis store against a real redis-server on a unix socket in a scratch
// folder, started and stopped by each test; skipped where it is missing.
#include "ledger/LedgerOpen_un.h"

#include "LedgerTestSupport.h"
#include "support/RedisServer.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <csignal>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using bw::LedgerNow;
using bwtest::NumberedKey;

namespace {

// The test's redis-server, with questions of its own put to it through
// hiredis directly.
class TRedisServer : public bwtest::TRedisServer {
public:
  explicit TRedisServer(const bwtest::TScratchFolder &AScratch) : bwtest::TRedisServer(AScratch / "") {}

  // An integer reply to ACommand; -999 for anything else.
  long long Integer(const std::vector<std::string> &ACommand) const {
    std::vector<const char *> Argv;
    std::vector<std::size_t> Lengths;
    for (const std::string &Arg : ACommand) {
      Argv.push_back(Arg.c_str());
      Lengths.push_back(Arg.size());
    }
    const TContext Context(redisConnectUnix(Socket().c_str()));
    const TReply Reply(Context && !Context->err ? static_cast<redisReply *>(redisCommandArgv(
                                                      Context.get(), static_cast<int>(Argv.size()), Argv.data(), Lengths.data()))
                                                : nullptr);
    return Reply && Reply->type == REDIS_REPLY_INTEGER ? Reply->integer : -999;
  }
  // The keys of the ledger's entries.
  std::vector<std::string> EntryKeys() const {
    std::vector<std::string> Keys;
    const TContext Context(redisConnectUnix(Socket().c_str()));
    const TReply Reply(Context && !Context->err ? static_cast<redisReply *>(redisCommand(Context.get(), "KEYS bwl:*"))
                                                : nullptr);
    for (std::size_t I = 0; Reply && Reply->type == REDIS_REPLY_ARRAY && I < Reply->elements; ++I)
      Keys.emplace_back(Reply->element[I]->str, Reply->element[I]->len);
    return Keys;
  }

private:
  struct TFreeContext {
    void operator()(redisContext *AContext) const { redisFree(AContext); }
  };
  struct TFreeReply {
    void operator()(redisReply *AReply) const { freeReplyObject(AReply); }
  };
  using TContext = std::unique_ptr<redisContext, TFreeContext>;
  using TReply = std::unique_ptr<redisReply, TFreeReply>;
};

bw::TLedgerOptions RedisOptions(const TRedisServer &AServer) {
  // A Redis that went away must give an error on the next write, not end the test.
  std::signal(SIGPIPE, SIG_IGN);
  bw::TLedgerOptions Options;
  Options.Uri = "redis+unix:" + AServer.Socket();
  Options.Opening = bw::loTolerate;
  Options.RetryDelay = 300ms;
  return Options;
}

// Polls AStore until a lookup of AKey answers other than "unknown".
bw::TLookupResult AnswerWhenBack(bw::ILedgerStore &AStore, const bw::TLedgerKey &AKey) {
  bw::TLookupResult Result = bw::lrUnknown;
  for (int Try = 0; Try < 100 && Result == bw::lrUnknown; ++Try) {
    std::this_thread::sleep_for(50ms);
    Result = AStore.Contains(AKey);
  }
  return Result;
}

#define SKIP_WITHOUT_REDIS()                                                                                           \
  if (!TRedisServer::Installed())                                                                                      \
  GTEST_SKIP() << "redis-server is not installed"

} // namespace

// Show that an entry's time to live is what is left of its retention, set
// with the value, and that the start time is one for every host.
TEST(RedisStoreTest, RecordSetsTheRestOfTheRetentionAsTimeToLive) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const TRedisServer Server(Scratch);
  const bw::TLedgerOptions Options = RedisOptions(Server);
  const auto Store = bw::OpenLedgerStore(Options, {});
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow() - std::chrono::days(10)), bw::rrAccepted);
  EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow() - std::chrono::days(15)), bw::rrExpired);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrFound);
  EXPECT_EQ(Store->Contains(NumberedKey(2)), bw::lrAbsent);

  const std::vector<std::string> Keys = Server.EntryKeys();
  ASSERT_EQ(Keys.size(), 1u);
  const long long Ttl = Server.Integer({"TTL", Keys[0]});
  EXPECT_LE(Ttl, 4 * 86400);
  EXPECT_GE(Ttl, 4 * 86400 - 5);
  EXPECT_EQ(Server.Integer({"TTL", "bwl-start"}), -1);

  const auto OtherHost = bw::OpenLedgerStore(Options, {});
  ASSERT_TRUE(Store->StartTime());
  EXPECT_EQ(OtherHost->StartTime(), Store->StartTime());
  EXPECT_EQ(OtherHost->Stats().Entries, 1u);
}

// Show that many threads may record and look up at once through the pool.
TEST(RedisStoreTest, ManyThreadsShareTheConnections) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const TRedisServer Server(Scratch);
  const auto Store = bw::OpenLedgerStore(RedisOptions(Server), {});
  EXPECT_EQ(bwtest::MissingAfterThreadedUse(*Store, 8, 500), 0u);
}

// Show that while Redis is stopped, lookups answer "unknown" and records
// are refused, and that both resume when it is back, logged once each way.
TEST(RedisStoreTest, StoppedAndRestartedAnswersUnknownThenResumes) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  TRedisServer Server(Scratch);
  bwtest::TLogLines Log;
  const bw::TLedgerOptions Options = RedisOptions(Server);
  const auto Store = bw::OpenLedgerStore(Options, Log.Sink());
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);

  Server.Stop();
  for (int I = 0; I < 20; ++I) {
    EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrUnknown);
    EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow()), bw::rrUnavailable);
  }
  Server.Start();  // empty: this Redis keeps nothing across a restart
  EXPECT_EQ(AnswerWhenBack(*Store, NumberedKey(1)), bw::lrAbsent);
  EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->Contains(NumberedKey(2)), bw::lrFound);

  const std::vector<std::string> Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(Lines[0].starts_with("ledger " + Options.Uri + " cannot be reached, bounces are checked without it: "))
      << Lines[0];
  EXPECT_TRUE(Lines[1].starts_with("ledger " + Options.Uri + " can be reached again after ")) << Lines[1];
}

// Show that a Redis that hangs costs one timeout, not one per lookup: the
// failure is remembered until the retry delay has passed.
TEST(RedisStoreTest, HungServerCostsOneTimeoutNotOnePerLookup) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  TRedisServer Server(Scratch);
  bwtest::TLogLines Log;
  bw::TLedgerOptions Options = RedisOptions(Server);
  Options.RetryDelay = 2s;
  const auto Store = bw::OpenLedgerStore(Options, Log.Sink());
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);

  Server.Pause();
  const auto Begin = std::chrono::steady_clock::now();
  for (int I = 0; I < 20; ++I)
    EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrUnknown);
  // Twenty timeouts of 100 ms would take 2 s; one takes 100 ms.
  EXPECT_LT(std::chrono::steady_clock::now() - Begin, 1s);
  const std::vector<std::string> Down = Log.Lines();
  ASSERT_EQ(Down.size(), 1u);
  EXPECT_EQ(Down[0], "ledger " + Options.Uri + " cannot be reached, bounces are checked without it: no answer within "
                     "100 ms");

  Server.Resume();
  EXPECT_EQ(AnswerWhenBack(*Store, NumberedKey(1)), bw::lrFound);
  EXPECT_EQ(Log.Lines().size(), 2u);
}

// Show that a Redis at its maxmemory is full, not unreachable: records are
// refused as full (logged once each way), lookups go on answering.
TEST(RedisStoreTest, ARedisAtItsMemoryLimitIsFullNotUnreachable) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const TRedisServer Server(Scratch);
  bwtest::TLogLines Log;
  const bw::TLedgerOptions Options = RedisOptions(Server);
  const auto Store = bw::OpenLedgerStore(Options, Log.Sink());
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);
  Server.Integer({"CONFIG", "SET", "maxmemory", "1"});  // a status reply: what follows shows it took
  EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow()), bw::rrFull);
  EXPECT_EQ(Store->Record(NumberedKey(3), LedgerNow()), bw::rrFull);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrFound);
  EXPECT_EQ(Store->Contains(NumberedKey(2)), bw::lrAbsent);
  Server.Integer({"CONFIG", "SET", "maxmemory", "0"});
  EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow()), bw::rrAccepted);
  const std::vector<std::string> Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(Lines[0].starts_with("ledger " + Options.Uri + " is full, the mail sent meanwhile is not recorded: OOM "))
      << Lines[0];
  EXPECT_TRUE(Lines[1].starts_with("ledger " + Options.Uri + " takes records again after ")) << Lines[1];
}
