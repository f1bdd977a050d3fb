// The application's host object ("zelk.nogui" and "zelk.gui" of module
// "zelkgui", one shared object). With widgets its loop is the GUI loop, which
// Quit or a stop signal ends; headless it is the wait for a stop signal.
#pragma once

#include <signal.h>

#include "zelk_gui.h"
#include "zelk_object.h"

namespace kestrin::app {

class CDesktopPSESVC : public ZELK::PSESVC::IGUI, public CSingletonFactoryImpl<CDesktopPSESVC>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CDesktopPSESVC)
    ZELK_INTMAP_ENTRY_IID(IID_IGUI, ZELK::PSESVC::IGUI)
    ZELK_END_INTMAP()

    // Takes the texts of bundle "zelkgui".
    CDesktopPSESVC();

    // The decimal real user id.
    HRESULT GetSessionId(char** id) override;
    // Headless: returns when SIGINT, SIGTERM or SIGHUP arrives (blocked in
    // every thread from the start of main). With widgets: runs the GUI loop
    // until Quit, which a stop signal also runs. 0 after an orderly end.
    HRESULT Run(ZELK::PSESVC::IPSESVC* service) override;
    // Runs the verb with a new credential dialog; 0x80004005 without running
    // it while headless.
    HRESULT DoVerb(ZELK::PSESVC::IGUIVerb* verb) override;
};

// The signals that stop the application.
void StopSignals(sigset_t* set);

}  // namespace kestrin::app
