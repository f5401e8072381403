// End-to-end: crafted bounces get their verdict line, never an error line or
// a crash, and a CR-only file gets the same verdict as its LF twin.
#include "support/HostileInputs.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

const std::string NeverMatches = "(?!)";
const std::string MatchesReturnedId = ".*@returned\\.example$";

class HostileTest : public ::testing::TestWithParam<bwtest::THostileInput> {};

// Show that each crafted file is examined to a verdict, and that the verdict
// follows from the Message-ID it returns.
TEST_P(HostileTest, GivesItsVerdict) {
  const bwtest::THostileInput &Input = GetParam();
  ASSERT_LE(Input.Content.size(), bwtest::MaxExaminedSize);
  const std::string Path = bwtest::WriteTempFile(Input.Name + ".eml", Input.Content);

  const bwtest::TRunResult Foreign = bwtest::RunTool({"-s", Path, NeverMatches});
  EXPECT_EQ(Foreign.Stdout, Input.ReturnsId ? "Backscatter DSN.\r\n" : "Not backscatter DSN.\r\n");
  EXPECT_EQ(Foreign.ExitCode, Input.ReturnsId ? 1 : 0);
  EXPECT_EQ(Foreign.Stderr, "");

  const bwtest::TRunResult Ours = bwtest::RunTool({"-s", Path, MatchesReturnedId});
  EXPECT_EQ(Ours.Stdout, "Not backscatter DSN.\r\n");
  EXPECT_EQ(Ours.ExitCode, 0);
}

// Show that costly patterns over a crafted file end in a verdict or in the
// one error line of a match that could not complete, never in anything else.
TEST_P(HostileTest, CostlyPatternsGiveAVerdictOrTheMatchError) {
  const bwtest::THostileInput &Input = GetParam();
  const std::string Path = bwtest::WriteTempFile(Input.Name + ".eml", Input.Content);
  for (const std::string &Pattern : {bwtest::BacktrackingPattern, bwtest::DomainAlternation()}) {
    const bwtest::TRunResult Result = bwtest::RunTool({"-s", Path, Pattern});
    EXPECT_EQ(Result.Stderr, "");
    if (Result.ExitCode == 255) {
      EXPECT_TRUE(Result.Stdout.starts_with("Unexpected error ERegexMatchError \"Message-ID regular expression"))
          << Result.Stdout.substr(0, 200);
      EXPECT_EQ(Result.Stdout.find('\n'), Result.Stdout.size() - 1);
    } else {
      EXPECT_EQ(Result.Stdout, Input.ReturnsId ? "Backscatter DSN.\r\n" : "Not backscatter DSN.\r\n");
      EXPECT_EQ(Result.ExitCode, Input.ReturnsId ? 1 : 0);
    }
  }
}

// Show that turning every line end into a lone CR changes no verdict.
TEST_P(HostileTest, CrOnlyTwinGivesSameVerdict) {
  const bwtest::THostileInput &Input = GetParam();
  std::string CrOnly;
  for (std::size_t I = 0; I < Input.Content.size(); ++I) {
    if (Input.Content[I] == '\r' && I + 1 < Input.Content.size() && Input.Content[I + 1] == '\n')
      continue;
    CrOnly += Input.Content[I] == '\n' ? '\r' : Input.Content[I];
  }
  const std::string Path = bwtest::WriteTempFile(Input.Name + "-cr.eml", CrOnly);
  const bwtest::TRunResult Result = bwtest::RunTool({"-s", Path, NeverMatches});
  EXPECT_EQ(Result.Stdout, Input.ReturnsId ? "Backscatter DSN.\r\n" : "Not backscatter DSN.\r\n");
}

std::string InputName(const ::testing::TestParamInfo<bwtest::THostileInput> &AInfo) {
  std::string Name = AInfo.param.Name;
  for (char &C : Name)
    if (!std::isalnum(static_cast<unsigned char>(C)))
      C = '_';
  return Name;
}

INSTANTIATE_TEST_SUITE_P(Crafted, HostileTest, ::testing::ValuesIn(bwtest::HostileInputs()), InputName);

} // namespace
