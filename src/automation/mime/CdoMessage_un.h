// The message object stand-in ("CDO.Message") over GMime.
//
// It loads any bytes (what GMime cannot make a message of becomes a message
// without headers whose body is the content) and exposes the body-part tree:
// a multipart's children in order, and a returned message (message/rfc822,
// encoded or not) as the one child of the part that carries it.
#pragma once

namespace bw {

// Registers the class under its ProgID. Needs GMime initialised.
void RegisterCdoMessage();

} // namespace bw
