// Signed envelope senders and the recipient rules in the session, through
// its reply interface: what is signed and how it is logged, and what each
// RCPT is answered, before any data.
#include "milter/MilterSession_un.h"

#include "MilterTestSupport.h"
#include "verdict/BatvTag_un.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace bwtest;

const std::string BatvKey = "0123456789abcdef0123456789abcdef";

std::int64_t Today() { return bw::BatvDay(std::chrono::system_clock::now()); }

std::string Tagged(std::int64_t AExpiryDay, const std::string &AAddress = "alice@example.com") {
  return bw::BatvSign(bw::TBatvKey(BatvKey), 0, AExpiryDay, AAddress);
}

std::vector<std::string> BatvOptions() {
  return {Pattern, "--batv-key-file=" + WriteTempFile("batv.key", BatvKey + "\n"),
          "--batv-exempt=" + WriteTempFile("exempt", "@lists.example.org\n")};
}

// The answers to MAIL FROM and each RCPT, then to the rest of the message
// when no RCPT was refused (the MTA would go on with the others; the test
// stops there).
std::vector<TMilterStatus> SendTo(bw::TMilterSession &ASession, TFakeReply &AReply, const std::string &ASender,
                                  const std::vector<std::string> &ARecipients, const TMessage &AMessage) {
  std::vector<TMilterStatus> Answers{ASession.OnEnvFrom(AReply, ASender)};
  for (const std::string &Recipient : ARecipients)
    Answers.push_back(ASession.OnEnvRcpt(AReply, "<" + Recipient + ">"));
  for (std::size_t I = 1; I < Answers.size(); ++I)
    if (Answers[I] != bw::msContinue) {
      ASession.OnAbort();
      return Answers;
    }
  for (const auto &[Name, Value] : AMessage.Headers)
    ASession.OnHeader(Name, Value);
  TMilterStatus Status = ASession.OnEndOfHeaders(AReply);
  if (Status == bw::msContinue)
    Status = ASession.OnBody(AReply, AMessage.Body);
  if (Status == bw::msContinue || Status == bw::msSkip)  // the body skipped, the end of message wanted
    Status = ASession.OnEndOfMessage(AReply);
  Answers.push_back(Status);
  return Answers;
}

TMessage Ordinary() {
  TMessage Message;
  Message.Headers = {{"From", " alice@example.com"}, {"To", " bob@example.net"}, {"Subject", " hello"}};
  Message.Body = "hello\r\n";
  return Message;
}

// Show that the mail of --record-from's origins leaves with a tag this site
// verifies, that the other mail is left alone, and what the log says.
TEST(MilterBatvTest, OurSendersAreSignedAtEndOfMessageUnlessExempt) {
  std::vector<std::string> Options = BatvOptions();
  Options.insert(Options.end(), {"--record-from=local", "--batv-sign"});
  TMilter Milter(Options);
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  bw::TClientAddress Local;
  Local.Kind = bw::TClientAddress::caUnix;
  Session.OnConnect(Local);

  EXPECT_EQ(SendTo(Session, Reply, "<alice@example.com>", {"bob@example.net"}, Ordinary()),
            (std::vector<TMilterStatus>{bw::msContinue, bw::msContinue, bw::msAccept}));
  ASSERT_EQ(Reply.Calls.size(), 1u);
  EXPECT_EQ(Reply.Calls[0], "sender <" + Tagged(Today() + 7) + ">");
  bw::TBatvKeys Keys;
  Keys[0] = bw::TBatvKey(BatvKey);
  EXPECT_EQ(bw::BatvVerify(Keys, Today() + 7, 7, Tagged(Today() + 7)), bw::bcValid);
  EXPECT_EQ(Milter.Log->Lines().back(),
            "Q1: sender=<alice@example.com>, origin=local, signed as <" + Tagged(Today() + 7) + ">");

  // Mail to a list, the null sender, a tagged sender: unchanged.
  for (const std::string &Sender : std::vector<std::string>{"<alice@example.com>", "<>", "<" + Tagged(Today() + 3) + ">"}) {
    Reply.Calls.clear();
    SendTo(Session, Reply, Sender, {"bob@example.net", "list@Lists.Example.org"}, Ordinary());
    EXPECT_TRUE(Reply.Calls.empty()) << Sender;
  }
  EXPECT_EQ(Milter.Log->Lines()[1], "Q1: sender=<alice@example.com>, origin=local, not signed (mail to the exempt "
                                    "<list@Lists.Example.org>)");
  // A client outside --record-from.
  Session.OnConnect(bw::TClientAddress{bw::TClientAddress::caInet4, {192, 0, 2, 1}, 25});
  Reply.Calls.clear();
  EXPECT_EQ(SendTo(Session, Reply, "<alice@example.com>", {"bob@example.net"}, Ordinary()),
            (std::vector<TMilterStatus>{bw::msContinue, bw::msContinue, bw::msAccept}));
  EXPECT_TRUE(Reply.Calls.empty());
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
}

// Show each recipient rule's answer at RCPT, its reply and its log line, and
// that a genuine bounce or a report to a never-refused address is not judged
// by its content.
TEST(MilterBatvTest, EachRecipientIsAnsweredAtRcptBeforeAnyData) {
  std::vector<std::string> Options = BatvOptions();
  Options.insert(Options.end(), {"--batv-verify", "--batv-require", "--bounce-one-recipient",
                                 "--never-refuse=" + WriteTempFile("never", "postmaster@\n"),
                                 "--no-bounces-to=" + WriteTempFile("none", "noreply@example.com\n")});
  TMilter Milter(Options);
  const TMessage Forged = LoadMessage("bounce-of-forged-message.eml");
  const std::string Valid = Tagged(Today() + 7), Expired = Tagged(Today() - 1);
  std::string Invalid = Valid;
  Invalid[14] = Invalid[14] == '0' ? '1' : '0';
  const std::string Rejected = "reply 550 5.7.1 Backscatter: ";
  struct TCase {
    std::string Sender;
    std::vector<std::string> Recipients;
    std::vector<TMilterStatus> Answers;
    std::string Reply;  // the one reply set, if any
    std::string Logged;  // in the last log line
  };
  const TMilterStatus Go = bw::msContinue, Accept = bw::msAccept, Refuse = bw::msReject;
  const TCase Cases[] = {
      {"<>", {Valid}, {Go, Go, Accept}, "", "verdict=not backscatter, message-ids=0, rule=batv (valid tag of <" + Valid + ">), action=accept"},
      {"<>", {Invalid}, {Go, Refuse}, Rejected + "the bounce address tag is not valid",
       "recipient=<" + Invalid + ">, verdict=backscatter, rule=batv (invalid tag), action=reject"},
      {"<MAILER-DAEMON@mx.example.net>", {Expired}, {Go, Refuse}, Rejected + "the bounce address tag has expired",
       "rule=batv (expired tag), action=reject"},
      {"<>", {"alice@example.com"}, {Go, Refuse}, Rejected + "a bounce to this address must carry its tag",
       "rule=batv (no tag), action=reject"},
      {"<>", {Valid, Tagged(Today() + 7, "bob@example.com")}, {Go, Go, bw::msTempfail},
       "reply 452 4.5.3 A bounce has one recipient: send the others one at a time",
       "verdict=not the only recipient of a bounce, rule=one-recipient, action=tempfail"},
      {"<>", {"noreply@example.com"}, {Go, Refuse}, Rejected + "this address sends only and takes no bounces",
       "rule=no-bounces-to, action=reject"},
      {"<>", {"postmaster@example.com"}, {Go, Go, Accept}, "",
       "verdict=not checked, message-ids=0, rule=never-refuse (<postmaster@example.com>), action=accept"},
      {"<carol@example.org>", {"alice@example.com"}, {Go, Go, Refuse},
       "reply 550 5.7.1 Backscatter: the returned message was not sent from here",
       "verdict=backscatter, message-ids=1, rule=pattern, action=reject"},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Sender + " to " + Case.Recipients.back());
    auto Session = NewSession(Milter);
    TFakeReply Reply;
    const std::size_t LinesBefore = Milter.Log->Lines().size();
    EXPECT_EQ(SendTo(Session, Reply, Case.Sender, Case.Recipients, Forged), Case.Answers);
    EXPECT_EQ(Reply.Calls, Case.Reply.empty() ? std::vector<std::string>{} : std::vector<std::string>{Case.Reply});
    const std::vector<std::string> Lines = Milter.Log->Lines();
    if (Case.Logged.empty()) {
      EXPECT_EQ(Lines.size(), LinesBefore);
      continue;
    }
    ASSERT_EQ(Lines.size(), LinesBefore + 1);
    EXPECT_NE(Lines.back().find(Case.Logged), std::string::npos) << Lines.back();
  }
  EXPECT_EQ(Milter.Context->OpenTransactions(), 0u);
}

} // namespace
