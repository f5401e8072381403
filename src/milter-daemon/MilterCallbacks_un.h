// The thin shim between libmilter's C callbacks and TMilterSession.
#pragma once

#include "milter/MilterContext_un.h"

namespace bw {

// Registers the callbacks with libmilter. AContext must outlive every
// libmilter thread: it lives as long as the process.
bool RegisterMilter(TMilterContext &AContext);

} // namespace bw
