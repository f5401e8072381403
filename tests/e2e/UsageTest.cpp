// End-to-end: the help and command-line error outputs of the built tool.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using bwtest::RunTool;

namespace {

const std::string Usage =
    "bouncewarden 0.1.0 - tells backscatter from genuine bounces\r\n"
    "Copyright (c) 2026 the bouncewarden developers\r\n"
    "\r\n"
    "Usage:\r\n"
    "\r\n"
    "  bouncewarden.exe [-help] -s<p1sender> <mimefile> <msgidregex>\r\n"
    "\r\n"
    "Arguments:\r\n"
    "\r\n"
    "  p1sender     Email P1 (envelope) sender email address.\r\n"
    "               Mandatory parameter.\r\n"
    "  mimefile     The MIME email file to be checked. Mandatory parameter.\r\n"
    "  msgidregex   Regular expression that has to match on the bounced email\r\n"
    "               Message-ID (case-insensitive). Mandatory parameter.\r\n"
    "  help         Displays this help page.\r\n"
    "\r\n"
    "All arguments are positional, specify them in the above order.\r\n"
    "\r\n"
    "Examples:\r\n"
    "\r\n"
    "  bouncewarden.exe -s\"\" \"bounce.eml\" \".*@example\\.com$\"\r\n"
    "  bouncewarden.exe -s\"\" \"bounce.eml\" \".*(@example\\.com|@example\\.net)$\"\r\n"
    "  bouncewarden.exe -help\r\n";

// Show that no argument, and every help form, prints banner and usage and exits 0.
TEST(UsageTest, HelpFormsPrintUsage) {
  for (const std::vector<std::string> &Args :
       std::vector<std::vector<std::string>>{{}, {"-help"}, {"HELP"}, {"/help"}, {"--?"}, {"?"}, {""}, {"", "-help", ""}}) {
    const bwtest::TRunResult Result = RunTool(Args);
    EXPECT_EQ(Result.ExitCode, 0);
    EXPECT_EQ(Result.Stdout, Usage);
    EXPECT_EQ(Result.Stderr, "");
  }
}

// Show that each invalid command line prints the usage, an empty line and its ERROR line, and exits 254.
TEST(UsageTest, InvalidCommandLinesEndInErrorLine) {
  const struct {
    std::vector<std::string> Args;
    std::string Error;
  } Cases[] = {
      {{"-x"}, "Invalid or incomplete parameter \"-x\"."},
      {{"-h"}, "Invalid or incomplete parameter \"-h\"."},
      {{"help "}, "Invalid or incomplete parameter \"help \"."},
      {{"-s", "a.eml"}, "Invalid number of parameters. See \"Examples\" for usage hints."},
      {{"-s", "x@y", "a.eml", ".*"}, "Invalid number of parameters. See \"Examples\" for usage hints."},
      {{"-help", "-s", "a.eml", ".*"}, "Invalid number of parameters. See \"Examples\" for usage hints."},
      {{"bounce.eml", "a.eml", ".*"}, "The P1 (envelope) sender address parameter was not found."},
      {{"-s", "a.eml", "("}, "Invalid Message-ID regular expression \"(\": missing ) at offset 1."},
  };
  for (const auto &Case : Cases) {
    const bwtest::TRunResult Result = RunTool(Case.Args);
    EXPECT_EQ(Result.ExitCode, 254);
    EXPECT_EQ(Result.Stdout, Usage + "\r\nERROR: " + Case.Error + "\r\n");
    EXPECT_EQ(Result.Stderr, "");
  }
}

} // namespace
