// TMilterSession through its reply interface: what each action asks of the
// MTA, the error policy, the protocol's order, tag mode's header removal,
// the stop, and the log lines, with a recording stand-in for libmilter.
#include "milter/MilterSession_un.h"

#include "MilterTestSupport.h"
#include "detector/BackscatterDetector_un.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace bwtest;

TEST(MilterSessionTest, RejectSetsTheConfiguredReplyOnlyForBackscatter) {
  TMilter Milter({Pattern, "--reject-reply=554 5.7.0 Not one of ours"});
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  EXPECT_EQ(Send(Session, Reply, "<>", LoadMessage("bounce-of-forged-message.eml")), TAnswer(bw::msReject, "eom"));
  EXPECT_EQ(Reply.Calls, std::vector<std::string>{"reply 554 5.7.0 Not one of ours"});
  Reply.Calls.clear();
  EXPECT_EQ(Send(Session, Reply, "<>", LoadMessage("bounce-of-own-message.eml")), TAnswer(bw::msAccept, "eom"));
  EXPECT_EQ(Send(Session, Reply, "<carol@example.org>", LoadMessage("forwarded-message.eml")),
            TAnswer(bw::msAccept, "eoh"));
  EXPECT_TRUE(Reply.Calls.empty());
  const std::vector<std::string> Lines = Milter.Log->Lines();
  ASSERT_EQ(Lines.size(), 2u);  // the ordinary message is not logged
  EXPECT_TRUE(Lines[0].starts_with("Q1: sender=<>, verdict=backscatter, message-ids=1, rule=pattern, action=reject, "))
      << Lines[0];
  EXPECT_TRUE(Lines[1].starts_with("Q1: sender=<>, verdict=not backscatter, message-ids=1, rule=pattern, action=accept"))
      << Lines[1];
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
}

TEST(MilterSessionTest, EachActionAsksTheMtaForItsOwnChange) {
  struct TCase {
    std::string Action;
    TMilterStatus Status;
    std::vector<std::string> Calls;
    std::string Logged;
  };
  const TCase Cases[] = {
      {"discard", bw::msDiscard, {}, "action=discard"},
      {"quarantine", bw::msAccept, {"quarantine bouncewarden: backscatter"}, "action=quarantine"},
      {"tag", bw::msAccept, {"add X-Bouncewarden: backscatter"}, "action=tag"},
      {"log", bw::msAccept, {}, "action=accept (log only, would reject)"},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Action);
    TMilter Milter({Pattern, "--action=" + Case.Action});
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    EXPECT_EQ(Send(Session, Reply, "<>", LoadMessage("bounce-of-forged-message.eml")), TAnswer(Case.Status, "eom"));
    EXPECT_EQ(Reply.Calls, Case.Calls);
    ASSERT_EQ(Milter.Log->Lines().size(), 1u);
    EXPECT_NE(Milter.Log->Lines()[0].find(Case.Logged), std::string::npos) << Milter.Log->Lines()[0];
    // A genuine bounce is left as it is.
    Reply.Calls.clear();
    EXPECT_EQ(Send(Session, Reply, "<>", LoadMessage("bounce-of-own-message.eml")), TAnswer(bw::msAccept, "eom"));
    EXPECT_TRUE(Reply.Calls.empty());
  }
}

// The forged bounce with a returned Message-ID of 3000 characters, on which
// the pattern (a|b)*@x$ exceeds PCRE's limits: an error, never a verdict.
TEST(MilterSessionTest, AFailedCheckGetsTheErrorPolicyAndTheRightCount) {
  TMessage LongID = LoadMessage("bounce-of-forged-message.eml");
  const std::string Forged = "<7c41e0d2.90fa@forged-sender.example.net>";
  std::string Long(1, '<');
  Long.append(3000, 'a').push_back('>');
  LongID.Body.replace(LongID.Body.find(Forged), Forged.size(), Long);
  for (const auto &[Policy, Status] : {std::pair{"accept", bw::msAccept}, std::pair{"tempfail", bw::msTempfail}}) {
    SCOPED_TRACE(Policy);
    TMilter Milter({"--pattern=(a|b)*@x$", std::string("--on-error=") + Policy});
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    EXPECT_EQ(Send(Session, Reply, "<>", LongID), TAnswer(Status, "eom"));
    EXPECT_TRUE(Reply.Calls.empty());
    const std::string Line = Milter.Log->Lines().at(0);
    EXPECT_NE(Line.find("verdict=error ERegexMatchError"), std::string::npos) << Line;
    EXPECT_NE(Line.find("Message-ID 1 of 1"), std::string::npos) << Line;
    EXPECT_NE(Line.find("message-ids=1, rule=pattern, action=" + std::string(Policy)), std::string::npos) << Line;
  }
}

TEST(MilterSessionTest, AMessageWithoutEndOfHeadersIsAcceptedUnchecked) {
  TMilter Milter({Pattern});
  auto Session = NewSession(Milter, /*ACanSkip=*/false);
  TFakeReply Reply;
  // The whole forged bounce as body, its headers included.
  TMessage AsBody;
  AsBody.Body = bwtest::WithLineEnds(bwtest::ReadFixture("integration/bounce-of-forged-message.eml"), "\r\n");
  EXPECT_EQ(Send(Session, Reply, "<>", AsBody, /*AEndOfHeaders=*/false), TAnswer(bw::msAccept, "eom"));
  EXPECT_TRUE(Reply.Calls.empty());
  EXPECT_NE(Milter.Log->Lines().at(0).find("verdict=not checked (no end of headers)"), std::string::npos);
  // And the next message on the connection is checked as usual.
  EXPECT_EQ(Send(Session, Reply, "<>", LoadMessage("bounce-of-forged-message.eml")), TAnswer(bw::msReject, "eom"));
}

TEST(MilterSessionTest, TagModeRemovesEveryIncomingTagHeaderFromWhatPasses) {
  TMilter Milter({Pattern, "--action=tag"});
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  const auto WithTags = [](TMessage AMessage) {
    AMessage.Headers.insert(AMessage.Headers.begin(), {"X-Bouncewarden", " backscatter"});
    AMessage.Headers.emplace_back("x-BOUNCEWARDEN", " backscatter");
    return AMessage;
  };
  // Ordinary mail: on to end of message for the removal, its body skipped.
  const TMessage Ordinary = WithTags(LoadMessage("forwarded-message.eml"));
  EXPECT_EQ(Session.OnEnvFrom(Reply, "<carol@example.org>"), bw::msContinue);
  for (const auto &[Name, Value] : Ordinary.Headers)
    Session.OnHeader(Name, Value);
  EXPECT_EQ(Session.OnEndOfHeaders(Reply), bw::msContinue);
  EXPECT_EQ(Session.OnBody(Reply, Ordinary.Body), bw::msSkip);
  EXPECT_EQ(Session.OnEndOfMessage(Reply), bw::msAccept);
  const std::vector<std::string> Removals{"remove X-Bouncewarden 2", "remove X-Bouncewarden 1"};
  EXPECT_EQ(Reply.Calls, Removals);
  // A genuine bounce loses them too; a forged one gets ours after.
  Reply.Calls.clear();
  EXPECT_EQ(Send(Session, Reply, "<>", WithTags(LoadMessage("bounce-of-own-message.eml"))),
            TAnswer(bw::msAccept, "eom"));
  EXPECT_EQ(Reply.Calls, Removals);
  Reply.Calls.clear();
  EXPECT_EQ(Send(Session, Reply, "<>", WithTags(LoadMessage("bounce-of-forged-message.eml"))),
            TAnswer(bw::msAccept, "eom"));
  EXPECT_EQ(Reply.Calls, (std::vector<std::string>{Removals[0], Removals[1], "add X-Bouncewarden: backscatter"}));
  // Ordinary mail without the header still ends at end of headers.
  Reply.Calls.clear();
  EXPECT_EQ(Send(Session, Reply, "<carol@example.org>", LoadMessage("forwarded-message.eml")),
            TAnswer(bw::msAccept, "eoh"));
  EXPECT_TRUE(Reply.Calls.empty());
  EXPECT_NE(Milter.Log->Lines().back().find("action=tag, removed 2 of 2 X-Bouncewarden"), std::string::npos)
      << Milter.Log->Lines().back();
}

// A flood of the tag is refused, not removed copy by copy; a too-large
// bounce that passes with its tags removed is logged as too large.
TEST(MilterSessionTest, TagModeRefusesAFloodOfItsHeaderAndSaysWhyAMessageWentUnchecked) {
  TMilter Milter({Pattern, "--action=tag"});
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  const auto WithTags = [](TMessage AMessage, std::size_t ACount) {
    AMessage.Headers.insert(AMessage.Headers.begin(), ACount, {"X-Bouncewarden", " backscatter"});
    return AMessage;
  };
  EXPECT_EQ(Send(Session, Reply, "<carol@example.org>", WithTags(LoadMessage("forwarded-message.eml"), 21)),
            TAnswer(bw::msReject, "eoh"));
  EXPECT_EQ(Reply.Calls, std::vector<std::string>{"reply 550 5.7.1 Malformed message: 21 X-Bouncewarden headers"});
  EXPECT_NE(Milter.Log->Lines().back().find("verdict=refused (21 X-Bouncewarden headers, more than 20), "
                                            "message-ids=0, rule=none, action=reject"),
            std::string::npos)
      << Milter.Log->Lines().back();
  Reply.Calls.clear();
  EXPECT_EQ(Send(Session, Reply, "<carol@example.org>", WithTags(LoadMessage("forwarded-message.eml"), 20)),
            TAnswer(bw::msAccept, "eom"));
  EXPECT_EQ(Reply.Calls.size(), 20u);
  TMessage Big = WithTags(LoadMessage("bounce-of-forged-message.eml"), 1);
  Big.Body += std::string(bw::TBackscatterDetector::MaxMessageSize, 'x');
  EXPECT_EQ(Send(Session, Reply, "<>", Big), TAnswer(bw::msAccept, "eom"));
  EXPECT_NE(Milter.Log->Lines().back().find("verdict=not examined (too large: 512000 bytes or more), message-ids=0, "
                                            "rule=none, action=accept, removed 1 of 1 X-Bouncewarden"),
            std::string::npos)
      << Milter.Log->Lines().back();
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
}

// Connections that each hold a bounce just under the size bound cannot
// together hold more than --buffer-limit: the one that would go beyond gets
// the --on-error answer, and what a message held is free again at its end.
TEST(MilterSessionTest, TheBufferLimitBoundsWhatAllMessagesInProgressHold) {
  for (const auto &[Policy, Status] : {std::pair{"accept", bw::msAccept}, std::pair{"tempfail", bw::msTempfail}}) {
    SCOPED_TRACE(Policy);
    TMilter Milter({Pattern, "--buffer-limit=1", std::string("--on-error=") + Policy});
    TFakeReply Reply;
    const TMessage Forged = LoadMessage("bounce-of-forged-message.eml");
    const std::string Chunk(400000, 'x');
    std::vector<std::unique_ptr<bw::TMilterSession>> Sessions;
    for (int I = 0; I < 3; ++I) {
      auto &Session = *Sessions.emplace_back(
          std::make_unique<bw::TMilterSession>(*Milter.Context, bw::TNegotiated{bw::hvAsReceived, false, true}));
      ASSERT_EQ(Session.OnEnvFrom(Reply, "<>"), bw::msContinue);
      for (const auto &[Name, Value] : Forged.Headers)
        Session.OnHeader(Name, Value);
      ASSERT_EQ(Session.OnEndOfHeaders(Reply), bw::msContinue);
      EXPECT_EQ(Session.OnBody(Reply, Chunk), I < 2 ? bw::msContinue : Status) << I;
    }
    EXPECT_NE(Milter.Log->Lines().back().find("verdict=not checked (the messages in progress hold the "
                                              "--buffer-limit of 1 MiB), message-ids=0, rule=none, action=" +
                                              std::string(Policy)),
              std::string::npos)
        << Milter.Log->Lines().back();
    EXPECT_EQ(Sessions[0]->OnAbort(), bw::msContinue);
    EXPECT_LT(Milter.Context->Buffers().Held(), 500000u);
    auto Next = NewSession(Milter);
    EXPECT_EQ(Send(Next, Reply, "<>", Forged), TAnswer(bw::msReject, "eom"));
  }
}

TEST(MilterSessionTest, ABounceReachingTheBoundIsAcceptedDuringItsBody) {
  TMilter Milter({Pattern});
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  TMessage Big = LoadMessage("bounce-of-forged-message.eml");
  Big.Body += std::string(bw::TBackscatterDetector::MaxMessageSize, 'x');
  EXPECT_EQ(Send(Session, Reply, "<>", Big), TAnswer(bw::msAccept, "body"));
  EXPECT_NE(Milter.Log->Lines().at(0).find("verdict=not examined (too large: 512000 bytes or more), message-ids=0, rule=none, action=accept"),
            std::string::npos);
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
}

// No peer field can end its line or pass for another field: a sender's
// field ends at its own ">", and a literal "\x0A" in it stays literal.
TEST(MilterSessionTest, PeerFieldsReachTheLogEscapedOnOneLineAndCannotForgeAField) {
  const struct {
    std::string QueueID, Sender, Logged;
  } Cases[] = {
      {"Q\r\nFAKE: forged\x1B[2J\x07",
       "<evil\r\nQ2: sender=<>, verdict=not backscatter\x1B]0;x\x07\x7F@example.org>",
       "Q\\x0D\\x0AFAKE: forged\\x1B[2J\\x07: sender=<evil\\x0D\\x0AQ2: sender=<\\x3E, "
       "verdict=not backscatter\\x1B]0;x\\x07\\x7F@example.org>, verdict=backscatter, "},
      {"Q3", "<\"x>, verdict=not backscatter\"@evil.test>",
       "Q3: sender=<\"x\\x3E, verdict=not backscatter\"@evil.test>, verdict=backscatter, "},
      {"Q4\\x0A", "<a\\x0Ab\xC3\xA9@evil.test>",
       "Q4\\x5Cx0A: sender=<a\\x5Cx0Ab\\xC3\\xA9@evil.test>, verdict=backscatter, "},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Sender);
    TMilter Milter({Pattern});
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    Reply.QueueID = Case.QueueID;
    Send(Session, Reply, Case.Sender, LoadMessage("bounce-of-forged-message.eml"));
    const std::vector<std::string> Lines = Milter.Log->Lines();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_TRUE(Lines[0].starts_with(Case.Logged)) << Lines[0];
    for (const char Byte : Lines[0])
      EXPECT_TRUE(static_cast<unsigned char>(Byte) >= 0x20 && static_cast<unsigned char>(Byte) < 0x7F) << int(Byte);
  }
}

// Show that the line names the returned ID, cut short when it is long.
TEST(MilterSessionTest, TheLineNamesTheReturnedIdsInShort) {
  TMilter Milter({Pattern});
  TFakeReply Reply;
  for (const std::size_t Length : {std::size_t{10}, std::size_t{3000}}) {
    TMessage Bounce = LoadMessage("bounce-of-forged-message.eml");
    const std::string Forged = "<7c41e0d2.90fa@forged-sender.example.net>";
    std::string Id(Length, 'a');
    Id += "@x";
    Bounce.Body.replace(Bounce.Body.find(Forged), Forged.size(), std::string("<").append(Id).append(">"));
    auto Session = NewSession(Milter);
    Send(Session, Reply, "<>", Bounce);
    const std::string Line = Milter.Log->Lines().back();
    std::string Shown = "<";
    Shown.append(Id, 0, 200).append(Length < 200 ? ">" : "...>");
    EXPECT_TRUE(Line.ends_with(" ms, returned=" + Shown)) << Line;
  }
}

// Refused with a 4xx whatever --on-error says: the MTA tries again later.
TEST(MilterSessionTest, TransactionsAreCountedUntilTheirEndAndRefusedOnceStopping) {
  TMilter Milter({Pattern});
  TFakeReply Reply;
  {
    auto Session = NewSession(Milter);
    EXPECT_EQ(Session.OnEnvFrom(Reply, "<>"), bw::msContinue);
    EXPECT_EQ(Milter.Context->OpenTransactions(), 1u);
    EXPECT_EQ(Session.OnAbort(), bw::msContinue);
    EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
    EXPECT_EQ(Session.OnEnvFrom(Reply, "<>"), bw::msContinue);
    // A second MAIL FROM without an abort ends the first.
    EXPECT_EQ(Session.OnEnvFrom(Reply, "<>"), bw::msContinue);
    EXPECT_EQ(Milter.Context->OpenTransactions(), 1u);
    Milter.Context->BeginStop();
  }  // the connection closed in the middle of it
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
  auto Session = NewSession(Milter);
  EXPECT_EQ(Session.OnEnvFrom(Reply, "<>"), bw::msTempfail);
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
  EXPECT_NE(Milter.Log->Lines().back().find("verdict=not checked (stopping), message-ids=0, rule=none, action=tempfail"),
            std::string::npos);
}

// Show that the first connection that names the MTA's host (macro j) has
// the pattern tried on an ID of that name, and that only a pattern that
// would not match it gives one warning, once.
TEST(MilterSessionTest, APatternThatMissesTheHostsOwnIdsIsWarnedOfOnce) {
  const struct {
    std::string HostName;
    std::size_t Warnings;
  } Cases[] = {{"mail.example.com", 0}, {"example.com", 0}, {"mx.example.net", 1}, {"", 0}};
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.HostName);
    TMilter Milter({"--pattern=.*@(.+\\.)?example\\.com$"});
    TFakeReply Reply;
    Reply.Macros["j"] = Case.HostName;
    for (int Connection = 0; Connection < 2; ++Connection) {
      auto Session = NewSession(Milter);
      Send(Session, Reply, "<alice@example.com>", LoadMessage("forwarded-message.eml"));
    }
    const std::vector<std::string> Lines = Milter.Log->Lines();
    ASSERT_EQ(Lines.size(), Case.Warnings);
    if (Case.Warnings) {
      EXPECT_TRUE(Lines[0].starts_with("warning: the pattern does not match <") &&
                  Lines[0].find("@mx.example.net>, an ID made with the MTA's own host name (macro j)") !=
                      std::string::npos)
          << Lines[0];
    }
  }
}

} // namespace
