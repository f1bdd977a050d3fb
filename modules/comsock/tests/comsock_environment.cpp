// Starts the runtime once against the crypto library stand-in, with a socket
// folder (XDG_RUNTIME_DIR) and policy folders (XDG_CONFIG_HOME,
// XDG_CONFIG_DIRS) of the tests' own. Built with COMSOCK_TEST_SINGLE_USER,
// the administrator's settings, written by Python's plistlib, name that user
// in "Permissions" "SingleUser".
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "comsock_path.h"
#include "zelk_module.h"

namespace {

class ComsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char folder[] = "/tmp/comsock-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
        setenv("XDG_RUNTIME_DIR", folder, 1);
        setenv("XDG_CONFIG_HOME", (m_folder + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_folder + "/xdg").c_str(), 1);
#ifdef COMSOCK_TEST_SINGLE_USER
        std::string settings = m_folder + "/xdg/kestrin";
        std::string command = "mkdir -p '" + settings
                              + "' && python3 -c \"import plistlib; plistlib.dump("
                                "{'Permissions': {'SingleUser': '" COMSOCK_TEST_SINGLE_USER "'}}, open('"
                              + settings + "/settings.plist', 'wb'))\"";
        ASSERT_EQ(0, system(command.c_str()));
#endif
        ASSERT_EQ(S_OK, ZELK_Initialize());
        // The policy store reads its files once, here, before any test forks.
        char name[ZELK::PSESVC::COMSOCK::kSocketPathSize];
#ifdef COMSOCK_TEST_SINGLE_USER
        ASSERT_TRUE(ZELK::PSESVC::COMSOCK::ReadSingleUser(name, sizeof(name)));
        ASSERT_STREQ(COMSOCK_TEST_SINGLE_USER, name);
#else
        ASSERT_FALSE(ZELK::PSESVC::COMSOCK::ReadSingleUser(name, sizeof(name)));
#endif
    }
    void TearDown() override
    {
        EXPECT_EQ(S_OK, ZELK_Finalize());
        std::string command = "rm -rf '" + m_folder + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }

private:
    std::string m_folder;
};

[[maybe_unused]] ::testing::Environment* const s_environment =
    ::testing::AddGlobalTestEnvironment(new ComsockEnvironment);

}  // namespace
