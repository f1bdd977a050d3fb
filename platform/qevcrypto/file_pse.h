// The library's own PSE: the password-protected file "pse.zip" in the PSE
// folder.
#pragma once

#include "qev_pse.h"

namespace kestrin::qevcrypto {

// A new PSE object over the file (one reference): E_PSE_NOPSE when there is
// no file, E_PSE_CORRUPT when it cannot be read as a PSE file.
HRESULT OpenFilePse(PSE** out);

}  // namespace kestrin::qevcrypto
