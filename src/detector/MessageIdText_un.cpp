// Message-ID text parsing.
#include "detector/MessageIdText_un.h"

#include "rtl/Charset_un.h"
#include "rtl/StrUtils_un.h"

#include <algorithm>

namespace bw {

static constexpr std::u16string_view MessageIdName = u"message-id:";

static bool IsLineBreak(char16_t AUnit) { return AUnit == u'\n' || AUnit == u'\r'; }
static bool IsBlank(char16_t AUnit) { return AUnit == u' ' || AUnit == u'\t'; }

static std::size_t LineEnd(std::u16string_view AText, std::size_t AFrom) {
  while (AFrom < AText.size() && !IsLineBreak(AText[AFrom]))
    ++AFrom;
  return AFrom;
}

// The line after the line break at ABreak when it is indented, as a folded
// header value continues; nothing otherwise. Only that one line is taken,
// since quoted headers are often indented as a whole.
static std::optional<std::u16string_view> FoldedValue(std::u16string_view AText, std::size_t ABreak) {
  if (ABreak >= AText.size())
    return std::nullopt;
  std::size_t Next = ABreak + 1;
  if (AText[ABreak] == u'\r' && Next < AText.size() && AText[Next] == u'\n')
    ++Next;
  if (Next >= AText.size() || !IsBlank(AText[Next]))
    return std::nullopt;
  return AText.substr(Next, LineEnd(AText, Next) - Next);
}

template <class TChar> static std::basic_string<TChar> Cleaned(std::basic_string_view<TChar> AMessageID) {
  std::basic_string<TChar> Result;
  Result.reserve(AMessageID.size());
  for (const TChar C : AMessageID)
    if (C != ' ' && C != '<' && C != '>')
      Result.push_back(C);
  return Result;
}

std::u16string CleanMessageID(std::u16string_view AMessageID) { return Cleaned(AMessageID); }
std::string CleanMessageID(std::string_view AMessageID) { return Cleaned(AMessageID); }

std::optional<std::u16string> ExtractMessageID(std::u16string_view AText) {
  const std::u16string Lower = WideLowerCase(AText);
  const std::u16string_view View(Lower);
  const auto Finish = [](std::u16string_view AValue) { return CleanMessageID(TrimWide(AValue)); };
  for (std::size_t Name = View.find(MessageIdName); Name != std::u16string_view::npos;
       Name = View.find(MessageIdName, Name + 1)) {
    const std::size_t AfterColon = Name + MessageIdName.size();
    if (AfterColon < View.size() && View[AfterColon] == u' ') {
      // "message-id: ": the rest of the line, of which at least two
      // characters must follow the blank; or, when that is blank, the
      // indented line it is folded onto.
      const std::size_t Start = AfterColon + 1;
      if (Start + 1 >= View.size())
        return std::nullopt;
      const std::size_t End = LineEnd(View, Start);
      std::u16string_view Id = View.substr(Start, End - Start);
      if (std::all_of(Id.begin(), Id.end(), IsBlank))
        Id = FoldedValue(View, End).value_or(Id);
      return Finish(Id);
    }
    // "message-id:" that ends its line, the value on the indented line
    // below, as several large mail services write it. Any other form
    // without the blank does not count. Only blanks are skipped here, so
    // the search stays linear however many names a line holds.
    std::size_t End = AfterColon;
    while (End < View.size() && IsBlank(View[End]))
      ++End;
    if (End < View.size() && IsLineBreak(View[End]))
      if (const std::optional<std::u16string_view> Folded = FoldedValue(View, End))
        return Finish(*Folded);
  }
  return std::nullopt;
}

std::optional<std::u16string> MessageIdOfHeaderValue(std::u16string_view AValue) {
  std::u16string Line = u"Message-ID: ";
  Line.append(AValue);
  return ExtractMessageID(Line);
}

std::optional<std::string> Utf8MessageIdOfHeaderValue(std::string_view ARawValue) {
  const std::optional<std::u16string> Id = MessageIdOfHeaderValue(DecodeToWide("UTF-8", ARawValue).Text);
  if (!Id || Id->empty())
    return std::nullopt;
  return WideToUtf8(*Id);
}

} // namespace bw
