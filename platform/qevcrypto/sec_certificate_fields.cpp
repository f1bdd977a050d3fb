#include "sec_certificate_fields.h"

#include <openssl/x509v3.h>

#include <climits>
#include <cstring>

#include "types_der.h"
#include "types_dname.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {

namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, ossl::OsslDeleter<T, Free>>;

void FreeObjIdList(SEQUENCE_OF_ObjId* list)
{
    while (list != nullptr) {
        SEQUENCE_OF_ObjId* next = list->next;
        FreeObjId(list->element);
        std::free(list);
        list = next;
    }
}

void FreeText(char* text)
{
    std::free(text);
}

char* CopyText(const ASN1_STRING* time)
{
    if (time == nullptr || ASN1_STRING_get0_data(time) == nullptr || ASN1_STRING_length(time) <= 0)
        return nullptr;
    const auto length = static_cast<size_t>(ASN1_STRING_length(time));
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text != nullptr) {
        std::memcpy(text, ASN1_STRING_get0_data(time), length);
        text[length] = '\0';
    }
    return text;
}

// The time text names its type by its length (13 characters UTCTime, 15
// GeneralizedTime): the content of another form (a GeneralizedTime holding
// the digits of a UTCTime, an offset, fractions of a second) would be read as
// another instant, so it is given as the GeneralizedTime of the same instant,
// and a time OpenSSL cannot read has no text.
char* TimeText(const ASN1_TIME* time)
{
    if (time == nullptr || ASN1_TIME_check(time) != 1)
        return nullptr;
    if (ASN1_STRING_type(time) == V_ASN1_UTCTIME && ASN1_STRING_length(time) == 13)
        return CopyText(time);
    ASN1_GENERALIZEDTIME* general = ASN1_TIME_to_generalizedtime(time, nullptr);
    char* text = general != nullptr && ASN1_STRING_length(general) == 15 ? CopyText(general) : nullptr;
    ASN1_GENERALIZEDTIME_free(general);
    return text;
}

// The content octets of the serial number's DER INTEGER.
OctetString* SerialOctets(const ASN1_INTEGER* serial)
{
    if (serial == nullptr)
        return nullptr;
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(serial, &der);
    if (length <= 0)
        return nullptr;
    der::Reader reader {der, der + length};
    uint8_t tag = 0;
    const uint8_t* content = nullptr;
    size_t contentLength = 0;
    OctetString* octets = nullptr;
    if (reader.Next(tag, content, contentLength) && tag == der::TAG_INTEGER)
        octets = NewOctets(content, contentLength);
    OPENSSL_free(der);
    return octets;
}

SEQUENCE_OF_ObjId* ObjIdList(const EXTENDED_KEY_USAGE* usages)
{
    SEQUENCE_OF_ObjId* head = nullptr;
    SEQUENCE_OF_ObjId** tail = &head;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages); ++i) {
        const ASN1_OBJECT* object = sk_ASN1_OBJECT_value(usages, i);
        const size_t length = OBJ_length(object);
        SEQUENCE_OF_ObjId* node = NewZeroed<SEQUENCE_OF_ObjId>();
        ObjId* id = node != nullptr ? NewZeroed<ObjId>() : nullptr;
        unsigned char* data =
            id != nullptr ? static_cast<unsigned char*>(std::malloc(length == 0 ? 1 : length)) : nullptr;
        if (data == nullptr) {
            std::free(id);
            std::free(node);
            FreeObjIdList(head);
            return nullptr;
        }
        if (length != 0)
            std::memcpy(data, OBJ_get0_data(object), length);
        id->data = data;
        id->length = length;
        node->element = id;
        *tail = node;
        tail = &node->next;
    }
    return head;
}

}  // namespace

struct CertificateFields::Views {
    ~Views()
    {
        std::free(keyUsage);
        FreeObjIdList(extendedKeyUsage);
        std::free(basicConstraints);
        FreeDName(subject);
        FreeDName(issuer);
        FreeText(notBefore);
        FreeText(notAfter);
        FreeOctets(serial);
        FreeOctets(subjectKeyId);
    }

    KeyUsage* keyUsage = nullptr;
    uint8_t keyUsageCritical = 0;
    SEQUENCE_OF_ObjId* extendedKeyUsage = nullptr;
    BasicConstraints* basicConstraints = nullptr;
    DName* subject = nullptr;
    DName* issuer = nullptr;
    char* notBefore = nullptr;
    char* notAfter = nullptr;
    OctetString* serial = nullptr;
    OctetString* subjectKeyId = nullptr;
    int version = 0;
};

namespace {

// A field that is present but cannot be read (a malformed extension, memory
// running out) is shown as absent.
std::unique_ptr<CertificateFields::Views> BuildViews(X509* x509)
{
    auto views = std::make_unique<CertificateFields::Views>();
    int critical = -1;
    Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free> bits(
        static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(x509, NID_key_usage, &critical, nullptr)));
    if (bits && (views->keyUsage = NewZeroed<KeyUsage>()) != nullptr) {
        uint8_t* flags = &views->keyUsage->digitalSignature;
        for (int bit = 0; bit < 9; ++bit)
            flags[bit] = ASN1_BIT_STRING_get_bit(bits.get(), bit) ? 1 : 0;
        views->keyUsageCritical = critical == 1 ? 1 : 0;
    }
    Owned<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free> usages(
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x509, NID_ext_key_usage, nullptr, nullptr)));
    if (usages)
        views->extendedKeyUsage = ObjIdList(usages.get());
    Owned<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free> constraints(
        static_cast<BASIC_CONSTRAINTS*>(X509_get_ext_d2i(x509, NID_basic_constraints, nullptr, nullptr)));
    if (constraints && (views->basicConstraints = NewZeroed<BasicConstraints>()) != nullptr) {
        views->basicConstraints->cA = constraints->ca ? 1 : 0;
        long pathLength = constraints->pathlen != nullptr ? ASN1_INTEGER_get(constraints->pathlen) : -1;
        views->basicConstraints->pathLenConstraint =
            pathLength >= 0 && pathLength <= INT32_MAX ? static_cast<int32_t>(pathLength) : -1;
    }
    views->subject = DNameFromX509Name(X509_get_subject_name(x509));
    views->issuer = DNameFromX509Name(X509_get_issuer_name(x509));
    views->notBefore = TimeText(X509_get0_notBefore(x509));
    views->notAfter = TimeText(X509_get0_notAfter(x509));
    views->serial = SerialOctets(X509_get0_serialNumber(x509));
    Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> keyId(
        static_cast<ASN1_OCTET_STRING*>(X509_get_ext_d2i(x509, NID_subject_key_identifier, nullptr, nullptr)));
    if (keyId)
        views->subjectKeyId =
            NewOctets(ASN1_STRING_get0_data(keyId.get()), static_cast<size_t>(ASN1_STRING_length(keyId.get())));
    views->version = static_cast<int>(X509_get_version(x509));
    return views;
}

}  // namespace

CertificateFields::CertificateFields(bool building) : m_building(building) {}

CertificateFields::~CertificateFields() = default;

const CertificateFields::Views* CertificateFields::Current(X509* x509)
{
    if (!m_views)
        m_views = BuildViews(x509);
    return m_views.get();
}

const KeyUsage* CertificateFields::GetKeyUsage(X509* x509, uint8_t* critical)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const Views* views = Current(x509);
    if (critical != nullptr)
        *critical = views->keyUsageCritical;
    return views->keyUsage;
}

const SEQUENCE_OF_ObjId* CertificateFields::GetExtendedKeyUsage(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->extendedKeyUsage;
}

const BasicConstraints* CertificateFields::GetBasicConstraints(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->basicConstraints;
}

const DName* CertificateFields::GetSubject(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->subject;
}

const DName* CertificateFields::GetIssuer(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->issuer;
}

const char* CertificateFields::GetNotBefore(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->notBefore;
}

const char* CertificateFields::GetNotAfter(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->notAfter;
}

const OctetString* CertificateFields::GetSerialNumber(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->serial;
}

const OctetString* CertificateFields::GetSubjectKeyIdentifier(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->subjectKeyId;
}

int CertificateFields::IsAuthority(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const Views* views = Current(x509);
    const bool ca = views->basicConstraints != nullptr && views->basicConstraints->cA;
    const bool signsCertificates = views->keyUsage != nullptr && views->keyUsage->keyCertSign;
    return ca || signsCertificates ? 1 : 0;
}

int CertificateFields::GetVersion(X509* x509)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Current(x509)->version;
}

HRESULT CertificateFields::GetNonSupportedExtension(X509* x509, unsigned long index, ObjId** id, OctetString** value,
                                                    uint8_t* critical)
{
    if (id != nullptr)
        *id = nullptr;
    if (value != nullptr)
        *value = nullptr;
    if (critical != nullptr)
        *critical = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    unsigned long seen = 0;
    const int count = X509_get_ext_count(x509);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(x509, i);
        if (extension == nullptr || X509V3_EXT_get(extension) != nullptr)
            continue;
        if (seen++ != index)
            continue;
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        Owned<ObjId, FreeObjId> identifier(id != nullptr ? ObjIdFromObject(X509_EXTENSION_get_object(extension))
                                                         : nullptr);
        Owned<OctetString, FreeOctets> contents(
            value != nullptr && data != nullptr
                ? NewOctets(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)))
                : nullptr);
        if ((id != nullptr && !identifier) || (value != nullptr && !contents))
            return E_OUTOFMEMORY;
        if (id != nullptr)
            *id = identifier.release();
        if (value != nullptr)
            *value = contents.release();
        if (critical != nullptr)
            *critical = X509_EXTENSION_get_critical(extension) > 0 ? 1 : 0;
        return S_OK;
    }
    return S_FALSE;
}

template <class F>
HRESULT CertificateFields::Change(F change)
{
    if (!m_building)
        return E_ACCESSDENIED;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_views)
        m_retired.push_back(std::move(m_views));
    return change();
}

HRESULT CertificateFields::SetPublicKey(X509* x509, const KeyInfo* key)
{
    ossl::Bytes spki;
    HRESULT hr = SpkiDer(key, spki);
    if (FAILED(hr))
        return hr;
    const unsigned char* p = spki.data();
    ossl::EvpPkeyPtr pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    if (!pkey)
        return E_INVALIDARG;
    return Change([&] { return X509_set_pubkey(x509, pkey.get()) ? S_OK : E_FAIL; });
}

HRESULT CertificateFields::SetName(X509* x509, bool issuer, const DName* name)
{
    Owned<X509_NAME, X509_NAME_free> parsed(X509NameFromDName(name));
    if (!parsed)
        return E_INVALIDARG;
    return Change([&] {
        const int ok = issuer ? X509_set_issuer_name(x509, parsed.get()) : X509_set_subject_name(x509, parsed.get());
        return ok ? S_OK : E_FAIL;
    });
}

HRESULT CertificateFields::SetSerialNumber(X509* x509, const OctetString* serial)
{
    if (serial == nullptr || serial->data == nullptr || serial->length == 0 || serial->length > 64)
        return E_INVALIDARG;
    ossl::SecretBytes der;
    der::AppendTlv(der, der::TAG_INTEGER, serial->data, serial->length);
    const unsigned char* p = der.data();
    Owned<ASN1_INTEGER, ASN1_INTEGER_free> integer(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
    if (!integer)
        return E_INVALIDARG;
    return Change([&] { return X509_set_serialNumber(x509, integer.get()) ? S_OK : E_FAIL; });
}

HRESULT CertificateFields::SetTime(X509* x509, bool notAfter, const char* time)
{
    ossl::Asn1TimePtr value(ASN1_TIME_new());
    if (!value)
        return E_OUTOFMEMORY;
    if (time == nullptr || std::strlen(time) > 32 || !ASN1_TIME_set_string(value.get(), time)
        || !ASN1_TIME_check(value.get()))
        return E_INVALIDARG;
    return Change([&] {
        const int ok = notAfter ? X509_set1_notAfter(x509, value.get()) : X509_set1_notBefore(x509, value.get());
        return ok ? S_OK : E_FAIL;
    });
}

HRESULT CertificateFields::SetKeyUsage(X509* x509, const KeyUsage* usage, uint8_t critical)
{
    if (usage == nullptr)
        return E_INVALIDARG;
    Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free> bits(ASN1_BIT_STRING_new());
    if (!bits)
        return E_OUTOFMEMORY;
    const uint8_t* flags = &usage->digitalSignature;
    for (int bit = 0; bit < 9; ++bit)
        if (flags[bit] && !ASN1_BIT_STRING_set_bit(bits.get(), bit, 1))
            return E_OUTOFMEMORY;
    return Change([&] {
        return X509_add1_ext_i2d(x509, NID_key_usage, bits.get(), critical ? 1 : 0, X509V3_ADD_REPLACE) == 1 ? S_OK
                                                                                                             : E_FAIL;
    });
}

HRESULT CertificateFields::SetSignatureAlgorithm(X509* x509, const ossl::SecretBytes& algorithm, ossl::Bytes& tbs)
{
    const unsigned char* p = algorithm.data();
    Owned<X509_ALGOR, X509_ALGOR_free> parsed(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(algorithm.size())));
    if (!parsed || p != algorithm.data() + algorithm.size())
        return E_INVALIDARG;
    return Change([&] {
        // OpenSSL hands out both identifiers read-only; a certificate signed
        // elsewhere must set them all the same.
        const X509_ALGOR* outer = nullptr;
        X509_get0_signature(nullptr, &outer, x509);
        auto* inner = const_cast<X509_ALGOR*>(X509_get0_tbs_sigalg(x509));
        if (outer == nullptr || inner == nullptr || !X509_ALGOR_copy(inner, parsed.get())
            || !X509_ALGOR_copy(const_cast<X509_ALGOR*>(outer), parsed.get()))
            return E_FAIL;
        unsigned char* der = nullptr;
        int length = i2d_re_X509_tbs(x509, &der);
        if (length <= 0)
            return E_FAIL;
        tbs.assign(der, der + length);
        OPENSSL_free(der);
        return S_OK;
    });
}

HRESULT CertificateFields::SetSignature(X509* x509, const unsigned char* signature, size_t length)
{
    if (signature == nullptr || length == 0 || length > INT_MAX)
        return E_INVALIDARG;
    return Change([&] {
        const ASN1_BIT_STRING* held = nullptr;
        X509_get0_signature(&held, nullptr, x509);
        auto* bits = const_cast<ASN1_BIT_STRING*>(held);
        if (bits == nullptr
            || !ASN1_BIT_STRING_set(bits, const_cast<unsigned char*>(signature), static_cast<int>(length)))
            return E_FAIL;
        // Whole bytes: no unused bits at the end.
        bits->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
        bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
        return S_OK;
    });
}

}  // namespace kestrin::qevcrypto::values
