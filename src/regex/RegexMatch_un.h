// Case-insensitive, anchored regular-expression matching over PCRE.
//
// The facade knows PCRE and strings only: what a pattern means to its caller
// (a Message-ID pattern, its messages) lives with the caller.
#pragma once

#include "rtl/Result_un.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// PCRE's own limit on the work of one execution, and the ceiling for a budget.
inline constexpr unsigned long DefaultMatchLimit = 10000000;

// One pattern, compiled and studied once, matched against many subjects.
// A pattern that does not compile never matches.
class TCompiledRegex {
public:
  explicit TCompiledRegex(std::string_view AUtf8Pattern, bool ACaseless = true);
  ~TCompiledRegex();
  TCompiledRegex(const TCompiledRegex &) = delete;
  TCompiledRegex &operator=(const TCompiledRegex &) = delete;

  bool IsValid() const noexcept { return FCompiled.has_value(); }
  // Why the pattern cannot be used (PCRE's compile or study error text);
  // empty when IsValid().
  const std::string &Error() const noexcept { return FCompiled.error(); }
  // pcre_exec's result for the whole subject: 0 for a match, -1 for none, any
  // other negative PCRE code when the execution failed (a limit, bad UTF-8).
  // At most AMatchLimit steps of the matcher are spent.
  std::int32_t Exec(std::string_view AUtf8Subject, unsigned long AMatchLimit = DefaultMatchLimit) const;

private:
  struct TCompiled;
  static TResult<std::unique_ptr<TCompiled>> CompileAndStudy(std::string_view AUtf8Pattern, bool ACaseless);
  // The compiled pattern, or PCRE's reason why there is none.
  TResult<std::unique_ptr<TCompiled>> FCompiled;
};

// PCRE's reason for a failed execution, e.g. "match limit exceeded".
std::string RegexExecErrorText(std::int32_t AResult);

// Compiles APattern (UTF-8) and runs it once over ASubject. Returns -1 when
// the pattern does not compile or cannot be studied, otherwise pcre_exec's
// result: 0 for a match, a negative PCRE error code for none.
std::int32_t RegexMatchUtf8(std::string_view ASubject, std::string_view APattern, bool ACaseless);

// Matches ASubject against APattern, caseless and anchored. A negative result
// means no match (a pattern that does not compile included).
std::int32_t RegexMatch(std::u16string_view ASubject, std::u16string_view APattern);

struct TRegexCompileError {
  std::string Text;  // PCRE's own error text
  int Offset = 0;    // PCRE's error offset, in bytes of the UTF-8 pattern
};

// Compiles the pattern exactly as RegexMatch would and reports why it fails,
// or nothing when it compiles.
std::optional<TRegexCompileError> CheckRegex(std::u16string_view APattern);

} // namespace bw
