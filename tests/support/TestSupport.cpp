// Fixture and process helpers for the tests.
#include "support/TestSupport.h"

#include "rtl/StrUtils_un.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace bwtest {

std::map<int, std::string> ManPageExitStatus(const std::string &AManPage) {
  const std::filesystem::path Source = std::filesystem::path(BW_TEST_DATA).parent_path().parent_path();
  std::ifstream File(Source / "man" / AManPage);
  std::map<int, std::string> Entries;
  std::string Line;
  bool InSection = false;
  int Code = -1;
  while (std::getline(File, Line)) {
    if (Line.starts_with(".SH"))
      InSection = Line == ".SH EXIT STATUS";
    if (!InSection)
      continue;
    if (Line.starts_with(".B ") && Line.find_first_not_of("0123456789", 3) == std::string::npos) {
      Code = std::stoi(Line.substr(3));
      continue;
    }
    if (Code >= 0 && !Line.starts_with(".")) {
      for (std::size_t At; (At = Line.find("\\-")) != std::string::npos;)
        Line.erase(At, 1);
      Entries[Code] = Line;
    }
    Code = -1;
  }
  return Entries;
}

void ExpectExitCodesQuoted(std::span<const bw::TExitCodeInfo> ACodes, const std::string &AManPage,
                           const std::string &AHelp) {
  const std::map<int, std::string> Entries = ManPageExitStatus(AManPage);
  EXPECT_EQ(Entries.size(), ACodes.size()) << AManPage;
  for (const bw::TExitCodeInfo &Info : ACodes) {
    std::string Meaning = Info.Meaning;
    const std::size_t InHelp = AHelp.find(" " + Meaning + "\n");
    ASSERT_NE(InHelp, std::string::npos) << "--help lacks: " << Meaning;
    const std::size_t LineStart = AHelp.rfind('\n', InHelp) + 1;
    EXPECT_EQ(bw::TrimBytes(AHelp.substr(LineStart, InHelp - LineStart)), std::to_string(Info.Code)) << Meaning;
    Meaning[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(Meaning[0])));
    const auto Entry = Entries.find(Info.Code);
    ASSERT_NE(Entry, Entries.end()) << AManPage << " lacks exit code " << Info.Code;
    EXPECT_EQ(Entry->second.substr(0, Meaning.size()), Meaning) << AManPage;
  }
}

std::string FixturePath(const std::string &ARelativePath) { return std::string(BW_TEST_DATA) + "/" + ARelativePath; }

std::string ReadFixture(const std::string &ARelativePath) {
  std::ifstream File(FixturePath(ARelativePath), std::ios::binary);
  if (!File)
    throw std::runtime_error("missing fixture " + ARelativePath);
  std::ostringstream Content;
  Content << File.rdbuf();
  return Content.str();
}

std::string WriteTempFile(const std::string &AName, const std::string &AContent) {
  static const TScratchFolder Folder;
  const std::filesystem::path Path = Folder / AName;
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


namespace {
// Starts the tool with AStdin as its standard input (-1: none, the
// descriptor closed) and collects its output and exit code. AStdin is closed
// here as soon as the child holds it, so a writer on the other end of a pipe
// sees EPIPE instead of blocking once the child is gone.
TRunResult RunToolOnStdin(const std::vector<std::string> &AArgs, int AStdin) {
  int Out[2], Err[2];
  const auto CloseStdin = [AStdin] {
    if (AStdin >= 0)
      ::close(AStdin);
  };
  if (::pipe2(Out, O_CLOEXEC) != 0 || ::pipe2(Err, O_CLOEXEC) != 0) {
    CloseStdin();
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  if (AStdin >= 0)
    posix_spawn_file_actions_adddup2(&Actions, AStdin, STDIN_FILENO);
  else
    posix_spawn_file_actions_addclose(&Actions, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Err[1], STDERR_FILENO);

  // BW_TOOL_WRAPPER (e.g. "valgrind --error-exitcode=97 -q") runs the tool
  // under another program; its words go in front.
  std::vector<std::string> Argv;
  if (const char *Wrapper = std::getenv("BW_TOOL_WRAPPER")) {
    std::istringstream Words(Wrapper);
    for (std::string Word; Words >> Word;)
      Argv.push_back(Word);
  }
  Argv.push_back(BW_BINARY);
  Argv.insert(Argv.end(), AArgs.begin(), AArgs.end());
  std::vector<char *> Pointers;
  for (std::string &Arg : Argv)
    Pointers.push_back(Arg.data());
  Pointers.push_back(nullptr);

  pid_t Child = 0;
  const int Rc = ::posix_spawnp(&Child, Argv.front().c_str(), &Actions, nullptr, Pointers.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  CloseStdin();
  ::close(Out[1]);
  ::close(Err[1]);
  if (Rc != 0) {
    ::close(Out[0]);
    ::close(Err[0]);
    throw std::runtime_error("cannot start " + std::string(BW_BINARY));
  }

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
} // namespace

TRunResult RunTool(const std::vector<std::string> &AArgs) { return RunToolWithInputFile(AArgs, "/dev/null"); }

TRunResult RunToolWithInputFile(const std::vector<std::string> &AArgs, const std::string &APath) {
  const int File = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
  if (File < 0)
    throw std::runtime_error("cannot open " + APath);
  return RunToolOnStdin(AArgs, File);
}

TRunResult RunToolWithoutStandardInput(const std::vector<std::string> &AArgs) { return RunToolOnStdin(AArgs, -1); }

TRunResult RunToolWithInputDescriptor(const std::vector<std::string> &AArgs, int AStdin) {
  return RunToolOnStdin(AArgs, AStdin);
}

TFedRunResult RunToolWithInput(const std::vector<std::string> &AArgs, const std::string &AInput) {
  // A write into a pipe whose reader is gone must fail with EPIPE here, not
  // end the test program.
  ::signal(SIGPIPE, SIG_IGN);
  int In[2];
  if (::pipe2(In, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  std::size_t Written = 0;
  int WriteError = 0;
  std::thread Writer([&] {
    while (Written < AInput.size()) {
      const ssize_t Count = ::write(In[1], AInput.data() + Written, AInput.size() - Written);
      if (Count < 0 && errno == EINTR)
        continue;
      if (Count < 0) {
        WriteError = errno;
        break;
      }
      Written += static_cast<std::size_t>(Count);
    }
    ::close(In[1]);
  });

  TFedRunResult Result;
  try {
    static_cast<TRunResult &>(Result) = RunToolOnStdin(AArgs, In[0]);
  } catch (...) {
    Writer.join();  // In[0] is closed, so the writer ends with EPIPE
    throw;
  }
  Writer.join();
  Result.BytesWritten = Written;
  Result.WriteError = WriteError;
  return Result;
}

} // namespace bwtest
