// The value texts of the milter's settings that need more than a number
// or a name. Each returns false for a value it does not take, and sets its
// fields only when it does.
#pragma once

#include "milter/MilterOptions_un.h"

#include <sys/types.h>

#include <string_view>

namespace bw {

// "CODE X.Y.Z text": a 5xx code, a permanent status (RFC 3463) and a text
// that an SMTP reply line can carry.
bool ParseRejectReply(std::string_view AValue, TMilterOptions &AOptions);
// "USER", "USER:GROUP" or ":GROUP".
bool ParseSocketOwner(std::string_view AValue, TMilterOptions &AOptions);
// Octal digits, at most 0777.
bool ParseSocketMode(std::string_view AValue, mode_t &AMode);
// "HOST:PORT", as Prometheus' exposer binds it.
bool ValidMetricsAddress(std::string_view AValue);

} // namespace bw
