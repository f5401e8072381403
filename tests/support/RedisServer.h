// A redis-server of a test's or benchmark's own, on a unix socket in a folder
// it is given, without persistence; stopped by the destructor on every path,
// paused or not. Header-only, so that the benchmarks share it.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace bwtest {

class TRedisServer {
public:
  explicit TRedisServer(std::filesystem::path AFolder) : FFolder(std::move(AFolder)) { Start(); }
  ~TRedisServer() { Stop(); }
  TRedisServer(const TRedisServer &) = delete;
  TRedisServer &operator=(const TRedisServer &) = delete;

  static bool Installed() { return std::system("command -v redis-server >/dev/null 2>&1") == 0; }
  std::string Socket() const { return (FFolder / "redis.sock").string(); }
  // Spawned; Start waited up to 5 s for it to take connections.
  bool Started() const { return FPid > 0; }

  void Start() {
    std::vector<std::string> Args = {"redis-server", "--port", "0", "--unixsocket", Socket(), "--save", "",
                                     "--appendonly", "no", "--dir", FFolder.string(), "--logfile", (FFolder / "redis.log").string()};
    std::vector<char *> Argv;
    for (std::string &Arg : Args)
      Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    if (::posix_spawnp(&FPid, "redis-server", nullptr, nullptr, Argv.data(), environ) != 0)
      FPid = -1;
    for (int Try = 0; Try < 100 && FPid > 0 && !Listening(); ++Try)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  void Stop() {
    if (FPid <= 0)
      return;
    ::kill(FPid, SIGCONT);
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
  void Pause() { ::kill(FPid, SIGSTOP); }
  void Resume() { ::kill(FPid, SIGCONT); }

private:
  bool Listening() const {
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    const std::string Path = Socket();
    if (Path.size() >= sizeof Address.sun_path)
      return false;
    std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
    const int Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0)
      return false;
    const bool Connected = ::connect(Fd, reinterpret_cast<const sockaddr *>(&Address), sizeof Address) == 0;
    ::close(Fd);
    return Connected;
  }

  std::filesystem::path FFolder;
  pid_t FPid = -1;
};

} // namespace bwtest
