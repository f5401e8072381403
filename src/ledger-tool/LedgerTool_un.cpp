// The ledger tool's command line and commands.
#include "ledger-tool/LedgerTool_un.h"

#include "ledger-tool/BatvCommand_un.h"
#include "ledger-tool/LedgerToolOptions_un.h"
#include "ledger-tool/SentMail_un.h"
#include "ledger/LedgerOpen_un.h"
#include "ledger/LedgerUri_un.h"
#include "detector/MailDate_un.h"
#include "rtl/ExitCodes_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/Version_un.h"
#include "verdict/MessageIdKey_un.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

namespace bw {

static constexpr const char *ProgramName = "bouncewarden-ledger";
static constexpr std::chrono::milliseconds ToolTimeout{1000};  // an administrator can wait longer than mail
static constexpr std::size_t PruneStep = 10000;                // entries per write transaction of prune

namespace {

// A file or folder that init cannot create.
class ECreateError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "ECreateError"; }
};

// Recording failed: the import or add stops, with the store's reason.
class ERecordError : public Exception {
public:
  ERecordError(std::string AMessage, TRecordResult AResult) : Exception(std::move(AMessage)), FResult(AResult) {}
  const char *ClassName() const noexcept override { return "ERecordError"; }
  TRecordResult Result() const noexcept { return FResult; }

private:
  TRecordResult FResult;
};

std::string FormatTime(std::optional<TLedgerTime> ATime) {
  if (!ATime)
    return "none";
  return LedgerTimeText(*ATime);
}

void ReportError(const std::string &AMessage) { std::cerr << ProgramName << ": " << AMessage << "\n"; }

void ReportNoMessageId(const std::string &AArg) {
  std::cerr << ProgramName << ": \"" << OneLineText(AArg) << "\" holds no Message-ID\n";
}

// A bar on standard error while import runs, only when that is a terminal:
// a log file or a pipe gets no carriage returns.
class TProgressBar {
public:
  explicit TProgressBar(std::uint64_t ATotal) : FTotal(ATotal), FShown(::isatty(STDERR_FILENO) == 1) {}
  TProgressBar(const TProgressBar &) = delete;
  TProgressBar &operator=(const TProgressBar &) = delete;
  ~TProgressBar() {
    if (FDrawn)
      std::cerr << "\r" << std::string(60, ' ') << "\r" << std::flush;
  }

  void Update(std::uint64_t ADone, std::uint64_t AMessages) {
    const auto Now = std::chrono::steady_clock::now();
    if (!FShown || Now - FLast < std::chrono::milliseconds(100))
      return;
    FLast = Now;
    FDrawn = true;
    constexpr std::uint64_t Width = 30;
    const std::uint64_t Filled = FTotal == 0 ? Width : std::min(Width, ADone * Width / FTotal);
    const std::uint64_t Percent = FTotal == 0 ? 100 : std::min<std::uint64_t>(100, ADone * 100 / FTotal);
    std::cerr << "\r[" << std::string(Filled, '#') << std::string(Width - Filled, '-') << "] " << Percent << "% "
              << AMessages << " messages" << std::flush;
  }

private:
  std::uint64_t FTotal;
  bool FShown;
  bool FDrawn = false;
  std::chrono::steady_clock::time_point FLast{};
};

// The ledger was keyed with another key: every lookup would miss.
class EOtherKeyError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "EOtherKeyError"; }
};

class TLedgerTool {
public:
  explicit TLedgerTool(TLedgerToolParameters AParameters) : FParameters(std::move(AParameters)) {}
  int Run();

private:
  int Init();
  int Add();
  int Lookup();
  int Import();
  int Stats();
  int Prune();
  int Cover();
  int Retire();
  // AOpening: loRequire for the commands that write (a missing ledger is
  // created), loExisting for those that only read or that make no sense on
  // a new ledger (it is never created).
  TLedgerOptions StoreOptions(TLedgerOpening AOpening) const;
  std::unique_ptr<ILedgerStore> OpenStore(TLedgerOpening AOpening) const;
  // The store with the site's key, as the milter has it: what add, lookup
  // and import go through. Its key fingerprint is compared (and written
  // into a ledger without one under loRequire); another key's raises
  // EOtherKeyError.
  std::unique_ptr<TLedgerJudge> OpenJudge(TLedgerOpening AOpening) const;
  std::chrono::days Retention() const { return std::chrono::days(FParameters.Ledger.RetentionDays); }
  static void CheckRecorded(TRecordResult AResult);
  void ShowGaps(ILedgerStore &AStore) const;

  TLedgerToolParameters FParameters;
};

TLedgerOptions TLedgerTool::StoreOptions(TLedgerOpening AOpening) const {
  TLedgerOptions Options = FParameters.Ledger.StoreOptions(AOpening);
  if (!FParameters.Ledger.TimeoutGiven)
    Options.Timeout = ToolTimeout;
  Options.SweepInterval = std::chrono::milliseconds(0);  // prune sweeps when asked to
  return Options;
}

static void ReportStoreLine(const std::string &ALine) { ReportError(ALine); }

std::unique_ptr<ILedgerStore> TLedgerTool::OpenStore(TLedgerOpening AOpening) const {
  return OpenLedgerStore(StoreOptions(AOpening), ReportStoreLine);
}

static std::string OtherKeyMessage(const std::string &AUri, const std::string &AKeyFile, TLedgerJudge &AJudge) {
  return "The ledger \"" + OneLineText(AUri) + "\" was keyed with another key (its fingerprint " +
         AJudge.Store().Fingerprint().value_or("?") + ", that of \"" + OneLineText(AKeyFile) + "\" is " +
         AJudge.KeyFingerprint() + "): use the key file its hosts use, or while rotating keys give the old one as "
         "--ledger-previous-key-file";
}

std::unique_ptr<TLedgerJudge> TLedgerTool::OpenJudge(TLedgerOpening AOpening) const {
  std::unique_ptr<TLedgerJudge> Judge = OpenLedgerJudge(FParameters.Ledger, StoreOptions(AOpening), ReportStoreLine);
  if (Judge->CheckKey(/*AMayWrite=*/AOpening == loRequire) == kcOther)
    throw EOtherKeyError(OtherKeyMessage(FParameters.Ledger.Uri, FParameters.Ledger.KeyFile, *Judge));
  return Judge;
}

void TLedgerTool::CheckRecorded(TRecordResult AResult) {
  if (AResult == rrFull)
    throw ERecordError("The ledger is full: raise --ledger-map-size, or prune it", AResult);
  if (AResult == rrUnavailable)
    throw ERecordError("The ledger stopped taking records; run the command again when it is back", AResult);
}

static void CreateFolderOf(const std::string &AFileName) {
  const std::filesystem::path Folder = std::filesystem::path(AFileName).parent_path();
  std::error_code Error;
  if (!Folder.empty() && !std::filesystem::create_directories(Folder, Error) && Error)
    throw ECreateError("Cannot create the folder \"" + OneLineText(Folder.string()) + "\": " + Error.message());
}

int TLedgerTool::Init() {
  const std::string &KeyFile = FParameters.Ledger.KeyFile;
  CreateFolderOf(KeyFile);
  bool Created = false;
  try {
    Created = CreateLedgerKeyFile(KeyFile);
  } catch (const ELedgerKeyError &E) {  // creating, not reading: a file that cannot be created
    throw ECreateError(E.Message());
  }
  TLedgerHasher::FromKeyFile(KeyFile);  // an existing key file must be readable and long enough
  std::cout << (Created ? "Created the key file " : "Kept the key file ") << KeyFile << "\n";
  const TResult<TLedgerLocation> Parsed = ParseLedgerUri(FParameters.Ledger.Uri);
  if (Parsed && Parsed->Kind == lkLmdb)
    CreateFolderOf(Parsed->Path);
  // The fingerprint goes in at creation, so that every later opener can
  // tell a ledger of another key.
  const std::unique_ptr<TLedgerJudge> Judge = OpenJudge(loRequire);
  std::cout << "Ledger " << FParameters.Ledger.Uri << " keyed with " << Judge->KeyFingerprint()
            << ", recording since " << FormatTime(Judge->Store().StartTime()) << "\n";
  return EX_OK;
}

int TLedgerTool::Add() {
  const std::unique_ptr<TLedgerJudge> Judge = OpenJudge(loRequire);
  int Result = EX_OK;
  for (const std::string &Arg : FParameters.Args) {
    const std::optional<std::string> Id = SentMessageIdText(Arg);
    if (!Id) {
      ReportNoMessageId(Arg);
      Result = EX_DATAERR;
      continue;
    }
    CheckRecorded(Judge->Record(*Id));
    std::cout << "Recorded " << OneLineText(*Id) << "\n";
  }
  CheckRecorded(Judge->Store().Flush());
  return Result;
}

int TLedgerTool::Lookup() {
  const std::unique_ptr<TLedgerJudge> Judge = OpenJudge(loExisting);
  int Result = EX_OK;
  bool Missing = false;
  for (const std::string &Arg : FParameters.Args) {
    const std::optional<std::string> Id = SentMessageIdText(Arg);
    if (!Id) {
      ReportNoMessageId(Arg);
      Result = EX_DATAERR;
      continue;
    }
    const TLookupResult Found = Judge->LookUpText(*Id);
    if (Found == lrUnknown) {
      ReportError("The ledger cannot answer for " + OneLineText(*Id));
      return EX_TEMPFAIL;
    }
    Missing = Missing || Found == lrAbsent;
    std::cout << OneLineText(*Id) << (Found == lrFound ? ": found" : ": not found") << "\n";
  }
  return Result != EX_OK ? Result : Missing ? ExitNotFound : EX_OK;
}

int TLedgerTool::Import() {
  const std::unique_ptr<TLedgerJudge> Judge = OpenJudge(loRequire);
  int Result = EX_OK;
  std::vector<std::pair<std::string, std::uint64_t>> Paths;  // and their sizes, for the bar
  std::uint64_t Total = 0;
  for (const std::string &Path : FParameters.Args) {
    try {
      Paths.emplace_back(Path, SentMailSize(Path));
      Total += Paths.back().second;
    } catch (const EStreamError &E) {  // one unreadable path: say so, and import the others
      ReportError(E.Message());
      Result = EX_NOINPUT;
    }
  }
  const TLedgerTime Now = LedgerNow();
  const TLedgerTime Cutoff = RetentionCutoff(Now, Retention());
  std::uint64_t Messages = 0, Recorded = 0, Old = 0, WithoutId = 0, WithoutDate = 0, Unreadable = 0, Before = 0;
  {
    TProgressBar Bar(Total);
    const auto OnMessage = [&](const TSentMessage &AMessage) {
      ++Messages;
      const std::vector<std::string> Ids = SentMessageIdTexts(AMessage.Fields);
      if (Ids.empty()) {
        ++WithoutId;
        return;
      }
      const auto DateField = std::find_if(AMessage.Fields.begin(), AMessage.Fields.end(),
                                          [](const THeaderField &AField) { return SameText(AField.Name, "Date"); });
      const std::optional<TLedgerTime> Date =
          DateField != AMessage.Fields.end() ? ParseMailDate(DateField->Value) : std::nullopt;
      if (!Date) {
        ++WithoutDate;
        return;
      }
      // A clock that ran fast when it was sent must not stretch its retention.
      const TLedgerTime Sent = std::min(*Date, Now);
      if (Sent < Cutoff) {
        ++Old;
        return;
      }
      for (const std::string &Id : Ids) {
        // Any number of messages in one call: the import waits for the
        // writer where it falls behind.
        const TRecordResult Recording = Judge->RecordWaiting(Id, Sent);
        if (Recording == rrExpired) {
          ++Old;
          return;
        }
        CheckRecorded(Recording);
        ++Recorded;
      }
    };
    for (const auto &[Path, Size] : Paths) {
      try {
        ReadSentMail(
            Path, OnMessage, [&](std::uint64_t ADone) { Bar.Update(Before + ADone, Messages); },
            [&](const std::string &AMessage) {
              ReportError(AMessage + " (skipped)");
              ++Unreadable;
              Result = EX_NOINPUT;
            });
      } catch (const EStreamError &E) {  // a file that fails while read: the others still count
        ReportError(E.Message());
        Result = EX_NOINPUT;
      }
      Before += Size;
    }
  }
  CheckRecorded(Judge->Store().Flush());
  std::cout << "Recorded " << Recorded << " IDs of " << Messages << " messages; skipped " << Old << " older than "
            << Retention().count() << " days, " << WithoutId << " without a Message-ID, " << WithoutDate
            << " without a readable Date" << (Unreadable ? ", " + std::to_string(Unreadable) + " unreadable files" : "")
            << "\n";
  return Result;
}

// The share of its bound a store uses from which stats warns.
static constexpr double NearlyFull = 0.9;

void TLedgerTool::ShowGaps(ILedgerStore &AStore) const {
  const TLedgerTime Now = LedgerNow();
  const std::optional<std::vector<TLedgerHeartbeat>> Marks = AStore.Heartbeats();
  if (!Marks) {
    std::cout << "recorders: unknown (the ledger cannot say now)\n";
  } else {
    std::cout << "recorders: " << (Marks->empty() ? "none" : std::to_string(Marks->size())) << "\n";
    for (const TLedgerHeartbeat &Mark : *Marks)
      std::cout << "  " << OneLineText(Mark.Recorder) << ": last mark " << LedgerTimeText(Mark.Last)
                << (Now - Mark.Last > HeartbeatStale ? " (not recording: an open gap)" : "") << "\n";
  }
  const std::optional<std::vector<TLedgerGap>> Gaps = GapsWithin(AStore, Retention(), Now);
  if (!Gaps) {
    std::cout << "gaps: unknown (the ledger cannot say now)\n";
    return;
  }
  std::cout << "gaps within the retention: " << (Gaps->empty() ? "none" : std::to_string(Gaps->size())) << "\n";
  for (const TLedgerGap &Gap : *Gaps)
    std::cout << "  " << LedgerTimeText(Gap.From) << " to " << (Gap.To >= Now ? "now" : LedgerTimeText(Gap.To))
              << ", " << OneLineText(Gap.Recorder) << ": " << OneLineText(Gap.Reason) << "\n";
}

// Whose key the ledger's fingerprint is, for stats: the key files are read
// only for this, so that stats works without them too.
static std::string FingerprintOwner(const std::string &AFingerprint, const TLedgerSettings &ASettings) {
  try {
    const std::string Own = TLedgerHasher::FromKeyFile(ASettings.KeyFile).Fingerprint();
    if (AFingerprint == Own)
      return "this key's";
    if (!ASettings.PreviousKeyFile.empty() &&
        AFingerprint == TLedgerHasher::FromKeyFile(ASettings.PreviousKeyFile).Fingerprint())
      return "the previous key's";
    return "ANOTHER KEY: this key's is " + Own + "; no ID would be found";
  } catch (const ELedgerKeyError &E) {  // stats needs no key: say why none was compared
    return "not compared: " + E.Message();
  }
}

int TLedgerTool::Stats() {
  const std::unique_ptr<ILedgerStore> Opened = OpenStore(loExisting);
  ILedgerStore &Store = *Opened;
  const TLedgerStats Stats = Store.Stats();
  std::cout << "ledger: " << FParameters.Ledger.Uri << "\n"
            << "entries: " << Stats.Entries << "\n"
            << "oldest: " << FormatTime(Stats.Oldest) << "\n"
            << "newest: " << FormatTime(Stats.Newest) << "\n"
            << "bytes used: " << Stats.BytesUsed;
  if (Stats.Entries > 0)
    std::cout << " (" << Stats.BytesUsed / Stats.Entries << " per entry)";
  std::cout << "\n";
  if (Stats.Fullness) {
    std::cout << "fullness: " << static_cast<int>(*Stats.Fullness * 100 + 0.5) << " %\n";
    if (*Stats.Fullness >= NearlyFull)
      std::cout << "warning: the ledger is nearly full; once full, new records are lost and their bounces are "
                   "judged as for a gap: raise --ledger-map-size (or Redis's maxmemory), or prune it\n";
  }
  std::cout << "start time: " << FormatTime(Stats.StartTime) << "\n"
            << "cover since: " << FormatTime(Stats.CoverSince) << "\n";
  if (const std::optional<TLedgerTime> Covered = CoveredFrom(Store, Retention()))
    std::cout << "covers the retention of " << Retention().count() << " days: "
              << (*Covered <= LedgerNow() ? "yes" : "from " + FormatTime(*Covered)) << "\n";
  std::cout << "key fingerprint: "
            << (Stats.Fingerprint ? *Stats.Fingerprint + " (" + FingerprintOwner(*Stats.Fingerprint, FParameters.Ledger) + ")"
                                  : "none")
            << "\n";
  ShowGaps(Store);
  return EX_OK;
}

int TLedgerTool::Prune() {
  const std::unique_ptr<ILedgerStore> Store = OpenStore(loExisting);
  if (const TResult<TLedgerLocation> Parsed = ParseLedgerUri(FParameters.Ledger.Uri); Parsed->Kind != lkLmdb) {
    std::cout << "Redis removes the entries older than the retention by itself: nothing to prune\n";
    return EX_OK;
  }
  std::size_t Visited = 0, Removed = 0;
  for (;;) {
    const TSweepResult Step = Store->Sweep(PruneStep);
    Visited += Step.Visited;
    Removed += Step.Removed;
    if (Step.PassComplete)
      break;
  }
  std::cout << "Removed " << Removed << " of " << Visited << " entries older than " << Retention().count()
            << " days\n";
  return EX_OK;
}

// "YYYY-MM-DD" (midnight UTC) or "YYYY-MM-DDTHH:MM[:SS]" (UTC).
static std::optional<TLedgerTime> ParseCoverDate(std::string_view AText) {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  char Tail = 0;
  const std::string Text(AText);
  const int Read = std::sscanf(Text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &Year, &Month, &Day, &Tail, &Hour, &Minute,
                               &Second);
  const bool Shape = (Read == 3 && Text.size() == 10) || ((Read == 6 || Read == 7) && (Tail == 'T' || Tail == ' '));
  const std::chrono::year_month_day Date{std::chrono::year(Year), std::chrono::month(static_cast<unsigned>(Month)),
                                         std::chrono::day(static_cast<unsigned>(Day))};
  if (!Shape || !Date.ok() || Hour > 23 || Minute > 59 || Second > 59)
    return std::nullopt;
  return std::chrono::sys_days(Date) + std::chrono::hours(Hour) + std::chrono::minutes(Minute) +
         std::chrono::seconds(Second);
}

int TLedgerTool::Cover() {
  static constexpr std::string_view Since = "--since=";
  const std::string &Arg = FParameters.Args.front();
  const std::optional<TLedgerTime> Date =
      Arg.starts_with(Since) ? ParseCoverDate(std::string_view(Arg).substr(Since.size())) : std::nullopt;
  if (!Date || *Date > LedgerNow()) {
    ReportError("cover takes --since=DATE, a past date as YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC), not \"" +
                OneLineText(Arg) + "\" (see --help)");
    return EX_USAGE;
  }
  OpenStore(loExisting);  // a ledger that does not exist is a typo, not one to create
  const std::unique_ptr<TLedgerJudge> Judge = OpenJudge(loRequire);
  CheckRecorded(Judge->Store().SetCoverSince(*Date));
  // An administrator's word that shortens the warm-up: leave it in the mail
  // log beside the milter's lines.
  const std::string Line = "ledger " + OneLineText(FParameters.Ledger.Uri) + ": every way of sending mail stated "
                           "recorded since " + LedgerTimeText(*Date) + " by uid " + std::to_string(::getuid());
  ::openlog(ProgramName, LOG_PID, LOG_MAIL);
  ::syslog(LOG_NOTICE, "%s", Line.c_str());
  ::closelog();
  std::cout << "Ledger " << FParameters.Ledger.Uri << " complete since " << LedgerTimeText(*Date)
            << ": it covers the retention of " << Retention().count() << " days from "
            << FormatTime(CoveredFrom(Judge->Store(), Retention())) << "\n";
  return EX_OK;
}

int TLedgerTool::Retire() {
  const std::string &Recorder = FParameters.Args.front();
  OpenStore(loExisting);  // as for cover
  const std::unique_ptr<ILedgerStore> Store = OpenStore(loRequire);
  const std::optional<std::vector<TLedgerHeartbeat>> Marks = Store->Heartbeats();
  if (Marks && std::none_of(Marks->begin(), Marks->end(),
                            [&](const TLedgerHeartbeat &AMark) { return AMark.Recorder == Recorder; })) {
    ReportError("No recorder \"" + OneLineText(Recorder) + "\" in the ledger (stats lists them)");
    return EX_DATAERR;
  }
  CheckRecorded(Store->RetireRecorder(Recorder));
  std::cout << "Retired the recorder " << OneLineText(Recorder)
            << ": its marks are no longer awaited; its gaps stay until they leave the retention\n";
  return EX_OK;
}

int TLedgerTool::Run() {
  switch (FParameters.Command) {
  case lcInit:
    return Init();
  case lcAdd:
    return Add();
  case lcLookup:
    return Lookup();
  case lcImport:
    return Import();
  case lcStats:
    return Stats();
  case lcPrune:
    return Prune();
  case lcBatv:
    return RunBatvCommand(FParameters.Batv, FParameters.Args, std::cout, ReportError);
  case lcCover:
    return Cover();
  case lcRetire:
    return Retire();
  }
  return EX_SOFTWARE;
}

int ExitCodeOf(const Exception &AError) {
  if (dynamic_cast<const ELedgerKeyError *>(&AError) || dynamic_cast<const EStreamError *>(&AError))
    return EX_NOINPUT;
  if (dynamic_cast<const ECreateError *>(&AError))
    return EX_CANTCREAT;
  if (const auto *Record = dynamic_cast<const ERecordError *>(&AError))
    return Record->Result() == rrFull ? EX_IOERR : EX_TEMPFAIL;
  if (dynamic_cast<const EOtherKeyError *>(&AError))
    return EX_CONFIG;
  if (dynamic_cast<const ELedgerError *>(&AError))
    return EX_UNAVAILABLE;
  return EX_SOFTWARE;
}

} // namespace

int RunLedgerTool(std::span<const std::string> AArgs) {
  const TLedgerToolParseResult Parsed = ParseLedgerToolArguments(AArgs);
  switch (Parsed.Request) {
  case ltHelp:
    std::cout << LedgerToolHelpText();
    return EX_OK;
  case ltVersion:
    std::cout << ProgramName << " " << ProgramVersion << "\n";
    return EX_OK;
  case ltUsageError:
    ReportError(Parsed.Message + " (see --help)");
    return EX_USAGE;
  case ltRun:
    break;
  }
  try {
    return TLedgerTool(Parsed.Parameters).Run();
  } catch (const Exception &E) {
    ReportError(E.Message());
    return ExitCodeOf(E);
  }
}

} // namespace bw
