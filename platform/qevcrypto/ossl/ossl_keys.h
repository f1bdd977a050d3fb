// Checks over encoded keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

namespace kestrin::qevcrypto::ossl {

// Whether a DER SubjectPublicKeyInfo and a DER PrivateKeyInfo are the two
// halves of one key: S_OK when they are, S_FALSE when not, E_INVALIDARG when
// either cannot be read.
HRESULT KeysMatch(const uint8_t* spki, size_t spkiLength, const uint8_t* pkcs8, size_t pkcs8Length);

}  // namespace kestrin::qevcrypto::ossl
