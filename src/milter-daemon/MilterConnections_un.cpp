// The listening socket and the connections' sockets, found by what they are.
#include "milter-daemon/MilterConnections_un.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace bw {

namespace {
struct TListener {
  int Fd = -1;
  sockaddr_storage Address{};
  socklen_t Length = 0;
};
} // namespace

// Set once at start-up, before libmilter's threads; read-only after.
static TListener Listener;

static bool Listening(int AFd) {
  int Accepting = 0;
  socklen_t Length = sizeof Accepting;
  return getsockopt(AFd, SOL_SOCKET, SO_ACCEPTCONN, &Accepting, &Length) == 0 && Accepting != 0;
}

// Whether AFd is a connection accepted from the listener: a socket that
// does not listen, whose own address is the listener's (its path, or its
// family and port).
static bool IsConnection(int AFd) {
  sockaddr_storage Address{};
  socklen_t Length = sizeof Address;
  if (Listener.Fd < 0 || AFd == Listener.Fd || getsockname(AFd, reinterpret_cast<sockaddr *>(&Address), &Length) != 0 ||
      Address.ss_family != Listener.Address.ss_family || Listening(AFd))
    return false;
  switch (Address.ss_family) {
  case AF_UNIX:
    return Length == Listener.Length && std::memcmp(&Address, &Listener.Address, Length) == 0;
  case AF_INET:
    return reinterpret_cast<const sockaddr_in &>(Address).sin_port ==
           reinterpret_cast<const sockaddr_in &>(Listener.Address).sin_port;
  case AF_INET6:
    return reinterpret_cast<const sockaddr_in6 &>(Address).sin6_port ==
           reinterpret_cast<const sockaddr_in6 &>(Listener.Address).sin6_port;
  }
  return false;
}

// Calls AVisit with each open descriptor of the process.
template <class TVisit> static void EachDescriptor(TVisit AVisit) {
  DIR *Folder = opendir("/proc/self/fd");
  if (!Folder)
    return;
  while (const dirent *Entry = readdir(Folder)) {
    char *End = nullptr;
    const long Fd = std::strtol(Entry->d_name, &End, 10);
    if (End != Entry->d_name && *End == '\0' && Fd != dirfd(Folder))
      AVisit(static_cast<int>(Fd));
  }
  closedir(Folder);
}

bool FindListener() {
  EachDescriptor([](int AFd) {
    if (Listener.Fd >= 0 || !Listening(AFd))
      return;
    Listener.Length = sizeof Listener.Address;
    if (getsockname(AFd, reinterpret_cast<sockaddr *>(&Listener.Address), &Listener.Length) == 0)
      Listener.Fd = AFd;
  });
  return Listener.Fd >= 0;
}

bool CloseListener() {
  if (Listener.Fd < 0)
    return false;
  // Listening on an address of the kernel's choosing in the abstract
  // namespace: libmilter's listener keeps a socket to wait on and never
  // gets a connection (blocking, so that it never spins on accept()).
  const int Placeholder = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Placeholder < 0)
    return false;
  sockaddr_un Autobind{};
  Autobind.sun_family = AF_UNIX;
  const bool Ready = bind(Placeholder, reinterpret_cast<const sockaddr *>(&Autobind), sizeof(sa_family_t)) == 0 &&
                     listen(Placeholder, 1) == 0 && dup3(Placeholder, Listener.Fd, O_CLOEXEC) == Listener.Fd;
  close(Placeholder);
  if (Ready && Listener.Address.ss_family == AF_UNIX) {
    const auto &Path = reinterpret_cast<const sockaddr_un &>(Listener.Address);
    if (Path.sun_path[0] != '\0')
      unlink(Path.sun_path);  // nothing answers there any more: a connect fails at once
  }
  return Ready;
}

static std::atomic<int> Known{-1};  // -1 not yet told, 0 no, 1 yes

int ConnectionSocket(SMFICTX *ACtx) {
  if (!ACtx || Known.load(std::memory_order_relaxed) == 0)
    return -1;
  int Fd = -1;
  std::memcpy(&Fd, reinterpret_cast<const char *>(ACtx) + sizeof(pthread_t), sizeof Fd);
  if (Known.load(std::memory_order_relaxed) == 1)
    return Fd;
  int Expected = -1;
  Known.compare_exchange_strong(Expected, IsConnection(Fd) ? 1 : 0);
  return Known.load() == 1 ? Fd : -1;
}

bool ConnectionsKnown() { return Known.load(std::memory_order_relaxed) == 1; }

bool ConnectionsUntellable() { return Known.load(std::memory_order_relaxed) == 0; }

std::vector<TConnectionWatch::TSocket> ConnectionSockets() {
  std::vector<TConnectionWatch::TSocket> Sockets;
  EachDescriptor([&Sockets](int AFd) {
    struct stat Info {};
    if (fstat(AFd, &Info) == 0 && S_ISSOCK(Info.st_mode) && IsConnection(AFd))
      Sockets.push_back({AFd, static_cast<std::uint64_t>(Info.st_ino)});
  });
  return Sockets;
}

bool ShutDownConnection(const TConnectionWatch::TSocket &ASocket) {
  struct stat Info {};
  if (fstat(ASocket.Fd, &Info) != 0 || static_cast<std::uint64_t>(Info.st_ino) != ASocket.Inode ||
      !IsConnection(ASocket.Fd))
    return false;
  // libmilter's next read sees the end of the connection: it aborts the
  // transaction, calls close, and closes the descriptor itself.
  return shutdown(ASocket.Fd, SHUT_RDWR) == 0;
}

} // namespace bw
