// Certification requests and their parts (types 7, 8, 21, 22, 76, 136), the
// general names (32), the certificate list's parser and signature check, and
// the distinguished name's attribute values (see qev_request.h).
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qev_request.h"
#include "qev_tables.h"
#include "types_codec.h"
#include "types_dname.h"
#include "types_table.h"
#include "types_value_lists.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {

namespace {

using codec::Out;

// Longest reply or file the certificate-list parser reads.
constexpr size_t kMaxCertificateListInput = 4 * 1024 * 1024;

char* CopyText(const char* text, size_t length)
{
    auto* out = static_cast<char*>(std::malloc(length + 1));
    if (out != nullptr) {
        std::memcpy(out, text, length);
        out[length] = '\0';
    }
    return out;
}

OctetString* OctetsOf(const Out& bytes)
{
    return NewOctets(bytes.data(), bytes.size());
}

HRESULT Deliver(const Out& bytes, OctetString** der)
{
    if (der == nullptr)
        return E_POINTER;
    *der = OctetsOf(bytes);
    return *der != nullptr ? S_OK : E_OUTOFMEMORY;
}

void AppendOid(Out& out, const ObjId* id)
{
    codec::Tlv(out, codec::TAG_OID, id->data, id->length);
}

// DER SET OF: the elements' encodings in ascending order.
void AppendSetOf(Out& out, uint8_t tag, std::vector<Out>& elements)
{
    std::sort(elements.begin(), elements.end());
    Out body;
    for (const Out& e : elements)
        body.insert(body.end(), e.begin(), e.end());
    codec::Tlv(out, tag, body.data(), body.size());
}

// ----- attribute values (8), attributes (7) and their set (76)

void FreeAttrValues(SET_OF_AttrValue* list)
{
    while (list != nullptr) {
        SET_OF_AttrValue* next = list->next;
        FreeOctets(list->element);
        std::free(list);
        list = next;
    }
}

void FreeAttr(Attr* a)
{
    if (a == nullptr)
        return;
    FreeObjId(a->type);
    FreeAttrValues(a->values);
    std::free(a);
}

void FreeAttrSet(SET_OF_Attr* list)
{
    while (list != nullptr) {
        SET_OF_Attr* next = list->next;
        FreeAttr(list->element);
        std::free(list);
        list = next;
    }
}

HRESULT EncodeAttr(const Attr* a, Out& out)
{
    if (a == nullptr || a->type == nullptr || a->type->data == nullptr)
        return E_INVALIDARG;
    Out body;
    AppendOid(body, a->type);
    std::vector<Out> values;
    for (const SET_OF_AttrValue* v = a->values; v != nullptr; v = v->next)
        if (v->element != nullptr && v->element->data != nullptr)
            values.emplace_back(v->element->data, v->element->data + v->element->length);
    AppendSetOf(body, 0x31, values);
    codec::Tlv(out, codec::TAG_SEQUENCE, body.data(), body.size());
    return S_OK;
}

HRESULT EncodeAttrSet(const SET_OF_Attr* list, uint8_t tag, Out& out)
{
    std::vector<Out> attributes;
    for (; list != nullptr; list = list->next) {
        Out one;
        HRESULT hr = EncodeAttr(list->element, one);
        if (FAILED(hr))
            return hr;
        attributes.push_back(std::move(one));
    }
    AppendSetOf(out, tag, attributes);
    return S_OK;
}

// ----- the request information (22) and the request (21)

void FreeRequestInfo(CertificationRequestInfo* info)
{
    if (info == nullptr)
        return;
    FreeDName(info->subject);
    FreeKeyInfo(info->subjectPublicKey);
    FreeAttrSet(info->attributes);
    std::free(info);
}

HRESULT EncodeRequestInfo(const CertificationRequestInfo* info, Out& out)
{
    if (info == nullptr || info->subject == nullptr || info->subjectPublicKey == nullptr || info->version < 0)
        return E_INVALIDARG;
    Out body;
    codec::WriteUint32(body, static_cast<uint32_t>(info->version));
    body.insert(body.end(), info->subject->der, info->subject->der + info->subject->length);
    ossl::Bytes spki;
    HRESULT hr = SpkiDer(info->subjectPublicKey, spki);
    if (FAILED(hr))
        return hr;
    body.insert(body.end(), spki.begin(), spki.end());
    // attributes [0] IMPLICIT SET OF Attribute
    hr = EncodeAttrSet(info->attributes, 0xA0, body);
    if (FAILED(hr))
        return hr;
    codec::Tlv(out, codec::TAG_SEQUENCE, body.data(), body.size());
    return S_OK;
}

void FreeRequest(CertificationRequest* request)
{
    if (request == nullptr)
        return;
    FreeOctets(request->info);
    FreeAlgId(request->signatureAlgorithm);
    FreeOctets(request->signature);
    std::free(request);
}

HRESULT EncodeRequest(const CertificationRequest* request, Out& out)
{
    if (request == nullptr || request->info == nullptr || request->signatureAlgorithm == nullptr
        || request->signature == nullptr || request->signatureBits > request->signature->length * 8
        || request->signature->length * 8 - request->signatureBits >= 8)
        return E_INVALIDARG;
    Out body(request->info->data, request->info->data + request->info->length);
    HRESULT hr = codec::EncodeAlgId(request->signatureAlgorithm, body);
    if (FAILED(hr))
        return hr;
    Out bits;
    bits.push_back(static_cast<uint8_t>(request->signature->length * 8 - request->signatureBits));
    bits.insert(bits.end(), request->signature->data, request->signature->data + request->signature->length);
    codec::Tlv(body, codec::TAG_BIT_STRING, bits.data(), bits.size());
    codec::Tlv(out, codec::TAG_SEQUENCE, body.data(), body.size());
    return S_OK;
}

// ----- extensions (136)

void FreeExtensions(SEQUENCE_OF_Extension* list)
{
    while (list != nullptr) {
        SEQUENCE_OF_Extension* next = list->next;
        if (list->element != nullptr) {
            FreeObjId(list->element->id);
            FreeOctets(list->element->value);
            std::free(list->element);
        }
        std::free(list);
        list = next;
    }
}

HRESULT EncodeExtensions(const SEQUENCE_OF_Extension* list, Out& out)
{
    Out body;
    for (; list != nullptr; list = list->next) {
        const Extension* e = list->element;
        if (e == nullptr || e->id == nullptr || e->value == nullptr)
            return E_INVALIDARG;
        Out one;
        AppendOid(one, e->id);
        if (e->critical != 0)
            codec::WriteBoolean(one, true);
        codec::Tlv(one, codec::TAG_OCTET_STRING, e->value->data, e->value->length);
        codec::Tlv(body, codec::TAG_SEQUENCE, one.data(), one.size());
    }
    codec::Tlv(out, codec::TAG_SEQUENCE, body.data(), body.size());
    return S_OK;
}

// ----- general names (32)

void FreeGeneralNames(SEQUENCE_OF_GeneralName* list)
{
    while (list != nullptr) {
        SEQUENCE_OF_GeneralName* next = list->next;
        if (list->element != nullptr) {
            std::free(list->element->text);
            std::free(list->element);
        }
        std::free(list);
        list = next;
    }
}

HRESULT EncodeGeneralNames(const SEQUENCE_OF_GeneralName* list, Out& out)
{
    Out body;
    for (; list != nullptr; list = list->next) {
        const GeneralName* n = list->element;
        if (n == nullptr || n->text == nullptr || (n->tag != SEC_GN_RFC822_NAME && n->tag != SEC_GN_DNS_NAME))
            return E_INVALIDARG;
        codec::Tlv(body, static_cast<uint8_t>(0x80 | n->tag), reinterpret_cast<const uint8_t*>(n->text),
                   std::strlen(n->text));
    }
    codec::Tlv(out, codec::TAG_SEQUENCE, body.data(), body.size());
    return S_OK;
}

HRESULT AddGeneralName(SEQUENCE_OF_GeneralName** list, uint32_t tag, const char* text)
{
    if (list == nullptr || text == nullptr || (tag != SEC_GN_RFC822_NAME && tag != SEC_GN_DNS_NAME))
        return E_INVALIDARG;
    auto* node = NewZeroed<SEQUENCE_OF_GeneralName>();
    auto* name = NewZeroed<GeneralName>();
    char* copy = CopyText(text, std::strlen(text));
    if (node == nullptr || name == nullptr || copy == nullptr) {
        std::free(node);
        std::free(name);
        std::free(copy);
        return E_OUTOFMEMORY;
    }
    name->tag = tag;
    name->text = copy;
    node->element = name;
    SEQUENCE_OF_GeneralName** tail = list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = node;
    return S_OK;
}

HRESULT GetGeneralName(const SEQUENCE_OF_GeneralName* list, uint32_t tag, unsigned long index, char** text)
{
    if (text == nullptr)
        return E_POINTER;
    *text = nullptr;
    for (; list != nullptr; list = list->next)
        if (list->element != nullptr && list->element->tag == tag && index-- == 0) {
            *text = CopyText(list->element->text, std::strlen(list->element->text));
            return *text != nullptr ? S_OK : E_OUTOFMEMORY;
        }
    return S_FALSE;
}

HRESULT GeneralNamesOfCertificate(Certificate* certificate, SEQUENCE_OF_GeneralName** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    X509* x = certificate != nullptr ? CertificateX509(certificate) : nullptr;
    if (x == nullptr)
        return E_INVALIDARG;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
    HRESULT hr = S_OK;
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && SUCCEEDED(hr); ++i) {
        const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
        if (n->type != GEN_DNS && n->type != GEN_EMAIL)
            continue;
        const ASN1_IA5STRING* s = n->type == GEN_DNS ? n->d.dNSName : n->d.rfc822Name;
        std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                         static_cast<size_t>(ASN1_STRING_length(s)));
        if (text.find('\0') == std::string::npos)
            hr = AddGeneralName(out, n->type == GEN_DNS ? SEC_GN_DNS_NAME : SEC_GN_RFC822_NAME, text.c_str());
    }
    GENERAL_NAMES_free(names);
    if (FAILED(hr)) {
        FreeGeneralNames(*out);
        *out = nullptr;
    }
    return hr;
}

// ----- certificate lists: parsing replies and files, and issuer signatures

HRESULT AppendCertificate(X509* x, SET_OF_Certificate** tail)
{
    X509_up_ref(x);
    Certificate* cert = nullptr;
    HRESULT hr = NewCertificate(ossl::X509Ptr(x), &cert);
    if (FAILED(hr))
        return hr;
    SET_OF_Certificate* node = SetOfCertificate::NewNode();
    if (node == nullptr) {
        cert->Release();
        return E_OUTOFMEMORY;
    }
    node->element = cert;
    *tail = node;
    return S_OK;
}

HRESULT FromStack(STACK_OF(X509) * certs, SET_OF_Certificate** out)
{
    SET_OF_Certificate** tail = out;
    for (int i = 0; certs != nullptr && i < sk_X509_num(certs); ++i) {
        HRESULT hr = AppendCertificate(sk_X509_value(certs, i), tail);
        if (FAILED(hr))
            return hr;
        tail = &(*tail)->next;
    }
    return *out != nullptr ? S_OK : E_FAIL;
}

HRESULT FromPkcs7(PKCS7* p7, SET_OF_Certificate** out)
{
    if (p7 == nullptr || OBJ_obj2nid(p7->type) != NID_pkcs7_signed || p7->d.sign == nullptr)
        return E_FAIL;
    return FromStack(p7->d.sign->cert, out);
}

// Base64 with line breaks and blanks between its characters, as DER.
bool DecodeBase64(const uint8_t* data, size_t length, ossl::Bytes& der)
{
    std::string clean;
    for (size_t i = 0; i < length; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '='))
            return false;
        clean.push_back(c);
    }
    if (clean.empty() || clean.size() % 4 != 0 || clean.size() > INT_MAX)
        return false;
    der.resize(clean.size() / 4 * 3);
    int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                            static_cast<int>(clean.size()));
    if (n < 0)
        return false;
    size_t pad = clean.size() - clean.find_last_not_of('=') - 1;
    der.resize(static_cast<size_t>(n) - std::min<size_t>(pad, 2));
    return true;
}

HRESULT ParseDer(const uint8_t* data, size_t length, SET_OF_Certificate** out)
{
    const unsigned char* p = data;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(length));
    if (p7 != nullptr) {
        HRESULT hr = p == data + length ? FromPkcs7(p7, out) : E_FAIL;
        PKCS7_free(p7);
        return hr;
    }
    p = data;
    ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (!x || p != data + length)
        return E_FAIL;
    return AppendCertificate(x.get(), out);
}

HRESULT ParsePem(const uint8_t* data, size_t length, SET_OF_Certificate** out)
{
    BIO* bio = BIO_new_mem_buf(data, static_cast<int>(length));
    if (bio == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = E_FAIL;
    if (PKCS7* p7 = PEM_read_bio_PKCS7(bio, nullptr, nullptr, nullptr)) {
        hr = FromPkcs7(p7, out);
        PKCS7_free(p7);
    } else {
        BIO_free(bio);
        bio = BIO_new_mem_buf(data, static_cast<int>(length));
        STACK_OF(X509)* certs = sk_X509_new_null();
        while (bio != nullptr && certs != nullptr)
            if (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
                if (!sk_X509_push(certs, x))
                    X509_free(x);
            } else {
                break;
            }
        hr = FromStack(certs, out);
        sk_X509_pop_free(certs, X509_free);
    }
    BIO_free(bio);
    ERR_clear_error();
    return hr;
}

HRESULT ParseCertificateList(const OctetString* bytes, SET_OF_Certificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (bytes == nullptr || bytes->data == nullptr || bytes->length == 0 || bytes->length > kMaxCertificateListInput)
        return E_FAIL;
    const uint8_t* data = bytes->data;
    const size_t length = bytes->length;
    HRESULT hr = E_FAIL;
    constexpr std::string_view kPemBegin = "-----BEGIN";
    if (std::search(data, data + length, kPemBegin.begin(), kPemBegin.end()) != data + length)
        hr = ParsePem(data, length, out);
    else if (data[0] == 0x30)
        hr = ParseDer(data, length, out);
    else if (ossl::Bytes der; DecodeBase64(data, length, der))
        hr = ParseDer(der.data(), der.size(), out);
    ERR_clear_error();
    if (FAILED(hr)) {
        SetOfCertificate::Drop(*out);
        *out = nullptr;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT VerifyIssued(Certificate* certificate, Certificate* issuer)
{
    X509* x = certificate != nullptr ? CertificateX509(certificate) : nullptr;
    X509* i = issuer != nullptr ? CertificateX509(issuer) : nullptr;
    if (x == nullptr || i == nullptr)
        return E_INVALIDARG;
    EVP_PKEY* key = X509_get0_pubkey(i);
    int ok = key != nullptr ? X509_verify(x, key) : 0;
    ERR_clear_error();
    return ok == 1 ? S_OK : S_FALSE;
}

// ----- attribute values of distinguished names

int AttributeNid(const char* attribute)
{
    if (attribute == nullptr)
        return NID_undef;
    if (strcasecmp(attribute, "EMAIL") == 0)
        return NID_pkcs9_emailAddress;
    if (strcasecmp(attribute, "DNS") == 0)
        return NID_pkcs9_unstructuredName;
    int nid = OBJ_txt2nid(attribute);
    if (nid == NID_undef)
        for (int candidate : {NID_commonName, NID_organizationName, NID_organizationalUnitName, NID_countryName,
                              NID_localityName, NID_stateOrProvinceName})
            if (strcasecmp(OBJ_nid2sn(candidate), attribute) == 0)
                nid = candidate;
    return nid;
}

HRESULT ValueText(const X509_NAME_ENTRY* entry, char** value)
{
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (n < 0)
        return E_FAIL;
    *value = CopyText(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT GetDNameValue(const DName* name, const char* attribute, unsigned long index, char** value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = nullptr;
    const int nid = AttributeNid(attribute);
    X509_NAME* x = nid != NID_undef ? X509NameFromDName(name) : nullptr;
    if (x == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_FALSE;
    for (int i = X509_NAME_get_index_by_NID(x, nid, -1); i >= 0; i = X509_NAME_get_index_by_NID(x, nid, i))
        if (index-- == 0) {
            hr = ValueText(X509_NAME_get_entry(x, i), value);
            break;
        }
    X509_NAME_free(x);
    return hr;
}

HRESULT TakeDNameValue(DName* name, const char* attribute, char** value)
{
    if (value == nullptr || name == nullptr)
        return E_POINTER;
    *value = nullptr;
    const int nid = AttributeNid(attribute);
    X509_NAME* x = nid != NID_undef ? X509NameFromDName(name) : nullptr;
    if (x == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_FALSE;
    int i = X509_NAME_get_index_by_NID(x, nid, -1);
    if (i >= 0) {
        hr = ValueText(X509_NAME_get_entry(x, i), value);
        X509_NAME_ENTRY_free(X509_NAME_delete_entry(x, i));
        DName* rest = SUCCEEDED(hr) ? DNameFromX509Name(x) : nullptr;
        if (rest == nullptr && SUCCEEDED(hr)) {
            std::free(*value);
            *value = nullptr;
            hr = E_OUTOFMEMORY;
        } else if (rest != nullptr) {
            std::swap(name->der, rest->der);
            std::swap(name->length, rest->length);
            FreeDName(rest);
        }
    }
    X509_NAME_free(x);
    return hr;
}

// ----- the tables

template <class T, void (*Free)(T*)>
HRESULT FreeValue(void* value)
{
    Free(static_cast<T*>(value));
    return S_OK;
}

template <class T, HRESULT (*Encode)(const T*, Out&)>
HRESULT EncodeValue(const void* value, OctetString** der)
{
    if (der == nullptr)
        return E_POINTER;
    *der = nullptr;
    Out out;
    HRESULT hr = Encode(static_cast<const T*>(value), out);
    return SUCCEEDED(hr) ? Deliver(out, der) : hr;
}

HRESULT EncodeAttrSetValue(const void* value, OctetString** der)
{
    if (der == nullptr)
        return E_POINTER;
    *der = nullptr;
    Out out;
    HRESULT hr = EncodeAttrSet(static_cast<const SET_OF_Attr*>(value), 0x31, out);
    return SUCCEEDED(hr) ? Deliver(out, der) : hr;
}

template <const char* Name>
HRESULT Info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, Name);
}

constexpr char kAttr[] = "Attr";
constexpr char kAttrValues[] = "SET_OF_AttrValue";
constexpr char kAttrSet[] = "SET_OF_Attr";
constexpr char kRequest[] = "CertificationRequest";
constexpr char kRequestInfo[] = "CertificationRequestInfo";
constexpr char kExtensions[] = "SEQUENCE_OF_Extension";
constexpr char kGeneralNames[] = "SEQUENCE_OF_GeneralName";

const SEC_TYPE_TABLE s_attr = {
    {&Info<kAttr>}, &NoAddRef, &FreeValue<Attr, FreeAttr>, nullptr, &NoCopy,
    &NoCompare,     nullptr,   &NewEntry<Attr, false>,     nullptr, &EncodeValue<Attr, EncodeAttr>};
const SEC_TYPE_TABLE s_attrValues = {{&Info<kAttrValues>},
                                     &NoAddRef,
                                     &FreeValue<SET_OF_AttrValue, FreeAttrValues>,
                                     nullptr,
                                     &NoCopy,
                                     &NoCompare,
                                     nullptr,
                                     &NewEntry<SET_OF_AttrValue, true>,
                                     nullptr,
                                     nullptr};
const SEC_TYPE_TABLE s_attrSet = {
    {&Info<kAttrSet>}, &NoAddRef, &FreeValue<SET_OF_Attr, FreeAttrSet>, nullptr, &NoCopy,
    &NoCompare,        nullptr,   &NewEntry<SET_OF_Attr, true>,         nullptr, &EncodeAttrSetValue};
const SEC_TYPE_TABLE s_request = {{&Info<kRequest>},
                                  &NoAddRef,
                                  &FreeValue<CertificationRequest, FreeRequest>,
                                  nullptr,
                                  &NoCopy,
                                  &NoCompare,
                                  nullptr,
                                  &NewEntry<CertificationRequest, false>,
                                  nullptr,
                                  &EncodeValue<CertificationRequest, EncodeRequest>};
const SEC_TYPE_TABLE s_requestInfo = {{&Info<kRequestInfo>},
                                      &NoAddRef,
                                      &FreeValue<CertificationRequestInfo, FreeRequestInfo>,
                                      nullptr,
                                      &NoCopy,
                                      &NoCompare,
                                      nullptr,
                                      &NewEntry<CertificationRequestInfo, false>,
                                      nullptr,
                                      &EncodeValue<CertificationRequestInfo, EncodeRequestInfo>};
const SEC_TYPE_TABLE s_extensions = {{&Info<kExtensions>},
                                     &NoAddRef,
                                     &FreeValue<SEQUENCE_OF_Extension, FreeExtensions>,
                                     nullptr,
                                     &NoCopy,
                                     &NoCompare,
                                     nullptr,
                                     &NewEntry<SEQUENCE_OF_Extension, true>,
                                     nullptr,
                                     &EncodeValue<SEQUENCE_OF_Extension, EncodeExtensions>};
const SEC_GENERALNAMES_TYPE_TABLE s_generalNames = {{{&Info<kGeneralNames>},
                                                     &NoAddRef,
                                                     &FreeValue<SEQUENCE_OF_GeneralName, FreeGeneralNames>,
                                                     nullptr,
                                                     &NoCopy,
                                                     &NoCompare,
                                                     nullptr,
                                                     &NewEntry<SEQUENCE_OF_GeneralName, true>,
                                                     nullptr,
                                                     &EncodeValue<SEQUENCE_OF_GeneralName, EncodeGeneralNames>},
                                                    &AddGeneralName,
                                                    &GetGeneralName,
                                                    &GeneralNamesOfCertificate};

QevSlotFill s_fillAttr("SEC_COMMONTYPES_1", SEC_TYPE_Attr, const_cast<SEC_TYPE_TABLE*>(&s_attr));
QevSlotFill s_fillAttrValues("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_AttrValue,
                             const_cast<SEC_TYPE_TABLE*>(&s_attrValues));
QevSlotFill s_fillAttrSet("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_Attr, const_cast<SEC_TYPE_TABLE*>(&s_attrSet));
QevSlotFill s_fillRequest("SEC_COMMONTYPES_1", SEC_TYPE_CertificationRequest, const_cast<SEC_TYPE_TABLE*>(&s_request));
QevSlotFill s_fillRequestInfo("SEC_COMMONTYPES_1", SEC_TYPE_CertificationRequestInfo,
                              const_cast<SEC_TYPE_TABLE*>(&s_requestInfo));
QevSlotFill s_fillExtensions("SEC_COMMONTYPES_1", SEC_TYPE_SEQUENCE_OF_Extension,
                             const_cast<SEC_TYPE_TABLE*>(&s_extensions));
QevSlotFill s_fillGeneralNames("SEC_COMMONTYPES_1", SEC_TYPE_SEQUENCE_OF_GeneralName,
                               const_cast<SEC_GENERALNAMES_TYPE_TABLE*>(&s_generalNames));

}  // namespace

HRESULT CertificateListParse(const OctetString* bytes, SET_OF_Certificate** out)
{
    return ParseCertificateList(bytes, out);
}

HRESULT CertificateVerifyIssued(Certificate* certificate, Certificate* issuer)
{
    return VerifyIssued(certificate, issuer);
}

HRESULT DNameGetValue(const DName* name, const char* attribute, unsigned long index, char** value)
{
    return GetDNameValue(name, attribute, index, value);
}

HRESULT DNameTakeValue(DName* name, const char* attribute, char** value)
{
    return TakeDNameValue(name, attribute, value);
}

}  // namespace kestrin::qevcrypto::values
