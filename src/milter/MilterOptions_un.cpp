// Command-line parsing for bouncewarden-milter.
#include "milter/MilterOptions_un.h"

#include "regex/RegexMatch_un.h"
#include "rtl/StrUtils_un.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <thread>
#include <vector>

namespace bw {

namespace {
enum TOptionId : int {
  oiPattern = 1000, oiListen, oiAction, oiRejectReply, oiOnError, oiUser, oiSocketOwner, oiSocketMode, oiWorkers,
  oiLogStderr, oiHelp, oiVersion
};

struct TOptionInfo {
  const char *Name;
  const char *Argument;  // nullptr: the option takes none
  const char *Default;   // nullptr: no default worth printing
  const char *Help;
  TOptionId Id;
};
} // namespace

// The one description of the options: getopt_long's table and --help are
// both made from it.
static constexpr TOptionInfo Options[] = {
    {"pattern", "REGEX", "required",
     "PCRE pattern that the Message-IDs of your own outgoing mail match (without angle brackets; matched caseless "
     "and anchored at the start, e.g. '.*@example\\.com$')",
     oiPattern},
    {"listen", "SOCKET", "unix:/run/bouncewarden/milter.sock",
     "where the MTA connects: unix:/path, inet:PORT@HOST or inet6:PORT@HOST; a stale socket file is replaced",
     oiListen},
    {"action", "ACTION", "reject",
     "what happens to backscatter: reject (550 reply), discard, quarantine, tag (adds X-Bouncewarden: "
     "backscatter) or log (only logs what would have been done)",
     oiAction},
    {"reject-reply", "\"CODE X.Y.Z TEXT\"", "\"550 5.7.1 Backscatter: the returned message was not sent from here\"",
     "the reply of --action=reject: a 5xx code, a 5.Y.Z status and a text", oiRejectReply},
    {"on-error", "POLICY", "accept",
     "what happens to a message whose check fails: accept it, or tempfail it (the sender retries later)", oiOnError},
    {"user", "USER", nullptr,
     "the user to run as once the socket exists; required when started as root", oiUser},
    {"socket-owner", "USER:GROUP", nullptr, "hand the unix socket to this owner and group (either may be empty)",
     oiSocketOwner},
    {"socket-mode", "MODE", "0660", "octal permissions of the unix socket", oiSocketMode},
    {"workers", "N", "the number of cores",
     "how many checks run at once; each takes memory up to a few times the message size", oiWorkers},
    {"log-stderr", nullptr, nullptr, "log to standard error instead of syslog (facility mail)", oiLogStderr},
    {"help", nullptr, nullptr, "show this text and exit", oiHelp},
    {"version", nullptr, nullptr, "show the version and exit", oiVersion},
};

static constexpr std::string_view ActionNames[] = {"reject", "discard", "quarantine", "tag", "log"};

std::string_view ActionName(TMilterAction AAction) { return ActionNames[AAction]; }

static bool AllDigits(std::string_view AText) {
  return !AText.empty() && std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// "5.Y.Z" with one to three digits in Y and Z, as RFC 3463 has them.
static bool IsPermanentStatus(std::string_view AStatus) {
  if (!AStatus.starts_with("5."))
    return false;
  AStatus.remove_prefix(2);
  const std::size_t Dot = AStatus.find('.');
  if (Dot == std::string_view::npos)
    return false;
  const std::string_view Subject = AStatus.substr(0, Dot), Detail = AStatus.substr(Dot + 1);
  return AllDigits(Subject) && Subject.size() <= 3 && AllDigits(Detail) && Detail.size() <= 3;
}

// "CODE X.Y.Z text". The text goes into an SMTP reply line through
// smfi_setreply: printable ASCII only, and no "%", which the MTA may expand.
static bool ParseRejectReply(std::string_view AValue, TMilterOptions &AOptions) {
  const std::size_t First = AValue.find(' ');
  if (First == std::string_view::npos)
    return false;
  const std::size_t Second = AValue.find(' ', First + 1);
  if (Second == std::string_view::npos)
    return false;
  const std::string_view Code = AValue.substr(0, First), Status = AValue.substr(First + 1, Second - First - 1),
                         Text = AValue.substr(Second + 1);
  if (Code.size() != 3 || !AllDigits(Code) || Code[0] != '5' || !IsPermanentStatus(Status) ||
      TrimBytes(Text).empty())
    return false;
  if (!std::all_of(Text.begin(), Text.end(), [](char C) { return C >= 0x20 && C < 0x7F && C != '%'; }))
    return false;
  AOptions.ReplyCode = Code;
  AOptions.ReplyStatus = Status;
  AOptions.ReplyText = Text;
  return true;
}

static bool ParseSocketOwner(std::string_view AValue, TMilterOptions &AOptions) {
  const std::size_t Colon = AValue.find(':');
  AOptions.SocketOwner = AValue.substr(0, Colon);
  AOptions.SocketGroup = Colon == std::string_view::npos ? std::string_view() : AValue.substr(Colon + 1);
  return !AOptions.SocketOwner.empty() || !AOptions.SocketGroup.empty();
}

static bool ParseSocketMode(std::string_view AValue, mode_t &AMode) {
  unsigned Mode = 0;
  const auto [End, Error] = std::from_chars(AValue.data(), AValue.data() + AValue.size(), Mode, 8);
  if (AValue.empty() || Error != std::errc() || End != AValue.data() + AValue.size() || Mode > 0777)
    return false;
  AMode = static_cast<mode_t>(Mode);
  return true;
}

static bool ParseWorkers(std::string_view AValue, unsigned &AWorkers) {
  static constexpr unsigned MaxWorkers = 1024;
  unsigned Count = 0;
  const auto [End, Error] = std::from_chars(AValue.data(), AValue.data() + AValue.size(), Count);
  if (AValue.empty() || Error != std::errc() || End != AValue.data() + AValue.size() || Count < 1 ||
      Count > MaxWorkers)
    return false;
  AWorkers = Count;
  return true;
}

template <class TChoice, std::size_t N>
static bool ParseChoice(std::string_view AValue, const std::string_view (&ANames)[N], TChoice &AChoice) {
  for (std::size_t I = 0; I < N; ++I)
    if (AValue == ANames[I]) {
      AChoice = static_cast<TChoice>(I);
      return true;
    }
  return false;
}

// Applies one option; false when its argument is not acceptable.
static bool ApplyOption(TOptionId AId, std::string_view AValue, TMilterParseResult &AResult) {
  static constexpr std::string_view PolicyNames[] = {"accept", "tempfail"};
  TMilterOptions &Opts = AResult.Options;
  switch (AId) {
  case oiPattern:
    Opts.Pattern = AValue;
    return !AValue.empty();
  case oiListen:
    Opts.Listen = AValue;
    return !AValue.empty();
  case oiAction:
    return ParseChoice(AValue, ActionNames, Opts.Action);
  case oiRejectReply:
    return ParseRejectReply(AValue, Opts);
  case oiOnError:
    return ParseChoice(AValue, PolicyNames, Opts.OnError);
  case oiUser:
    Opts.User = AValue;
    return !AValue.empty();
  case oiSocketOwner:
    return ParseSocketOwner(AValue, Opts);
  case oiSocketMode:
    return ParseSocketMode(AValue, Opts.SocketMode);
  case oiWorkers:
    return ParseWorkers(AValue, Opts.Workers);
  case oiLogStderr:
    Opts.LogStderr = true;
    return true;
  case oiHelp:
    AResult.Request = mrHelp;
    return true;
  case oiVersion:
    AResult.Request = mrVersion;
    return true;
  }
  return false;
}

static const TOptionInfo *FindOption(int AId) {
  for (const TOptionInfo &Info : Options)
    if (Info.Id == AId)
      return &Info;
  return nullptr;
}

static TMilterParseResult UsageError(std::string AMessage) {
  TMilterParseResult Result;
  Result.Request = mrUsageError;
  Result.Message = std::move(AMessage) + " (see --help)";
  return Result;
}

TMilterParseResult ParseMilterOptions(std::span<const std::string> AArgs) {
  std::vector<option> LongOptions;
  for (const TOptionInfo &Info : Options)
    LongOptions.push_back({Info.Name, Info.Argument ? required_argument : no_argument, nullptr, Info.Id});
  LongOptions.push_back({nullptr, 0, nullptr, 0});

  // getopt_long wants a mutable argv of its own; the strings stay in AArgs.
  std::vector<std::string> Storage{"bouncewarden-milter"};
  Storage.insert(Storage.end(), AArgs.begin(), AArgs.end());
  std::vector<char *> Argv;
  for (std::string &Arg : Storage)
    Argv.push_back(Arg.data());
  Argv.push_back(nullptr);

  TMilterParseResult Result;
  Result.Request = mrRun;
  optind = 0;  // 0 makes glibc start over, so the parser can run more than once
  opterr = 0;  // errors are reported here, not printed by getopt
  const int Argc = static_cast<int>(Storage.size());
  for (;;) {
    int Index = -1;
    const int Id = getopt_long(Argc, Argv.data(), ":", LongOptions.data(), &Index);
    if (Id == -1)
      break;
    const std::string Arg = Argv[optind - 1];
    // getopt names a known option in optopt when only its argument is wrong
    // (a short option's letter lands there too, and none is known).
    if (const TOptionInfo *Known = Id == '?' ? FindOption(optopt) : nullptr)
      return UsageError("Option \"--" + std::string(Known->Name) + "\" takes no argument");
    if (Id == '?')
      return UsageError("Unknown or ambiguous option \"" + Arg + "\"");
    if (Id == ':')
      return UsageError("Option \"" + Arg + "\" needs an argument");
    const TOptionInfo *Info = FindOption(Id);
    if (!ApplyOption(Info->Id, optarg ? optarg : "", Result))
      return UsageError("Invalid value \"" + std::string(optarg) + "\" for --" + Info->Name);
  }
  if (optind < Argc)
    return UsageError("Unexpected argument \"" + std::string(Argv[optind]) + "\"");
  if (Result.Request != mrRun)
    return Result;
  if (Result.Options.Pattern.empty())
    return UsageError("The option --pattern=REGEX is required");
  if (Result.Options.Workers == 0)
    Result.Options.Workers = std::max(1u, std::thread::hardware_concurrency());

  if (std::optional<std::string> Error = InvalidPatternMessage(Result.Options.Pattern)) {
    Result.Request = mrBadPattern;
    Result.Message = std::move(*Error);
  }
  return Result;
}

std::string MilterHelpText() {
  std::string Text =
      "Usage: bouncewarden-milter --pattern=REGEX [OPTION]...\n"
      "Checks bounces during the SMTP session, as a milter for Postfix or Sendmail, and acts on backscatter:\n"
      "bounces that return a message whose Message-IDs are none of yours.\n\n";
  for (const TOptionInfo &Info : Options) {
    std::string Left = std::string("  --") + Info.Name;
    if (Info.Argument)
      Left += std::string("=") + Info.Argument;
    Text += Left + "\n      " + Info.Help;
    if (Info.Default)
      Text += std::string(" (") + (std::string_view(Info.Default) == "required" ? "" : "default: ") + Info.Default +
              ")";
    Text += "\n";
  }
  Text += "\nRuns in the foreground; SIGTERM or SIGINT ends it after the checks in progress.\n"
          "Exit codes: 0 stopped by a signal, 64 bad usage, 67 unknown user or group, 70 the milter library\n"
          "failed, 71 a system call failed (socket, ownership, privileges), 78 bad pattern or running as root.\n";
  return Text;
}

} // namespace bw
