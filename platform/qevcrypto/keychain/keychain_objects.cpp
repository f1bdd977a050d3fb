#include "keychain_objects.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/x509.h>
#include <strings.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "keychain_algs.h"
#include "keychain_name.h"
#include "keychain_path.h"
#include "lib_lists.h"
#include "lib_object.h"
#include "p11_attributes.h"
#include "qev_results.h"
#include "types_values.h"

namespace kestrin::qevcrypto::keychain {
namespace {

using kestrin::keystore::KeyType;

template <class T, class... Args>
T* NewObject(Args&&... args)
{
    try {
        return new T(std::forward<Args>(args)...);
    } catch (...) {
        return nullptr;
    }
}

HRESULT StoreResult(HRESULT hr)
{
    return hr == kestrin::keystore::KEYSTORE_E_NOT_FOUND ? E_TOKEN_NOKEY : hr;
}

class StoreSource final : public IdentitySource {
public:
    explicit StoreSource(StorePtr store) : m_store(std::move(store)) {}

    HRESULT Present(const IdentityInfo& identity) override
    {
        kestrin::keystore::Identity found;
        HRESULT hr = m_store->FindIdentity(identity.sha1, &found);
        if (FAILED(hr))
            return hr;
        return hr == S_OK ? S_OK : E_TOKEN_NOKEY;
    }
    HRESULT Sign(const IdentityInfo& identity, const AlgId* algorithm, bool digestInput, std::span<const uint8_t> input,
                 std::vector<uint8_t>* signature) override
    {
        SignPlan plan;
        HRESULT hr = PlanSignature(algorithm, identity.keyType, digestInput, input.size(), &plan);
        if (FAILED(hr))
            return hr;
        switch (plan.mode) {
        case SignPlan::Mode::RawPkcs1:
            hr = m_store->SignRawPkcs1(identity.sha1, input, signature);
            break;
        case SignPlan::Mode::Digest:
            hr = m_store->SignDigest(identity.sha1, plan.digest, plan.padding, input, signature);
            break;
        case SignPlan::Mode::Data:
            hr = m_store->Sign(identity.sha1, plan.digest, plan.padding, input, signature);
            break;
        }
        return StoreResult(hr);
    }
    HRESULT Decrypt(const IdentityInfo& identity, const AlgId* algorithm, std::span<const uint8_t> input,
                    ossl::SecretBytes* plain) override
    {
        kestrin::keystore::DecryptPadding padding;
        HRESULT hr = PlanDecryption(algorithm, &padding);
        if (FAILED(hr))
            return hr;
        kestrin::keystore::SecretBytes bytes;
        hr = m_store->Decrypt(identity.sha1, padding, input, &bytes);
        if (FAILED(hr))
            return StoreResult(hr);
        plain->assign(bytes.data(), bytes.data() + bytes.size());
        return S_OK;
    }
    HRESULT Path(const IdentityInfo& identity, std::vector<std::vector<uint8_t>>* path,
                 std::vector<uint8_t>* root) override
    {
        return BuildPath(*m_store, identity.certificate, path, root);
    }

private:
    StorePtr m_store;
};

ossl::X509Ptr ParseCertificate(const std::vector<uint8_t>& der)
{
    const unsigned char* p = der.data();
    return ossl::X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::vector<uint8_t> BignumBytes(const BIGNUM* bn)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
    if (!bytes.empty())
        BN_bn2bin(bn, bytes.data());
    return bytes;
}

// The public parts of the key that every object of an identity answers.
void AddKeyAttributes(const IdentityInfo& identity, std::vector<P11Value>& values)
{
    values.push_back(P11Ulong(CKA_KEY_TYPE, identity.keyType == KeyType::Rsa ? CKK_RSA : CKK_EC));
    ossl::X509Ptr x509 = ParseCertificate(identity.certificate);
    EVP_PKEY* key = x509 ? X509_get0_pubkey(x509.get()) : nullptr;
    if (key == nullptr)
        return;
    if (identity.keyType == KeyType::Rsa) {
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1
            && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1) {
            values.push_back(P11Bytes(CKA_MODULUS, BignumBytes(n)));
            values.push_back(P11Bytes(CKA_PUBLIC_EXPONENT, BignumBytes(e)));
        }
        BN_free(n);
        BN_free(e);
    } else {
        const void* parameters = nullptr;
        int type = 0;
        X509_ALGOR* algorithm = nullptr;
        X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, X509_get_X509_PUBKEY(x509.get()));
        X509_ALGOR_get0(nullptr, &type, &parameters, algorithm);
        if (type == V_ASN1_OBJECT) {
            unsigned char* der = nullptr;
            int length = i2d_ASN1_OBJECT(static_cast<const ASN1_OBJECT*>(parameters), &der);
            if (length > 0)
                values.push_back(P11Bytes(CKA_EC_PARAMS, {der, static_cast<size_t>(length)}));
            OPENSSL_free(der);
        }
    }
}

void AddCommonAttributes(const IdentityInfo& identity, CK_OBJECT_CLASS objectClass, std::vector<P11Value>& values)
{
    values.push_back(P11Ulong(CKA_CLASS, objectClass));
    values.push_back(P11Bytes(CKA_ID, identity.id));
    values.push_back(
        P11Bytes(CKA_LABEL, {reinterpret_cast<const uint8_t*>(identity.printName.data()), identity.printName.size()}));
    values.push_back(P11Bool(CKA_TOKEN, true));
}

template <class I>
class KeychainObject : public LibObject<I, TokenObject> {
public:
    KeychainObject(SourcePtr source, IdentityPtr identity)
        : m_source(std::move(source)), m_identity(std::move(identity))
    {}

    int cmp(const TokenObject* other) override
    {
        if (other == this)
            return 0;
        auto* o = const_cast<TokenObject*>(other);
        if (o == nullptr || std::strcmp(o->getType(), this->getType()) != 0)
            return 1;
        return static_cast<KeychainObject*>(static_cast<I*>(o))->m_identity->sha1 == m_identity->sha1 ? 0 : 1;
    }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_PSE_NOTSUPPORTED; }
    HRESULT remove() override { return E_PSE_NOTSUPPORTED; }

    HRESULT getKeyId(const char** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        if (SUCCEEDED(hr) && !m_identity->keyId.empty())
            *out = m_identity->keyId.c_str();
        return hr;
    }

    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        return FAILED(hr) ? hr : SignatureAlgorithms(m_identity->keyType, out);
    }

    HRESULT AnswerAttributes(CK_ATTRIBUTE* attributes, unsigned long count, const std::vector<P11Value>& values)
    {
        HRESULT hr = m_source->Present(*m_identity);
        return FAILED(hr) ? hr : AnswerTemplate(attributes, count, values);
    }

protected:
    SourcePtr m_source;
    IdentityPtr m_identity;
};

constexpr char kCertificateType[] = "KeychainCertificate";
constexpr char kPrivateKeyType[] = "KeychainPrivateKey";
constexpr char kPublicKeyType[] = "KeychainPublicKey";

class CertificateObject final : public KeychainObject<TokenObjectCertificate> {
public:
    using KeychainObject::KeychainObject;

    const char* getType() override { return kCertificateType; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_CERTIFICATE; }
    HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override
    {
        std::vector<P11Value> values;
        try {
            AddCommonAttributes(*m_identity, CKO_CERTIFICATE, values);
            values.push_back(P11Bytes(CKA_VALUE, m_identity->certificate));
            ossl::X509Ptr x509 = ParseCertificate(m_identity->certificate);
            if (x509) {
                AddDer(CKA_SUBJECT, X509_get_subject_name(x509.get()), i2d_X509_NAME, values);
                AddDer(CKA_ISSUER, X509_get_issuer_name(x509.get()), i2d_X509_NAME, values);
                AddDer(CKA_SERIAL_NUMBER, X509_get0_serialNumber(x509.get()), i2d_ASN1_INTEGER, values);
            }
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return AnswerAttributes(attributes, count, values);
    }
    HRESULT getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path, Certificate** pathEnd) override
    {
        if (certificate)
            *certificate = nullptr;
        if (path)
            *path = nullptr;
        if (pathEnd)
            *pathEnd = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        if (FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> lock(m_pathLock);
        if (!m_pathBuilt && (path != nullptr || pathEnd != nullptr)) {
            hr = m_source->Path(*m_identity, &m_path, &m_pathEnd);
            if (FAILED(hr))
                return hr;
            m_pathBuilt = true;
        }
        return HandOutPath(m_identity->certificate, m_path, m_pathEnd, certificate, path, pathEnd);
    }
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        return FAILED(hr) ? hr : NewPrivateKeyObject(m_source, m_identity, out);
    }

private:
    const GUID& Iid() const override { return IID_TokenObjectCertificate; }

    template <class T>
    static void AddDer(CK_ATTRIBUTE_TYPE type, const T* value, int (*encode)(const T*, unsigned char**),
                       std::vector<P11Value>& values)
    {
        unsigned char* der = nullptr;
        int length = encode(value, &der);
        if (length > 0)
            values.push_back(P11Bytes(type, {der, static_cast<size_t>(length)}));
        OPENSSL_free(der);
    }

    std::mutex m_pathLock;
    bool m_pathBuilt = false;
    std::vector<std::vector<uint8_t>> m_path;  // DER, the issuer of the certificate first
    std::vector<uint8_t> m_pathEnd;            // DER of the self-signed root; empty: none found
};

class PublicKeyObject final : public KeychainObject<TokenObjectPublicKey> {
public:
    using KeychainObject::KeychainObject;

    const char* getType() override { return kPublicKeyType; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PUBLIC_KEY; }
    HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override
    {
        std::vector<P11Value> values;
        try {
            AddCommonAttributes(*m_identity, CKO_PUBLIC_KEY, values);
            AddKeyAttributes(*m_identity, values);
            values.push_back(P11Bool(CKA_SIGN, false));
            values.push_back(P11Bool(CKA_DECRYPT, false));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return AnswerAttributes(attributes, count, values);
    }
    HRESULT getKeyInfo(KeyInfo** out) override { return PublicKeyInfo(out); }
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        return FAILED(hr) ? hr : NewPrivateKeyObject(m_source, m_identity, out);
    }

    HRESULT PublicKeyInfo(KeyInfo** out)
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        if (FAILED(hr))
            return hr;
        return CertificatePublicKey(m_identity->certificate, out);
    }

private:
    const GUID& Iid() const override { return IID_TokenObjectPublicKey; }
};

class PrivateKeyObject final : public KeychainObject<TokenObjectPrivateKey> {
public:
    using KeychainObject::KeychainObject;

    const char* getType() override { return kPrivateKeyType; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PRIVATE_KEY; }
    HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override
    {
        std::vector<P11Value> values;
        try {
            AddCommonAttributes(*m_identity, CKO_PRIVATE_KEY, values);
            AddKeyAttributes(*m_identity, values);
            values.push_back(P11Bool(CKA_SIGN, true));
            values.push_back(P11Bool(CKA_DECRYPT, m_identity->keyType == KeyType::Rsa));
            values.push_back(P11Bool(CKA_SENSITIVE, true));
            values.push_back(P11Bool(CKA_EXTRACTABLE, false));
            for (CK_ATTRIBUTE_TYPE secret : {CKA_VALUE, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                                             CKA_EXPONENT_2, CKA_COEFFICIENT}) {
                values.push_back(P11Sensitive(secret));
            }
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return AnswerAttributes(attributes, count, values);
    }
    HRESULT getOps(unsigned int* operations) override
    {
        if (operations == nullptr)
            return E_POINTER;
        *operations = 0;
        HRESULT hr = m_source->Present(*m_identity);
        if (FAILED(hr))
            return hr;
        *operations = m_identity->keyType == KeyType::Rsa ? 3u : 1u;
        return S_OK;
    }
    HRESULT getObjectPIN(TokenPIN** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        return m_source->Present(*m_identity);
    }
    HRESULT sign(const AlgId* algorithm, unsigned char flag, const unsigned char* digest, unsigned long digestLength,
                 unsigned char* signature, unsigned long* signatureLength, SECAttribute*) override
    {
        if (signatureLength == nullptr)
            return E_POINTER;
        if ((digest == nullptr && digestLength > 0) || digestLength == 0 || digestLength > kMaxInput)
            return E_INVALIDARG;
        std::vector<uint8_t> result;
        HRESULT hr = m_source->Sign(*m_identity, algorithm, (flag & 1) != 0, {digest, digestLength}, &result);
        if (FAILED(hr))
            return hr;
        return Deliver(result.data(), result.size(), signature, signatureLength);
    }
    HRESULT decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength, unsigned char* out,
                    unsigned long* outLength, SECAttribute*) override
    {
        if (outLength == nullptr)
            return E_POINTER;
        if (in == nullptr || inLength == 0 || inLength > kMaxInput)
            return E_INVALIDARG;
        if (m_identity->keyType != KeyType::Rsa)
            return E_INVALIDARG;
        ossl::SecretBytes plain;
        HRESULT hr = m_source->Decrypt(*m_identity, algorithm, {in, inLength}, &plain);
        if (FAILED(hr))
            return hr;
        return Deliver(plain.data(), plain.size(), out, outLength);
    }
    HRESULT getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                        unsigned long* count) override
    {
        if (publicKey != nullptr)
            *publicKey = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        if (FAILED(hr))
            return hr;
        if (publicKey != nullptr) {
            hr = NewPublicKeyObject(m_source, m_identity, publicKey);
            if (FAILED(hr))
                return hr;
        }
        if (count == nullptr)
            return S_OK;
        if (certificates != nullptr && *count > 0) {
            hr = NewCertificateObject(m_source, m_identity, &certificates[0]);
            if (FAILED(hr)) {
                if (publicKey != nullptr && *publicKey != nullptr) {
                    (*publicKey)->Release();
                    *publicKey = nullptr;
                }
                return hr;
            }
        }
        *count = 1;
        return S_OK;
    }
    HRESULT getPublicKeyInfo(KeyInfo** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = m_source->Present(*m_identity);
        return FAILED(hr) ? hr : CertificatePublicKey(m_identity->certificate, out);
    }

private:
    const GUID& Iid() const override { return IID_TokenObjectPrivateKey; }

    static constexpr unsigned long kMaxInput = 64 << 10;

    // The caller's buffer takes the result whole, or learns the length it needs.
    static HRESULT Deliver(const uint8_t* bytes, size_t length, unsigned char* out, unsigned long* outLength)
    {
        if (out == nullptr || *outLength < length) {
            *outLength = length;
            return E_BUFFERTOOSMALL;
        }
        std::memcpy(out, bytes, length);
        *outLength = length;
        return S_OK;
    }
};

}  // namespace

HRESULT MakeIdentity(const kestrin::keystore::Identity& identity, IdentityPtr* out)
{
    if (out == nullptr)
        return E_POINTER;
    try {
        auto info = std::make_shared<IdentityInfo>();
        info->sha1 = identity.sha1;
        info->certificate = identity.certificate;
        info->printName = identity.printName;
        info->keyType = identity.keyType;
        info->keyId = HexLower(identity.sha1.data(), identity.sha1.size());
        info->id.assign(identity.sha1.begin(), identity.sha1.end());
        *out = std::move(info);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

SourcePtr KeyStoreSource(StorePtr store)
{
    try {
        return std::make_shared<StoreSource>(std::move(store));
    } catch (...) {
        return nullptr;
    }
}

HRESULT NewCertificateObject(SourcePtr source, IdentityPtr identity, TokenObjectCertificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = NewObject<CertificateObject>(std::move(source), std::move(identity));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT NewPrivateKeyObject(SourcePtr source, IdentityPtr identity, TokenObjectPrivateKey** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = NewObject<PrivateKeyObject>(std::move(source), std::move(identity));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT NewPublicKeyObject(SourcePtr source, IdentityPtr identity, TokenObjectPublicKey** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = NewObject<PublicKeyObject>(std::move(source), std::move(identity));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT ListObjects(const SourcePtr& source, const std::vector<IdentityPtr>& identities, TokenObject** objects,
                    unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label)
{
    if (count == nullptr)
        return E_POINTER;
    const unsigned long room = objects != nullptr ? *count : 0;
    for (unsigned long i = 0; i < room; ++i)
        objects[i] = nullptr;
    *count = 0;
    if (type != TOKEN_OBJECT_CERTIFICATE && type != TOKEN_OBJECT_PUBLIC_KEY && type != TOKEN_OBJECT_PRIVATE_KEY)
        return S_OK;
    if (!source)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    unsigned long matching = 0;
    for (const IdentityPtr& info : identities) {
        if ((keyId != nullptr && strncasecmp(keyId, info->keyId.c_str(), info->keyId.size() + 1) != 0)
            || (label != nullptr && info->printName != label)) {
            continue;
        }
        if (matching < room) {
            switch (type) {
            case TOKEN_OBJECT_CERTIFICATE:
                hr = NewCertificateObject(source, info, reinterpret_cast<TokenObjectCertificate**>(&objects[matching]));
                break;
            case TOKEN_OBJECT_PUBLIC_KEY:
                hr = NewPublicKeyObject(source, info, reinterpret_cast<TokenObjectPublicKey**>(&objects[matching]));
                break;
            default:
                hr = NewPrivateKeyObject(source, info, reinterpret_cast<TokenObjectPrivateKey**>(&objects[matching]));
                break;
            }
            if (FAILED(hr))
                break;
        }
        ++matching;
    }
    if (FAILED(hr)) {
        for (unsigned long i = 0; i < room; ++i) {
            if (objects[i] != nullptr) {
                reinterpret_cast<IUnknown*>(objects[i])->Release();
                objects[i] = nullptr;
            }
        }
        return hr;
    }
    *count = matching;
    return S_OK;
}

}  // namespace kestrin::qevcrypto::keychain
