// Conversions, late-bound dispatch and the OLE error helpers.
#include "automation/AutoValue_un.h"

#include "rtl/Charset_un.h"
#include "rtl/Format_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <charconv>
#include <cstdio>

namespace bw {

TAutoValue::TAutoValue(const TAutoValue &AOther) = default;
TAutoValue::TAutoValue(TAutoValue &&AOther) noexcept = default;
TAutoValue &TAutoValue::operator=(const TAutoValue &AOther) = default;
TAutoValue &TAutoValue::operator=(TAutoValue &&AOther) noexcept = default;
TAutoValue::~TAutoValue() = default;

const char *TAutoValue::TypeName() const noexcept {
  switch (Type()) {
  case avEmpty: return "Empty";
  case avNull: return "Null";
  case avInteger: return "Int64";
  case avText: return "OleStr";
  case avObject: return "Dispatch";
  case avByteArray: return "Array Byte";
  case avOmitted: return "Error";
  }
  return "Unknown";
}

static constexpr const char *CastErrorFormat = "Could not convert variant of type (%s) into type (%s)";

[[noreturn]] static void CastError(const TAutoValue &AValue, const char *ATarget) {
  throw EVariantTypeCastError(FormatMessage(CastErrorFormat, {AValue.TypeName(), ATarget}));
}

std::string TAutoValue::AsString() const {
  switch (Type()) {
  case avEmpty: return {};
  case avText: return WideToAnsi(std::get<std::u16string>(FData));
  case avInteger: return std::to_string(std::get<std::int64_t>(FData));
  default: CastError(*this, "String");
  }
}

std::u16string TAutoValue::AsWideString() const {
  switch (Type()) {
  case avEmpty: return {};
  case avText: return std::get<std::u16string>(FData);
  case avInteger: return AnsiToWide(std::to_string(std::get<std::int64_t>(FData)));
  default: CastError(*this, "OleStr");
  }
}

std::int64_t TAutoValue::AsInteger() const {
  switch (Type()) {
  case avEmpty: return 0;
  case avInteger: return std::get<std::int64_t>(FData);
  case avText: {
    const std::string Text = TrimBytes(AsString());
    std::int64_t Value = 0;
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Error == std::errc() && End == Text.data() + Text.size() && !Text.empty())
      return Value;
    CastError(*this, "Int64");
  }
  default: CastError(*this, "Int64");
  }
}

const TSharedBytes &TAutoValue::AsByteArray() const {
  if (Type() != avByteArray)
    CastError(*this, "Array Byte");
  return std::get<TSharedBytes>(FData);
}

IAutoObject *TAutoValue::AsObject() const noexcept {
  return IsObject() ? std::get<TAutoObjectRef>(FData).get() : nullptr;
}

TAutoValue TAutoValue::Invoke(std::string_view AName, TInvokeKind AKind, std::span<const TAutoValue> AArgs) const {
  IAutoObject *Object = AsObject();
  if (!Object)
    throw EVariantInvalidOpError("Invalid variant operation");
  // Hold a reference for the call: the object may be the only thing keeping
  // itself alive if the caller's value is reassigned from the result.
  const TAutoObjectRef Keep = std::get<TAutoObjectRef>(FData);
  return Object->Invoke(AName, AKind, AArgs);
}

void TAutoValue::Set(std::string_view AName, TAutoValue AValue) const {
  const TAutoValue Args[] = {std::move(AValue)};
  Invoke(AName, ikPropertyPut, Args);
}

static const char *SystemText(std::int32_t AErrorCode) {
  switch (AErrorCode) {
  case DISP_E_MEMBERNOTFOUND: return "Member not found.";
  case DISP_E_PARAMNOTFOUND: return "Parameter not found.";
  case DISP_E_TYPEMISMATCH: return "Type mismatch.";
  case DISP_E_EXCEPTION: return "Exception occurred.";
  case DISP_E_BADPARAMCOUNT: return "Invalid number of parameters.";
  case CO_E_CLASSSTRING: return "Invalid class string";
  case E_FAIL: return "Unspecified error";
  default: return nullptr;
  }
}

static std::string ErrorCodeText(std::int32_t AErrorCode) {
  if (const char *Text = SystemText(AErrorCode))
    return TrimErrorText(Text);
  char Buffer[32];
  std::snprintf(Buffer, sizeof Buffer, "OLE error %.8x", static_cast<unsigned>(AErrorCode));
  return Buffer;
}

void OleError(std::int32_t AErrorCode) { throw EOleSysError(ErrorCodeText(AErrorCode), AErrorCode); }

void OleException(std::string_view ADescription, std::int32_t AErrorCode) {
  std::string Message = TrimErrorText(std::string(ADescription));
  if (Message.empty())
    Message = ErrorCodeText(AErrorCode);
  throw EOleException(std::move(Message), AErrorCode);
}

} // namespace bw
