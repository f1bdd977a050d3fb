// Type tables of Certificate (98) and SET_OF_Certificate (79) in
// "SEC_COMMONTYPES_1".
#include "sec_certificate_fields.h"
#include "types_table.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {
namespace {

HRESULT CertAddRef(void* value)
{
    if (value == nullptr)
        return E_POINTER;
    static_cast<Certificate*>(value)->AddRef();
    return S_OK;
}

HRESULT CertFree(void* value)
{
    if (value != nullptr)
        static_cast<Certificate*>(value)->Release();
    return S_OK;
}

HRESULT CertCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    Certificate* out = nullptr;
    HRESULT hr = const_cast<Certificate*>(static_cast<const Certificate*>(src))->cpy(&out);
    *dst = out;
    return hr;
}

int CertCompare(const void* a, const void* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    return const_cast<Certificate*>(static_cast<const Certificate*>(a))->cmp(static_cast<const Certificate*>(b));
}

HRESULT CertDecode(const OctetString* der, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (der == nullptr)
        return E_INVALIDARG;
    Certificate* cert = nullptr;
    HRESULT hr = CertificateFromDer(der->data, der->length, &cert);
    *out = cert;
    return hr;
}

HRESULT CertEncode(const void* value, OctetString** der)
{
    if (der == nullptr)
        return E_POINTER;
    *der = nullptr;
    X509* x509 = CertificateX509(const_cast<Certificate*>(static_cast<const Certificate*>(value)));
    if (x509 == nullptr)
        return E_INVALIDARG;
    unsigned char* bytes = nullptr;
    int len = i2d_X509(x509, &bytes);
    if (len <= 0)
        return E_FAIL;
    *der = NewOctets(bytes, static_cast<size_t>(len));
    OPENSSL_free(bytes);
    return *der != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CertNew(void** out)
{
    if (out == nullptr)
        return E_POINTER;
    Certificate* cert = nullptr;
    HRESULT hr = NewCertificateUnderConstruction(&cert);
    *out = cert;
    return hr;
}

SET_OF_Certificate* CopyList(const SET_OF_Certificate* list)
{
    SET_OF_Certificate* head = nullptr;
    SET_OF_Certificate** tail = &head;
    for (; list != nullptr; list = list->next) {
        *tail = NewZeroed<SET_OF_Certificate>();
        if (*tail == nullptr) {
            FreeCertificateList(head);
            return nullptr;
        }
        if (list->element != nullptr)
            list->element->cpy(&(*tail)->element);
        tail = &(*tail)->next;
    }
    return head;
}

int CompareList(const SET_OF_Certificate* a, const SET_OF_Certificate* b)
{
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        int c = CertCompare(a->element, b->element);
        if (c != 0)
            return c;
    }
    return a == b ? 0 : a == nullptr ? -1 : 1;
}

HRESULT ListCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    if (src == nullptr)
        return S_OK;
    *dst = CopyList(static_cast<const SET_OF_Certificate*>(src));
    return *dst != nullptr ? S_OK : E_OUTOFMEMORY;
}

template <const char* Name>
HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, "");
}

constexpr char kCertificate[] = "Certificate";
constexpr char kSetOfCertificate[] = "SET_OF_Certificate";

const SEC_TYPE_TABLE s_certificate = {{&TypeInfo<kCertificate>},
                                      &CertAddRef,
                                      &CertFree,
                                      nullptr,
                                      &CertCopy,
                                      &CertCompare,
                                      nullptr,
                                      &CertNew,
                                      &CertDecode,
                                      &CertEncode};

const SEC_TYPE_TABLE s_setOfCertificate = {{&TypeInfo<kSetOfCertificate>},
                                           &NoAddRef,
                                           &FreeEntry<SET_OF_Certificate, FreeCertificateList>,
                                           nullptr,
                                           &ListCopy,
                                           &CompareEntry<SET_OF_Certificate, CompareList>,
                                           nullptr,
                                           &NewEntry<SET_OF_Certificate, true>,
                                           &NoDecode,
                                           &NoEncode};

QevSlotFill s_fillCertificate("SEC_COMMONTYPES_1", SEC_TYPE_Certificate, const_cast<SEC_TYPE_TABLE*>(&s_certificate));
QevSlotFill s_fillSetOfCertificate("SEC_COMMONTYPES_1", SEC_TYPE_SET_OF_Certificate,
                                   const_cast<SEC_TYPE_TABLE*>(&s_setOfCertificate));

}  // namespace
}  // namespace kestrin::qevcrypto::values
