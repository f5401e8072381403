// Fixture and process helpers for the tests.
#include "support/TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace bwtest {

std::string FixturePath(const std::string &ARelativePath) { return std::string(BW_TEST_DATA) + "/" + ARelativePath; }

std::string ReadFixture(const std::string &ARelativePath) {
  std::ifstream File(FixturePath(ARelativePath), std::ios::binary);
  if (!File)
    throw std::runtime_error("missing fixture " + ARelativePath);
  std::ostringstream Content;
  Content << File.rdbuf();
  return Content.str();
}

namespace {
struct TTempFolder {
  std::filesystem::path Path;
  TTempFolder() {
    std::string Template = (std::filesystem::temp_directory_path() / "bwtest-XXXXXX").string();
    if (!::mkdtemp(Template.data()))
      throw std::runtime_error("mkdtemp failed");
    Path = Template;
  }
  ~TTempFolder() {
    std::error_code Ignored;
    std::filesystem::remove_all(Path, Ignored);
  }
};
} // namespace

std::string WriteTempFile(const std::string &AName, const std::string &AContent) {
  static TTempFolder Folder;
  const std::filesystem::path Path = Folder.Path / AName;
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  File.write(AContent.data(), static_cast<std::streamsize>(AContent.size()));
  if (!File)
    throw std::runtime_error("cannot write " + Path.string());
  return Path.string();
}

static std::string DrainFd(int AFd) {
  std::string Result;
  char Buffer[4096];
  for (;;) {
    const ssize_t Count = ::read(AFd, Buffer, sizeof Buffer);
    if (Count < 0 && errno == EINTR)
      continue;
    if (Count <= 0)
      break;
    Result.append(Buffer, static_cast<std::size_t>(Count));
  }
  ::close(AFd);
  return Result;
}

TRunResult RunTool(const std::vector<std::string> &AArgs) {
  int Out[2], Err[2];
  if (::pipe(Out) != 0 || ::pipe(Err) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&Actions, Out[0]);
  posix_spawn_file_actions_addclose(&Actions, Err[0]);
  posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> Argv{BW_BINARY};
  Argv.insert(Argv.end(), AArgs.begin(), AArgs.end());
  std::vector<char *> Pointers;
  for (std::string &Arg : Argv)
    Pointers.push_back(Arg.data());
  Pointers.push_back(nullptr);

  pid_t Child = 0;
  const int Rc = ::posix_spawn(&Child, BW_BINARY, &Actions, nullptr, Pointers.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(Out[1]);
  ::close(Err[1]);
  if (Rc != 0)
    throw std::runtime_error("cannot start " + std::string(BW_BINARY));

  TRunResult Result;
  std::thread ErrReader([&] { Result.Stderr = DrainFd(Err[0]); });
  Result.Stdout = DrainFd(Out[0]);
  ErrReader.join();
  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  Result.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Result;
}

} // namespace bwtest
