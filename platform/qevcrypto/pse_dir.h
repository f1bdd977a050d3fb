// The PSE folder: the user data folder "$XDG_DATA_HOME/kestrin" (default
// "~/.local/share/kestrin"), where the library keeps "pse.zip".
#pragma once

#include <string>

#include "zelk_result.h"

namespace kestrin::qevcrypto {

// The folder, created 0700 (with its missing parents) when it does not exist.
HRESULT PseDir(std::string* out);
// The path of the library's PSE file in that folder.
HRESULT PseFilePath(std::string* out);

}  // namespace kestrin::qevcrypto
