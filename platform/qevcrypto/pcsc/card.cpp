#include "card.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>

#include "card_codes.h"
#include "keychain_algs.h"
#include "keychain_name.h"
#include "keychain_path.h"
#include "qev_results.h"

namespace kestrin::qevcrypto::pcsc {
namespace {

using kestrin::keystore::Digest;
using kestrin::keystore::KeyType;
using keychain::IdentityInfo;
using keychain::IdentityPtr;

// Limits on what a card hands us.
constexpr CK_ULONG kMaxObjects = 1024;
constexpr CK_ULONG kMaxAttribute = 64 << 10;
constexpr CK_ULONG kMaxOutput = 16 << 10;

CK_MECHANISM_TYPE HashMechanism(Digest digest)
{
    switch (digest) {
    case Digest::Sha1:
        return CKM_SHA_1;
    case Digest::Sha256:
        return CKM_SHA256;
    case Digest::Sha384:
        return CKM_SHA384;
    default:
        return CKM_SHA512;
    }
}

CK_RSA_PKCS_MGF_TYPE Mgf(Digest digest)
{
    switch (digest) {
    case Digest::Sha1:
        return CKG_MGF1_SHA1;
    case Digest::Sha256:
        return CKG_MGF1_SHA256;
    case Digest::Sha384:
        return CKG_MGF1_SHA384;
    default:
        return CKG_MGF1_SHA512;
    }
}

const EVP_MD* Md(Digest digest)
{
    switch (digest) {
    case Digest::Sha1:
        return EVP_sha1();
    case Digest::Sha256:
        return EVP_sha256();
    case Digest::Sha384:
        return EVP_sha384();
    default:
        return EVP_sha512();
    }
}

// The DER prefix of a PKCS#1 DigestInfo before the digest itself.
std::vector<uint8_t> DigestInfoPrefix(Digest digest)
{
    switch (digest) {
    case Digest::Sha1:
        return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    case Digest::Sha256:
        return {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    case Digest::Sha384:
        return {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    default:
        return {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    }
}

// A raw ECDSA signature (r then s, equal halves) in the DER form OpenSSL gives.
HRESULT EcdsaDer(const std::vector<uint8_t>& raw, std::vector<uint8_t>* out)
{
    if (raw.empty() || raw.size() % 2 != 0)
        return E_FAIL;
    const int half = static_cast<int>(raw.size() / 2);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(raw.data(), half, nullptr);
    BIGNUM* s = BN_bin2bn(raw.data() + half, half, nullptr);
    if (sig == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(sig);
        return E_OUTOFMEMORY;
    }
    unsigned char* der = nullptr;
    int length = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (length <= 0)
        return E_FAIL;
    out->assign(der, der + length);
    OPENSSL_free(der);
    return S_OK;
}

KeyType KeyTypeOf(X509* x509)
{
    switch (EVP_PKEY_get_base_id(X509_get0_pubkey(x509))) {
    case EVP_PKEY_RSA:
        return KeyType::Rsa;
    case EVP_PKEY_EC:
        return KeyType::Ec;
    default:
        return KeyType::Other;
    }
}

}  // namespace

HRESULT Card::Open(const std::string& reader, std::shared_ptr<Card>* out)
{
    out->reset();
    CardState state;
    HRESULT hr = ReadCardState(reader, &state);
    if (FAILED(hr))
        return hr;
    if (!state.present)
        return E_TOKEN_NOCARD;
    ModulePtr module;
    hr = LoadModule(&module);
    if (FAILED(hr))
        return hr;
    CK_SLOT_ID slot = 0;
    hr = module->FindSlot(reader, &slot);
    if (FAILED(hr))
        return hr;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV rv = module->f()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv == CKR_TOKEN_WRITE_PROTECTED)
        rv = module->f()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK)
        return rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED ? E_TOKEN_NOCARD : E_TOKEN_NOTFOUND;
    try {
        out->reset(new Card(module, slot, reader, std::move(state), session));
    } catch (...) {
        module->f()->C_CloseSession(session);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

Card::~Card()
{
    f()->C_CloseSession(m_session);
}

HRESULT Card::Check() const
{
    CardState now;
    HRESULT hr = ReadCardState(m_reader, &now);
    if (FAILED(hr))
        return hr;
    return now.present && now.insertion == m_state.insertion && now.atr == m_state.atr ? S_OK : E_TOKEN_NOCARD;
}

HRESULT Card::Result(CK_RV rv, CK_USER_TYPE user) const
{
    CK_TOKEN_INFO info {};
    if (rv == CKR_PIN_INCORRECT && f()->C_GetTokenInfo(m_slot, &info) != CKR_OK)
        info.flags = 0;
    return CardCode(rv, info.flags, user);
}

HRESULT Card::TokenInfo(CK_TOKEN_INFO* info) const
{
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    return Result(f()->C_GetTokenInfo(m_slot, info));
}

HRESULT Card::Find(CK_ATTRIBUTE* match, CK_ULONG count, std::vector<CK_OBJECT_HANDLE>* out)
{
    out->clear();
    CK_RV rv = f()->C_FindObjectsInit(m_session, match, count);
    if (rv != CKR_OK)
        return Result(rv);
    CK_OBJECT_HANDLE handles[32];
    CK_ULONG found = 0;
    do {
        rv = f()->C_FindObjects(m_session, handles, 32, &found);
        if (rv != CKR_OK || found > 32)
            break;
        if (out->size() + found > kMaxObjects) {
            rv = CKR_GENERAL_ERROR;
            break;
        }
        out->insert(out->end(), handles, handles + found);
    } while (found > 0);
    f()->C_FindObjectsFinal(m_session);
    return rv == CKR_OK ? S_OK : Result(rv);
}

HRESULT Card::Bytes(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* out)
{
    out->clear();
    CK_ATTRIBUTE attribute {type, nullptr, 0};
    CK_RV rv = f()->C_GetAttributeValue(m_session, object, &attribute, 1);
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE)
        return S_FALSE;
    if (rv != CKR_OK)
        return Result(rv);
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen > kMaxAttribute)
        return S_FALSE;
    out->resize(attribute.ulValueLen);
    attribute.pValue = out->data();
    rv = f()->C_GetAttributeValue(m_session, object, &attribute, 1);
    if (rv != CKR_OK)
        return Result(rv);
    out->resize(attribute.ulValueLen <= out->size() ? attribute.ulValueLen : 0);
    return S_OK;
}

HRESULT Card::CertificateDers(std::vector<std::vector<uint8_t>>* out)
{
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_ATTRIBUTE match[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                            {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
    std::vector<CK_OBJECT_HANDLE> handles;
    HRESULT hr = Find(match, 2, &handles);
    if (FAILED(hr))
        return hr;
    for (CK_OBJECT_HANDLE handle : handles) {
        std::vector<uint8_t> der;
        hr = Bytes(handle, CKA_VALUE, &der);
        if (FAILED(hr))
            return hr;
        out->push_back(std::move(der));
    }
    return S_OK;
}

HRESULT Card::Identities(std::vector<IdentityPtr>* out)
{
    out->clear();
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_ATTRIBUTE match[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                            {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
    std::vector<CK_OBJECT_HANDLE> handles;
    hr = Find(match, 2, &handles);
    if (FAILED(hr))
        return hr;
    try {
        for (CK_OBJECT_HANDLE handle : handles) {
            auto info = std::make_shared<IdentityInfo>();
            std::vector<uint8_t> label;
            if (FAILED(hr = Bytes(handle, CKA_VALUE, &info->certificate))
                || FAILED(hr = Bytes(handle, CKA_ID, &info->id)) || FAILED(hr = Bytes(handle, CKA_LABEL, &label))) {
                return hr;
            }
            // A certificate that does not decode is no identity.
            const unsigned char* p = info->certificate.data();
            ossl::X509Ptr parsed(d2i_X509(nullptr, &p, static_cast<long>(info->certificate.size())));
            if (!parsed || p != info->certificate.data() + info->certificate.size())
                continue;
            SHA1(info->certificate.data(), info->certificate.size(), info->sha1.data());
            info->printName.assign(label.begin(), label.end());
            info->keyType = KeyTypeOf(parsed.get());
            info->keyId = keychain::HexLower(info->id.data(), info->id.size());
            out->push_back(std::move(info));
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT Card::Verified(CK_USER_TYPE user)
{
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    CK_SESSION_INFO info {};
    hr = Result(f()->C_GetSessionInfo(m_session, &info));
    if (FAILED(hr))
        return hr;
    if (user == CKU_SO)
        return info.state == CKS_RW_SO_FUNCTIONS ? S_OK : S_FALSE;
    return info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS ? S_OK : S_FALSE;
}

HRESULT Card::Login(CK_USER_TYPE user, const char* pin)
{
    if (pin == nullptr)
        return E_INVALIDARG;
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    CK_RV rv =
        f()->C_Login(m_session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
    return Result(rv, user);
}

HRESULT Card::Logout()
{
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    CK_RV rv = f()->C_Logout(m_session);
    return rv == CKR_USER_NOT_LOGGED_IN ? S_FALSE : Result(rv);
}

HRESULT Card::ChangePin(const char* oldPin, const char* newPin)
{
    if (oldPin == nullptr || newPin == nullptr)
        return E_INVALIDARG;
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    CK_RV rv =
        f()->C_SetPIN(m_session, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(oldPin)), std::strlen(oldPin),
                      reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(newPin)), std::strlen(newPin));
    return Result(rv);
}

HRESULT Card::InitPin(const char* pin)
{
    if (pin == nullptr)
        return E_INVALIDARG;
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    CK_RV rv = f()->C_InitPIN(m_session, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
    return Result(rv);
}

HRESULT Card::Random(unsigned char* buffer, unsigned long length)
{
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_lock);
    return Result(f()->C_GenerateRandom(m_session, buffer, length));
}

HRESULT Card::Present(const IdentityInfo&)
{
    return Check();
}

HRESULT Card::PrivateKey(const IdentityInfo& identity, CK_OBJECT_HANDLE* out)
{
    if (identity.id.empty())
        return E_TOKEN_NOKEY;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE match[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                            {CKA_ID, const_cast<uint8_t*>(identity.id.data()), identity.id.size()}};
    std::vector<CK_OBJECT_HANDLE> handles;
    HRESULT hr = Find(match, 2, &handles);
    if (FAILED(hr))
        return hr;
    if (handles.empty())
        return Verified(CKU_USER) == S_OK ? E_TOKEN_NOKEY : E_PSE_NOTLOGGEDIN;
    *out = handles.front();
    return S_OK;
}

HRESULT Card::RunSign(CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism, std::span<const uint8_t> input,
                      std::vector<uint8_t>* out)
{
    CK_RV rv = f()->C_SignInit(m_session, mechanism, key);
    if (rv != CKR_OK)
        return Result(rv);
    CK_ULONG length = kMaxOutput;
    out->resize(length);
    rv = f()->C_Sign(m_session, const_cast<uint8_t*>(input.data()), input.size(), out->data(), &length);
    if (rv != CKR_OK || length > kMaxOutput)
        return rv != CKR_OK ? Result(rv) : E_FAIL;
    out->resize(length);
    return S_OK;
}

HRESULT Card::Sign(const IdentityInfo& identity, const AlgId* algorithm, bool digestInput,
                   std::span<const uint8_t> input, std::vector<uint8_t>* signature)
{
    keychain::SignPlan plan;
    HRESULT hr = keychain::PlanSignature(algorithm, identity.keyType, digestInput, input.size(), &plan);
    if (FAILED(hr))
        return hr;
    hr = Check();
    if (FAILED(hr))
        return hr;
    // The card signs digests; data is hashed here first.
    std::vector<uint8_t> digest;
    if (plan.mode == keychain::SignPlan::Mode::Data) {
        unsigned int length = EVP_MAX_MD_SIZE;
        digest.resize(length);
        if (EVP_Digest(input.data(), input.size(), digest.data(), &length, Md(plan.digest), nullptr) != 1)
            return E_FAIL;
        digest.resize(length);
    } else {
        digest.assign(input.begin(), input.end());
    }
    std::lock_guard<std::mutex> lock(m_lock);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    hr = PrivateKey(identity, &key);
    if (FAILED(hr))
        return hr;
    if (identity.keyType == KeyType::Ec) {
        CK_MECHANISM mechanism {CKM_ECDSA, nullptr, 0};
        std::vector<uint8_t> raw;
        hr = RunSign(key, &mechanism, digest, &raw);
        return FAILED(hr) ? hr : EcdsaDer(raw, signature);
    }
    if (plan.mode == keychain::SignPlan::Mode::RawPkcs1) {
        CK_MECHANISM mechanism {CKM_RSA_PKCS, nullptr, 0};
        return RunSign(key, &mechanism, digest, signature);
    }
    if (plan.padding == kestrin::keystore::SignPadding::Pss) {
        CK_RSA_PKCS_PSS_PARAMS pss {HashMechanism(plan.digest), Mgf(plan.digest), digest.size()};
        CK_MECHANISM mechanism {CKM_RSA_PKCS_PSS, &pss, sizeof pss};
        return RunSign(key, &mechanism, digest, signature);
    }
    std::vector<uint8_t> digestInfo = DigestInfoPrefix(plan.digest);
    digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());
    CK_MECHANISM mechanism {CKM_RSA_PKCS, nullptr, 0};
    return RunSign(key, &mechanism, digestInfo, signature);
}

HRESULT Card::Decrypt(const IdentityInfo& identity, const AlgId* algorithm, std::span<const uint8_t> input,
                      ossl::SecretBytes* plain)
{
    kestrin::keystore::DecryptPadding padding;
    HRESULT hr = keychain::PlanDecryption(algorithm, &padding);
    if (FAILED(hr))
        return hr;
    hr = Check();
    if (FAILED(hr))
        return hr;
    const Digest digest = padding == kestrin::keystore::DecryptPadding::OaepSha256 ? Digest::Sha256 : Digest::Sha1;
    CK_RSA_PKCS_OAEP_PARAMS oaep {HashMechanism(digest), Mgf(digest), CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM mechanism {CKM_RSA_PKCS, nullptr, 0};
    if (padding != kestrin::keystore::DecryptPadding::Pkcs1)
        mechanism = {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    std::lock_guard<std::mutex> lock(m_lock);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    hr = PrivateKey(identity, &key);
    if (FAILED(hr))
        return hr;
    CK_RV rv = f()->C_DecryptInit(m_session, &mechanism, key);
    if (rv != CKR_OK)
        return Result(rv);
    CK_ULONG length = kMaxOutput;
    plain->resize(length);
    rv = f()->C_Decrypt(m_session, const_cast<uint8_t*>(input.data()), input.size(), plain->data(), &length);
    if (rv != CKR_OK || length > kMaxOutput) {
        plain->clear();
        return rv != CKR_OK ? Result(rv) : E_FAIL;
    }
    plain->resize(length);
    return S_OK;
}

HRESULT Card::Path(const IdentityInfo& identity, std::vector<std::vector<uint8_t>>* path, std::vector<uint8_t>* root)
{
    HRESULT hr = Check();
    if (FAILED(hr))
        return hr;
    std::vector<std::vector<uint8_t>> certificates;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        hr = CertificateDers(&certificates);
    }
    if (FAILED(hr))
        return hr;
    return keychain::BuildPathAmong(certificates, identity.certificate, path, root);
}

}  // namespace kestrin::qevcrypto::pcsc
