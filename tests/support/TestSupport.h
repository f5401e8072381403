// Helpers shared by the test suites: fixture files and running the binary.
#pragma once

#include <string>
#include <vector>

namespace bwtest {

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

} // namespace bwtest
