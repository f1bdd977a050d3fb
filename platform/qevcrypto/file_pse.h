// The library's own PSE: the password-protected file "pse.zip" in the PSE
// folder (filepse/pse_file.h gives its format).
//
// Opened without the password, its certificates and trusted list are
// readable; key operations and changes need loginWithPassword first
// (E_PSE_NOTLOGGEDIN). A change is written under a lock file, onto the file
// as it is then (another process may have written it), through a temporary
// file that replaces the PSE file whole; a failed change leaves file and
// object as they were. Every read looks at the file again and takes in
// another process's change.
#pragma once

#include "qev_pse.h"

namespace kestrin::qevcrypto {

// A new PSE object over the file (one reference): E_PSE_NOPSE when there is
// no file, E_PSE_CORRUPT when it cannot be read as a PSE file.
HRESULT OpenFilePse(PSE** out);

// Creates the file under the password. `name` must be NULL (the one PSE
// file); an empty password is refused; an existing file is never replaced
// (E_PSE_EXISTS).
HRESULT InitializeFilePse(const char* name, const char* password);

}  // namespace kestrin::qevcrypto
