// A redis-server (or redis-sentinel) of a test's or benchmark's own, in a
// folder it is given, without persistence; stopped by the destructor on
// every path, paused or not. A server listens on a unix socket in that
// folder, and on a 127.0.0.1 port when its arguments give one ("--port N");
// a sentinel on its port only. Header-only, so that the benchmarks share it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace bwtest {

// AHowMany distinct 127.0.0.1 ports that nothing listened on a moment ago.
inline std::vector<int> FreeTcpPorts(int AHowMany) {
  // Below the range the kernel hands out to outgoing connections and to
  // bind(0): a port chosen there can be taken by any client of the suite's
  // tests running beside this one before the server binds it.
  int Low = 32768;
  if (std::ifstream Range("/proc/sys/net/ipv4/ip_local_port_range"); !(Range >> Low) || Low <= 12000)
    Low = 32768;
  std::random_device Seed;
  std::mt19937 Random(Seed());
  std::uniform_int_distribution<int> Pick(10000, Low - 1);
  std::vector<int> Ports, Fds;
  for (int Try = 0; Try < 200 && static_cast<int>(Ports.size()) < AHowMany; ++Try) {
    const int Port = Pick(Random);
    if (std::find(Ports.begin(), Ports.end(), Port) != Ports.end())
      continue;
    const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<std::uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Fd >= 0 && ::bind(Fd, reinterpret_cast<sockaddr *>(&Address), sizeof Address) == 0)
      Ports.push_back(Port);
    Fds.push_back(Fd);  // kept open until all are chosen, so that none is chosen twice
  }
  for (const int Fd : Fds)
    if (Fd >= 0)
      ::close(Fd);
  return Ports;
}

class TRedisServer {
public:
  // AArgs follow the defaults on redis-server's command line, so they may
  // override them ("--port", "6390", "--requirepass", "secret").
  explicit TRedisServer(std::filesystem::path AFolder, std::vector<std::string> AArgs = {})
      : FFolder(std::move(AFolder)), FArgs(std::move(AArgs)) {
    for (std::size_t I = 0; I + 1 < FArgs.size(); ++I)
      if (FArgs[I] == "--port")
        FPort = std::atoi(FArgs[I + 1].c_str());
    Start();
  }
  ~TRedisServer() { Stop(); }
  TRedisServer(const TRedisServer &) = delete;
  TRedisServer &operator=(const TRedisServer &) = delete;

  static bool Installed() { return std::system("command -v redis-server >/dev/null 2>&1") == 0; }
  std::string Socket() const { return (FFolder / "redis.sock").string(); }
  int Port() const { return FPort; }  // 0: none
  // Spawned; Start waited up to 5 s for it to take connections.
  bool Started() const { return FPid > 0; }

  void Start() {
    std::vector<std::string> Args = {"redis-server", "--port", "0", "--unixsocket", Socket(), "--save", "",
                                     "--appendonly", "no", "--dir", FFolder.string(), "--logfile", (FFolder / "redis.log").string()};
    Args.insert(Args.end(), FArgs.begin(), FArgs.end());
    Spawn("redis-server", Args);
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

protected:
  TRedisServer(std::filesystem::path AFolder, int APort) : FFolder(std::move(AFolder)), FPort(APort) {}

  void Spawn(const char *AProgram, std::vector<std::string> &AArgs) {
    std::vector<char *> Argv;
    for (std::string &Arg : AArgs)
      Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    // Its output goes to its log file: one left behind by a test that died
    // must not hold the test runner's pipe open (ctest waits for it).
    posix_spawn_file_actions_t Actions;
    ::posix_spawn_file_actions_init(&Actions);
    ::posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&Actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (::posix_spawnp(&FPid, AProgram, &Actions, nullptr, Argv.data(), environ) != 0)
      FPid = -1;
    ::posix_spawn_file_actions_destroy(&Actions);
    for (int Try = 0; Try < 100 && FPid > 0 && !Listening(); ++Try) {
      // One that ended (its port taken, say) is not started: another
      // process's server on that port must not pass for it.
      if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::filesystem::path FFolder;

private:
  bool Listening() const {
    if (FPort > 0 && !std::filesystem::exists(Socket())) {
      sockaddr_in Address{};
      Address.sin_family = AF_INET;
      Address.sin_port = htons(static_cast<std::uint16_t>(FPort));
      Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return Connects(AF_INET, reinterpret_cast<const sockaddr *>(&Address), sizeof Address);
    }
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    const std::string Path = Socket();
    if (Path.size() >= sizeof Address.sun_path)
      return false;
    std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
    return Connects(AF_UNIX, reinterpret_cast<const sockaddr *>(&Address), sizeof Address);
  }
  static bool Connects(int AFamily, const sockaddr *AAddress, socklen_t ASize) {
    const int Fd = ::socket(AFamily, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0)
      return false;
    const bool Connected = ::connect(Fd, AAddress, ASize) == 0;
    ::close(Fd);
    return Connected;
  }

  std::vector<std::string> FArgs;
  int FPort = 0;
  pid_t FPid = -1;
};

// A redis-sentinel on APort watching the master AMaster on 127.0.0.1's
// AMasterPort, quick to act: a master silent for a second is down, and one
// sentinel is a quorum.
class TRedisSentinel : public TRedisServer {
public:
  TRedisSentinel(std::filesystem::path AFolder, int APort, const std::string &AMaster, int AMasterPort)
      : TRedisServer(std::move(AFolder), APort) {
    // Failovers are asked for (SENTINEL failover): a busy machine's slow
    // answer must not start one of its own.
    const std::string Config = (FFolder / "sentinel.conf").string();
    std::ofstream(Config) << "port " << APort << "\nbind 127.0.0.1\ndir " << FFolder.string() << "\nlogfile "
                          << (FFolder / "sentinel.log").string() << "\nsentinel monitor " << AMaster << " 127.0.0.1 "
                          << AMasterPort << " 1\nsentinel down-after-milliseconds " << AMaster
                          << " 30000\nsentinel failover-timeout " << AMaster << " 10000\n";
    std::vector<std::string> Args = {"redis-sentinel", Config};
    Spawn("redis-sentinel", Args);
  }
  static bool Installed() { return std::system("command -v redis-sentinel >/dev/null 2>&1") == 0; }
};

} // namespace bwtest
