// The settings of bouncewarden-milter: its file and its command line.
#include "milter/MilterOptions_un.h"

#include "detector/MessageIdMatch_un.h"
#include "milter/MilterOptionValues_un.h"
#include "rtl/ConfigFile_un.h"
#include "rtl/ExitCodes_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

namespace bw {

namespace {
enum TOptionId : int {
  oiPattern = 1000, oiListen, oiAction, oiRejectReply, oiOnError, oiUser, oiSocketOwner, oiSocketMode, oiWorkers,
  oiTimeout, oiStopGrace, oiLedgerOnly, oiRecordFrom, oiAddMessageId, oiLogStderr, oiHelp, oiVersion,
  oiOnLedgerOutage, oiMessageTimeout, oiBufferLimit, oiMetrics, oiConfig, oiCheckConfig, oiAll
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
     "a connection whose MTA sends nothing for this long between two commands, or takes this long to finish one, "
     "is closed; in a message, from its first header on (keep it at or above the MTA's own milter timeouts)",
     oiTimeout},
    {"message-timeout", "SECONDS", dkValue, "3600",
     "a message whose transaction (MAIL FROM to its end, the MTA's wait for its client's data included) takes "
     "longer has its connection closed",
     oiMessageTimeout},
    {"buffer-limit", "MIB", dkValue, "256",
     "the most the messages in progress on all connections may hold in memory together; a bounce that would go "
     "beyond gets the --on-error answer unchecked",
     oiBufferLimit},
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
    {"metrics", "HOST:PORT", dkNone, nullptr,
     "serve Prometheus metrics over HTTP at this address (e.g. 127.0.0.1:9717); off unless given", oiMetrics},
};

// What only the command line takes: the file itself and the requests.
static constexpr TOptionInfo CommandLineOptions[] = {
    {"config", "FILE", dkText, DefaultConfigFile,
     "read the settings from FILE (name = value, as the long options without dashes; the command line wins); "
     "without it, a missing default file means no settings",
     oiConfig},
    {"check-config", nullptr, dkNone, nullptr,
     "print the settings that differ from the defaults in the file's syntax, check that they can work (the "
     "pattern, the ledger's key file, the socket's folder) and exit: 0 usable, 78 with the reason",
     oiCheckConfig},
    {"all", nullptr, dkNone, nullptr, "with --check-config, print every setting", oiAll},
    {"help", nullptr, dkNone, nullptr, "show this text and exit", oiHelp},
    {"version", nullptr, dkNone, nullptr, "show the version and exit", oiVersion},
};

// What a reload cannot change: the process holds it from its start.
static constexpr TOptionId RestartOnly[] = {oiListen, oiUser,    oiSocketOwner, oiSocketMode,
                                            oiWorkers, oiLogStderr, oiMetrics};

static constexpr std::string_view ActionNames[] = {"reject", "discard", "quarantine", "tag", "log"};

std::string_view ActionName(TMilterAction AAction) { return ActionNames[AAction]; }

static constexpr std::string_view PolicyNames[] = {"accept", "tempfail"};

std::string_view PolicyName(TErrorPolicy APolicy) { return PolicyNames[APolicy]; }

static constexpr std::string_view OutageAnswerNames[] = {"tempfail", "pattern", "accept"};

std::string_view OutageAnswerName(TOutageAnswer AAnswer) { return OutageAnswerNames[AAnswer]; }

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
static TResult<void> ApplyOption(int AId, std::string_view AValue, TOptionSource ASource, TMilterParseResult &AResult) {
  TMilterOptions &Opts = AResult.Options;
  switch (AId) {
  case oiPattern:
    Opts.Pattern = AValue;
    // A bad pattern from the file is refused with its line; one from the
    // command line after the parse, as before (exit 78 either way).
    if (ASource == osConfigFile)
      if (std::optional<std::string> Error = InvalidPatternMessage(std::string(AValue)))
        return Failure(*Error);
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
  case oiMessageTimeout:
    return Accepted(ParseCount(AValue, 1, 86400, Opts.MessageTimeoutSeconds));
  case oiBufferLimit: {
    unsigned MiB = 0;
    const bool Valid = ParseCount(AValue, 1, 1u << 20, MiB);
    Opts.BufferLimitBytes = Valid ? std::size_t(MiB) << 20 : Opts.BufferLimitBytes;
    return Accepted(Valid);
  }
  case oiMetrics:
    Opts.Metrics = AValue;
    return Accepted(ValidMetricsAddress(AValue));
  case oiConfig:
    Opts.ConfigFile = AValue;
    return Accepted(!AValue.empty());
  case oiCheckConfig:
    AResult.CheckConfig = true;
    return {};
  case oiAll:
    AResult.ShowAll = true;
    return {};
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
  return ApplyLedgerOption(AId, AValue, ASource, Opts.Ledger);
}

// What the configuration file may set: the milter's options, then the
// ledger's, BATV's and the recipient rules'.
static const std::vector<TOptionInfo> &FileOptions() {
  static const std::vector<TOptionInfo> All = [] {
    std::vector<TOptionInfo> Options(std::begin(MilterOptions), std::end(MilterOptions));
    for (const std::span<const TOptionInfo> Table : {LedgerOptionTable(), BatvKeyOptionTable(), RecipientOptionTable()})
      Options.insert(Options.end(), Table.begin(), Table.end());
    return Options;
  }();
  return All;
}

// The command line's: those, then the file and the requests.
static const std::vector<TOptionInfo> &AllOptions() {
  static const std::vector<TOptionInfo> All = [] {
    std::vector<TOptionInfo> Options = FileOptions();
    Options.insert(Options.end(), std::begin(CommandLineOptions), std::end(CommandLineOptions));
    return Options;
  }();
  return All;
}

// Applies an option and, unless it is a default, keeps the text it was given.
static TApplyOption ApplierOf(TMilterParseResult &AResult) {
  return [&AResult](const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource) {
    TResult<void> Applied = AInfo.Id >= biBatvKeyFile ? ApplyBatvOption(AInfo.Id, AValue, ASource, AResult.Options.Batv)
                            : AInfo.Id >= liLedger
                                ? ApplyLedgerOption(AInfo.Id, AValue, ASource, AResult.Options.Ledger)
                                : ApplyOption(AInfo.Id, AValue, ASource, AResult);
    if (Applied && ASource != osDefault)
      AResult.Given[AInfo.Name] = AInfo.Argument ? std::string(AValue) : "yes";
    return Applied;
  };
}

TMilterOptions DefaultMilterOptions() {
  TMilterParseResult Result;
  ApplyDefaults(AllOptions(), ApplierOf(Result));
  return Result.Options;
}

static TMilterParseResult Refusal(TMilterRequest ARequest, std::string AMessage, bool ACheckConfig) {
  TMilterParseResult Result;
  Result.Request = ARequest;
  Result.Message = std::move(AMessage);
  Result.CheckConfig = ACheckConfig;
  return Result;
}

static TMilterParseResult UsageError(std::string AMessage, bool ACheckConfig) {
  return Refusal(mrUsageError, std::move(AMessage) + " (see --help)", ACheckConfig);
}

TMilterParseResult ParseMilterOptions(std::span<const std::string> AArgs, std::string_view ADefaultConfig) {
  // The command line alone first: its errors, its requests and the file it names.
  TMilterParseResult First;
  First.Request = mrRun;
  if (const auto Operands = ParseOptions(AArgs, AllOptions(), ApplierOf(First), opNone); !Operands)
    return UsageError(Operands.error(), First.CheckConfig);
  if (First.Request == mrHelp || First.Request == mrVersion)
    return First;
  const bool Check = First.CheckConfig;

  TMilterParseResult Result;
  Result.Request = mrRun;
  Result.Options = DefaultMilterOptions();
  const bool Named = First.Given.contains("config");
  const std::string File = Named ? First.Options.ConfigFile : std::string(ADefaultConfig);
  if (!File.empty()) {
    const TResult<bool> Read =
        ApplyConfigFile(File, Named ? mfRefuse : mfNoSettings, FileOptions(), ApplierOf(Result));
    if (!Read)
      return Refusal(mrBadConfig, Read.error(), Check);
    Result.Options.ConfigFile = *Read ? File : "";
  }
  const std::string ConfigFile = Result.Options.ConfigFile;
  // The command line again, over the file: the same values, so no new error.
  ParseOptions(AArgs, AllOptions(), ApplierOf(Result), opNone);
  Result.Options.ConfigFile = ConfigFile;
  Result.Given.erase("config");
  Result.Given.erase("check-config");
  Result.Given.erase("all");
  const TMilterOptions &Opts = Result.Options;
  // Named as the file would have them too, where there is one.
  const std::string InFile = ConfigFile.empty() ? "" : " (in " + OneLineText(ConfigFile) + ": ";
  if (Opts.Pattern.empty() && !Opts.Ledger.UriGiven && !Opts.LedgerOnly)
    return UsageError("The option --pattern=REGEX or --ledger=URI is required" +
                          (InFile.empty() ? "" : InFile + "pattern = REGEX or ledger = URI)"),
                      Check);
  if (Opts.AddMessageId && Opts.RecordFrom.Empty())
    return UsageError("The option --add-message-id needs --record-from=LIST" +
                          (InFile.empty() ? "" : InFile + "record-from = LIST)"),
                      Check);
  if (Opts.Batv.Sign && Opts.RecordFrom.Empty())
    return UsageError("The option --batv-sign needs --record-from=LIST (the origins whose mail is signed)" +
                          (InFile.empty() ? "" : InFile + "record-from = LIST)"),
                      Check);
  if (Opts.Batv.Require && !Opts.Batv.Verify)
    return UsageError("The option --batv-require needs --batv-verify" +
                          (InFile.empty() ? "" : InFile + "batv-verify = yes)"),
                      Check);
  if (Opts.Workers == 0)
    Result.Options.Workers = std::max(1u, std::thread::hardware_concurrency());
  if (!Opts.Pattern.empty())
    if (std::optional<std::string> Error = InvalidPatternMessage(Opts.Pattern))
      return Refusal(mrBadPattern, std::move(*Error), Check);
  if (Check)
    Result.Request = mrCheckConfig;
  return Result;
}

std::string SettingsText(const TGivenSettings &AGiven, bool AAll) {
  std::string Text;
  for (const TOptionInfo &Info : FileOptions()) {
    const auto Given = AGiven.find(Info.Name);
    const char *Default = Info.DefaultKind == dkValue ? Info.Default : Info.Argument ? nullptr : "no";
    const bool Changed = Given != AGiven.end() && (!Default || Given->second != Default);
    if (!Changed && !AAll)
      continue;
    if (!Changed && !Default)
      Text.append("#");
    Text.append(Info.Name).append(" =");
    if (Changed || Default)
      Text.append(" ").append(Changed ? Given->second : std::string(Default));
    Text.append("\n");
  }
  return Text;
}

std::vector<std::string> RestartOnlyChanges(const TGivenSettings &ARunning, const TGivenSettings &ANew) {
  const auto TextOf = [](const TGivenSettings &AGiven, const char *AName) {
    const auto Found = AGiven.find(AName);
    return Found == AGiven.end() ? std::string() : Found->second;
  };
  std::vector<std::string> Changed;
  for (const TOptionInfo &Info : FileOptions())
    if (std::find(std::begin(RestartOnly), std::end(RestartOnly), Info.Id) != std::end(RestartOnly) &&
        TextOf(ARunning, Info.Name) != TextOf(ANew, Info.Name))
      Changed.push_back(Info.Name);
  return Changed;
}

std::string MilterHelpText() {
  return "Usage: bouncewarden-milter --pattern=REGEX|--ledger=URI [OPTION]...\n"
         "Checks bounces during the SMTP session, as a milter for Postfix or Sendmail, and acts on backscatter:\n"
         "bounces that return a message whose Message-IDs are none of yours, by a pattern, by the ledger of the\n"
         "Message-IDs your hosts sent, or both: with --pattern and --ledger, an ID is yours when either knows it;\n"
         "--ledger-only and --record-from open the ledger (at --ledger's default unless it is given) as well.\n\n" +
         OptionsHelp(AllOptions(), oiPattern) +
         "\nRuns in the foreground. SIGHUP reads the settings again (the transactions in progress finish under\n"
         "the old ones; the socket, the user, the log, the workers and the metrics endpoint wait for a restart);\n"
         "SIGTERM or SIGINT ends it after the messages in progress.\n" +
         ExitCodesHelp(MilterExitCodes);
}

} // namespace bw
