// End-to-end: the message read from standard input ("-" as the file name), as
// mail filters hand it over: redirected from a file, or written into a pipe.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using bwtest::RunTool;
using bwtest::TFedRunResult;
using bwtest::TRunResult;

namespace {

const std::string Backscatter = "Backscatter DSN.\r\n";
const std::string NotBackscatter = "Not backscatter DSN.\r\n";
const std::string ForeignReport = "report-returning-foreign-message.eml";
const std::string MboxFromLine = "From MAILER-DAEMON  Mon Dec  7 09:12:03 2026\n";

std::string Fixture(const std::string &AName) { return bwtest::FixturePath("e2e/" + AName); }
std::string FixtureText(const std::string &AName) { return bwtest::ReadFixture("e2e/" + AName); }

void ExpectOutput(const TRunResult &AResult, const std::string &AVerdict) {
  EXPECT_EQ(AResult.Stdout, AVerdict);
  EXPECT_EQ(AResult.ExitCode, AVerdict == Backscatter ? 1 : 0);
  EXPECT_EQ(AResult.Stderr, "");
}

struct TCase {
  std::string File;
  std::string Sender;
  std::string Pattern;
  std::string Verdict;
};

// Each verdict the check can reach: a foreign and an own returned Message-ID,
// a non-report from an ordinary sender, the empty sender making any message
// a DSN, a folded ID and a report without one.
const std::vector<TCase> Cases = {
    {ForeignReport, "-s", ".*@example\\.com$", Backscatter},
    {ForeignReport, "-s", ".*@foreign\\.example$", NotBackscatter},
    {"forwarded-message-not-report.eml", "-salice@example.org", "(?!)", NotBackscatter},
    {"forwarded-message-not-report.eml", "-s", "(?!)", Backscatter},
    {"report-with-folded-message-id.eml", "-s", "folded\\.1@foreign\\.example$", NotBackscatter},
    {"report-with-folded-message-id.eml", "-s", "(?!)", Backscatter},
    {"report-without-message-id.eml", "-s", "(?!)", NotBackscatter},
};

std::string Trace(const TCase &ACase) { return ACase.File + " / " + ACase.Sender + " / " + ACase.Pattern; }

// Show that "-" with standard input redirected from the file, or fed through
// a pipe, gives the verdict the file's path gives.
TEST(StdinTest, StandardInputGivesTheVerdictOfTheFilePath) {
  for (const TCase &Case : Cases) {
    SCOPED_TRACE(Trace(Case));
    ExpectOutput(RunTool({Case.Sender, Fixture(Case.File), Case.Pattern}), Case.Verdict);
    {
      SCOPED_TRACE("stdin redirected from the file");
      ExpectOutput(bwtest::RunToolWithInputFile({Case.Sender, "-", Case.Pattern}, Fixture(Case.File)), Case.Verdict);
    }
    {
      SCOPED_TRACE("stdin is a pipe");
      const std::string Content = FixtureText(Case.File);
      const TFedRunResult Result = bwtest::RunToolWithInput({Case.Sender, "-", Case.Pattern}, Content);
      ExpectOutput(Result, Case.Verdict);
      EXPECT_TRUE(Result.AllInputWritten(Content)) << Result.BytesWritten << " bytes, errno " << Result.WriteError;
    }
  }
}

// Show that an mbox "From " line in front of the message and CR LF line ends,
// alone or together, give the verdict of the plain LF file.
TEST(StdinTest, MboxFromLineAndCrLfLineEndsKeepTheVerdict) {
  for (const TCase &Case : Cases) {
    const std::string Content = FixtureText(Case.File);
    const struct {
      std::string Name;
      std::string Input;
    } Forms[] = {
        {"From line", MboxFromLine + Content},
        {"CR LF", bwtest::WithLineEnds(Content, "\r\n")},
        {"From line and CR LF", bwtest::WithLineEnds(MboxFromLine + Content, "\r\n")},
    };
    for (const auto &Form : Forms) {
      SCOPED_TRACE(Trace(Case) + " / " + Form.Name);
      const TFedRunResult Result = bwtest::RunToolWithInput({Case.Sender, "-", Case.Pattern}, Form.Input);
      ExpectOutput(Result, Case.Verdict);
      EXPECT_TRUE(Result.AllInputWritten(Form.Input));
    }
  }
}

// Show that a writer sending a 2 MB message into the pipe can write all of it
// (no broken pipe), and that a message that large is not examined.
TEST(StdinTest, LargeMessageInPipeIsReadToItsEndAndNotExamined) {
  // Examined, the padded report would be backscatter: the pattern matches no ID.
  const std::string Input = bwtest::PaddedTo(FixtureText(ForeignReport), 2 * 1024 * 1024);
  const TFedRunResult Result = bwtest::RunToolWithInput({"-s", "-", "(?!)"}, Input);
  ExpectOutput(Result, NotBackscatter);
  EXPECT_EQ(Result.WriteError, 0);
  EXPECT_EQ(Result.BytesWritten, Input.size());
}

// Show that through a pipe, as for a file, 511999 bytes are still examined
// while 512000 bytes are not, and both are read to their end.
TEST(StdinTest, PipeBoundIs511999Bytes) {
  const std::string Content = FixtureText(ForeignReport);
  for (const auto &[Size, Verdict] : {std::pair{511999u, Backscatter}, std::pair{512000u, NotBackscatter}}) {
    SCOPED_TRACE(Size);
    const std::string Input = bwtest::PaddedTo(Content, Size);
    const TFedRunResult Result = bwtest::RunToolWithInput({"-s", "-", "(?!)"}, Input);
    ExpectOutput(Result, Verdict);
    EXPECT_TRUE(Result.AllInputWritten(Input));
  }
}

// Show that an empty pipe, as an empty file, is not backscatter.
TEST(StdinTest, EmptyPipeIsNotBackscatter) {
  ExpectOutput(bwtest::RunToolWithInput({"-s", "-", "(?!)"}, ""), NotBackscatter);
}

} // namespace
