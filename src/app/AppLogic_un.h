// The driver: parses the command line, runs the check, prints the one
// outcome and turns it into the exit code.
#pragma once

#include "cli/AppParameters_un.h"

#include <memory>
#include <span>
#include <string>

namespace bw {

enum : int { ExitNotBackscatter = 0, ExitBackscatter = 1, ExitInvalidCommandLine = 254, ExitUnexpectedError = 255 };

class TAppLogic {
public:
  // Runs one command; every exception that ends the run becomes the
  // "Unexpected error" line and 255.
  static int Run(std::span<const std::string> AArgs);

  explicit TAppLogic(std::span<const std::string> AArgs);
  int RunCommandLine();
  int CheckMimeFile();
  static void ShowUsage(const std::string &AErrorMessage);
  static void ShowBanner();

private:
  std::unique_ptr<TAppParameters> FParameters;
  std::span<const std::string> FArgs;
};

} // namespace bw
