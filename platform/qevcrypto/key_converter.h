// The library's key converter over OpenSSL (qev_keyconvert.h): one private
// key and the certificates that came with it or were added, handed out as PSE
// images, PKCS#12 files and chains. Key bytes live in wiping buffers.
#pragma once

#include "qev_keyconvert.h"

namespace kestrin::qevcrypto {

// A new, empty converter with one reference.
HRESULT CreateKeyConverter(KeyConverter** out);

}  // namespace kestrin::qevcrypto
