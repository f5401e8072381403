// RFC 5322 dates.
#include "detector/MailDate_un.h"

#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <vector>

namespace bw {

// RFC 5322 dates: "[Mon,] 7 Dec 2026 14:07:13 +0100 (CET)", with the
// obsolete forms of its section 4.3.

// The words of a date: comments dropped, commas and blanks separate.
static std::vector<std::string_view> DateWords(std::string_view AValue, std::string &AStorage) {
  int Depth = 0;
  for (const char C : AValue) {
    if (C == '(')
      ++Depth;
    else if (C == ')' && Depth > 0)
      --Depth;
    else if (Depth == 0)
      AStorage += (C == ',' || C == '\t' || C == '\r' || C == '\n') ? ' ' : C;
  }
  std::vector<std::string_view> Words;
  const std::string_view Text(AStorage);
  for (std::size_t Start = 0; Start < Text.size();) {
    const std::size_t End = std::min(Text.find(' ', Start), Text.size());
    if (End > Start)
      Words.push_back(Text.substr(Start, End - Start));
    Start = End + 1;
  }
  return Words;
}

static std::optional<int> DigitsOf(std::string_view AText, std::size_t AMinDigits, std::size_t AMaxDigits) {
  int Value = 0;
  const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Value);
  if (AText.size() < AMinDigits || AText.size() > AMaxDigits || Error != std::errc() ||
      End != AText.data() + AText.size() || AText.front() == '-' || AText.front() == '+')
    return std::nullopt;
  return Value;
}

static std::optional<unsigned> MonthOf(std::string_view AName) {
  static constexpr std::string_view Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                "jul", "aug", "sep", "oct", "nov", "dec"};
  for (unsigned I = 0; I < 12; ++I)
    if (SameText(AName, Months[I]))
      return I + 1;
  return std::nullopt;
}

// The zone's offset east of UTC in minutes. Military letters and unknown
// names count as UTC, as RFC 5322 says they must.
static std::optional<int> ZoneOffset(std::string_view AZone) {
  if (AZone.size() == 5 && (AZone[0] == '+' || AZone[0] == '-')) {
    const std::optional<int> Hours = DigitsOf(AZone.substr(1, 2), 2, 2);
    const std::optional<int> Minutes = DigitsOf(AZone.substr(3, 2), 2, 2);
    if (!Hours || !Minutes || *Minutes > 59)
      return std::nullopt;
    return (AZone[0] == '-' ? -1 : 1) * (*Hours * 60 + *Minutes);
  }
  static constexpr struct {
    std::string_view Name;
    int Hours;
  } Zones[] = {{"UT", 0},   {"GMT", 0},  {"UTC", 0},  {"EST", -5}, {"EDT", -4}, {"CST", -6},
               {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const auto &Zone : Zones)
    if (SameText(AZone, Zone.Name))
      return Zone.Hours * 60;
  const bool Alphabetic = !AZone.empty() && AZone.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
                                                std::string_view::npos;
  return Alphabetic ? std::optional<int>(0) : std::nullopt;
}

std::optional<std::chrono::sys_seconds> ParseMailDate(std::string_view AValue) {
  std::string Storage;
  std::vector<std::string_view> Words = DateWords(AValue, Storage);
  std::size_t I = 0;
  if (I < Words.size() && !Words[I].empty() && !std::isdigit(static_cast<unsigned char>(Words[I].front())))
    ++I;  // the day of the week, which says nothing the date does not
  if (Words.size() < I + 4)
    return std::nullopt;
  const std::optional<int> Day = DigitsOf(Words[I], 1, 2);
  const std::optional<unsigned> Month = MonthOf(Words[I + 1]);
  std::optional<int> Year = DigitsOf(Words[I + 2], 2, 4);
  if (!Day || !Month || !Year)
    return std::nullopt;
  // Two digits: 50 and later are 19xx; three: 1900 + the number.
  if (Words[I + 2].size() == 2)
    *Year += *Year < 50 ? 2000 : 1900;
  else if (Words[I + 2].size() == 3)
    *Year += 1900;

  const std::string_view Clock = Words[I + 3];
  const std::size_t Colon1 = Clock.find(':');
  if (Colon1 == std::string_view::npos)
    return std::nullopt;
  const std::size_t Colon2 = Clock.find(':', Colon1 + 1);
  const std::optional<int> Hour = DigitsOf(Clock.substr(0, Colon1), 1, 2);
  const std::optional<int> Minute = DigitsOf(Clock.substr(Colon1 + 1, Colon2 - Colon1 - 1), 2, 2);
  const std::optional<int> Second =
      Colon2 == std::string_view::npos ? std::optional<int>(0) : DigitsOf(Clock.substr(Colon2 + 1), 2, 2);
  if (!Hour || !Minute || !Second || *Hour > 23 || *Minute > 59 || *Second > 60)
    return std::nullopt;
  // A missing zone is taken as UTC, as an unknown one is.
  const std::optional<int> Offset = Words.size() > I + 4 ? ZoneOffset(Words[I + 4]) : std::optional<int>(0);
  if (!Offset)
    return std::nullopt;

  const std::chrono::year_month_day Date{std::chrono::year(*Year), std::chrono::month(*Month),
                                         std::chrono::day(static_cast<unsigned>(*Day))};
  if (!Date.ok())
    return std::nullopt;
  return std::chrono::sys_days(Date) + std::chrono::hours(*Hour) + std::chrono::minutes(*Minute - *Offset) +
         std::chrono::seconds(std::min(*Second, 59));
}

} // namespace bw
