#include "model_filter_certs.h"

#include "zelk_stringset.h"

namespace ZELK::PSESVC {
namespace {

constexpr const char* kSource = "zelk.model.owncerts.and.kerberos.ex";

const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

// One more reference on a shared list; NULL stays NULL.
template <class List>
List* Share(const List* list, unsigned int index)
{
    const SEC_TYPE_TABLE* table = TypeTable(index);
    if (list == nullptr || table == nullptr || FAILED(table->add_ref(const_cast<List*>(list))))
        return nullptr;
    return const_cast<List*>(list);
}

// The own certificate of an element: the element itself, or a token's first.
IGUIModelOwnCert* OwnCertOf(IGUIModel* element)
{
    IGUIModelOwnCert* own = nullptr;
    if (element == nullptr)
        return nullptr;
    if (SUCCEEDED(element->QueryInterface(IID_IGUIModelOwnCert, reinterpret_cast<void**>(&own))) && own)
        return own;
    IGUIModelToken* token = nullptr;
    if (FAILED(element->QueryInterface(IID_IGUIModelToken, reinterpret_cast<void**>(&token))) || !token)
        return nullptr;
    own = nullptr;
    if (token->GetOwnCert(0, &own) != S_OK)
        own = nullptr;
    token->Release();
    return own;
}

bool SameName(const DName* a, const DName* b)
{
    const SEC_TYPE_TABLE* names = TypeTable(SEC_TYPE_DName);
    return a != nullptr && b != nullptr && names != nullptr && names->compare(a, b) == 0;
}

}  // namespace

ModelFilterCerts::~ModelFilterCerts()
{
    DetachSource();
    if (m_tokenURIs)
        TypeTable(SEC_TYPE_SET_OF_String)->free(m_tokenURIs);
    if (m_issuers)
        TypeTable(SEC_TYPE_SET_OF_DName)->free(m_issuers);
}

HRESULT ModelFilterCerts::New(ZELK_IPolicy* policy, const SET_OF_String* tokenURIs, const SET_OF_DName* issuers,
                              const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<ModelFilterCerts>* object = nullptr;
    HRESULT hr = CComObject<ModelFilterCerts>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    if (policy != nullptr && SUCCEEDED(CCertificateFilter::New(&object->m_filter)))
        object->m_filter->SetPolicy(policy);
    object->m_policy = policy;
    object->m_issuers = Share(issuers, SEC_TYPE_SET_OF_DName);
    object->m_tokenURIs = Share(tokenURIs, SEC_TYPE_SET_OF_String);
    object->SetContainer(kSource);
    hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

HRESULT ModelFilterCerts::New(ZELK_IPolicy* policy, const SET_OF_DName* issuers, const GUID& iid, void** out)
{
    return New(policy, nullptr, issuers, iid, out);
}

HRESULT ModelFilterCerts::New(ZELK_IPolicy* policy, const SET_OF_DName* issuers, IGUIModelContainer** out)
{
    return New(policy, nullptr, issuers, IID_IGUIModelContainer, reinterpret_cast<void**>(out));
}

HRESULT ModelFilterCerts::New(ZELK_IPolicy* policy, const SET_OF_String* tokenURIs, const SET_OF_DName* issuers,
                              IGUIModelContainer** out)
{
    return New(policy, tokenURIs, issuers, IID_IGUIModelContainer, reinterpret_cast<void**>(out));
}

HRESULT ModelFilterCerts::RefreshCB(unsigned long key)
{
    return CModelFilter::RefreshCB(key);
}

bool ModelFilterCerts::IsMember(IGUIModel* element)
{
    IGUIModelOwnCert* own = OwnCertOf(element);
    if (own == nullptr)
        return false;
    const PersonalCertificateInfo* info = own->GetPCI();
    bool member = info != nullptr;
    if (member) {
        if (m_tokenURIs != nullptr)
            member = SET_OF_String_contains(m_tokenURIs, info->tokenName) != 0;
        else if (m_tokenURIsText.Count() > 0)
            member = info->tokenName != nullptr && m_tokenURIsText.Find(info->tokenName) >= 0;
        else
            member = !m_emptyAdmitsNothing;
    }
    if (member && m_filter)
        member = m_filter->Match(info->certificate, nullptr);
    if (member && m_issuers != nullptr) {
        bool issued = false;
        for (const SET_OF_DName* node = m_issuers; node != nullptr && !issued; node = node->next)
            issued = IsIssuedBy(info, node->element);
        member = issued;
    }
    own->Release();
    return member;
}

bool ModelFilterCerts::IsIssuedBy(const PersonalCertificateInfo* info, const DName* issuer)
{
    if (info == nullptr || issuer == nullptr)
        return false;
    if (info->certificate != nullptr && SameName(info->certificate->getIssuer(), issuer))
        return true;
    for (const SEQUENCE_OF_Certificate* node = info->path; node != nullptr; node = node->next)
        if (node->element != nullptr && SameName(node->element->getIssuer(), issuer))
            return true;
    return false;
}

}  // namespace ZELK::PSESVC
