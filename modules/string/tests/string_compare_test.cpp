// Comparisons, searches and tests of texts, char and wide alike.
#include "string_test_util.h"

using namespace zelkstring;

TEST(StringCompare, NullOrdersBeforeText)
{
    EXPECT_EQ(-1, Compare<char>(nullptr, ""));
    EXPECT_EQ(1, Compare<char>("", nullptr));
    EXPECT_EQ(0, Compare<char>(nullptr, nullptr));
}
