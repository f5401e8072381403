// Start-up, signals and the orderly stop of bouncewarden-milter around
// libmilter's main loop.
#pragma once

#include "milter/MilterContext_un.h"
#include "milter/MilterOptions_un.h"

#include <span>
#include <string>

namespace bw {

// Checks the pattern, opens the socket, hands it to its owner, drops
// privileges, opens the ledger and runs libmilter with the checks' workers.
// Returns only when a step before the main loop failed, with one line on
// standard error and its exit code: 66 the ledger's key file cannot be read,
// 67 unknown user or group, 69 another process answers on the socket, 70
// libmilter failed, 71 a system call failed, 78 an unusable pattern or
// running as root. A ledger that cannot be opened is logged and tried again,
// never a reason not to start. Once running, it ends the process itself:
// SIGHUP reads the settings again from AArgs (the arguments after the
// program's name) and the configuration file; SIGTERM or SIGINT stop accepting, let the
// messages in progress finish within --stop-grace (those still checked then
// get the --on-error answer), commit the ledger's queued records and exit 0
// with a line naming the signal.
// AContext and the mail runtime must be up for the life of the process.
int RunMilterDaemon(TMilterContext &AContext, std::span<const std::string> AArgs);

} // namespace bw
