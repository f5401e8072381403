// The automation value and the late-bound call interface.
//
// Every call on the mail objects passes and returns TAutoValue, and names its
// member as text; the caller never sees the class behind an object. The
// helper chosen at the call site (Get, Call, Set) decides the call kind.
#pragma once

#include "automation/SharedBytes_un.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace bw {

class TAutoValue;

// How a member is invoked; the values are the object model's flags.
enum TInvokeKind : std::uint8_t {
  ikMethod = 1,
  ikPropertyGet = 2,
  ikMethodOrGet = 3,  // a read without arguments: method or property
  ikPropertyPut = 4,
};

// Anything that can be called by member name.
class IAutoObject {
public:
  virtual ~IAutoObject() = default;
  virtual TAutoValue Invoke(std::string_view AName, TInvokeKind AKind, std::span<const TAutoValue> AArgs) = 0;
};

using TAutoObjectRef = std::shared_ptr<IAutoObject>;

enum TAutoValueType : std::uint8_t { avEmpty, avNull, avInteger, avText, avObject, avByteArray, avOmitted };

class TAutoValue {
public:
  TAutoValue() = default;
  // Out of line: GCC 12 warns, wrongly, that an inlined move of the variant
  // may read uninitialised storage.
  TAutoValue(const TAutoValue &AOther);
  TAutoValue(TAutoValue &&AOther) noexcept;
  TAutoValue &operator=(const TAutoValue &AOther);
  TAutoValue &operator=(TAutoValue &&AOther) noexcept;
  ~TAutoValue();
  TAutoValue(int AValue) : FData(static_cast<std::int64_t>(AValue)) {}
  TAutoValue(std::int64_t AValue) : FData(AValue) {}
  TAutoValue(std::u16string AText) : FData(std::move(AText)) {}
  TAutoValue(const char16_t *AText) : FData(std::u16string(AText)) {}
  TAutoValue(TAutoObjectRef AObject) : FData(std::move(AObject)) {}
  // A byte array holds its bytes shared: copying the value, or passing it to a
  // stream, copies no bytes.
  TAutoValue(TByteArray ABytes) : FData(TSharedBytes(std::move(ABytes))) {}
  TAutoValue(TSharedBytes ABytes) : FData(std::move(ABytes)) {}
  static TAutoValue Null() { return TAutoValue(TNull{}); }
  // A missing optional argument.
  static TAutoValue Omitted() { return TAutoValue(TOmitted{}); }

  TAutoValueType Type() const noexcept { return static_cast<TAutoValueType>(FData.index()); }
  bool IsEmpty() const noexcept { return Type() == avEmpty; }
  bool IsNull() const noexcept { return Type() == avNull; }
  bool IsObject() const noexcept { return Type() == avObject; }
  // Assigning std::monostate cannot throw: the std::get that the check sees in the variant's assignment is
  // reached only when the variant already holds that type.
  void Clear() noexcept { FData = std::monostate{}; }  // NOLINT(bugprone-exception-escape)

  // To 8-bit text in the locale's code page: empty gives "", null raises
  // EVariantTypeCastError "(Null) into type (String)".
  std::string AsString() const;
  // To UTF-16: empty gives "", null raises "(Null) into type (OleStr)".
  std::u16string AsWideString() const;
  // Integers, and texts that hold a decimal number; empty gives 0.
  std::int64_t AsInteger() const;
  // The byte array held; raises EVariantTypeCastError for anything else.
  const TSharedBytes &AsByteArray() const;
  // The object held, or nullptr.
  IAutoObject *AsObject() const noexcept;
  // The name the object model gives this value's type in error messages.
  const char *TypeName() const noexcept;

  // Late-bound calls. Each raises EVariantInvalidOpError when no object is
  // held, and passes on whatever the object raises.
  template <class... TArgs> TAutoValue Get(std::string_view AName, TArgs &&...AArgs) const {
    const std::array<TAutoValue, sizeof...(TArgs)> Args{TAutoValue(std::forward<TArgs>(AArgs))...};
    return Invoke(AName, sizeof...(TArgs) == 0 ? ikMethodOrGet : ikPropertyGet, Args);
  }
  template <class... TArgs> TAutoValue Call(std::string_view AName, TArgs &&...AArgs) const {
    const std::array<TAutoValue, sizeof...(TArgs)> Args{TAutoValue(std::forward<TArgs>(AArgs))...};
    return Invoke(AName, ikMethod, Args);
  }
  void Set(std::string_view AName, TAutoValue AValue) const;

  TAutoValue Invoke(std::string_view AName, TInvokeKind AKind, std::span<const TAutoValue> AArgs) const;

private:
  struct TNull {};
  struct TOmitted {};
  explicit TAutoValue(TNull) : FData(TNull{}) {}
  explicit TAutoValue(TOmitted) : FData(TOmitted{}) {}

  // Order matches TAutoValueType.
  std::variant<std::monostate, TNull, std::int64_t, std::u16string, TAutoObjectRef, TSharedBytes, TOmitted> FData;
};

// Object-model status codes whose system texts the stand-ins raise.
enum : std::int32_t {
  DISP_E_MEMBERNOTFOUND = static_cast<std::int32_t>(0x80020003),
  DISP_E_PARAMNOTFOUND = static_cast<std::int32_t>(0x80020004),
  DISP_E_TYPEMISMATCH = static_cast<std::int32_t>(0x80020005),
  DISP_E_EXCEPTION = static_cast<std::int32_t>(0x80020009),
  DISP_E_BADPARAMCOUNT = static_cast<std::int32_t>(0x8002000E),
  CO_E_CLASSSTRING = static_cast<std::int32_t>(0x800401F3),
  E_FAIL = static_cast<std::int32_t>(0x80004005),
};

// Raises EOleSysError with the system's text for the status code, or
// "OLE error %.8x" when there is none.
[[noreturn]] void OleError(std::int32_t AErrorCode);

// Raises the error an object reports about itself: EOleException with the
// description cut of trailing blanks, control characters and full stops (the
// status code's text when nothing is left).
[[noreturn]] void OleException(std::string_view ADescription, std::int32_t AErrorCode = DISP_E_EXCEPTION);

} // namespace bw
