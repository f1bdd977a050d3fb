// "SEC_CRYPT_1": key pairs, digest encryption and ciphers.
#include "ossl/ossl_cipher.h"
#include "ossl/ossl_hash.h"
#include "qev_crypt.h"
#include "qev_tables.h"
#include "sec_attr.h"
#include "sec_crypt_keys.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

HRESULT sec_crypt_gen_key(const SECAttribute* attributes, KeyInfo** key)
{
    if (key == nullptr)
        return E_POINTER;
    *key = nullptr;
    uint64_t bits = AttributeNumber(attributes, SEC_ATTR_KEY_BITS, 0);
    ossl::SecretBytes bytes;
    HRESULT hr = ossl::GenerateSymmetricKey(bits, bytes);
    if (FAILED(hr))
        return hr;
    KeyInfo* k = values::NewZeroed<KeyInfo>();
    if (k == nullptr)
        return E_OUTOFMEMORY;
    k->key = static_cast<unsigned char*>(std::malloc(bytes.size()));
    if (k->key == nullptr) {
        std::free(k);
        return E_OUTOFMEMORY;
    }
    std::copy(bytes.begin(), bytes.end(), k->key);
    k->bits = bits;
    *key = k;
    return S_OK;
}

HRESULT ReadSpec(const SECAttribute* attributes, ossl::CipherSpec& cipher)
{
    const SECAttribute* key = FindAttribute(attributes, SEC_ATTR_KEY);
    const SECAttribute* algorithm = FindAttribute(attributes, SEC_ATTR_ALGORITHM);
    if (key == nullptr || key->value == nullptr || algorithm == nullptr)
        return E_INVALIDARG;
    const KeyInfo* k = static_cast<const KeyInfo*>(key->value);
    if (k->key == nullptr)
        return E_INVALIDARG;
    cipher.key = k->key;
    cipher.keyBits = k->bits;
    cipher.algorithm = static_cast<unsigned int>(reinterpret_cast<uintptr_t>(algorithm->value));
    cipher.mode = static_cast<unsigned int>(AttributeNumber(attributes, SEC_ATTR_MODE, SEC_MODE_ECB));
    cipher.decrypt = FindAttribute(attributes, SEC_ATTR_DECRYPT) != nullptr;
    uint64_t padding = AttributeNumber(attributes, SEC_ATTR_PADDING, SEC_PADDING_PKCS);
    if (padding != 0 && padding != SEC_PADDING_PKCS)
        return E_INVALIDARG;
    cipher.padding = padding == SEC_PADDING_PKCS;
    if (const SECAttribute* iv = FindAttribute(attributes, SEC_ATTR_IV); iv != nullptr && iv->value != nullptr) {
        const OctetString* s = static_cast<const OctetString*>(iv->value);
        cipher.iv = s->data;
        cipher.ivLength = s->length;
    }
    cipher.feedbackLength = AttributeNumber(attributes, SEC_ATTR_IV_LENGTH, 0);
    return S_OK;
}

HRESULT sec_crypt_cipher(const SECAttribute* attributes, const unsigned char* in, uint64_t inLength, unsigned char* out,
                         uint64_t* outLength)
{
    if (outLength == nullptr)
        return E_POINTER;
    const SECAttribute* decrypt = FindAttribute(attributes, SEC_ATTR_DECRYPT);
    if (decrypt != nullptr && decrypt->value != nullptr)
        return DecryptWithPrivateKey(static_cast<const SECAttribute*>(decrypt->value), in, inLength, out, outLength);
    ossl::CipherSpec cipher;
    HRESULT hr = ReadSpec(attributes, cipher);
    if (FAILED(hr)) {
        *outLength = 0;
        return hr;
    }
    size_t length = *outLength;
    hr = ossl::RunCipher(cipher, in, inLength, out, length);
    *outLength = length;
    return hr;
}

HRESULT sec_crypt_output_size(const SECAttribute* attributes, uint64_t inLength, uint64_t* outLength)
{
    if (outLength == nullptr)
        return E_POINTER;
    *outLength = 0;
    ossl::CipherSpec cipher;
    HRESULT hr = ReadSpec(attributes, cipher);
    if (FAILED(hr))
        return hr;
    size_t length = 0;
    hr = ossl::CipherOutputSize(cipher, inLength, length);
    *outLength = length;
    return hr;
}

HRESULT sec_crypt_hash_all(const SECAttribute* attributes, const unsigned char* data, uint64_t length,
                           unsigned char* out, uint64_t* outLength)
{
    if (outLength == nullptr)
        return E_POINTER;
    const SECAttribute* hash = FindAttribute(attributes, SEC_ATTR_HASH);
    if (hash == nullptr) {
        *outLength = 0;
        return E_INVALIDARG;
    }
    size_t n = *outLength;
    HRESULT hr =
        ossl::HashAll(static_cast<unsigned int>(reinterpret_cast<uintptr_t>(hash->value)), data, length, out, n);
    *outLength = n;
    return hr;
}

HRESULT sec_crypt_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_CRYPT_1", "key pairs, digest encryption and ciphers");
}

QevTable<> s_table("SEC_CRYPT_1", &sec_crypt_get_info,
                   {{1, qev_slot(&sec_crypt_gen_key)},
                    {18, qev_slot(&sec_crypt_cipher)},
                    {22, qev_slot(&sec_crypt_hash_all)},
                    {44, qev_slot(&sec_crypt_output_size)}});

// The typed view ends with the last slot filled here.
static_assert(sizeof(SEC_CRYPT_TABLE) == 45 * sizeof(void*));

}  // namespace
