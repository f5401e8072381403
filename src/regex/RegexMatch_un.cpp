// The regex facade: conversion, compilation, study and one execution per call.
#include "regex/RegexMatch_un.h"

#include <pcre.h>

#include <memory>

namespace bw {

namespace {
struct TPcreFree {  // pcre_free is a variable holding a function pointer: read it at call time
  void operator()(pcre *APattern) const noexcept { pcre_free(APattern); }
};
struct TPcreFreeStudy {  // a study record belongs to pcre_free_study, never pcre_free
  void operator()(pcre_extra *AExtra) const noexcept { pcre_free_study(AExtra); }
};
using TPcrePtr = std::unique_ptr<pcre, TPcreFree>;
using TPcreExtraPtr = std::unique_ptr<pcre_extra, TPcreFreeStudy>;
} // namespace

// UTF-8 throughout, anchored, "." crossing line ends, "^"/"$" at every CR, LF or CR LF.
static constexpr int FixedOptions = PCRE_MULTILINE | PCRE_DOTALL | PCRE_ANCHORED | PCRE_UTF8 | PCRE_NEWLINE_ANYCRLF;
static_assert(FixedOptions == 0x00500816);
static constexpr unsigned long MatchLimitRecursion = 1200;

std::string WideToUtf8(std::u16string_view AText) {
  if (AText.empty())
    return {};
  std::string Result(AText.size() * 3, '\0');
  std::size_t Length = 0;
  for (const char16_t Unit : AText) {
    const unsigned C = Unit;
    if (C < 0x80) {
      Result[Length++] = static_cast<char>(C);
    } else if (C < 0x800) {
      Result[Length++] = static_cast<char>(0xC0 | (C >> 6));
      Result[Length++] = static_cast<char>(0x80 | (C & 0x3F));
    } else {
      Result[Length++] = static_cast<char>(0xE0 | (C >> 12));
      Result[Length++] = static_cast<char>(0x80 | ((C >> 6) & 0x3F));
      Result[Length++] = static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  Result.resize(Length);
  return Result;
}

static TPcrePtr Compile(const std::string &APattern, int AOptions, const char **AError, int *AOffset) {
  // The pattern goes in zero-terminated: a U+0000 in it ends it there.
  return TPcrePtr(pcre_compile(APattern.c_str(), AOptions, AError, AOffset, nullptr));
}

std::int32_t RegexMatchUtf8(std::string_view ASubject, std::string_view APattern, bool ACaseless) {
  const int Options = FixedOptions | (ACaseless ? PCRE_CASELESS : 0);
  const char *Error = nullptr;
  int ErrorOffset = 0;
  const TPcrePtr Pattern = Compile(std::string(APattern), Options, &Error, &ErrorOffset);
  if (!Pattern)
    return -1;

  Error = nullptr;
  const TPcreExtraPtr Studied(pcre_study(Pattern.get(), 0, &Error));
  if (Error)
    return -1;
  pcre_extra Local{};
  pcre_extra *Extra = Studied ? Studied.get() : &Local;
  Extra->flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  Extra->match_limit_recursion = MatchLimitRecursion;

  return pcre_exec(Pattern.get(), Extra, ASubject.data(), static_cast<int>(ASubject.size()), 0, 0, nullptr, 0);
}

std::int32_t RegexMatch(std::u16string_view ASubject, std::u16string_view APattern) {
  const std::string Pattern = WideToUtf8(APattern);
  const std::string Subject = WideToUtf8(ASubject);
  return RegexMatchUtf8(Subject, Pattern, /*ACaseless=*/true);
}

std::optional<TRegexCompileError> CheckRegex(std::u16string_view APattern) {
  const char *Error = nullptr;
  int ErrorOffset = 0;
  const TPcrePtr Pattern = Compile(WideToUtf8(APattern), FixedOptions | PCRE_CASELESS, &Error, &ErrorOffset);
  if (Pattern)
    return std::nullopt;
  return TRegexCompileError{Error ? Error : "unknown error", ErrorOffset};
}

} // namespace bw
