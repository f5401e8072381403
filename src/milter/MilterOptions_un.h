// The milter's command line: one table of options, the parser and the help
// text that both read it.
#pragma once

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

struct TMilterOptions {
  std::string Pattern;
  std::string Listen = "unix:/run/bouncewarden/milter.sock";
  TMilterAction Action = maReject;
  // The reply of --action=reject, in the three pieces smfi_setreply takes.
  std::string ReplyCode = "550";
  std::string ReplyStatus = "5.7.1";
  std::string ReplyText = "Backscatter: the returned message was not sent from here";
  TErrorPolicy OnError = epAccept;
  std::string User;         // empty: keep the current user
  std::string SocketOwner;  // empty: leave the socket's owner
  std::string SocketGroup;  // empty: leave the socket's group
  mode_t SocketMode = 0660;
  unsigned Workers = 0;     // filled with the number of cores when not given
  bool LogStderr = false;
};

enum TMilterRequest : std::uint8_t { mrRun, mrHelp, mrVersion, mrUsageError, mrBadPattern };

struct TMilterParseResult {
  TMilterRequest Request = mrUsageError;
  TMilterOptions Options;
  std::string Message;  // why the command line was refused (mrUsageError, mrBadPattern)
};

// Parses the arguments after the program name with getopt_long. Never prints
// or exits; the pattern is compiled once here so that a typo is refused at
// start-up instead of turning every genuine bounce into backscatter.
// getopt keeps global state: call from one thread at a time.
TMilterParseResult ParseMilterOptions(std::span<const std::string> AArgs);

// The text of --help: a usage line and every option of the table.
std::string MilterHelpText();

// The name libmilter and the logs use for the action.
std::string_view ActionName(TMilterAction AAction);

} // namespace bw
