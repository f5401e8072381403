// The walk over a message's parts for those that return a message: parts of
// media type message/rfc822 (a whole returned message) and
// text/rfc822-headers (its header only).
#pragma once

#include "automation/AutoValue_un.h"

#include <string_view>
#include <vector>

namespace bw {

// The returned-message parts at and below ARoot, in document order: a part
// before its descendants, siblings by index. The media type is compared
// without regard to ASCII case; the children of every part are visited,
// so a message returned inside a returned message comes after it. Failures
// of the object calls propagate.
std::vector<TAutoValue> CollectReturnedParts(const TAutoValue &ARoot);

// Whether a part of media type AMediaType (GetMediaType of its content type)
// returns a message, ASCII case ignored.
bool IsReturnedMediaType(std::string_view AMediaType);

} // namespace bw
