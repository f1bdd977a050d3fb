#include "sw_objects.h"

#include <openssl/x509.h>

#include <cstring>
#include <new>

#include "keychain_algs.h"
#include "keychain_path.h"
#include "lib_object.h"
#include "p11_attributes.h"
#include "pse_keys.h"
#include "qev_results.h"
#include "types_values.h"

namespace kestrin::qevcrypto::swtoken {
namespace {

using kestrin::keystore::KeyType;
using keychain::P11Bool;
using keychain::P11Bytes;
using keychain::P11Sensitive;
using keychain::P11Ulong;
using keychain::P11Value;

constexpr unsigned long kMaxInput = 64 << 10;
constexpr size_t kMaxText = 1024;

KeyType TypeOfKey(EVP_PKEY* key)
{
    const int id = key != nullptr ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
    return id == EVP_PKEY_RSA ? KeyType::Rsa : id == EVP_PKEY_EC ? KeyType::Ec : KeyType::Other;
}

KeyType TypeOfCertificate(const ossl::Bytes& der)
{
    const unsigned char* p = der.data();
    ossl::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return TypeOfKey(x509 ? X509_get0_pubkey(x509.get()) : nullptr);
}

// The caller's buffer takes the result whole, or learns the length it needs.
HRESULT Deliver(const uint8_t* bytes, size_t length, unsigned char* out, unsigned long* outLength)
{
    if (out == nullptr || *outLength < length) {
        *outLength = length;
        return E_BUFFERTOOSMALL;
    }
    std::memcpy(out, bytes, length);
    *outLength = length;
    return S_OK;
}

std::span<const uint8_t> TextBytes(const std::string& text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

template <class I>
class SoftObject : public LibObject<I, TokenObject>, public StoredObject {
public:
    SoftObject(const StorePtr& store, std::string keyId, std::string label)
        : m_store(store), m_keyId(std::move(keyId)), m_label(std::move(label))
    {}

    TokenObject* Object() override { return static_cast<I*>(this); }

    int cmp(const TokenObject* other) override { return other == static_cast<const TokenObject*>(Object()) ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_PSE_NOTSUPPORTED; }
    HRESULT remove() override
    {
        StorePtr store = m_store.lock();
        return store ? store->Remove(this) : E_TOKEN_NOKEY;
    }

    HRESULT getKeyId(const char** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = Present();
        if (SUCCEEDED(hr) && !m_keyId.empty())
            *out = m_keyId.c_str();
        return hr;
    }

protected:
    // S_OK while the object is in a usable store.
    HRESULT Present()
    {
        if (m_wiped)
            return E_TOKEN_NOKEY;
        StorePtr store = m_store.lock();
        return store ? store->Usable() : E_TOKEN_NOKEY;
    }

    void AddCommon(CK_OBJECT_CLASS objectClass, std::vector<P11Value>& values) const
    {
        values.push_back(P11Ulong(CKA_CLASS, objectClass));
        values.push_back(P11Bool(CKA_TOKEN, true));
        values.push_back(P11Bool(CKA_PRIVATE, objectClass == CKO_PRIVATE_KEY));
        values.push_back(P11Bool(CKA_MODIFIABLE, false));
        values.push_back(P11Bytes(CKA_LABEL, TextBytes(m_label)));
        values.push_back(P11Bytes(CKA_ID, TextBytes(m_keyId)));
    }

    HRESULT Answer(CK_ATTRIBUTE* attributes, unsigned long count, const std::vector<P11Value>& values)
    {
        HRESULT hr = Present();
        return FAILED(hr) ? hr : keychain::AnswerTemplate(attributes, count, values);
    }

    std::weak_ptr<Store> m_store;
    const std::string m_keyId;
    const std::string m_label;
    std::atomic<bool> m_wiped {false};
};

class CertificateObject final : public SoftObject<TokenObjectCertificate> {
public:
    CertificateObject(const StorePtr& store, Certificate* certificate, ossl::Bytes der, std::string keyId,
                      std::string label)
        : SoftObject(store, std::move(keyId), std::move(label)), m_certificate(certificate), m_der(std::move(der))
    {}

    const char* getType() override { return "SoftTokenCertificate"; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_CERTIFICATE; }

    void Wipe() override { m_wiped = true; }
    const ossl::Bytes& CertificateDer() override { return m_der; }
    HRESULT KeyDer(ossl::SecretBytes*) override { return E_TOKEN_NOKEY; }

    HRESULT getKeyId(const char** out) override { return SoftObject::getKeyId(out); }
    HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override
    {
        std::vector<P11Value> values;
        try {
            AddCommon(CKO_CERTIFICATE, values);
            values.push_back(P11Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509));
            values.push_back(P11Bytes(CKA_VALUE, m_der));
            const DName* subject = m_certificate->getSubject();
            if (subject != nullptr)
                values.push_back(P11Bytes(CKA_SUBJECT, {subject->der, subject->length}));
            const DName* issuer = m_certificate->getIssuer();
            if (issuer != nullptr)
                values.push_back(P11Bytes(CKA_ISSUER, {issuer->der, issuer->length}));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return Answer(attributes, count, values);
    }
    HRESULT getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path, Certificate** pathEnd) override
    {
        if (certificate != nullptr)
            *certificate = nullptr;
        if (path != nullptr)
            *path = nullptr;
        if (pathEnd != nullptr)
            *pathEnd = nullptr;
        HRESULT hr = Present();
        if (FAILED(hr))
            return hr;
        StorePtr store = m_store.lock();
        if (!store)
            return E_TOKEN_NOKEY;
        std::vector<ossl::Bytes> issuers;
        ossl::Bytes root;
        if (path != nullptr || pathEnd != nullptr) {
            hr = store->Path(m_der, &issuers, &root);
            if (FAILED(hr))
                return hr;
        }
        return keychain::HandOutPath(m_der, issuers, root, certificate, path, pathEnd);
    }
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = Present();
        StorePtr store = m_store.lock();
        if (FAILED(hr) || !store)
            return FAILED(hr) ? hr : E_TOKEN_NOKEY;
        StoredObject* key = nullptr;
        hr = store->Find(TOKEN_OBJECT_PRIVATE_KEY, m_keyId.c_str(), &key);
        if (SUCCEEDED(hr))
            *out = static_cast<TokenObjectPrivateKey*>(key->Object());
        return hr;
    }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = Present();
        return FAILED(hr) ? hr : keychain::SignatureAlgorithms(TypeOfCertificate(m_der), out);
    }

private:
    ~CertificateObject() override { m_certificate->Release(); }
    const GUID& Iid() const override { return IID_TokenObjectCertificate; }

    Certificate* m_certificate;  // one reference
    const ossl::Bytes m_der;
};

class PrivateKeyObject final : public SoftObject<TokenObjectPrivateKey> {
public:
    PrivateKeyObject(const StorePtr& store, ossl::SecretBytes pkcs8, KeyType type, std::string keyId, std::string label)
        : SoftObject(store, std::move(keyId), std::move(label)), m_pkcs8(std::move(pkcs8)), m_keyType(type)
    {}

    const char* getType() override { return "SoftTokenPrivateKey"; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PRIVATE_KEY; }

    void Wipe() override
    {
        std::lock_guard<std::mutex> lock(m_keyLock);
        m_wiped = true;
        m_pkcs8 = ossl::SecretBytes();
    }
    const ossl::Bytes& CertificateDer() override { return m_noCertificate; }
    HRESULT KeyDer(ossl::SecretBytes* out) override
    {
        std::lock_guard<std::mutex> lock(m_keyLock);
        if (m_wiped)
            return E_TOKEN_NOKEY;
        try {
            *out = m_pkcs8;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT getKeyId(const char** out) override { return SoftObject::getKeyId(out); }
    HRESULT getP11Attributes(CK_ATTRIBUTE* attributes, unsigned long count) override
    {
        std::vector<P11Value> values;
        try {
            AddCommon(CKO_PRIVATE_KEY, values);
            values.push_back(P11Ulong(CKA_KEY_TYPE, m_keyType == KeyType::Rsa ? CKK_RSA : CKK_EC));
            values.push_back(P11Bool(CKA_SIGN, true));
            values.push_back(P11Bool(CKA_DECRYPT, m_keyType == KeyType::Rsa));
            values.push_back(P11Bool(CKA_SENSITIVE, true));
            values.push_back(P11Bool(CKA_EXTRACTABLE, false));
            for (CK_ATTRIBUTE_TYPE secret : {CKA_VALUE, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                                             CKA_EXPONENT_2, CKA_COEFFICIENT}) {
                values.push_back(P11Sensitive(secret));
            }
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return Answer(attributes, count, values);
    }
    HRESULT getOps(unsigned int* operations) override
    {
        if (operations == nullptr)
            return E_POINTER;
        *operations = 0;
        HRESULT hr = Present();
        if (SUCCEEDED(hr))
            *operations = m_keyType == KeyType::Rsa ? 3u : 1u;
        return hr;
    }
    HRESULT getObjectPIN(TokenPIN** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        return Present();
    }
    HRESULT sign(const AlgId* algorithm, unsigned char flag, const unsigned char* digest, unsigned long digestLength,
                 unsigned char* signature, unsigned long* signatureLength, SECAttribute*) override
    {
        if (signatureLength == nullptr)
            return E_POINTER;
        if (digest == nullptr || digestLength == 0 || digestLength > kMaxInput)
            return E_INVALIDARG;
        HRESULT hr = Present();
        if (FAILED(hr))
            return hr;
        ossl::Bytes result;
        {
            std::lock_guard<std::mutex> lock(m_keyLock);
            if (m_wiped)
                return E_TOKEN_NOKEY;
            hr = filepse::SignWithKey(m_pkcs8, algorithm, (flag & 1) != 0, digest, digestLength, &result);
        }
        return FAILED(hr) ? hr : Deliver(result.data(), result.size(), signature, signatureLength);
    }
    HRESULT decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength, unsigned char* out,
                    unsigned long* outLength, SECAttribute*) override
    {
        if (outLength == nullptr)
            return E_POINTER;
        if (in == nullptr || inLength == 0 || inLength > kMaxInput || m_keyType != KeyType::Rsa)
            return E_INVALIDARG;
        HRESULT hr = Present();
        if (FAILED(hr))
            return hr;
        ossl::SecretBytes plain;
        {
            std::lock_guard<std::mutex> lock(m_keyLock);
            if (m_wiped)
                return E_TOKEN_NOKEY;
            hr = filepse::DecryptWithKey(m_pkcs8, algorithm, in, inLength, &plain);
        }
        return FAILED(hr) ? hr : Deliver(plain.data(), plain.size(), out, outLength);
    }
    // No public-key objects; the certificates that share the key identifier.
    HRESULT getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                        unsigned long* count) override
    {
        if (publicKey != nullptr)
            *publicKey = nullptr;
        HRESULT hr = Present();
        StorePtr store = m_store.lock();
        if (FAILED(hr) || !store)
            return FAILED(hr) ? hr : E_TOKEN_NOKEY;
        if (count == nullptr)
            return S_OK;
        if (m_keyId.empty()) {
            *count = 0;
            return S_OK;
        }
        return store->List(reinterpret_cast<TokenObject**>(certificates), count, TOKEN_OBJECT_CERTIFICATE,
                           m_keyId.c_str(), nullptr);
    }
    HRESULT getPublicKeyInfo(KeyInfo** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = Present();
        StorePtr store = m_store.lock();
        if (FAILED(hr) || !store)
            return FAILED(hr) ? hr : E_TOKEN_NOKEY;
        StoredObject* certificate = nullptr;
        hr = store->Find(TOKEN_OBJECT_CERTIFICATE, m_keyId.c_str(), &certificate);
        if (FAILED(hr))
            return hr;
        hr = keychain::CertificatePublicKey(certificate->CertificateDer(), out);
        certificate->Object()->Release();
        return hr;
    }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        HRESULT hr = Present();
        return FAILED(hr) ? hr : keychain::SignatureAlgorithms(m_keyType, out);
    }

private:
    const GUID& Iid() const override { return IID_TokenObjectPrivateKey; }

    std::mutex m_keyLock;
    ossl::SecretBytes m_pkcs8;  // PrivateKeyInfo DER; wiped on removal
    const KeyType m_keyType;
    const ossl::Bytes m_noCertificate;
};

HRESULT CheckTexts(const char* keyId, const char* label)
{
    if ((keyId != nullptr && strnlen(keyId, kMaxText + 1) > kMaxText)
        || (label != nullptr && strnlen(label, kMaxText + 1) > kMaxText)) {
        return E_INVALIDARG;
    }
    return S_OK;
}

// Puts a new object (one reference) into the store and hands it out.
template <class I, class O>
HRESULT Publish(const StorePtr& store, O* object, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label, I** out)
{
    HRESULT hr = store->Add(object, type, keyId, label);
    if (SUCCEEDED(hr) && out != nullptr)
        *out = object;
    else
        object->Release();
    return hr;
}

}  // namespace

HRESULT NewPrivateKeyObject(const StorePtr& store, const KeyInfo* key, const char* keyId, const char* label,
                            unsigned int, TokenObjectPrivateKey** out)
{
    if (out != nullptr)
        *out = nullptr;
    if (key == nullptr || key->key == nullptr || !store)
        return E_INVALIDARG;
    HRESULT hr = CheckTexts(keyId, label);
    if (FAILED(hr))
        return hr;
    hr = store->Usable();
    if (FAILED(hr))
        return hr;
    try {
        ossl::SecretBytes pkcs8;
        hr = values::Pkcs8DerOfKey(key, pkcs8);
        if (FAILED(hr))
            return hr;
        const unsigned char* p = pkcs8.data();
        ossl::EvpPkeyPtr parsed(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size())));
        const KeyType type = TypeOfKey(parsed.get());
        if (type == KeyType::Other)
            return E_INVALIDARG;
        auto* object = new PrivateKeyObject(store, std::move(pkcs8), type, keyId != nullptr ? keyId : "",
                                            label != nullptr ? label : "");
        return Publish(store, object, TOKEN_OBJECT_PRIVATE_KEY, keyId, label, out);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT NewCertificateObject(const StorePtr& store, Certificate* certificate, const char* keyId, const char* label,
                             TokenObjectCertificate** out)
{
    if (out != nullptr)
        *out = nullptr;
    if (certificate == nullptr || !store)
        return E_INVALIDARG;
    HRESULT hr = CheckTexts(keyId, label);
    if (FAILED(hr))
        return hr;
    hr = store->Usable();
    if (FAILED(hr))
        return hr;
    const uint8_t* der = nullptr;
    size_t length = 0;
    if (!values::CertificateDer(certificate, &der, &length))
        return E_INVALIDARG;
    Certificate* held = nullptr;
    hr = certificate->cpy(&held);
    if (FAILED(hr))
        return hr;
    try {
        auto* object = new CertificateObject(store, held, ossl::Bytes(der, der + length), keyId != nullptr ? keyId : "",
                                             label != nullptr ? label : "");
        return Publish(store, object, TOKEN_OBJECT_CERTIFICATE, keyId, label, out);
    } catch (...) {
        held->Release();
        return E_OUTOFMEMORY;
    }
}

}  // namespace kestrin::qevcrypto::swtoken
