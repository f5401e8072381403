// The milter's settings: one table of options, which the configuration
// file, the command line, the help text and --check-config all read.
#pragma once

#include "milter/MilterOrigin_un.h"
#include "verdict/BatvSettings_un.h"
#include "verdict/LedgerSettings_un.h"
#include "verdict/Verdict_un.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// What happens to a message judged backscatter.
enum TMilterAction : std::uint8_t { maReject, maDiscard, maQuarantine, maTag, maLog };
// What happens to a message whose check failed.
enum TErrorPolicy : std::uint8_t { epAccept, epTempfail };

// The reply of --action=reject unless one is given. The unit, the defaults
// file, the man page and the README quote it; a test holds them to it.
inline constexpr char DefaultRejectReply[] = "550 5.7.1 Backscatter: the returned message was not sent from here";

// The configuration file the program reads unless --config names another.
// A fresh installation has it (all commented out); a milter started by hand
// where it does not exist runs on its command line alone.
inline constexpr char DefaultConfigFile[] = "/etc/bouncewarden/bouncewarden-milter.conf";

// The settings of one run. Every default lives in the option table of
// MilterOptions_un.cpp, or the ledger's that bouncewarden-ledger shares
// (LedgerSettings_un.h), and reaches these fields through
// DefaultMilterOptions.
struct TMilterOptions {
  std::string Pattern;      // empty: no pattern (then the ledger decides)
  std::string Listen;
  TMilterAction Action = maReject;
  // The reply of --action=reject, in the three pieces smfi_setreply takes.
  std::string ReplyCode;
  std::string ReplyStatus;
  std::string ReplyText;
  TErrorPolicy OnError = epAccept;
  std::string User;         // empty: keep the current user
  std::string SocketOwner;  // empty: leave the socket's owner
  std::string SocketGroup;  // empty: leave the socket's group
  mode_t SocketMode = 0;
  unsigned Workers = 0;     // filled with the number of cores when not given
  unsigned TimeoutSeconds = 0;    // a peer silent this long is disconnected
  unsigned StopGraceSeconds = 0;  // how long a stop waits for the checks
  bool LogStderr = false;

  // The ledger. Any of --ledger, --ledger-only and --record-from opens it
  // (at Ledger.Uri, the tool's default unless --ledger names one), and an
  // open ledger takes part in every bounce check.
  TLedgerSettings Ledger;
  bool LedgerOnly = false;
  TRecordOrigins RecordFrom;  // empty: nothing is recorded
  bool AddMessageId = false;
  // A bounce only the ledger could rescue while it cannot answer.
  TOutageAnswer OnLedgerOutage = oaTempfail;

  bool UsesLedger() const noexcept { return Ledger.UriGiven || LedgerOnly || !RecordFrom.Empty(); }

  // Signed envelope senders (BATV) and the recipient rules at RCPT time,
  // each off unless its option is given.
  TBatvSettings Batv;
  // A message's whole transaction (MAIL FROM to its end) takes at most
  // this; --timeout bounds the silence between two of its packets.
  unsigned MessageTimeoutSeconds = 0;
  // The most the messages in progress on all connections may hold together.
  std::size_t BufferLimitBytes = 0;
  std::string Metrics;     // "HOST:PORT" of the Prometheus endpoint; empty: none
  std::string ConfigFile;  // the file read; empty when there was none
};

// The text each setting was last given, by the file or the command line,
// by its name ("yes" for a flag): what --check-config shows, and what a
// reload compares.
using TGivenSettings = std::map<std::string, std::string>;

// The options as the table's defaults set them (Workers still 0, Pattern empty).
TMilterOptions DefaultMilterOptions();

// mrBadConfig: the configuration file cannot be read or has a bad line.
enum TMilterRequest : std::uint8_t { mrRun, mrHelp, mrVersion, mrUsageError, mrBadPattern, mrBadConfig, mrCheckConfig };

struct TMilterParseResult {
  TMilterRequest Request = mrUsageError;
  TMilterOptions Options;
  std::string Message;  // why the settings were refused (mrUsageError, mrBadPattern, mrBadConfig)
  TGivenSettings Given;
  bool CheckConfig = false;  // --check-config was asked for: a refusal is its answer
  bool ShowAll = false;      // --check-config --all
};

// Reads the settings: the table's defaults, then the configuration file
// (--config's, else ADefaultConfig, whose absence means no settings; none
// when both are empty), then the command line, which wins. Never prints or
// exits. The pattern is compiled here so that a typo is refused at start-up
// instead of turning every genuine bounce into backscatter (a pattern from
// the file is refused with its line, as mrBadConfig). One of --pattern and
// a ledger (--ledger, --ledger-only or --record-from) must be given;
// --batv-sign needs --record-from, --batv-require needs --batv-verify. The
// files the options name are read at start-up, not here.
// getopt keeps global state: call from one thread at a time.
TMilterParseResult ParseMilterOptions(std::span<const std::string> AArgs, std::string_view ADefaultConfig = {});

// The text of --help: a usage line and every option of the table.
std::string MilterHelpText();

// The settings in the configuration file's own syntax, one "name = value"
// a line in the table's order, so that they can be pasted into it: those
// given a value other than their default, or with AAll every setting (one
// without a value as "#name =").
std::string SettingsText(const TGivenSettings &AGiven, bool AAll);

// The settings that only a restart can change (the socket, the user, the
// log, the workers, the metrics endpoint) whose text differs between two
// readings, by name, in the table's order.
std::vector<std::string> RestartOnlyChanges(const TGivenSettings &ARunning, const TGivenSettings &ANew);

// The name libmilter and the logs use for the action.
std::string_view ActionName(TMilterAction AAction);
// "accept" or "tempfail", as --on-error takes it.
std::string_view PolicyName(TErrorPolicy APolicy);
// "tempfail", "pattern" or "accept", as --on-ledger-outage takes it.
std::string_view OutageAnswerName(TOutageAnswer AAnswer);

} // namespace bw
