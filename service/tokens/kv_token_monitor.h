// The profile token monitor ("zelk.kvtokenmonitor"): keeps one pseudo-reader
// with an inserted card per usable enrolment profile of the "profiles" tree
// and of the downloaded user group's profiles, named by the profile's token
// URI, so that the token manager makes and drops the profile tokens; and
// switches the local-server entry on while a "hearthgate" profile exists.
#pragma once

#include <cstdint>

#include "../core/monitor.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"

ZELK_DEFINE_GUID(IID_CKVTokenMonitor, 0x5E7A2C14, 0x9B3D, 0x4F61, 0x8C, 0x27, 0xA1, 0x4D, 0x60, 0xE3, 0x9F, 0x52);

namespace ZELK::PSESVC {

class CKVTokenMonitor : public CMonitor, public CSingletonFactoryImpl<CKVTokenMonitor>, public CModDetector {
public:
    ZELK_BEGIN_INTMAP(CKVTokenMonitor)
    ZELK_INTMAP_ENTRY_CLASS(IID_CKVTokenMonitor)
    ZELK_END_INTMAP()

    static const GUID& GetIID() { return IID_CKVTokenMonitor; }

    HRESULT Initialize() override;
    HRESULT Finalize() override;
    // The first reload runs at once; later ones 500 ms after the last change.
    HRESULT Reload() override;
    HRESULT NotifyThread_Initialize() override;
    HRESULT NotifyThread_Finalize() override;
    HRESULT RegisterEvent() override;

    // 1 (nothing changed) when the enrolment client cannot be made.
    virtual int ReloadTask();
    virtual int CleanupTask();

private:
    // 100 ns units since 1601 at the end of the last complete reload; 0: none yet.
    uint64_t m_ftLastReload = 0;
    ZELK_PTR(ZELK_IPolicy) m_pProfiles;
    ZELK_PTR(ZELK_IPolicy) m_pUserProfiles;
};

}  // namespace ZELK::PSESVC
