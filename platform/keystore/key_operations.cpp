// Signing and decryption with an identity's private key, which is decoded
// only for the call and never handed out.
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "keystore_impl.h"
#include "ossl_util.h"

namespace kestrin::keystore {
namespace {

using detail::EvpPkeyPtr;

constexpr size_t kMaxCiphertextSize = 64 << 10;

const char* DigestName(Digest digest)
{
    switch (digest) {
    case Digest::Sha1:
        return "SHA1";
    case Digest::Sha256:
        return "SHA256";
    case Digest::Sha384:
        return "SHA384";
    case Digest::Sha512:
        return "SHA512";
    }
    return nullptr;
}

size_t DigestSize(Digest digest)
{
    switch (digest) {
    case Digest::Sha1:
        return 20;
    case Digest::Sha256:
        return 32;
    case Digest::Sha384:
        return 48;
    case Digest::Sha512:
        return 64;
    }
    return 0;
}

HRESULT LoadKey(KeyStore::Impl& impl, const Fingerprint& identity, EvpPkeyPtr* out)
{
    std::lock_guard lock(impl.mutex);
    detail::Statement st;
    HRESULT hr = st.Prepare(impl.db, "SELECT k.pkcs8 FROM certificates c JOIN keys k ON k.key_id = c.key_id"
                                     " WHERE c.sha1 = ?1");
    st.Bind(1, std::span<const uint8_t>(identity));
    if (SUCCEEDED(hr))
        hr = st.Step();
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE)
        return KEYSTORE_E_NOT_FOUND;
    auto der = st.Blob(0);
    const unsigned char* p = der.data();
    detail::Pkcs8Ptr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    if (!p8)
        return KEYSTORE_E_DATABASE;
    EvpPkeyPtr key(EVP_PKCS82PKEY_ex(p8.get(), detail::LibCtx(), nullptr));
    if (!key)
        return KEYSTORE_E_DATABASE;
    *out = std::move(key);
    return S_OK;
}

HRESULT SetSignPadding(EVP_PKEY* key, EVP_PKEY_CTX* ctx, SignPadding padding)
{
    bool rsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
    if (!rsa)
        return padding == SignPadding::Pkcs1 ? S_OK : KEYSTORE_E_UNSUPPORTED;
    if (padding == SignPadding::Pkcs1) {
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 ? S_OK : KEYSTORE_E_CRYPTO;
    }
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) <= 0
        || EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) <= 0) {
        return KEYSTORE_E_CRYPTO;
    }
    return S_OK;
}

HRESULT CheckSignable(EVP_PKEY* key)
{
    int id = EVP_PKEY_get_base_id(key);
    return id == EVP_PKEY_RSA || id == EVP_PKEY_EC ? S_OK : KEYSTORE_E_UNSUPPORTED;
}

}  // namespace

HRESULT KeyStore::Sign(const Fingerprint& identity, Digest digest, SignPadding padding, std::span<const uint8_t> data,
                       std::vector<uint8_t>* signature)
{
    if (signature == nullptr)
        return E_POINTER;
    const char* md = DigestName(digest);
    if (md == nullptr || (padding != SignPadding::Pkcs1 && padding != SignPadding::Pss))
        return E_INVALIDARG;
    return NoThrow([&] {
        EvpPkeyPtr key;
        HRESULT hr = LoadKey(*impl_, identity, &key);
        if (SUCCEEDED(hr))
            hr = CheckSignable(key.get());
        if (FAILED(hr))
            return hr;
        detail::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
        if (!ctx)
            return E_OUTOFMEMORY;
        EVP_PKEY_CTX* pctx = nullptr;
        if (EVP_DigestSignInit_ex(ctx.get(), &pctx, md, detail::LibCtx(), nullptr, key.get(), nullptr) != 1) {
            return KEYSTORE_E_CRYPTO;
        }
        hr = SetSignPadding(key.get(), pctx, padding);
        if (FAILED(hr))
            return hr;
        static const uint8_t kNothing = 0;
        const uint8_t* bytes = data.empty() ? &kNothing : data.data();
        size_t length = 0;
        if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, data.size()) != 1)
            return KEYSTORE_E_CRYPTO;
        std::vector<uint8_t> result(length);
        if (EVP_DigestSign(ctx.get(), result.data(), &length, bytes, data.size()) != 1)
            return KEYSTORE_E_CRYPTO;
        result.resize(length);
        *signature = std::move(result);
        return S_OK;
    });
}

HRESULT KeyStore::SignDigest(const Fingerprint& identity, Digest digest, SignPadding padding,
                             std::span<const uint8_t> hash, std::vector<uint8_t>* signature)
{
    if (signature == nullptr)
        return E_POINTER;
    const char* md = DigestName(digest);
    if (md == nullptr || (padding != SignPadding::Pkcs1 && padding != SignPadding::Pss)
        || hash.size() != DigestSize(digest)) {
        return E_INVALIDARG;
    }
    return NoThrow([&] {
        EvpPkeyPtr key;
        HRESULT hr = LoadKey(*impl_, identity, &key);
        if (SUCCEEDED(hr))
            hr = CheckSignable(key.get());
        if (FAILED(hr))
            return hr;
        detail::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(detail::LibCtx(), key.get(), nullptr));
        if (!ctx)
            return E_OUTOFMEMORY;
        std::unique_ptr<EVP_MD, detail::OsslDeleter<EVP_MD_free>> fetched(EVP_MD_fetch(detail::LibCtx(), md, nullptr));
        if (!fetched || EVP_PKEY_sign_init(ctx.get()) != 1
            || EVP_PKEY_CTX_set_signature_md(ctx.get(), fetched.get()) != 1) {
            return KEYSTORE_E_CRYPTO;
        }
        hr = SetSignPadding(key.get(), ctx.get(), padding);
        if (FAILED(hr))
            return hr;
        size_t length = 0;
        if (EVP_PKEY_sign(ctx.get(), nullptr, &length, hash.data(), hash.size()) != 1)
            return KEYSTORE_E_CRYPTO;
        std::vector<uint8_t> result(length);
        if (EVP_PKEY_sign(ctx.get(), result.data(), &length, hash.data(), hash.size()) != 1)
            return KEYSTORE_E_CRYPTO;
        result.resize(length);
        *signature = std::move(result);
        return S_OK;
    });
}

HRESULT KeyStore::SignRawPkcs1(const Fingerprint& identity, std::span<const uint8_t> input,
                               std::vector<uint8_t>* signature)
{
    if (signature == nullptr)
        return E_POINTER;
    if (input.empty() || input.size() > kMaxCiphertextSize)
        return E_INVALIDARG;
    return NoThrow([&] {
        EvpPkeyPtr key;
        HRESULT hr = LoadKey(*impl_, identity, &key);
        if (FAILED(hr))
            return hr;
        if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
            return KEYSTORE_E_UNSUPPORTED;
        if (input.size() + 11 > static_cast<size_t>(EVP_PKEY_get_size(key.get())))
            return E_INVALIDARG;
        detail::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(detail::LibCtx(), key.get(), nullptr));
        if (!ctx)
            return E_OUTOFMEMORY;
        if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
            return KEYSTORE_E_CRYPTO;
        size_t length = 0;
        if (EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()) != 1)
            return KEYSTORE_E_CRYPTO;
        std::vector<uint8_t> result(length);
        if (EVP_PKEY_sign(ctx.get(), result.data(), &length, input.data(), input.size()) != 1)
            return KEYSTORE_E_CRYPTO;
        result.resize(length);
        *signature = std::move(result);
        return S_OK;
    });
}

HRESULT KeyStore::Decrypt(const Fingerprint& identity, DecryptPadding padding, std::span<const uint8_t> ciphertext,
                          SecretBytes* plain)
{
    if (plain == nullptr)
        return E_POINTER;
    if (ciphertext.empty() || ciphertext.size() > kMaxCiphertextSize)
        return E_INVALIDARG;
    if (padding != DecryptPadding::Pkcs1 && padding != DecryptPadding::OaepSha1
        && padding != DecryptPadding::OaepSha256) {
        return E_INVALIDARG;
    }
    return NoThrow([&] {
        EvpPkeyPtr key;
        HRESULT hr = LoadKey(*impl_, identity, &key);
        if (FAILED(hr))
            return hr;
        if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
            return KEYSTORE_E_UNSUPPORTED;
        detail::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(detail::LibCtx(), key.get(), nullptr));
        if (!ctx)
            return E_OUTOFMEMORY;
        if (EVP_PKEY_decrypt_init(ctx.get()) != 1)
            return KEYSTORE_E_CRYPTO;
        if (padding == DecryptPadding::Pkcs1) {
            if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
                return KEYSTORE_E_CRYPTO;
        } else {
            const char* md = padding == DecryptPadding::OaepSha1 ? "SHA1" : "SHA256";
            if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0
                || EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.get(), md, nullptr) <= 0
                || EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.get(), md, nullptr) <= 0) {
                return KEYSTORE_E_CRYPTO;
            }
        }
        size_t length = 0;
        if (EVP_PKEY_decrypt(ctx.get(), nullptr, &length, ciphertext.data(), ciphertext.size()) != 1) {
            return KEYSTORE_E_CRYPTO;
        }
        SecretBytes buffer;
        std::vector<uint8_t> scratch(length);
        int rc = EVP_PKEY_decrypt(ctx.get(), scratch.data(), &length, ciphertext.data(), ciphertext.size());
        if (rc == 1)
            hr = buffer.Assign({scratch.data(), length});
        OPENSSL_cleanse(scratch.data(), scratch.size());
        if (rc != 1)
            return KEYSTORE_E_CRYPTO;
        if (FAILED(hr))
            return hr;
        *plain = std::move(buffer);
        return S_OK;
    });
}

}  // namespace kestrin::keystore
