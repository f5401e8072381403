// The daemon around libmilter's main loop: the start-up in its order, the
// signals, and the stop that answers every message in progress.
#include "milter-daemon/MilterDaemon_un.h"

#include "metrics/MetricsExposer_un.h"
#include "milter-daemon/MilterConnections_un.h"
#include "milter-daemon/MilterStartup_un.h"
#include "verdict/BatvSettings_un.h"

#include <libmilter/mfapi.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

namespace bw {

// Runs AAction on a thread of its own, or here when no thread can be made
// (a stop may come just when the task limit is reached): slower, but never
// an exception out of the stop.
template <class TAction> static void RunDetached(TAction AAction) {
  try {
    std::thread(AAction).detach();
  } catch (const std::system_error &) {
    AAction();
  }
}

// Commits the records the ledger still queues. The stop ends the process
// with _exit, which no destructor survives; a store that hangs costs it at
// most ALimit.
static bool FlushLedger(TMilterContext &AContext, std::chrono::seconds ALimit) {
  // Held, not borrowed: the thread may outlive this call.
  std::shared_ptr<TLedgerJudge> Ledger = AContext.Settings()->Ledger;
  if (!Ledger)
    return true;
  auto Done = std::make_shared<std::promise<void>>();
  std::future<void> Flushed = Done->get_future();
  RunDetached([Ledger = std::move(Ledger), Done] {
    Ledger->Store().Flush();
    Done->set_value();
  });
  return Flushed.wait_for(ALimit) == std::future_status::ready;
}

// --- Signals. libmilter's own signal thread waits for SIGHUP, SIGTERM and
// SIGINT and stops on any of them. It blocks them in the thread that calls
// smfi_main, and its threads inherit that mask; this thread keeps them
// unblocked, with handlers, and Linux gives a signal sent to the process to
// its first thread whenever that thread does not block it. So a signal comes
// here, and only smfi_stop (on SIGTERM or SIGINT) stops libmilter.

static int SignalPipe[2] = {-1, -1};
// What the main loop reads from the pipe besides signal numbers.
static constexpr unsigned char MainLoopEnded = 0xFF;

static void OnSignal(int ASignal) {
  const int Saved = errno;
  const unsigned char Byte = static_cast<unsigned char>(ASignal);
  (void)!write(SignalPipe[1], &Byte, 1);
  errno = Saved;
}

static sigset_t StopSignals() {
  sigset_t Set;
  sigemptyset(&Set);
  for (int Signal : {SIGHUP, SIGTERM, SIGINT})
    sigaddset(&Set, Signal);
  return Set;
}

static const char *SignalName(int ASignal) {
  switch (ASignal) {
  case SIGHUP:
    return "SIGHUP";
  case SIGTERM:
    return "SIGTERM";
  case SIGINT:
    return "SIGINT";
  }
  return "a signal";
}

// The stack of each thread libmilter starts per connection. glibc's default
// (8 MiB of address space each) made 2730 stalled peers hold 22.6 GB of
// virtual memory. A connection runs its own check when a slot is free, and
// a check's deepest use is PCRE's matcher at its recursion limit, which
// needs between 512 and 768 KiB (a long Message-ID under a pattern that
// recurses per character): 2 MiB leaves more than twice that.
static constexpr std::size_t ConnectionStack = std::size_t{2} * 1024 * 1024;

static void UseSmallStacksForLaterThreads() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' instrumentation needs bigger frames: keep the default.
#else
  pthread_attr_t Attributes;
  if (pthread_attr_init(&Attributes) != 0)
    return;
  if (pthread_attr_setstacksize(&Attributes, ConnectionStack) == 0)
    pthread_setattr_default_np(&Attributes);
  pthread_attr_destroy(&Attributes);
#endif
}

// Logs once when the process runs out of descriptors (libmilter then
// retries accept() in a loop without a word) and once when it has some again.
class TDescriptorWatch {
public:
  explicit TDescriptorWatch(TMilterLog &ALog) : FLog(ALog) {}
  void Check() {
    const int Probe = fcntl(SignalPipe[0], F_DUPFD_CLOEXEC, 0);
    if (Probe >= 0) {
      close(Probe);
      if (FExhausted)
        FLog.Daemon("file descriptors available again: new connections are accepted");
      FExhausted = false;
      return;
    }
    if (FExhausted || (errno != EMFILE && errno != ENFILE))
      return;
    FExhausted = true;
    rlimit Limit{};
    getrlimit(RLIMIT_NOFILE, &Limit);
    FLog.Daemon("out of file descriptors (limit " + std::to_string(Limit.rlim_cur) +
                "): no new connection can be accepted until one closes (a connection silent for --timeout, or "
                "with a message older than --message-timeout, is closed); raise LimitNOFILE= or lower those");
  }

private:
  TMilterLog &FLog;
  bool FExhausted = false;
};

// The ledger's upkeep (a recorder's mark, a key check the store could not
// answer at start) on a thread of its own, so that a store that hangs
// never holds up a signal; one at a time.
static void TickLedger(TMilterContext &AContext) {
  static std::atomic<bool> Busy{false};
  std::shared_ptr<TLedgerUpkeep> Upkeep = AContext.Upkeep();
  if (!Upkeep || Busy.exchange(true))
    return;
  RunDetached([Upkeep = std::move(Upkeep)] {
    Upkeep->Tick(std::chrono::steady_clock::now());
    Busy = false;
  });
}

// The summary line of the counts, each hour and at the stop, for sites
// without Prometheus.
class TSummary {
public:
  explicit TSummary(TMilterContext &AContext) : FContext(AContext), FLast(AContext.Metrics().Read()) {}
  void Tick() {
    if (std::chrono::steady_clock::now() - FLastAt >= std::chrono::hours(1))
      Write();
  }
  void Write() {
    const auto Now = std::chrono::steady_clock::now();
    const TMetricsReading Reading = FContext.Metrics().Read();
    FContext.Log().Daemon(
        SummaryText(Reading - FLast, std::chrono::duration_cast<std::chrono::seconds>(Now - FLastAt)));
    FLast = Reading;
    FLastAt = Now;
  }

private:
  TMilterContext &FContext;
  TMetricsReading FLast;
  std::chrono::steady_clock::time_point FLastAt = std::chrono::steady_clock::now();
};

// The orderly stop: no new connection (the listening socket closed here,
// not by smfi_stop, after which libmilter drops every session within about
// a second), new transactions refused with a 4xx, every transaction begun
// before it served to its end (checks unfinished at the deadline with the
// --on-error answer), then the end of the process once the last answers
// went out, without tearing down anything a running thread may still use.
// With nothing in progress it ends at once.
[[noreturn]] static void Stop(TMilterContext &AContext, TSummary &ASummary, const std::string &AReason, int AExitCode) {
  using std::chrono::steady_clock;
  const auto Start = steady_clock::now();
  AContext.BeginStop();
  const std::size_t InProgress = AContext.OpenTransactions();
  if (!CloseListener())
    AContext.Log().Daemon("the listening socket could not be closed: connections made during the stop are "
                          "refused message by message");
  const TMilterSettingsPtr Settings = AContext.Settings();
  const auto Deadline = Start + std::chrono::seconds(Settings->Options.StopGraceSeconds);
  if (!AContext.WaitForTransactions(Deadline))
    AContext.Checks().Abandon();  // the connections waiting for a check answer now
  // Every answer goes out as its callback returns: once none has run for a
  // moment, the last ones are written. A check that a connection runs
  // itself cannot be abandoned, but it is bounded: it gets up to 8 s more
  // (within the unit's TimeoutStopSec= after the default grace). A message
  // still coming in after that is cut off with the connection.
  const bool Quiet = AContext.WaitForQuiet(std::chrono::milliseconds(100), steady_clock::now() + std::chrono::seconds(8));
  const std::size_t CutOff = AContext.OpenTransactions();
  const bool Flushed = FlushLedger(AContext, std::chrono::seconds(5));
  char Seconds[32];
  std::snprintf(Seconds, sizeof Seconds, "%.1f", std::chrono::duration<double>(steady_clock::now() - Start).count());
  std::string Line = "stopped " + AReason + " after " + Seconds + " s";
  if (InProgress > 0 || CutOff > 0) {
    Line += ": " + std::to_string(InProgress) + " message(s) in progress, " +
            std::to_string(AContext.AnsweredSinceStop()) + " answered, " +
            std::to_string(AContext.AbortedSinceStop()) + " left by their MTA";
    if (CutOff > 0)
      Line += ", " + std::to_string(CutOff) + " still coming in at the " +
              std::to_string(Settings->Options.StopGraceSeconds) + " s grace time and cut off";
  }
  if (!Quiet)
    Line += ", connections still busy";
  if (!Flushed)
    Line += ", the ledger's last records not committed within 5 s";
  ASummary.Write();
  AContext.Log().Daemon(Line);
  // Not exit(): no destructor may run under a check or a libmilter thread.
  _exit(AExitCode);
}

// Closes the connections past their bounds. Only where each connection's
// socket can be told (see ConnectionSocket): otherwise a busy connection
// would look as silent as an idle one.
static void WatchConnections(TMilterContext &AContext) {
  static bool Said = false;
  if (ConnectionsUntellable() && !std::exchange(Said, true))
    AContext.Log().Daemon("warning: the connections' sockets cannot be told from libmilter's context: connections "
                          "silent beyond --timeout or --message-timeout are not closed");
  if (!ConnectionsKnown())
    return;
  const auto Now = std::chrono::steady_clock::now();
  TConnectionWatch &Watch = AContext.Connections();
  Watch.Seen(ConnectionSockets(), Now);
  const TMilterOptions &Options = AContext.Settings()->Options;
  const TWatchBounds Bounds{std::chrono::seconds(Options.TimeoutSeconds),
                            std::chrono::seconds(Options.MessageTimeoutSeconds)};
  for (const std::string &Line : Watch.Expire(Now, Bounds, ShutDownConnection)) {
    AContext.Metrics().Error(ecTimeout);
    AContext.Log().Daemon(Line);
  }
}

// SIGHUP: the settings read again, as at the start, and installed for the
// transactions that begin from now on; anything wrong keeps the running
// ones, with one line that says why (a file's with its line).
static void Reload(TMilterContext &AContext, std::span<const std::string> AArgs) {
  TMilterLog &Log = AContext.Log();
  const TMilterParseResult Parsed = ParseMilterOptions(AArgs, DefaultConfigFile);
  if (Parsed.Request != mrRun) {
    Log.Daemon("SIGHUP: the running settings stay: " + Parsed.Message);
    return;
  }
  TReload Outcome;
  try {
    Outcome = ReloadSettings(
        *AContext.Settings(), Parsed,
        [&AContext](const TMilterOptions &AOptions) { return OpenMilterLedger(AContext, AOptions); },
        [](const TMilterOptions &AOptions) { return OpenRecipientJudge(AOptions.Batv); }, Log);
  } catch (const Exception &E) {  // opening a store or compiling: the running settings are still good
    Log.Daemon("SIGHUP: the running settings stay: " + ExceptionText(E));
    return;
  }
  for (const std::string &Line : Outcome.Lines)
    Log.Daemon("SIGHUP: " + Line);
  if (!Outcome.Settings)
    return;
  AContext.Install(Outcome.Settings);
  Log.Daemon("reloaded on SIGHUP: " + SettingsLine(*Outcome.Settings));
}

int RunMilterDaemon(TMilterContext &AContext, std::span<const std::string> AArgs) {
  if (const auto Error = StartUp(AContext)) {
    AContext.Log().StartupFailure(Error->Message, Error->ExitCode);
    return Error->ExitCode;
  }
  if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    AContext.Log().StartupFailure(SystemError("cannot make a pipe", errno), EX_OSERR);
    return EX_OSERR;
  }
  signal(SIGPIPE, SIG_IGN);  // a peer gone while its answer is written is libmilter's EPIPE, not our end
  // The threads made from here on (the ledger's writer, the workers) block the three
  // signals; this one unblocks them below.
  const sigset_t Signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
  // Before the first thread that could use it; its own (LMDB's writer)
  // inherits the blocked signals.
  if (const auto Error = OpenLedger(AContext)) {
    AContext.Log().StartupFailure(Error->Message, Error->ExitCode);
    return Error->ExitCode;
  }
  if (const auto Error = OpenRecipientRules(AContext)) {
    AContext.Log().StartupFailure(Error->Message, Error->ExitCode);
    return Error->ExitCode;
  }
  // Its threads take the blocked signals too, and it serves from the start
  // for the life of the process.
  if (const std::string &Address = AContext.Options().Metrics; !Address.empty()) {
    try {
      static const TMetricsExposer Exposer(Address, AContext.Metrics(), [&AContext] {
        const TMilterSettingsPtr Settings = AContext.Settings();
        TGaugeReading Gauges;
        Gauges.OpenConnections = AContext.Connections().Count();
        Gauges.ChecksInFlight = AContext.Checks().Pending();
        if (Settings->Ledger)
          Gauges.LedgerCovers = Settings->Ledger->CoversRetention();
        return Gauges;
      });
    } catch (const EMetricsError &E) {  // the address is taken or cannot be bound
      AContext.Log().StartupFailure(E.Message(), EX_OSERR);
      return EX_OSERR;
    }
  }
  AContext.Checks().Start();
  UseSmallStacksForLaterThreads();
  struct sigaction Action {};
  Action.sa_handler = OnSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  for (int Signal : {SIGHUP, SIGTERM, SIGINT})
    sigaction(Signal, &Action, nullptr);
  // Unblocked here before libmilter's signal thread exists: a signal that
  // came during the start-up (a ledger's connect, say) is ours now, where
  // that thread would have taken it as a stop.
  pthread_sigmask(SIG_UNBLOCK, &Signals, nullptr);
  std::thread MainLoop([Signals] {
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
    const int Result = smfi_main();
    const unsigned char Byte = Result == MI_SUCCESS ? MainLoopEnded : MainLoopEnded - 1;
    (void)!write(SignalPipe[1], &Byte, 1);
  });
  MainLoop.detach();

  AContext.Log().Daemon(StartedLine(AContext));
  TDescriptorWatch Descriptors(AContext.Log());
  TSummary Summary(AContext);
  for (;;) {
    pollfd Wait{SignalPipe[0], POLLIN, 0};
    if (poll(&Wait, 1, 1000) <= 0) {
      Descriptors.Check();
      TickLedger(AContext);
      WatchConnections(AContext);
      Summary.Tick();
      continue;
    }
    unsigned char Byte = 0;
    if (read(SignalPipe[0], &Byte, 1) != 1)
      continue;
    if (Byte == SIGHUP) {
      Reload(AContext, AArgs);
      continue;
    }
    if (Byte == SIGTERM || Byte == SIGINT)
      Stop(AContext, Summary, std::string("on ") + SignalName(Byte), EX_OK);
    if (Byte == MainLoopEnded)
      Stop(AContext, Summary, "by libmilter", EX_OK);
    if (Byte == MainLoopEnded - 1)
      Stop(AContext, Summary, "because libmilter's main loop failed", EX_SOFTWARE);
  }
}

} // namespace bw
