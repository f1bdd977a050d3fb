#include "host.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "zelk_class.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

CZELK_CLASS s_nogui("zelkgui", "zelk.nogui", &CSingletonFactoryImpl<CHostPSESVC>::New);
CZELK_CLASS s_gui("zelkgui", "zelk.gui", &CSingletonFactoryImpl<CHostPSESVC>::New);

}  // namespace

void StopSignals(sigset_t* set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
}

HRESULT CHostPSESVC::GetSessionId(char** id)
{
    if (id == nullptr)
        return E_POINTER;
    char text[24];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(getuid()));
    return String_Copy(text, id);
}

HRESULT CHostPSESVC::Run(ZELK::PSESVC::IPSESVC*)
{
    sigset_t set;
    StopSignals(&set);
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    SECTRACE_FormatLn(nullptr, 2, "KestrinClient: signal %d, stopping", signal);
    return S_OK;
}

HRESULT CHostPSESVC::DoVerb(ZELK::PSESVC::IGUIVerb*)
{
    return E_NOTIMPL;
}

}  // namespace kestrin::app
