#include "pse_keys.h"

#include <openssl/rsa.h>

#include "keychain_algs.h"

namespace kestrin::qevcrypto::filepse {
namespace {

using kestrin::keystore::Digest;
using kestrin::keystore::KeyType;
using keychain::SignPlan;

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

const EVP_MD* DigestMd(Digest d)
{
    switch (d) {
    case Digest::Sha1:
        return EVP_sha1();
    case Digest::Sha256:
        return EVP_sha256();
    case Digest::Sha384:
        return EVP_sha384();
    case Digest::Sha512:
        return EVP_sha512();
    }
    return nullptr;
}

ossl::EvpPkeyPtr LoadKey(const SecretBytes& pkcs8)
{
    const unsigned char* p = pkcs8.data();
    ossl::P8InfPtr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8.size())));
    return ossl::EvpPkeyPtr(p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr);
}

KeyType TypeOf(EVP_PKEY* key)
{
    int id = EVP_PKEY_get_base_id(key);
    return id == EVP_PKEY_RSA ? KeyType::Rsa : id == EVP_PKEY_EC ? KeyType::Ec : KeyType::Other;
}

bool SetPadding(EVP_PKEY_CTX* ctx, KeyType type, const SignPlan& plan)
{
    if (type != KeyType::Rsa)
        return true;
    if (plan.padding == kestrin::keystore::SignPadding::Pss)
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0
               && EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0;
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
}

}  // namespace

HRESULT SignWithKey(const SecretBytes& pkcs8, const AlgId* algorithm, bool digestInput, const uint8_t* input,
                    size_t length, Bytes* signature)
{
    ossl::EvpPkeyPtr key = LoadKey(pkcs8);
    if (!key)
        return E_FAIL;
    KeyType type = TypeOf(key.get());
    if (type == KeyType::Other)
        return E_INVALIDARG;
    SignPlan plan;
    HRESULT hr = keychain::PlanSignature(algorithm, type, digestInput, length, &plan);
    if (FAILED(hr))
        return hr;
    size_t size = 0;
    if (plan.mode == SignPlan::Mode::Data) {
        std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
        EVP_PKEY_CTX* pctx = nullptr;
        if (!md || EVP_DigestSignInit(md.get(), &pctx, DigestMd(plan.digest), nullptr, key.get()) != 1
            || !SetPadding(pctx, type, plan) || EVP_DigestSign(md.get(), nullptr, &size, input, length) != 1) {
            return E_FAIL;
        }
        signature->resize(size);
        if (EVP_DigestSign(md.get(), signature->data(), &size, input, length) != 1)
            return E_FAIL;
        signature->resize(size);
        return S_OK;
    }
    if (plan.mode == SignPlan::Mode::RawPkcs1 && length + 11 > static_cast<size_t>(EVP_PKEY_get_size(key.get())))
        return E_INVALIDARG;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || !SetPadding(ctx.get(), type, plan))
        return E_FAIL;
    if (plan.mode == SignPlan::Mode::Digest && EVP_PKEY_CTX_set_signature_md(ctx.get(), DigestMd(plan.digest)) != 1)
        return E_FAIL;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &size, input, length) != 1)
        return E_FAIL;
    signature->resize(size);
    if (EVP_PKEY_sign(ctx.get(), signature->data(), &size, input, length) != 1)
        return E_FAIL;
    signature->resize(size);
    return S_OK;
}

HRESULT DecryptWithKey(const SecretBytes& pkcs8, const AlgId* algorithm, const uint8_t* input, size_t length,
                       SecretBytes* plain)
{
    kestrin::keystore::DecryptPadding padding;
    HRESULT hr = keychain::PlanDecryption(algorithm, &padding);
    if (FAILED(hr))
        return hr;
    ossl::EvpPkeyPtr key = LoadKey(pkcs8);
    if (!key)
        return E_FAIL;
    if (TypeOf(key.get()) != KeyType::Rsa)
        return E_INVALIDARG;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1)
        return E_FAIL;
    if (padding == kestrin::keystore::DecryptPadding::Pkcs1) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
            return E_FAIL;
    } else {
        const EVP_MD* md = padding == kestrin::keystore::DecryptPadding::OaepSha1 ? EVP_sha1() : EVP_sha256();
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0
            || EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) <= 0 || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) <= 0) {
            return E_FAIL;
        }
    }
    size_t size = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &size, input, length) != 1)
        return E_FAIL;
    SecretBytes out(size);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &size, input, length) != 1)
        return E_FAIL;
    out.resize(size);
    *plain = std::move(out);
    return S_OK;
}

}  // namespace kestrin::qevcrypto::filepse
