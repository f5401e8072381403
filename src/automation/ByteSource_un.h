// What one stand-in may ask of another without knowing its class: the bytes
// a stream object holds (a message loads itself from them).
#pragma once

#include <span>
#include <cstdint>

namespace bw {

class IByteSource {
public:
  virtual ~IByteSource() = default;
  // The whole content, whatever the current position.
  virtual std::span<const std::uint8_t> Contents() const = 0;
};

} // namespace bw
