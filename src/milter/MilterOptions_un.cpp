// Command-line parsing for bouncewarden-milter.
#include "milter/MilterOptions_un.h"

#include "detector/MessageIdMatch_un.h"
#include "rtl/ExitCodes_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

namespace bw {

namespace {
enum TOptionId : int {
  oiPattern = 1000, oiListen, oiAction, oiRejectReply, oiOnError, oiUser, oiSocketOwner, oiSocketMode, oiWorkers,
  oiTimeout, oiStopGrace, oiLedgerOnly, oiRecordFrom, oiAddMessageId, oiLogStderr, oiHelp, oiVersion,
  oiOnLedgerOutage
};
} // namespace

// The one description of the milter's own options: the defaults, the
// parser and --help are all made from it and the ledger's table.
static constexpr TOptionInfo MilterOptions[] = {
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
    {"ledger-only", nullptr, dkNone, nullptr,
     "an ID is yours only when it is in the ledger (the pattern is asked only while the ledger does not yet "
     "cover the retention, or for mail sent during a gap in its recording); a ledger that cannot answer gives "
     "the --on-ledger-outage answer",
     oiLedgerOnly},
    {"record-from", "LIST", dkNone, nullptr,
     "record the Message-IDs (and Resent-Message-IDs) of every message from these origins in the ledger, "
     "comma-separated: auth (the "
     "client authenticated), local (submitted on this host: sendmail, pickup), networks of the client's address "
     "(10.0.0.0/8, 2001:db8::/32)",
     oiRecordFrom},
    {"on-ledger-outage", "ANSWER", dkValue, "tempfail",
     "what a bounce gets that only the ledger could show to be yours while the ledger cannot answer (down, "
     "slow, or a gap in its recording without a pattern): tempfail (451 4.7.1, the sender retries), pattern "
     "(the pattern decides) or accept",
     oiOnLedgerOutage},
    {"add-message-id", nullptr, dkNone, nullptr,
     "give a message to record that reaches the milter without a Message-ID one of its own, and log it",
     oiAddMessageId},
    {"log-stderr", nullptr, dkNone, nullptr, "log to standard error instead of syslog (facility mail)",
     oiLogStderr},
    {"help", nullptr, dkNone, nullptr, "show this text and exit", oiHelp},
    {"version", nullptr, dkNone, nullptr, "show the version and exit", oiVersion},
};

static constexpr std::string_view ActionNames[] = {"reject", "discard", "quarantine", "tag", "log"};

std::string_view ActionName(TMilterAction AAction) { return ActionNames[AAction]; }

static constexpr std::string_view PolicyNames[] = {"accept", "tempfail"};

std::string_view PolicyName(TErrorPolicy APolicy) { return PolicyNames[APolicy]; }

static constexpr std::string_view OutageAnswerNames[] = {"tempfail", "pattern", "accept"};

std::string_view OutageAnswerName(TOutageAnswer AAnswer) { return OutageAnswerNames[AAnswer]; }

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
  if (!AllDigits(AValue))
    return false;
  unsigned Mode = 0;
  const auto [End, Error] = std::from_chars(AValue.data(), AValue.data() + AValue.size(), Mode, 8);
  if (Error != std::errc() || End != AValue.data() + AValue.size() || Mode > 0777)
    return false;
  AMode = static_cast<mode_t>(Mode);
  return true;
}

// A whole number from AMin to AMax, digits only.
static bool ParseCount(std::string_view AValue, unsigned AMin, unsigned AMax, unsigned &ACount) {
  const std::optional<unsigned> Count = ParseDecimal(AValue, AMin, AMax);
  ACount = Count.value_or(ACount);
  return Count.has_value();
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

static TResult<void> Accepted(bool AValid) { return AValid ? TResult<void>() : Failure(""); }

// Applies one of the milter's own options to AResult.
static TResult<void> ApplyOption(int AId, std::string_view AValue, TMilterParseResult &AResult) {
  TMilterOptions &Opts = AResult.Options;
  switch (AId) {
  case oiPattern:
    Opts.Pattern = AValue;
    return Accepted(!AValue.empty());
  case oiListen:
    Opts.Listen = AValue;
    return Accepted(!AValue.empty());
  case oiAction:
    return Accepted(ParseChoice(AValue, ActionNames, Opts.Action));
  case oiRejectReply:
    return Accepted(ParseRejectReply(AValue, Opts));
  case oiOnError:
    return Accepted(ParseChoice(AValue, PolicyNames, Opts.OnError));
  case oiUser:
    Opts.User = AValue;
    return Accepted(!AValue.empty());
  case oiSocketOwner:
    return Accepted(ParseSocketOwner(AValue, Opts));
  case oiSocketMode:
    return Accepted(ParseSocketMode(AValue, Opts.SocketMode));
  case oiWorkers:
    return Accepted(ParseCount(AValue, 1, 1024, Opts.Workers));
  case oiTimeout:
    return Accepted(ParseCount(AValue, 1, 86400, Opts.TimeoutSeconds));
  case oiStopGrace:
    return Accepted(ParseCount(AValue, 1, 3600, Opts.StopGraceSeconds));
  case oiLedgerOnly:
    Opts.LedgerOnly = true;
    return {};
  case oiRecordFrom: {
    TResult<TRecordOrigins> Origins = ParseRecordOrigins(AValue);
    if (!Origins)
      return Failure(Origins.error());
    Opts.RecordFrom = std::move(*Origins);
    return {};
  }
  case oiAddMessageId:
    Opts.AddMessageId = true;
    return {};
  case oiOnLedgerOutage:
    return Accepted(ParseChoice(AValue, OutageAnswerNames, Opts.OnLedgerOutage));
  case oiLogStderr:
    Opts.LogStderr = true;
    return {};
  case oiHelp:
    AResult.Request = mrHelp;
    return {};
  case oiVersion:
    AResult.Request = mrVersion;
    return {};
  default:
    break;
  }
  return ApplyLedgerOption(AId, AValue, osCommandLine, Opts.Ledger);
}

// The milter's options, then the ledger's, BATV's and the recipient
// rules', then --help and --version.
static const std::vector<TOptionInfo> &AllOptions() {
  static const std::vector<TOptionInfo> All = [] {
    std::vector<TOptionInfo> Options(std::begin(MilterOptions), std::end(MilterOptions) - 2);
    for (const std::span<const TOptionInfo> Table : {LedgerOptionTable(), BatvKeyOptionTable(), RecipientOptionTable()})
      Options.insert(Options.end(), Table.begin(), Table.end());
    Options.insert(Options.end(), std::end(MilterOptions) - 2, std::end(MilterOptions));
    return Options;
  }();
  return All;
}

static TApplyOption ApplierOf(TMilterParseResult &AResult) {
  return [&AResult](const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource) {
    if (AInfo.Id >= biBatvKeyFile)
      return ApplyBatvOption(AInfo.Id, AValue, ASource, AResult.Options.Batv);
    if (AInfo.Id >= liLedger)
      return ApplyLedgerOption(AInfo.Id, AValue, ASource, AResult.Options.Ledger);
    return ApplyOption(AInfo.Id, AValue, AResult);
  };
}

TMilterOptions DefaultMilterOptions() {
  TMilterParseResult Result;
  ApplyDefaults(AllOptions(), ApplierOf(Result));
  return Result.Options;
}

static TMilterParseResult UsageError(std::string AMessage) {
  TMilterParseResult Result;
  Result.Request = mrUsageError;
  Result.Message = std::move(AMessage) + " (see --help)";
  return Result;
}

TMilterParseResult ParseMilterOptions(std::span<const std::string> AArgs) {
  TMilterParseResult Result;
  Result.Request = mrRun;
  Result.Options = DefaultMilterOptions();
  if (const auto Operands = ParseOptions(AArgs, AllOptions(), ApplierOf(Result), opNone); !Operands)
    return UsageError(Operands.error());
  if (Result.Request != mrRun)
    return Result;
  const TMilterOptions &Opts = Result.Options;
  if (Opts.Pattern.empty() && !Opts.Ledger.UriGiven && !Opts.LedgerOnly)
    return UsageError("The option --pattern=REGEX or --ledger=URI is required");
  if (Opts.AddMessageId && Opts.RecordFrom.Empty())
    return UsageError("The option --add-message-id needs --record-from=LIST");
  if (Opts.Batv.Sign && Opts.RecordFrom.Empty())
    return UsageError("The option --batv-sign needs --record-from=LIST (the origins whose mail is signed)");
  if (Opts.Batv.Require && !Opts.Batv.Verify)
    return UsageError("The option --batv-require needs --batv-verify");
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
  return "Usage: bouncewarden-milter --pattern=REGEX|--ledger=URI [OPTION]...\n"
         "Checks bounces during the SMTP session, as a milter for Postfix or Sendmail, and acts on backscatter:\n"
         "bounces that return a message whose Message-IDs are none of yours, by a pattern, by the ledger of the\n"
         "Message-IDs your hosts sent, or both: with --pattern and --ledger, an ID is yours when either knows it;\n"
         "--ledger-only and --record-from open the ledger (at --ledger's default unless it is given) as well.\n\n" +
         OptionsHelp(AllOptions(), oiPattern) +
         "\nRuns in the foreground; SIGTERM or SIGINT ends it after the messages in progress, SIGHUP is\n"
         "logged and ignored.\n" +
         ExitCodesHelp(MilterExitCodes);
}

} // namespace bw
