// What --check-config checks besides the parse: that the settings can work
// where they would run. Nothing is opened for good and nothing is written.
#pragma once

#include "milter/MilterOptions_un.h"

#include <string>
#include <vector>

namespace bw {

struct TConfigCheck {
  std::vector<std::string> Notes;     // what was checked, or cannot be from here
  std::vector<std::string> Problems;  // each keeps the milter from starting or working
};

// Checks AOptions as parsed: the pattern compiled and studied; the users and
// groups named; the ledger's key file read (as the user running the check)
// when a ledger is used; a unix socket's folder exists, is a folder and can
// be written by whoever makes the socket (this user, or root before it
// becomes --user). The default socket's folder, which the service makes at
// each start, may be missing. The socket itself is not opened.
TConfigCheck CheckMilterSettings(const TMilterOptions &AOptions);

} // namespace bw
