// Starts the runtime once against the crypto library stand-in, with a socket
// folder (XDG_RUNTIME_DIR) and configuration folders of the tests' own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "zelk_module.h"

namespace {

class RemotingEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char folder[] = "/tmp/remoting-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
        setenv("XDG_RUNTIME_DIR", folder, 1);
        setenv("XDG_CONFIG_HOME", (m_folder + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_folder + "/xdg").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_folder + "/data").c_str(), 1);
        ASSERT_EQ(S_OK, ZELK_Initialize());
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
    ::testing::AddGlobalTestEnvironment(new RemotingEnvironment);

}  // namespace
