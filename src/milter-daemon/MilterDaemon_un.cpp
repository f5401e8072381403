// The daemon's start-up order: pattern, socket, owner, privileges, ledger,
// workers, main loop; then signals, and the stop that answers every message
// in progress.
#include "milter-daemon/MilterDaemon_un.h"

#include "milter-daemon/MilterCallbacks_un.h"
#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerOpen_un.h"
#include "milter/MilterSocket_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/Version_un.h"

#include <libmilter/mfapi.h>

#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

namespace bw {

namespace {
struct TAccount {
  uid_t Uid = static_cast<uid_t>(-1);  // -1: leave as it is (chown's convention)
  gid_t Gid = static_cast<gid_t>(-1);
};
} // namespace

void PrepareMilterProcess(char *AArgv[]) {
  // GLib's slice allocator keeps every thread's freed slices for reuse, so a
  // burst of costly parses would stay resident for good (65 MB after 20 at
  // --workers=1); from malloc, they go back with the heap's trim. GLib reads
  // G_SLICE once, in GObject's start-up before main, so the program starts
  // itself again with it when it was not given.
  if (!std::getenv("G_SLICE")) {
    char Path[4096];
    const ssize_t Length = readlink("/proc/self/exe", Path, sizeof Path - 1);
    if (Length > 0 && setenv("G_SLICE", "always-malloc", /*overwrite=*/1) == 0) {
      Path[Length] = '\0';
      execv(Path, AArgv);
      // Could not: run on, with GLib's own slices.
    }
  }
  // libmilter runs a thread per MTA connection, and glibc would give each
  // busy thread a heap arena of its own that keeps what it once held: with
  // a few arenas shared by all, the resident size follows the checks that
  // run at once instead of the most connections ever open.
  mallopt(M_ARENA_MAX, 4);
}

int AnswerWithoutRunning(const TMilterParseResult &AParsed) {
  switch (AParsed.Request) {
  case mrHelp:
    std::cout << MilterHelpText();
    return EX_OK;
  case mrVersion:
    std::cout << "bouncewarden-milter " << ProgramVersion << "\n";
    return EX_OK;
  case mrBadPattern:
    std::cerr << "bouncewarden-milter: " << AParsed.Message << "\n";
    return EX_CONFIG;
  case mrUsageError:
  case mrRun:
    break;
  }
  std::cerr << "bouncewarden-milter: " << AParsed.Message << "\n";
  return EX_USAGE;
}

static std::optional<TStartupError> LookUpUser(const std::string &AName, TAccount &AAccount) {
  const passwd *Entry = getpwnam(AName.c_str());
  if (!Entry)
    return TStartupError{EX_NOUSER, "unknown user \"" + AName + "\""};
  AAccount.Uid = Entry->pw_uid;
  AAccount.Gid = Entry->pw_gid;
  return std::nullopt;
}

static std::optional<TStartupError> LookUpGroup(const std::string &AName, gid_t &AGid) {
  const group *Entry = getgrnam(AName.c_str());
  if (!Entry)
    return TStartupError{EX_NOUSER, "unknown group \"" + AName + "\""};
  AGid = Entry->gr_gid;
  return std::nullopt;
}

static bool OpenWithLibMilter() { return smfi_opensocket(/*rmsocket=*/false) == MI_SUCCESS; }

static std::optional<TStartupError> SetUpSocket(TMilterContext &AContext, uid_t AMilterUser) {
  const TMilterOptions &Options = AContext.Options();
  TAccount Owner;
  if (!Options.SocketOwner.empty())
    if (auto Error = LookUpUser(Options.SocketOwner, Owner))
      return Error;
  if (!Options.SocketGroup.empty())
    if (auto Error = LookUpGroup(Options.SocketGroup, Owner.Gid))
      return Error;
  if (smfi_setconn(const_cast<char *>(Options.Listen.c_str())) != MI_SUCCESS)
    return TStartupError{EX_USAGE, "invalid --listen \"" + Options.Listen + "\""};
  if (smfi_settimeout(static_cast<int>(Options.TimeoutSeconds)) != MI_SUCCESS)
    return TStartupError{EX_SOFTWARE, "libmilter refused the timeout"};
  const std::optional<std::string> Path = UnixSocketPath(Options.Listen);
  if (!Path) {
    if (auto Warning = AllInterfacesWarning(Options.Listen))
      AContext.Log().Daemon(*Warning);
    errno = 0;
    if (!OpenWithLibMilter())
      return TStartupError{EX_OSERR, SystemError("cannot open the socket \"" + Options.Listen + "\"", errno)};
    return std::nullopt;
  }
  if (auto Warning = SocketFolderWarning(*Path, AMilterUser))
    AContext.Log().Daemon(*Warning);
  return OpenUnixSocket(*Path, Owner.Uid, Owner.Gid, Options.SocketMode, OpenWithLibMilter);
}

static std::optional<TStartupError> DropPrivileges(const std::string &AUser, const TAccount &AAccount) {
  if (getuid() == AAccount.Uid && geteuid() == AAccount.Uid && getgid() == AAccount.Gid)
    return std::nullopt;  // already that user
  if (initgroups(AUser.c_str(), AAccount.Gid) != 0 || setgid(AAccount.Gid) != 0 || setuid(AAccount.Uid) != 0)
    return TStartupError{EX_OSERR, SystemError("cannot become user \"" + AUser + "\"", errno)};
  // setuid as root changes every user ID; make sure no way back is left.
  if (getuid() != AAccount.Uid || geteuid() != AAccount.Uid || setuid(0) == 0)
    return TStartupError{EX_OSERR, "the user IDs did not change to \"" + AUser + "\""};
  return std::nullopt;
}

static std::optional<TStartupError> StartUp(TMilterContext &AContext) {
  const TMilterOptions &Options = AContext.Options();
  // The pattern was compiled when the context was made; out of memory there
  // would leave it unusable, and every check an error.
  if (const TMessageIdPattern *Pattern = AContext.Pattern(); Pattern && !Pattern->Regex().IsValid())
    return TStartupError{EX_CONFIG, "the Message-ID pattern cannot be used: " + Pattern->Regex().Error()};
  TAccount RunAs;
  if (!Options.User.empty()) {
    if (auto Error = LookUpUser(Options.User, RunAs))
      return Error;
    if (RunAs.Uid == 0)
      return TStartupError{EX_CONFIG, "refusing to run as root: --user must name an unprivileged user"};
  } else if (geteuid() == 0) {
    return TStartupError{EX_CONFIG, "refusing to keep running as root: give --user=USER to switch to once the "
                                    "socket is open"};
  }
  if (!RegisterMilter(AContext))
    return TStartupError{EX_SOFTWARE, "libmilter refused the filter's registration"};
  if (auto Error = SetUpSocket(AContext, Options.User.empty() ? geteuid() : RunAs.Uid))
    return Error;
  if (!Options.User.empty())
    return DropPrivileges(Options.User, RunAs);
  return std::nullopt;
}

// The ledger, once the process runs as its own user, so that the files LMDB
// creates are that user's and the key file is read with the rights every
// later start has. A key file that cannot be read stops the start (the
// ledger's keys would mean nothing); a store that cannot be opened does not:
// it is logged, checks go on without it, and it is tried again.
static std::optional<TStartupError> OpenLedger(TMilterContext &AContext) {
  const TMilterOptions &Options = AContext.Options();
  if (!Options.UsesLedger())
    return std::nullopt;
  std::optional<TLedgerHasher> Hasher;
  try {
    Hasher.emplace(TLedgerHasher::FromKeyFile(Options.LedgerKeyFile));
  } catch (const ELedgerKeyError &E) {  // the administrator's to fix: say which file and how
    return TStartupError{EX_NOINPUT, E.Message() + " (bouncewarden-ledger init makes one)"};
  }
  TLedgerOptions LedgerOptions;
  LedgerOptions.Uri = Options.LedgerUri;
  LedgerOptions.Opening = loTolerate;
  LedgerOptions.Retention = std::chrono::days(Options.RetentionDays);
  LedgerOptions.MapSize = std::uint64_t(Options.LedgerMapSizeMiB) << 20;
  LedgerOptions.Timeout = std::chrono::milliseconds(Options.LedgerTimeoutMs);
  TMilterLog &Log = AContext.Log();
  std::unique_ptr<ILedgerStore> Store;
  try {
    Store = OpenLedgerStore(LedgerOptions, [&Log](const std::string &ALine) { Log.Daemon(ALine); });
  } catch (const ELedgerError &E) {  // only a URI the parser would have refused
    return TStartupError{EX_USAGE, E.Message()};
  }
  AContext.AttachLedger(
      std::make_unique<TMilterLedger>(std::move(Store), std::move(*Hasher), LedgerOptions.Retention));
  return std::nullopt;
}

// How the ledger takes part, for the start line.
static std::string LedgerText(TMilterContext &AContext) {
  const TMilterOptions &Options = AContext.Options();
  TMilterLedger *Ledger = AContext.Ledger();
  if (!Ledger)
    return {};
  const bool Alone = Options.LedgerOnly || !AContext.Pattern();
  std::string Text = ", ledger=" + Options.LedgerUri + " (" +
                     (Alone ? std::string(AContext.Pattern() ? "ledger only" : "no pattern")
                            : "or the pattern") +
                     ", retention " + std::to_string(Options.RetentionDays) + " days";
  if (Alone) {
    // Until then a missing ID proves nothing: say what decides instead.
    const std::optional<TLedgerTime> From = Ledger->CoveredFrom();
    const char *Instead = AContext.Pattern() ? "the pattern" : "--on-error";
    if (!From)
      Text += std::string(", its start time unknown yet: an ID it lacks goes to ") + Instead + " until it covers the retention";
    else if (*From > LedgerNow())
      Text += ", warming up until " + LedgerTimeText(*From) + ": an ID it lacks goes to " + Instead + " until then";
  }
  Text += ")";
  const TRecordOrigins &Origins = Options.RecordFrom;
  if (!Origins.Empty()) {
    std::string List;
    if (Origins.Auth)
      List += ",auth";
    if (Origins.Local)
      List += ",local";
    for (const TNetwork &Network : Origins.Networks)
      List += "," + Network.Text;
    Text += ", record-from=" + List.substr(1) + (Options.AddMessageId ? ", add-message-id" : "");
  }
  return Text;
}

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
  TMilterLedger *Ledger = AContext.Ledger();
  if (!Ledger)
    return true;
  auto Done = std::make_shared<std::promise<void>>();
  std::future<void> Flushed = Done->get_future();
  RunDetached([Ledger, Done] {
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
static constexpr std::size_t ConnectionStack = 2 * 1024 * 1024;

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
                "): no new connection can be accepted until some close; raise LimitNOFILE= or lower --timeout");
  }

private:
  TMilterLog &FLog;
  bool FExhausted = false;
};

// Set by the thread that runs smfi_stop once libmilter closed its socket.
static std::atomic<bool> ListenerClosed{false};

// The orderly stop: no new connection or transaction, every transaction
// begun before it answered (checks unfinished at the deadline with the
// --on-error answer), the listening socket closed and the connections quiet,
// then the end of the process without tearing down anything a running
// thread may still use.
[[noreturn]] static void Stop(TMilterContext &AContext, const std::string &AReason, int AExitCode) {
  using std::chrono::steady_clock;
  const auto Start = steady_clock::now();
  AContext.BeginStop();
  // smfi_stop closes the listening socket, but waits for libmilter's listen
  // loop, which holds its lock up to 5 s between two looks at the socket.
  RunDetached([] {
    smfi_stop();
    ListenerClosed = true;
  });
  const auto Deadline = Start + std::chrono::seconds(AContext.Options().StopGraceSeconds);
  std::size_t CutShort = 0;
  if (!AContext.WaitForTransactions(Deadline)) {
    CutShort = AContext.OpenTransactions();
    AContext.Checks().Abandon();  // the connections waiting for a check answer now
  }
  // Until the socket is closed, a connection may still be accepted, and its
  // first command deserves an answer too.
  const auto ListenerDeadline = std::max(Deadline, steady_clock::now()) + std::chrono::seconds(6);
  while (!ListenerClosed && steady_clock::now() < ListenerDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // A command an MTA sent just now starts its callback within moments; once
  // none has run for a while, every answer due has gone out (libmilter
  // writes it as the callback returns), and the connections left are idle.
  const bool Quiet = AContext.WaitForQuiet(std::chrono::milliseconds(300), steady_clock::now() + std::chrono::seconds(3));
  const bool Flushed = FlushLedger(AContext, std::chrono::seconds(5));
  char Seconds[32];
  std::snprintf(Seconds, sizeof Seconds, "%.1f", std::chrono::duration<double>(steady_clock::now() - Start).count());
  std::string Line = "stopped " + AReason + " after " + Seconds + " s";
  if (CutShort > 0)
    Line += ", " + std::to_string(CutShort) + " message(s) still in progress at the " +
            std::to_string(AContext.Options().StopGraceSeconds) + " s grace time (checks among them answered " +
            std::string(PolicyName(AContext.Options().OnError)) + ")";
  if (!Quiet)
    Line += ", connections still busy";
  if (!Flushed)
    Line += ", the ledger's last records not committed within 5 s";
  AContext.Log().Daemon(Line);
  // Not exit(): no destructor may run under a check or a libmilter thread.
  _exit(AExitCode);
}

static std::string ShownPattern(const std::string &APattern) {
  static constexpr std::size_t Shown = 100;
  if (APattern.size() <= Shown)
    return OneLineText(APattern);
  return OneLineText(APattern.substr(0, Shown)) + "... (" + std::to_string(APattern.size()) + " bytes)";
}

int RunMilterDaemon(TMilterContext &AContext) {
  if (const auto Error = StartUp(AContext)) {
    std::cerr << "bouncewarden-milter: " << Error->Message << "\n";
    return Error->ExitCode;
  }
  if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::cerr << "bouncewarden-milter: " << SystemError("cannot make a pipe", errno) << "\n";
    return EX_OSERR;
  }
  const TMilterOptions &Options = AContext.Options();
  signal(SIGPIPE, SIG_IGN);  // a peer gone while its answer is written is libmilter's EPIPE, not our end
  // The threads made from here on (the ledger's writer, the workers) block the three
  // signals; this one unblocks them below.
  const sigset_t Signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
  // Before the first thread that could use it; its own (LMDB's writer)
  // inherits the blocked signals.
  if (const auto Error = OpenLedger(AContext)) {
    std::cerr << "bouncewarden-milter: " << Error->Message << "\n";
    return Error->ExitCode;
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

  AContext.Log().Daemon(std::string("bouncewarden-milter ") + ProgramVersion + " started: socket=" + Options.Listen +
                        ", action=" + std::string(ActionName(Options.Action)) + ", on-error=" +
                        std::string(PolicyName(Options.OnError)) + ", workers=" +
                        std::to_string(Options.Workers) + ", timeout=" + std::to_string(Options.TimeoutSeconds) +
                        " s, pattern=" + (Options.Pattern.empty() ? "none" : ShownPattern(Options.Pattern)) +
                        LedgerText(AContext));
  TDescriptorWatch Descriptors(AContext.Log());
  for (;;) {
    pollfd Wait{SignalPipe[0], POLLIN, 0};
    if (poll(&Wait, 1, 1000) <= 0) {
      Descriptors.Check();
      continue;
    }
    unsigned char Byte = 0;
    if (read(SignalPipe[0], &Byte, 1) != 1)
      continue;
    if (Byte == SIGHUP) {
      AContext.Log().Daemon("SIGHUP ignored: there is nothing to reload (restart to change a setting)");
      continue;
    }
    if (Byte == SIGTERM || Byte == SIGINT)
      Stop(AContext, std::string("on ") + SignalName(Byte), EX_OK);
    if (Byte == MainLoopEnded)
      Stop(AContext, "by libmilter", EX_OK);
    if (Byte == MainLoopEnded - 1)
      Stop(AContext, "because libmilter's main loop failed", EX_SOFTWARE);
  }
}

} // namespace bw
