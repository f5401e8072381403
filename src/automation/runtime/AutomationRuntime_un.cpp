// Runtime guard for the stand-ins.
#include "automation/runtime/AutomationRuntime_un.h"

#include "automation/ComObj_un.h"
#include "automation/mime/CdoMessage_un.h"
#include "automation/stream/AdoStream_un.h"

namespace bw {

// Every registration happens here, before any other thread can create an
// object, which keeps the registry read-only while checks run.
TAutomationRuntime::TAutomationRuntime() {
  RegisterCdoMessage();
  RegisterAdoStream();
}

TAutomationRuntime::~TAutomationRuntime() {
  UnregisterOleClasses();
  UnregisterCdoMessage();
}

} // namespace bw
