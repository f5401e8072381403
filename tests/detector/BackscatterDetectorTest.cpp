// TBackscatterDetector through its entry points: the size bound, the open
// error, the decision whether a message is a bounce, the returned parts in
// document order with the text body as fallback, and the verdict.
#include "detector/BackscatterDetector_un.h"

#include "rtl/SysUtils_un.h"
#include "support/MessageCheck.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using bw::TBackscatterDetector;
using bw::TMessageIdPattern;

namespace {
std::vector<std::u16string> IDsOf(const std::string &AContent, const std::string &ASender = "") {
  return TBackscatterDetector::ReturnedMessageIDs(ASender, AContent);
}

std::vector<std::u16string> IDsOfFixture(const std::string &AName) {
  return IDsOf(bwtest::ReadFixture("detector/" + AName));
}

const std::string ReportWithReturnedID = "Content-Type: multipart/report; boundary=b\n\n--b\n"
                                         "Content-Type: message/rfc822\n\nMessage-ID: <a@example.com>\n\nx\n--b--\n";
} // namespace

TEST(BackscatterDetectorTest, OnlySizesFromOneToOneBelowTheBoundAreExamined) {
  for (const std::size_t Size : {std::size_t{0}, std::size_t{1}, std::size_t{511999}, std::size_t{512000}}) {
    SCOPED_TRACE(Size);
    const std::string Content = Size == 0 ? "" : bwtest::PaddedTo(ReportWithReturnedID, Size);
    const bool Examined = Size > 0 && Size < TBackscatterDetector::MaxMessageSize;
    EXPECT_EQ(IDsOf(Content).size(), Examined && Size > 1 ? 1u : 0u);
    const std::string File = bwtest::WriteTempFile("sized.eml", Content);
    EXPECT_EQ(TBackscatterDetector::IsBackscatter("", File, "(?!)"), Examined && Size > 1);
  }
}

TEST(BackscatterDetectorTest, MissingFileRaisesOpenErrorWithFullPath) {
  const std::string Folder = std::filesystem::path(bwtest::WriteTempFile("present.eml", "x")).parent_path().string();
  EXPECT_EQ(bwtest::RaisedError([&] { TBackscatterDetector::IsBackscatter("", Folder + "/./absent.eml", ".*"); }),
            "EFOpenError: Cannot open file \"" + Folder + "/absent.eml\". No such file or directory");
}

TEST(BackscatterDetectorTest, OnlyABounceIsSearched) {
  const std::string Plain = "From: bob@example.org\n\nMessage-ID: <a@b>\n";
  EXPECT_EQ(IDsOf(Plain, "bob@example.org"), std::vector<std::u16string>{});
  EXPECT_EQ(IDsOf(Plain, ""), std::vector<std::u16string>{u"a@b"});
  EXPECT_EQ(IDsOf(Plain, "MAILER-DAEMON@example.org"), std::vector<std::u16string>{u"a@b"});
  // The report type counts whatever the sender.
  EXPECT_EQ(IDsOf(ReportWithReturnedID, "bob@example.org"), std::vector<std::u16string>{u"a@example.com"});
  EXPECT_FALSE(TBackscatterDetector::IsBackscatter("bob@example.org", bwtest::WriteTempFile("plain.eml", Plain), "(?!)"));
}

TEST(BackscatterDetectorTest, ReturnedPartsComeInDocumentOrderWithTextBodyAsFallback) {
  const struct {
    std::string File;
    std::vector<std::u16string> IDs;
  } Cases[] = {
      {"report-with-rfc822.eml", {u"returned.1@example.com"}},
      {"report-with-rfc822-headers.eml", {u"headers.1@example.com"}},
      {"report-headers-before-rfc822.eml", {u"first@example.com", u"second@example.org"}},
      {"rfc822-nested-in-rfc822.eml", {u"outer@example.com", u"inner@example.net"}},
      {"rfc822-as-root.eml", {u"root@example.com"}},
      {"report-media-type-variants.eml", {u"picked@example.com"}},
      {"report-without-returned-message.eml", {u"quoted@example.com"}},
      {"report-without-text-body.eml", {}},
      {"report-with-utf7-headers.eml", {u"caf\u00E9@example.com"}},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(IDsOfFixture(Case.File), Case.IDs) << Case.File;
}

TEST(BackscatterDetectorTest, VerdictIsTrueOnlyWhenIDsWereFoundAndNoneMatches) {
  const struct {
    std::string File;
    std::string Regex;
    bool Backscatter;
  } Cases[] = {
      {"report-headers-before-rfc822.eml", "(?!)", true},
      {"report-headers-before-rfc822.eml", "first@", false},
      {"report-headers-before-rfc822.eml", "SECOND@example\\.org$", false},
      {"report-headers-before-rfc822.eml", ".*@example\\.net$", true},
      {"report-without-text-body.eml", "(?!)", false},
      {"report-with-rfc822.eml", ".*@example\\.net$", true},
      {"report-with-rfc822.eml", ".*@example\\.com$", false},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.File + " / " + Case.Regex);
    EXPECT_EQ(TBackscatterDetector::IsBackscatter("", bwtest::FixturePath("detector/" + Case.File), Case.Regex),
              Case.Backscatter);
    EXPECT_EQ(bwtest::CheckMessage("", bwtest::ReadFixture("detector/" + Case.File), TMessageIdPattern(Case.Regex))
                  .Backscatter,
              Case.Backscatter);
  }
}

// Show that a pattern that cannot be used ends the check with an error
// instead of a verdict of backscatter.
TEST(BackscatterDetectorTest, UnusablePatternIsAnErrorNotAVerdict) {
  const std::string File = bwtest::FixturePath("detector/report-with-rfc822.eml");
  EXPECT_EQ(bwtest::RaisedError([&] { TBackscatterDetector::IsBackscatter("", File, "("); }),
            "ERegexMatchError: Message-ID regular expression \"(\" cannot be used: missing )");
  // Nothing to match: no error, and not backscatter.
  EXPECT_FALSE(TBackscatterDetector::IsBackscatter("", bwtest::FixturePath("detector/report-without-text-body.eml"), "("));
}
