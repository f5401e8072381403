// The daemon's start-up steps: pattern, socket, owner, privileges, ledger;
// and the answers to a command line that asks for no daemon.
#include "milter-daemon/MilterStartup_un.h"

#include "milter-daemon/MilterCallbacks_un.h"
#include "milter-daemon/MilterConnections_un.h"
#include "milter/MilterCheck_un.h"
#include "milter/MilterSocket_un.h"
#include "verdict/AddressList_un.h"
#include "verdict/BatvSettings_un.h"
#include "ledger/LedgerKey_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/Version_un.h"

#include <libmilter/mfapi.h>

#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

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

// --check-config: the settings as the file would have them, the checks'
// notes as comments after them, and every problem on standard error.
static int CheckConfig(const TMilterParseResult &AParsed) {
  std::cout << SettingsText(AParsed.Given, AParsed.ShowAll);
  const TConfigCheck Check = CheckMilterSettings(AParsed.Options);
  for (const std::string &Note : Check.Notes)
    std::cout << "# " << Note << "\n";
  for (const std::string &Problem : Check.Problems)
    std::cerr << "bouncewarden-milter: " << Problem << "\n";
  std::cout.flush();
  return Check.Problems.empty() ? EX_OK : EX_CONFIG;
}

int AnswerWithoutRunning(const TMilterParseResult &AParsed) {
  switch (AParsed.Request) {
  case mrCheckConfig:
    return CheckConfig(AParsed);
  case mrHelp:
    std::cout << MilterHelpText();
    return EX_OK;
  case mrVersion:
    std::cout << "bouncewarden-milter " << ProgramVersion << "\n";
    return EX_OK;
  case mrBadPattern:
  case mrBadConfig:
  case mrUsageError:
  case mrRun:
    break;
  }
  if (AParsed.CheckConfig) {  // whatever keeps it from working is a configuration's fault here
    std::cerr << "bouncewarden-milter: " << AParsed.Message << "\n";
    return EX_CONFIG;
  }
  const int Code = AParsed.Request == mrUsageError ? EX_USAGE : EX_CONFIG;
  ReportStartupFailure(AParsed.Message, Code);
  return Code;
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

std::optional<TStartupError> StartUp(TMilterContext &AContext) {
  const TMilterOptions &Options = AContext.Options();
  // The pattern was compiled when the context was made; out of memory there
  // would leave it unusable, and every check an error.
  if (const TMilterSettingsPtr Settings = AContext.Settings();
      Settings->Pattern && !Settings->Pattern->Regex().IsValid())
    return TStartupError{EX_CONFIG, "the Message-ID pattern cannot be used: " + Settings->Pattern->Regex().Error()};
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
  if (!FindListener())
    AContext.Log().Daemon("warning: the listening socket cannot be found: a stop cannot close it, and "
                          "connections silent beyond --timeout are not closed");
  if (!Options.User.empty())
    return DropPrivileges(Options.User, RunAs);
  return std::nullopt;
}

// The ledger, once the process runs as its own user, so that the files LMDB
// creates are that user's and the key file is read with the rights every
// later start has. A key file that cannot be read stops the start (the
// ledger's keys would mean nothing); a store that cannot be opened does not:
// it is logged, checks go on without it, and it is tried again.
std::shared_ptr<TLedgerJudge> OpenMilterLedger(TMilterContext &AContext, const TMilterOptions &AOptions) {
  TMilterLog &Log = AContext.Log();
  return OpenLedgerJudge(AOptions.Ledger, AOptions.Ledger.StoreOptions(loTolerate),
                         [&Log](const std::string &ALine) { Log.Daemon(ALine); });
}

std::optional<TStartupError> OpenLedger(TMilterContext &AContext) {
  const TMilterOptions &Options = AContext.Settings()->Options;
  if (!Options.UsesLedger())
    return std::nullopt;
  try {
    AContext.AttachLedger(OpenMilterLedger(AContext, Options));
  } catch (const ELedgerKeyError &E) {  // the administrator's to fix: say which file and how
    return TStartupError{EX_NOINPUT, E.Message() + " (bouncewarden-ledger init makes one)"};
  } catch (const ELedgerError &E) {  // a Redis that evicts, a password file that cannot be read
    return TStartupError{EX_CONFIG, E.Message()};
  }
  // A ledger keyed with another key would miss every ID: nothing it says
  // counts, and the administrator must know at once.
  if (std::optional<std::string> Refusal = AContext.Upkeep()->Start())
    return TStartupError{EX_CONFIG, std::move(*Refusal)};
  return std::nullopt;
}

std::optional<TStartupError> OpenRecipientRules(TMilterContext &AContext) {
  const TBatvSettings &Settings = AContext.Settings()->Options.Batv;
  if (!Settings.Any())
    return std::nullopt;
  try {
    AContext.AttachRecipients(OpenRecipientJudge(Settings));
  } catch (const ELedgerKeyError &E) {  // a BATV key file: the administrator's to fix
    return TStartupError{EX_NOINPUT, E.Message()};
  } catch (const EAddressListError &E) {  // names the file, and the line when one is wrong
    return TStartupError{EX_CONFIG, E.Message()};
  }
  return std::nullopt;
}

// What signing, verifying and the recipient rules do, for the start line.
static std::string RecipientRulesText(const TMilterOptions &AOptions) {
  const TBatvSettings &Batv = AOptions.Batv;
  if (!Batv.Any())
    return {};
  std::string Text;
  if (Batv.UsesKeys()) {
    Text += std::string(", batv=") + (Batv.Sign ? "sign," : "") + (Batv.Verify ? "verify," : "") +
            (Batv.Require ? "require," : "");
    Text.back() = ' ';
    Text += "(key " + std::to_string(Batv.KeyNumber) +
            (Batv.PreviousKeyFile.empty() ? "" : " and " + std::to_string(Batv.PreviousKeyNumber())) + ", lifetime " +
            std::to_string(Batv.LifetimeDays) + " days)";
  }
  if (Batv.OneRecipient)
    Text += ", bounce-one-recipient";
  if (!Batv.NeverRefuseFile.empty())
    Text += ", never-refuse=" + Batv.NeverRefuseFile;
  if (!Batv.NoBouncesToFile.empty())
    Text += ", no-bounces-to=" + Batv.NoBouncesToFile;
  return Text;
}

// How the ledger takes part, for the start line.
static std::string LedgerText(const TMilterSettings &ASettings) {
  const TMilterOptions &Options = ASettings.Options;
  TLedgerJudge *Ledger = ASettings.Ledger.get();
  if (!Ledger)
    return {};
  const bool Alone = Options.LedgerOnly || !ASettings.Pattern;
  std::string Text = ", ledger=" + Options.Ledger.Uri + " (" +
                     (Alone ? std::string(ASettings.Pattern ? "ledger only" : "no pattern")
                            : "or the pattern") +
                     ", retention " + std::to_string(Options.Ledger.RetentionDays) + " days";
  if (Alone) {
    // Until then a missing ID proves nothing: say what decides instead.
    const std::optional<TLedgerTime> From = Ledger->CoveredFrom();
    const char *Instead = ASettings.Pattern ? "the pattern" : "--on-error";
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

static std::string ShownPattern(const std::string &APattern) {
  static constexpr std::size_t Shown = 100;
  if (APattern.size() <= Shown)
    return OneLineText(APattern);
  return OneLineText(APattern.substr(0, Shown)) + "... (" + std::to_string(APattern.size()) + " bytes)";
}

std::string SettingsLine(const TMilterSettings &ASettings) {
  const TMilterOptions &Options = ASettings.Options;
  return "socket=" + Options.Listen + ", config=" + (Options.ConfigFile.empty() ? "none" : OneLineText(Options.ConfigFile)) +
         ", action=" + std::string(ActionName(Options.Action)) + ", on-error=" +
         std::string(PolicyName(Options.OnError)) + ", workers=" + std::to_string(Options.Workers) +
         ", timeout=" + std::to_string(Options.TimeoutSeconds) +
         " s, pattern=" + (Options.Pattern.empty() ? "none" : ShownPattern(Options.Pattern)) + LedgerText(ASettings) +
         RecipientRulesText(Options) + (Options.Metrics.empty() ? "" : ", metrics=http://" + Options.Metrics + "/metrics");
}

std::string StartedLine(TMilterContext &AContext) {
  return std::string("bouncewarden-milter ") + ProgramVersion + " started: " + SettingsLine(*AContext.Settings());
}

} // namespace bw
