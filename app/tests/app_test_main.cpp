// The application's tests: the main thread is the GUI thread of an offscreen
// QApplication; the user's configuration and data go to a temporary folder.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>
#include <string>

#include "app_test.h"
#include "glue.h"
#include "host.h"
#include "zelk_module.h"

namespace kestrin::app::test {

std::string TestHome()
{
    static std::string home = [] {
        char folder[] = "/tmp/kestrinapp-XXXXXX";
        return std::string(mkdtemp(folder));
    }();
    return home;
}

}  // namespace kestrin::app::test

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no platform.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // As in the program: only the host's wait takes the stop signals.
    sigset_t set;
    kestrin::app::StopSignals(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const std::string home = kestrin::app::test::TestHome();
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    // A system folder of its own, watched from the start, for values the
    // tests lock.
    setenv("XDG_CONFIG_DIRS", (home + "/system").c_str(), 1);
    std::filesystem::create_directories(home + "/system/kestrin");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (ZELK_Initialize() < 0)
        return 1;
    int status = RUN_ALL_TESTS();
    std::string remove = "rm -rf '" + home + "'";
    if (std::system(remove.c_str()) != 0)
        status = status ? status : 1;
    return status;
}
