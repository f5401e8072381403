// ParseMilterOptions: defaults, each option's effect, and the refusals that
// end the process with 64 (usage) or 78 (pattern).
#include "milter/MilterOptions_un.h"

#include "rtl/ExitCodes_un.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using bw::ParseMilterOptions;
using bw::TMilterParseResult;

namespace {

TMilterParseResult Parse(std::vector<std::string> AArgs) { return ParseMilterOptions(AArgs); }

TEST(MilterOptionsTest, PatternAloneGivesTheDefaults) {
  const TMilterParseResult Result = Parse({"--pattern=.*@example\\.com$"});
  ASSERT_EQ(Result.Request, bw::mrRun) << Result.Message;
  const bw::TMilterOptions &Options = Result.Options;
  EXPECT_EQ(Options.Pattern, ".*@example\\.com$");
  EXPECT_EQ(Options.Listen, "unix:/run/bouncewarden/milter.sock");
  EXPECT_EQ(Options.Action, bw::maReject);
  EXPECT_EQ(Options.ReplyCode + " " + Options.ReplyStatus + " " + Options.ReplyText,
            "550 5.7.1 Backscatter: the returned message was not sent from here");
  EXPECT_EQ(Options.OnError, bw::epAccept);
  EXPECT_EQ(Options.SocketMode, 0660u);
  EXPECT_GE(Options.Workers, 1u);
  EXPECT_EQ(Options.TimeoutSeconds, 300u);
  EXPECT_EQ(Options.StopGraceSeconds, 30u);
  EXPECT_TRUE(Options.User.empty());
  EXPECT_FALSE(Options.LogStderr);
  // No ledger, but the tool's defaults should one be opened.
  EXPECT_FALSE(Options.UsesLedger());
  EXPECT_EQ(Options.Ledger.Uri, "lmdb:/var/lib/bouncewarden/ledger");
  EXPECT_EQ(Options.Ledger.KeyFile, "/etc/bouncewarden/ledger.key");
  EXPECT_EQ(Options.Ledger.RetentionDays, 14u);
  EXPECT_EQ(Options.Ledger.TimeoutMs, 100u);
  EXPECT_EQ(Options.Ledger.MapSizeMiB, 1024u);
}

TEST(MilterOptionsTest, LedgerOptionsReachTheirFieldsAndAnyOfThreeOpensTheLedger) {
  const TMilterParseResult Result =
      Parse({"--ledger=redis+unix:/run/redis.sock", "--ledger-only", "--ledger-key-file=/k", "--retention=30",
             "--record-from= auth , local,10.0.0.0/8,2001:db8::/32,192.0.2.7", "--add-message-id",
             "--ledger-timeout=250", "--ledger-map-size=64"});
  ASSERT_EQ(Result.Request, bw::mrRun) << Result.Message;
  const bw::TMilterOptions &Options = Result.Options;
  EXPECT_TRUE(Options.Pattern.empty());
  EXPECT_EQ(Options.Ledger.Uri, "redis+unix:/run/redis.sock");
  EXPECT_TRUE(Options.LedgerOnly);
  EXPECT_EQ(Options.Ledger.KeyFile, "/k");
  EXPECT_EQ(Options.Ledger.RetentionDays, 30u);
  EXPECT_TRUE(Options.RecordFrom.Auth && Options.RecordFrom.Local);
  ASSERT_EQ(Options.RecordFrom.Networks.size(), 3u);
  EXPECT_EQ(Options.RecordFrom.Networks[2].Text, "192.0.2.7");
  EXPECT_EQ(Options.RecordFrom.Networks[2].PrefixLength, 32u);
  EXPECT_TRUE(Options.AddMessageId);
  EXPECT_EQ(Options.Ledger.TimeoutMs, 250u);
  EXPECT_EQ(Options.Ledger.MapSizeMiB, 64u);
  for (const char *Option : {"--ledger=lmdb:/l", "--ledger-only", "--record-from=local"}) {
    const TMilterParseResult One = Parse({"--pattern=x", Option});
    EXPECT_TRUE(One.Options.UsesLedger()) << Option;
    EXPECT_EQ(One.Options.Ledger.UriGiven, std::string(Option).starts_with("--ledger=")) << Option;
  }
}

TEST(MilterOptionsTest, BatvAndRecipientOptionsReachTheirFieldsAndAreOffByDefault) {
  const bw::TBatvSettings Off = Parse({"--pattern=x"}).Options.Batv;
  EXPECT_FALSE(Off.Any());
  EXPECT_EQ(Off.KeyFile, "/etc/bouncewarden/batv.key");
  EXPECT_EQ(Off.LifetimeDays, 7u);
  const TMilterParseResult Result =
      Parse({"--pattern=x", "--record-from=local", "--batv-sign", "--batv-verify", "--batv-require",
             "--batv-key-file=/k", "--batv-key-number=0", "--batv-previous-key-file=/p", "--batv-lifetime=30",
             "--batv-domains=Example.COM, example.net", "--batv-exempt=/e", "--bounce-one-recipient",
             "--never-refuse=/n", "--no-bounces-to=/b"});
  ASSERT_EQ(Result.Request, bw::mrRun) << Result.Message;
  const bw::TBatvSettings &Batv = Result.Options.Batv;
  EXPECT_TRUE(Batv.Sign && Batv.Verify && Batv.Require && Batv.OneRecipient && Batv.UsesRecipients());
  EXPECT_EQ(Batv.KeyFile + Batv.PreviousKeyFile + Batv.ExemptFile + Batv.NeverRefuseFile + Batv.NoBouncesToFile,
            "/k/p/e/n/b");
  EXPECT_EQ(Batv.PreviousKeyNumber(), 9u);
  EXPECT_EQ(Batv.LifetimeDays, 30u);
  EXPECT_EQ(Batv.Domains, (std::vector<std::string>{"example.com", "example.net"}));
}

TEST(MilterOptionsTest, EveryOptionReachesItsField) {
  const TMilterParseResult Result =
      Parse({"--listen", "inet:8890@127.0.0.1", "--action=quarantine", "--reject-reply=554 5.7.0 Not ours",
             "--on-error=tempfail", "--user=bw", "--socket-owner=postfix:mail", "--socket-mode=0600",
             "--workers=3", "--timeout=2", "--stop-grace=5", "--log-stderr", "--pattern", "x"});
  ASSERT_EQ(Result.Request, bw::mrRun) << Result.Message;
  const bw::TMilterOptions &Options = Result.Options;
  EXPECT_EQ(Options.Pattern, "x");
  EXPECT_EQ(Options.Listen, "inet:8890@127.0.0.1");
  EXPECT_EQ(Options.Action, bw::maQuarantine);
  EXPECT_EQ(Options.ReplyCode + "|" + Options.ReplyStatus + "|" + Options.ReplyText, "554|5.7.0|Not ours");
  EXPECT_EQ(Options.OnError, bw::epTempfail);
  EXPECT_EQ(Options.User, "bw");
  EXPECT_EQ(Options.SocketOwner + "|" + Options.SocketGroup, "postfix|mail");
  EXPECT_EQ(Options.SocketMode, 0600u);
  EXPECT_EQ(Options.Workers, 3u);
  EXPECT_EQ(Options.TimeoutSeconds, 2u);
  EXPECT_EQ(Options.StopGraceSeconds, 5u);
  EXPECT_TRUE(Options.LogStderr);

  for (const auto &[Action, Expected] : std::vector<std::pair<std::string, bw::TMilterAction>>{
           {"reject", bw::maReject}, {"discard", bw::maDiscard}, {"tag", bw::maTag}, {"log", bw::maLog}}) {
    EXPECT_EQ(Parse({"--pattern=x", "--action=" + Action}).Options.Action, Expected) << Action;
  }
  EXPECT_EQ(Parse({"--pattern=x", "--socket-owner=:mail"}).Options.SocketGroup, "mail");
}

TEST(MilterOptionsTest, BadUsageIsRefusedWithTheReason) {
  const std::pair<std::vector<std::string>, std::string> Cases[] = {
      {{}, "--pattern=REGEX or --ledger=URI is required"},
      {{"--listen=unix:/x"}, "--pattern=REGEX or --ledger=URI is required"},
      {{"--record-from=auth"}, "--pattern=REGEX or --ledger=URI is required"},
      {{"--pattern=x", "--add-message-id"}, "--add-message-id needs --record-from=LIST"},
      {{"--pattern=x", "--ledger=ftp://x"}, "for --ledger: Invalid ledger URI"},
      {{"--pattern=x", "--ledger=lmdb:"}, "for --ledger: Invalid ledger URI"},
      {{"--pattern=x", "--record-from=auth,10.0.0.1/8"}, "\"10.0.0.1/8\" is none of auth, local and a network"},
      {{"--pattern=x", "--record-from=2001:db8::/129"}, "for --record-from"},
      {{"--pattern=x", "--record-from=auth,,local"}, "for --record-from"},
      {{"--pattern=x", "--record-from=remote"}, "for --record-from"},
      {{"--pattern=x", "--retention=0"}, "for --retention"},
      {{"--pattern=x", "--ledger-timeout=0"}, "for --ledger-timeout"},
      {{"--pattern=x", "--ledger-map-size=x"}, "for --ledger-map-size"},
      {{"--pattern=x", "--ledger-key-file="}, "for --ledger-key-file"},
      {{"--pattern=x", "--bogus"}, "Unknown or ambiguous option \"--bogus\""},
      {{"--pattern=x", "-p"}, "Unknown or ambiguous option \"-p\""},
      {{"--pattern"}, "Option \"--pattern\" needs an argument"},
      {{"--pattern=x", "--log-stderr=yes"}, "Option \"--log-stderr\" takes no argument"},
      {{"--pattern=x", "stray"}, "Unexpected argument \"stray\""},
      {{"--pattern="}, "Invalid value \"\" for --pattern"},
      {{"--pattern=x", "--action=bounce"}, "Invalid value \"bounce\" for --action"},
      {{"--pattern=x", "--on-error=retry"}, "Invalid value \"retry\" for --on-error"},
      {{"--pattern=x", "--socket-mode=0999"}, "for --socket-mode"},
      {{"--pattern=x", "--socket-mode=1777"}, "for --socket-mode"},
      {{"--pattern=x", "--socket-mode="}, "for --socket-mode"},
      {{"--pattern=x", "--workers=0"}, "for --workers"},
      {{"--pattern=x", "--workers=2x"}, "for --workers"},
      {{"--pattern=x", "--workers=-1"}, "for --workers"},
      {{"--pattern=x", "--socket-owner=:"}, "for --socket-owner"},
      {{"--pattern=x", "--timeout=0"}, "for --timeout"},
      {{"--pattern=x", "--timeout=+5"}, "for --timeout"},
      {{"--pattern=x", "--stop-grace=3601"}, "for --stop-grace"},
      {{"--pattern=x", "--user="}, "for --user"},
      {{"--pattern=x", "--reject-reply=450 4.7.1 Later"}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=550 4.7.1 Mixed"}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=550 5.7 Short"}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=550 5.7.1"}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=550 5.7.1  "}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=55 5.7.1 Two digits"}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=550 5.7.1 100% sure"}, "for --reject-reply"},
      {{"--pattern=x", "--reject-reply=550 5.7.1 a\r\nb"}, "for --reject-reply"},
      {{"--pattern=x", "--batv-sign"}, "--batv-sign needs --record-from=LIST"},
      {{"--pattern=x", "--batv-require"}, "--batv-require needs --batv-verify"},
      {{"--pattern=x", "--batv-key-number=10"}, "for --batv-key-number"},
      {{"--pattern=x", "--batv-lifetime=366"}, "for --batv-lifetime"},
      {{"--pattern=x", "--batv-domains=a,,b"}, "for --batv-domains: \"\" is no domain"},
      {{"--pattern=x", "--batv-domains=a@b"}, "for --batv-domains"},
      {{"--pattern=x", "--never-refuse="}, "for --never-refuse"},
  };
  for (const auto &[Args, Reason] : Cases) {
    const std::string Line = Args.empty() ? "(none)" : Args.back();
    SCOPED_TRACE(Line);
    const TMilterParseResult Result = Parse(Args);
    EXPECT_EQ(Result.Request, bw::mrUsageError);
    EXPECT_NE(Result.Message.find(Reason), std::string::npos) << Result.Message;
  }
}

TEST(MilterOptionsTest, PatternThatDoesNotCompileIsAConfigurationError) {
  const TMilterParseResult Result = Parse({"--pattern=(a"});
  EXPECT_EQ(Result.Request, bw::mrBadPattern);
  EXPECT_EQ(Result.Message, "Invalid Message-ID regular expression \"(a\": missing ) at offset 2.");
}

TEST(MilterOptionsTest, HelpAndVersionWinOverAMissingPatternAndHelpNamesEveryOption) {
  EXPECT_EQ(Parse({"--help"}).Request, bw::mrHelp);
  EXPECT_EQ(Parse({"--version"}).Request, bw::mrVersion);
  const std::string Help = bw::MilterHelpText();
  for (const char *Name : {"--pattern=REGEX", "--listen=SOCKET", "--action=ACTION", "--reject-reply=", "--on-error=",
                           "--user=USER", "--socket-owner=USER:GROUP", "--socket-mode=MODE", "--workers=N",
                           "--timeout=SECONDS", "--stop-grace=SECONDS", "--ledger=URI", "--ledger-only",
                           "--ledger-key-file=FILE", "--record-from=LIST", "--retention=DAYS", "--add-message-id",
                           "--ledger-timeout=MS", "--ledger-map-size=MIB", "lmdb:/var/lib/bouncewarden/ledger",
                           "--log-stderr", "--help", "--version", "unix:/run/bouncewarden/milter.sock",
                           "--batv-sign", "--batv-verify", "--batv-require", "--batv-key-file=FILE",
                           "--batv-key-number=N", "--batv-previous-key-file=FILE", "--batv-lifetime=DAYS",
                           "--batv-domains=LIST", "--batv-exempt=FILE", "--bounce-one-recipient",
                           "--never-refuse=FILE", "--no-bounces-to=FILE"})
    EXPECT_NE(Help.find(Name), std::string::npos) << Name;
}

// The default reply is defined once, in code; everything an administrator
// reads quotes it, and this keeps them from drifting apart.
TEST(MilterOptionsTest, DefaultRejectReplyIsQuotedAlikeWhereverItIsShown) {
  const std::filesystem::path Source = std::filesystem::path(BW_TEST_DATA).parent_path().parent_path();
  const std::string Reply = bw::DefaultRejectReply;
  EXPECT_EQ(Reply, bw::DefaultMilterOptions().ReplyCode + " " + bw::DefaultMilterOptions().ReplyStatus + " " +
                       bw::DefaultMilterOptions().ReplyText);
  const std::pair<std::string, std::string> Quotes[] = {
      {"dist/bouncewarden-milter.conf", "\n#reject-reply = " + Reply + "\n"},
      {"man/bouncewarden-milter.8", ".BR \"" + Reply + "\" ."},
      {"README.md", "default `" + Reply + "`"},
  };
  for (const auto &[File, Quote] : Quotes) {
    std::ifstream Stream(Source / File, std::ios::binary);
    ASSERT_TRUE(Stream) << File;
    const std::string Text((std::istreambuf_iterator<char>(Stream)), std::istreambuf_iterator<char>());
    EXPECT_NE(Text.find(Quote), std::string::npos) << File << " should quote: " << Quote;
  }
  EXPECT_NE(bw::MilterHelpText().find(Reply), std::string::npos);
}

// The exit codes are defined once; --help lists them and the man page opens
// each entry with the same words.
TEST(MilterOptionsTest, ExitCodesAreQuotedAlikeInHelpAndManPage) {
  bwtest::ExpectExitCodesQuoted(bw::MilterExitCodes, "bouncewarden-milter.8", bw::MilterHelpText());
}

} // namespace

namespace {

using bwtest::WriteTempFile;

// The file under the command line: defaults, then the file, then the
// command line; a flag in the file is yes or no; what was given is kept by
// name for --check-config and the reload.
TEST(MilterOptionsTest, TheConfigurationFileSitsBetweenTheDefaultsAndTheCommandLine) {
  const std::string File = WriteTempFile("milter.conf", "# the site's\n"
                                                        "pattern = .*@example\\.com$\n"
                                                        "action = tag\n"
                                                        "ledger-only = yes\n"
                                                        "ledger = lmdb:/srv/ledger\n"
                                                        "timeout = 600\n");
  const TMilterParseResult Result = ParseMilterOptions(std::vector<std::string>{"--config=" + File, "--action=log"});
  ASSERT_EQ(Result.Request, bw::mrRun) << Result.Message;
  EXPECT_EQ(Result.Options.ConfigFile, File);
  EXPECT_EQ(Result.Options.Pattern, ".*@example\\.com$");
  EXPECT_EQ(Result.Options.Action, bw::maLog);
  EXPECT_TRUE(Result.Options.LedgerOnly);
  EXPECT_TRUE(Result.Options.Ledger.UriGiven);
  EXPECT_EQ(Result.Options.TimeoutSeconds, 600u);
  EXPECT_EQ(Result.Given, (bw::TGivenSettings{{"pattern", ".*@example\\.com$"},
                                              {"action", "log"},
                                              {"ledger-only", "yes"},
                                              {"ledger", "lmdb:/srv/ledger"},
                                              {"timeout", "600"}}));
  // The default file is read the same way, and its absence means no settings.
  EXPECT_EQ(ParseMilterOptions(std::vector<std::string>{}, File).Options.Action, bw::maTag);
  const TMilterParseResult Absent = ParseMilterOptions(std::vector<std::string>{"--pattern=x"}, "/nonexistent.conf");
  EXPECT_EQ(Absent.Request, bw::mrRun);
  EXPECT_TRUE(Absent.Options.ConfigFile.empty());
}

TEST(MilterOptionsTest, AFileThatCannotWorkIsRefusedWithItsLine) {
  const std::pair<std::string, std::string> Cases[] = {
      {"pattern = x\naction = bounce\n", ":2: invalid value \"bounce\" for action"},
      {"pattern = (a\n", ":1: invalid value \"(a\" for pattern: Invalid Message-ID regular expression"},
      {"help = yes\n", ":1: unknown setting \"help\""},
      {"config = /etc/other.conf\n", ":1: unknown setting \"config\""},
      {"pattern = x\nlog-stderr = please\n", ":2: log-stderr takes yes or no"},
      {"pattern = x\nmetrics = 127.0.0.1\n", ":2: invalid value \"127.0.0.1\" for metrics"},
  };
  for (const auto &[Text, Reason] : Cases) {
    SCOPED_TRACE(Text);
    const std::string File = WriteTempFile("bad.conf", Text);
    const TMilterParseResult Result = ParseMilterOptions(std::vector<std::string>{"--config=" + File});
    EXPECT_EQ(Result.Request, bw::mrBadConfig);
    EXPECT_TRUE(Result.Message.starts_with(File + Reason)) << Result.Message;
  }
  const TMilterParseResult Missing = ParseMilterOptions(std::vector<std::string>{"--config=/nonexistent.conf"});
  EXPECT_EQ(Missing.Request, bw::mrBadConfig);
  EXPECT_EQ(Missing.Message, "/nonexistent.conf: cannot be read: No such file or directory");
  const TMilterParseResult Unset =
      ParseMilterOptions(std::vector<std::string>{"--config=" + WriteTempFile("empty.conf", ""), "--check-config"});
  EXPECT_EQ(Unset.Request, bw::mrUsageError);
  EXPECT_TRUE(Unset.CheckConfig);
  EXPECT_NE(Unset.Message.find("pattern = REGEX or ledger = URI"), std::string::npos) << Unset.Message;
}

// --check-config prints what differs from the defaults, in the file's own
// syntax: read back as a file, it gives the same settings.
TEST(MilterOptionsTest, CheckConfigShowsWhatASiteSetAndItReadsBackTheSame) {
  const std::vector<std::string> Args{"--pattern=.*@(a|b)\\.example$", "--action=reject", "--add-message-id",
                                      "--record-from=auth,10.0.0.0/8", "--timeout=30", "--check-config"};
  const TMilterParseResult Checked = ParseMilterOptions(Args);
  ASSERT_EQ(Checked.Request, bw::mrCheckConfig) << Checked.Message;
  const std::string Text = bw::SettingsText(Checked.Given, /*AAll=*/false);
  EXPECT_EQ(Text, "pattern = .*@(a|b)\\.example$\ntimeout = 30\nrecord-from = auth,10.0.0.0/8\n"
                  "add-message-id = yes\n");
  const TMilterParseResult Back =
      ParseMilterOptions(std::vector<std::string>{"--config=" + WriteTempFile("back.conf", Text)});
  EXPECT_EQ(Back.Given, bw::TGivenSettings({{"pattern", ".*@(a|b)\\.example$"},
                                            {"timeout", "30"},
                                            {"record-from", "auth,10.0.0.0/8"},
                                            {"add-message-id", "yes"}}));
  const std::string All = bw::SettingsText(Checked.Given, /*AAll=*/true);
  for (const char *Line : {"\nlisten = unix:/run/bouncewarden/milter.sock\n", "\n#user =\n", "\nledger-only = no\n",
                           "\nretention = 14\n", "\naction = reject\n", "\n#metrics =\n"})
    EXPECT_NE(All.find(Line), std::string::npos) << Line;
}

TEST(MilterOptionsTest, OnlyTheSocketUserLogWorkersAndMetricsWaitForARestart) {
  const bw::TGivenSettings Running{{"pattern", "a"}, {"listen", "unix:/a"}, {"workers", "2"}};
  const bw::TGivenSettings New{{"pattern", "b"}, {"listen", "unix:/b"}, {"user", "bw"}, {"timeout", "5"},
                               {"metrics", "127.0.0.1:9717"}, {"ledger", "lmdb:/x"}};
  EXPECT_EQ(bw::RestartOnlyChanges(Running, New), (std::vector<std::string>{"listen", "user", "workers", "metrics"}));
  EXPECT_TRUE(bw::RestartOnlyChanges(Running, Running).empty());
}

} // namespace

namespace {

// The shipped configuration file shows every setting the file takes, at
// its true default, commented out: read as it is, it sets nothing.
TEST(MilterOptionsTest, TheShippedFileShowsEverySettingAtItsDefault) {
  const std::string Path = std::string(BW_TEST_DATA) + "/../../dist/bouncewarden-milter.conf";
  std::ifstream Stream(Path, std::ios::binary);
  ASSERT_TRUE(Stream) << Path;
  std::string Text(1, '\n');
  Text.append(std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>());
  const std::string Defaults = bw::SettingsText({}, /*AAll=*/true);
  std::size_t Settings = 0;
  for (std::size_t Start = 0; Start < Defaults.size(); ++Settings) {
    const std::size_t End = Defaults.find('\n', Start);
    const std::string Line = Defaults.substr(Start, End - Start);
    Start = End + 1;
    std::string Shown(Line.starts_with("#") ? "\n" : "\n#");
    Shown.append(Line).push_back('\n');
    EXPECT_NE(Text.find(Shown), std::string::npos) << "the file should show" << Shown;
  }
  EXPECT_GE(Settings, 20u);
  const TMilterParseResult Read = ParseMilterOptions(std::vector<std::string>{"--config=" + Path, "--pattern=x"});
  ASSERT_EQ(Read.Request, bw::mrRun) << Read.Message;
  EXPECT_EQ(Read.Given, bw::TGivenSettings({{"pattern", "x"}}));
}

} // namespace
