// The message object stand-in ("CDO.Message") over GMime.
//
// It loads any bytes (what GMime cannot make a message of becomes a message
// without headers whose body is the content) and exposes the body-part tree:
// a multipart's children in order, and a returned message (message/rfc822,
// encoded or not) as the one child of the part that carries it.
#pragma once

namespace bw {

// Brings GMime up and registers the class under its ProgID: once per process,
// before any message object is made and before other threads create objects.
void RegisterCdoMessage();
// Shuts GMime down, once the registry has forgotten the class: after every
// message object and part made through it is gone.
void UnregisterCdoMessage() noexcept;

} // namespace bw
