// The ledger tool's commands that read and tend a ledger: stats, prune,
// cover and retire.
#include "ledger-tool/LedgerCommands_un.h"

#include "detector/MailDate_un.h"
#include "ledger/LedgerUri_un.h"
#include "rtl/StrUtils_un.h"

#include <syslog.h>
#include <sysexits.h>

#include <cmath>
#include <iostream>

namespace bw {

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
    std::cout << "fullness: " << std::lround(*Stats.Fullness * 100) << " %\n";
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
  ::openlog(LedgerToolName, LOG_PID, LOG_MAIL);
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

} // namespace bw
