// The one key of a Message-ID: the sent header's side and the returned ID's
// side must meet, through the detector, for every form a header takes; and
// the ledger tool's lookup of a typed ID answers what the milter finds.
#include "verdict/MessageIdKey_un.h"

#include "detector/BackscatterDetector_un.h"
#include "ledger/LedgerOpen_un.h"
#include "rtl/Charset_un.h"
#include "support/ReturnedCopies.h"
#include "support/TestSupport.h"
#include "verdict/Verdict_un.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace bw;

// Show that the bytes of a raw header value are the text a ledger records:
// line ends, blanks and angle brackets gone, ASCII letters lower-cased,
// every other byte kept (no charset is applied), and nothing for a value
// without an ID or with an empty one.
TEST(MessageIdKeyTest, RawHeaderValueGivesTheLedgerText) {
  const struct {
    std::string Raw;
    std::optional<std::string> Text;
  } Cases[] = {
      {" <Abc.1@Example.COM>", "abc.1@example.com"},
      {"\r\n\t<A@B>  \r\n", "a@b"},
      {" <\xC3\x84x@B>", "\xC3\x84x@b"},
      {" <a\xFF" "b@c>", "a\xFF" "b@c"},
      {" <a@b> (comment)", "a@b(comment)"},
      {" <>", std::nullopt},
      {"   ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(SentMessageIdText(Case.Raw), Case.Text) << testing::PrintToString(Case.Raw);
  EXPECT_EQ(ReturnedMessageIdText(u""), std::nullopt);
}

// A delivery report that returns a message sent with AHeaderValue as its
// Message-ID, as an MTA would write it.
std::string BounceReturning(const std::string &AHeaderValue) {
  return "From: MAILER-DAEMON@mx.example.net\n"
         "Content-Type: multipart/report; report-type=delivery-status; boundary=\"b\"\n\n"
         "--b\nContent-Type: text/plain\n\nUndeliverable.\n"
         "--b\nContent-Type: message/rfc822\n\n"
         "From: alice@example.com\nMessage-ID:" + AHeaderValue + "\nSubject: hi\n\nhello\n--b--\n";
}

// Show that for each form a sent Message-ID header takes, the key recorded
// from it and the key of the ID its bounce returns are one.
TEST(MessageIdKeyTest, SentAndReturnedKeysMeetThroughTheDetector) {
  const std::string Values[] = {
      " <20261207091508.4F2A1@Example.COM>",
      " <plain@example.com>",
      "\n\t<folded.onto.next.line@example.com>",
      " <a+b=c/d@example.com>  ",
      " 20261207.noangle@example.com",
  };
  for (const std::string &Value : Values) {
    SCOPED_TRACE(Value);
    const std::vector<std::u16string> Returned = TBackscatterDetector::ReturnedMessageIDs("", BounceReturning(Value));
    ASSERT_EQ(Returned.size(), 1u);
    const std::optional<std::string> Sent = SentMessageIdText(Value);
    ASSERT_TRUE(Sent.has_value());
    EXPECT_EQ(ReturnedMessageIdText(Returned[0]), Sent);
  }
}

// Show, for every way a returned copy was seen to hide the ID it was sent
// with, that the keys recorded from the sent header block and the keys
// looked up for its bounce meet, and that they meet no other message's.
TEST(MessageIdKeyTest, SentAndReturnedHeaderBlocksMeet) {
  const std::vector<bwtest::TSentAndReturned> Cases = bwtest::SentAndReturnedCases();
  std::vector<std::vector<std::string>> Sent, Returned;
  for (const bwtest::TSentAndReturned &Case : Cases) {
    Sent.push_back(SentMessageIdTexts(HeaderFieldsOf(Case.Sent)));
    Returned.push_back(ReturnedMessageIdTexts(TBackscatterDetector::ReturnedMessage("", Case.Bounce)));
  }
  for (std::size_t I = 0; I < Cases.size(); ++I)
    for (std::size_t J = 0; J < Cases.size(); ++J) {
      const bool Meet = std::any_of(Sent[I].begin(), Sent[I].end(), [&](const std::string &AText) {
        return std::find(Returned[J].begin(), Returned[J].end(), AText) != Returned[J].end();
      });
      EXPECT_EQ(Meet, Cases[I].Sent == Cases[J].Sent) << Cases[I].Name << " sent, " << Cases[J].Name << " returned";
    }
}

std::vector<std::filesystem::path> CorpusMail() {
  std::vector<std::filesystem::path> Files;
  std::error_code Error;
  for (const auto &Entry : std::filesystem::directory_iterator(std::string(BW_CORPUS_DIR) + "/mail", Error))
    Files.push_back(Entry.path());
  std::sort(Files.begin(), Files.end());
  return Files;
}

std::string FileText(const std::filesystem::path &APath) {
  std::ifstream Input(APath, std::ios::binary);
  std::ostringstream Text;
  Text << Input.rdbuf();
  return Text.str();
}

// Show, over every real bounce we hold, that an ID recorded as an
// administrator types it (bouncewarden-ledger add) is found by the milter's
// judgement of the bounce, and that the tool's lookup of each returned ID
// agrees with the milter's verdict.
TEST(MessageIdKeyTest, ToolLookupAgreesWithTheMilterOverTheCorpus) {
  const std::vector<std::filesystem::path> Files = CorpusMail();
  if (Files.empty())
    GTEST_SKIP() << "no corpus at " << BW_CORPUS_DIR;
  bwtest::TScratchFolder Scratch;
  TLedgerOptions Options;
  Options.Uri = "lmdb:" + (Scratch / "ledger");
  TLedgerJudge Judge(OpenLedgerStore(Options, {}), TLedgerHasher(std::string(32, 'k')), std::chrono::days(14));
  std::vector<std::vector<std::u16string>> Returned;
  std::set<std::string> Recorded;  // several bounces return one message
  for (std::size_t I = 0; I < Files.size(); ++I) {
    Returned.push_back(TBackscatterDetector::ReturnedMessageIDs("", FileText(Files[I])));
    if (I % 2 != 0 || Returned.back().empty())
      continue;
    std::string Typed = "<";  // appended: g++ 12 warns falsely (-Wrestrict) on "<" + std::string
    Typed.append(WideToUtf8(Returned.back()[0])).append(">");
    if (const std::optional<std::string> Text = SentMessageIdText(Typed)) {
      ASSERT_EQ(Judge.Record(*Text), rrAccepted);
      Recorded.insert(*Text);
    }
  }
  ASSERT_EQ(Judge.Store().Flush(), rrAccepted);
  std::size_t Judged = 0, Found = 0;
  for (std::size_t I = 0; I < Files.size(); ++I) {
    if (Returned[I].empty())
      continue;
    SCOPED_TRACE(Files[I].filename().string());
    const TDecision Milter = JudgeMessageIDs({nullptr, &Judge}, Returned[I]);
    bool ToolFound = false;
    for (const std::u16string &Id : Returned[I])
      if (const std::optional<std::string> Typed = SentMessageIdText(WideToUtf8(Id)))
        ToolFound = ToolFound || Judge.LookUpText(*Typed) == lrFound;
    const bool MilterFound = Milter.Rule == drLedger && Milter.Verdict == cvNotBackscatter;
    EXPECT_EQ(MilterFound, ToolFound);
    EXPECT_EQ(MilterFound, std::any_of(Returned[I].begin(), Returned[I].end(), [&](const std::u16string &AId) {
                return Recorded.contains(ReturnedMessageIdText(AId).value_or(""));
              }));
    ++Judged;
    Found += MilterFound ? 1 : 0;
  }
  EXPECT_GT(Judged, 100u);
  EXPECT_GT(Found, 50u);
}

} // namespace
