// Runtime guard for the stand-ins.
#include "automation/AutomationRuntime_un.h"

#include "automation/ComObj_un.h"
#include "automation/mime/CdoMessage_un.h"
#include "automation/stream/AdoStream_un.h"

#include <gmime/gmime.h>

namespace bw {

TAutomationRuntime::TAutomationRuntime() {
  g_mime_init();
  RegisterAdoStream();
  RegisterCdoMessage();
}

TAutomationRuntime::~TAutomationRuntime() {
  UnregisterOleClasses();
  g_mime_shutdown();
}

} // namespace bw
