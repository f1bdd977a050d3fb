// KestrinClient: the process that hosts the credential service. On a desktop
// it shows its tray icon (or its profile window) and the service's dialogs;
// with no display, or with --headless, it runs the service alone until
// SIGINT, SIGTERM or SIGHUP stops it in order.
#include <pthread.h>
#include <signal.h>

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "glue.h"
#include "host.h"

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so that every thread inherits the
    // mask and only the host's wait takes the stop signals.
    sigset_t set;
    kestrin::app::StopSignals(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    const bool headless =
        kestrin::app::ZELKGLUE_WantsHeadless(argc, argv, [](const char* name) { return std::getenv(name); });
    kestrin::app::ZELKGLUE_SetHeadless(headless);

    if (!kestrin::app::ZELKGLUE_Initialize())
        return 1;
    std::unique_ptr<QApplication> application;
    if (!headless) {
        application = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    HRESULT hr = kestrin::app::ZELKGLUE_Run(argc, argv);
    kestrin::app::ZELKGLUE_Finalize();
    return SUCCEEDED(hr) ? 0 : 1;
}
