// "SEC_ENCODE_1" slot 5: the SHA-1 fingerprint of bytes (a certificate's
// DER) as 40 upper-case hexadecimal digits, the form the GUI models show and
// the profile choice compares.
#include <openssl/evp.h>

#include <cstdlib>

#include "qev_tables.h"
#include "qevcrypto_encode.h"

namespace {

HRESULT sec_fingerprint(const unsigned char* data, size_t length, int digits, int group, int algorithm, char** text)
{
    if (text == nullptr)
        return E_INVALIDARG;
    *text = nullptr;
    if ((data == nullptr && length > 0) || digits != SEC_FINGERPRINT_DIGITS || group != SEC_FINGERPRINT_GROUP
        || algorithm != SEC_FINGERPRINT_SHA1)
        return E_INVALIDARG;
    static const unsigned char kEmpty = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data != nullptr ? data : &kEmpty, length, digest, &size, EVP_sha1(), nullptr) != 1 || size != 20)
        return E_FAIL;
    auto* out = static_cast<char*>(malloc(2 * size + 1));
    if (out == nullptr)
        return E_OUTOFMEMORY;
    static const char kDigits[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < size; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    out[2 * size] = '\0';
    *text = out;
    return S_OK;
}

QevSlotFill s_fingerprint(SEC_ENCODE_API, 5, qev_slot(&sec_fingerprint));

}  // namespace
