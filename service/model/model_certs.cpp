#include "model_certs.h"

#include "qevcrypto_encode.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_encode = nullptr;
CLoadAPI s_loadEncode(nullptr, SEC_ENCODE_API, &s_encode);

CZELK_CLASS s_class("zelk", "zelk.certsinfo", &CSingletonFactoryImpl<CModelCerts>::New);

}  // namespace

StringT<char> CertSubjectText(const Certificate* cert)
{
    StringT<char> text;
    auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    const DName* subject = cert != nullptr ? const_cast<Certificate*>(cert)->getSubject() : nullptr;
    if (names != nullptr && subject != nullptr)
        names->to_text(subject, &text);
    return text;
}

CModelCert::~CModelCert()
{
    if (m_cert != nullptr)
        m_cert->Release();
}

HRESULT CModelCert::New(const Certificate* cert, CModelCert** out)
{
    if (cert == nullptr || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    CComObject<CModelCert>* item = nullptr;
    HRESULT hr = CComObject<CModelCert>::CreateInstance(&item);
    if (FAILED(hr))
        return hr;
    item->AddRef();
    hr = const_cast<Certificate*>(cert)->cpy(&item->m_cert);
    if (FAILED(hr)) {
        item->Release();
        return hr;
    }
    *out = item;
    return S_OK;
}

HRESULT CModelCert::GetFingerprint(const Certificate* cert, StringT<char>& text)
{
    if (!text.IsEmpty())
        return S_OK;
    if (cert == nullptr)
        return S_FALSE;
    const SEC_TYPE_TABLE* certs = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    auto* encode = ZELK_ApiCast<SEC_ENCODE_TABLE>(s_encode);
    if (certs == nullptr || encode == nullptr || encode->fingerprint == nullptr)
        return E_FAIL;
    AuxPtr<OctetString> der;
    HRESULT hr = certs->encode(cert, &der);
    if (FAILED(hr) || der == nullptr)
        return FAILED(hr) ? hr : E_FAIL;
    char* fingerprint = nullptr;
    hr = encode->fingerprint(der->data, der->length, SEC_FINGERPRINT_DIGITS, SEC_FINGERPRINT_GROUP,
                             SEC_FINGERPRINT_SHA1, &fingerprint);
    if (SUCCEEDED(hr))
        text.Attach(fingerprint);
    return hr;
}

HRESULT CModelCert::RefreshItemInfo()
{
    StringT<char> text = CertSubjectText(m_cert);
    SetItemInfo(ICON_CERT_ACTIVE, text);
    StringT<char> key("020/");
    key += text;
    SetSortKeyOnce(key);
    return S_OK;
}

int CModelCert::Compare(IGUIModelCert* other)
{
    void* found = nullptr;
    if (other == nullptr || FAILED(other->QueryInterface(IID_CModelCert, &found)))
        return 1;
    auto* item = static_cast<CModelCert*>(static_cast<IGUIModelCert*>(found));
    int answer = 1;
    if (m_cert != nullptr && item->m_cert != nullptr)
        answer = m_cert->cmp(item->m_cert);
    static_cast<IGUIModelCert*>(item)->Release();
    return answer;
}

const char* CModelCert::GetFingerprint()
{
    CriticalCodeSection lock(GetCriticalSection());
    GetFingerprint(m_cert, m_fingerprint);
    return m_fingerprint.IsEmpty() ? "" : static_cast<const char*>(m_fingerprint);
}

bool CModelCert::IsEqual(const Certificate* cert)
{
    return m_cert != nullptr && cert != nullptr && m_cert->cmp(cert) == 0;
}

HRESULT CModelCerts::AddCert(const Certificate* cert, CModelCert** out)
{
    if (out != nullptr)
        *out = nullptr;
    CModelCert* item = nullptr;
    HRESULT hr = S_OK;
    {
        CriticalCodeSection lock(GetCriticalSection());
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            if (m_elements[i]->IsEqual(cert)) {
                if (out != nullptr) {
                    *out = m_elements[i];
                    static_cast<IGUIModelCert*>(*out)->AddRef();
                }
                return S_OK;
            }
        }
        hr = CModelCert::New(cert, &item);
        if (FAILED(hr))
            return hr;
        hr = m_elements.Add(item);
    }
    if (SUCCEEDED(hr)) {
        NextRevision();
        if (out != nullptr)
            *out = item;
        else
            static_cast<IGUIModelCert*>(item)->Release();
    } else {
        static_cast<IGUIModelCert*>(item)->Release();
    }
    return hr;
}

HRESULT CModelCerts::DelCert(const Certificate* cert)
{
    DeleteAndNotify([cert](CModelCert* element) { return element->IsEqual(cert); }, true);
    return S_OK;
}

HRESULT CModelCerts::GetCert(const Certificate* cert, CModelCert** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 0; i < m_elements.Count(); ++i) {
        if (m_elements[i]->IsEqual(cert)) {
            *out = m_elements[i];
            static_cast<IGUIModelCert*>(*out)->AddRef();
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT CModelCerts::NewCertInfo(const Certificate* cert, CModelCert** out)
{
    if (cert == nullptr)
        return S_FALSE;
    CModelCerts* certs = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelCerts>::New(&certs);
    if (FAILED(hr))
        return hr;
    hr = certs->AddCert(cert, out);
    static_cast<IGUIModelCerts*>(certs)->Release();
    return hr;
}

}  // namespace ZELK::PSESVC
