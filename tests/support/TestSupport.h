// Helpers shared by the test suites: scratch folders, fixture files and
// running the binary.
#pragma once

#include <cstddef>
#include "rtl/ExitCodes_un.h"
#include "rtl/SysUtils_un.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bwtest {

// A fresh folder under the temporary folder, removed with everything in it.
class TScratchFolder {
public:
  TScratchFolder() {
    std::string Template = (std::filesystem::temp_directory_path() / "bwtest-XXXXXX").string();
    if (!::mkdtemp(Template.data()))
      throw std::runtime_error("mkdtemp failed");
    FPath = Template;
  }
  ~TScratchFolder() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TScratchFolder(const TScratchFolder &) = delete;
  TScratchFolder &operator=(const TScratchFolder &) = delete;
  std::string operator/(const std::string &AName) const { return (FPath / AName).string(); }

private:
  std::filesystem::path FPath;
};

// Runs AAction and returns "<class>: <message>" of the project exception it
// raises, or "nothing raised".
inline std::string RaisedError(const std::function<void()> &AAction) {
  try {
    AAction();
  } catch (const bw::Exception &E) {
    return std::string(E.ClassName()) + ": " + E.Message();
  }
  return "nothing raised";
}

// AText with every LF written as ALineEnd.
inline std::string WithLineEnds(std::string_view AText, std::string_view ALineEnd) {
  std::string Result;
  for (const char C : AText)
    if (C == '\n')
      Result += ALineEnd;
    else
      Result += C;
  return Result;
}

// AContent followed by filler lines, exactly ASize bytes long.
inline std::string PaddedTo(const std::string &AContent, std::size_t ASize) {
  std::string Result = AContent;
  while (Result.size() < ASize)
    Result += std::string(76, 'x') + "\n";
  Result.resize(ASize);
  return Result;
}

// The first line of each entry of a man page's EXIT STATUS section, by exit
// code, with "\-" read as "-"; AManPage is relative to man/ of the source.
std::map<int, std::string> ManPageExitStatus(const std::string &AManPage);

// Expects every code of ACodes to be listed in AHelp with its meaning, and
// its man page entry to open with that meaning, capitalised.
void ExpectExitCodesQuoted(std::span<const bw::TExitCodeInfo> ACodes, const std::string &AManPage,
                           const std::string &AHelp);

// The bytes of tests/data/<ARelativePath>.
std::string ReadFixture(const std::string &ARelativePath);
// The absolute path of tests/data/<ARelativePath>.
std::string FixturePath(const std::string &ARelativePath);
// Writes AContent to a fresh file in a temporary folder and returns its path;
// the folder is removed when the test program ends.
std::string WriteTempFile(const std::string &AName, const std::string &AContent);

struct TRunResult {
  int ExitCode = -1;
  std::string Stdout;
  std::string Stderr;
};
// Runs the built bouncewarden with exactly these arguments (no shell).
TRunResult RunTool(const std::vector<std::string> &AArgs);

// Runs the built bouncewarden with its standard input read from the regular
// file at APath (what a shell's "< file" gives it).
TRunResult RunToolWithInputFile(const std::vector<std::string> &AArgs, const std::string &APath);

// Runs the built bouncewarden with its standard input closed (a shell's "<&-").
TRunResult RunToolWithoutStandardInput(const std::vector<std::string> &AArgs);

// Runs the built bouncewarden with the descriptor AStdin as its standard
// input; AStdin is closed once the tool holds it.
TRunResult RunToolWithInputDescriptor(const std::vector<std::string> &AArgs, int AStdin);

struct TFedRunResult : TRunResult {
  std::size_t BytesWritten = 0;  // bytes the tool's standard input took
  int WriteError = 0;            // errno of the write that failed (EPIPE: the tool closed its end), or 0
  // Every byte went into the pipe and no write failed.
  bool AllInputWritten(const std::string &AInput) const { return WriteError == 0 && BytesWritten == AInput.size(); }
};
// Runs the built bouncewarden with AInput fed to its standard input through a
// pipe by a writer thread, as a mail filter's pipe would; the pipe is closed
// after the last byte.
TFedRunResult RunToolWithInput(const std::vector<std::string> &AArgs, const std::string &AInput);

} // namespace bwtest
