// "SEC_CRYPTO_1": message authentication codes.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>

#include "qev_crypt.h"
#include "qev_mac.h"
#include "qev_tables.h"

namespace {

HRESULT sec_crypto_hmac(unsigned int hash, const unsigned char* key, uint64_t keyLength, const unsigned char* data,
                        uint64_t dataLength, unsigned char* out, uint64_t* outLength)
{
    if (outLength == nullptr || (key == nullptr && keyLength > 0) || (data == nullptr && dataLength > 0))
        return E_INVALIDARG;
    if (hash != SEC_MAC_HASH_SHA1 || keyLength > INT32_MAX)
        return E_INVALIDARG;
    const EVP_MD* md = EVP_sha1();
    const uint64_t needed = static_cast<uint64_t>(EVP_MD_get_size(md));
    if (out == nullptr || *outLength < needed) {
        *outLength = needed;
        return SEC_E_BUFFER_TOO_SMALL;
    }
    static const unsigned char kEmpty = 0;
    unsigned int written = 0;
    if (HMAC(md, key != nullptr ? key : &kEmpty, static_cast<int>(keyLength), data != nullptr ? data : &kEmpty,
             static_cast<size_t>(dataLength), out, &written)
        == nullptr)
        return E_FAIL;
    *outLength = written;
    return S_OK;
}

HRESULT sec_crypto_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_CRYPTO_1", "message authentication codes");
}

QevTable<> s_table("SEC_CRYPTO_1", &sec_crypto_get_info, {{1, qev_slot(&sec_crypto_hmac)}});

}  // namespace
