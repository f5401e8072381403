// The class registry behind CreateOleObject.
#include "automation/ComObj_un.h"

#include "rtl/StrUtils_un.h"

#include <string>
#include <utility>
#include <vector>

namespace bw {

namespace {
struct TRegisteredClass {
  std::string ProgID;
  TObjectFactory Factory;
};
} // namespace

// A function-local static: its construction is thread-safe, and after
// start-up it is only read.
static std::vector<TRegisteredClass> &Registry() {
  static std::vector<TRegisteredClass> Classes;
  return Classes;
}

void RegisterOleClass(std::string_view AProgID, TObjectFactory AFactory) {
  for (TRegisteredClass &Class : Registry())
    if (SameText(Class.ProgID, AProgID)) {
      Class.Factory = std::move(AFactory);
      return;
    }
  Registry().push_back({std::string(AProgID), std::move(AFactory)});
}

void UnregisterOleClass(std::string_view AProgID) noexcept {
  std::erase_if(Registry(), [AProgID](const TRegisteredClass &AClass) { return SameText(AClass.ProgID, AProgID); });
}

void UnregisterOleClasses() noexcept { Registry().clear(); }

TAutoValue CreateOleObject(std::string_view AProgID) {
  for (const TRegisteredClass &Class : Registry())
    if (SameText(Class.ProgID, AProgID))
      return TAutoValue(Class.Factory());
  OleError(CO_E_CLASSSTRING);
}

} // namespace bw
