// The ledger in the milter, through the session's reply interface on real
// LMDB ledgers in scratch folders: which rule decides a bounce (ledger,
// pattern, none; the union and --ledger-only; warming up; a store that
// cannot answer), and which messages are recorded, keyed as their bounces
// will return them.
#include "milter/MilterSession_un.h"

#include "MilterTestSupport.h"
#include "verdict/MessageIdKey_un.h"
#include "ledger/LedgerTestSupport.h"
#include "support/ReturnedCopies.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

namespace {

using namespace bwtest;

// A real store whose start time lies ADaysBack in the past, so that it
// covers a retention that a fresh one would still be warming up for.
class TBackdatedStore final : public TForwardingStore {
public:
  TBackdatedStore(std::unique_ptr<bw::ILedgerStore> AInner, int ADaysBack)
      : TForwardingStore(std::move(AInner)), FStart(bw::LedgerNow() - std::chrono::days(ADaysBack)) {}
  std::optional<bw::TLedgerTime> StartTime() override { return FStart; }

private:
  bw::TLedgerTime FStart;
};

std::unique_ptr<bw::ILedgerStore> Lmdb(const std::string &APath) {
  bw::TLedgerOptions Options;
  Options.Uri = "lmdb:" + APath;
  Options.Opening = bw::loTolerate;
  return bw::OpenLedgerStore(Options, [](const std::string &) {});
}

// The returned Message-ID of bounce-of-own-message.eml, as it was sent.
const std::string OwnId = "<20261207091508.4F2A1@Example.COM>";

// An ordinary message from one of our users, with that Message-ID.
TMessage Outgoing(const std::string &AMessageId = OwnId) {
  TMessage Message;
  Message.Headers = {{"From", " alice@example.com"}, {"To", " bob@example.net"}, {"Subject", " hello"}};
  if (!AMessageId.empty())
    Message.Headers.emplace_back("Message-ID", " " + AMessageId);
  Message.Body = "hello\r\n";
  return Message;
}

// A bounce of a message never sent from here whose ID has our domain.
TMessage ForgedWithOurDomain() {
  TMessage Message = LoadMessage("bounce-of-forged-message.eml");
  const std::string Forged = "<7c41e0d2.90fa@forged-sender.example.net>";
  Message.Body.replace(Message.Body.find(Forged), Forged.size(), "<never.sent.42@example.com>");
  return Message;
}

bw::TClientAddress Client(int AFamily, const char *AAddress, std::uint16_t APort) {
  bw::TClientAddress Address;
  Address.Kind = AFamily == AF_INET ? bw::TClientAddress::caInet4 : bw::TClientAddress::caInet6;
  inet_pton(AFamily, AAddress, Address.Bytes.data());
  Address.Port = APort;
  return Address;
}

// The part of the last log line from "verdict=" to the action.
std::string Decision(TMilter &AMilter) {
  const std::string Line = AMilter.Log->Lines().back();
  const std::size_t From = Line.find("verdict="), To = Line.find(", ", Line.find("action="));
  return From == std::string::npos ? Line : Line.substr(From, To - From);
}

// Show that records lost to a full ledger put a ledger that covered its
// retention back to warming up, so that their bounces are not refused for
// lacking from it; a restart of the store's writes does not undo that; and
// that a message recorded meanwhile is logged as not recorded.
TEST(MilterLedgerTest, LostRecordsStartTheWarmUpAgain) {
  TScratchFolder Scratch;
  bw::TLedgerOptions Options;
  Options.Uri = "lmdb:" + (Scratch / "ledger");
  Options.Opening = bw::loTolerate;
  Options.MapSize = std::uint64_t(1) << 20;
  TMilter Milter({"--ledger=lmdb:x", "--record-from=local"},
                 std::make_unique<TBackdatedStore>(bw::OpenLedgerStore(Options, {}), 30));
  bw::TLedgerJudge &Ledger = *Milter.Context->Ledger();
  ASSERT_TRUE(Ledger.CoversRetention());
  bw::TRecordResult Flushed = bw::rrAccepted;
  for (int Batch = 0; Batch < 100 && Flushed == bw::rrAccepted; ++Batch) {
    for (int I = 0; I < 2000; ++I)
      Ledger.Record("id." + std::to_string(Batch) + "." + std::to_string(I) + "@example.com");
    Flushed = Ledger.Store().Flush();
  }
  ASSERT_EQ(Flushed, bw::rrFull);
  EXPECT_FALSE(Ledger.CoversRetention());
  ASSERT_TRUE(Ledger.CoveredFrom().has_value());
  EXPECT_GE(*Ledger.CoveredFrom(), bw::LedgerNow() + std::chrono::days(14) - std::chrono::minutes(1));
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  Session.OnConnect(Client(AF_INET, "127.0.0.1", 0));
  EXPECT_EQ(Send(Session, Reply, "<alice@example.com>", Outgoing()), TAnswer(bw::msAccept, "eoh"));
  EXPECT_EQ(Milter.Log->Lines().back(), "Q1: sender=<alice@example.com>, origin=local, "
                                        "message-id=<20261207091508.4f2a1@example.com>, not recorded (the ledger is full)");
}

// Show each rule of the decision, with the Message-ID of
// bounce-of-own-message.eml recorded beforehand.
TEST(MilterLedgerTest, EachRuleDecidesAsConfigured) {
  TScratchFolder Scratch;
  {
    // Recorded through the ledger the milter uses, with its key.
    bw::TLedgerJudge Ledger(Lmdb(Scratch / "ledger"), bw::TLedgerHasher(TestLedgerKey), std::chrono::days(14));
    ASSERT_EQ(Ledger.Record("20261207091508.4f2a1@example.com"), bw::rrAccepted);
    ASSERT_EQ(Ledger.Store().Flush(), bw::rrAccepted);
  }
  enum TStore { sCovered, sWarmingUp, sMissing };
  struct TCase {
    std::vector<std::string> Args;
    TStore Store;
    TMessage Bounce;
    TMilterStatus Status;
    std::string Decision;
  };
  const TMessage Own = LoadMessage("bounce-of-own-message.eml"), Foreign = LoadMessage("bounce-of-forged-message.eml"),
                 Forged = ForgedWithOurDomain();
  const std::string OnError = "--on-error=tempfail";
  const TCase Cases[] = {
      // The union: in the ledger, or else the pattern.
      {{Pattern}, sCovered, Own, bw::msAccept, "verdict=not backscatter, message-ids=1, rule=ledger, action=accept"},
      {{Pattern}, sCovered, Forged, bw::msAccept, "verdict=not backscatter, message-ids=1, rule=pattern, action=accept"},
      {{Pattern}, sCovered, Foreign, bw::msReject, "verdict=backscatter, message-ids=1, rule=pattern, action=reject"},
      // Only the ledger, once it covers its retention.
      {{Pattern, "--ledger-only"}, sCovered, Own, bw::msAccept,
       "verdict=not backscatter, message-ids=1, rule=ledger, action=accept"},
      {{Pattern, "--ledger-only"}, sCovered, Forged, bw::msReject,
       "verdict=backscatter, message-ids=1, rule=ledger, action=reject"},
      // (The URI of the command line is not opened: the case's store is attached.)
      {{"--ledger=lmdb:x"}, sCovered, Forged, bw::msReject,
       "verdict=backscatter, message-ids=1, rule=ledger, action=reject"},
      // Warming up: a missing ID goes to the pattern, or without one to --on-error.
      {{Pattern, "--ledger-only"}, sWarmingUp, Forged, bw::msAccept,
       "verdict=not backscatter, message-ids=1, rule=pattern (ledger warming up), action=accept"},
      {{"--ledger=lmdb:x", OnError}, sWarmingUp, Forged, bw::msTempfail,
       "verdict=error the ledger does not cover its retention yet and there is no pattern, message-ids=1, "
       "rule=ledger (ledger warming up), action=tempfail"},
      {{"--ledger=lmdb:x", OnError}, sWarmingUp, Own, bw::msAccept,
       "verdict=not backscatter, message-ids=1, rule=ledger, action=accept"},
      // A store that cannot answer: what the pattern knows passes; what only
      // the ledger could rescue gets 4xx (whatever --on-error says), or the
      // pattern's verdict with --on-ledger-outage=pattern.
      {{Pattern}, sMissing, Forged, bw::msAccept,
       "verdict=not backscatter, message-ids=1, rule=pattern (ledger unavailable), action=accept"},
      {{Pattern}, sMissing, Foreign, bw::msTempfail,
       "verdict=deferred, message-ids=1, rule=ledger (ledger unavailable), action=tempfail"},
      {{Pattern, "--on-ledger-outage=pattern"}, sMissing, Foreign, bw::msReject,
       "verdict=backscatter, message-ids=1, rule=pattern (ledger unavailable), action=reject"},
      {{Pattern, "--ledger-only"}, sMissing, Own, bw::msTempfail,
       "verdict=deferred, message-ids=1, rule=ledger (ledger unavailable), action=tempfail"},
  };
  for (const TCase &Case : Cases) {
    std::unique_ptr<bw::ILedgerStore> Store = Lmdb(Case.Store == sMissing ? Scratch / "missing/ledger" : Scratch / "ledger");
    if (Case.Store == sCovered)
      Store = std::make_unique<TBackdatedStore>(std::move(Store), 15);
    TMilter Milter(Case.Args, std::move(Store));
    SCOPED_TRACE(Case.Args.back() + " " + std::to_string(Case.Store) + " " + Case.Decision);
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    EXPECT_EQ(Send(Session, Reply, "<>", Case.Bounce).first, Case.Status);
    EXPECT_EQ(Decision(Milter), Case.Decision);
  }
  // No returned ID: no rule, and the ledger is not asked.
  TMilter Milter({"--ledger=lmdb:x"}, Lmdb(Scratch / "missing/ledger"));
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  TMessage WithoutId = Foreign;
  WithoutId.Body.replace(WithoutId.Body.find("Message-ID:"), 11, "X-Nothing:");
  EXPECT_EQ(Send(Session, Reply, "<>", WithoutId).first, bw::msAccept);
  EXPECT_EQ(Decision(Milter), "verdict=not backscatter, message-ids=0, rule=none, action=accept");
}

// Show that a message whose client or login is in --record-from is recorded
// under the key its bounce's returned ID will have (another case, the angle
// brackets gone), accepted at end of headers as before, and that others
// are not.
TEST(MilterLedgerTest, MessagesOfOurOriginsAreRecordedAsTheirBouncesReturnThem) {
  TScratchFolder Scratch;
  struct TCase {
    std::optional<bw::TClientAddress> Client;  // none: no connect step
    std::string Login;
    std::string Origin;  // empty: not recorded
  };
  const TCase Cases[] = {
      {Client(AF_INET, "10.1.2.3", 40000), "", "10.0.0.0/8"},
      {Client(AF_INET6, "::ffff:10.9.9.9", 40000), "", "10.0.0.0/8"},
      {Client(AF_INET6, "2001:db8:1::5", 40000), "", "2001:db8::/32"},
      {Client(AF_INET, "127.0.0.1", 0), "", "local"},  // Postfix's sendmail(1) and pickup
      {Client(AF_INET, "192.0.2.1", 40000), "alice", "auth"},
      {Client(AF_INET, "127.0.0.1", 40000), "", ""},  // an SMTP client on this host
      {Client(AF_INET, "192.0.2.1", 40000), "", ""},
      {Client(AF_INET6, "2001:db9::1", 40000), "", ""},
      {std::nullopt, "", ""},  // nothing known of the client, not even that it is local
  };
  for (const TCase &Case : Cases) {
    const std::string Ledger = Scratch / ("ledger" + std::to_string(&Case - Cases));
    SCOPED_TRACE(Ledger + " " + Case.Origin);
    {
      TMilter Milter({"--ledger=lmdb:" + Ledger, "--record-from=auth,local,10.0.0.0/8,2001:db8::/32"},
                     std::make_unique<TBackdatedStore>(Lmdb(Ledger), 15));
      auto Session = NewSession(Milter);
      TFakeReply Reply;
      if (!Case.Login.empty())
        Reply.Macros["{auth_authen}"] = Case.Login;
      if (Case.Client) {
        EXPECT_EQ(Session.OnConnect(*Case.Client), bw::msContinue);
      }
      EXPECT_EQ(Send(Session, Reply, "<alice@example.com>", Outgoing()), TAnswer(bw::msAccept, "eoh"));
      EXPECT_TRUE(Reply.Calls.empty());
      const std::vector<std::string> Lines = Milter.Log->Lines();
      if (Case.Origin.empty()) {
        EXPECT_TRUE(Lines.empty());
      } else {
        ASSERT_EQ(Lines.size(), 1u);
        EXPECT_EQ(Lines[0], "Q1: sender=<alice@example.com>, origin=" + Case.Origin +
                                ", message-id=<20261207091508.4f2a1@example.com>, recorded");
      }
      // Its bounce, on another connection of the same milter, once LMDB's
      // writer has committed the record (milliseconds; a bounce takes longer).
      Milter.Context->Ledger()->Store().Flush();
      auto MxSession = NewSession(Milter);
      EXPECT_EQ(Send(MxSession, Reply, "<>", LoadMessage("bounce-of-own-message.eml")).first,
                Case.Origin.empty() ? bw::msReject : bw::msAccept);
    }
  }
}

// Show that a message of ours without a Message-ID is recorded under one
// the milter adds at its end only with --add-message-id (its body skipped),
// and otherwise passes at end of headers with a line saying so.
TEST(MilterLedgerTest, AMissingMessageIdIsAddedAndRecordedOnlyWhenAsked) {
  TScratchFolder Scratch;
  for (const bool Add : {true, false}) {
    SCOPED_TRACE(Add);
    std::vector<std::string> Args = {"--ledger=lmdb:x", "--record-from=local"};
    if (Add)
      Args.push_back("--add-message-id");
    TMilter Milter(Args, Lmdb(Scratch / (Add ? "added" : "plain")));
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    Reply.Macros["j"] = "mail.example.com";
    Session.OnConnect(Client(AF_INET, "127.0.0.1", 0));
    const TMessage Message = Outgoing("");
    if (!Add) {
      EXPECT_EQ(Send(Session, Reply, "<alice@example.com>", Message), TAnswer(bw::msAccept, "eoh"));
      EXPECT_EQ(Milter.Log->Lines(),
                std::vector<std::string>{"Q1: sender=<alice@example.com>, origin=local, message-id=none, not "
                                         "recorded (--add-message-id would add one)"});
      continue;
    }
    EXPECT_EQ(Session.OnEnvFrom(Reply, "<alice@example.com>"), bw::msContinue);
    for (const auto &[Name, Value] : Message.Headers)
      Session.OnHeader(Name, Value);
    EXPECT_EQ(Session.OnEndOfHeaders(Reply), bw::msContinue);
    EXPECT_EQ(Session.OnBody(Reply, Message.Body), bw::msSkip);
    EXPECT_EQ(Session.OnEndOfMessage(Reply), bw::msAccept);
    ASSERT_EQ(Reply.Calls.size(), 1u);
    // "add Message-ID: <YYYYMMDDhhmmss.<16 hex>@mail.example.com>"
    const std::string &Added = Reply.Calls[0];
    ASSERT_TRUE(Added.starts_with("add Message-ID: <") && Added.ends_with("@mail.example.com>")) << Added;
    EXPECT_EQ(Added.size(), std::string("add Message-ID: <20261207120000.0123456789abcdef@mail.example.com>").size());
    const std::string Id = Added.substr(Added.find('<') + 1, Added.size() - Added.find('<') - 2);
    EXPECT_EQ(Milter.Log->Lines(), std::vector<std::string>{"Q1: sender=<alice@example.com>, origin=local, message-id=<" +
                                                            Id + "> (added), recorded"});
    Milter.Context->Ledger()->Store().Flush();
    EXPECT_EQ(Milter.Context->Ledger()->LookUpText(Id), bw::lrFound);
  }
}

// Show, through the milter, that a message recorded as it was sent has its
// bounce accepted by the ledger alone, in every form its returned copy was
// seen to take (an ID above the one recorded, a signature folding after
// "message-id:", a UTF-8 ID under any charset, two Message-IDs), and that
// the log line names the IDs the bounce returned.
TEST(MilterLedgerTest, EveryReturnedCopyOfARecordedMessageIsOurs) {
  TScratchFolder Scratch;
  for (const TSentAndReturned &Case : SentAndReturnedCases()) {
    SCOPED_TRACE(Case.Name);
    const std::string Ledger = Scratch / Case.Name;
    TMilter Milter({"--pattern=(?!)", "--ledger-only", "--record-from=local"},
                   std::make_unique<TBackdatedStore>(Lmdb(Ledger), 15));
    TMessage Sent;
    for (const bw::THeaderField &Field : bw::HeaderFieldsOf(Case.Sent))
      Sent.Headers.emplace_back(Field.Name, Field.Value);
    auto Submission = NewSession(Milter);
    TFakeReply Reply;
    Submission.OnConnect(Client(AF_INET, "127.0.0.1", 0));
    EXPECT_EQ(Send(Submission, Reply, "<alice@example.com>", Sent), TAnswer(bw::msAccept, "eoh"));
    Milter.Context->Ledger()->Store().Flush();
    auto Mx = NewSession(Milter);
    TMessage Bounce;
    Bounce.Headers = {{"From", " MAILER-DAEMON@mx.example.net"},
                      {"Content-Type", " multipart/report; report-type=delivery-status; boundary=\"b\""}};
    Bounce.Body = WithLineEnds(Case.Bounce.substr(Case.Bounce.find("\n\n") + 2), "\r\n");
    EXPECT_EQ(Send(Mx, Reply, "<>", Bounce), TAnswer(bw::msAccept, "eom"));
    const std::string Line = Milter.Log->Lines().back();
    EXPECT_NE(Line.find("rule=ledger, action=accept"), std::string::npos) << Line;
    const std::string Recorded = bw::SentMessageIdTexts(bw::HeaderFieldsOf(Case.Sent)).back();
    EXPECT_NE(Line.find(", returned=<"), std::string::npos) << Line;
    EXPECT_NE(Line.find("<" + bw::PeerField(Recorded) + ">"), std::string::npos) << Line;
  }
}

// The bounce of a message never sent from here, its ID of our domain, whose
// returned copy says it was written at ADate (none: no Date at all).
TMessage ForgedDated(std::optional<bw::TLedgerTime> ADate) {
  TMessage Message = ForgedWithOurDomain();
  const std::string Date = "Date: Mon, 7 Dec 2026 10:02:36 +0100\r\n";
  std::string Replacement;
  if (ADate) {
    const std::time_t Seconds = ADate->time_since_epoch().count();
    std::tm Parts{};
    gmtime_r(&Seconds, &Parts);
    char Text[64];
    std::strftime(Text, sizeof Text, "Date: %a, %d %b %Y %H:%M:%S +0000\r\n", &Parts);
    Replacement = Text;
  }
  Message.Body.replace(Message.Body.find(Date), Date.size(), Replacement);
  return Message;
}

// Show that a ledger that would refuse alone refuses nothing a recorder may
// have missed: a returned copy dated in a recorder's gap, or undated while
// a gap lies within the retention, or dated since a recorder's marks
// stopped, goes to the pattern (or, without one, the outage answer), while
// one dated outside every gap is still refused.
TEST(MilterLedgerTest, ABounceOfMailAGapMayHoldIsNotRefusedByTheLedgerAlone) {
  TScratchFolder Scratch;
  const bw::TLedgerTime Now = bw::LedgerNow(), Sent = Now - std::chrono::hours(2);
  using std::chrono::days, std::chrono::minutes;
  const std::vector<std::string> Strict = {Pattern, "--ledger-only"}, Alone = {"--ledger=lmdb:x"};
  const std::string Refused = "verdict=backscatter, message-ids=1, rule=ledger, action=reject";
  const std::string ByPattern = "verdict=not backscatter, message-ids=1, rule=pattern (ledger gap), action=accept";
  const struct {
    const char *Name;
    std::optional<bw::TLedgerGap> Gap;
    std::optional<minutes> MarkAge;  // of another recorder's last mark
    std::optional<bw::TLedgerTime> Date;
    std::vector<std::string> Args;
    std::string Decision;
  } Cases[] = {
      {"NoGap", std::nullopt, std::nullopt, Sent, Strict, Refused},
      {"DatedInAGap", bw::TLedgerGap{"submit", Sent - minutes(30), Sent + minutes(30), "cut"}, std::nullopt, Sent,
       Strict, ByPattern},
      {"DatedOutsideTheGaps", bw::TLedgerGap{"submit", Now - days(10), Now - days(9), "cut"}, std::nullopt, Sent,
       Strict, Refused},
      {"UndatedWithAGapInTheRetention", bw::TLedgerGap{"submit", Now - days(10), Now - days(9), "cut"},
       std::nullopt, std::nullopt, Strict, ByPattern},
      {"DatedSinceARecordersMarksStopped", std::nullopt, minutes(10), Now - minutes(5), Strict, ByPattern},
      {"DatedWhileTheRecorderMarks", std::nullopt, minutes(0), Now - minutes(5), Strict, Refused},
      {"InAGapWithoutAPattern", bw::TLedgerGap{"submit", Sent - minutes(30), Sent + minutes(30), "cut"},
       std::nullopt, Sent, Alone, "verdict=deferred, message-ids=1, rule=ledger (ledger gap), action=tempfail"},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    std::unique_ptr<bw::ILedgerStore> Store = Lmdb(Scratch / Case.Name);
    if (Case.Gap) {
      ASSERT_EQ(Store->RecordGap(*Case.Gap), bw::rrAccepted);
    }
    if (Case.MarkAge) {
      ASSERT_EQ(Store->Heartbeat("submit", Now - *Case.MarkAge), bw::rrAccepted);
    }
    TMilter Milter(Case.Args, std::make_unique<TBackdatedStore>(std::move(Store), 15));
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    Send(Session, Reply, "<>", ForgedDated(Case.Date));
    EXPECT_EQ(Decision(Milter), Case.Decision);
  }
}

// Show the upkeep of a recording milter: it refuses to start on a ledger
// keyed with another key, writes its key's fingerprint into a new one, and
// turns the time since its last mark before the start into a gap that every
// host sees.
TEST(MilterLedgerTest, TheUpkeepChecksTheKeyAndMakesAStopAGap) {
  TScratchFolder Scratch;
  const bw::TLedgerTime Stopped = bw::LedgerNow() - std::chrono::hours(1);
  {
    TMilter Milter({"--ledger=lmdb:x", "--record-from=local"}, Lmdb(Scratch / "ledger"));
    bw::ILedgerStore &Store = Milter.Context->Ledger()->Store();
    ASSERT_EQ(Store.Heartbeat("this-host", Stopped), bw::rrAccepted);
    EXPECT_EQ(Milter.Context->Upkeep()->Start(), std::nullopt);
    EXPECT_EQ(Store.Fingerprint(), Milter.Context->Ledger()->KeyFingerprint());
    const std::optional<std::vector<bw::TLedgerGap>> Gaps = Store.Gaps(Stopped);
    ASSERT_TRUE(Gaps.has_value());
    ASSERT_EQ(Gaps->size(), 1u);
    EXPECT_EQ((*Gaps)[0].Recorder, "this-host");
    EXPECT_EQ((*Gaps)[0].From, Stopped);
    EXPECT_GE((*Gaps)[0].To, bw::LedgerNow() - std::chrono::minutes(1));
    EXPECT_GT(Store.LastHeartbeat("this-host"), Stopped);
  }
  bw::TLedgerOptions Options;
  Options.Uri = "lmdb:" + (Scratch / "ledger");
  bw::TLedgerJudge Other(bw::OpenLedgerStore(Options, {}), bw::TLedgerHasher(std::string(32, 'o')), std::chrono::days(14));
  TMilter Milter({"--ledger=lmdb:x"}, std::make_unique<TBackdatedStore>(Lmdb(Scratch / "other"), 0));
  Milter.Context->Ledger()->Store().SetFingerprint(Other.KeyFingerprint());
  const std::optional<std::string> Refusal = Milter.Context->Upkeep()->Start();
  ASSERT_TRUE(Refusal.has_value());
  EXPECT_TRUE(Refusal->starts_with("the ledger lmdb:x was keyed with another key (its fingerprint " +
                                   Other.KeyFingerprint() + ", that of /etc/bouncewarden/ledger.key is "))
      << *Refusal;
}

// Show that one connection records at most MaxRecordsPerConnection IDs:
// what it sends beyond is logged as not recorded and becomes a gap.
TEST(MilterLedgerTest, OneConnectionRecordsABoundedNumberOfIds) {
  TScratchFolder Scratch;
  TMilter Milter({"--ledger=lmdb:x", "--record-from=local"}, Lmdb(Scratch / "ledger"));
  const bw::TLedgerTime Start = bw::LedgerNow();
  {
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    Session.OnConnect(Client(AF_INET, "127.0.0.1", 0));
    const std::size_t Messages = bw::MaxRecordsPerConnection / bw::MaxSentIdFields + 2;
    for (std::size_t N = 0; N < Messages; ++N) {
      TMessage Message = Outgoing("<m" + std::to_string(N) + "@example.com>");
      for (std::size_t Id = 1; Id < bw::MaxSentIdFields; ++Id)
        Message.Headers.emplace_back("Resent-Message-ID", " <r" + std::to_string(N) + "." + std::to_string(Id) + "@x>");
      EXPECT_EQ(Send(Session, Reply, "<alice@example.com>", Message), TAnswer(bw::msAccept, "eoh"));
    }
  }
  const std::vector<std::string> Lines = Milter.Log->Lines();
  EXPECT_NE(Lines[Lines.size() - 3].find(", recorded"), std::string::npos) << Lines[Lines.size() - 3];
  for (std::size_t Last = Lines.size() - 2; Last < Lines.size(); ++Last)
    EXPECT_NE(Lines[Last].find(", not recorded (this connection's bound of 1000 IDs is reached"), std::string::npos)
        << Lines[Last];
  const std::optional<std::vector<bw::TLedgerGap>> Gaps = Milter.Context->Ledger()->Store().Gaps(Start);
  ASSERT_TRUE(Gaps.has_value());
  ASSERT_EQ(Gaps->size(), 1u);
  EXPECT_EQ((*Gaps)[0].Recorder, "this-host");
}

} // namespace
