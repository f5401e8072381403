// Character-set conversion through iconv, lenient in both directions, the
// conversions between 8-bit text in the locale's code page and UTF-16, and
// UTF-16 to UTF-8, which needs no iconv.
//
// Text from a bounce is hostile: malformed sequences, unknown charset names
// and truncated multi-byte characters must never fail a conversion, only
// degrade it (U+FFFD when decoding, "?" when encoding).
//
// Every call opens its own converter and keeps no state between calls, so
// conversions may run on several threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bw {

struct TDecodeResult {
  std::u16string Text;
  std::size_t BytesConsumed = 0;
};

// Decodes bytes in the named charset to UTF-16, at most AMaxUnits code units
// (npos: all). Malformed input becomes U+FFFD; a charset nobody knows decodes
// byte for byte as ISO-8859-1 so that ASCII always survives. BytesConsumed
// says where decoding stopped: a character that did not fit is left unread.
TDecodeResult DecodeToWide(std::string_view ACharset, std::string_view ABytes,
                           std::size_t AMaxUnits = std::u16string::npos);

// Encodes UTF-16 to the named charset; what it cannot represent becomes "?".
std::string EncodeFromWide(std::string_view ACharset, std::u16string_view AText);

// The name of the locale's 8-bit character set (nl_langinfo(CODESET)).
std::string AnsiCodePage();

// 8-bit text in the locale's code page to UTF-16. Bytes the code page does not
// define become U+FFFD.
std::u16string AnsiToWide(std::string_view AText);

// UTF-16 to the locale's code page. Characters it lacks (lone surrogates
// included) become "?", the code page's default character.
std::string WideToAnsi(std::u16string_view AText);

// UTF-16 to UTF-8. A surrogate pair becomes one four-byte character; a lone
// surrogate becomes U+FFFD, so the result is always valid UTF-8.
std::string WideToUtf8(std::u16string_view AText);

} // namespace bw
