// The listening socket's set-up and its checks.
#include "milter/MilterSocket_un.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bw {

std::optional<std::string> UnixSocketPath(std::string_view AListen) {
  for (std::string_view Prefix : {"unix:", "local:"})
    if (AListen.starts_with(Prefix))
      return std::string(AListen.substr(Prefix.size()));
  if (AListen.find(':') == std::string_view::npos)
    return std::string(AListen);
  return std::nullopt;
}

namespace {
enum TPathState : unsigned char { psAbsent, psAnswered, psStale };
} // namespace

// Whether a process listens on the socket at APath (connect() reaches it).
static std::optional<TStartupError> Probe(const std::string &APath, TPathState &AState) {
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  if (APath.size() >= sizeof Address.sun_path)
    return TStartupError{EX_USAGE, "the socket path \"" + APath + "\" is too long"};
  std::memcpy(Address.sun_path, APath.c_str(), APath.size() + 1);
  const int Probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Probe < 0)
    return TStartupError{EX_OSERR, SystemError("cannot make a socket", errno)};
  const int Result = connect(Probe, reinterpret_cast<const sockaddr *>(&Address), sizeof Address);
  const int Error = errno;
  close(Probe);
  // A full backlog (EAGAIN) also means someone listens.
  if (Result == 0 || Error == EAGAIN) {
    AState = psAnswered;
    return std::nullopt;
  }
  if (Error == ECONNREFUSED) {
    AState = psStale;
    return std::nullopt;
  }
  return TStartupError{EX_OSERR, SystemError("cannot tell whether a process listens on \"" + APath + "\"", Error)};
}

static std::optional<TStartupError> ClearPath(const std::string &APath) {
  struct stat Info {};
  if (lstat(APath.c_str(), &Info) != 0) {
    if (errno == ENOENT)
      return std::nullopt;
    return TStartupError{EX_OSERR, SystemError("cannot examine \"" + APath + "\"", errno)};
  }
  if (!S_ISSOCK(Info.st_mode))
    return TStartupError{EX_OSERR, "\"" + APath + "\" exists and is not a socket: refusing to replace it"};
  TPathState State = psAbsent;
  if (auto Error = Probe(APath, State))
    return Error;
  if (State == psAnswered)
    return TStartupError{EX_UNAVAILABLE, "another process answers on the socket \"" + APath +
                                             "\" (a bouncewarden-milter already running?): refusing to take it over"};
  // Nothing answers: left behind by a process that ended without removing it.
  if (unlink(APath.c_str()) != 0 && errno != ENOENT)
    return TStartupError{EX_OSERR, SystemError("cannot remove the stale socket \"" + APath + "\"", errno)};
  return std::nullopt;
}

std::optional<TStartupError> OpenUnixSocket(const std::string &APath, uid_t AOwner, gid_t AGroup, mode_t AMode,
                                            const std::function<bool()> &AOpen) {
  if (auto Error = ClearPath(APath))
    return Error;
  // The socket is born with its final mode, so no one else can connect
  // before it is handed over and nothing is chmod-ed after.
  const mode_t OldMask = umask(~AMode & 0777);
  errno = 0;
  const bool Opened = AOpen();
  const int OpenError = errno;
  umask(OldMask);
  if (!Opened)
    return TStartupError{EX_OSERR, SystemError("cannot open the socket \"" + APath + "\"", OpenError)};
  // AT_SYMLINK_NOFOLLOW: should the path have been swapped for a link, only
  // the link itself changes hands, and the check below refuses it.
  if ((AOwner != static_cast<uid_t>(-1) || AGroup != static_cast<gid_t>(-1)) &&
      fchownat(AT_FDCWD, APath.c_str(), AOwner, AGroup, AT_SYMLINK_NOFOLLOW) != 0)
    return TStartupError{EX_OSERR, SystemError("cannot hand the socket \"" + APath + "\" to its owner", errno)};
  struct stat Info {};
  if (lstat(APath.c_str(), &Info) != 0)
    return TStartupError{EX_OSERR, SystemError("cannot examine the new socket \"" + APath + "\"", errno)};
  const uid_t WantedOwner = AOwner != static_cast<uid_t>(-1) ? AOwner : geteuid();
  if (!S_ISSOCK(Info.st_mode) || Info.st_uid != WantedOwner ||
      (AGroup != static_cast<gid_t>(-1) && Info.st_gid != AGroup) || (Info.st_mode & 07777) != AMode)
    return TStartupError{EX_OSERR, "\"" + APath + "\" is not the socket just made (replaced by someone who can "
                                   "write its folder?): refusing to start"};
  return std::nullopt;
}

std::optional<std::string> SocketFolderWarning(const std::string &APath, uid_t AMilterUser) {
  const std::size_t Slash = APath.rfind('/');
  const std::string Folder = Slash == std::string::npos ? "." : Slash == 0 ? "/" : APath.substr(0, Slash);
  struct stat Info {};
  if (stat(Folder.c_str(), &Info) != 0)
    return std::nullopt;
  const bool Others = (Info.st_mode & S_IWOTH) != 0 || ((Info.st_mode & S_IWGRP) != 0 && Info.st_gid != 0) ||
                      (Info.st_uid != 0 && Info.st_uid != AMilterUser);
  if (!Others)
    return std::nullopt;
  return "warning: the socket's folder \"" + Folder +
         "\" can be written by others than root and the milter's user, who could replace the socket";
}

std::optional<std::string> AllInterfacesWarning(std::string_view AListen) {
  std::string_view Host;
  bool Network = false;
  for (std::string_view Prefix : {"inet:", "inet6:"})
    if (AListen.starts_with(Prefix)) {
      Network = true;
      const std::size_t At = AListen.find('@');
      Host = At == std::string_view::npos ? std::string_view() : AListen.substr(At + 1);
    }
  if (!Network)
    return std::nullopt;
  for (std::string_view Any : {"", "0.0.0.0", "::", "[::]", "*", "0", "[0:0:0:0:0:0:0:0]"})
    if (Host == Any)
      return "warning: \"" + std::string(AListen) +
             "\" listens on every network interface, and the milter protocol has no authentication: name the "
             "address (inet:PORT@127.0.0.1) or firewall the port";
  return std::nullopt;
}

} // namespace bw
