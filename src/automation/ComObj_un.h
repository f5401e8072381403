// Creation of automation objects by ProgID from a registry of classes.
//
// The registry is written only while one thread runs (start-up and shut-down,
// see TAutomationRuntime) and only read in between, so CreateOleObject may be
// called from any number of threads at once without a lock.
#pragma once

#include "automation/AutoValue_un.h"

#include <functional>
#include <string_view>

namespace bw {

// Builds a new object; called concurrently, so it must not touch shared state.
using TObjectFactory = std::function<TAutoObjectRef()>;

// Registers a class under its ProgID (matched without regard to case),
// replacing an earlier registration of the same ProgID. Not while other
// threads create objects.
void RegisterOleClass(std::string_view AProgID, TObjectFactory AFactory);
// Forgets the class registered under AProgID, if any; likewise not while
// other threads create objects.
void UnregisterOleClass(std::string_view AProgID) noexcept;
// Forgets every registered class.
void UnregisterOleClasses() noexcept;

// A new object of the class registered under AProgID. An unknown ProgID
// raises EOleSysError "Invalid class string".
TAutoValue CreateOleObject(std::string_view AProgID);

} // namespace bw
