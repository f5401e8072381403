// The Message-IDs of a returned message matched against the site's pattern,
// with one bounded budget of matching work per check.
#pragma once

#include "regex/RegexMatch_un.h"

#include <span>
#include <string>

namespace bw {

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
