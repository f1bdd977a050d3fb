#include "model_filter.h"

#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "zelk_class.h"
#include "zelk_strings.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_ownCertEx("zelk", "zelk.model.owncerts.and.kerberos.ex",
                        &CSingletonFactoryImpl<CModelFilterSelectOwnCert>::New);
CZELK_CLASS s_ownCertKestrin("zelk", "zelk.model.owncerts.kestrin",
                             &CSingletonFactoryImpl<CModelFilterSelectOwnCertKestrin>::New);
CZELK_CLASS s_localCerts("zelk", "zelk.model.localcerts.only",
                         &CSingletonFactoryImpl<CModelFilterSelectLocalCertsOnly>::New);
CZELK_CLASS s_ownCertKerberos("zelk", "zelk.model.owncerts.and.kerberos",
                              &CSingletonFactoryImpl<CModelGroupOwnCertKerberos>::New);
CZELK_CLASS s_ownCertToken("zelk", "zelk.model.owncerts.token", &CSingletonFactoryImpl<CModelGroupOwnCertToken>::New);
CZELK_CLASS s_ownCertTokenKerberos("zelk", "zelk.model.owncerts.token.kerberos",
                                   &CSingletonFactoryImpl<CModelGroupOwnCertTokenKerberos>::New);
CZELK_CLASS s_ownCertDisabled("zelk", "zelk.model.owncerts.disabledcerts",
                              &CSingletonFactoryImpl<CModelGroupOwnCertAndDisabled>::New);

template <class I>
I* Query(IGUIModel* element, const GUID& iid)
{
    void* out = nullptr;
    if (element == nullptr || FAILED(element->QueryInterface(iid, &out)))
        return nullptr;
    return static_cast<I*>(out);
}

// Releases the references of a collected list.
struct ModelList {
    std::vector<IGUIModel*> items;
    ~ModelList()
    {
        for (IGUIModel* item : items)
            item->Release();
    }
};

}  // namespace

bool IsKestrinToken(const char* uri)
{
    return uri != nullptr && String_StartsWithNoCase(uri, "toksw:mem://kestrin/");
}

bool IsLocalToken(const char* uri)
{
    return uri != nullptr && String_StartsWithNoCase(uri, "tokkeychain:");
}

CModelFilter::CModelFilter(const char* className)
{
    m_deferred = true;
    SetContainer(className);
}

CModelFilter::~CModelFilter()
{
    DetachSource();
}

void CModelFilter::DetachSource()
{
    SourcePtr source;
    {
        CriticalCodeSection lock(&m_csSource);
        source = m_source;
        m_source = nullptr;
    }
    // Returns only after a round that is calling this filter has ended.
    if (source != nullptr)
        source->UnRegisterCallback(this, 0);
}

HRESULT CModelFilter::SetContainer(const char* className)
{
    SourcePtr source;
    if (className != nullptr)
        ZELK_CreateObject("zelk", className, IID_IGUIModelContainer, reinterpret_cast<void**>(&source));
    SetContainer(source);
    return S_OK;
}

HRESULT CModelFilter::SetContainer(IGUIModelContainer* source)
{
    SourcePtr old;
    {
        CriticalCodeSection lock(&m_csSource);
        if (m_source == source)
            return S_FALSE;
        old = m_source;
        m_source = source;
    }
    if (old != nullptr)
        old->UnRegisterCallback(this, 0);
    {
        CriticalCodeSection lock(GetCriticalSection());
        m_appliedRevision = -1;
    }
    if (source != nullptr)
        source->RegisterCallback(this, 0);
    if (!m_deferred)
        RefreshCB(0);
    return S_OK;
}

HRESULT CModelFilter::RefreshCB(unsigned long)
{
    // A change before the first read is left to that read.
    if (m_deferred)
        return S_OK;
    SourcePtr source;
    {
        CriticalCodeSection lock(&m_csSource);
        source = m_source;
    }
    if (source == nullptr) {
        CriticalCodeSection lock(GetCriticalSection());
        if (m_elements.Count() > 0) {
            DeleteAllElements();
            NextRevision();
        }
        return S_OK;
    }

    const int64_t revision = source->GetRevision();
    ModelList fresh;
    for (unsigned long i = 0; i < source->GetElementCount(); ++i) {
        IGUIModel* element = nullptr;
        if (FAILED(source->GetElement(i, IID_IGUIModel, reinterpret_cast<void**>(&element))) || element == nullptr)
            continue;
        if (IsMember(element))
            fresh.items.push_back(element);
        else
            element->Release();
    }

    CriticalCodeSection lock(GetCriticalSection());
    if (revision < m_appliedRevision)
        return S_OK;
    m_appliedRevision = revision;
    // Changed when the count differs or an element is not a current member
    // (compared as given: the element's IGUIModel is its IUnknown).
    bool changed = fresh.items.size() != m_elements.Count();
    if (!changed) {
        std::unordered_set<IUnknown*> current;
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            IUnknown* unknown = nullptr;
            if (SUCCEEDED(m_elements[i]->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)))) {
                current.insert(unknown);
                unknown->Release();
            }
        }
        for (IGUIModel* item : fresh.items) {
            if (current.count(item) == 0) {
                changed = true;
                break;
            }
        }
    }
    if (!changed)
        return S_OK;
    DeleteAllElements();
    for (IGUIModel* item : fresh.items) {
        if (FAILED(m_elements.Add(item))) {
            // Without room the filter shows nothing rather than a part.
            DeleteAllElements();
            break;
        }
    }
    NextRevision();
    return S_OK;
}

void CModelFilter::FillOnFirstRead()
{
    bool expected = true;
    if (m_deferred.compare_exchange_strong(expected, false))
        RefreshCB(0);
}

uint64_t CModelFilter::GetElementCount()
{
    FillOnFirstRead();
    return CGUIModelContainer::GetElementCount();
}

HRESULT CModelFilter::GetElement(unsigned long index, const GUID& iid, void** out)
{
    FillOnFirstRead();
    return CGUIModelContainer::GetElement(index, iid, out);
}

bool CModelFilterSelectOwnCert::IsMember(IGUIModel* element)
{
    if (auto* own = Query<IGUIModelOwnCert>(element, IID_IGUIModelOwnCert)) {
        bool member = !IsKestrinToken(own->GetURI());
        own->Release();
        return member;
    }
    if (auto* token = Query<IGUIModelToken>(element, IID_IGUIModelToken)) {
        bool member = token->GetTokenType() != TOKEN_TYPE_LOCALSERVER && IsKestrinToken(token->GetTokenName());
        token->Release();
        return member;
    }
    return true;
}

bool CModelFilterSelectOwnCertKestrin::IsMember(IGUIModel* element)
{
    if (auto* own = Query<IGUIModelOwnCert>(element, IID_IGUIModelOwnCert)) {
        bool member = !IsKestrinToken(own->GetURI());
        own->Release();
        return member;
    }
    if (auto* token = Query<IGUIModelToken>(element, IID_IGUIModelToken)) {
        bool member = IsKestrinToken(token->GetTokenName());
        token->Release();
        return member;
    }
    return true;
}

bool CModelFilterSelectLocalCertsOnly::IsMember(IGUIModel* element)
{
    auto* own = Query<IGUIModelOwnCert>(element, IID_IGUIModelOwnCert);
    if (own == nullptr)
        return false;
    bool member = IsLocalToken(own->GetURI());
    own->Release();
    return member;
}

struct CModelGroup::Snapshot {
    std::vector<MemberInfo> members;
};

CModelGroup::~CModelGroup()
{
    Snapshot snapshot;
    MemberInfo** members = nullptr;
    uint64_t count = 0;
    {
        CriticalCodeSection lock(&m_csMembers);
        TakeSnapshot(snapshot);
        members = m_members;
        count = m_count;
        m_members = nullptr;
        m_count = 0;
    }
    // Each unregistration waits for a round that is calling this group.
    for (uint64_t i = 0; i < snapshot.members.size(); ++i)
        if (snapshot.members[i].container != nullptr)
            snapshot.members[i].container->UnRegisterCallback(this, static_cast<unsigned long>(i));
    for (uint64_t i = 0; i < count; ++i)
        delete members[i];
    free(members);
}

bool CModelGroup::TakeSnapshot(Snapshot& snapshot)
{
    snapshot.members.resize(m_count);
    for (uint64_t i = 0; i < m_count; ++i)
        snapshot.members[i] = *m_members[i];
    return true;
}

HRESULT CModelGroup::AddGroupMember(const char* className)
{
    IGUIModel* member = nullptr;
    if (className == nullptr
        || FAILED(ZELK_CreateObject("zelk", className, IID_IGUIModel, reinterpret_cast<void**>(&member))))
        return E_FAIL;
    HRESULT hr = AddGroupMember(member);
    member->Release();
    return hr;
}

HRESULT CModelGroup::AddGroupMember(IGUIModel* member)
{
    if (member == nullptr)
        return E_FAIL;
    auto* info = new (std::nothrow) MemberInfo;
    if (info == nullptr)
        return E_OUTOFMEMORY;
    info->member = member;
    info->container = member;
    info->count = info->container != nullptr ? 0 : 1;
    info->revision = member->GetRevision();
    uint64_t index = 0;
    {
        CriticalCodeSection lock(&m_csMembers);
        auto* grown = static_cast<MemberInfo**>(realloc(m_members, (m_count + 1) * sizeof(MemberInfo*)));
        if (grown == nullptr) {
            delete info;
            return E_OUTOFMEMORY;
        }
        m_members = grown;
        index = m_count;
        m_members[m_count++] = info;
    }
    // Registered first, then counted, so that no change of the member is missed.
    if (info->container != nullptr) {
        info->container->RegisterCallback(this, static_cast<unsigned long>(index));
        RefreshCB(static_cast<unsigned long>(index));
    } else {
        NextRevision();
    }
    return S_OK;
}

uint64_t CModelGroup::GetElementCount()
{
    CriticalCodeSection lock(&m_csMembers);
    uint64_t sum = 0;
    for (uint64_t i = 0; i < m_count; ++i)
        sum += m_members[i]->count;
    return sum;
}

HRESULT CModelGroup::GetElement(unsigned long index, const GUID& iid, void** out)
{
    MemberInfo target;
    uint64_t remaining = index;
    {
        CriticalCodeSection lock(&m_csMembers);
        uint64_t i = 0;
        for (; i < m_count; ++i) {
            if (remaining < m_members[i]->count)
                break;
            remaining -= m_members[i]->count;
        }
        if (i == m_count)
            return E_FAIL;
        target = *m_members[i];
    }
    if (target.container != nullptr)
        return target.container->GetElement(static_cast<unsigned long>(remaining), iid, out);
    return target.member->QueryInterface(iid, out);
}

int CModelGroup::Contains(IUnknown* element)
{
    Snapshot snapshot;
    {
        CriticalCodeSection lock(&m_csMembers);
        TakeSnapshot(snapshot);
    }
    for (MemberInfo& info : snapshot.members) {
        if (info.container != nullptr) {
            if (info.container->Contains(element) == 1)
                return 1;
            continue;
        }
        IUnknown* unknown = nullptr;
        if (SUCCEEDED(info.member->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)))) {
            unknown->Release();
            if (unknown == element)
                return 1;
        }
    }
    return 0;
}

HRESULT CModelGroup::RefreshCB(unsigned long key)
{
    CComPtr<CComIID<IGUIModelContainer, &IID_IGUIModelContainer>> container;
    {
        CriticalCodeSection lock(&m_csMembers);
        if (key >= m_count || m_members[key]->container == nullptr)
            return S_OK;
        container = m_members[key]->container;
    }
    const uint64_t count = container->GetElementCount();
    const int64_t revision = container->GetRevision();
    {
        CriticalCodeSection lock(&m_csMembers);
        if (key < m_count) {
            m_members[key]->count = count;
            m_members[key]->revision = revision;
        }
    }
    NextRevision();
    return S_OK;
}

CModelGroupOwnCertKerberos::CModelGroupOwnCertKerberos()
{
    AddGroupMember("zelk.model.owncerts");
    AddGroupMember("zelk.kerberosinfo");
}

CModelGroupOwnCertToken::CModelGroupOwnCertToken()
{
    AddGroupMember("zelk.model.owncerts");
    AddGroupMember("zelk.tokensinfo");
}

CModelGroupOwnCertTokenKerberos::CModelGroupOwnCertTokenKerberos()
{
    for (const char* member : {"zelk.localservers", "zelk.eom", "zelk.otp.tokens", "zelk.model.owncerts",
                               "zelk.tokensinfo", "zelk.kerberosinfo"})
        AddGroupMember(member);
}

CModelGroupOwnCertAndDisabled::CModelGroupOwnCertAndDisabled()
{
    AddGroupMember("zelk.model.owncerts");
    AddGroupMember("zelk.model.disabledcerts");
}

}  // namespace ZELK::PSESVC
