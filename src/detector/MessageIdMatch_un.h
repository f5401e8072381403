// The Message-IDs of a returned message matched against the site's pattern,
// with one bounded budget of matching work per check; the pattern's text as
// both programs take it, and the message they give when it does not compile.
#pragma once

#include "regex/RegexMatch_un.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bw {

// A Message-ID pattern as the programs take it (8-bit text in the locale's
// code page), in the UTF-8 that PCRE reads.
std::string MessageIdPatternToUtf8(std::string_view AAnsiPattern);

// The one message both programs give for a Message-ID pattern that does not
// compile ("Invalid Message-ID regular expression ..." with PCRE's reason and
// offset), or nothing when it compiles.
std::optional<std::string> InvalidPatternMessage(const std::string &AAnsiPattern);

// The site's Message-ID pattern, compiled and studied once. Read-only after
// construction, so one pattern may serve any number of checks on any
// number of threads.
class TMessageIdPattern {
public:
  // AText: 8-bit text in the locale's code page, as the command line has it.
  explicit TMessageIdPattern(std::string AText) : FText(std::move(AText)), FRegex(MessageIdPatternToUtf8(FText)) {}

  const std::string &Text() const noexcept { return FText; }
  const TCompiledRegex &Regex() const noexcept { return FRegex; }

private:
  std::string FText;
  TCompiledRegex FRegex;
};

// True when one of AMessageIDs matches the pattern (caseless, anchored at the
// ID's first character); they are tried in order until one does. Each ID is
// matched as the locale's code page holds it. All of them share one budget of
// matcher steps, so many returned parts cost no more than one.
//
// No verdict is made up: a pattern that cannot be used (it failed to compile
// or study) or a match that cannot be completed (a limit, bad UTF-8) raises
// ERegexMatchError. The IDs are never repeated in the message, being the
// sender's text.
bool MatchesAnyMessageID(const TMessageIdPattern &APattern, std::span<const std::u16string> AMessageIDs);

} // namespace bw
