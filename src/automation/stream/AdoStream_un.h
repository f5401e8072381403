// The stream object stand-in ("ADODB.Stream"): an in-memory byte buffer with
// a position, a type (bytes or text) and a character set for reading text.
#pragma once

#include "automation/AutoValue_un.h"

#include <string_view>

namespace bw {

// Registers the class under its ProgID.
void RegisterAdoStream();

// A new open text stream holding ABytes, positioned at their start and read
// in ACharset: what a body part hands out as its decoded content. Built by
// the same late-bound calls a caller of the object would make; an unknown
// charset name raises as Charset does.
TAutoValue NewTextStream(TSharedBytes ABytes, std::u16string_view ACharset);

} // namespace bw
