// The milter's one log function: syslog (facility mail) or standard error.
#pragma once

#include <string_view>

namespace bw {

enum TLogTarget : unsigned char { ltSyslog, ltStderr };

// Chooses where lines go; call once, before libmilter starts its threads.
void OpenMilterLog(TLogTarget ATarget);

// One line, the queue ID first ("NOQUEUE" when there is none), so that it
// can be found from the MTA's own log. Safe from any thread; never raises.
void MilterLog(std::string_view AQueueID, std::string_view AText) noexcept;

} // namespace bw
