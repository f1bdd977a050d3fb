#include "trust.h"

#include "../core/zelkpse_lists.h"
#include "trust_file.h"
#include "trust_keychain.h"
#include "trust_token.h"
#include "zelk_policy.h"
#include "zelk_policy_client.h"
#include "zelk_text.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

const SEC_TYPE_TABLE* CertListType()
{
    return SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate);
}

bool Contains(const SET_OF_Certificate* list, Certificate* certificate)
{
    for (; list != nullptr; list = list->next)
        if (list->element != nullptr && list->element->cmp(certificate) == 0)
            return true;
    return false;
}

}  // namespace

void ShareCertList(SET_OF_Certificate* list, SET_OF_Certificate** out)
{
    if (out == nullptr)
        return;
    *out = nullptr;
    const SEC_TYPE_TABLE* type = CertListType();
    if (list == nullptr || type == nullptr || FAILED(type->add_ref(list)))
        return;
    *out = list;
}

void ReleaseCertList(SET_OF_Certificate*& list)
{
    FreeList(SEC_TYPE_SET_OF_Certificate, list);
    list = nullptr;
}

int CompareCertLists(const SET_OF_Certificate* a, const SET_OF_Certificate* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : 1;
    const SEC_TYPE_TABLE* type = CertListType();
    return type ? type->compare(a, b) : 1;
}

void TraceCertList(const SET_OF_Certificate* list)
{
    const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    for (; list != nullptr && names != nullptr; list = list->next) {
        if (list->element == nullptr)
            continue;
        StringT<char> subject;
        names->to_text(list->element->getSubject(), &subject);
        SECTRACE_FormatLn(nullptr, 3, "Trusted Cert: %s", subject.IsEmpty() ? "" : static_cast<const char*>(subject));
    }
}

CTrust::~CTrust()
{
    ReleaseCertList(m_trusted);
    ReleaseCertList(m_pseList);
    m_providers.Free();
}

HRESULT CTrust::InitProviders()
{
    if (m_providersInitialised)
        return 1;
    m_providersInitialised = true;
    StringT<char> uri;
    ZELK_IPolicy* policy = nullptr;
    if (SUCCEEDED(ZELK_PolOpen(POL::COMMON::REG_PATH, &policy)) && policy) {
        policy->GetString(POL::COMMON::TRUST_DB, &uri);
        policy->Release();
    }
    if (uri.IsEmpty())
        return 1;
    ITrustProvider* provider = nullptr;
    void** out = reinterpret_cast<void**>(&provider);
    if (uri.StartsWithNoCase("token:"))
        CFactoryImpl<CTrustToken>::New(IID_ITrustProvider, out);
    else if (uri.StartsWithNoCase("file:"))
        CFactoryImpl<CTrustFile>::New(IID_ITrustProvider, out);
    else if (uri.StartsWithNoCase("keychain:"))
        CSingletonFactoryImpl<CTrustKeychain>::New(IID_ITrustProvider, out);
    if (provider) {
        provider->SetURI(uri);
        m_providers.Add(provider);
        provider->Release();
    }
    return 1;
}

HRESULT CTrust::Refresh(SET_OF_Certificate** list, signed char force)
{
    CriticalCodeSection lock(&m_cs);
    InitProviders();
    bool changed = false;
    for (uint64_t i = 0; i < m_providers.Count(); ++i)
        if (m_providers[i]->Refresh() == S_OK)
            changed = true;
    if (!changed && !force) {
        ShareCertList(m_trusted, list);
        return 1;
    }
    SET_OF_Certificate* merged = nullptr;
    SET_OF_Certificate** cursor = &merged;
    for (uint64_t i = 0; i < m_providers.Count(); ++i) {
        SET_OF_Certificate* own = nullptr;
        m_providers[i]->GetCertList(&own);
        for (SET_OF_Certificate* node = own; node != nullptr; node = node->next)
            if (node->element != nullptr && !Contains(merged, node->element))
                AppendCertificate(cursor, node->element);
        ReleaseCertList(own);
    }
    ReleaseCertList(m_trusted);
    m_trusted = merged;
    ShareCertList(m_trusted, list);
    return S_OK;
}

HRESULT CTrust::isInTrustedCerts(const Certificate* certificate)
{
    if (certificate == nullptr)
        return E_INVALIDARG;
    SET_OF_Certificate* list = nullptr;
    Refresh(&list, 0);
    HRESULT found = S_OK;
    for (SET_OF_Certificate* node = list; node != nullptr && found == S_OK; node = node->next)
        if (node->element != nullptr && node->element->cmp(certificate) == 0)
            found = 1;
    ReleaseCertList(list);
    return found;
}

HRESULT CTrust::getTrustedCertList(SET_OF_Certificate** list)
{
    if (list == nullptr)
        return E_INVALIDARG;
    Refresh(list, 0);
    return S_OK;
}

HRESULT CTrust::getAllTrustedCerts(SET_OF_Certificate** list)
{
    return getTrustedCertList(list);
}

HRESULT CTrust::addTrustedCertListItem(const Certificate*)
{
    Refresh(nullptr, 0);
    return S_OK;
}

HRESULT CTrust::deleteTrustedCertListItem(const DName*, unsigned long)
{
    Refresh(nullptr, 0);
    return S_OK;
}

// The PSE list is compared and replaced under the store's lock: two service
// PSE threads updating the trust at once must not both free the old list.
HRESULT CTrust::importTrustFromPSE(PSE* pse)
{
    SET_OF_Certificate* taken = nullptr;
    if (pse != nullptr && FAILED(pse->getAllTrustedCerts(&taken)))
        ReleaseCertList(taken);
    CriticalCodeSection lock(&m_cs);
    if (CompareCertLists(taken, m_pseList) == 0) {
        ReleaseCertList(taken);
        return 1;
    }
    ReleaseCertList(m_pseList);
    m_pseList = taken;
    Refresh(nullptr, 1);
    return S_OK;
}

}  // namespace ZELK::PSESVC
