// Character-set conversion through iconv, lenient in both directions.
//
// Text from a bounce is hostile: malformed sequences, unknown charset names
// and truncated multi-byte characters must never fail a conversion, only
// degrade it (U+FFFD when decoding, "?" when encoding).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include <iconv.h>

namespace bw {

// Owner of one iconv descriptor.
class TIconv {
public:
  // Opens a converter; returns an invalid owner (IsValid() false) when iconv
  // knows neither name, so callers can fall back instead of failing.
  TIconv(const std::string &AToCode, const std::string &AFromCode) noexcept
      : FHandle(iconv_open(AToCode.c_str(), AFromCode.c_str())) {}
  // No converter.
  TIconv() noexcept : FHandle(Invalid()) {}
  TIconv(const TIconv &) = delete;
  TIconv &operator=(const TIconv &) = delete;
  TIconv(TIconv &&AOther) noexcept : FHandle(AOther.FHandle) { AOther.FHandle = Invalid(); }
  TIconv &operator=(TIconv &&AOther) noexcept {
    std::swap(FHandle, AOther.FHandle);
    return *this;
  }
  ~TIconv() {
    if (IsValid())
      iconv_close(FHandle);
  }
  bool IsValid() const noexcept { return FHandle != Invalid(); }
  iconv_t Get() const noexcept { return FHandle; }

private:
  static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }
  iconv_t FHandle;
};

struct TDecodeResult {
  std::u16string Text;
  std::size_t BytesConsumed = 0;
};

// The iconv name for a MIME or object-model charset name: adds the aliases
// iconv lacks ("unicode-1-1-utf-7", "Unicode", "x-sjis", ...). Returns an
// empty string when iconv cannot convert from it.
std::string ResolveCharset(std::string_view ACharset);

// Decodes bytes in the named charset to UTF-16, at most AMaxUnits code units
// (npos: all). Malformed input becomes U+FFFD; a charset nobody knows decodes
// byte for byte as ISO-8859-1 so that ASCII always survives.
TDecodeResult DecodeToWide(std::string_view ACharset, std::string_view ABytes,
                           std::size_t AMaxUnits = std::u16string::npos);

// Encodes UTF-16 to the named charset; what it cannot represent becomes "?".
std::string EncodeFromWide(std::string_view ACharset, std::u16string_view AText);

} // namespace bw
