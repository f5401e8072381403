// Numbers as text: lower-case hexadecimal bytes, and whole decimal numbers
// read strictly within a range.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bw {

// Two lower-case hex digits a byte.
std::string HexText(std::span<const std::uint8_t> ABytes);

// All of AText as a whole decimal number from AMin to AMax: digits only,
// no sign, no blank, no leading "+"; nothing otherwise (empty, too large).
template <std::integral T> std::optional<T> ParseDecimal(std::string_view AText, T AMin, T AMax) {
  if (AText.empty() || AText.front() < '0' || AText.front() > '9')
    return std::nullopt;
  T Value{};
  const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Value);
  if (Error != std::errc() || End != AText.data() + AText.size() || Value < AMin || Value > AMax)
    return std::nullopt;
  return Value;
}

} // namespace bw
