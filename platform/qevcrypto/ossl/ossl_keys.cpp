#include "ossl_keys.h"

#include <climits>

#include "ossl_util.h"

namespace kestrin::qevcrypto::ossl {

HRESULT KeysMatch(const uint8_t* spki, size_t spkiLength, const uint8_t* pkcs8, size_t pkcs8Length)
{
    if (spki == nullptr || pkcs8 == nullptr || spkiLength == 0 || pkcs8Length == 0 || spkiLength > LONG_MAX
        || pkcs8Length > LONG_MAX)
        return E_INVALIDARG;
    const unsigned char* p = spki;
    EvpPkeyPtr pub(d2i_PUBKEY(nullptr, &p, static_cast<long>(spkiLength)));
    p = pkcs8;
    P8InfPtr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8Length)));
    if (!pub || !p8)
        return E_INVALIDARG;
    EvpPkeyPtr priv(EVP_PKCS82PKEY(p8.get()));
    if (!priv)
        return E_INVALIDARG;
    return EVP_PKEY_eq(pub.get(), priv.get()) == 1 ? S_OK : S_FALSE;
}

}  // namespace kestrin::qevcrypto::ossl
