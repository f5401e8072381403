// The stream object stand-in ("ADODB.Stream"): an in-memory byte buffer with
// a position, a type (bytes or text) and a character set for reading text.
#pragma once

namespace bw {

// Registers the class under its ProgID.
void RegisterAdoStream();

} // namespace bw
