// Logging for the milter.
#include "milter/MilterLog_un.h"

#include <syslog.h>
#include <unistd.h>

#include <new>
#include <string>

namespace bw {

static TLogTarget LogTarget = ltStderr;

void OpenMilterLog(TLogTarget ATarget) {
  LogTarget = ATarget;
  if (ATarget == ltSyslog)
    openlog("bouncewarden-milter", LOG_PID, LOG_MAIL);
}

void MilterLog(std::string_view AQueueID, std::string_view AText) noexcept {
  try {
    std::string Line(AQueueID.empty() ? std::string_view("NOQUEUE") : AQueueID);
    Line.append(": ").append(AText);
    if (LogTarget == ltSyslog) {
      syslog(LOG_INFO, "%s", Line.c_str());
      return;
    }
    // One write per line, so lines from different threads never interleave.
    Line.push_back('\n');
    (void)!::write(STDERR_FILENO, Line.data(), Line.size());
  } catch (const std::bad_alloc &) {
    // Out of memory while logging: the line is lost, the mail is not.
  }
}

} // namespace bw
