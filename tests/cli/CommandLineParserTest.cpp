// TCommandLineParser: help and check requests, the three error messages and
// the place of the expression check, through Parse and its two helpers.
#include "cli/CommandLineParser_un.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using bw::TAppParameters;
using bw::TCommandLineParser;

namespace {

const std::string CountError = "Invalid number of parameters. See \"Examples\" for usage hints.";
const std::string SenderError = "The P1 (envelope) sender address parameter was not found.";

struct TParseResult {
  bool Ok = false;
  std::string Error;
  TAppParameters Parameters;
};

// The program's pattern check stands apart from the parser: this one refuses
// any expression holding "(" and names what it was given.
std::optional<std::string> RefuseParenthesis(const std::string &AExpression) {
  if (AExpression.find('(') == std::string::npos)
    return std::nullopt;
  return "refused [" + AExpression + "]";
}

// Parses AArgs into parameters that already hold a check request, so that a
// parse that should leave fields alone can be seen doing so.
TParseResult ParseOver(const std::vector<std::string> &AArgs) {
  TParseResult Result;
  Result.Parameters = {"old.eml", "old@example.com", "old", bw::aaCheckFile};
  Result.Error = "stale";
  Result.Ok = TCommandLineParser::Parse(Result.Parameters, Result.Error, AArgs, RefuseParenthesis);
  return Result;
}

void ExpectUnchanged(const TAppParameters &AParameters) {
  EXPECT_EQ(AParameters.MimeFile, "old.eml");
  EXPECT_EQ(AParameters.P1Sender, "old@example.com");
  EXPECT_EQ(AParameters.MsgIdRegex, "old");
  EXPECT_EQ(AParameters.Action, bw::aaCheckFile);
}

TEST(CommandLineParserTest, NoArgumentOrHelpSwitchRequestsHelpAndSetsOnlyAction) {
  for (const std::vector<std::string> &Args : std::vector<std::vector<std::string>>{
           {}, {"help"}, {"HELP"}, {"-help"}, {"/Help"}, {"--hElP"}, {"?"}, {"-?"}, {"/?"}, {"--?"}}) {
    SCOPED_TRACE(Args.empty() ? "(none)" : Args[0]);
    const TParseResult Result = ParseOver(Args);
    EXPECT_TRUE(Result.Ok);
    EXPECT_EQ(Result.Error, "");
    EXPECT_EQ(Result.Parameters.Action, bw::aaShowHelp);
    EXPECT_EQ(Result.Parameters.MimeFile, "old.eml");
    EXPECT_EQ(Result.Parameters.P1Sender, "old@example.com");
    EXPECT_EQ(Result.Parameters.MsgIdRegex, "old");
  }
}

TEST(CommandLineParserTest, SingleOtherArgumentIsQuotedUntrimmedInTheError) {
  for (const std::string Arg : {"-h", "-x", "help ", " help", "---help", "-/help", "helpme", "??", "-s"}) {
    SCOPED_TRACE(Arg);
    const TParseResult Result = ParseOver({Arg});
    EXPECT_FALSE(Result.Ok);
    EXPECT_EQ(Result.Error, "Invalid or incomplete parameter \"" + Arg + "\".");
    ExpectUnchanged(Result.Parameters);
  }
}

TEST(CommandLineParserTest, TwoOrFourOrMoreArgumentsAreACountError) {
  for (const std::vector<std::string> &Args : std::vector<std::vector<std::string>>{
           {"-s", "a.eml"},
           {"-s", "x@example.com", "a.eml", ".*"},
           {"-help", "-s", "a.eml", ".*"},
           {"-s", "a.eml", ".*", "x", "y"}}) {
    const TParseResult Result = ParseOver(Args);
    EXPECT_FALSE(Result.Ok);
    EXPECT_EQ(Result.Error, CountError);
    ExpectUnchanged(Result.Parameters);
  }
}

TEST(CommandLineParserTest, CheckRequestSetsAllFieldsTrimmed) {
  const TParseResult Result = ParseOver({" -s bob@example.net\t", "  dir/bounce.eml\t", " .*@example\\.com$  "});
  ASSERT_TRUE(Result.Ok);
  EXPECT_EQ(Result.Error, "");
  EXPECT_EQ(Result.Parameters.Action, bw::aaCheckFile);
  EXPECT_EQ(Result.Parameters.P1Sender, "bob@example.net");
  EXPECT_EQ(Result.Parameters.MimeFile, "dir/bounce.eml");
  EXPECT_EQ(Result.Parameters.MsgIdRegex, ".*@example\\.com$");
}

TEST(CommandLineParserTest, ExpressionOfOnlyBlanksBecomesEmptyPattern) {
  const TParseResult Result = ParseOver({"-s", "a.eml", "   "});
  ASSERT_TRUE(Result.Ok);
  EXPECT_EQ(Result.Parameters.MsgIdRegex, "");
  EXPECT_EQ(Result.Parameters.P1Sender, "");
}

TEST(CommandLineParserTest, SenderIsTheTextAfterTheFirstSOfTheFirstArgument) {
  const struct {
    std::string Arg;
    std::string Sender;
  } Cases[] = {
      {"-s", ""},
      {"-S", ""},
      {"/s", ""},
      {"--s", ""},
      {"s", ""},
      {"-sbob@example.net", "bob@example.net"},
      {"-ssales@example.net", "sales@example.net"},
      {"-Sender@example.net", "ender@example.net"},
      {"-x s  <MAILER-DAEMON@example.net> ", "<MAILER-DAEMON@example.net>"},
      {"\t-s \x01", ""},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Arg);
    std::string Sender = "stale";
    EXPECT_TRUE(TCommandLineParser::ParseSenderSwitch(Case.Arg, Sender));
    EXPECT_EQ(Sender, Case.Sender);

    const TParseResult Result = ParseOver({Case.Arg, "a.eml", ".*"});
    EXPECT_TRUE(Result.Ok);
    EXPECT_EQ(Result.Parameters.P1Sender, Case.Sender);
  }
}

TEST(CommandLineParserTest, FirstArgumentWithoutSIsASenderError) {
  for (const std::string Arg : {"bounce.eml", "-x", "-p", "\x01\x02"}) {
    SCOPED_TRACE(Arg);
    std::string Sender = "stale";
    EXPECT_FALSE(TCommandLineParser::ParseSenderSwitch(Arg, Sender));
    EXPECT_EQ(Sender, "");

    // The sender is looked for before the expression is compiled.
    const TParseResult Result = ParseOver({Arg, "a.eml", "("});
    EXPECT_FALSE(Result.Ok);
    EXPECT_EQ(Result.Error, SenderError);
    ExpectUnchanged(Result.Parameters);
  }
}

TEST(CommandLineParserTest, RefusedExpressionIsAnErrorWithTheChecksMessage) {
  const struct {
    std::string Expression;
    std::string Error;
  } Cases[] = {
      {"(", "refused [(]"},
      {"  a(b\t", "refused [a(b]"},  // the check sees the trimmed expression
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Expression);
    const TParseResult Result = ParseOver({"-s", "a.eml", Case.Expression});
    EXPECT_FALSE(Result.Ok);
    EXPECT_EQ(Result.Error, Case.Error);
    ExpectUnchanged(Result.Parameters);
  }
}

TEST(CommandLineParserTest, IsSwitchFoldsOnlyAsciiLettersAndTakesFourPrefixes) {
  const struct {
    std::string Arg;
    std::string Name;
    bool Expected;
  } Cases[] = {
      {"help", "help", true},     {"HeLp", "help", true},    {"-HELP", "help", true},   {"/help", "help", true},
      {"--help", "help", true},   {"?", "?", true},          {"--?", "?", true},        {"---help", "help", false},
      {"-/help", "help", false},  {"help ", "help", false},  {"-hel", "help", false},   {"helpx", "help", false},
      {"", "help", false},        {"-", "help", false},      {"\xC3\xA9", "\xC3\x89", false},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Arg + " / " + Case.Name);
    EXPECT_EQ(TCommandLineParser::IsSwitch(Case.Arg, Case.Name), Case.Expected);
  }
}

TEST(CommandLineParserTest, SplitArgumentsDropsProgramNameAndEmptyElements) {
  const char *const Argv[] = {"bouncewarden", "", "-s", "", "a b.eml", ".*", ""};
  EXPECT_EQ(TCommandLineParser::SplitArguments(7, Argv), (std::vector<std::string>{"-s", "a b.eml", ".*"}));
  EXPECT_EQ(TCommandLineParser::SplitArguments(1, Argv), std::vector<std::string>{});
}

} // namespace
