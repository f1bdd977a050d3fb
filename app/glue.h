// The binding of the application to the crypto library, the runtime and the
// service.
#pragma once

#include "zelk_result.h"

namespace kestrin::app {

// Installation root, the crypto library's trace exports, the runtime, and
// the trace level from the policy "trace". False when the runtime did not start.
bool ZELKGLUE_Initialize();
// Creates the service, deletes the system's own identities and runs the
// service until it stops: the service's result, or -1 when it cannot be created.
HRESULT ZELKGLUE_Run(int argc, char** argv);
HRESULT ZELKGLUE_Finalize();

}  // namespace kestrin::app
