// The ledger tool's command line and commands.
#include "ledger-tool/LedgerTool_un.h"

#include "ledger-tool/LedgerCommands_un.h"

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

std::string FormatTime(std::optional<TLedgerTime> ATime) {
  if (!ATime)
    return "none";
  return LedgerTimeText(*ATime);
}

void ReportError(const std::string &AMessage) { std::cerr << LedgerToolName << ": " << AMessage << "\n"; }

void ReportNoMessageId(const std::string &AArg) {
  std::cerr << LedgerToolName << ": \"" << OneLineText(AArg) << "\" holds no Message-ID\n";
}

namespace {

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

} // namespace


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

int RunLedgerTool(std::span<const std::string> AArgs) {
  const TLedgerToolParseResult Parsed = ParseLedgerToolArguments(AArgs);
  switch (Parsed.Request) {
  case ltHelp:
    std::cout << LedgerToolHelpText();
    return EX_OK;
  case ltVersion:
    std::cout << LedgerToolName << " " << ProgramVersion << "\n";
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
