#include "ossl_random.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>

namespace kestrin::qevcrypto::ossl {

HRESULT RandomBytes(uint8_t* out, size_t length)
{
    if (out == nullptr && length != 0)
        return E_INVALIDARG;
    while (length > 0) {
        int n = static_cast<int>(std::min<size_t>(length, INT_MAX));
        if (RAND_bytes(out, n) != 1)
            return E_FAIL;
        out += n;
        length -= static_cast<size_t>(n);
    }
    return S_OK;
}

}  // namespace kestrin::qevcrypto::ossl
