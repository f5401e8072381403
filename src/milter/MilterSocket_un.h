// The listening socket's safety, in plain POSIX so that it is tested without
// libmilter: the path is never followed through a link once created, a live
// socket is never taken over, and an open socket is reported.
#pragma once

#include "rtl/SysUtils_un.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// A start-up step that failed: the line for standard error and the exit code.
struct TStartupError {
  int ExitCode;
  std::string Message;
};

// The socket file of a unix: or local: connection (libmilter's default when
// there is no prefix), or nothing for a network socket.
std::optional<std::string> UnixSocketPath(std::string_view AListen);

// Makes the unix socket at APath with AOpen (which binds and listens, as
// smfi_opensocket does) so that no step follows a symbolic link or trusts a
// path that someone else could have swapped:
// - a socket that answers a connection is left alone and the start refused
//   (exit 69); one that nothing answers is removed; anything else at the path
//   is refused (exit 71);
// - the socket is born with AMode through the umask, never chmod-ed;
// - its owner and group (-1: leave) are set without following a link;
// - lstat must then find a socket with that owner, group and mode, or the
//   start is refused (exit 71).
std::optional<TStartupError> OpenUnixSocket(const std::string &APath, uid_t AOwner, gid_t AGroup, mode_t AMode,
                                            const std::function<bool()> &AOpen);

// A warning when the folder of APath can be written by anyone other than
// root and AMilterUser (who could then swap the socket), else nothing.
std::optional<std::string> SocketFolderWarning(const std::string &APath, uid_t AMilterUser);

// A warning when an inet: or inet6: socket listens on every interface (no
// host, or the wildcard address): the milter protocol has no authentication.
std::optional<std::string> AllInterfacesWarning(std::string_view AListen);

} // namespace bw
