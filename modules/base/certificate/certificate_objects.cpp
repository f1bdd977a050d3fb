#include "certificate_objects.h"

#include "certificate_types.h"
#include "qevcrypto_encode.h"
#include "zelk_class.h"

namespace kestrin::base {

HRESULT CCertificate::New(const Certificate* cert, CCertificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CCertificate>* object = nullptr;
    HRESULT hr = CComObject<CCertificate>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->m_cert = Mutable(cert);
    object->AddRef();
    *out = object;
    return S_OK;
}

int CCertificate::SetAttr(const SECAttribute*)
{
    return E_ACCESSDENIED;
}

namespace {

// The serial number as lower-case hexadecimal text (library allocator).
char* SerialText(Certificate* cert)
{
    const OctetString* serial = cert != nullptr ? cert->getSerialNumber() : nullptr;
    const SEC_ENCODE_TABLE* encode = ZELK_ApiCast<SEC_ENCODE_TABLE>(fptr__encode);
    if (serial == nullptr || encode == nullptr || serial->length > (SIZE_MAX - 1) / 2)
        return nullptr;
    char* text = static_cast<char*>(sec_malloc(2 * serial->length + 1));
    if (text != nullptr && encode->hex_encode(serial->data, serial->length, text) != S_OK) {
        sec_free(text);
        text = nullptr;
    }
    return text;
}

}  // namespace

int CCertificate::GetAttr(SECAttribute* attributes)
{
    const SEC_TYPE_TABLE* strings = CommonType(SEC_TYPE_String);
    int result = S_OK;
    for (SECAttribute* a = attributes; a != nullptr; a = a->next) {
        a->answered = 1;
        a->value = nullptr;
        char* text = nullptr;
        switch (a->id) {
        case ZELK_ATTR_CERT_ISSUER:
            NameText(m_cert != nullptr ? m_cert->getIssuer() : nullptr, &text);
            break;
        case ZELK_ATTR_CERT_SUBJECT:
            NameText(m_cert != nullptr ? m_cert->getSubject() : nullptr, &text);
            break;
        case ZELK_ATTR_CERT_SERIAL:
            text = SerialText(m_cert);
            break;
        default:
            a->answered = 0;
            result = S_FALSE;
            continue;
        }
        a->value = text;
        a->owned = text != nullptr ? 1 : 0;
        a->type = text != nullptr ? strings : nullptr;
    }
    return result;
}

bool CCertificate::Match(const Certificate* cert)
{
    const SEC_TYPE_TABLE* type = CertificateType();
    return type != nullptr && type->compare(m_cert, cert) == 0;
}

int CCertificates::GetCert(const Certificate* cert, CCertificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    ZELK::CriticalCodeSection lock(&m_lock);
    for (unsigned long i = 0; i < m_count; ++i) {
        if (m_items[i]->Match(cert)) {
            m_items[i]->AddRef();
            *out = m_items[i];
            return S_OK;
        }
    }
    CCertificate* item = nullptr;
    HRESULT hr = CCertificate::New(cert, &item);
    if (FAILED(hr))
        return hr;
    hr = AddItem(item);
    if (FAILED(hr)) {
        item->Release();
        return hr;
    }
    *out = item;
    return S_OK;
}

int CCertificates::GetCount(unsigned long* count)
{
    ZELK::CriticalCodeSection lock(&m_lock);
    return CContainerUnkImpl::GetCount(count);
}

int CCertificates::GetItem(unsigned long index, const GUID& iid, void** out)
{
    ZELK::CriticalCodeSection lock(&m_lock);
    return CContainerUnkImpl::GetItem(index, iid, out);
}

int CCertificates::GetItem(unsigned long index, CCertificate** out)
{
    ZELK::CriticalCodeSection lock(&m_lock);
    return CContainerUnkImpl::GetItem(index, out);
}

namespace {

CZELK_CLASS s_certificates("zelkbase", ZELK_CLASS_CERTIFICATES, CSingletonFactoryImpl<CCertificates>::New);

}  // namespace
}  // namespace kestrin::base
