// The application's host object ("zelk.nogui" and "zelk.gui" of module
// "zelkgui", one shared object): without a toolkit, its event loop is the
// wait for a stop signal on the main thread.
#pragma once

#include "zelk_gui.h"
#include "zelk_object.h"

namespace kestrin::app {

class CHostPSESVC : public ZELK::PSESVC::IGUI, public CSingletonFactoryImpl<CHostPSESVC>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CHostPSESVC)
    ZELK_INTMAP_ENTRY_IID(IID_IGUI, ZELK::PSESVC::IGUI)
    ZELK_END_INTMAP()

    // The decimal real user id.
    HRESULT GetSessionId(char** id) override;
    // Returns when SIGINT, SIGTERM or SIGHUP arrives (blocked in every thread
    // from the start of main); 0.
    HRESULT Run(ZELK::PSESVC::IPSESVC* service) override;
    // 0x80000001: the headless application shows no dialogs.
    HRESULT DoVerb(ZELK::PSESVC::IGUIVerb* verb) override;
};

// The signals that stop the application.
void StopSignals(sigset_t* set);

}  // namespace kestrin::app
