// What the provider front of module "zelkpse" reaches of its own parts: the
// PSE creators by name scheme and the trace hook of client programs.
#pragma once

#include "qev_pse.h"

namespace ZELK::ZELKPSE {

// Installs, once per process, the trace hook of a client program: the crypto
// library's trace lines go to syslog and its level follows the policy
// "trace" "Level". Without the library's exports or the policy path nothing
// is installed and the level stays 0.
void ZELKPSE_EnableTraces();
// Removes the hook and the policy callback (module finalisation).
void ZELKPSE_DisableTraces();

}  // namespace ZELK::ZELKPSE
