#include "ossl_cipher.h"

#include <openssl/rand.h>

#include <climits>
#include <string>

#include "ossl_providers.h"

namespace kestrin::qevcrypto::ossl {
namespace {

struct CipherInfo {
    unsigned int code;
    const char* family;  // EVP name without the mode suffix
    size_t keyBits;      // as the caller gives the key; 0: variable
    size_t evpKeyBytes;  // as OpenSSL takes it
    bool legacy;
};

constexpr CipherInfo kCiphers[] = {
    {CIPHER_DES, "DES", 56, 8, true},
    {CIPHER_DES_EDE3_168, "DES-EDE3", 168, 24, false},
    {CIPHER_DES_EDE, "DES-EDE", 128, 16, false},
    {CIPHER_RC4, "RC4", 0, 0, true},
    {CIPHER_DES_EDE3, "DES-EDE3", 192, 24, false},
    {CIPHER_AES128, "AES-128", 128, 16, false},
    {CIPHER_AES192, "AES-192", 192, 24, false},
    {CIPHER_AES256, "AES-256", 256, 32, false},
};

const CipherInfo* FindCipher(unsigned int code)
{
    for (const CipherInfo& c : kCiphers)
        if (c.code == code)
            return &c;
    return nullptr;
}

// DES keys given without parity bits: every 7 key bits gain a parity bit.
SecretBytes AddDesParity(const uint8_t* key, size_t bits)
{
    SecretBytes out(bits / 7);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned v = 0;
        for (size_t b = 0; b < 7; ++b) {
            size_t bit = i * 7 + b;
            v = (v << 1) | ((key[bit / 8] >> (7 - bit % 8)) & 1u);
        }
        out[i] = static_cast<uint8_t>(v << 1);
    }
    for (uint8_t& byte : out) {
        unsigned ones = 0;
        for (unsigned v = byte; v != 0; v >>= 1)
            ones += v & 1u;
        if (ones % 2 == 0)
            byte ^= 1u;
    }
    return out;
}

std::string EvpName(const CipherInfo& c, unsigned int mode)
{
    if (c.code == CIPHER_RC4)
        return c.family;
    std::string name = c.family;
    switch (mode) {
    case MODE_ECB:
        return name + "-ECB";
    case MODE_CBC:
        return name + "-CBC";
    case MODE_CFB:
        return name + "-CFB";
    default:
        return {};
    }
}

struct Prepared {
    EvpCipherPtr cipher;
    SecretBytes key;
    size_t blockSize = 1;
};

HRESULT Prepare(const CipherSpec& cipher, Prepared& p)
{
    const CipherInfo* info = FindCipher(cipher.algorithm);
    if (info == nullptr || cipher.key == nullptr)
        return E_INVALIDARG;
    if (info->legacy && !EnsureLegacyProvider())
        return E_FAIL;
    std::string name = EvpName(*info, cipher.mode);
    if (name.empty())
        return E_INVALIDARG;
    p.cipher.reset(EVP_CIPHER_fetch(nullptr, name.c_str(), nullptr));
    if (!p.cipher)
        return E_FAIL;
    if (info->keyBits == 0) {
        if (cipher.keyBits < 40 || cipher.keyBits > 2048 || cipher.keyBits % 8 != 0)
            return SEC_E_KEY_LENGTH;
        p.key.assign(cipher.key, cipher.key + cipher.keyBits / 8);
    } else if (cipher.keyBits != info->keyBits) {
        return SEC_E_KEY_LENGTH;
    } else if (info->evpKeyBytes * 8 != info->keyBits) {
        p.key = AddDesParity(cipher.key, cipher.keyBits);
    } else {
        p.key.assign(cipher.key, cipher.key + cipher.keyBits / 8);
    }
    size_t ivLen = static_cast<size_t>(EVP_CIPHER_get_iv_length(p.cipher.get()));
    if (ivLen != 0 && (cipher.iv == nullptr || cipher.ivLength != ivLen))
        return E_INVALIDARG;
    p.blockSize = static_cast<size_t>(EVP_CIPHER_get_block_size(p.cipher.get()));
    if (cipher.mode == MODE_CFB && cipher.feedbackLength != 0 && cipher.feedbackLength != ivLen)
        return E_INVALIDARG;
    return S_OK;
}

}  // namespace

HRESULT GenerateSymmetricKey(unsigned long bits, SecretBytes& key)
{
    key.clear();
    if (bits == 0 || bits > kMaxSymmetricKeyBits)
        return SEC_E_KEY_LENGTH;
    key.resize((bits + 7) / 8);
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        key.clear();
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CipherOutputSize(const CipherSpec& cipher, size_t inLength, size_t& outLength)
{
    outLength = 0;
    Prepared p;
    HRESULT hr = Prepare(cipher, p);
    if (FAILED(hr))
        return hr;
    if (inLength > INT_MAX - 2 * EVP_MAX_BLOCK_LENGTH)
        return E_INVALIDARG;
    outLength = inLength;
    if (!cipher.decrypt && cipher.padding && p.blockSize > 1)
        outLength = (inLength / p.blockSize + 1) * p.blockSize;
    return S_OK;
}

HRESULT RunCipher(const CipherSpec& cipher, const uint8_t* in, size_t inLength, uint8_t* out, size_t& outLength)
{
    size_t capacity = outLength;
    outLength = 0;
    size_t needed = 0;
    HRESULT hr = CipherOutputSize(cipher, inLength, needed);
    if (FAILED(hr))
        return hr;
    if ((in == nullptr && inLength != 0) || out == nullptr || capacity < needed)
        return E_INVALIDARG;
    Prepared p;
    hr = Prepare(cipher, p);
    if (FAILED(hr))
        return hr;
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return E_OUTOFMEMORY;
    int enc = cipher.decrypt ? 0 : 1;
    if (!EVP_CipherInit_ex2(ctx.get(), p.cipher.get(), nullptr, nullptr, enc, nullptr))
        return E_FAIL;
    if (EVP_CIPHER_CTX_get_key_length(ctx.get()) != static_cast<int>(p.key.size())
        && !EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(p.key.size())))
        return E_FAIL;
    if (!EVP_CipherInit_ex2(ctx.get(), nullptr, p.key.data(), cipher.iv, enc, nullptr))
        return E_FAIL;
    EVP_CIPHER_CTX_set_padding(ctx.get(), cipher.padding ? 1 : 0);
    // A decryption may write one block more before the padding is removed.
    SecretBytes work(inLength + p.blockSize);
    int n = 0;
    int fin = 0;
    if (!EVP_CipherUpdate(ctx.get(), work.data(), &n, in, static_cast<int>(inLength))
        || !EVP_CipherFinal_ex(ctx.get(), work.data() + n, &fin))
        return E_FAIL;
    size_t total = static_cast<size_t>(n) + static_cast<size_t>(fin);
    if (total > capacity)
        return E_FAIL;
    std::copy(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(total), out);
    outLength = total;
    return S_OK;
}

}  // namespace kestrin::qevcrypto::ossl
