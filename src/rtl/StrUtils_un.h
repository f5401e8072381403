// 8-bit and wide (UTF-16) string helpers: comparison, trimming and case.
//
// The locale is only read, never set, so these run safely on several threads
// once setlocale has run at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// Same length and same bytes after folding only ASCII A-Z onto a-z.
bool SameText(std::string_view A, std::string_view B) noexcept;

// Lower-cases ASCII A-Z only; every other byte is kept.
std::string AsciiLowerCase(std::string_view AText);

// Removes bytes 0..32 from both ends.
std::string TrimBytes(std::string_view AText);

// AText with every control character (bytes 0..31 and 127) as "?", so that
// it stays on one line when a message echoes it.
std::string OneLineText(std::string AText);

// AFormat with its one "%s" filled by AName as OneLineText shows it (or
// AName appended when there is none): a file's or store's name inside a
// message.
std::string WithOneLineName(std::string_view AFormat, const std::string &AName);

// Which bytes EscapeControlBytes writes as "\xNN": the control bytes, or
// for a field quoted between "<" and ">" those, every byte beyond ASCII, "\"
// (so that a literal "\x0A" cannot pass for an escaped one) and ">".
enum TEscapedBytes : std::uint8_t { ebControl, ebQuotedField };

// AText with every control byte (0..31 and 127) written as "\xNN" (two
// upper-case hex digits), so that a field a peer sent can neither end a log
// line early nor drive the terminal that shows it; every other byte is kept
// (ebControl), or only printable ASCII but "\" and ">" (ebQuotedField).
std::string EscapeControlBytes(std::string_view AText, TEscapedBytes AEscaped = ebControl);

// Removes code units U+0000..U+0020 from both ends.
std::u16string TrimWide(std::u16string_view AText);

// Maps every UTF-16 code unit through the locale's wide lower-casing; a unit
// always maps to exactly one unit (surrogates and units whose lower case lies
// outside the BMP stay as they are).
std::u16string WideLowerCase(std::u16string_view AText);

} // namespace bw
