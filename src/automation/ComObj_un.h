// Creation of automation objects by ProgID from a registry of classes.
#pragma once

#include "automation/AutoValue_un.h"

#include <functional>
#include <string_view>

namespace bw {

using TObjectFactory = std::function<TAutoObjectRef()>;

// Registers a class under its ProgID (matched without regard to case).
void RegisterOleClass(std::string_view AProgID, TObjectFactory AFactory);
// Forgets every registered class.
void UnregisterOleClasses() noexcept;

// A new object of the class registered under AProgID. An unknown ProgID
// raises EOleSysError "Invalid class string".
TAutoValue CreateOleObject(std::string_view AProgID);

} // namespace bw
