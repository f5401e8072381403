// Base for stand-in objects: one table of members, looked up by name without
// regard to case, as late binding does.
#pragma once

#include "automation/AutoValue_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <memory>

namespace bw {

// The one thing a member table enforces: whether a put may reach the member.
// Calls and reads are not told apart (see Invoke).
enum TWriteAccess : std::uint8_t { waReadOnly, waWritable };

template <class TDerived> class TAutoObject : public IAutoObject, public std::enable_shared_from_this<TDerived> {
public:
  using THandler = TAutoValue (TDerived::*)(TInvokeKind AKind, std::span<const TAutoValue> AArgs);
  struct TMember {
    std::string_view Name;
    TWriteAccess Access;
    THandler Handler;
  };

  TAutoValue Invoke(std::string_view AName, TInvokeKind AKind, std::span<const TAutoValue> AArgs) override {
    for (const TMember &Member : TDerived::Members()) {
      if (!SameText(Member.Name, AName))
        continue;
      // The rule for call kinds, and the only place it is applied: a put reaches
      // only a writable member (else DISP_E_MEMBERNOTFOUND); every other kind
      // reaches any member, since IDispatch lets a method call read a property
      // and a read call a method. A handler that serves puts tells them apart
      // by AKind.
      if (AKind == ikPropertyPut && Member.Access != waWritable)
        OleError(DISP_E_MEMBERNOTFOUND);
      return (static_cast<TDerived *>(this)->*Member.Handler)(AKind, AArgs);
    }
    throw EOleError("Method '" + std::string(AName) + "' not supported by automation object");
  }

protected:
  // For a property that can only be written: a read finds no member, as a put
  // on a read-only member does.
  static void ExpectPut(TInvokeKind AKind) {
    if (AKind != ikPropertyPut)
      OleError(DISP_E_MEMBERNOTFOUND);
  }
  // Argument checks shared by every handler.
  static void ExpectArgs(std::span<const TAutoValue> AArgs, std::size_t AMin, std::size_t AMax) {
    if (AArgs.size() < AMin || AArgs.size() > AMax)
      OleError(DISP_E_BADPARAMCOUNT);
  }
  static bool IsMissing(std::span<const TAutoValue> AArgs, std::size_t AIndex) {
    return AIndex >= AArgs.size() || AArgs[AIndex].Type() == avOmitted;
  }
  static std::int64_t IntegerArg(std::span<const TAutoValue> AArgs, std::size_t AIndex) {
    const TAutoValue &Arg = AArgs[AIndex];
    if (Arg.Type() != avInteger)
      OleError(DISP_E_TYPEMISMATCH);
    return Arg.AsInteger();
  }
  static std::u16string TextArg(std::span<const TAutoValue> AArgs, std::size_t AIndex) {
    const TAutoValue &Arg = AArgs[AIndex];
    if (Arg.Type() != avText && Arg.Type() != avEmpty)
      OleError(DISP_E_TYPEMISMATCH);
    return Arg.AsWideString();
  }
};

} // namespace bw
