// A deliverable that carries only the runtime binds the four string tables of
// module "zelkstring" when it starts: the crypto library stand-in loads
// libzelkstring by name and the wrappers reach its slots.
#include <gtest/gtest.h>

#include <cwchar>

#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_strings.h"

namespace {

class StringBinding : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, ZELK_Initialize()); }
    void TearDown() override { EXPECT_EQ(S_OK, ZELK_Finalize()); }
};

void ExpectInfo(API_COMMON* table, const char* name)
{
    ASSERT_NE(nullptr, table);
    const char* api = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(S_OK, table->get_info(&api, &module, &description));
    EXPECT_STREQ(name, api);
    EXPECT_STREQ("zelkstring", module);
    EXPECT_STREQ("", description);
}

TEST_F(StringBinding, StartBindsTheFourTablesOfTheModule)
{
    ExpectInfo(STRING_TABLE, "String.1");
    ExpectInfo(STRINGW_TABLE, "StringW.1");
    ExpectInfo(MULTISTRING_TABLE, "MultiString.1");
    ExpectInfo(MULTISTRINGW_TABLE, "MultiStringW.1");
}

TEST_F(StringBinding, WrappersCallTheTableOfTheirWidth)
{
    char* copy = nullptr;
    ASSERT_EQ(S_OK, String_Copy("abc", &copy));
    EXPECT_STREQ("abc", copy);
    copy = String_Append(copy, "def");
    EXPECT_STREQ("abcdef", copy);
    EXPECT_EQ(6u, String_Length(copy));

    wchar_t* wide = nullptr;
    ASSERT_EQ(S_OK, String_Copy(copy, &wide));
    EXPECT_STREQ(L"abcdef", wide);
    EXPECT_EQ(0, String_CompareNoCase(wide, L"ABCDEF"));
    sec_free(copy);

    char* back = nullptr;
    ASSERT_EQ(S_OK, String_Copy(L"gr\u00fc\u00df", &back));
    EXPECT_STREQ("gr\xc3\xbc\xc3\x9f", back);
    sec_free(back);
    sec_free(wide);

    char* list = nullptr;
    ASSERT_EQ(S_OK, StringMulti_Add(list, "one", &list));
    ASSERT_EQ(S_OK, StringMulti_Add(list, "two", &list));
    EXPECT_EQ(2u, StringMulti_GetCount(list));
    EXPECT_STREQ("two", StringMulti_Get(list, 1));
    sec_free(list);

    OctetString bytes {3, const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>("\x01\xfe\x7f"))};
    char* hex = nullptr;
    ASSERT_EQ(S_OK, String_HexEncode(&bytes, &hex));
    EXPECT_STREQ("01fe7f", hex);
    sec_free(hex);
}

TEST_F(StringBinding, NestedStartKeepsTheTablesUntilTheLastStop)
{
    ASSERT_EQ(S_OK, ZELK_Initialize());
    EXPECT_EQ(S_OK, ZELK_Finalize());
    ExpectInfo(STRING_TABLE, "String.1");
}

}  // namespace
