// Digests over OpenSSL, named by the crypto library's hash codes.
#pragma once

#include "ossl_util.h"
#include "zelk_result.h"

namespace qev::ossl {

enum HashCode : unsigned int { HASH_SHA1 = 1, HASH_SHA256 = 2, HASH_SHA384 = 3, HASH_SHA512 = 4, HASH_MD5 = 5 };

// The digest of `data`; `outLength` holds the buffer's size on entry and the
// digest's length on return. A buffer too small for the digest is refused.
HRESULT HashAll(unsigned int code, const uint8_t* data, size_t length, uint8_t* out, size_t& outLength);

}  // namespace qev::ossl
