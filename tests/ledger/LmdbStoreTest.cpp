// The LMDB store in a scratch folder: records, reopening, sweeping, processes
// killed or writing at once, and a file that is missing, unreadable or full.
#include "ledger/LedgerOpen_un.h"

#include "LedgerTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
using bw::LedgerNow;
using bw::OpenLedgerStore;
using bwtest::NumberedKey;

namespace {

bw::TLedgerOptions LmdbOptions(const std::string &APath) {
  bw::TLedgerOptions Options;
  Options.Uri = "lmdb:" + APath;
  Options.SweepInterval = 0ms;
  Options.RetryDelay = 100ms;
  return Options;
}

// Records keys [AFrom, ATo) in a child process, flushing every AStep, and
// writes the number below which every key is committed to AReport after each
// flush. The child's exit code: 0 when every flush committed.
pid_t RecordInChild(const bw::TLedgerOptions &AOptions, std::uint64_t AFrom, std::uint64_t ATo, std::uint64_t AStep,
                    int AReport) {
  const pid_t Child = ::fork();
  if (Child != 0)
    return Child;
  int Exit = 0;
  try {
    const auto Store = OpenLedgerStore(AOptions, {});
    for (std::uint64_t Key = AFrom; Key < ATo && Exit == 0;) {
      for (const std::uint64_t End = std::min(ATo, Key + AStep); Key < End; ++Key)
        Store->Record(NumberedKey(Key), LedgerNow());
      if (Store->Flush() != bw::rrAccepted)
        Exit = 2;
      else if (AReport >= 0 && ::write(AReport, &Key, sizeof Key) != sizeof Key)
        Exit = 3;
    }
  } catch (const bw::Exception &) {
    Exit = 4;
  }
  ::_exit(Exit);
}

std::uint64_t MissingKeys(bw::ILedgerStore &AStore, std::uint64_t AFrom, std::uint64_t ATo) {
  std::uint64_t Missing = 0;
  for (std::uint64_t Key = AFrom; Key < ATo; ++Key)
    Missing += AStore.Contains(NumberedKey(Key)) != bw::lrFound;
  return Missing;
}

int ExitCodeOf(pid_t AChild) {
  int Status = 0;
  ::waitpid(AChild, &Status, 0);
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
}

} // namespace

// Show that records and the start time survive closing, that a shorter
// retention hides older entries, and that the sweep removes only those.
TEST(LmdbStoreTest, RecordsSurviveReopeningAndSweepRemovesOnlyExpired) {
  const bwtest::TScratchFolder Scratch;
  bw::TLedgerOptions Options = LmdbOptions(Scratch / "ledger");
  const bw::TLedgerTime Now = LedgerNow();
  std::optional<bw::TLedgerTime> Start;
  {
    const auto Store = OpenLedgerStore(Options, {});
    EXPECT_EQ(Store->Record(NumberedKey(1), Now), bw::rrAccepted);
    EXPECT_EQ(Store->Record(NumberedKey(2), Now - std::chrono::days(13)), bw::rrAccepted);
    EXPECT_EQ(Store->Record(NumberedKey(3), Now - std::chrono::days(15)), bw::rrExpired);
    EXPECT_EQ(Store->Flush(), bw::rrAccepted);
    Start = Store->StartTime();
    ASSERT_TRUE(Start);
    EXPECT_LE(*Start, Now);
  }
  Options.Retention = std::chrono::days(12);
  const auto Store = OpenLedgerStore(Options, {});
  EXPECT_EQ(Store->StartTime(), Start);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrFound);
  EXPECT_EQ(Store->Contains(NumberedKey(2)), bw::lrAbsent);
  EXPECT_EQ(Store->Contains(NumberedKey(3)), bw::lrAbsent);
  const bw::TLedgerStats Before = Store->Stats();
  EXPECT_EQ(Before.Entries, 2u);
  EXPECT_EQ(Before.Oldest, Now - std::chrono::days(13));
  EXPECT_EQ(Before.Newest, Now);
  EXPECT_EQ(Before.BytesUsed, std::filesystem::file_size(Scratch / "ledger"));
  EXPECT_EQ(Before.StartTime, Start);

  std::size_t Visited = 0, Removed = 0;
  for (bool Complete = false; !Complete;) {
    const bw::TSweepResult Step = Store->Sweep(1);  // one entry a call: the sweep goes on where it stopped
    Visited += Step.Visited;
    Removed += Step.Removed;
    Complete = Step.PassComplete;
  }
  EXPECT_EQ(Visited, 2u);
  EXPECT_EQ(Removed, 1u);
  EXPECT_EQ(Store->Stats().Entries, 1u);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrFound);
}

// Show that many threads may record and look up at once (the milter's
// threads do): nothing recorded is lost.
TEST(LmdbStoreTest, ManyThreadsRecordAndLookUpAtOnce) {
  const bwtest::TScratchFolder Scratch;
  const auto Store = OpenLedgerStore(LmdbOptions(Scratch / "ledger"), {});
  EXPECT_EQ(bwtest::MissingAfterThreadedUse(*Store, 8, 2000), 0u);
}

// Show that the writer's background sweep removes what expired while
// threads record and look up, and nothing they recorded.
TEST(LmdbStoreTest, BackgroundSweepRemovesOnlyExpiredWhileThreadsRecord) {
  const bwtest::TScratchFolder Scratch;
  bw::TLedgerOptions Options = LmdbOptions(Scratch / "ledger");
  Options.Retention = 30s;
  Options.SweepInterval = 10ms;
  Options.SweepBudget = 100;
  const auto Store = OpenLedgerStore(Options, {});
  for (std::uint64_t Key = 0; Key < 1000; ++Key)  // expire within two seconds
    Store->Record(NumberedKey(1 << 30 | Key), LedgerNow() - 29s);
  ASSERT_EQ(Store->Flush(), bw::rrAccepted);
  EXPECT_EQ(bwtest::MissingAfterThreadedUse(*Store, 4, 500), 0u);
  std::uint64_t Entries = Store->Stats().Entries;
  for (int Try = 0; Try < 200 && Entries > 2000; ++Try) {
    std::this_thread::sleep_for(100ms);
    Entries = Store->Stats().Entries;
  }
  EXPECT_EQ(Entries, 2000u);
}

// Show that killing a recording process at any moment keeps every record it
// saw committed, and leaves a ledger that opens.
TEST(LmdbStoreTest, KillNineWhileRecordingKeepsEveryCommittedRecord) {
  const bwtest::TScratchFolder Scratch;
  const bw::TLedgerOptions Options = LmdbOptions(Scratch / "ledger");
  std::uint64_t From = 0;
  for (int Round = 0; Round < 5; ++Round) {
    int Report[2];
    ASSERT_EQ(::pipe(Report), 0);
    const pid_t Child = RecordInChild(Options, From, From + 1000000, 50, Report[1]);
    ::close(Report[1]);
    std::uint64_t Committed = From;
    for (int Commits = 0; Commits < Round + 2; ++Commits)
      ASSERT_EQ(::read(Report[0], &Committed, sizeof Committed), static_cast<ssize_t>(sizeof Committed));
    std::this_thread::sleep_for(std::chrono::milliseconds(Round * 7));
    ::kill(Child, SIGKILL);
    for (std::uint64_t Later; ::read(Report[0], &Later, sizeof Later) == sizeof Later;)
      Committed = Later;
    ::close(Report[0]);
    EXPECT_EQ(ExitCodeOf(Child), 128 + SIGKILL);

    const auto Store = OpenLedgerStore(Options, {});
    EXPECT_GT(Committed, From);
    EXPECT_EQ(MissingKeys(*Store, From, Committed), 0u) << "round " << Round;
    From = Committed + 1000;  // past the batch the kill interrupted
  }
}

// Show that two processes recording into one ledger at once lose nothing.
TEST(LmdbStoreTest, TwoProcessesWriteAtOnce) {
  const bwtest::TScratchFolder Scratch;
  const bw::TLedgerOptions Options = LmdbOptions(Scratch / "ledger");
  const pid_t First = RecordInChild(Options, 0, 2000, 100, -1);
  const pid_t Second = RecordInChild(Options, 10000, 12000, 100, -1);
  EXPECT_EQ(ExitCodeOf(First), 0);
  EXPECT_EQ(ExitCodeOf(Second), 0);
  const auto Store = OpenLedgerStore(Options, {});
  EXPECT_EQ(MissingKeys(*Store, 0, 2000) + MissingKeys(*Store, 10000, 12000), 0u);
  EXPECT_EQ(Store->Stats().Entries, 4000u);
}

// Show that a ledger whose folder is missing is an error for the tool, and
// for a daemon "unknown" until the folder appears, logged once each way.
TEST(LmdbStoreTest, MissingFolderAnswersUnknownUntilItExists) {
  const bwtest::TScratchFolder Scratch;
  const std::string Path = Scratch / "later/ledger";
  bw::TLedgerOptions Options = LmdbOptions(Path);
  const std::string Why = "Cannot open the ledger \"" + Path + "\": cannot open: No such file or directory";
  EXPECT_EQ(bwtest::RaisedError([&] { OpenLedgerStore(Options, {}); }), "ELedgerError: " + Why);

  Options.Opening = bw::loTolerate;
  bwtest::TLogLines Log;
  const auto Store = OpenLedgerStore(Options, Log.Sink());
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrUnknown);
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrUnavailable);
  EXPECT_EQ(Store->StartTime(), std::nullopt);
  EXPECT_EQ(Log.Lines(), (std::vector<std::string>{
                             "ledger " + Options.Uri + " cannot be read, bounces are checked without it: " + Why,
                             "ledger " + Options.Uri + " cannot record, IDs of sent mail are not recorded: the "
                                                       "ledger is not open"}));

  std::filesystem::create_directory(Scratch / "later");
  bw::TLookupResult Found = bw::lrUnknown;
  for (int Try = 0; Try < 100 && Found == bw::lrUnknown; ++Try) {
    std::this_thread::sleep_for(50ms);
    Found = Store->Contains(NumberedKey(1));
  }
  EXPECT_EQ(Found, bw::lrAbsent);
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->Flush(), bw::rrAccepted);
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrFound);
  const std::vector<std::string> Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_TRUE(Lines[2].starts_with("ledger " + Options.Uri + " can be read again after ")) << Lines[2];
  EXPECT_TRUE(Lines[3].starts_with("ledger " + Options.Uri + " records again after ")) << Lines[3];
}

// Show that a file that is no ledger is refused by name, and answers
// "unknown" to a daemon, never a crash or a wrong "absent".
TEST(LmdbStoreTest, UnreadableFileIsRefusedOrUnknown) {
  const bwtest::TScratchFolder Scratch;
  std::ofstream(Scratch / "ledger") << std::string(16384, 'x');
  bw::TLedgerOptions Options = LmdbOptions(Scratch / "ledger");
  EXPECT_EQ(bwtest::RaisedError([&] { OpenLedgerStore(Options, {}); }),
            "ELedgerError: Cannot open the ledger \"" + (Scratch / "ledger") +
                "\": cannot open: MDB_INVALID: File is not an LMDB file");
  Options.Opening = bw::loTolerate;
  const auto Store = OpenLedgerStore(Options, {});
  EXPECT_EQ(Store->Contains(NumberedKey(1)), bw::lrUnknown);
  EXPECT_EQ(Store->Record(NumberedKey(1), LedgerNow()), bw::rrUnavailable);
  EXPECT_EQ(bwtest::RaisedError([&] { Store->Stats(); }),
            "ELedgerError: The ledger \"" + (Scratch / "ledger") + "\" is not open");
}

// Show that a full map refuses records (logged once) while what it holds is
// still found, and that records resume, logged, once the sweep made room.
TEST(LmdbStoreTest, FullMapRefusesRecordsUntilTheSweepMakesRoom) {
  const bwtest::TScratchFolder Scratch;
  bw::TLedgerOptions Options = LmdbOptions(Scratch / "ledger");
  Options.MapSize = 1 << 20;
  // Entries stamped 5 s ago under a retention of 8 s: found while the map
  // fills (a second or so), expired 4 s after the start.
  Options.Retention = 8s;
  const bw::TLedgerTime Stamp = LedgerNow() - 5s;
  bwtest::TLogLines Log;
  const auto Store = OpenLedgerStore(Options, Log.Sink());
  std::uint64_t Next = 0;
  bw::TRecordResult Result = bw::rrAccepted;
  while (Result == bw::rrAccepted && Next < 1000000) {
    for (int I = 0; I < 1000; ++I)
      Store->Record(NumberedKey(Next++), Stamp);
    Result = Store->Flush();
  }
  EXPECT_EQ(Result, bw::rrFull);
  EXPECT_EQ(Store->Record(NumberedKey(Next), LedgerNow()), bw::rrFull);
  EXPECT_EQ(Store->Contains(NumberedKey(0)), bw::lrFound);
  EXPECT_EQ(Log.Lines(), std::vector<std::string>{"ledger " + Options.Uri +
                                                  " cannot record, IDs of sent mail are not recorded: it is full (its "
                                                  "map size is 1 MiB); IDs recorded before are still checked"});

  while (LedgerNow() <= Stamp + Options.Retention)
    std::this_thread::sleep_for(100ms);
  std::size_t Removed = 0;
  for (bool Complete = false; !Complete;) {
    const bw::TSweepResult Step = Store->Sweep(1000);
    Removed += Step.Removed;
    Complete = Step.PassComplete;
  }
  EXPECT_GT(Removed, 1000u);
  EXPECT_EQ(Store->Record(NumberedKey(Next), LedgerNow()), bw::rrAccepted);
  EXPECT_EQ(Store->Flush(), bw::rrAccepted);
  EXPECT_EQ(Store->Contains(NumberedKey(Next)), bw::lrFound);
  const std::vector<std::string> Lines = Log.Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(Lines[1].starts_with("ledger " + Options.Uri + " records again after ")) << Lines[1];
}
