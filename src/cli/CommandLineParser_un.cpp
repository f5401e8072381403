// Command-line parsing.
#include "cli/CommandLineParser_un.h"

#include "rtl/Format_un.h"
#include "rtl/StrUtils_un.h"

namespace bw {

static const char *const InvalidParameterFormat = "Invalid or incomplete parameter \"%s\".";
static const char *const InvalidCountMessage = "Invalid number of parameters. See \"Examples\" for usage hints.";
static const char *const SenderMissingMessage = "The P1 (envelope) sender address parameter was not found.";

std::vector<std::string> TCommandLineParser::SplitArguments(int AArgc, const char *const *AArgv) {
  std::vector<std::string> Args;
  for (int I = 1; I < AArgc; ++I)
    if (AArgv[I] && *AArgv[I])
      Args.emplace_back(AArgv[I]);
  return Args;
}

bool TCommandLineParser::IsSwitch(const std::string &AArg, const std::string &AName) {
  for (const std::string_view Prefix : {"", "-", "/", "--"})
    if (AArg.size() == Prefix.size() + AName.size() && AArg.starts_with(Prefix) &&
        SameText(std::string_view(AArg).substr(Prefix.size()), AName))
      return true;
  return false;
}

bool TCommandLineParser::ParseSenderSwitch(const std::string &AArg, std::string &ASender) {
  ASender.clear();
  const std::string Trimmed = TrimBytes(AArg);
  const std::size_t Letter = Trimmed.find_first_of("Ss");
  if (Letter == std::string::npos)
    return false;
  ASender = TrimBytes(std::string_view(Trimmed).substr(Letter + 1));
  return true;
}

bool TCommandLineParser::Parse(TAppParameters &AParameters, std::string &AErrorMessage,
                               std::span<const std::string> AArgs, TPatternCheck ACheckPattern) {
  AErrorMessage.clear();
  switch (AArgs.size()) {
  case 0:
    AParameters.Action = aaShowHelp;
    return true;
  case 1:
    if (IsSwitch(AArgs[0], "help") || IsSwitch(AArgs[0], "?")) {
      AParameters.Action = aaShowHelp;
      return true;
    }
    AErrorMessage = FormatMessage(InvalidParameterFormat, {AArgs[0]});
    return false;
  case 3: {
    std::string Sender;
    if (!ParseSenderSwitch(AArgs[0], Sender)) {
      AErrorMessage = SenderMissingMessage;
      return false;
    }
    const std::string Expression = TrimBytes(AArgs[2]);
    // Checked here, as each match will compile it, so that a typo is
    // reported instead of turning every bounce into backscatter.
    if (std::optional<std::string> Error = ACheckPattern(Expression)) {
      AErrorMessage = std::move(*Error);
      return false;
    }
    AParameters.P1Sender = std::move(Sender);
    AParameters.MimeFile = TrimBytes(AArgs[1]);
    AParameters.MsgIdRegex = Expression;
    AParameters.Action = aaCheckFile;
    return true;
  }
  default:
    AErrorMessage = InvalidCountMessage;
    return false;
  }
}

} // namespace bw
