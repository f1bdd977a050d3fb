// The real KestrinClient on its embedded defaults, on Qt's offscreen
// platform, with a user's policy that holds a profile: the service it hosts
// makes the profile's token, and the profile window lists it. The rows are
// read through the probe library the test preloads into the program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "test_process.h"

namespace kestrin::app::test {
namespace {

using kestrin::testsupport::ChildProcess;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

std::string Rows(const std::string& path)
{
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

TEST(KestrinClientProcess, ProfileWindowListsTheUsersProfile)
{
    TempFolder home("kestrinclient");
    const std::string h = home.path();
    for (const char* folder : {"/config/kestrin", "/system", "/data", "/state", "/run"})
        std::filesystem::create_directories(h + folder);
    chmod((h + "/run").c_str(), 0700);
    const std::string script = "import plistlib, sys\n"
                               "plistlib.dump({'profiles': {'Fieldwork': {'enrollURL0': 'https://ca.test/'}}}, "
                               "open(sys.argv[1], 'wb'))\n";
    ASSERT_EQ(RunProgram({"python3", "-c", script, h + "/config/kestrin/settings.plist"}, {}), 0);

    const std::string rows = h + "/rows.txt";
    const char* asan = std::getenv("ASAN_OPTIONS");
    ChildProcess client;
    ASSERT_TRUE(client.Start({KESTRIN_CLIENT_PROGRAM},
                             {{"HOME", h},
                              {"XDG_CONFIG_HOME", h + "/config"},
                              {"XDG_CONFIG_DIRS", h + "/system"},
                              {"XDG_DATA_HOME", h + "/data"},
                              {"XDG_STATE_HOME", h + "/state"},
                              {"XDG_RUNTIME_DIR", h + "/run"},
                              {"QT_QPA_PLATFORM", "offscreen"},
                              {"LD_PRELOAD", KESTRIN_ROWS_PROBE},
                              // The sanitizer's runtime need not come first when the probe is
                              // preloaded.
                              {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
                              {"KESTRIN_ROWS_FILE", rows}}));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Rows(rows).find("Fieldwork") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(Rows(rows).find("Fieldwork"), std::string::npos) << "rows:\n" << Rows(rows);
    client.Stop();
}

}  // namespace
}  // namespace kestrin::app::test
