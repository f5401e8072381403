// The milter's log: syslog (facility mail) or standard error, one whole line
// at a time, with no control byte in it whatever a peer sent, and no field
// a peer sent that could pass for another field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

enum TLogTarget : std::uint8_t { ltSyslog, ltStderr };

// A field a peer sent (a sender, a queue ID, a macro's value) as a log line
// carries it: "\\", ">" and every byte outside printable ASCII written as
// "\xNN", so that "<field>" always ends at its own ">", and a literal
// "\x0A" in the field reads "\x5Cx0A", never as an escaped line end.
std::string PeerField(std::string_view AText);

class TMilterLog {
public:
  // Opens syslog for ltSyslog; make the log before libmilter starts its threads.
  explicit TMilterLog(TLogTarget ATarget);
  virtual ~TMilterLog() = default;
  TMilterLog(const TMilterLog &) = delete;
  TMilterLog &operator=(const TMilterLog &) = delete;

  // A line about one message: the queue ID first ("NOQUEUE" when there is
  // none), so that it can be found from the MTA's own log.
  void Message(std::string_view AQueueID, std::string_view AText) noexcept;
  // A line about the daemon itself (start, stop, signals, limits).
  void Daemon(std::string_view AText) noexcept;
  // Why the daemon does not start (or stops at once), with the exit code it
  // ends with: on standard error as "bouncewarden-milter: TEXT (exit N)",
  // and, unless the log is standard error already, in the mail log as an
  // error, where the administrator looks.
  void StartupFailure(std::string_view AText, int AExitCode) noexcept;

protected:
  // Writes one line, already made safe, to the log's target (AError: as an
  // error). Safe from any thread; never raises.
  virtual void Emit(const std::string &ALine, bool AError = false) noexcept;

private:
  void Write(const std::string &ALine, bool AError = false) noexcept;
  TLogTarget FTarget;
};

// StartupFailure before there is a log: to standard error and the mail log.
void ReportStartupFailure(std::string_view AText, int AExitCode) noexcept;

} // namespace bw
