// Turns the program's arguments into TAppParameters, or into an error message.
#pragma once

#include "cli/AppParameters_un.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bw {

// Why a Message-ID pattern may not be used, or nothing when it may. The
// parser knows no pattern language: the program hands in the check of the
// layer that owns the pattern, so that a typo is refused as a command-line
// error with that layer's own message.
using TPatternCheck = std::optional<std::string> (*)(const std::string &AExpression);

class TCommandLineParser {
public:
  // The arguments after the program name, as the process received them;
  // empty elements count as no argument.
  static std::vector<std::string> SplitArguments(int AArgc, const char *const *AArgv);

  // Fills AParameters and returns true for a help or a check request; returns
  // false with a message for an invalid command line, leaving AParameters as
  // it was. A check request's expression, trimmed, must pass ACheckPattern,
  // whose message is then the error. Never raises for bad input.
  static bool Parse(TAppParameters &AParameters, std::string &AErrorMessage, std::span<const std::string> AArgs,
                    TPatternCheck ACheckPattern);

  // AArg equals AName, "-"/"/"/"--" followed by AName, with ASCII letters
  // compared without regard to case.
  static bool IsSwitch(const std::string &AArg, const std::string &AName);

  // The sender after the first "s" or "S" of the trimmed argument, trimmed;
  // false when there is no such letter.
  static bool ParseSenderSwitch(const std::string &AArg, std::string &ASender);
};

} // namespace bw
