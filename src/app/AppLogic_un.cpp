// The driver and its outputs.
#include "app/AppLogic_un.h"

#include "cli/CommandLineParser_un.h"
#include "detector/BackscatterDetector_un.h"
#include "detector/MessageIdMatch_un.h"
#include "rtl/Console_un.h"
#include "rtl/Version_un.h"
#include "rtl/SysUtils_un.h"

#include <new>

namespace bw {

// The line the unknown-action assertion has always printed, kept fixed (see
// Assert) so that adding lines here never changes the program's output.
static constexpr const char *UnitName = "AppLogic_un";
static constexpr int UnknownActionLine = 138;

static constexpr const char *UsageLines[] = {
    "Usage:",
    "",
    "  bouncewarden.exe [-help] -s<p1sender> <mimefile> <msgidregex>",
    "",
    "Arguments:",
    "",
    "  p1sender     Email P1 (envelope) sender email address.",
    "               Mandatory parameter.",
    "  mimefile     The MIME email file to be checked. Mandatory parameter.",
    "  msgidregex   Regular expression that has to match on the bounced email",
    "               Message-ID (case-insensitive). Mandatory parameter.",
    "  help         Displays this help page.",
    "",
    "All arguments are positional, specify them in the above order.",
    "",
    "Examples:",
    "",
    R"(  bouncewarden.exe -s"" "bounce.eml" ".*@example\.com$")",
    R"(  bouncewarden.exe -s"" "bounce.eml" ".*(@example\.com|@example\.net)$")",
    "  bouncewarden.exe -help",
};

static void ShowUnexpectedError(const char *AClassName, const std::string &AMessage) {
  WriteLn(std::string("Unexpected error ") + AClassName + " \"" + AMessage + "\".");
}

int TAppLogic::Run(std::span<const std::string> AArgs) {
  TAppLogic App(AArgs);
  try {
    return App.RunCommandLine();
  } catch (const Exception &Error) {
    ShowUnexpectedError(Error.ClassName(), Error.Message());
  } catch (const std::bad_alloc &) {
    // Short enough for the string's own buffer: reporting it allocates nothing.
    const EOutOfMemory Error("Out of memory");
    ShowUnexpectedError(Error.ClassName(), Error.Message());
  } catch (const std::exception &Error) {
    // Failures of the standard library surface under the root class's name.
    ShowUnexpectedError("Exception", Error.what());
  }
  return ExitUnexpectedError;
}

TAppLogic::TAppLogic(std::span<const std::string> AArgs)
    : FParameters(std::make_unique<TAppParameters>()), FArgs(AArgs) {}

int TAppLogic::RunCommandLine() {
  std::string ErrorMessage;
  if (!TCommandLineParser::Parse(*FParameters, ErrorMessage, FArgs, InvalidPatternMessage)) {
    ShowUsage(ErrorMessage);
    return ExitInvalidCommandLine;
  }
  switch (FParameters->Action) {
  case aaCheckFile:
    return CheckMimeFile();
  case aaShowHelp:
    ShowUsage({});
    return ExitNotBackscatter;
  }
  Assert(false, UnitName, UnknownActionLine);
  return ExitUnexpectedError;
}

int TAppLogic::CheckMimeFile() {
  if (TBackscatterDetector::IsBackscatter(FParameters->P1Sender, FParameters->MimeFile, FParameters->MsgIdRegex)) {
    WriteLn("Backscatter DSN.");
    return ExitBackscatter;
  }
  WriteLn("Not backscatter DSN.");
  return ExitNotBackscatter;
}

void TAppLogic::ShowBanner() {
  WriteLn(std::string("bouncewarden ") + ProgramVersion + " - tells backscatter from genuine bounces");
  WriteLn("Copyright (c) 2026 the bouncewarden developers");
  WriteLn();
}

void TAppLogic::ShowUsage(const std::string &AErrorMessage) {
  ShowBanner();
  for (const char *Line : UsageLines)
    WriteLn(Line);
  if (AErrorMessage.empty())
    return;
  WriteLn();
  WriteLn("ERROR: " + AErrorMessage);
}

} // namespace bw
