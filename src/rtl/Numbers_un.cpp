// Hexadecimal text of bytes.
#include "rtl/Numbers_un.h"

namespace bw {

std::string HexText(std::span<const std::uint8_t> ABytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string Text;
  Text.reserve(ABytes.size() * 2);
  for (const std::uint8_t Byte : ABytes) {
    Text.push_back(Digits[Byte >> 4]);
    Text.push_back(Digits[Byte & 15]);
  }
  return Text;
}

} // namespace bw
