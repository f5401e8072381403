// Logging for the milter.
#include "milter/MilterLog_un.h"

#include "rtl/StrUtils_un.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>

namespace bw {

std::string PeerField(std::string_view AText) { return EscapeControlBytes(AText, ebQuotedField); }

TMilterLog::TMilterLog(TLogTarget ATarget) : FTarget(ATarget) {
  if (ATarget == ltSyslog)
    openlog("bouncewarden-milter", LOG_PID, LOG_MAIL);
}

void TMilterLog::Message(std::string_view AQueueID, std::string_view AText) noexcept {
  try {
    std::string Line = AQueueID.empty() ? std::string("NOQUEUE") : PeerField(AQueueID);
    Write(Line.append(": ").append(AText));
  } catch (const std::bad_alloc &) {
    // Out of memory while logging: the line is lost, the mail is not.
  }
}

void TMilterLog::Daemon(std::string_view AText) noexcept {
  try {
    Write(std::string(AText));
  } catch (const std::bad_alloc &) {
    // As above.
  }
}

void TMilterLog::StartupFailure(std::string_view AText, int AExitCode) noexcept {
  try {
    const std::string Line = std::string(AText) + " (exit " + std::to_string(AExitCode) + ")";
    if (FTarget == ltSyslog)
      Write(Line, /*AError=*/true);
    TMilterLog(ltStderr).Write("bouncewarden-milter: " + Line, /*AError=*/true);
  } catch (const std::bad_alloc &) {
    // As above.
  }
}

void TMilterLog::Write(const std::string &ALine, bool AError) noexcept {
  try {
    // Peer fields are escaped where they are put into the line (PeerField);
    // this keeps any other text that might carry a control byte (an error's
    // message, a path) on its one line too.
    Emit(EscapeControlBytes(ALine), AError);
  } catch (const std::bad_alloc &) {
    // As above.
  }
}

// Lines to standard error from every thread, each whole: a pipe keeps a
// write of up to 4096 bytes in one piece, a longer one only while no other
// writer of this process comes between its pieces.
static std::mutex StderrLock;

void TMilterLog::Emit(const std::string &ALine, bool AError) noexcept {
  if (FTarget == ltSyslog) {
    // One datagram per call.
    syslog(AError ? LOG_ERR : LOG_INFO, "%s", ALine.c_str());
    return;
  }
  try {
    const std::string Whole = ALine + "\n";
    const std::lock_guard Lock(StderrLock);
    for (std::size_t Written = 0; Written < Whole.size();) {
      const ssize_t Count = ::write(STDERR_FILENO, Whole.data() + Written, Whole.size() - Written);
      if (Count < 0 && errno == EINTR)
        continue;
      if (Count <= 0)
        return;  // nowhere to write: the line is lost, nothing else
      Written += static_cast<std::size_t>(Count);
    }
  } catch (const std::bad_alloc &) {
    // As above.
  }
}

void ReportStartupFailure(std::string_view AText, int AExitCode) noexcept {
  TMilterLog(ltSyslog).StartupFailure(AText, AExitCode);
}

} // namespace bw
