// Immutable bytes shared by reference: a message's bytes pass from the caller
// through a byte-array value and a stream into the parsed document without
// being copied.
//
// The bytes adopt the buffer they are built from (a TByteArray or a
// std::string, moved in) and never change afterwards, so any number of
// holders may read them. A slice shares its whole's buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

using TByteArray = std::vector<std::uint8_t>;

class TSharedBytes {
public:
  // Models a read-only contiguous container, so range-for and comparisons read as usual.
  using value_type = std::uint8_t;
  using const_iterator = const std::uint8_t *;
  using iterator = const_iterator;

  TSharedBytes() = default;
  explicit TSharedBytes(TByteArray &&ABytes) { Adopt(std::make_shared<const TByteArray>(std::move(ABytes))); }
  explicit TSharedBytes(std::string &&ABytes) { Adopt(std::make_shared<const std::string>(std::move(ABytes))); }

  const std::uint8_t *data() const noexcept { return FBytes.data(); }
  std::size_t size() const noexcept { return FBytes.size(); }
  bool empty() const noexcept { return FBytes.empty(); }
  const_iterator begin() const noexcept { return FBytes.data(); }
  const_iterator end() const noexcept { return FBytes.data() + FBytes.size(); }
  std::span<const std::uint8_t> Bytes() const noexcept { return FBytes; }
  std::string_view Text() const noexcept { return {reinterpret_cast<const char *>(FBytes.data()), FBytes.size()}; }

  // ACount bytes from AOffset, sharing this buffer; both are clamped to the size.
  TSharedBytes Slice(std::size_t AOffset, std::size_t ACount = std::string_view::npos) const noexcept {
    TSharedBytes Result(*this);
    const std::size_t Offset = std::min(AOffset, size());
    Result.FBytes = FBytes.subspan(Offset, std::min(ACount, size() - Offset));
    return Result;
  }

  friend bool operator==(const TSharedBytes &A, const TSharedBytes &B) noexcept { return A.Text() == B.Text(); }
  friend bool operator==(const TSharedBytes &A, const TByteArray &B) noexcept {
    return A.Text() == std::string_view(reinterpret_cast<const char *>(B.data()), B.size());
  }

private:
  template <class TBuffer> void Adopt(std::shared_ptr<const TBuffer> ABuffer) noexcept {
    FBytes = {reinterpret_cast<const std::uint8_t *>(ABuffer->data()), ABuffer->size()};
    FOwner = std::move(ABuffer);
  }

  std::shared_ptr<const void> FOwner;
  std::span<const std::uint8_t> FBytes;
};

} // namespace bw
