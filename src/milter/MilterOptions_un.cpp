// Command-line parsing for bouncewarden-milter.
#include "milter/MilterOptions_un.h"

#include "detector/MessageIdMatch_un.h"
#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerStore_un.h"
#include "rtl/StrUtils_un.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

namespace bw {

namespace {
enum TOptionId : int {
  oiPattern = 1000, oiListen, oiAction, oiRejectReply, oiOnError, oiUser, oiSocketOwner, oiSocketMode, oiWorkers,
  oiTimeout, oiStopGrace, oiLedger, oiLedgerOnly, oiLedgerKeyFile, oiRecordFrom, oiRetention, oiAddMessageId,
  oiLedgerTimeout, oiLedgerMapSize, oiLogStderr, oiHelp, oiVersion
};

// The decimal text of N at compile time, so that a number the ledger's
// header defines can be the table's default without being written twice.
template <unsigned N> struct TDecimalText {
  char Text[11]{};
  constexpr TDecimalText() {
    char Reversed[11]{};
    int Length = 0;
    unsigned Rest = N;
    do {
      Reversed[Length++] = static_cast<char>('0' + Rest % 10);
      Rest /= 10;
    } while (Rest > 0);
    for (int I = 0; I < Length; ++I)
      Text[I] = Reversed[Length - 1 - I];
  }
};
template <unsigned N> inline constexpr TDecimalText<N> DecimalText{};

// What the Default of an option is: a value the parser applies before the
// command line (so the defaults are written only here), or a text for
// --help alone.
enum TDefaultKind : std::uint8_t { dkNone, dkValue, dkText };

struct TOptionInfo {
  const char *Name;
  const char *Argument;  // nullptr: the option takes none
  TDefaultKind DefaultKind;
  const char *Default;
  const char *Help;
  TOptionId Id;
};
} // namespace

// The one description of the options: the defaults, getopt_long's table and
// --help are all made from it.
static constexpr TOptionInfo Options[] = {
    {"pattern", "REGEX", dkText, "required without --ledger",
     "PCRE pattern that the Message-IDs of your own outgoing mail match (without angle brackets; matched caseless "
     "and anchored at the start, e.g. '.*@example\\.com$')",
     oiPattern},
    {"listen", "SOCKET", dkValue, "unix:/run/bouncewarden/milter.sock",
     "where the MTA connects: unix:/path, inet:PORT@HOST or inet6:PORT@HOST; a unix socket that nothing answers "
     "is replaced, one that answers stops the start",
     oiListen},
    {"action", "ACTION", dkValue, "reject",
     "what happens to backscatter: reject (550 reply), discard, quarantine, tag (adds X-Bouncewarden: "
     "backscatter, and removes that header from every message that arrives with it) or log (only logs what "
     "would have been done)",
     oiAction},
    {"reject-reply", "\"CODE X.Y.Z TEXT\"", dkValue, DefaultRejectReply,
     "the reply of --action=reject: a 5xx code, a 5.Y.Z status and a text", oiRejectReply},
    {"on-error", "POLICY", dkValue, "accept",
     "what happens to a message whose check fails or is cut short by a stop: accept it, or tempfail it (the "
     "sender retries later)",
     oiOnError},
    {"user", "USER", dkNone, nullptr, "the user to run as once the socket exists; required when started as root",
     oiUser},
    {"socket-owner", "USER:GROUP", dkNone, nullptr,
     "hand the unix socket to this owner and group (either may be empty)", oiSocketOwner},
    {"socket-mode", "MODE", dkValue, "0660", "octal permissions of the unix socket", oiSocketMode},
    {"workers", "N", dkText, "the number of cores",
     "how many checks run at once; each takes memory up to a few times the message size", oiWorkers},
    {"timeout", "SECONDS", dkValue, "300",
     "a connection whose MTA sends nothing for this long is closed (keep it at or above the MTA's own milter "
     "timeouts)",
     oiTimeout},
    {"stop-grace", "SECONDS", dkValue, "30",
     "on SIGTERM, how long the messages in progress may take; a check still running then gets the --on-error "
     "answer (keep it below the service manager's stop timeout)",
     oiStopGrace},
    {"ledger", "URI", dkValue, DefaultLedgerUri,
     "check bounces against the ledger of sent Message-IDs too: lmdb:PATH, redis://HOST[:PORT][/DB] or "
     "redis+unix:PATH[?db=N]; with --pattern, an ID is yours when either knows it; --ledger-only and "
     "--record-from open the ledger as well",
     oiLedger},
    {"ledger-only", nullptr, dkNone, nullptr,
     "an ID is yours only when it is in the ledger (the pattern is asked only while the ledger does not yet "
     "cover the retention); a ledger that cannot answer gives the --on-error answer",
     oiLedgerOnly},
    {"ledger-key-file", "FILE", dkValue, DefaultLedgerKeyFile,
     "the site's key for the ledger (bouncewarden-ledger init makes it); every host of one ledger shares it",
     oiLedgerKeyFile},
    {"record-from", "LIST", dkNone, nullptr,
     "record the Message-ID of every message from these origins in the ledger, comma-separated: auth (the "
     "client authenticated), local (submitted on this host: sendmail, pickup), networks of the client's address "
     "(10.0.0.0/8, 2001:db8::/32)",
     oiRecordFrom},
    {"retention", "DAYS", dkValue, DecimalText<DefaultRetentionDays>.Text,
     "how long a recorded ID counts (keep it as bouncewarden-ledger's)", oiRetention},
    {"add-message-id", nullptr, dkNone, nullptr,
     "give a message to record that reaches the milter without a Message-ID one of its own, and log it",
     oiAddMessageId},
    {"ledger-timeout", "MS", dkValue, DecimalText<DefaultLedgerTimeoutMs>.Text,
     "the longest a Redis ledger may take to answer before a check goes on without it", oiLedgerTimeout},
    {"ledger-map-size", "MIB", dkValue, DecimalText<DefaultMapSizeMiB>.Text,
     "the most an LMDB ledger may grow to (keep it as bouncewarden-ledger's)", oiLedgerMapSize},
    {"log-stderr", nullptr, dkNone, nullptr, "log to standard error instead of syslog (facility mail)",
     oiLogStderr},
    {"help", nullptr, dkNone, nullptr, "show this text and exit", oiHelp},
    {"version", nullptr, dkNone, nullptr, "show the version and exit", oiVersion},
};

static constexpr std::string_view ActionNames[] = {"reject", "discard", "quarantine", "tag", "log"};

std::string_view ActionName(TMilterAction AAction) { return ActionNames[AAction]; }

static constexpr std::string_view PolicyNames[] = {"accept", "tempfail"};

std::string_view PolicyName(TErrorPolicy APolicy) { return PolicyNames[APolicy]; }

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

// A whole number from AMin to AMax, digits only.
static bool ParseCount(std::string_view AValue, unsigned AMin, unsigned AMax, unsigned &ACount) {
  unsigned Count = 0;
  const auto [End, Error] = std::from_chars(AValue.data(), AValue.data() + AValue.size(), Count);
  if (!AllDigits(AValue) || Error != std::errc() || End != AValue.data() + AValue.size() || Count < AMin ||
      Count > AMax)
    return false;
  ACount = Count;
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

// Applies one option; false when its argument is not acceptable, with the
// reason in AResult.Message when there is more to say than that.
static bool ApplyOption(TOptionId AId, std::string_view AValue, TMilterParseResult &AResult) {
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
    return ParseCount(AValue, 1, 1024, Opts.Workers);
  case oiTimeout:
    return ParseCount(AValue, 1, 86400, Opts.TimeoutSeconds);
  case oiStopGrace:
    return ParseCount(AValue, 1, 3600, Opts.StopGraceSeconds);
  case oiLedger: {
    const TLedgerUriResult Uri = ParseLedgerUri(AValue);
    if (!Uri.Location) {
      AResult.Message = Uri.Error;
      return false;
    }
    Opts.LedgerUri = AValue;
    return true;
  }
  case oiLedgerOnly:
    Opts.LedgerOnly = true;
    return true;
  case oiLedgerKeyFile:
    Opts.LedgerKeyFile = AValue;
    return !AValue.empty();
  case oiRecordFrom: {
    TRecordOriginsResult Origins = ParseRecordOrigins(AValue);
    if (!Origins.Origins) {
      AResult.Message = std::move(Origins.Error);
      return false;
    }
    Opts.RecordFrom = std::move(*Origins.Origins);
    return true;
  }
  case oiRetention:
    return ParseCount(AValue, 1, 3650, Opts.RetentionDays);
  case oiAddMessageId:
    Opts.AddMessageId = true;
    return true;
  case oiLedgerTimeout:
    return ParseCount(AValue, 1, 60000, Opts.LedgerTimeoutMs);
  case oiLedgerMapSize:
    return ParseCount(AValue, 1, 1u << 20, Opts.LedgerMapSizeMiB);
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

TMilterOptions DefaultMilterOptions() {
  TMilterParseResult Result;
  for (const TOptionInfo &Info : Options)
    if (Info.DefaultKind == dkValue && !ApplyOption(Info.Id, Info.Default, Result))
      std::abort();  // a default that its own parser refuses is a bug in the table
  return Result.Options;
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
  Result.Options = DefaultMilterOptions();
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
      return UsageError("Invalid value \"" + OneLineText(optarg) + "\" for --" + Info->Name +
                        (Result.Message.empty() ? "" : ": " + Result.Message));
    // The table's default names a ledger too, but opens none.
    if (Info->Id == oiLedger)
      Result.Options.LedgerGiven = true;
  }
  if (optind < Argc)
    return UsageError("Unexpected argument \"" + std::string(Argv[optind]) + "\"");
  if (Result.Request != mrRun)
    return Result;
  const TMilterOptions &Opts = Result.Options;
  if (Opts.Pattern.empty() && !Opts.LedgerGiven && !Opts.LedgerOnly)
    return UsageError("The option --pattern=REGEX or --ledger=URI is required");
  if (Opts.AddMessageId && Opts.RecordFrom.Empty())
    return UsageError("The option --add-message-id needs --record-from=LIST");
  if (Opts.Workers == 0)
    Result.Options.Workers = std::max(1u, std::thread::hardware_concurrency());

  if (Opts.Pattern.empty())
    return Result;
  if (std::optional<std::string> Error = InvalidPatternMessage(Opts.Pattern)) {
    Result.Request = mrBadPattern;
    Result.Message = std::move(*Error);
  }
  return Result;
}

std::string MilterHelpText() {
  std::string Text =
      "Usage: bouncewarden-milter --pattern=REGEX|--ledger=URI [OPTION]...\n"
      "Checks bounces during the SMTP session, as a milter for Postfix or Sendmail, and acts on backscatter:\n"
      "bounces that return a message whose Message-IDs are none of yours, by a pattern, by the ledger of the\n"
      "Message-IDs your hosts sent, or both.\n\n";
  for (const TOptionInfo &Info : Options) {
    std::string Left = std::string("  --") + Info.Name;
    if (Info.Argument)
      Left += std::string("=") + Info.Argument;
    Text += Left + "\n      " + Info.Help;
    if (Info.DefaultKind != dkNone)
      Text += std::string(" (") + (Info.Id == oiPattern ? "" : "default: ") + Info.Default + ")";
    Text += "\n";
  }
  Text += "\nRuns in the foreground; SIGTERM or SIGINT ends it after the messages in progress, SIGHUP is\n"
          "logged and ignored.\n"
          "Exit codes: 0 stopped by a signal, 64 bad usage, 66 the ledger's key file cannot be read, 67 unknown\n"
          "user or group, 69 another process answers on the socket, 70 the milter library failed, 71 a system\n"
          "call failed (socket, ownership, privileges), 78 bad pattern or running as root.\n";
  return Text;
}

} // namespace bw
