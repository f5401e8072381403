// The ledger tool's command line and commands.
#include "ledger-tool/LedgerTool_un.h"

#include "detector/MessageIdText_un.h"
#include "ledger-tool/SentMail_un.h"
#include "ledger/LedgerOpen_un.h"
#include "ledger/LedgerUri_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/Version_un.h"

#include <sysexits.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>

namespace bw {

static constexpr const char *ProgramName = "bouncewarden-ledger";
static constexpr int ExitNotFound = 1;
static constexpr std::chrono::milliseconds ToolTimeout{1000};  // an administrator can wait longer than mail
static constexpr std::size_t PruneStep = 10000;                // entries per write transaction of prune

// The defaults come from the ledger's own constants, which the milter shows too.
static const std::string HelpText =
    "Usage: bouncewarden-ledger [OPTION...] COMMAND [ARG...]\n"
    "Keeps the ledger of the Message-IDs of sent mail that bounces are checked against.\n"
    "\n"
    "Commands:\n"
    "  init            create the key file (mode 0600) when it is missing, and the ledger\n"
    "  add ID...       record the IDs as sent now\n"
    "  lookup ID...    tell whether each ID is recorded (exit 0: all are, 1: not all)\n"
    "  import PATH...  record the IDs of the mbox files or maildirs of sent mail, as sent at\n"
    "                  their Date; messages older than the retention are skipped\n"
    "  stats           entries, oldest, newest, bytes used, start time\n"
    "  prune           remove the entries older than the retention\n"
    "\n"
    "Options:\n"
    "  --ledger=URI            lmdb:PATH, redis://HOST[:PORT][/DB] or redis+unix:PATH[?db=N]\n"
    "                          (default: " + std::string(DefaultLedgerUri) + ")\n"
    "  --ledger-key-file=FILE  the site's key (default: " + std::string(DefaultLedgerKeyFile) + ")\n"
    "  --retention=DAYS        how long a sent ID counts (default: " + std::to_string(DefaultRetentionDays) + ")\n"
    "  --ledger-map-size=MIB   the most an LMDB ledger may grow to (default: " + std::to_string(DefaultMapSizeMiB) + ")\n"
    "  --help                  show this text\n"
    "  --version               show the version\n";

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

struct TCommandInfo {
  std::string_view Name;
  TLedgerCommand Command;
  bool TakesArgs;
};
constexpr TCommandInfo Commands[] = {
    {"init", lcInit, false},     {"add", lcAdd, true},     {"lookup", lcLookup, true},
    {"import", lcImport, true},  {"stats", lcStats, false}, {"prune", lcPrune, false},
};

std::optional<std::uint64_t> NumberOf(std::string_view AText, std::uint64_t AMin, std::uint64_t AMax) {
  std::uint64_t Value = 0;
  const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Value);
  if (AText.empty() || Error != std::errc() || End != AText.data() + AText.size() || Value < AMin || Value > AMax)
    return std::nullopt;
  return Value;
}

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
  std::unique_ptr<ILedgerStore> OpenStore() const;
  TLedgerHasher Hasher() const { return TLedgerHasher::FromKeyFile(FParameters.KeyFile); }
  static void CheckRecorded(TRecordResult AResult);

  TLedgerToolParameters FParameters;
};

std::unique_ptr<ILedgerStore> TLedgerTool::OpenStore() const {
  TLedgerOptions Options;
  Options.Uri = FParameters.Uri;
  Options.Opening = loRequire;
  Options.Retention = FParameters.Retention;
  Options.MapSize = FParameters.MapSize;
  Options.Timeout = ToolTimeout;
  Options.SweepInterval = std::chrono::milliseconds(0);  // prune sweeps when asked to
  return OpenLedgerStore(Options, [](const std::string &ALine) { ReportError(ALine); });
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
  CreateFolderOf(FParameters.KeyFile);
  bool Created = false;
  try {
    Created = CreateLedgerKeyFile(FParameters.KeyFile);
  } catch (const ELedgerKeyError &E) {  // creating, not reading: a file that cannot be created
    throw ECreateError(E.Message());
  }
  Hasher();  // an existing key file must be readable and long enough
  std::cout << (Created ? "Created the key file " : "Kept the key file ") << FParameters.KeyFile << "\n";
  const TResult<TLedgerLocation> Parsed = ParseLedgerUri(FParameters.Uri);
  if (Parsed && Parsed->Kind == lkLmdb)
    CreateFolderOf(Parsed->Path);
  const std::unique_ptr<ILedgerStore> Store = OpenStore();
  std::cout << "Ledger " << FParameters.Uri << " recording since " << FormatTime(Store->StartTime()) << "\n";
  return EX_OK;
}

int TLedgerTool::Add() {
  const TLedgerHasher KeyHasher = Hasher();
  const std::unique_ptr<ILedgerStore> Store = OpenStore();
  int Result = EX_OK;
  for (const std::string &Arg : FParameters.Args) {
    const std::optional<std::string> Id = Utf8MessageIdOfHeaderValue(Arg);
    if (!Id) {
      ReportNoMessageId(Arg);
      Result = EX_DATAERR;
      continue;
    }
    CheckRecorded(Store->Record(KeyHasher.KeyOf(*Id), LedgerNow()));
    std::cout << "Recorded " << OneLineText(*Id) << "\n";
  }
  CheckRecorded(Store->Flush());
  return Result;
}

int TLedgerTool::Lookup() {
  const TLedgerHasher KeyHasher = Hasher();
  const std::unique_ptr<ILedgerStore> Store = OpenStore();
  int Result = EX_OK;
  bool Missing = false;
  for (const std::string &Arg : FParameters.Args) {
    const std::optional<std::string> Id = Utf8MessageIdOfHeaderValue(Arg);
    if (!Id) {
      ReportNoMessageId(Arg);
      Result = EX_DATAERR;
      continue;
    }
    const TLookupResult Found = Store->Contains(KeyHasher.KeyOf(*Id));
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
  const TLedgerHasher KeyHasher = Hasher();
  const std::unique_ptr<ILedgerStore> Store = OpenStore();
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
  const TLedgerTime Cutoff = RetentionCutoff(Now, FParameters.Retention);
  std::uint64_t Messages = 0, Recorded = 0, Old = 0, WithoutId = 0, WithoutDate = 0, Before = 0;
  {
    TProgressBar Bar(Total);
    const auto OnMessage = [&](const TSentMessage &AMessage) {
      ++Messages;
      const std::optional<std::string> Id =
          AMessage.MessageId ? Utf8MessageIdOfHeaderValue(*AMessage.MessageId) : std::nullopt;
      if (!Id) {
        ++WithoutId;
        return;
      }
      const std::optional<TLedgerTime> Date = AMessage.Date ? ParseMailDate(*AMessage.Date) : std::nullopt;
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
      const TRecordResult Recording = Store->Record(KeyHasher.KeyOf(*Id), Sent);
      if (Recording == rrExpired) {
        ++Old;
        return;
      }
      CheckRecorded(Recording);
      ++Recorded;
    };
    for (const auto &[Path, Size] : Paths) {
      try {
        ReadSentMail(Path, OnMessage, [&](std::uint64_t ADone) { Bar.Update(Before + ADone, Messages); });
      } catch (const EStreamError &E) {  // a file that fails while read: the others still count
        ReportError(E.Message());
        Result = EX_NOINPUT;
      }
      Before += Size;
    }
  }
  CheckRecorded(Store->Flush());
  std::cout << "Recorded " << Recorded << " IDs of " << Messages << " messages; skipped " << Old << " older than "
            << FParameters.Retention.count() << " days, " << WithoutId << " without a Message-ID, " << WithoutDate
            << " without a readable Date\n";
  return Result;
}

int TLedgerTool::Stats() {
  const std::unique_ptr<ILedgerStore> Store = OpenStore();
  const TLedgerStats Stats = Store->Stats();
  std::cout << "ledger: " << FParameters.Uri << "\n"
            << "entries: " << Stats.Entries << "\n"
            << "oldest: " << FormatTime(Stats.Oldest) << "\n"
            << "newest: " << FormatTime(Stats.Newest) << "\n"
            << "bytes used: " << Stats.BytesUsed << "\n"
            << "start time: " << FormatTime(Stats.StartTime) << "\n";
  if (Stats.StartTime) {
    const TLedgerTime Covered = *Stats.StartTime + FParameters.Retention;
    std::cout << "covers the retention of " << FParameters.Retention.count() << " days: "
              << (Covered <= LedgerNow() ? "yes" : "from " + FormatTime(Covered)) << "\n";
  }
  return EX_OK;
}

int TLedgerTool::Prune() {
  const std::unique_ptr<ILedgerStore> Store = OpenStore();
  if (const TResult<TLedgerLocation> Parsed = ParseLedgerUri(FParameters.Uri); Parsed->Kind != lkLmdb) {
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
  std::cout << "Removed " << Removed << " of " << Visited << " entries older than " << FParameters.Retention.count()
            << " days\n";
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
  if (dynamic_cast<const ELedgerError *>(&AError))
    return EX_UNAVAILABLE;
  return EX_SOFTWARE;
}

} // namespace

TLedgerToolParseResult ParseLedgerToolArguments(std::span<const std::string> AArgs) {
  TLedgerToolParseResult Result;
  TLedgerToolParameters &Parameters = Result.Parameters;
  std::size_t I = 0;
  for (; I < AArgs.size() && AArgs[I].starts_with("--"); ++I) {
    const std::string_view Arg = AArgs[I];
    const std::size_t Equals = Arg.find('=');
    const std::string_view Name = Arg.substr(0, Equals);
    const std::string_view Value = Equals == std::string_view::npos ? std::string_view() : Arg.substr(Equals + 1);
    const bool HasValue = Equals != std::string_view::npos;
    if (Name == "--help" || Name == "--version") {
      Result.Request = Name == "--help" ? ltHelp : ltVersion;
      return Result;
    }
    if (!HasValue) {
      Result.Message = "unknown option or missing value: " + OneLineText(AArgs[I]);
      return Result;
    }
    if (Name == "--ledger") {
      if (const TResult<TLedgerLocation> Uri = ParseLedgerUri(Value); !Uri) {
        Result.Message = Uri.error();
        return Result;
      }
      Parameters.Uri = Value;
    } else if (Name == "--ledger-key-file") {
      if (Value.empty()) {
        Result.Message = "--ledger-key-file needs a file name";
        return Result;
      }
      Parameters.KeyFile = Value;
    } else if (Name == "--retention") {
      const std::optional<std::uint64_t> Days = NumberOf(Value, 1, 3650);
      if (!Days) {
        Result.Message = "--retention takes a number of days from 1 to 3650";
        return Result;
      }
      Parameters.Retention = std::chrono::days(*Days);
    } else if (Name == "--ledger-map-size") {
      const std::optional<std::uint64_t> MiB = NumberOf(Value, 1, std::uint64_t(1) << 20);
      if (!MiB) {
        Result.Message = "--ledger-map-size takes a number of MiB from 1 to 1048576";
        return Result;
      }
      Parameters.MapSize = *MiB << 20;
    } else {
      Result.Message = "unknown option: " + OneLineText(std::string(Name));
      return Result;
    }
  }
  if (I == AArgs.size()) {
    Result.Message = "no command given (init, add, lookup, import, stats or prune)";
    return Result;
  }
  const std::string &Name = AArgs[I];
  const auto Found = std::find_if(std::begin(Commands), std::end(Commands),
                                  [&Name](const TCommandInfo &AInfo) { return AInfo.Name == Name; });
  if (Found == std::end(Commands)) {
    Result.Message = "unknown command: " + OneLineText(Name);
    return Result;
  }
  Parameters.Command = Found->Command;
  Parameters.Args.assign(AArgs.begin() + static_cast<std::ptrdiff_t>(I) + 1, AArgs.end());
  if (Found->TakesArgs == Parameters.Args.empty()) {
    Result.Message = Found->TakesArgs ? Name + " needs at least one argument" : Name + " takes no arguments";
    return Result;
  }
  Result.Request = ltRun;
  return Result;
}

int RunLedgerTool(std::span<const std::string> AArgs) {
  const TLedgerToolParseResult Parsed = ParseLedgerToolArguments(AArgs);
  switch (Parsed.Request) {
  case ltHelp:
    std::cout << HelpText;
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
