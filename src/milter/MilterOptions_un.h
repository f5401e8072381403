// The milter's command line: one table of options, the parser and the help
// text that both read it.
#pragma once

#include "milter/MilterOrigin_un.h"
#include "verdict/BatvSettings_un.h"
#include "verdict/LedgerSettings_un.h"
#include "verdict/Verdict_un.h"

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace bw {

// What happens to a message judged backscatter.
enum TMilterAction : std::uint8_t { maReject, maDiscard, maQuarantine, maTag, maLog };
// What happens to a message whose check failed.
enum TErrorPolicy : std::uint8_t { epAccept, epTempfail };

// The reply of --action=reject unless one is given. The unit, the defaults
// file, the man page and the README quote it; a test holds them to it.
inline constexpr char DefaultRejectReply[] = "550 5.7.1 Backscatter: the returned message was not sent from here";

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
};

// The options as the table's defaults set them (Workers still 0, Pattern empty).
TMilterOptions DefaultMilterOptions();

enum TMilterRequest : std::uint8_t { mrRun, mrHelp, mrVersion, mrUsageError, mrBadPattern };

struct TMilterParseResult {
  TMilterRequest Request = mrUsageError;
  TMilterOptions Options;
  std::string Message;  // why the command line was refused (mrUsageError, mrBadPattern)
};

// Parses the arguments after the program name. Never prints or exits; the pattern is compiled once here so that a typo is refused at
// start-up instead of turning every genuine bounce into backscatter. One of
// --pattern and a ledger (--ledger, --ledger-only or --record-from) must be
// given; --batv-sign needs --record-from, --batv-require needs
// --batv-verify. The files the options name are read at start-up, not here.
// getopt keeps global state: call from one thread at a time.
TMilterParseResult ParseMilterOptions(std::span<const std::string> AArgs);

// The text of --help: a usage line and every option of the table.
std::string MilterHelpText();

// The name libmilter and the logs use for the action.
std::string_view ActionName(TMilterAction AAction);
// "accept" or "tempfail", as --on-error takes it.
std::string_view PolicyName(TErrorPolicy APolicy);
// "tempfail", "pattern" or "accept", as --on-ledger-outage takes it.
std::string_view OutageAnswerName(TOutageAnswer AAnswer);

} // namespace bw
