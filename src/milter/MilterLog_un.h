// The milter's log: syslog (facility mail) or standard error, one whole line
// at a time, with no control byte in it whatever a peer sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

enum TLogTarget : std::uint8_t { ltSyslog, ltStderr };

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

protected:
  // Writes one line, already made safe. Safe from any thread; never raises.
  virtual void Emit(const std::string &ALine) noexcept;

private:
  void Write(std::string ALine) noexcept;
  TLogTarget FTarget;
};

} // namespace bw
