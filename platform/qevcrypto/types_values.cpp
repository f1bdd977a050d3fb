#include "types_values.h"

#include <openssl/objects.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <string>

#include "sec_certificate_fields.h"
#include "types_codec.h"
#include "types_der.h"

namespace kestrin::qevcrypto::values {

OctetString* NewOctets(const uint8_t* data, size_t length)
{
    OctetString* s = NewZeroed<OctetString>();
    if (s == nullptr)
        return nullptr;
    s->data = static_cast<unsigned char*>(std::malloc(length + 1));
    if (s->data == nullptr) {
        std::free(s);
        return nullptr;
    }
    if (length != 0)
        std::memcpy(s->data, data, length);
    s->data[length] = 0;
    s->length = length;
    return s;
}

void FreeOctets(OctetString* s)
{
    if (s == nullptr)
        return;
    if (s->data != nullptr) {
        OPENSSL_cleanse(s->data, s->length);
        std::free(s->data);
    }
    std::free(s);
}

OctetString* CopyOctets(const OctetString* s)
{
    return s == nullptr ? nullptr : NewOctets(s->data, s->length);
}

namespace {

int CompareBytes(const unsigned char* a, uint64_t alen, const unsigned char* b, uint64_t blen)
{
    int c = alen == 0 || blen == 0 ? 0 : std::memcmp(a, b, std::min(alen, blen));
    if (c != 0)
        return c;
    return alen < blen ? -1 : alen > blen ? 1 : 0;
}

template <class T, class F>
int ComparePointers(const T* a, const T* b, F compare)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    return compare(a, b);
}

struct OidAlias {
    const char* text;
    int nid;
};

// Names the library's callers use that OpenSSL spells differently.
constexpr OidAlias kOidAliases[] = {
    {"SHA-1", NID_sha1},
    {"SHA-256", NID_sha256},
    {"SHA-384", NID_sha384},
    {"SHA-512", NID_sha512},
};

}  // namespace

ObjId* ObjIdFromObject(const ASN1_OBJECT* obj)
{
    const unsigned char* data = OBJ_get0_data(obj);
    size_t length = OBJ_length(obj);
    if (data == nullptr || length == 0)
        return nullptr;
    ObjId* id = NewZeroed<ObjId>();
    if (id == nullptr)
        return nullptr;
    id->data = static_cast<unsigned char*>(std::malloc(length));
    if (id->data == nullptr) {
        std::free(id);
        return nullptr;
    }
    std::memcpy(id->data, data, length);
    id->length = length;
    return id;
}

namespace {

// An algorithm identifier from its DER: the object identifier and whatever
// parameters follow it.
AlgId* AlgIdFromDer(const uint8_t* der, size_t length)
{
    der::Reader outer {der, der + length};
    uint8_t tag;
    const uint8_t* content;
    size_t len;
    if (!outer.Next(tag, content, len) || tag != der::TAG_SEQUENCE)
        return nullptr;
    der::Reader inner {content, content + len};
    const uint8_t* oid;
    size_t oidLen;
    if (!inner.Next(tag, oid, oidLen) || tag != der::TAG_OID || oidLen == 0)
        return nullptr;
    AlgId* a = NewZeroed<AlgId>();
    if (a == nullptr)
        return nullptr;
    a->objid = NewZeroed<ObjId>();
    if (a->objid == nullptr || (a->objid->data = static_cast<unsigned char*>(std::malloc(oidLen))) == nullptr) {
        FreeAlgId(a);
        return nullptr;
    }
    std::memcpy(a->objid->data, oid, oidLen);
    a->objid->length = oidLen;
    if (!inner.AtEnd()) {
        a->param = NewOctets(inner.p, static_cast<size_t>(inner.end - inner.p));
        if (a->param == nullptr) {
            FreeAlgId(a);
            return nullptr;
        }
    }
    return a;
}

HRESULT AppendAlgId(ossl::SecretBytes& out, const AlgId* a)
{
    return codec::EncodeAlgId(a, out);
}

KeyInfo* NewKeyInfo(AlgId* algorithm, const uint8_t* key, size_t bytes, uint64_t bits)
{
    KeyInfo* k = NewZeroed<KeyInfo>();
    if (k == nullptr) {
        FreeAlgId(algorithm);
        return nullptr;
    }
    k->algorithm = algorithm;
    k->key = static_cast<unsigned char*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (k->key == nullptr) {
        FreeKeyInfo(k);
        return nullptr;
    }
    if (bytes != 0)
        std::memcpy(k->key, key, bytes);
    k->bits = bits;
    return k;
}

}  // namespace

int CompareOctets(const OctetString* a, const OctetString* b)
{
    return ComparePointers(a, b, [](const OctetString* x, const OctetString* y) {
        return CompareBytes(x->data, x->length, y->data, y->length);
    });
}

void FreeObjId(ObjId* id)
{
    if (id == nullptr)
        return;
    std::free(id->data);
    std::free(id);
}

ObjId* CopyObjId(const ObjId* id)
{
    if (id == nullptr)
        return nullptr;
    ObjId* c = NewZeroed<ObjId>();
    if (c == nullptr)
        return nullptr;
    if (id->length != 0) {
        c->data = static_cast<unsigned char*>(std::malloc(id->length));
        if (c->data == nullptr) {
            std::free(c);
            return nullptr;
        }
        std::memcpy(c->data, id->data, id->length);
    }
    c->length = id->length;
    return c;
}

int CompareObjId(const ObjId* a, const ObjId* b)
{
    return ComparePointers(
        a, b, [](const ObjId* x, const ObjId* y) { return CompareBytes(x->data, x->length, y->data, y->length); });
}

// "{ 1, 2, 840 }" (braces optional) as "1.2.840"; other texts unchanged.
static std::string DottedForm(const char* text)
{
    std::string in(text);
    if (in.find(',') == std::string::npos && in.find('{') == std::string::npos)
        return in;
    std::string out;
    size_t begin = in.find_first_not_of(" \t");
    size_t end = in.find_last_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    in = in.substr(begin, end - begin + 1);
    if (in.front() == '{' && in.back() == '}')
        in = in.substr(1, in.size() - 2);
    for (char c : in) {
        if (c == ',')
            out.push_back('.');
        else if (c != ' ' && c != '\t')
            out.push_back(c);
    }
    return out.find_first_not_of("0123456789.") == std::string::npos ? out : std::string();
}

ObjId* ObjIdFromText(const char* text)
{
    if (text == nullptr || *text == '\0' || std::strlen(text) > 256)
        return nullptr;
    for (const OidAlias& alias : kOidAliases)
        if (std::strcmp(alias.text, text) == 0)
            return ObjIdFromObject(OBJ_nid2obj(alias.nid));
    const std::string dotted = DottedForm(text);
    if (dotted.empty())
        return nullptr;
    ossl::Asn1ObjectPtr obj(OBJ_txt2obj(dotted.c_str(), 0));
    return obj ? ObjIdFromObject(obj.get()) : nullptr;
}

int ObjIdNid(const ObjId* id)
{
    if (id == nullptr || id->data == nullptr || id->length == 0 || id->length > INT_MAX)
        return NID_undef;
    ossl::Asn1ObjectPtr obj(ASN1_OBJECT_create(NID_undef, id->data, static_cast<int>(id->length), nullptr, nullptr));
    return obj ? OBJ_obj2nid(obj.get()) : NID_undef;
}

void FreeAlgId(AlgId* a)
{
    if (a == nullptr)
        return;
    FreeObjId(a->objid);
    FreeOctets(a->param);
    std::free(a);
}

AlgId* CopyAlgId(const AlgId* a)
{
    if (a == nullptr)
        return nullptr;
    AlgId* c = NewZeroed<AlgId>();
    if (c == nullptr)
        return nullptr;
    if ((a->objid != nullptr && (c->objid = CopyObjId(a->objid)) == nullptr)
        || (a->param != nullptr && (c->param = CopyOctets(a->param)) == nullptr)) {
        FreeAlgId(c);
        return nullptr;
    }
    return c;
}

int CompareAlgId(const AlgId* a, const AlgId* b)
{
    return ComparePointers(a, b, [](const AlgId* x, const AlgId* y) {
        int c = CompareObjId(x->objid, y->objid);
        return c != 0 ? c : CompareOctets(x->param, y->param);
    });
}

void FreeKeyInfo(KeyInfo* k)
{
    if (k == nullptr)
        return;
    FreeAlgId(k->algorithm);
    if (k->key != nullptr) {
        OPENSSL_cleanse(k->key, (k->bits + 7) / 8);
        std::free(k->key);
    }
    std::free(k);
}

KeyInfo* CopyKeyInfo(const KeyInfo* k)
{
    if (k == nullptr)
        return nullptr;
    AlgId* algorithm = nullptr;
    if (k->algorithm != nullptr && (algorithm = CopyAlgId(k->algorithm)) == nullptr)
        return nullptr;
    return NewKeyInfo(algorithm, k->key, (k->bits + 7) / 8, k->bits);
}

int CompareKeyInfo(const KeyInfo* a, const KeyInfo* b)
{
    return ComparePointers(a, b, [](const KeyInfo* x, const KeyInfo* y) {
        int c = CompareAlgId(x->algorithm, y->algorithm);
        if (c != 0)
            return c;
        if (x->bits != y->bits)
            return x->bits < y->bits ? -1 : 1;
        return CompareBytes(x->key, (x->bits + 7) / 8, y->key, (y->bits + 7) / 8);
    });
}

void FreePrivateKeyInfo(PrivateKeyInfo* p)
{
    if (p == nullptr)
        return;
    FreeAlgId(p->algorithm);
    FreeOctets(p->privateKey);
    std::free(p);
}

PrivateKeyInfo* CopyPrivateKeyInfo(const PrivateKeyInfo* p)
{
    if (p == nullptr)
        return nullptr;
    PrivateKeyInfo* c = NewZeroed<PrivateKeyInfo>();
    if (c == nullptr)
        return nullptr;
    c->version = p->version;
    if ((p->algorithm != nullptr && (c->algorithm = CopyAlgId(p->algorithm)) == nullptr)
        || (p->privateKey != nullptr && (c->privateKey = CopyOctets(p->privateKey)) == nullptr)) {
        FreePrivateKeyInfo(c);
        return nullptr;
    }
    return c;
}

void FreeKeyPair(KeyPair* p)
{
    if (p == nullptr)
        return;
    FreeKeyInfo(p->publicKey);
    FreeKeyInfo(p->privateKey);
    std::free(p);
}

HRESULT SpkiDer(const KeyInfo* publicKey, ossl::Bytes& out)
{
    out.clear();
    if (publicKey == nullptr || publicKey->key == nullptr)
        return E_INVALIDARG;
    ossl::SecretBytes body;
    HRESULT hr = AppendAlgId(body, publicKey->algorithm);
    if (FAILED(hr))
        return hr;
    size_t bytes = (publicKey->bits + 7) / 8;
    ossl::SecretBytes bits;
    bits.push_back(static_cast<uint8_t>(bytes * 8 - publicKey->bits));
    bits.insert(bits.end(), publicKey->key, publicKey->key + bytes);
    der::AppendTlv(body, der::TAG_BIT_STRING, bits.data(), bits.size());
    ossl::SecretBytes der;
    der::AppendTlv(der, der::TAG_SEQUENCE, body.data(), body.size());
    out.assign(der.begin(), der.end());
    return S_OK;
}

namespace {

HRESULT BuildPkcs8(int version, const AlgId* algorithm, const uint8_t* key, size_t length, ossl::SecretBytes& der)
{
    der.clear();
    if (version < 0 || version > 1 || key == nullptr)
        return E_INVALIDARG;
    ossl::SecretBytes body;
    uint8_t v = static_cast<uint8_t>(version);
    der::AppendTlv(body, der::TAG_INTEGER, &v, 1);
    HRESULT hr = AppendAlgId(body, algorithm);
    if (FAILED(hr))
        return hr;
    der::AppendTlv(body, der::TAG_OCTET_STRING, key, length);
    der::AppendTlv(der, der::TAG_SEQUENCE, body.data(), body.size());
    return S_OK;
}

}  // namespace

HRESULT Pkcs8Der(const PrivateKeyInfo* record, ossl::SecretBytes& der)
{
    if (record == nullptr || record->privateKey == nullptr)
        return E_INVALIDARG;
    return BuildPkcs8(record->version, record->algorithm, record->privateKey->data, record->privateKey->length, der);
}

HRESULT Pkcs8DerOfKey(const KeyInfo* privateKey, ossl::SecretBytes& der)
{
    if (privateKey == nullptr)
        return E_INVALIDARG;
    return BuildPkcs8(0, privateKey->algorithm, privateKey->key, privateKey->bits / 8, der);
}

HRESULT PrivateKeyInfoFromDer(const uint8_t* derBytes, size_t length, PrivateKeyInfo** out)
{
    *out = nullptr;
    der::Reader outer {derBytes, derBytes + length};
    uint8_t tag;
    const uint8_t* content;
    size_t len;
    if (!outer.Next(tag, content, len) || tag != der::TAG_SEQUENCE)
        return E_INVALIDARG;
    der::Reader inner {content, content + len};
    const uint8_t* version;
    size_t versionLen;
    const uint8_t* alg;
    size_t algLen;
    const uint8_t* algWhole;
    size_t algWholeLen;
    const uint8_t* key;
    size_t keyLen;
    if (!inner.Next(tag, version, versionLen) || tag != der::TAG_INTEGER || versionLen != 1 || version[0] > 1
        || !inner.Next(tag, alg, algLen, &algWhole, &algWholeLen) || tag != der::TAG_SEQUENCE
        || !inner.Next(tag, key, keyLen) || tag != der::TAG_OCTET_STRING)
        return E_INVALIDARG;
    PrivateKeyInfo* p = NewZeroed<PrivateKeyInfo>();
    if (p == nullptr)
        return E_OUTOFMEMORY;
    p->version = version[0];
    // The algorithm's own decoder: a record read here must encode again, so
    // an identifier the encoder would refuse is refused now.
    codec::In algorithm(algWhole, algWholeLen, 0);
    HRESULT hr = codec::DecodeAlgId(algorithm, &p->algorithm);
    if (FAILED(hr) || !algorithm.AtEnd()) {
        FreePrivateKeyInfo(p);
        return FAILED(hr) ? hr : E_INVALIDARG;
    }
    p->privateKey = NewOctets(key, keyLen);
    if (p->privateKey == nullptr) {
        FreePrivateKeyInfo(p);
        return E_OUTOFMEMORY;
    }
    *out = p;
    return S_OK;
}

namespace {

constexpr char kCertificateType[] = "Certificate";

class CertificateImpl final : public Certificate {
public:
    CertificateImpl(ossl::X509Ptr cert, ossl::Bytes der)
        : m_x509(std::move(cert)), m_der(std::move(der)), m_fields(false)
    {}
    // A certificate under construction: it has no encoding yet and equals
    // only itself.
    explicit CertificateImpl(ossl::X509Ptr cert) : m_x509(std::move(cert)), m_fields(true) {}

    HRESULT QueryInterface(const GUID& iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (!(iid == IID_IUnknown)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *out = static_cast<IUnknown*>(this);
        return S_OK;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    const char* getType() override { return kCertificateType; }
    HRESULT cpy(Certificate** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        AddRef();
        *out = this;
        return S_OK;
    }
    int cmp(const Certificate* other) override
    {
        auto* o = const_cast<Certificate*>(other);
        if (o == nullptr || o->getType() != kCertificateType)
            return 1;
        if (m_der.empty() || static_cast<CertificateImpl*>(o)->m_der.empty())
            return o == this ? 0 : 1;
        const ossl::Bytes& d = static_cast<CertificateImpl*>(o)->m_der;
        return CompareBytes(m_der.data(), m_der.size(), d.data(), d.size());
    }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT getPublicKeyInfo(KeyInfo** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        X509_PUBKEY* pub = X509_get_X509_PUBKEY(m_x509.get());
        const unsigned char* key = nullptr;
        int keyLen = 0;
        X509_ALGOR* alg = nullptr;
        if (pub == nullptr || !X509_PUBKEY_get0_param(nullptr, &key, &keyLen, &alg, pub) || keyLen < 0)
            return E_FAIL;
        unsigned char* algDer = nullptr;
        int algLen = i2d_X509_ALGOR(alg, &algDer);
        if (algLen <= 0)
            return E_FAIL;
        AlgId* algorithm = AlgIdFromDer(algDer, static_cast<size_t>(algLen));
        OPENSSL_free(algDer);
        if (algorithm == nullptr)
            return E_OUTOFMEMORY;
        *out = NewKeyInfo(algorithm, key, static_cast<size_t>(keyLen), static_cast<uint64_t>(keyLen) * 8);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT getSubjectCommonName(char** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        X509_NAME* subject = X509_get_subject_name(m_x509.get());
        int index = subject != nullptr ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
        if (index < 0)
            return S_FALSE;
        ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
        unsigned char* utf8 = nullptr;
        int len = ASN1_STRING_to_UTF8(&utf8, value);
        if (len < 0)
            return E_FAIL;
        *out = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
        if (*out != nullptr) {
            std::memcpy(*out, utf8, static_cast<size_t>(len));
            (*out)[len] = '\0';
        }
        OPENSSL_free(utf8);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    const KeyUsage* getExtKeyUsage(uint8_t* critical) override { return m_fields.GetKeyUsage(x509(), critical); }
    const SEQUENCE_OF_ObjId* getExtExtendedKeyUsage() override { return m_fields.GetExtendedKeyUsage(x509()); }
    const BasicConstraints* getExtBasicConstraints() override { return m_fields.GetBasicConstraints(x509()); }
    const DName* getSubject() override { return m_fields.GetSubject(x509()); }
    const DName* getIssuer() override { return m_fields.GetIssuer(x509()); }
    const char* getNotBefore() override { return m_fields.GetNotBefore(x509()); }
    const char* getNotAfter() override { return m_fields.GetNotAfter(x509()); }
    const OctetString* getSerialNumber() override { return m_fields.GetSerialNumber(x509()); }
    HRESULT setSubjectPublicKey(const KeyInfo* key) override { return m_fields.SetPublicKey(x509(), key); }
    HRESULT setIssuer(const DName* name) override { return m_fields.SetName(x509(), true, name); }
    HRESULT setSubject(const DName* name) override { return m_fields.SetName(x509(), false, name); }
    HRESULT setSerialNumber(const OctetString* serial) override { return m_fields.SetSerialNumber(x509(), serial); }
    HRESULT setNotBefore(const char* time) override { return m_fields.SetTime(x509(), false, time); }
    HRESULT setNotAfter(const char* time) override { return m_fields.SetTime(x509(), true, time); }
    HRESULT setExtKeyUsage(const KeyUsage* usage, uint8_t critical) override
    {
        return m_fields.SetKeyUsage(x509(), usage, critical);
    }

    const OctetString* getSubjectKeyIdentifier() override { return m_fields.GetSubjectKeyIdentifier(x509()); }
    int isAuthority() override { return m_fields.IsAuthority(x509()); }
    int getDecidingNumber() override { return m_fields.GetVersion(x509()); }
    HRESULT getExtNonSupported(unsigned long index, ObjId** id, OctetString** value, uint8_t* critical) override
    {
        return m_fields.GetNonSupportedExtension(x509(), index, id, value, critical);
    }
    HRESULT getToBeSignedDer(const AlgId* algorithm, OctetString** der) override
    {
        if (der == nullptr)
            return E_POINTER;
        *der = nullptr;
        ossl::SecretBytes algorithmDer;
        HRESULT hr = AppendAlgId(algorithmDer, algorithm);
        if (FAILED(hr))
            return hr;
        ossl::Bytes tbs;
        hr = m_fields.SetSignatureAlgorithm(x509(), algorithmDer, tbs);
        if (FAILED(hr))
            return hr;
        *der = NewOctets(tbs.data(), tbs.size());
        return *der != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT setSignature(const unsigned char* signature, uint64_t length) override
    {
        return m_fields.SetSignature(x509(), signature, static_cast<size_t>(length));
    }

    X509* x509() const { return m_x509.get(); }
    const ossl::Bytes& der() const { return m_der; }

private:
    ~CertificateImpl() = default;

    std::atomic<long> m_refs {1};
    ossl::X509Ptr m_x509;
    ossl::Bytes m_der;
    CertificateFields m_fields;
};

}  // namespace

HRESULT NewCertificate(ossl::X509Ptr x509, Certificate** out)
{
    *out = nullptr;
    if (!x509)
        return E_INVALIDARG;
    unsigned char* der = nullptr;
    int len = i2d_X509(x509.get(), &der);
    if (len <= 0)
        return E_FAIL;
    ossl::Bytes bytes(der, der + len);
    OPENSSL_free(der);
    *out = new (std::nothrow) CertificateImpl(std::move(x509), std::move(bytes));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT NewCertificateUnderConstruction(Certificate** out)
{
    *out = nullptr;
    ossl::X509Ptr x509(X509_new());
    if (!x509 || !X509_set_version(x509.get(), X509_VERSION_3))
        return E_OUTOFMEMORY;
    *out = new (std::nothrow) CertificateImpl(std::move(x509));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CertificateFromDer(const uint8_t* der, size_t length, Certificate** out)
{
    *out = nullptr;
    if (der == nullptr || length == 0 || length > LONG_MAX)
        return E_INVALIDARG;
    const unsigned char* p = der;
    ossl::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (!x509 || p != der + length)
        return E_INVALIDARG;
    return NewCertificate(std::move(x509), out);
}

bool CertificateDer(Certificate* cert, const uint8_t** der, size_t* length)
{
    if (cert == nullptr || cert->getType() != kCertificateType)
        return false;
    const ossl::Bytes& bytes = static_cast<CertificateImpl*>(cert)->der();
    if (bytes.empty())
        return false;
    *der = bytes.data();
    *length = bytes.size();
    return true;
}

X509* CertificateX509(Certificate* cert)
{
    if (cert == nullptr || cert->getType() != kCertificateType)
        return nullptr;
    return static_cast<CertificateImpl*>(cert)->x509();
}

}  // namespace kestrin::qevcrypto::values
