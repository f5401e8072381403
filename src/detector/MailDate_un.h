// The instant a mail's Date header names.
//
// A pure function of the header's raw value: the ledger tool dates the sent
// mail it imports by it, and the ledger's judge places a returned copy
// inside or outside the times its recorders may have missed.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace bw {

// The instant a Date header's value names (RFC 5322, obsolete forms
// included: two-digit years, zone names, comments); nothing when it is not
// such a date.
std::optional<std::chrono::sys_seconds> ParseMailDate(std::string_view AValue);

} // namespace bw
