#include "key_path.h"

#include <gtest/gtest.h>

using namespace kestrin::policy;

TEST(KeyPath, SplitFollowsTheBindingRules)
{
    struct Case {
        const char* path;
        KeyPath parts;
    } cases[] = {
        {"Common/CAPI", {"Common", "CAPI"}},
        {"\\Common\\CAPI\\", {"Common", "CAPI"}},
        {"//Common/CAPI//", {"Common", "CAPI"}},
        {"", {}},
        {"/", {}},
        {"\\\\", {}},
        {"a//b", {"a", "", "b"}},
        {"trace", {"trace"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitKeyPath(c.path), c.parts) << c.path;
    }
    EXPECT_EQ(JoinKeyPath({}), "/");
    EXPECT_EQ(JoinKeyPath({"Common", "CAPI"}), "Common/CAPI");
}

TEST(KeyPath, ListenersHearTheirKeyAndCreatedKeysAbove)
{
    KeyPath profiles {"profiles"};
    KeyPath written {"PROFILES", "new"};
    EXPECT_FALSE(IsEqualPath(profiles, written, 0));
    EXPECT_TRUE(IsEqualPath(profiles, written, 1));
    EXPECT_TRUE(IsEqualPath(written, written, 0));
    EXPECT_FALSE(IsEqualPath({"other"}, written, 2));
    EXPECT_FALSE(IsEqualPath({"profiles", "new", "deeper"}, written, 5));
    EXPECT_TRUE(IsEqualPath({}, {"a"}, 1));
    EXPECT_TRUE(EqualNoCase("TrustDB", "trustdb"));
    EXPECT_FALSE(EqualNoCase("TrustDB", "trustdb2"));
}
