// The module's tables as other deliverables see them: every slot in its
// place, and the module binding its own tables without loading itself.
#include <dlfcn.h>

#include "string_test_util.h"
#include "zelk_module.h"
#include "zelk_strings.h"

using namespace kestrin::strings::test;

namespace {

TEST(StringTables, OwnTablesAreBoundWithoutLoadingTheModule)
{
    const struct {
        API_COMMON* bound;
        const char* name;
    } tables[] = {{STRING_TABLE, "String.1"},
                  {STRINGW_TABLE, "StringW.1"},
                  {MULTISTRING_TABLE, "MultiString.1"},
                  {MULTISTRINGW_TABLE, "MultiStringW.1"}};
    for (const auto& t : tables) {
        SCOPED_TRACE(t.name);
        API_COMMON* own = nullptr;
        ASSERT_EQ(S_OK, CZELK_API::GetAPI(t.name, &own));
        EXPECT_EQ(own, t.bound);
        const char* api = nullptr;
        const char* module = nullptr;
        EXPECT_EQ(S_OK, t.bound->get_info(&api, &module, nullptr));
        EXPECT_STREQ(t.name, api);
        EXPECT_STREQ("zelkstring", module);
    }
    EXPECT_EQ(nullptr, dlopen("libzelkstring.so", RTLD_NOW | RTLD_NOLOAD));
}

// Neighbouring slots of one signature are easy to swap; each is told apart here.
TEST(StringTables, CharSlotsAreInTheirPlaces)
{
    const auto* s = ZELK_ApiCast<STRING_FUNCTION_TABLE>(STRING_TABLE);
    EXPECT_EQ(3u, s->Length("abc"));
    EXPECT_LT(s->Compare("B", "a"), 0);
    EXPECT_LT(s->NCompare("B", "a", 1), 0);
    EXPECT_GT(s->CompareNoCase("B", "a"), 0);
    EXPECT_GT(s->NCompareNoCase("B", "a", 1), 0);
    EXPECT_TRUE(s->IsEmpty(""));
    EXPECT_FALSE(s->IsEmpty(" "));
    EXPECT_TRUE(s->IsSpace(" "));
    EXPECT_TRUE(s->NIsSpace(" x", 1));
    EXPECT_EQ(2u, s->Find("abc", 0, "c"));
    EXPECT_EQ(1u, s->FindOneOf("abc", "cb"));
    EXPECT_EQ(2u, s->ReverseFind("aba", 'a'));
    EXPECT_FALSE(s->StartsWith("Ab", "a"));
    EXPECT_TRUE(s->StartsWithNoCase("Ab", "a"));
    EXPECT_TRUE(s->EndsWith("Ab", "b"));
    EXPECT_TRUE(s->Is8Bit("\xe9"));
    EXPECT_EQ(12, s->StringToInt("12"));
    EXPECT_TRUE(s->Match("abc", "a*", 0, 0));
    EXPECT_EQ(12287u, s->MatchQuality("abcd", "*cd"));

    Out<char> out;
    s->MakeUpper("ab", &out);
    EXPECT_STREQ("AB", out.get());
    s->MakeLower("AB", &out);
    EXPECT_STREQ("ab", out.get());
    s->Left("abc", 1, &out);
    EXPECT_STREQ("a", out.get());
    s->Right("abc", 1, &out);
    EXPECT_STREQ("c", out.get());
    s->Mid("abc", 1, 1, &out);
    EXPECT_STREQ("b", out.get());
    s->CopyN("abc", 2, &out);
    EXPECT_STREQ("ab", out.get());
    s->Copy("abc", &out);
    EXPECT_STREQ("abc", out.get());
    s->URLEncode("a b", &out);
    EXPECT_STREQ("a%20b", out.get());
    s->URLDecode("a%20b", &out);
    EXPECT_STREQ("a b", out.get());
    s->IntToString(7, &out);
    EXPECT_STREQ("7", out.get());
    EXPECT_EQ(2u, s->Delete("abc", &out, 0, 1));
    EXPECT_STREQ("bc", out.get());

    const std::string bytes = "hi";
    OctetString data = View(bytes);
    s->Base64Encode(&data, &out);
    EXPECT_STREQ("aGk=", out.get());
    s->HexEncode(&data, &out);
    EXPECT_STREQ("6869", out.get());
    OctetString* decoded = nullptr;
    ASSERT_EQ(S_OK, s->Base64Decode("aGk=", &decoded));
    Octets owner(decoded);
    EXPECT_EQ(bytes, Bytes(decoded));
    ASSERT_EQ(S_OK, s->HexDecode("6869", &decoded));
    owner.reset(decoded);
    EXPECT_EQ(bytes, Bytes(decoded));

    Out<wchar_t> wide;
    s->Convert("\xc3\xa9", &wide, 65001);
    EXPECT_EQ(std::wstring(L"\u00e9"), wide.str());
}

TEST(StringTables, WideAndListSlotsAreInTheirPlaces)
{
    const auto* w = ZELK_ApiCast<STRINGW_FUNCTION_TABLE>(STRINGW_TABLE);
    EXPECT_EQ(3u, w->Length(L"abc"));
    EXPECT_GT(w->CompareNoCase(L"B", L"a"), 0);
    EXPECT_TRUE(w->StartsWithNoCase(L"Ab", L"a"));
    EXPECT_TRUE(w->EndsWith(L"Ab", L"b"));
    Out<char> narrow;
    w->Convert(L"\u00e9", &narrow, 65001);
    EXPECT_STREQ("\xc3\xa9", narrow.get());
    w->URLEncode(L"\u00e9", &narrow);
    EXPECT_STREQ("%C3%A9", narrow.get());
    Out<wchar_t> out;
    w->URLDecode(L"%41", &out);
    EXPECT_EQ(std::wstring(L"A"), out.str());
    w->MakeUpper(L"ab", &out);
    EXPECT_EQ(std::wstring(L"AB"), out.str());

    const auto* m = ZELK_ApiCast<MULTISTRING_FUNCTION_TABLE>(MULTISTRING_TABLE);
    Out<char> list;
    ASSERT_EQ(S_OK, m->MakeMultiString("b a", &list, nullptr));
    EXPECT_EQ(5u, m->GetLength(list.get()));
    EXPECT_EQ(2u, m->GetCount(list.get()));
    EXPECT_EQ(1, m->Find(list.get(), "a"));
    EXPECT_EQ(1, m->FindNoCase(list.get(), "A"));
    EXPECT_STREQ("a", m->Get(list.get(), 1));
    EXPECT_EQ(1u, m->GetCountEx(list.get(), list.get() + 2));
    char* held = list.release();
    ASSERT_EQ(S_OK, m->Insert(held, "c", &held));
    ASSERT_EQ(S_OK, m->Add(held, "d", &held));
    list.reset(held);
    EXPECT_STREQ("c", m->Get(list.get(), 0));
    EXPECT_STREQ("d", m->Get(list.get(), 3));

    const auto* mw = ZELK_ApiCast<MULTISTRINGW_FUNCTION_TABLE>(MULTISTRINGW_TABLE);
    Out<wchar_t> wlist;
    ASSERT_EQ(S_OK, mw->Create(L"x", &wlist));
    EXPECT_EQ(1u, mw->GetCount(wlist.get()));
    EXPECT_EQ(0, mw->Find(wlist.get(), L"x"));
}

}  // namespace
