// Doubles of the token objects: data, certificates, public, private and
// secret keys.
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

#include "qev_doubles.h"

namespace kestrin::qevtest {

namespace {

// A value of the library's type `index` from its DER.
template <class T>
HRESULT FromDer(unsigned int index, const unsigned char* der, size_t length, T** out)
{
    *out = nullptr;
    const SEC_TYPE_TABLE* type = Type(index);
    if (type == nullptr)
        return E_FAIL;
    OctetString s {length, const_cast<unsigned char*>(der)};
    void* value = nullptr;
    HRESULT hr = type->decode(&s, &value);
    *out = static_cast<T*>(value);
    return hr;
}

HRESULT PublicKeyInfo(EVP_PKEY* key, KeyInfo** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0)
        return E_FAIL;
    HRESULT hr = FromDer(SEC_TYPE_KeyInfo, der, static_cast<size_t>(length), out);
    OPENSSL_free(der);
    return hr;
}

// The digest an algorithm identifier names, alone or with a signature.
const EVP_MD* DigestOf(const AlgId* algorithm)
{
    if (algorithm == nullptr || algorithm->objid == nullptr || algorithm->objid->length == 0
        || algorithm->objid->length > 127)
        return nullptr;
    unsigned char der[2 + 127];
    der[0] = 0x06;
    der[1] = static_cast<unsigned char>(algorithm->objid->length);
    std::copy(algorithm->objid->data, algorithm->objid->data + algorithm->objid->length, der + 2);
    const unsigned char* p = der;
    ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(2 + algorithm->objid->length));
    const int nid = object != nullptr ? OBJ_obj2nid(object) : NID_undef;
    ASN1_OBJECT_free(object);
    int digest = NID_undef;
    int key = NID_undef;
    if (!OBJ_find_sigid_algs(nid, &digest, &key))
        digest = nid;
    return EVP_get_digestbynid(digest);
}

// One OpenSSL private-key operation into the caller's buffer.
template <class Init, class Run>
HRESULT KeyOperation(EVP_PKEY* key, const AlgId* algorithm, bool signing, const unsigned char* in,
                     unsigned long inLength, unsigned char* out, unsigned long* outLength, Init init, Run run)
{
    if (outLength == nullptr || (in == nullptr && inLength != 0))
        return E_POINTER;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    HRESULT hr = ctx != nullptr && init(ctx) == 1 ? S_OK : E_FAIL;
    if (SUCCEEDED(hr) && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA
        && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1)
        hr = E_FAIL;
    const EVP_MD* md = signing ? DigestOf(algorithm) : nullptr;
    if (SUCCEEDED(hr) && md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx, md) != 1)
        hr = E_FAIL;
    size_t needed = 0;
    if (SUCCEEDED(hr) && run(ctx, nullptr, &needed, in, inLength) != 1)
        hr = E_FAIL;
    if (SUCCEEDED(hr) && (out == nullptr || *outLength < needed)) {
        *outLength = needed;
        hr = E_PSE_BUFFERTOOSMALL;
    }
    if (hr == S_OK) {
        size_t written = *outLength;
        if (run(ctx, out, &written, in, inLength) == 1)
            *outLength = written;
        else
            hr = E_FAIL;
    }
    EVP_PKEY_CTX_free(ctx);
    return hr;
}

}  // namespace

// Data

FakeDataObject::FakeDataObject(std::string label, std::vector<unsigned char> data)
    : FakeTokenObject("FakeDataObject", "", std::move(label)), m_data(std::move(data))
{}

HRESULT FakeDataObject::getData(OctetString** out)
{
    if (out == nullptr)
        return Answer("getData", E_POINTER);
    *out = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getData", hr))
        return hr;
    OctetString s {m_data.size(), m_data.data()};
    void* copy = nullptr;
    hr = Type(SEC_TYPE_OctetString)->copy(&s, &copy);
    *out = static_cast<OctetString*>(copy);
    return hr;
}

// Certificate

FakeCertificateObject::FakeCertificateObject(Certificate* certificate, std::string keyId, std::string label)
    : FakeTokenObject("FakeCertificateObject", std::move(keyId), std::move(label)), m_certificate(certificate)
{
    m_certificate->AddRef();
}

FakeCertificateObject::~FakeCertificateObject()
{
    SetPath({}, nullptr);
    m_certificate->Release();
}

void FakeCertificateObject::SetPath(const std::vector<Certificate*>& path, Certificate* pathEnd)
{
    for (Certificate* c : path)
        c->AddRef();
    if (pathEnd != nullptr)
        pathEnd->AddRef();
    for (Certificate* c : m_path)
        c->Release();
    if (m_pathEnd != nullptr)
        m_pathEnd->Release();
    m_path = path;
    m_pathEnd = pathEnd;
}

HRESULT FakeCertificateObject::getKeyId(const char** keyId)
{
    if (keyId != nullptr)
        *keyId = m_keyId.c_str();
    return Answer("getKeyId");
}

HRESULT FakeCertificateObject::getCertPath(Certificate** certificate, SEQUENCE_OF_Certificate** path,
                                           Certificate** pathEnd)
{
    if (certificate != nullptr)
        *certificate = nullptr;
    if (path != nullptr)
        *path = nullptr;
    if (pathEnd != nullptr)
        *pathEnd = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getCertPath", hr))
        return hr;
    const SEC_TYPE_TABLE* list = Type(SEC_TYPE_SEQUENCE_OF_Certificate);
    SEQUENCE_OF_Certificate* head = nullptr;
    SEQUENCE_OF_Certificate** cursor = &head;
    for (size_t i = 0; path != nullptr && i < m_path.size(); ++i) {
        if (FAILED(hr = list->new_node(reinterpret_cast<void**>(cursor)))) {
            list->free(head);
            return hr;
        }
        m_path[i]->AddRef();
        (*cursor)->element = m_path[i];
        cursor = &(*cursor)->next;
    }
    if (certificate != nullptr) {
        m_certificate->AddRef();
        *certificate = m_certificate;
    }
    if (path != nullptr)
        *path = head;
    if (pathEnd != nullptr && m_pathEnd != nullptr) {
        m_pathEnd->AddRef();
        *pathEnd = m_pathEnd;
    }
    return S_OK;
}

HRESULT FakeCertificateObject::getPrivateKeyObj(TokenObjectPrivateKey** out)
{
    if (out == nullptr)
        return Answer("getPrivateKeyObj", E_POINTER);
    *out = nullptr;
    HRESULT hr = Answer("getPrivateKeyObj", privateKey != nullptr ? S_OK : S_FALSE);
    if (SUCCEEDED(hr) && privateKey != nullptr) {
        privateKey->AddRef();
        *out = privateKey;
    }
    return hr;
}

HRESULT FakeCertificateObject::getSigAlgs(SEQUENCE_OF_AlgId** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("getSigAlgs");
}

// Public key

FakePublicKeyObject::FakePublicKeyObject(EVP_PKEY* key, std::string keyId, std::string label)
    : FakeTokenObject("FakePublicKeyObject", std::move(keyId), std::move(label)), m_key(key)
{
    EVP_PKEY_up_ref(m_key);
}

FakePublicKeyObject::~FakePublicKeyObject()
{
    EVP_PKEY_free(m_key);
}

HRESULT FakePublicKeyObject::getKeyId(const char** keyId)
{
    if (keyId != nullptr)
        *keyId = m_keyId.c_str();
    return Answer("getKeyId");
}

HRESULT FakePublicKeyObject::getKeyInfo(KeyInfo** out)
{
    HRESULT hr = S_OK;
    if (out != nullptr)
        *out = nullptr;
    if (Scripted("getKeyInfo", hr))
        return hr;
    return PublicKeyInfo(m_key, out);
}

HRESULT FakePublicKeyObject::getPrivateKeyObj(TokenObjectPrivateKey** out)
{
    if (out == nullptr)
        return Answer("getPrivateKeyObj", E_POINTER);
    *out = nullptr;
    HRESULT hr = Answer("getPrivateKeyObj", privateKey != nullptr ? S_OK : S_FALSE);
    if (SUCCEEDED(hr) && privateKey != nullptr) {
        privateKey->AddRef();
        *out = privateKey;
    }
    return hr;
}

HRESULT FakePublicKeyObject::getSigAlgs(SEQUENCE_OF_AlgId** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("getSigAlgs");
}

// Private key

FakePrivateKeyObject::FakePrivateKeyObject(EVP_PKEY* key, std::string keyId, std::string label)
    : FakeTokenObject("FakePrivateKeyObject", std::move(keyId), std::move(label)), m_key(key)
{
    EVP_PKEY_up_ref(m_key);
}

FakePrivateKeyObject::~FakePrivateKeyObject()
{
    SetPIN(nullptr);
    SetPublicKey(nullptr);
    for (FakeCertificateObject* c : m_certificates)
        c->Release();
    EVP_PKEY_free(m_key);
}

void FakePrivateKeyObject::SetPIN(TokenPIN* pinObject)
{
    if (pinObject != nullptr)
        pinObject->AddRef();
    if (m_pin != nullptr)
        m_pin->Release();
    m_pin = pinObject;
}

void FakePrivateKeyObject::SetPublicKey(FakePublicKeyObject* publicKey)
{
    if (publicKey != nullptr)
        publicKey->AddRef();
    if (m_publicKey != nullptr)
        m_publicKey->Release();
    m_publicKey = publicKey;
}

void FakePrivateKeyObject::AddCertificate(FakeCertificateObject* certificate)
{
    certificate->AddRef();
    m_certificates.push_back(certificate);
}

HRESULT FakePrivateKeyObject::getKeyId(const char** keyId)
{
    if (keyId != nullptr)
        *keyId = m_keyId.c_str();
    return Answer("getKeyId");
}

HRESULT FakePrivateKeyObject::getOps(unsigned int* out)
{
    if (out != nullptr)
        *out = operations;
    return Answer("getOps");
}

HRESULT FakePrivateKeyObject::getObjectPIN(TokenPIN** out)
{
    if (out == nullptr)
        return Answer("getObjectPIN", E_POINTER);
    *out = nullptr;
    HRESULT hr = Answer("getObjectPIN", m_pin != nullptr ? S_OK : S_FALSE);
    if (SUCCEEDED(hr) && m_pin != nullptr) {
        m_pin->AddRef();
        *out = m_pin;
    }
    return hr;
}

HRESULT FakePrivateKeyObject::sign(const AlgId* algorithm, unsigned char, const unsigned char* digest,
                                   unsigned long digestLength, unsigned char* signature, unsigned long* signatureLength,
                                   SECAttribute*)
{
    HRESULT hr = S_OK;
    if (Scripted("sign", hr))
        return hr;
    return KeyOperation(m_key, algorithm, true, digest, digestLength, signature, signatureLength, &EVP_PKEY_sign_init,
                        &EVP_PKEY_sign);
}

HRESULT FakePrivateKeyObject::decrypt(const AlgId* algorithm, const unsigned char* in, unsigned long inLength,
                                      unsigned char* out, unsigned long* outLength, SECAttribute*)
{
    HRESULT hr = S_OK;
    if (Scripted("decrypt", hr))
        return hr;
    return KeyOperation(m_key, algorithm, false, in, inLength, out, outLength, &EVP_PKEY_decrypt_init,
                        &EVP_PKEY_decrypt);
}

HRESULT FakePrivateKeyObject::getCertObjs(TokenObjectPublicKey** publicKey, TokenObjectCertificate** certificates,
                                          unsigned long* count)
{
    if (publicKey != nullptr)
        *publicKey = nullptr;
    HRESULT hr = S_OK;
    if (Scripted("getCertObjs", hr))
        return hr;
    if (publicKey != nullptr && m_publicKey != nullptr) {
        m_publicKey->AddRef();
        *publicKey = m_publicKey;
    }
    if (count == nullptr)
        return S_OK;
    for (unsigned long i = 0; certificates != nullptr && i < *count; ++i) {
        certificates[i] = i < m_certificates.size() ? m_certificates[i] : nullptr;
        if (certificates[i] != nullptr)
            certificates[i]->AddRef();
    }
    *count = m_certificates.size();
    return S_OK;
}

HRESULT FakePrivateKeyObject::getPublicKeyInfo(KeyInfo** out)
{
    HRESULT hr = S_OK;
    if (out != nullptr)
        *out = nullptr;
    if (Scripted("getPublicKeyInfo", hr))
        return hr;
    return PublicKeyInfo(m_key, out);
}

HRESULT FakePrivateKeyObject::getSigAlgs(SEQUENCE_OF_AlgId** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("getSigAlgs");
}

// Secret key

FakeSecretKeyObject::FakeSecretKeyObject(AlgEnc algorithm, int bits, std::string label)
    : FakeTokenObject("FakeSecretKeyObject", "", std::move(label)), m_algorithm(algorithm), m_bits(bits)
{}

HRESULT FakeSecretKeyObject::cipher_init(SEC_CIPHER** cipher, SECAttribute*)
{
    if (cipher != nullptr)
        *cipher = nullptr;
    return Answer("cipher_init", E_NOTIMPL);
}

HRESULT FakeSecretKeyObject::cipher_all(SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                                        unsigned long*)
{
    return Answer("cipher_all", E_NOTIMPL);
}

HRESULT FakeSecretKeyObject::get_key_type(AlgEnc* algorithm, int* bits)
{
    if (algorithm != nullptr)
        *algorithm = m_algorithm;
    if (bits != nullptr)
        *bits = m_bits;
    return Answer("get_key_type");
}

}  // namespace kestrin::qevtest
