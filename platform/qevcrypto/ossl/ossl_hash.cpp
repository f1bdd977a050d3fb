#include "ossl_hash.h"

namespace kestrin::qevcrypto::ossl {

HRESULT HashAll(unsigned int code, const uint8_t* data, size_t length, uint8_t* out, size_t& outLength)
{
    size_t capacity = outLength;
    outLength = 0;
    const char* name = nullptr;
    switch (code) {
    case HASH_SHA1:
        name = "SHA1";
        break;
    case HASH_SHA256:
        name = "SHA256";
        break;
    case HASH_SHA384:
        name = "SHA384";
        break;
    case HASH_SHA512:
        name = "SHA512";
        break;
    default:
        return E_INVALIDARG;
    }
    if ((data == nullptr && length != 0) || out == nullptr)
        return E_INVALIDARG;
    EvpMdPtr md(EVP_MD_fetch(nullptr, name, nullptr));
    if (!md)
        return E_FAIL;
    if (capacity < static_cast<size_t>(EVP_MD_get_size(md.get())))
        return E_INVALIDARG;
    static const uint8_t empty = 0;
    unsigned int len = 0;
    if (!EVP_Digest(data != nullptr ? data : &empty, length, out, &len, md.get(), nullptr))
        return E_FAIL;
    outLength = len;
    return S_OK;
}

}  // namespace kestrin::qevcrypto::ossl
