// The policy-group monitor ("zelk.policygroupsmonitor"): keeps the user's
// group policy downloaded from "PolicyHost" + "PolicyPath" of "groups/user",
// again after the group's time-to-live and 300 seconds after a failure, and
// reports each download's result to the configuration model.
#pragma once

#include <atomic>

#include "monitor.h"
#include "zelk_kestrin_policy.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"
#include "zelk_sync.h"
#include "zelk_text.h"

ZELK_DEFINE_GUID(IID_CPolicyGroupsMonitor, 0x4C1E9A57, 0x2B83, 0x4D6F, 0xA0, 0x94, 0x6E, 0x3D, 0x15, 0xB8, 0x72, 0xC9);

namespace ZELK::PSESVC {

class CPolicyGroupsMonitor : public CMonitor, public CSingletonFactoryImpl<CPolicyGroupsMonitor>, public CModDetector {
public:
    ZELK_BEGIN_INTMAP(CPolicyGroupsMonitor)
    ZELK_INTMAP_ENTRY_CLASS(IID_CPolicyGroupsMonitor)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CPolicyGroupsMonitor; }

    HRESULT Initialize() override;
    HRESULT Finalize() override;
    // With `signal` every later reload downloads, also for an unchanged address.
    HRESULT Resume(bool signal) override;
    HRESULT Reload() override;
    HRESULT NotifyThread_Initialize() override;
    HRESULT NotifyThread_Finalize() override;
    HRESULT RegisterEvent() override;

    // Forget the last address, then Reload.
    virtual HRESULT ReloadNow();
    virtual HRESULT ReloadTTL();
    // The network-change check: no source reports network changes, so it
    // answers 0 and does nothing.
    virtual HRESULT ReloadIfNetworkHasChanged();

private:
    // Reloads run on the notify thread, the scheduler's worker and the
    // configuration model's callers: one at a time.
    CriticalSection m_csReload;
    ZELK_PTR(ZELK_IPolicy) m_policy;
    ZELK_PTR(IKestrinPolicy) m_downloader;
    StringT<char> m_lastAddress;
    std::atomic<bool> m_force {false};
};

}  // namespace ZELK::PSESVC
