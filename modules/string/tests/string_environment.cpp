// Starts this program's runtime once: the crypto library stand-in is loaded
// (allocator, "SEC_ENCODE_1") and the string tables are bound.
#include <gtest/gtest.h>

#include "zelk_module.h"

namespace {

class StringEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(S_OK, ZELK_Initialize()); }
    void TearDown() override { EXPECT_EQ(S_OK, ZELK_Finalize()); }
};

[[maybe_unused]] ::testing::Environment* const s_environment =
    ::testing::AddGlobalTestEnvironment(new StringEnvironment);

}  // namespace
