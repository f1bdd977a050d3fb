#include "mem_records.h"

#include <gtest/gtest.h>

using namespace kestrin::policy;

TEST(MemRecords, OneKindPerRecord)
{
    MemRecords m;
    std::string text;
    EXPECT_EQ(m.GetString("Level", &text), E_FAIL);
    EXPECT_FALSE(m.IsConfigured("Level"));
    ASSERT_EQ(m.SetNumber("Level", 5), S_OK);
    EXPECT_EQ(m.GetNumber("level"), 5u);
    EXPECT_TRUE(m.IsConfigured("LEVEL"));
    // A number has no text: a failure, not an empty success.
    EXPECT_EQ(m.GetString("Level", &text), E_FAIL);
    EXPECT_EQ(m.GetBinary("Level", &text), E_FAIL);
    ASSERT_EQ(m.SetString("level", "x"), S_OK);
    EXPECT_EQ(m.GetNumber("Level"), 0u);
    ASSERT_EQ(m.GetString("Level", &text), S_OK);
    EXPECT_EQ(text, "x");
    ASSERT_EQ(m.SetBinary("Level", "\0\1", 2), S_OK);
    EXPECT_EQ(m.GetString("Level", &text), E_FAIL);
    ASSERT_EQ(m.GetBinary("Level", &text), S_OK);
    EXPECT_EQ(text, std::string("\0\1", 2));
    ASSERT_EQ(m.SetBinary("Level", "", 0), S_OK);
    ASSERT_EQ(m.GetBinary("Level", &text), S_OK);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(m.SetString(nullptr, "x"), E_INVALIDARG);
}
