// The core's stores read their files through the crypto library: the runtime
// runs for the whole test program, as it does inside the module.
#include <gtest/gtest.h>

#include "zelk_module.h"

namespace {

class Runtime : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), S_OK); }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }
};

const ::testing::Environment* const s_runtime = ::testing::AddGlobalTestEnvironment(new Runtime);

}  // namespace
