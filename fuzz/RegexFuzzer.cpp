// The regex facade with arbitrary UTF-16 subject and pattern (lone
// surrogates included), split at the first U+0000 unit.
#include "regex/RegexMatch_un.h"
#include "rtl/Charset_un.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *AData, std::size_t ASize) {
  std::u16string Units(ASize / 2, u'\0');
  std::memcpy(Units.data(), AData, Units.size() * 2);
  const std::size_t Split = Units.find(u'\0');
  const std::u16string_view All(Units);
  const std::u16string_view Pattern = All.substr(0, Split);
  const std::u16string_view Subject = Split == std::u16string::npos ? std::u16string_view() : All.substr(Split + 1);
  const std::int32_t Result = bw::RegexMatch(Subject, Pattern);
  // A pattern that compiles here must compile in the command-line check too.
  if (Result >= 0 && bw::CheckRegex(Pattern))
    __builtin_trap();
  // Any UTF-16 text, lone surrogates included, becomes valid UTF-8.
  constexpr std::int32_t BadUtf8 = -10;
  if (Result == BadUtf8)
    __builtin_trap();
  // A small budget ends a match early, never changes a completed answer.
  const bw::TCompiledRegex Compiled(bw::WideToUtf8(Pattern));
  const std::int32_t Limited = Compiled.Exec(bw::WideToUtf8(Subject), 1000);
  if ((Limited == 0 || Limited == -1) && Limited != Result)
    __builtin_trap();
  return 0;
}
