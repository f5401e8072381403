// Case-insensitive, anchored regular-expression matching over PCRE.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// Encodes each UTF-16 code unit on its own as one to three UTF-8 bytes.
// Surrogate pairs are not combined, so a character outside the BMP becomes
// two invalid three-byte sequences that PCRE's UTF-8 check rejects.
std::string WideToUtf8(std::u16string_view AText);

// Compiles APattern (UTF-8) and runs it once over ASubject. Returns -1 when
// the pattern does not compile or cannot be studied, otherwise pcre_exec's
// result: 0 for a match, a negative PCRE error code for none.
std::int32_t RegexMatchUtf8(std::string_view ASubject, std::string_view APattern, bool ACaseless);

// Matches ASubject against APattern, caseless and anchored. A negative result
// means no match (a pattern that does not compile included).
std::int32_t RegexMatch(std::u16string_view ASubject, std::u16string_view APattern);

struct TRegexCompileError {
  std::string Text;  // PCRE's own error text
  int Offset = 0;    // PCRE's error offset, in bytes of the UTF-8 pattern
};

// Compiles the pattern exactly as RegexMatch would and reports why it fails,
// or nothing when it compiles.
std::optional<TRegexCompileError> CheckRegex(std::u16string_view APattern);

} // namespace bw
