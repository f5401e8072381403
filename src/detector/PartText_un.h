// The text of one body part, read through the stream object in the part's
// character set.
#pragma once

#include "automation/AutoValue_un.h"

#include <string>

namespace bw {

// The decoded text of a part's content stream (GetDecodedContentStream),
// read from its current position; empty when AStream holds no object. A
// stream under the old UTF-7 alias "unicode-1-1-utf-7" is copied into a
// second stream told "utf-7" and read from there. Failures of the object
// calls propagate.
std::u16string ReadStreamText(const TAutoValue &AStream);

} // namespace bw
