// The regex facade: compilation, study and execution.
#include "regex/RegexMatch_un.h"

#include "rtl/Charset_un.h"

#include <pcre.h>

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

static TPcrePtr Compile(std::string_view APattern, int AOptions, const char **AError, int *AOffset) {
  // The pattern goes in zero-terminated: a U+0000 in it ends it there.
  return TPcrePtr(pcre_compile(std::string(APattern).c_str(), AOptions, AError, AOffset, nullptr));
}

struct TCompiledRegex::TCompiled {
  TPcrePtr Pattern;
  TPcreExtraPtr Studied;
};

TResult<std::unique_ptr<TCompiledRegex::TCompiled>> TCompiledRegex::CompileAndStudy(std::string_view AUtf8Pattern,
                                                                                     bool ACaseless) {
  const char *Error = nullptr;
  int ErrorOffset = 0;
  TPcrePtr Pattern = Compile(AUtf8Pattern, FixedOptions | (ACaseless ? PCRE_CASELESS : 0), &Error, &ErrorOffset);
  if (!Pattern)
    return Failure(Error ? Error : "unknown error");
  Error = nullptr;
  TPcreExtraPtr Studied(pcre_study(Pattern.get(), 0, &Error));
  if (Error)
    return Failure(Error);
  return std::make_unique<TCompiled>(TCompiled{std::move(Pattern), std::move(Studied)});
}

TCompiledRegex::TCompiledRegex(std::string_view AUtf8Pattern, bool ACaseless)
    : FCompiled(CompileAndStudy(AUtf8Pattern, ACaseless)) {}

TCompiledRegex::~TCompiledRegex() = default;

std::int32_t TCompiledRegex::Exec(std::string_view AUtf8Subject, unsigned long AMatchLimit) const {
  if (!FCompiled)
    return PCRE_ERROR_NOMATCH;
  const TCompiled &Compiled = **FCompiled;
  // A copy of the study record (or an empty one) per execution: the limits
  // are per call, and the compiled pattern stays read-only for other threads.
  pcre_extra Extra = Compiled.Studied ? *Compiled.Studied : pcre_extra{};
  Extra.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION | PCRE_EXTRA_MATCH_LIMIT;
  Extra.match_limit_recursion = MatchLimitRecursion;
  Extra.match_limit = AMatchLimit;
  return pcre_exec(Compiled.Pattern.get(), &Extra, AUtf8Subject.data(), static_cast<int>(AUtf8Subject.size()), 0, 0,
                   nullptr, 0);
}

std::string RegexExecErrorText(std::int32_t AResult) {
  switch (AResult) {
  case PCRE_ERROR_MATCHLIMIT: return "match limit exceeded";
  case PCRE_ERROR_RECURSIONLIMIT: return "recursion limit exceeded";
  case PCRE_ERROR_BADUTF8: return "invalid UTF-8 subject";
  case PCRE_ERROR_NOMEMORY: return "out of memory";
  default: return "PCRE error " + std::to_string(AResult);
  }
}

std::int32_t RegexMatchUtf8(std::string_view ASubject, std::string_view APattern, bool ACaseless) {
  const TCompiledRegex Regex(APattern, ACaseless);
  return Regex.Exec(ASubject);
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
