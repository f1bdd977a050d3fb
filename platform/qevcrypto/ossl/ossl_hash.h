// Digests over OpenSSL, named by the crypto library's hash codes.
#pragma once

#include "ossl_util.h"
#include "qev_crypt.h"

namespace kestrin::qevcrypto::ossl {

enum HashCode : unsigned int {
    HASH_SHA1 = SEC_HASH_SHA1,
    HASH_SHA256 = SEC_HASH_SHA256,
    HASH_SHA384 = SEC_HASH_SHA384,
    HASH_SHA512 = SEC_HASH_SHA512,
};

// The digest of `data`; `outLength` holds the buffer's size on entry and the
// digest's length on return. A buffer too small for the digest is refused.
HRESULT HashAll(unsigned int code, const uint8_t* data, size_t length, uint8_t* out, size_t& outLength);

}  // namespace kestrin::qevcrypto::ossl
