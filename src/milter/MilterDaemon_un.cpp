// The daemon's start-up order: options, pattern, socket, owner and mode,
// privileges, main loop, then the end of the running checks.
#include "milter/MilterDaemon_un.h"

#include "milter/MilterCheck_un.h"
#include "milter/MilterLog_un.h"
#include "milter/MilterOptions_un.h"
#include "milter/MilterSession_un.h"
#include "rtl/Version_un.h"

#include <libmilter/mfapi.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>

namespace bw {

namespace {
// A start-up step that failed: the line for standard error and the exit code.
struct TStartupError {
  int ExitCode;
  std::string Message;
};

struct TAccount {
  uid_t Uid = static_cast<uid_t>(-1);  // -1: leave as it is (chown's convention)
  gid_t Gid = static_cast<gid_t>(-1);
};
} // namespace

static std::string SystemError(const std::string &AWhat) { return AWhat + ": " + std::strerror(errno); }

// The socket file of a unix: or local: connection (libmilter's default when
// there is no prefix), or nothing for a network socket.
static std::optional<std::string> UnixSocketPath(const std::string &AListen) {
  for (const char *Prefix : {"unix:", "local:"})
    if (AListen.starts_with(Prefix))
      return AListen.substr(std::strlen(Prefix));
  if (AListen.find(':') == std::string::npos)
    return AListen;
  return std::nullopt;
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

static std::optional<TStartupError> SetUpSocket(const TMilterOptions &AOptions) {
  TAccount Owner;
  if (!AOptions.SocketOwner.empty())
    if (auto Error = LookUpUser(AOptions.SocketOwner, Owner))
      return Error;
  if (!AOptions.SocketGroup.empty())
    if (auto Error = LookUpGroup(AOptions.SocketGroup, Owner.Gid))
      return Error;
  if (smfi_setconn(const_cast<char *>(AOptions.Listen.c_str())) != MI_SUCCESS)
    return TStartupError{EX_USAGE, "invalid --listen \"" + AOptions.Listen + "\""};
  // The socket is born private and only then opened up to its mode, so no
  // one else can connect in between.
  const mode_t OldMask = umask(0177);
  errno = 0;
  const int Opened = smfi_opensocket(/*rmsocket=*/true);
  const int OpenError = errno;
  umask(OldMask);
  if (Opened != MI_SUCCESS) {
    errno = OpenError;
    return TStartupError{EX_OSERR, SystemError("cannot open the socket \"" + AOptions.Listen + "\"")};
  }
  const std::optional<std::string> Path = UnixSocketPath(AOptions.Listen);
  if (!Path)
    return std::nullopt;
  if ((Owner.Uid != static_cast<uid_t>(-1) || Owner.Gid != static_cast<gid_t>(-1)) &&
      chown(Path->c_str(), Owner.Uid, Owner.Gid) != 0)
    return TStartupError{EX_OSERR, SystemError("cannot hand the socket \"" + *Path + "\" to its owner")};
  if (chmod(Path->c_str(), AOptions.SocketMode) != 0)
    return TStartupError{EX_OSERR, SystemError("cannot set the mode of the socket \"" + *Path + "\"")};
  return std::nullopt;
}

static std::optional<TStartupError> DropPrivileges(const std::string &AUser, const TAccount &AAccount) {
  if (getuid() == AAccount.Uid && geteuid() == AAccount.Uid && getgid() == AAccount.Gid)
    return std::nullopt;  // already that user
  if (initgroups(AUser.c_str(), AAccount.Gid) != 0 || setgid(AAccount.Gid) != 0 || setuid(AAccount.Uid) != 0)
    return TStartupError{EX_OSERR, SystemError("cannot become user \"" + AUser + "\"")};
  // setuid as root changes every user ID; make sure no way back is left.
  if (getuid() != AAccount.Uid || geteuid() != AAccount.Uid || setuid(0) == 0)
    return TStartupError{EX_OSERR, "the user IDs did not change to \"" + AUser + "\""};
  return std::nullopt;
}

static std::optional<TStartupError> StartUp(const TMilterOptions &AOptions, TCheckGate &AGate) {
  TAccount RunAs;
  if (!AOptions.User.empty()) {
    if (auto Error = LookUpUser(AOptions.User, RunAs))
      return Error;
    if (RunAs.Uid == 0)
      return TStartupError{EX_CONFIG, "refusing to run as root: --user must name an unprivileged user"};
  } else if (geteuid() == 0) {
    return TStartupError{EX_CONFIG, "refusing to keep running as root: give --user=USER to switch to once the "
                                    "socket is open"};
  }
  if (!RegisterMilter(AOptions, AGate))
    return TStartupError{EX_SOFTWARE, "libmilter refused the filter's registration"};
  if (auto Error = SetUpSocket(AOptions))
    return Error;
  if (!AOptions.User.empty())
    return DropPrivileges(AOptions.User, RunAs);
  return std::nullopt;
}

int RunMilterDaemon(std::span<const std::string> AArgs) {
  const TMilterParseResult Parsed = ParseMilterOptions(AArgs);
  switch (Parsed.Request) {
  case mrHelp:
    std::cout << MilterHelpText();
    return EX_OK;
  case mrVersion:
    std::cout << "bouncewarden-milter " << ProgramVersion << "\n";
    return EX_OK;
  case mrUsageError:
    std::cerr << "bouncewarden-milter: " << Parsed.Message << "\n";
    return EX_USAGE;
  case mrBadPattern:
    std::cerr << "bouncewarden-milter: " << Parsed.Message << "\n";
    return EX_CONFIG;
  case mrRun:
    break;
  }
  const TMilterOptions &Options = Parsed.Options;
  OpenMilterLog(Options.LogStderr ? ltStderr : ltSyslog);
  TCheckGate Gate(Options.Workers);
  if (const auto Error = StartUp(Options, Gate)) {
    std::cerr << "bouncewarden-milter: " << Error->Message << "\n";
    return Error->ExitCode;
  }

  MilterLog({}, std::string("bouncewarden-milter ") + ProgramVersion + " started: socket=" + Options.Listen +
                    ", action=" + std::string(ActionName(Options.Action)) + ", workers=" +
                    std::to_string(Options.Workers) + ", pattern=" + Options.Pattern);
  // libmilter's own signal thread turns SIGTERM, SIGHUP and SIGINT into a
  // stop: smfi_main then returns, but the connections' threads run on.
  const int Result = smfi_main();
  Gate.CloseAndWait();
  MilterLog({}, Result == MI_SUCCESS ? "stopped" : "stopped: libmilter's main loop failed");
  return Result == MI_SUCCESS ? EX_OK : EX_SOFTWARE;
}

} // namespace bw
