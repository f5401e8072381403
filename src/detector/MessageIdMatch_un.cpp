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

std::string MessageIdPatternToUtf8(std::string_view AAnsiPattern) { return WideToUtf8(AnsiToWide(AAnsiPattern)); }

std::optional<std::string> InvalidPatternMessage(const std::string &AAnsiPattern) {
  const std::optional<TRegexCompileError> Error = CheckRegex(AnsiToWide(AAnsiPattern));
  if (!Error)
    return std::nullopt;
  return FormatMessage(InvalidPatternFormat, {AAnsiPattern, Error->Text, std::to_string(Error->Offset)});
}

static std::string PatternShown(const TMessageIdPattern &APattern) {
  return "Message-ID regular expression \"" + OneLineText(APattern.Text()) + "\"";
}

bool MatchesAnyMessageID(const TMessageIdPattern &APattern, std::span<const std::u16string> AMessageIDs) {
  const TCompiledRegex &Regex = APattern.Regex();
  // Matching nothing would judge every bounce backscatter.
  if (!Regex.IsValid())
    throw ERegexMatchError(PatternShown(APattern) + " cannot be used: " + Regex.Error());
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
      throw ERegexMatchError(PatternShown(APattern) + " failed on Message-ID " + std::to_string(I + 1) + " of " +
                             std::to_string(AMessageIDs.size()) + ": " + RegexExecErrorText(Result));
  }
  return false;
}

} // namespace bw
