// What one stand-in may ask of another without knowing its class: the bytes
// a stream object holds (a message loads itself from them).
#pragma once

#include "automation/SharedBytes_un.h"

namespace bw {

class IByteSource {
public:
  virtual ~IByteSource() = default;
  // The whole content, whatever the current position, shared rather than
  // copied: later writes to the source do not change what was returned.
  virtual TSharedBytes Contents() = 0;
};

} // namespace bw
