// KestrinClient: the process that hosts the credential service. Headless,
// it runs the service until SIGINT, SIGTERM or SIGHUP stops it in order.
#include <pthread.h>
#include <signal.h>

#include "glue.h"
#include "host.h"

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so that every thread inherits the
    // mask and only the host's wait takes the stop signals.
    sigset_t set;
    kestrin::app::StopSignals(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    if (!kestrin::app::ZELKGLUE_Initialize())
        return 1;
    HRESULT hr = kestrin::app::ZELKGLUE_Run(argc, argv);
    kestrin::app::ZELKGLUE_Finalize();
    return SUCCEEDED(hr) ? 0 : 1;
}
