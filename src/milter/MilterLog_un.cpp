// Logging for the milter.
#include "milter/MilterLog_un.h"

#include "rtl/StrUtils_un.h"

#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <new>

namespace bw {

TMilterLog::TMilterLog(TLogTarget ATarget) : FTarget(ATarget) {
  if (ATarget == ltSyslog)
    openlog("bouncewarden-milter", LOG_PID, LOG_MAIL);
}

void TMilterLog::Message(std::string_view AQueueID, std::string_view AText) noexcept {
  try {
    std::string Line(AQueueID.empty() ? std::string_view("NOQUEUE") : AQueueID);
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

void TMilterLog::Write(std::string ALine) noexcept {
  try {
    // The sender, the queue ID, macro values and error texts come from peers:
    // one escape over the whole line keeps every one of them on it.
    Emit(EscapeControlBytes(ALine));
  } catch (const std::bad_alloc &) {
    // As above.
  }
}

void TMilterLog::Emit(const std::string &ALine) noexcept {
  if (FTarget == ltSyslog) {
    syslog(LOG_INFO, "%s", ALine.c_str());
    return;
  }
  // One system call per line, so lines from different threads never interleave.
  char NewLine = '\n';
  iovec Pieces[] = {{const_cast<char *>(ALine.data()), ALine.size()}, {&NewLine, 1}};
  (void)!::writev(STDERR_FILENO, Pieces, 2);
}

} // namespace bw
