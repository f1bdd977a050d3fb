#include "host.h"

#include <pthread.h>
#include <unistd.h>

#include <QApplication>
#include <atomic>
#include <cstdio>
#include <thread>

#include "appdelegate.h"
#include "glue.h"
#include "queues.h"
#include "windows.h"
#include "zelk_class.h"
#include "zelk_ptr.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

CZELK_CLASS s_nogui("zelkgui", "zelk.nogui", &CSingletonFactoryImpl<CDesktopPSESVC>::New);
CZELK_CLASS s_gui("zelkgui", "zelk.gui", &CSingletonFactoryImpl<CDesktopPSESVC>::New);

int WaitForStopSignal()
{
    sigset_t set;
    StopSignals(&set);
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

HRESULT RunGui()
{
    BeginGuiLoop();
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();

    // The stop signals are blocked in every thread; this one takes them and
    // asks the GUI thread to quit.
    std::atomic<bool> loopEnded {false};
    std::thread stopper([&loopEnded] {
        int signal = WaitForStopSignal();
        if (loopEnded)
            return;
        SECTRACE_FormatLn(nullptr, 2, "KestrinClient: signal %d, quitting", signal);
        PostToGui([] { Quit(false); });
    });

    int status = QApplication::exec();
    loopEnded = true;
    EndGuiLoop();
    pthread_kill(stopper.native_handle(), SIGHUP);
    stopper.join();
    DestroyWindows();
    return status == 0 ? S_OK : E_FAIL;
}

}  // namespace

void StopSignals(sigset_t* set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
}

CDesktopPSESVC::CDesktopPSESVC()
{
    ZELKGLUE_LoadResources();
    ZELKGLUE_GetDispatchQueue();
}

HRESULT CDesktopPSESVC::GetSessionId(char** id)
{
    if (id == nullptr)
        return E_POINTER;
    char text[24];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(getuid()));
    return String_Copy(text, id);
}

HRESULT CDesktopPSESVC::Run(ZELK::PSESVC::IPSESVC*)
{
    if (!ZELKGLUE_IsHeadless() && qobject_cast<QApplication*>(QCoreApplication::instance()))
        return RunGui();
    int signal = WaitForStopSignal();
    SECTRACE_FormatLn(nullptr, 2, "KestrinClient: signal %d, stopping", signal);
    return S_OK;
}

HRESULT CDesktopPSESVC::DoVerb(ZELK::PSESVC::IGUIVerb* verb)
{
    if (verb == nullptr)
        return E_INVALIDARG;
    ZELK::PSESVC::ICredUI* dialog = nullptr;
    ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog));
    if (dialog == nullptr)
        return E_FAIL;
    dialog->GuiStart(ZELK::PSESVC::ICredUI::GUIMODE_DEFAULT, false);
    HRESULT hr = verb->DoVerb(dialog);
    dialog->GuiEnd();
    dialog->Release();
    return hr;
}

}  // namespace kestrin::app
