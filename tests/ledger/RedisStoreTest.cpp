// The Redis store against a real redis-server on a unix socket in a scratch
// folder, started and stopped by each test; skipped where it is missing.
#include "ledger/LedgerOpen_un.h"

#include "LedgerTestSupport.h"
#include "support/RedisServer.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
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
  explicit TRedisServer(const bwtest::TScratchFolder &AScratch, std::vector<std::string> AArgs = {},
                        const std::string &AName = "")
      : bwtest::TRedisServer(Folder(AScratch, AName), std::move(AArgs)) {}

  // The reply to ACommand as text: a string's or status's, an error's after
  // "!", an integer's digits, "nil"; "!no reply" when none came. On
  // 127.0.0.1's APort when one is given (a sentinel), else on the socket.
  std::string Ask(const std::vector<std::string> &ACommand) const { return AskAt(Socket(), 0, ACommand); }
  static std::string AskAt(const std::string &ASocket, int APort, const std::vector<std::string> &ACommand) {
    const TContext Context(APort > 0 ? redisConnect("127.0.0.1", APort) : redisConnectUnix(ASocket.c_str()));
    if (!Context || Context->err)
      return "!no reply";
    std::vector<const char *> Argv;
    std::vector<std::size_t> Lengths;
    for (const std::string &Arg : ACommand) {
      Argv.push_back(Arg.c_str());
      Lengths.push_back(Arg.size());
    }
    const TReply Reply(static_cast<redisReply *>(
        redisCommandArgv(Context.get(), static_cast<int>(Argv.size()), Argv.data(), Lengths.data())));
    if (!Reply)
      return "!no reply";
    switch (Reply->type) {
    case REDIS_REPLY_INTEGER:
      return std::to_string(Reply->integer);
    case REDIS_REPLY_NIL:
      return "nil";
    case REDIS_REPLY_ERROR:
      return "!" + std::string(Reply->str, Reply->len);
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      return std::string(Reply->str, Reply->len);
    default:  // an array: its strings, a line each
      std::string Lines;
      for (std::size_t I = 0; I < Reply->elements; ++I)
        if (Reply->element[I]->type == REDIS_REPLY_STRING)
          Lines += std::string(Reply->element[I]->str, Reply->element[I]->len) + "\n";
      return Lines;
    }
  }
  long long Integer(const std::vector<std::string> &ACommand) const {
    const std::string Text = Ask(ACommand);
    return !Text.empty() && Text.find_first_not_of("-0123456789") == std::string::npos ? std::stoll(Text) : -999;
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
  static std::filesystem::path Folder(const bwtest::TScratchFolder &AScratch, const std::string &AName) {
    const std::filesystem::path Result = AScratch / AName;
    std::filesystem::create_directories(Result);
    return Result / "";
  }
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
// are refused; that a Redis back without its data answers "unknown" until a
// record starts the ledger again; that the records lost meanwhile are a gap
// of this recorder; and that each change is logged once.
TEST(RedisStoreTest, StoppedAndRestartedEmptyAnswersUnknownUntilRecordedAgain) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  TRedisServer Server(Scratch);
  bwtest::TLogLines Log;
  bw::TLedgerOptions Options = RedisOptions(Server);
  Options.Recorder = "mx1";
  const auto Store = bw::OpenLedgerStore(Options, Log.Sink());
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->LastLostRecords(), std::nullopt);

  Server.Stop();
  const bw::TLedgerTime Stopped = LedgerNow();
  for (int I = 0; I < 20; ++I) {
    EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrUnknown);
    EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow()), bw::rrUnavailable);
  }
  EXPECT_TRUE(Store->LastLostRecords());
  Server.Start();  // empty: this Redis keeps nothing across a restart
  std::this_thread::sleep_for(Options.RetryDelay);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrUnknown);
  EXPECT_EQ(Store->StartTime(), std::nullopt);
  EXPECT_EQ(Store->Record(NumberedKey(2), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->Contains(NumberedKey(2)), bw::lrFound);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrAbsent);
  const std::optional<std::vector<bw::TLedgerGap>> Gaps = Store->Gaps(Stopped);
  ASSERT_TRUE(Gaps);
  ASSERT_EQ(Gaps->size(), 1u);
  EXPECT_EQ((*Gaps)[0].Recorder, "mx1");
  EXPECT_LE((*Gaps)[0].From, Stopped + 1s);
  EXPECT_GE((*Gaps)[0].To, (*Gaps)[0].From);

  const std::vector<std::string> Lines = Log.Lines();
  for (const std::string_view Start : {" cannot be reached, bounces are checked without it: ", " can be reached again after ",
                                  " cannot record, IDs of sent mail are not recorded: ", " records again after ",
                                  " lost its data, bounces are checked without it until a record: its start time "
                                  "\"bwl-start\" vanished",
                                  " holds a ledger again after "})
    EXPECT_EQ(std::count_if(Lines.begin(), Lines.end(),
                            [&](const std::string &ALine) { return ALine.starts_with("ledger " + Options.Uri + std::string(Start)); }),
              1)
        << Start;
  EXPECT_EQ(Lines.size(), 6u);
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
  // Slow is not lost: no record was, so no host learns of a gap.
  EXPECT_EQ(Store->LastLostRecords(), std::nullopt);
  EXPECT_EQ(Store->Gaps(LedgerNow() - 1h), std::vector<bw::TLedgerGap>());
}

// Show that a lookup of many keys is one bounded call: thousands of keys
// answer at once when Redis does, and "unknown" within about one timeout
// when it hangs, while records go on once it is back.
TEST(RedisStoreTest, ManyKeysAreOneCallWithinOneTimeout) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  TRedisServer Server(Scratch);
  const bw::TLedgerOptions Options = RedisOptions(Server);
  const auto Store = bw::OpenLedgerStore(Options, {});
  std::vector<bw::TLedgerKey> Keys;
  for (std::uint64_t Key = 0; Key < 6400; ++Key)
    Keys.push_back(NumberedKey(Key));
  EXPECT_EQ(Store->ContainsAny(Keys), bw::lrAbsent);
  ASSERT_EQ(Store->Record(Keys.back(), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->ContainsAny(Keys), bw::lrFound);

  Server.Pause();
  const auto Begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Store->ContainsAny(Keys), bw::lrUnknown);
  EXPECT_LT(std::chrono::steady_clock::now() - Begin, Options.Timeout * 5);
  Server.Resume();
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->LastLostRecords(), std::nullopt);
}

// Show that the Redis store keeps every store's promises, and that reading
// a Redis that holds no ledger fails by name.
TEST(RedisStoreTest, KeepsTheStoreContractAndReadingNeverCreates) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const TRedisServer Server(Scratch);
  bw::TLedgerOptions Reading = RedisOptions(Server);
  Reading.Opening = bw::loExisting;
  EXPECT_EQ(bwtest::RaisedError([&] { bw::OpenLedgerStore(Reading, {}); }),
            "ELedgerError: The ledger \"" + Reading.Uri + "\" does not exist");
  bwtest::ExpectStoreContract([&](std::chrono::days ARetention) {
    bw::TLedgerOptions Options = RedisOptions(Server);
    Options.Retention = ARetention;
    return bw::OpenLedgerStore(Options, {});
  });
  EXPECT_EQ(bw::OpenLedgerStore(Reading, {})->Contains(NumberedKey(4)), bw::lrFound);
}

// Show that two hosts on one Redis know of each other's gaps: records the
// first loses while its link is cut are a gap the second sees once the
// first can write again, and the first's heartbeat is the second's too.
TEST(RedisStoreTest, TwoHostsSeeTheGapOfTheOnesCutLink) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const TRedisServer Server(Scratch);
  // The submission host reaches Redis through a link of its own, which the
  // test cuts by removing it.
  const std::string Link = Scratch / "link.sock";
  std::filesystem::create_symlink(Server.Socket(), Link);
  bw::TLedgerOptions Submission = RedisOptions(Server);
  Submission.Uri = "redis+unix:" + Link;
  Submission.Recorder = "out1";
  Submission.RetryDelay = 100ms;
  bw::TLedgerOptions Mx = RedisOptions(Server);
  Mx.Recorder = "mx1";
  const auto Out = bw::OpenLedgerStore(Submission, {});
  const auto In = bw::OpenLedgerStore(Mx, {});
  const bw::TLedgerTime Begin = LedgerNow();
  ASSERT_EQ(Out->Heartbeat("out1", Begin), bw::rrAccepted);
  ASSERT_EQ(Out->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);

  std::filesystem::remove(Link);
  EXPECT_EQ(Server.Ask({"CLIENT", "KILL", "TYPE", "normal"}).front() == '!', false);
  EXPECT_EQ(Out->Record(NumberedKey(2), LedgerNow()), bw::rrUnavailable);
  EXPECT_EQ(In->Contains(NumberedKey(1)), bw::lrFound);
  EXPECT_EQ(In->Gaps(Begin), std::vector<bw::TLedgerGap>());  // not known while the link is cut

  std::filesystem::create_symlink(Server.Socket(), Link);
  std::this_thread::sleep_for(Submission.RetryDelay);
  EXPECT_EQ(Out->Record(NumberedKey(3), LedgerNow()), bw::rrAccepted);
  const std::optional<std::vector<bw::TLedgerGap>> Gaps = In->Gaps(Begin);
  ASSERT_TRUE(Gaps && Gaps->size() == 1u);
  EXPECT_EQ(Gaps->front().Recorder, "out1");
  EXPECT_GE(Gaps->front().From, Begin);
  EXPECT_LE(Gaps->front().To, LedgerNow());
  EXPECT_EQ(In->LastHeartbeat("out1"), Begin);
}

// Show that a FLUSHALL is noticed by the next lookup of every host, not a
// minute later, and that a record starts the ledger again.
TEST(RedisStoreTest, FlushAllIsNoticedAtOnce) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const TRedisServer Server(Scratch);
  const auto Out = bw::OpenLedgerStore(RedisOptions(Server), {});
  const auto In = bw::OpenLedgerStore(RedisOptions(Server), {});
  ASSERT_EQ(Out->SetFingerprint("0123456789abcdef"), bw::rrAccepted);
  ASSERT_EQ(Out->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(In->Contains(NumberedKey(1)), bw::lrFound);
  ASSERT_TRUE(In->StartTime());

  EXPECT_EQ(Server.Ask({"FLUSHALL"}), "OK");
  EXPECT_EQ(In->Contains(NumberedKey(1)), bw::lrUnknown);
  EXPECT_EQ(In->StartTime(), std::nullopt);
  EXPECT_EQ(Out->Contains(NumberedKey(1)), bw::lrUnknown);
  EXPECT_EQ(Out->Record(NumberedKey(2), LedgerNow()), bw::rrAccepted);
  // The record started it again, under the fingerprint it had.
  EXPECT_EQ(In->Contains(NumberedKey(2)), bw::lrFound);
  EXPECT_TRUE(In->StartTime());
  EXPECT_EQ(In->Fingerprint(), "0123456789abcdef");
}

// Show that Redis's password and ACL users are used: from the password
// file ("PASSWORD" or "USER PASSWORD"), with the user also in the URI, and
// that each refusal names its cause. The ACL user may not run CONFIG: that
// is one warning, and the store goes on.
TEST(RedisStoreTest, PasswordsAndAclUsers) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  const int Port = bwtest::FreeTcpPorts(1).at(0);
  const TRedisServer Server(Scratch, {"--port", std::to_string(Port), "--requirepass", "s3cret", "--user", "alice",
                                      "on", ">wonder", "~*", "&*", "+@all", "-config"});
  const struct {
    std::string File;  // the password file's content; none when empty
    std::string Uri;   // "redis://USER@": TCP, else the unix socket
    std::string Error; // after "ELedgerError: ", or none
  } Cases[] = {
      {"", "", "Cannot reach the ledger \"%u\": %a wants a password: NOAUTH Authentication required."},
      {"s3cret\n", "", ""},
      {"wrong\n", "", "Cannot reach the ledger \"%u\": %a refused the password: WRONGPASS invalid username-password "
                      "pair or user is disabled."},
      {"alice wonder\n", "", ""},
      {"wonder", "redis://alice@", ""},
      {"alice wonder", "redis://bob@", "The ledger password file \"%f\" names the user \"alice\", the ledger's URI \"bob\""},
      {"\n", "", "The ledger password file \"%f\" is empty"},
  };
  const std::string File = Scratch / "password";
  for (const auto &Case : Cases) {
    bw::TLedgerOptions Options = RedisOptions(Server);
    Options.Opening = bw::loRequire;
    Options.Uri = Case.Uri.empty() ? Options.Uri : Case.Uri + "127.0.0.1:" + std::to_string(Port);
    const std::string Address = Case.Uri.empty() ? Server.Socket() : "127.0.0.1:" + std::to_string(Port);
    std::filesystem::remove(File);
    if (!Case.File.empty())
      std::ofstream(File) << Case.File;
    Options.PasswordFile = Case.File.empty() ? "" : File;
    bwtest::TLogLines Log;
    if (Case.Error.empty()) {
      const auto Store = bw::OpenLedgerStore(Options, Log.Sink());
      EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted) << Case.File;
      EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrFound) << Case.File;
      const bool Alice = Case.File.starts_with("alice") || Case.Uri.starts_with("redis://alice");
      EXPECT_EQ(Log.Lines().size(), Alice ? 1u : 0u) << Case.File;
      if (Alice && !Log.Lines().empty()) {
        EXPECT_TRUE(Log.Lines()[0].starts_with("ledger " + Options.Uri + ": cannot read Redis's maxmemory-policy (NOPERM"))
            << Log.Lines()[0];
      }
      continue;
    }
    std::string Expected = "ELedgerError: " + Case.Error;
    for (const auto &[Mark, Value] : {std::pair<std::string, std::string>{"%u", Options.Uri}, {"%a", Address}, {"%f", File}})
      if (const std::size_t At = Expected.find(Mark); At != std::string::npos)
        Expected.replace(At, 2, Value);
    EXPECT_EQ(bwtest::RaisedError([&] { bw::OpenLedgerStore(Options, {}); }), Expected);
  }
}

// Show that a Redis that would evict entries is refused at open, by the
// tool and the daemon alike; and that a full Redis that evicts nothing
// refuses records as full (logged once), says how full it is, and turns
// the refused records into a gap once it takes them again.
TEST(RedisStoreTest, EvictingIsRefusedAndFullIsAGap) {
  SKIP_WITHOUT_REDIS();
  const bwtest::TScratchFolder Scratch;
  {
    const TRedisServer Evicting(Scratch, {"--maxmemory", "10mb", "--maxmemory-policy", "allkeys-lru"}, "evicting");
    for (const bw::TLedgerOpening Opening : {bw::loRequire, bw::loTolerate}) {
      bw::TLedgerOptions Options = RedisOptions(Evicting);
      Options.Opening = Opening;
      EXPECT_EQ(bwtest::RaisedError([&] { bw::OpenLedgerStore(Options, {}); }),
                "ELedgerError: Cannot use the ledger \"" + Options.Uri + "\": Redis at " + Evicting.Socket() +
                    " drops keys when full (maxmemory-policy allkeys-lru), which would lose entries silently; set "
                    "maxmemory-policy to noeviction");
    }
  }
  const TRedisServer Server(Scratch, {"--maxmemory", "3mb", "--maxmemory-policy", "noeviction"}, "full");
  bw::TLedgerOptions Options = RedisOptions(Server);
  Options.Recorder = "mx1";
  bwtest::TLogLines Log;
  const auto Store = bw::OpenLedgerStore(Options, Log.Sink());
  const bw::TLedgerTime Begin = LedgerNow();
  std::uint64_t Next = 0;
  bw::TRecordResult Result = bw::rrAccepted;
  while (Result == bw::rrAccepted && Next < 1000000)
    Result = Store->Record(NumberedKey(Next++), LedgerNow());
  EXPECT_EQ(Result, bw::rrFull);
  EXPECT_EQ(Store->Record(NumberedKey(Next), LedgerNow()), bw::rrFull);
  EXPECT_EQ(Store->Contains(NumberedKey(0)), bw::lrFound);
  EXPECT_GT(Store->Stats().Fullness.value_or(0), 0.9);
  EXPECT_EQ(Log.Lines(), std::vector<std::string>{"ledger " + Options.Uri +
                                                  " cannot record, IDs of sent mail are not recorded: Redis is out of "
                                                  "memory (maxmemory); IDs recorded before are still checked"});
  EXPECT_EQ(Server.Ask({"CONFIG", "SET", "maxmemory", "0"}), "OK");
  EXPECT_EQ(Store->Record(NumberedKey(Next), LedgerNow()), bw::rrAccepted);
  const std::optional<std::vector<bw::TLedgerGap>> Gaps = Store->Gaps(Begin);
  ASSERT_TRUE(Gaps && Gaps->size() == 1u);
  EXPECT_EQ(Gaps->front().Recorder, "mx1");
  EXPECT_EQ(Store->Stats().Fullness, std::nullopt);
}

// Show that behind sentinels, records and lookups go on through a
// failover with nothing lost: every record the store accepted is found on
// the new master, no lookup of one says "absent", and the store finds the
// new master by itself.
TEST(RedisStoreTest, SentinelFailoverLosesNothing) {
  SKIP_WITHOUT_REDIS();
  if (!bwtest::TRedisSentinel::Installed())
    GTEST_SKIP() << "redis-sentinel is not installed";
  const bwtest::TScratchFolder Scratch;
  // A master and two replicas: after the failover the sentinel makes the
  // other replica the new master's at once, and records need one. Of equal
  // priority, so that the sentinel promotes the one furthest along.
  const std::vector<int> Ports = bwtest::FreeTcpPorts(4);
  ASSERT_EQ(Ports.size(), 4u);
  const std::string MasterPort = std::to_string(Ports[0]);
  const TRedisServer Master(Scratch, {"--port", MasterPort, "--repl-diskless-sync-delay", "0"}, "master");
  const auto ReplicaArgs = [&](int APort) {
    return std::vector<std::string>{"--port", std::to_string(APort), "--replicaof", "127.0.0.1", MasterPort,
                                    "--repl-diskless-sync-delay", "0"};
  };
  std::filesystem::create_directory(Scratch / "sentinel");
  const bwtest::TRedisSentinel Sentinel(Scratch / "sentinel", Ports[3], "bwmaster", Ports[0]);
  const auto AskSentinel = [&](std::vector<std::string> ACommand) {
    return TRedisServer::AskAt("", Ports[3], ACommand);
  };
  bw::TLedgerOptions Options = RedisOptions(Master);
  Options.Uri = "redis+sentinel://127.0.0.1:" + std::to_string(Ports[3]) + "/bwmaster";
  Options.Timeout = 500ms;
  Options.RetryDelay = 100ms;
  const auto Store = bw::OpenLedgerStore(Options, {});

  std::vector<std::uint64_t> Accepted;
  std::uint64_t Next = 0, AbsentLookups = 0;
  // Records (and looks up one accepted record) until AUntil holds, for at most 30 s.
  const auto RecordUntil = [&](const std::function<bool()> &AUntil) {
    const auto Give = std::chrono::steady_clock::now() + 30s;
    bool Done = false;
    while (!(Done = AUntil()) && std::chrono::steady_clock::now() < Give) {
      if (Store->Record(NumberedKey(Next), LedgerNow()) == bw::rrAccepted)
        Accepted.push_back(Next);
      ++Next;
      if (!Accepted.empty())
        AbsentLookups += Store->Contains(NumberedKey(Accepted[Accepted.size() / 2])) == bw::lrAbsent;
    }
    return Done;
  };
  // The store's connections are made before the replicas attach: what they
  // learned of the replicas then must not be what later records wait for.
  ASSERT_TRUE(RecordUntil([&] { return Accepted.size() >= 50; }));
  const TRedisServer Replica(Scratch, ReplicaArgs(Ports[1]), "replica");
  const TRedisServer OtherReplica(Scratch, ReplicaArgs(Ports[2]), "other");
  ASSERT_TRUE(RecordUntil([&] { return Accepted.size() >= 200; }));
  // The sentinel learns of the replicas from the master within seconds.
  ASSERT_TRUE(RecordUntil([&] { return AskSentinel({"SENTINEL", "failover", "bwmaster"}) == "OK"; }));
  std::string NewMaster;
  ASSERT_TRUE(RecordUntil([&] {
    NewMaster = AskSentinel({"SENTINEL", "get-master-addr-by-name", "bwmaster"});
    return NewMaster.starts_with("127.0.0.1\n") && NewMaster != "127.0.0.1\n" + MasterPort + "\n";
  }));
  const std::size_t Before = Accepted.size();
  EXPECT_TRUE(RecordUntil([&] { return Accepted.size() >= Before + 200; })) << "records did not resume";

  EXPECT_EQ(AbsentLookups, 0u);
  // A store opened now asks the sentinel, and reads the new master.
  const auto After = bw::OpenLedgerStore(Options, {});
  std::uint64_t Missing = 0;
  for (const std::uint64_t Key : Accepted) {
    // "Unknown" is a lookup over its time on a busy machine, not a loss: ask again.
    bw::TLookupResult Found = bw::lrUnknown;
    for (int Try = 0; Try < 20 && Found == bw::lrUnknown; ++Try) {
      if (Try > 0)
        std::this_thread::sleep_for(Options.RetryDelay);
      Found = After->Contains(NumberedKey(Key));
    }
    Missing += Found != bw::lrFound;
  }
  EXPECT_EQ(Missing, 0u) << "of " << Accepted.size() << " accepted records";
  // Records refused while no replica confirmed them may have arrived all the same.
  const TRedisServer &Promoted = NewMaster == "127.0.0.1\n" + std::to_string(Ports[1]) + "\n" ? Replica : OtherReplica;
  EXPECT_GE(std::stoull("0" + Promoted.Ask({"DBSIZE"})), Accepted.size() + 1);  // and bwl-start
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
  EXPECT_TRUE(Lines[0].starts_with("ledger " + Options.Uri + " cannot record, IDs of sent mail are not recorded: Redis is "
                                    "out of memory"))
      << Lines[0];
  EXPECT_TRUE(Lines[1].starts_with("ledger " + Options.Uri + " records again")) << Lines[1];
}
