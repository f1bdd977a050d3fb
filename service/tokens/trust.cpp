#include "trust.h"

#include "../core/zelkpse_lists.h"

namespace ZELK::PSESVC {

CTrust::~CTrust()
{
    Clear();
}

void CTrust::Clear()
{
    for (Certificate* certificate : m_certificates)
        certificate->Release();
    m_certificates.clear();
}

HRESULT CTrust::importTrustFromPSE(PSE* pse)
{
    std::vector<Certificate*> taken;
    if (pse != nullptr) {
        SET_OF_Certificate* list = nullptr;
        HRESULT hr = pse->getTrustedCertList(&list);
        if (FAILED(hr)) {
            FreeList(SEC_TYPE_SET_OF_Certificate, list);
            return hr;
        }
        for (SET_OF_Certificate* node = list; node != nullptr; node = node->next) {
            if (node->element == nullptr)
                continue;
            node->element->AddRef();
            taken.push_back(node->element);
        }
        FreeList(SEC_TYPE_SET_OF_Certificate, list);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    Clear();
    m_certificates.swap(taken);
    return S_OK;
}

HRESULT CTrust::isInTrustedCerts(const Certificate* certificate)
{
    if (certificate == nullptr)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_lock);
    for (Certificate* trusted : m_certificates)
        if (trusted->cmp(certificate) == 0)
            return 1;
    return S_OK;
}

HRESULT CTrust::getAllTrustedCerts(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    SET_OF_Certificate** cursor = out;
    std::lock_guard<std::mutex> lock(m_lock);
    for (Certificate* trusted : m_certificates) {
        HRESULT hr = AppendCertificate(cursor, trusted);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CTrust::getTrustedCertList(SET_OF_Certificate** out)
{
    return getAllTrustedCerts(out);
}

// No provider singleton is made yet, so there is no list to mark.
HRESULT CTrustKeychain::SetDirty()
{
    return S_OK;
}

}  // namespace ZELK::PSESVC
