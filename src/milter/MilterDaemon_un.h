// Start-up and shutdown of bouncewarden-milter around libmilter's main loop.
#pragma once

#include <span>
#include <string>

namespace bw {

// Parses the options, opens the socket, hands it to its owner and mode,
// drops privileges and runs libmilter until SIGTERM or SIGINT; then waits
// for the checks in progress. Returns the process's exit code (sysexits.h):
// 0 after a signal, 64 bad usage, 67 unknown user or group, 70 libmilter
// failed, 71 a system call failed, 78 bad pattern or running as root.
// Every failure before the main loop is one line on standard error. The mail
// runtime must be up around the call.
int RunMilterDaemon(std::span<const std::string> AArgs);

} // namespace bw
