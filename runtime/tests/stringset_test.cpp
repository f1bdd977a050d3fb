// String lists of the crypto library through the runtime's list functions;
// nodes are made and freed by the library's type tables.
#include <gtest/gtest.h>

#include <string>

#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_stringset.h"

namespace {

class StringSet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), S_OK); }
    void TearDown() override
    {
        AuxFree(&list);
        ZELK_Finalize();
    }

    std::string Merged(const char* prefix = "[", const char* separator = ",", const char* suffix = "]")
    {
        char* text = nullptr;
        EXPECT_EQ(S_OK, SET_OF_String_merge(list, &text, prefix, separator, suffix));
        std::string s = text ? text : "<null>";
        sec_free(text);
        return s;
    }

    void Add(std::initializer_list<const char*> texts)
    {
        for (const char* text : texts)
            ASSERT_EQ(S_OK, SET_OF_String_add(&list, text)) << text;
    }

    // A raw pointer: the functions change the list in place through its address.
    SET_OF_String* list = nullptr;
};

TEST_F(StringSet, AddKeepsOrderAndSkipsEqualStrings)
{
    EXPECT_EQ(0u, SET_OF_String_count(list));
    EXPECT_EQ("[]", Merged());
    Add({"b"});
    EXPECT_EQ(1u, SET_OF_String_count(list));
    Add({"a", "b", "B", "c"});
    EXPECT_EQ("[b,a,B,c]", Merged());
    EXPECT_EQ("b, a, B, c", Merged(nullptr, ", ", nullptr));
    EXPECT_EQ(SEC_E_STRINGSET_ARG, SET_OF_String_add(&list, nullptr));
    EXPECT_EQ(SEC_E_STRINGSET_ARG, SET_OF_String_add(nullptr, "x"));

    EXPECT_EQ(1, SET_OF_String_contains(list, "B"));
    EXPECT_EQ(0, SET_OF_String_contains(list, "d"));
    EXPECT_EQ(0, SET_OF_String_contains(list, nullptr));
    EXPECT_EQ(0, SET_OF_String_contains(nullptr, "a"));
}

TEST_F(StringSet, RemovalsByEqualityPatternAndPrefix)
{
    Add({"host.example.com", "mail.example.com", "example.org", "hostile.net", "other"});
    EXPECT_EQ(1, SET_OF_String_contains_Match(list, "*.example.com"));
    EXPECT_EQ(0, SET_OF_String_contains_Match(list, "*.EXAMPLE.com"));
    EXPECT_EQ(S_OK, SET_OF_String_remove_Match(&list, "*.example.com"));
    EXPECT_EQ("[example.org,hostile.net,other]", Merged());
    EXPECT_EQ(S_FALSE, SET_OF_String_remove_Match(&list, "*.example.com"));

    EXPECT_EQ(1, SET_OF_String_contains_StartsWith(list, "host"));
    EXPECT_EQ(S_OK, SET_OF_String_remove_StartsWith(&list, "host"));
    EXPECT_EQ(0, SET_OF_String_contains_StartsWith(list, "host"));
    EXPECT_EQ("[example.org,other]", Merged());

    EXPECT_EQ(S_FALSE, SET_OF_String_remove(&list, "absent"));
    EXPECT_EQ(S_OK, SET_OF_String_remove(&list, "other"));
    EXPECT_EQ("[example.org]", Merged());
    EXPECT_EQ(SEC_E_STRINGSET_ARG, SET_OF_String_remove(&list, nullptr));
    EXPECT_EQ(SEC_E_STRINGSET_ARG, SET_OF_String_remove_Match(nullptr, "*"));
    EXPECT_EQ(SEC_E_STRINGSET_ARG, SET_OF_String_remove_StartsWith(&list, nullptr));

    EXPECT_EQ(S_OK, SET_OF_String_remove(&list, "example.org"));
    EXPECT_EQ(nullptr, list);
}

TEST_F(StringSet, RemoveFirstUnlinksTheHead)
{
    Add({"a", "b"});
    SET_OF_String_remove_first(&list);
    EXPECT_EQ("[b]", Merged());
    SET_OF_String_remove_first(&list);
    EXPECT_EQ(nullptr, list);
    SET_OF_String_remove_first(&list);
    SET_OF_String_remove_first(nullptr);
}

}  // namespace
