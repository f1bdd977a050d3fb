#include "policy_groups_monitor.h"

#include <cstring>

#include "task_manager.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_policy_client.h"
#include "zelk_timeapi.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.policygroupsmonitor", &CSingletonFactoryImpl<CPolicyGroupsMonitor>::New);

constexpr const char* kGroupPath = "groups/user";
constexpr const char* kGroup = "user";
constexpr unsigned int kDownloadFlags = 2;
constexpr unsigned long long kRetrySeconds = 300;
constexpr unsigned long long kNetworkCheckSeconds = 10;

}  // namespace

HRESULT CPolicyGroupsMonitor::Initialize()
{
    CSingletonFactoryImpl<CPolicyGroupsMonitor>::Initialize();
    return CMonitor::Initialize();
}

HRESULT CPolicyGroupsMonitor::Finalize()
{
    CMonitor::Finalize();
    return CSingletonFactoryImpl<CPolicyGroupsMonitor>::Finalize();
}

HRESULT CPolicyGroupsMonitor::Resume(bool signal)
{
    if (signal)
        m_force = true;
    return CMonitor::Resume(signal);
}

HRESULT CPolicyGroupsMonitor::NotifyThread_Initialize()
{
    IKestrinPolicy* downloader = nullptr;
    if (FAILED(ZELK_CreateObject("zelkkvlogin", ZELK_KESTRIN_POLICY_CLASS, IID_IKestrinPolicy,
                                 reinterpret_cast<void**>(&downloader)))
        || downloader == nullptr)
        return E_FAIL;
    CriticalCodeSection lock(&m_csReload);
    m_downloader.Attach(downloader);
    if (!m_policy)
        ZELK_PolOpen(kGroupPath, &m_policy);
    return S_OK;
}

HRESULT CPolicyGroupsMonitor::RegisterEvent()
{
    CriticalCodeSection lock(&m_csReload);
    if (m_policy)
        m_policy->RegisterCallback(GetSignal());
    return S_OK;
}

HRESULT CPolicyGroupsMonitor::NotifyThread_Finalize()
{
    CriticalCodeSection lock(&m_csReload);
    if (m_policy) {
        m_policy->RegisterCallback(nullptr);
        m_policy = nullptr;
    }
    return S_OK;
}

HRESULT CPolicyGroupsMonitor::ReloadNow()
{
    CriticalCodeSection lock(&m_csReload);
    m_lastAddress.Empty();
    return Reload();
}

HRESULT CPolicyGroupsMonitor::ReloadTTL()
{
    return ReloadNow();
}

HRESULT CPolicyGroupsMonitor::ReloadIfNetworkHasChanged()
{
    return S_OK;
}

HRESULT CPolicyGroupsMonitor::Reload()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CPolicyGroupsMonitor::Reload");
    CriticalCodeSection lock(&m_csReload);
    if (!m_policy || !m_downloader)
        return trace.result = S_FALSE;
    if (m_force)
        m_lastAddress.Empty();

    StringT<char> host(static_cast<ZELK_IPolicy*>(m_policy), "PolicyHost");
    StringT<char> path(static_cast<ZELK_IPolicy*>(m_policy), "PolicyPath");
    if (host.IsEmpty() || path.IsEmpty()) {
        m_downloader->DownloadPolicy(nullptr, kDownloadFlags, kGroup);
        m_lastAddress.Empty();
        return trace.result = S_FALSE;
    }
    StringT<char> address(host);
    address.Append(path);
    if (!m_lastAddress.IsEmpty() && std::strcmp(m_lastAddress, address) == 0)
        return trace.result = S_OK;

    CTaskManager* scheduler = nullptr;
    CSingletonFactoryImpl<CTaskManager>::New(&scheduler);
    if (scheduler) {
        scheduler->DeleteTask(&CPolicyGroupsMonitor::ReloadTTL, this);
        scheduler->DeleteTask(&CPolicyGroupsMonitor::ReloadIfNetworkHasChanged, this);
    }
    ZELK_PTR(IGUIModelCfgPolicy) model;
    ZELK_CreateObject("zelk", "zelk.cfg.policy", IID_IGUIModelCfgPolicy, reinterpret_cast<void**>(&model));

    HRESULT result = m_downloader->DownloadPolicy(address, kDownloadFlags, kGroup);
    if (FAILED(result)) {
        if (model)
            model->SetDWORD(CFGPOLICY_STATUS, static_cast<unsigned int>(result));
        m_lastAddress.Empty();
        if (scheduler) {
            scheduler->AddTask("CPolicyGroupsMonitor::ReloadIfNetworkHasChanged",
                               &CPolicyGroupsMonitor::ReloadIfNetworkHasChanged, this, kNetworkCheckSeconds,
                               TIME_UNIT_SECONDS, false);
            scheduler->AddTask("CPolicyGroupsMonitor::ReloadTTL", &CPolicyGroupsMonitor::ReloadTTL, this, kRetrySeconds,
                               TIME_UNIT_SECONDS, false);
        }
    } else {
        if (model)
            model->SetDWORD(CFGPOLICY_STATUS, 0);
        m_lastAddress = address;
        // Minutes up to 0xFFFFFFFF: the product needs 64 bits.
        const unsigned long long ttl = m_policy->GetDWORD("PolicyTTL");
        if (ttl != 0 && scheduler)
            scheduler->AddTask("CPolicyGroupsMonitor::ReloadTTL", &CPolicyGroupsMonitor::ReloadTTL, this, ttl * 60,
                               TIME_UNIT_SECONDS, false);
    }
    if (scheduler)
        scheduler->Release();
    return trace.result = result;
}

}  // namespace ZELK::PSESVC
