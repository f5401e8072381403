// Budgeted Message-ID matching, and the pattern's text and messages.
#include "detector/MessageIdMatch_un.h"

#include "rtl/Charset_un.h"
#include "rtl/Format_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <algorithm>

namespace bw {

// The matching work one check may spend in all, shared by its Message-IDs.
static constexpr unsigned long MatchBudget = DefaultMatchLimit;
static constexpr std::int32_t NoMatch = -1;

static constexpr const char *InvalidPatternFormat = "Invalid Message-ID regular expression \"%s\": %s at offset %d.";
static constexpr const char *UnusablePatternFormat = "Message-ID regular expression \"%s\" cannot be used: %s";
static constexpr const char *MatchFailedFormat =
    "Message-ID regular expression \"%s\" failed on Message-ID %d of %d: %s";

std::string MessageIdPatternToUtf8(std::string_view AAnsiPattern) { return WideToUtf8(AnsiToWide(AAnsiPattern)); }

std::optional<std::string> InvalidPatternMessage(const std::string &AAnsiPattern) {
  const std::optional<TRegexCompileError> Error = CheckRegex(AnsiToWide(AAnsiPattern));
  if (!Error)
    return std::nullopt;
  return FormatMessage(InvalidPatternFormat, {AAnsiPattern, Error->Text, std::to_string(Error->Offset)});
}

bool MatchesAnyMessageID(const TMessageIdPattern &APattern, std::span<const std::u16string> AMessageIDs) {
  const TCompiledRegex &Regex = APattern.Regex();
  // Matching nothing would judge every bounce backscatter.
  if (!Regex.IsValid())
    throw ERegexMatchError(FormatMessage(UnusablePatternFormat, {OneLineText(APattern.Text()), Regex.Error()}));
  const unsigned long Limit = std::max<unsigned long>(1, MatchBudget / std::max<std::size_t>(1, AMessageIDs.size()));
  for (std::size_t I = 0; I < AMessageIDs.size(); ++I) {
    // The ID as the locale's 8-bit code page holds it, which is what a
    // pattern written on the command line is matched against.
    const std::int32_t Result = Regex.Exec(WideToUtf8(AnsiToWide(WideToAnsi(AMessageIDs[I]))), Limit);
    if (Result >= 0)
      return true;
    // A match that could not be completed is no answer: judging the bounce
    // backscatter could lose a genuine one.
    if (Result != NoMatch)
      throw ERegexMatchError(FormatMessage(MatchFailedFormat, {OneLineText(APattern.Text()), std::to_string(I + 1),
                                                               std::to_string(AMessageIDs.size()),
                                                               RegexExecErrorText(Result)}));
  }
  return false;
}

} // namespace bw
