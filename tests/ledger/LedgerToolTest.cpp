// End-to-end: bouncewarden-ledger's commands on an LMDB ledger in a scratch
// folder, their output and exit codes.
#include "LedgerTestSupport.h"
#include "rtl/ExitCodes_un.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace {

struct TToolRun {
  int ExitCode = -1;
  std::string Stdout;
  std::string Stderr;
};

std::string FileText(const std::string &APath) {
  std::ostringstream Text;
  Text << std::ifstream(APath, std::ios::binary).rdbuf();
  return Text.str();
}

// The tool on this scratch folder's ledger and key file, then AArgs.
class TLedgerTool {
public:
  TLedgerTool()
      : FLedger(FScratch / "state/ledger"), FKeyFile(FScratch / "etc/ledger.key") {}

  TToolRun Run(const std::vector<std::string> &AArgs, bool AWithOptions = true) const {
    std::vector<std::string> Args = {BW_LEDGER_BINARY};
    if (AWithOptions) {
      Args.push_back("--ledger=lmdb:" + FLedger);
      Args.push_back("--ledger-key-file=" + FKeyFile);
    }
    Args.insert(Args.end(), AArgs.begin(), AArgs.end());
    std::vector<char *> Argv;
    for (std::string &Arg : Args)
      Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    const std::string Out = FScratch / "stdout", Err = FScratch / "stderr";
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&Actions, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t Child = -1;
    TToolRun Result;
    if (::posix_spawn(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ) == 0) {
      int Status = 0;
      ::waitpid(Child, &Status, 0);
      Result.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    }
    posix_spawn_file_actions_destroy(&Actions);
    Result.Stdout = FileText(Out);
    Result.Stderr = FileText(Err);
    return Result;
  }
  std::string operator/(const std::string &AName) const { return FScratch / AName; }
  const std::string &Ledger() const { return FLedger; }
  const std::string &KeyFile() const { return FKeyFile; }

private:
  bwtest::TScratchFolder FScratch;
  std::string FLedger;
  std::string FKeyFile;
};

// An RFC 5322 date ADaysAgo days back, written in the +0200 zone.
std::string DateDaysAgo(int ADaysAgo) {
  const std::time_t When = std::time(nullptr) - ADaysAgo * 86400 + 2 * 3600;
  std::tm Parts{};
  ::gmtime_r(&When, &Parts);
  char Text[64];
  std::strftime(Text, sizeof Text, "%a, %d %b %Y %H:%M:%S +0200", &Parts);
  return Text;
}

void Write(const std::string &APath, const std::string &AContent) {
  std::ofstream(APath, std::ios::binary) << AContent;
}

} // namespace

// Show that init creates a private key file and the ledger, and that a
// second init keeps the key that the ledger's entries depend on.
TEST(LedgerToolTest, InitCreatesAPrivateKeyOnceAndTheLedger) {
  const TLedgerTool Tool;
  const TToolRun First = Tool.Run({"init"});
  EXPECT_EQ(First.ExitCode, 0) << First.Stderr;
  EXPECT_TRUE(First.Stdout.starts_with("Created the key file " + Tool.KeyFile() + "\nLedger lmdb:" + Tool.Ledger() +
                                       " keyed with "))
      << First.Stdout;
  struct stat Info {};
  ASSERT_EQ(::stat(Tool.KeyFile().c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0600u);
  const std::string Key = FileText(Tool.KeyFile());
  EXPECT_EQ(Key.size(), 65u);
  ASSERT_EQ(::stat(Tool.Ledger().c_str(), &Info), 0);

  const TToolRun Second = Tool.Run({"init"});
  EXPECT_EQ(Second.ExitCode, 0);
  EXPECT_TRUE(Second.Stdout.starts_with("Kept the key file ")) << Second.Stdout;
  EXPECT_EQ(FileText(Tool.KeyFile()), Key);
}

// Show that IDs are normalised as a bounce's returned IDs are, and the exit
// codes of lookup: 0 all found, 1 any not found, 65 no Message-ID at all.
TEST(LedgerToolTest, AddAndLookupNormaliseLikeABounceCheck) {
  const TLedgerTool Tool;
  ASSERT_EQ(Tool.Run({"init"}).ExitCode, 0);
  const TToolRun Added = Tool.Run({"add", "<Abc.1@Example.COM>", "x@y"});
  EXPECT_EQ(Added.ExitCode, 0) << Added.Stderr;
  EXPECT_EQ(Added.Stdout, "Recorded abc.1@example.com\nRecorded x@y\n");

  const TToolRun Found = Tool.Run({"lookup", " abc.1@EXAMPLE.com", "<x@y>"});
  EXPECT_EQ(Found.ExitCode, 0);
  EXPECT_EQ(Found.Stdout, "abc.1@example.com: found\nx@y: found\n");
  const TToolRun Missing = Tool.Run({"lookup", "abc.1@example.com", "never@sent"});
  EXPECT_EQ(Missing.ExitCode, 1);
  EXPECT_EQ(Missing.Stdout, "abc.1@example.com: found\nnever@sent: not found\n");
  const TToolRun Empty = Tool.Run({"add", "<>"});
  EXPECT_EQ(Empty.ExitCode, 65);
  EXPECT_EQ(Empty.Stderr, "bouncewarden-ledger: \"<>\" holds no Message-ID\n");
}

// Show that import records the IDs of an mbox and a maildir at their dates,
// skips what is older than the retention or lacks an ID or a date, reports
// and counts a file it cannot read and imports the rest, and that stats and
// prune then see those entries.
TEST(LedgerToolTest, ImportRecordsSentMailWithinTheRetention) {
  const TLedgerTool Tool;
  ASSERT_EQ(Tool.Run({"init"}).ExitCode, 0);
  Write(Tool / "Sent.mbox",
        "From alice@example.com Mon Dec  7 10:00:00 2026\n"
        "From: alice@example.com\nDate: " + DateDaysAgo(1) + "\nMessage-ID:\n <Folded.1@Example.com>\n\nbody\n"
        ">From the escaped body line\n\n"
        "From alice@example.com Mon Dec  7 10:00:00 2026\n"
        "Date: " + DateDaysAgo(20) + "\nMessage-ID: <old.2@example.com>\n\n\n"
        "From alice@example.com Mon Dec  7 10:00:00 2026\n"
        "Message-ID: <undated.3@example.com>\n\n\n"
        "From alice@example.com Mon Dec  7 10:00:00 2026\n"
        "Date: " + DateDaysAgo(2) + "\n\nno ID\n");
  for (const char *Folder : {"Sent", "Sent/cur", "Sent/new", "Sent/tmp"})
    std::filesystem::create_directory(Tool / Folder);
  Write(Tool / "Sent/cur/1.host:2,S", "Date: " + DateDaysAgo(3) + "\r\nMessage-ID: <crlf.4@example.com>\r\n\r\nx\r\n");
  Write(Tool / "Sent/new/2.host", "Message-ID: <new.5@example.com>\nDate: " + DateDaysAgo(0) + "\n\nx\n");
  Write(Tool / "Sent/tmp/3.host", "Message-ID: <unfinished.6@example.com>\nDate: " + DateDaysAgo(0) + "\n\n");
  // A file whose every read fails, even for root (the page at address 0).
  std::filesystem::create_symlink("/proc/self/mem", Tool / "Sent/cur/0.host:2,S");

  const TToolRun Import = Tool.Run({"import", Tool / "Sent.mbox", Tool / "Sent"});
  EXPECT_EQ(Import.ExitCode, 66);
  EXPECT_EQ(Import.Stdout, "Recorded 3 IDs of 6 messages; skipped 1 older than 14 days, 1 without a Message-ID, "
                           "1 without a readable Date, 1 unreadable files\n");
  // No bar: standard error is no terminal here.
  EXPECT_EQ(Import.Stderr, "bouncewarden-ledger: Cannot read \"" + (Tool / "Sent/cur/0.host:2,S") +
                               "\": Input/output error (skipped)\n");
  const TToolRun Lookup = Tool.Run({"lookup", "folded.1@example.com", "crlf.4@example.com", "new.5@example.com",
                                    "old.2@example.com", "undated.3@example.com", "unfinished.6@example.com"});
  EXPECT_EQ(Lookup.Stdout, "folded.1@example.com: found\ncrlf.4@example.com: found\nnew.5@example.com: found\n"
                           "old.2@example.com: not found\nundated.3@example.com: not found\n"
                           "unfinished.6@example.com: not found\n");

  const TToolRun Stats = Tool.Run({"stats"});
  EXPECT_EQ(Stats.ExitCode, 0);
  EXPECT_NE(Stats.Stdout.find("\nentries: 3\n"), std::string::npos) << Stats.Stdout;
  const TToolRun Prune = Tool.Run({"--retention=2", "prune"});
  EXPECT_EQ(Prune.ExitCode, 0);
  EXPECT_EQ(Prune.Stdout, "Removed 1 of 3 entries older than 2 days\n");
}

// Show that each failure names its cause on one line with its exit code.
TEST(LedgerToolTest, FailuresNameTheirCause) {
  const TLedgerTool Tool;
  const struct {
    std::vector<std::string> Args;
    bool WithOptions;
    int ExitCode;
    std::string Stderr;
  } Cases[] = {
      {{"lookup", "a@b"}, true, 66,
       "Cannot read the ledger key file \"" + Tool.KeyFile() + "\": No such file or directory"},
      {{"--ledger=mdb:/x", "stats"}, false, 64,
       "Invalid value \"mdb:/x\" for --ledger: Invalid ledger URI \"mdb:/x\": it begins with none of \"lmdb:\", \"redis://\", \"redis+unix:\" and \"redis+sentinel://\" (see --help)"},
      {{"lookup"}, true, 64, "lookup needs at least one argument (see --help)"},
      // stats and lookup never create a ledger (its warm-up would start).
      {{"--ledger=lmdb:" + (Tool / "nowhere/ledger"), "stats"}, false, 69,
       "The ledger \"" + (Tool / "nowhere/ledger") + "\" does not exist"},
      {{"cover", "--since=2026-13-01"}, true, 64,
       "cover takes --since=DATE, a past date as YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC), not \"--since=2026-13-01\" "
       "(see --help)"},
      {{"import", Tool / "no.mbox"}, true, 66, "Cannot open \"" + (Tool / "no.mbox") + "\": No such file or directory"},
  };
  for (const auto &Case : Cases) {
    if (Case.Args[0] == "import") {
      ASSERT_EQ(Tool.Run({"init"}).ExitCode, 0);
    }
    const TToolRun Run = Tool.Run(Case.Args, Case.WithOptions);
    EXPECT_EQ(Run.ExitCode, Case.ExitCode) << Case.Args[0];
    EXPECT_EQ(Run.Stderr, "bouncewarden-ledger: " + Case.Stderr + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(Tool / "nowhere"));
}

// Show that a ledger knows the key it was keyed with: another key is
// refused with both fingerprints (exit 78) and shown by stats, and the old
// key given as the previous one finds what it recorded; and that cover
// moves the warm-up to the date stated, which stats shows.
TEST(LedgerToolTest, KeysAndCoverAreCheckedAndShown) {
  const TLedgerTool Tool;
  ASSERT_EQ(Tool.Run({"init"}).ExitCode, 0);
  ASSERT_EQ(Tool.Run({"add", "<kept@example.com>"}).ExitCode, 0);
  const std::string Old = Tool / "etc/old.key";
  std::filesystem::rename(Tool.KeyFile(), Old);
  Write(Tool.KeyFile(), std::string(64, 'b') + "\n");  // a new key, the ledger kept
  EXPECT_EQ(Tool.Run({"init"}).ExitCode, 78);
  const TToolRun Missing = Tool.Run(
      {"--ledger=lmdb:" + (Tool / "absent"), "--ledger-key-file=" + Old, "lookup", "kept@example.com"}, false);
  EXPECT_EQ(Missing.Stderr, "bouncewarden-ledger: The ledger \"" + (Tool / "absent") + "\" does not exist\n");
  EXPECT_FALSE(std::filesystem::exists(Tool / "absent"));

  const TToolRun Other = Tool.Run({"lookup", "kept@example.com"});
  EXPECT_EQ(Other.ExitCode, 78);
  EXPECT_TRUE(Other.Stderr.starts_with("bouncewarden-ledger: The ledger \"lmdb:" + Tool.Ledger() +
                                       "\" was keyed with another key (its fingerprint "))
      << Other.Stderr;
  EXPECT_NE(Tool.Run({"stats"}).Stdout.find(" (ANOTHER KEY: this key's is "), std::string::npos);
  const TToolRun Rotating = Tool.Run({"--ledger-previous-key-file=" + Old, "lookup", "kept@example.com"});
  EXPECT_EQ(Rotating.ExitCode, 0) << Rotating.Stderr;
  EXPECT_NE(Tool.Run({"--ledger-previous-key-file=" + Old, "stats"}).Stdout.find(" (the previous key's)\n"),
            std::string::npos);

  const TToolRun Warming = Tool.Run({"--ledger-key-file=" + Old, "stats"});
  EXPECT_NE(Warming.Stdout.find("\ncover since: none\ncovers the retention of 14 days: from "), std::string::npos)
      << Warming.Stdout;
  const TToolRun Cover = Tool.Run({"--ledger-key-file=" + Old, "cover", "--since=2020-01-31"});
  EXPECT_EQ(Cover.ExitCode, 0) << Cover.Stderr;
  EXPECT_EQ(Cover.Stdout, "Ledger lmdb:" + Tool.Ledger() + " complete since 2020-01-31 00:00:00 UTC: it covers the "
                          "retention of 14 days from 2020-02-14 00:00:00 UTC\n");
  EXPECT_NE(Tool.Run({"--ledger-key-file=" + Old, "stats"})
                .Stdout.find("\ncover since: 2020-01-31 00:00:00 UTC\ncovers the retention of 14 days: yes\n"),
            std::string::npos);
}

// The exit codes are defined once; --help lists them and the man page opens
// each entry with the same words.
TEST(LedgerToolTest, ExitCodesAreQuotedAlikeInHelpAndManPage) {
  const TToolRun Help = TLedgerTool().Run({"--help"}, /*AWithOptions=*/false);
  EXPECT_EQ(Help.ExitCode, 0);
  bwtest::ExpectExitCodesQuoted(bw::LedgerToolExitCodes, "bouncewarden-ledger.8", Help.Stdout);
}

// Show that batv sign makes a tag that batv verify takes, with the milter's
// option names, and the exit codes of a tag that is not ours or of none.
TEST(LedgerToolTest, BatvSignMakesWhatBatvVerifyTakes) {
  const TLedgerTool Tool;
  Write(Tool / "batv.key", "0123456789abcdef0123456789abcdef\n");
  Write(Tool / "new.key", "the key after the rotation\n");
  const auto Batv = [&Tool](std::vector<std::string> AArgs) {
    AArgs.insert(AArgs.begin(), {"--batv-key-file=" + (Tool / "batv.key"), "batv"});
    return Tool.Run(AArgs, /*AWithOptions=*/false);
  };
  const TToolRun Signed = Batv({"sign", "<alice@example.com>"});
  ASSERT_EQ(Signed.ExitCode, 0) << Signed.Stderr;
  ASSERT_EQ(Signed.Stdout.size(), std::string("prvs=0DDDSSSSSS=alice@example.com\n").size()) << Signed.Stdout;
  const std::string Tagged = Signed.Stdout.substr(0, Signed.Stdout.size() - 1);
  EXPECT_EQ(Batv({"verify", Tagged}).Stdout, Tagged + ": valid\n");
  EXPECT_EQ(Batv({"verify", Tagged}).ExitCode, 0);
  // After a rotation to key 1, key 0 is the previous key: its tags still pass.
  const TToolRun Rotated = Tool.Run({"--batv-key-file=" + (Tool / "new.key"), "--batv-key-number=1",
                                     "--batv-previous-key-file=" + (Tool / "batv.key"), "batv", "verify", Tagged},
                                    false);
  EXPECT_EQ(Rotated.ExitCode, 0) << Rotated.Stdout;
  EXPECT_EQ(Tool.Run({"--batv-key-file=" + (Tool / "new.key"), "--batv-key-number=1", "batv", "verify", Tagged}, false)
                .ExitCode,
            1);
  std::string Forged = Tagged;
  Forged[14] = Forged[14] == 'a' ? 'b' : 'a';
  const TToolRun Invalid = Batv({"verify", Forged});
  EXPECT_EQ(Invalid.ExitCode, 1);
  EXPECT_EQ(Invalid.Stdout, Forged + ": invalid\n");
  EXPECT_EQ(Batv({"verify", "alice@example.com"}).Stdout, "alice@example.com: no tag\n");

  const struct {
    std::vector<std::string> Args;
    int ExitCode;
    std::string Stderr;
  } Failures[] = {
      {{"sign", Tagged}, 65, "\"" + Tagged + "\" is tagged already"},
      {{"sign", "alice"}, 65, "\"alice\" holds no address (local@domain)"},
      {{"check", "alice@example.com"}, 64, "batv takes \"sign ADDRESS\" or \"verify ADDRESS\" (see --help)"},
  };
  for (const auto &Case : Failures) {
    const TToolRun Run = Batv(Case.Args);
    EXPECT_EQ(Run.ExitCode, Case.ExitCode) << Case.Args[0];
    EXPECT_EQ(Run.Stderr, "bouncewarden-ledger: " + Case.Stderr + "\n");
  }
}
