// The exception classes every layer raises and the driver reports by name.
//
// The driver prints a failure as its class name and message, so each class
// names itself through ClassName() rather than through RTTI, whose names are
// mangled and compiler-specific.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace bw {

class Exception : public std::exception {
public:
  explicit Exception(std::string AMessage) : FMessage(std::move(AMessage)) {}
  virtual const char *ClassName() const noexcept { return "Exception"; }
  const std::string &Message() const noexcept { return FMessage; }
  const char *what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

// NOLINTBEGIN(bugprone-macro-parentheses): the arguments name classes, which cannot be parenthesised.
#define BW_DECLARE_EXCEPTION(TName, TBase)                                      \
  class TName : public TBase {                                                  \
  public:                                                                       \
    using TBase::TBase;                                                         \
    const char *ClassName() const noexcept override { return #TName; }          \
  }
// NOLINTEND(bugprone-macro-parentheses)

BW_DECLARE_EXCEPTION(EStreamError, Exception);
BW_DECLARE_EXCEPTION(EFOpenError, EStreamError);
BW_DECLARE_EXCEPTION(EReadError, EStreamError);
BW_DECLARE_EXCEPTION(EAssertionFailed, Exception);
BW_DECLARE_EXCEPTION(EOutOfMemory, Exception);
BW_DECLARE_EXCEPTION(EVariantError, Exception);
BW_DECLARE_EXCEPTION(EVariantTypeCastError, EVariantError);
BW_DECLARE_EXCEPTION(EVariantInvalidOpError, EVariantError);
BW_DECLARE_EXCEPTION(EOleError, Exception);
// A Message-ID could not be matched (a PCRE limit, the check's budget): no verdict.
BW_DECLARE_EXCEPTION(ERegexMatchError, Exception);

// A failure with a status code (an HRESULT in the object model's terms).
class EOleSysError : public EOleError {
public:
  EOleSysError(std::string AMessage, std::int32_t AErrorCode)
      : EOleError(std::move(AMessage)), FErrorCode(AErrorCode) {}
  const char *ClassName() const noexcept override { return "EOleSysError"; }
  std::int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
  std::int32_t FErrorCode;
};

// An error that an automation object reports about itself.
class EOleException : public EOleSysError {
public:
  using EOleSysError::EOleSysError;
  const char *ClassName() const noexcept override { return "EOleException"; }
};

#undef BW_DECLARE_EXCEPTION

// An exception as one text: its class name and its message in quotes
// (EFOpenError "Cannot open file ..."), for a log line.
std::string ExceptionText(const Exception &AError);

// Raises EAssertionFailed "Assertion failure (<unit>, line <n>)" when the
// condition is false. Callers pass the unit and line as named constants so
// that editing the file never changes what the program prints.
void Assert(bool ACondition, const char *AUnitName, int ALine);

// Removes trailing bytes 0..32 and full stops, as system and object error
// texts are shown inside one line.
std::string TrimErrorText(std::string AText);

// The system's text for an errno value ("Permission denied"), safe from any
// thread. Take the value from errno right after the call that failed, before
// anything else can change it: an argument list that both calls and reads
// errno reads it in no fixed order.
std::string SystemErrorText(int AErrno);

// "<what>: <SystemErrorText(AErrno)>", or AWhat alone when AErrno is 0 (some
// libraries fail without setting errno, and ": Success" would mislead).
std::string SystemError(std::string_view AWhat, int AErrno);

} // namespace bw
