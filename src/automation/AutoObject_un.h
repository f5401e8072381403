// Base for stand-in objects: one table of members, looked up by name without
// regard to case, as late binding does.
#pragma once

#include "automation/AutoValue_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <memory>

namespace bw {

// Allowed kinds of a member, as a mask of TInvokeKind bits.
enum : std::uint8_t {
  mkMethod = ikMethod,
  mkGet = ikPropertyGet | ikMethodOrGet,
  mkPut = ikPropertyPut,
};

template <class TDerived> class TAutoObject : public IAutoObject, public std::enable_shared_from_this<TDerived> {
public:
  using THandler = TAutoValue (TDerived::*)(TInvokeKind AKind, std::span<const TAutoValue> AArgs);
  struct TMember {
    std::string_view Name;
    std::uint8_t Kinds;
    THandler Handler;
  };

  TAutoValue Invoke(std::string_view AName, TInvokeKind AKind, std::span<const TAutoValue> AArgs) override {
    for (const TMember &Member : TDerived::Members()) {
      if (!SameText(Member.Name, AName))
        continue;
      // A put is only a put; a method call may read a property, as IDispatch allows.
      const bool Allowed = AKind == ikPropertyPut ? (Member.Kinds & mkPut) != 0
                                                  : (Member.Kinds & (mkMethod | mkGet)) != 0;
      if (!Allowed)
        OleError(DISP_E_MEMBERNOTFOUND);
      return (static_cast<TDerived *>(this)->*Member.Handler)(AKind, AArgs);
    }
    throw EOleError("Method '" + std::string(AName) + "' not supported by automation object");
  }

protected:
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
