// String helpers over the C library's locale.
#include "rtl/StrUtils_un.h"

#include "rtl/Format_un.h"

#include <cwctype>

namespace bw {

static char AsciiLower(char C) noexcept { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C + 32) : C; }

bool SameText(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size())
    return false;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (AsciiLower(A[I]) != AsciiLower(B[I]))
      return false;
  return true;
}

std::string AsciiLowerCase(std::string_view AText) {
  std::string Result(AText);
  for (char &C : Result)
    C = AsciiLower(C);
  return Result;
}

std::string TrimBytes(std::string_view AText) {
  std::size_t First = 0, Last = AText.size();
  while (First < Last && static_cast<unsigned char>(AText[First]) <= 32)
    ++First;
  while (Last > First && static_cast<unsigned char>(AText[Last - 1]) <= 32)
    --Last;
  return std::string(AText.substr(First, Last - First));
}

std::string OneLineText(std::string AText) {
  for (char &Byte : AText)
    if (static_cast<unsigned char>(Byte) < 0x20 || Byte == 0x7F)
      Byte = '?';
  return AText;
}

std::string WithOneLineName(std::string_view AFormat, const std::string &AName) {
  return FormatMessage(AFormat, {OneLineText(AName)});
}

std::string EscapeControlBytes(std::string_view AText, TEscapedBytes AEscaped) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string Result;
  Result.reserve(AText.size());
  for (const char Byte : AText) {
    const auto Unit = static_cast<unsigned char>(Byte);
    const bool Kept = AEscaped == ebControl ? Unit >= 0x20 && Unit != 0x7F
                                            : Unit >= 0x20 && Unit < 0x7F && Byte != '\\' && Byte != '>';
    if (Kept) {
      Result.push_back(Byte);
      continue;
    }
    Result.append("\\x").push_back(Hex[Unit >> 4]);
    Result.push_back(Hex[Unit & 0xF]);
  }
  return Result;
}

std::u16string TrimWide(std::u16string_view AText) {
  std::size_t First = 0, Last = AText.size();
  while (First < Last && AText[First] <= 0x20)
    ++First;
  while (Last > First && AText[Last - 1] <= 0x20)
    --Last;
  return std::u16string(AText.substr(First, Last - First));
}

std::u16string WideLowerCase(std::u16string_view AText) {
  std::u16string Result(AText);
  // ASCII first, branch-free so the compiler can vectorise the common case;
  // the locale is asked only about what lies beyond ASCII.
  char16_t *Units = Result.data();
  unsigned AllBits = 0;
  for (std::size_t I = 0; I < Result.size(); ++I) {
    const unsigned Unit = Units[I];
    Units[I] = static_cast<char16_t>(Unit + (static_cast<unsigned>(Unit - u'A') < 26u ? 32u : 0u));
    AllBits |= Unit;
  }
  if (AllBits < 0x80)
    return Result;
  for (char16_t &Unit : Result) {
    if (Unit < 0x80 || (Unit >= 0xD800 && Unit <= 0xDFFF))
      continue;
    const std::wint_t Lower = std::towlower(static_cast<std::wint_t>(Unit));
    if (Lower <= 0xFFFF && !(Lower >= 0xD800 && Lower <= 0xDFFF))
      Unit = static_cast<char16_t>(Lower);
  }
  return Result;
}

} // namespace bw
