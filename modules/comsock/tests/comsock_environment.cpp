// Starts the runtime once against the crypto library stand-in, gives the
// tests a socket folder of their own (XDG_RUNTIME_DIR) and keeps the policy
// store out of the socket name.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "comsock_path.h"
#include "zelk_module.h"

namespace {

bool NoSingleUser(char*, size_t)
{
    return false;
}

class ComsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char folder[] = "/tmp/comsock-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
        setenv("XDG_RUNTIME_DIR", folder, 1);
        ZELK::PSESVC::COMSOCK::SetSingleUserReader(&NoSingleUser);
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
    ::testing::AddGlobalTestEnvironment(new ComsockEnvironment);

}  // namespace
