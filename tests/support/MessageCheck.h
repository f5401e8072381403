// The whole check of a message held in memory against a pattern compiled
// once: the detector's returned Message-IDs and the pattern's verdict over
// them, as the one-shot tool decides from a file. Header-only, so that the
// benchmarks share it with the test suites.
#pragma once

#include "detector/BackscatterDetector_un.h"
#include "detector/MessageIdMatch_un.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace bwtest {

struct TCheckResult {
  bool Backscatter = false;
  std::size_t MessageIDCount = 0;  // Message-IDs extracted from the returned message
};

// Backscatter when the message yields at least one Message-ID and none
// matches APattern; the pattern's errors propagate, as from the file check.
inline TCheckResult CheckMessage(const std::string &AP1Sender, std::string AContent,
                                 const bw::TMessageIdPattern &APattern) {
  const std::vector<std::u16string> IDs = bw::TBackscatterDetector::ReturnedMessageIDs(AP1Sender, std::move(AContent));
  return {!IDs.empty() && !bw::MatchesAnyMessageID(APattern, IDs), IDs.size()};
}

} // namespace bwtest
