// End-to-end: the verdict and error lines of a check through the built tool.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using bwtest::RunTool;
using bwtest::TRunResult;

namespace {

const std::string Backscatter = "Backscatter DSN.\r\n";
const std::string NotBackscatter = "Not backscatter DSN.\r\n";
const std::string ForeignReport = "report-returning-foreign-message.eml";

std::string Fixture(const std::string &AName) { return bwtest::FixturePath("e2e/" + AName); }

TRunResult Check(const std::string &APath, const std::string &APattern, const std::string &ASender = "-s") {
  return RunTool({ASender, APath, APattern});
}

void ExpectOutput(const TRunResult &AResult, const std::string &AStdout, int AExitCode) {
  EXPECT_EQ(AResult.Stdout, AStdout);
  EXPECT_EQ(AResult.ExitCode, AExitCode);
  EXPECT_EQ(AResult.Stderr, "");
}

// Show that a report returning a message whose Message-ID the pattern does not match is backscatter.
TEST(CheckTest, ForeignReturnedMessageIsBackscatter) {
  ExpectOutput(Check(Fixture(ForeignReport), ".*@example\\.com$"), Backscatter, 1);
}

// Show that a report returning a message whose Message-ID matches is a genuine bounce.
TEST(CheckTest, OwnReturnedMessageIsNotBackscatter) {
  ExpectOutput(Check(Fixture(ForeignReport), ".*@foreign\\.example$"), NotBackscatter, 0);
}

// Show that a pattern written in capitals still matches the Message-ID.
TEST(CheckTest, PatternInCapitalsMatches) {
  ExpectOutput(Check(Fixture(ForeignReport), ".*@FOREIGN\\.EXAMPLE$"), NotBackscatter, 0);
}

// Show that the pattern is anchored at the Message-ID's first character.
TEST(CheckTest, PatternMatchesOnlyFromTheStartOfTheID) {
  ExpectOutput(Check(Fixture(ForeignReport), "@foreign\\.example$"), Backscatter, 1);
  ExpectOutput(Check(Fixture(ForeignReport), "ABC\\.4711@"), NotBackscatter, 0);
}

// Show that a message that is no report, from an ordinary sender, is not examined for Message-IDs.
TEST(CheckTest, NonReportFromOrdinarySenderIsNotBackscatter) {
  ExpectOutput(Check(Fixture("forwarded-message-not-report.eml"), "(?!)", "-salice@example.org"), NotBackscatter, 0);
}

// Show that an empty or daemon sender makes any message count as a DSN.
TEST(CheckTest, EmptyOrDaemonSenderMakesAnyMessageADsn) {
  for (const std::string Sender : {"-s", "-s Mailer-Daemon@mx.example.org", "/S<postmaster@example.org>"})
    ExpectOutput(Check(Fixture("forwarded-message-not-report.eml"), "(?!)", Sender), Backscatter, 1);
}

// Show that a Message-ID folded onto the next line is read from that line.
TEST(CheckTest, FoldedMessageIDIsReadFromTheNextLine) {
  ExpectOutput(Check(Fixture("report-with-folded-message-id.eml"), "folded\\.1@foreign\\.example$"), NotBackscatter, 0);
  ExpectOutput(Check(Fixture("report-with-folded-message-id.eml"), ".*@example\\.com$"), Backscatter, 1);
}

// Show that an empty Message-ID is matched like any other.
TEST(CheckTest, EmptyMessageIDIsMatchedAsEmptyText) {
  ExpectOutput(Check(Fixture("report-with-empty-message-id.eml"), "x?"), NotBackscatter, 0);
  ExpectOutput(Check(Fixture("report-with-empty-message-id.eml"), ".+"), Backscatter, 1);
}

// Show that a report whose returned headers hold no Message-ID is not backscatter.
TEST(CheckTest, ReportWithoutMessageIDIsNotBackscatter) {
  ExpectOutput(Check(Fixture("report-without-message-id.eml"), "(?!)"), NotBackscatter, 0);
}

// Show that CR LF and lone CR line ends give the same verdicts as LF.
TEST(CheckTest, LineEndsDoNotChangeTheVerdict) {
  const struct {
    std::string File;
    std::string Pattern;
    std::string Verdict;
  } Cases[] = {
      {ForeignReport, "(?!)", Backscatter},
      {ForeignReport, ".*@foreign\\.example$", NotBackscatter},
      {"report-with-folded-message-id.eml", "folded\\.1@", NotBackscatter},
      {"report-with-folded-message-id.eml", "(?!)", Backscatter},
      {"report-with-empty-message-id.eml", ".+", Backscatter},
      {"report-without-message-id.eml", "(?!)", NotBackscatter},
  };
  for (const auto &Case : Cases) {
    const std::string Content = bwtest::ReadFixture("e2e/" + Case.File);
    for (const std::string LineEnd : {"\n", "\r\n", "\r"}) {
      SCOPED_TRACE(Case.File + " / " + Case.Pattern + " / " + testing::PrintToString(LineEnd));
      const std::string Path = bwtest::WriteTempFile("line-ends.eml", bwtest::WithLineEnds(Content, LineEnd));
      ExpectOutput(Check(Path, Case.Pattern), Case.Verdict, Case.Verdict == Backscatter ? 1 : 0);
    }
  }
}

// Show that a missing file ends the run with the open error naming its absolute path.
TEST(CheckTest, MissingFileReportsOpenErrorWithAbsolutePath) {
  const std::string Expected = (std::filesystem::current_path() / "no-such-folder/bounce.eml").string();
  ExpectOutput(Check("no-such-folder/./bounce.eml", ".*"),
               "Unexpected error EFOpenError \"Cannot open file \"" + Expected +
                   "\". No such file or directory\".\r\n",
               255);
}

// Show that a folder in place of the file ends the run with the open error.
TEST(CheckTest, FolderReportsOpenError) {
  const std::string Folder = std::filesystem::path(bwtest::WriteTempFile("beside.eml", "x")).parent_path().string();
  ExpectOutput(Check(Folder, ".*"),
               "Unexpected error EFOpenError \"Cannot open file \"" + Folder + "\". Is a directory\".\r\n", 255);
}

// Show that an empty file is not examined and is not backscatter.
TEST(CheckTest, EmptyFileIsNotBackscatter) {
  ExpectOutput(Check(bwtest::WriteTempFile("empty.eml", ""), "(?!)"), NotBackscatter, 0);
}

// Show that 511999 bytes are still examined while 512000 bytes are not.
TEST(CheckTest, FilesFrom512000BytesAreNotExamined) {
  const std::string Content = bwtest::ReadFixture("e2e/" + ForeignReport);
  ExpectOutput(Check(bwtest::WriteTempFile("511999.eml", bwtest::PaddedTo(Content, 511999)), "(?!)"), Backscatter, 1);
  ExpectOutput(Check(bwtest::WriteTempFile("512000.eml", bwtest::PaddedTo(Content, 512000)), "(?!)"), NotBackscatter, 0);
}

// A report returning headers of type APartType whose Message-ID line is AIdLine.
std::string ReportReturning(const std::string &AIdLine, const std::string &APartType = "text/rfc822-headers") {
  return "From: MAILER-DAEMON@mx.example.org\n"
         "Content-Type: multipart/report; report-type=delivery-status; boundary=\"b\"\n\n"
         "--b\nContent-Type: " + APartType + "\n\nFrom: alice@example.com\n" + AIdLine + "\nSubject: x\n\n--b--\n";
}

// Show that characters outside the BMP work in patterns and in Message-IDs.
TEST(CheckTest, CharactersOutsideTheBmpMatchInIDsAndPatterns) {
  const std::string Path = bwtest::WriteTempFile(
      "emoji.eml", ReportReturning("Message-ID: <\xF0\x9F\x98\x80.1@example.com>", "text/rfc822-headers; charset=utf-8"));
  ExpectOutput(Check(Path, ".*"), NotBackscatter, 0);
  ExpectOutput(Check(Path, ".*@example\\.com$"), NotBackscatter, 0);
  ExpectOutput(Check(Path, "\xF0\x9F\x98\x80\\.1@"), NotBackscatter, 0);
  ExpectOutput(Check(Path, "\xF0\x9F\x98\x81"), Backscatter, 1);
}

// Show that a match PCRE cannot complete gives no verdict: one error line and
// exit 255, whether the ID would have been ours or not, and the ID is not echoed.
TEST(CheckTest, MatchThatHitsALimitIsAnErrorNotAVerdict) {
  std::string OwnId;
  for (int I = 0; I < 1500; ++I)
    OwnId += "ab";
  const TRunResult Recursion =
      Check(bwtest::WriteTempFile("recursion.eml", ReportReturning("Message-ID: <" + OwnId + "@x>")), "(a|b)*@x$");
  ExpectOutput(Recursion,
               "Unexpected error ERegexMatchError \"Message-ID regular expression \"(a|b)*@x$\" failed on "
               "Message-ID 1 of 1: recursion limit exceeded\".\r\n",
               255);

  std::string ForeignId = "x@";
  for (int I = 0; I < 40; ++I)
    ForeignId += "a.";
  const TRunResult Limit = Check(
      bwtest::WriteTempFile("limit.eml", ReportReturning("Message-ID: <" + ForeignId + "evil.example>")),
      ".*@(.*\\.)*example\\.com$");
  ExpectOutput(Limit,
               "Unexpected error ERegexMatchError \"Message-ID regular expression \".*@(.*\\.)*example\\.com$\" "
               "failed on Message-ID 1 of 1: match limit exceeded\".\r\n",
               255);
}

// Show that a Message-ID folded onto the next line after a bare "Message-ID:"
// is found, and that an unfolded "Message-ID:" without a blank is skipped.
TEST(CheckTest, MessageIdFoldedWithoutBlankIsFound) {
  const std::string Folded = bwtest::WriteTempFile(
      "folded.eml", ReportReturning("Message-ID:\n <own.1@example.com>\nX-Network-Message-Id: <guid@x>"));
  ExpectOutput(Check(Folded, ".*@example\\.com$"), NotBackscatter, 0);
  const std::string Unfolded =
      bwtest::WriteTempFile("unfolded.eml", ReportReturning("Message-ID:<own.1@example.com>\nX-Id: <x@y>"));
  ExpectOutput(Check(Unfolded, "(?!)"), NotBackscatter, 0);
}

} // namespace
