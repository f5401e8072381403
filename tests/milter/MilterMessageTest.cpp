// TMilterMessage: the sender of MAIL FROM, the decision at end of headers,
// the rebuilt bytes and the size bound, as the milter callbacks drive them.
#include "milter/MilterMessage_un.h"

#include "detector/BackscatterDetector_un.h"
#include "support/MessageCheck.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using bw::TMilterMessage;

namespace {

using THeaders = std::vector<std::pair<std::string, std::string>>;

TEST(MilterMessageTest, SenderLosesAngleBracketsAndNullSenderIsEmpty) {
  const std::pair<std::string, std::string> Cases[] = {
      {"<>", ""},       {"<a@b.example>", "a@b.example"}, {" <a@b.example> ", "a@b.example"},
      {"a@b.example", "a@b.example"}, {"<", "<"},         {"", ""},
      {"< MAILER-DAEMON@x.example >", "MAILER-DAEMON@x.example"},
  };
  for (const auto &[MailFrom, Sender] : Cases) {
    SCOPED_TRACE(MailFrom);
    EXPECT_EQ(TMilterMessage::ParseSender(MailFrom), Sender);
  }
}

TEST(MilterMessageTest, EndOfHeadersFollowsTheDetectorsRuleOnTheFirstContentType) {
  struct TCase {
    std::string MailFrom;
    THeaders Headers;
    bw::TEndOfHeaders Expected;
  };
  const TCase Cases[] = {
      {"<a@b.example>", {{"Content-Type", " multipart/report; report-type=delivery-status"}}, bw::ehWantBody},
      {"<a@b.example>", {{"content-type", " Multipart/Report;\n\tx=y"}}, bw::ehWantBody},
      {"<a@b.example>", {{"Content-Type", " text/plain"}}, bw::ehNotDSN},
      {"<a@b.example>", {{"Subject", " multipart/report"}}, bw::ehNotDSN},
      {"<a@b.example>", {}, bw::ehNotDSN},
      // Only the first Content-Type counts, as in the message object.
      {"<a@b.example>", {{"Content-Type", " text/plain"}, {"Content-Type", " multipart/report"}}, bw::ehNotDSN},
      {"<a@b.example>", {{"Content-Type", " multipart/report"}, {"Content-Type", " text/plain"}}, bw::ehWantBody},
      {"<>", {{"Content-Type", " text/plain"}}, bw::ehWantBody},
      {"<MAILER-DAEMON@mx.example>", {}, bw::ehWantBody},
      {"<Postmaster@mx.example>", {}, bw::ehWantBody},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.MailFrom + (Case.Headers.empty() ? "" : Case.Headers[0].second));
    TMilterMessage Message(bw::hvAsReceived);
    Message.Start(Case.MailFrom);
    for (const auto &[Name, Value] : Case.Headers)
      Message.AddHeader(Name, Value);
    EXPECT_EQ(Message.EndOfHeaders(), Case.Expected);
  }
}

TEST(MilterMessageTest, RebuiltBytesHaveOneCrLfLinePerHeaderABlankLineAndTheBodyAsGiven) {
  struct TCase {
    bw::THeaderValueForm Form;
    THeaders Headers;
    std::vector<std::string> Body;
    std::string Expected;
  };
  const TCase Cases[] = {
      {bw::hvAsReceived, {{"Subject", " hi"}, {"X-Tight", "x"}}, {"a\r\n", "b"},
       "Subject: hi\r\nX-Tight:x\r\n\r\na\r\nb"},
      {bw::hvLeadingSpaceStripped, {{"Subject", "hi"}}, {}, "Subject: hi\r\n\r\n"},
      // Folded values arrive with bare LF (Postfix) or CR LF (Sendmail).
      {bw::hvAsReceived, {{"Content-Type", " a;\n\tb=c"}, {"To", " x,\r\n y"}}, {"\n"},
       "Content-Type: a;\r\n\tb=c\r\nTo: x,\r\n y\r\n\r\n\n"},
      {bw::hvAsReceived, {{"X-Empty", ""}}, {""}, "X-Empty:\r\n\r\n"},
  };
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Case.Expected);
    TMilterMessage Message(Case.Form);
    Message.Start("<>");
    for (const auto &[Name, Value] : Case.Headers)
      Message.AddHeader(Name, Value);
    ASSERT_EQ(Message.EndOfHeaders(), bw::ehWantBody);
    for (const std::string &Chunk : Case.Body)
      EXPECT_TRUE(Message.AddBody(Chunk));
    EXPECT_EQ(Message.TakeContent(), Case.Expected);
  }
}

// Splits a fixture as an MTA hands it over: each header's name and raw value
// (folds kept as LF), and the body with CR LF line ends.
void FeedLikeAnMta(const std::string &AFile, TMilterMessage &AMessage) {
  const std::size_t End = AFile.find("\n\n");
  const std::string Head = AFile.substr(0, End + 1);
  std::size_t Position = 0;
  while (Position < Head.size()) {
    std::size_t LineEnd = Head.find('\n', Position);
    while (LineEnd + 1 < Head.size() && (Head[LineEnd + 1] == ' ' || Head[LineEnd + 1] == '\t'))
      LineEnd = Head.find('\n', LineEnd + 1);
    const std::string Field = Head.substr(Position, LineEnd - Position);
    const std::size_t Colon = Field.find(':');
    AMessage.AddHeader(Field.substr(0, Colon), Field.substr(Colon + 1));
    Position = LineEnd + 1;
  }
  ASSERT_EQ(AMessage.EndOfHeaders(), bw::ehWantBody);
  EXPECT_TRUE(AMessage.AddBody(bwtest::WithLineEnds(AFile.substr(End + 2), "\r\n")));
}

TEST(MilterMessageTest, RebuiltFixturesGetTheVerdictOfTheirFiles) {
  const bw::TMessageIdPattern Pattern(".*@example\\.com$");
  int Checked = 0;
  for (const auto &Entry : std::filesystem::recursive_directory_iterator(bwtest::FixturePath(""))) {
    if (Entry.path().extension() != ".eml")
      continue;
    const std::string File = bwtest::ReadFixture(std::filesystem::relative(Entry.path(), bwtest::FixturePath("")));
    if (File.find("\n\n") == std::string::npos || File.find('\r') != std::string::npos || File.starts_with("From "))
      continue;
    SCOPED_TRACE(Entry.path().string());
    TMilterMessage Message(bw::hvAsReceived);
    Message.Start("<>");
    FeedLikeAnMta(File, Message);
    const bwtest::TCheckResult Expected = bwtest::CheckMessage("", File, Pattern);
    const bwtest::TCheckResult Rebuilt = bwtest::CheckMessage("", Message.TakeContent(), Pattern);
    EXPECT_EQ(Rebuilt.Backscatter, Expected.Backscatter);
    EXPECT_EQ(Rebuilt.MessageIDCount, Expected.MessageIDCount);
    ++Checked;
  }
  EXPECT_GT(Checked, 20);
}

TEST(MilterMessageTest, MessagesReachingTheDetectorsBoundAreDroppedAndTheNextStartsFresh) {
  constexpr std::size_t Bound = bw::TBackscatterDetector::MaxMessageSize;
  const std::string Header = "Content-Type: multipart/report\r\n\r\n";
  for (const std::size_t Total : {Bound - 1, Bound, Bound + 1}) {
    SCOPED_TRACE(Total);
    TMilterMessage Message(bw::hvAsReceived);
    Message.Start("<a@b.example>");
    Message.AddHeader("Content-Type", " multipart/report");
    ASSERT_EQ(Message.EndOfHeaders(), bw::ehWantBody);
    const std::size_t BodySize = Total - Header.size();
    const bool Kept = Message.AddBody(std::string(BodySize - 10, 'x'));
    EXPECT_EQ(Message.AddBody(std::string(10, 'y')), Total < Bound);
    EXPECT_TRUE(Kept);
    EXPECT_EQ(Message.TooLarge(), Total >= Bound);
    EXPECT_EQ(Message.TakeContent().size(), Total < Bound ? Total : 0);
    // The next transaction forgets the sender, the size and the Content-Type.
    Message.Start("<c@d.example>");
    EXPECT_EQ(Message.Sender(), "c@d.example");
    EXPECT_FALSE(Message.TooLarge());
    EXPECT_EQ(Message.EndOfHeaders(), bw::ehNotDSN);
  }
  TMilterMessage Headers(bw::hvAsReceived);
  Headers.Start("<>");
  Headers.AddHeader("X-Big", std::string(Bound, 'h'));
  EXPECT_EQ(Headers.EndOfHeaders(), bw::ehTooLarge);
}

} // namespace
