#include "model_applications.h"

#include <cstring>

#include "../core/applications.h"
#include "zelk_class.h"
#include "zelk_policy_client.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.applications", &CSingletonFactoryImpl<CModelApplications>::New);

const char* const kPaths[2] = {"applications", "groups/user/applications"};
const char kTargetName[] = "GssTargetName";
// Sub-key names longer than this are not read (never cut).
constexpr size_t kMaxSubKeyName = 511;

IGUIModelApplication* AsInterface(CModelApplication* entry)
{
    return entry;
}

}  // namespace

void CModelApplication::Init(const char* name, ZELK_IPolicy* application, ZELK_IPolicy* common)
{
    m_name = name;
    m_application = application;
    m_common = common;
}

bool CModelApplication::Locked(const char* name)
{
    return m_application != nullptr && m_application->IsConfigured(name);
}

unsigned CModelApplication::GetIntegerProperty(const char* name, bool* changeable)
{
    if (Locked(name)) {
        if (changeable != nullptr)
            *changeable = false;
        return m_application->GetDWORD(name);
    }
    if (changeable != nullptr)
        *changeable = m_common != nullptr && m_common->IsChangeable(name);
    return m_common != nullptr ? m_common->GetDWORD(name) : 0;
}

HRESULT CModelApplication::GetStringProperty(const char* name, char** value, bool* changeable)
{
    if (Locked(name)) {
        if (changeable != nullptr)
            *changeable = false;
        return m_application->GetString(name, value);
    }
    if (changeable != nullptr)
        *changeable = m_common != nullptr && m_common->IsChangeable(name);
    return m_common != nullptr ? m_common->GetString(name, value) : E_FAIL;
}

HRESULT CModelApplication::SetIntegerProperty(const char* name, unsigned value)
{
    if (Locked(name) || m_common == nullptr || !m_common->IsChangeable(name))
        return E_ACCESSDENIED;
    return m_common->SetDWORD(name, value);
}

HRESULT CModelApplication::SetStringProperty(const char* name, const char* value)
{
    if (Locked(name) || m_common == nullptr || !m_common->IsChangeable(name))
        return E_ACCESSDENIED;
    return m_common->SetString(name, value);
}

CModelApplications::~CModelApplications()
{
    for (CPolicyPtr& path : m_paths)
        if (path != nullptr)
            path->RegisterCallback(nullptr);
}

HRESULT CModelApplications::AddEntry(const char* name, ZELK_IPolicy* application)
{
    CComObject<CModelApplication>* entry = nullptr;
    HRESULT hr = CComObject<CModelApplication>::CreateInstance(&entry);
    if (FAILED(hr))
        return hr;
    AsInterface(entry)->AddRef();
    entry->Init(name, application, m_common);
    {
        CriticalCodeSection lock(GetCriticalSection());
        hr = m_elements.Add(entry);
    }
    AsInterface(entry)->Release();
    return hr;
}

bool CModelApplications::HavePolicy(const char* name)
{
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 1; i < m_elements.Count(); ++i)
        if (String_CompareNoCase(m_elements[i]->GetName(), name) == 0)
            return true;
    return false;
}

void CModelApplications::ReadPath(ZELK_IPolicy* path)
{
    char name[kMaxSubKeyName + 2];
    for (long index = 0; path->EnumSubKey(index, name, sizeof name) == 0; ++index) {
        if (std::strlen(name) > kMaxSubKeyName)
            continue;
        StringT<char> full(path->GetPath());
        full += "/";
        full += name;
        if (HavePolicy(full))
            continue;
        CPolicyPtr application;
        if (path->OpenSubKey(index, &application) != 0 || application == nullptr)
            continue;
        if (application->IsConfigured(kTargetName))
            AddEntry(full, application);
    }
}

void CModelApplications::DeleteOrphanedPolicies()
{
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 1; i < m_elements.Count();) {
        ZELK_IPolicy* application = m_elements[i]->ApplicationPolicy();
        if (application == nullptr || !application->IsConfigured(kTargetName))
            m_elements.Delete(i);
        else
            ++i;
    }
}

void CModelApplications::Refresh()
{
    CriticalCodeSection lock(&m_csRefresh);
    bool read[2] = {false, false};
    if (!m_started) {
        m_started = true;
        ZELK_PolOpen("Common/GVX", &m_common);
        AddEntry("default", nullptr);
        for (int i = 0; i < 2; ++i) {
            if (ZELK_PolOpen(kPaths[i], &m_paths[i]) == 0 && m_paths[i] != nullptr)
                m_paths[i]->RegisterCallback(&m_changed[i]);
            read[i] = true;
        }
    } else {
        for (int i = 0; i < 2; ++i)
            read[i] = m_changed[i].Wait(0);
    }
    for (int i = 0; i < 2; ++i)
        if (read[i] && m_paths[i] != nullptr)
            ReadPath(m_paths[i]);
    if (read[0] || read[1])
        DeleteOrphanedPolicies();
}

uint64_t CModelApplications::GetElementCount()
{
    Refresh();
    return CGUIModelContainer::GetElementCount();
}

HRESULT CModelApplications::GetElement(unsigned long index, const GUID& iid, void** out)
{
    if (index == 0)
        Refresh();
    return CGUIModelContainer::GetElement(index, iid, out);
}

HRESULT CModelApplications::GetApplicationByGVXPartnerName(const char* target, IGUIModelApplication** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    Refresh();
    if (String_IsEmpty(target))
        return GetElement(0, IID_IGUIModelApplication, reinterpret_cast<void**>(out));
    CApplications* applications = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CApplications>::New(&applications);
    if (FAILED(hr))
        return hr;
    CPolicyPtr policy;
    applications->GetPolicyByGssTargetName(target, &policy, nullptr, nullptr);
    applications->Release();
    if (policy == nullptr)
        return E_FAIL;
    return GetApplicationByPath(policy->GetPath(), out);
}

HRESULT CModelApplications::GetApplicationByPath(const char* path, IGUIModelApplication** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 1; i < m_elements.Count(); ++i)
        if (path != nullptr && String_CompareNoCase(m_elements[i]->GetName(), path) == 0)
            return AsInterface(m_elements[i])->QueryInterface(IID_IGUIModelApplication, reinterpret_cast<void**>(out));
    return E_FAIL;
}

}  // namespace ZELK::PSESVC
