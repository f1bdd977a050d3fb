// Text holders over the string tables bound through the crypto library.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "zelk_module.h"
#include "zelk_text.h"

namespace {

class Text : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_NE(STRING_TABLE, nullptr);
        ASSERT_NE(STRINGW_TABLE, nullptr);
        ASSERT_NE(MULTISTRING_TABLE, nullptr);
    }
    void TearDown() override { ZELK_Finalize(); }
};

TEST_F(Text, AssignCopiesAndKeepsItsOwnText)
{
    StringT<char> s("abc");
    const char* before = s;
    s = before;
    EXPECT_EQ(static_cast<const char*>(s), before);
    EXPECT_TRUE(s == "abc");

    StringT<char> copy(s);
    EXPECT_NE(static_cast<const char*>(copy), before);
    EXPECT_TRUE(copy == "abc");
    copy = static_cast<const char*>(nullptr);
    EXPECT_EQ(static_cast<const char*>(copy), nullptr);
    EXPECT_TRUE(copy.IsEmpty());
}

// A source inside the holder's own buffer is copied before the buffer goes.
TEST_F(Text, AliasedSources)
{
    StringT<char> s("key=value");
    s.Assign(static_cast<const char*>(s) + 4);
    EXPECT_TRUE(s == "value");

    s.AssignFromBuffer(static_cast<const char*>(s) + 1, 3);
    EXPECT_TRUE(s == "alu");

    s += static_cast<const char*>(s);
    EXPECT_TRUE(s == "alualu");
    s.Append(static_cast<const char*>(s) + 3);
    EXPECT_TRUE(s == "alualualu");

    StringT<char> token;
    const char* rest = String_ExtractToken(s, "u", &token);
    ASSERT_NE(rest, nullptr);
    s.Assign(rest);
    EXPECT_TRUE(s == "alualu");

    StringT<wchar_t> w(L"ab");
    w += static_cast<const wchar_t*>(w);
    EXPECT_EQ(std::wstring(w), L"abab");
}

TEST_F(Text, FormatMayUseTheOldText)
{
    StringT<char> s("old");
    s.Format("%s!", static_cast<const char*>(s));
    EXPECT_TRUE(s == "old!");
    s.Format("%S=%d", L"\u00E9", 5);
    EXPECT_TRUE(s == "\xC3\xA9=5");
    s.Format(nullptr);
    EXPECT_EQ(static_cast<const char*>(s), nullptr);

    StringT<wchar_t> w(L"x");
    w.Format(L"%s|%hs|%s", static_cast<const wchar_t*>(w), "n\xC3\xA9", L"y");
    EXPECT_EQ(std::wstring(w), L"x|n\u00E9|y");
}

TEST_F(Text, GetBufferCountsCharactersAndKeepsATerminator)
{
    StringT<char> empty;
    char* one = empty.GetBuffer(0);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one[0], 0);

    StringT<wchar_t> w;
    wchar_t* buffer = w.GetBuffer(8);
    ASSERT_NE(buffer, nullptr);
    wcscpy(buffer, L"12345678");
    EXPECT_EQ(w.GetLength(), 8u);

    // Shrinking keeps a terminated text.
    buffer = w.GetBuffer(3);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::wstring(buffer), L"123");

    StringT<char> s("abcdef");
    EXPECT_EQ(s.GetBuffer(0), static_cast<const char*>(s));
    char* grown = s.GetBuffer(20);
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(grown, "abcdef");
    strcat(grown, "ghijklmnopqrst");
    EXPECT_TRUE(s == "abcdefghijklmnopqrst");
}

TEST_F(Text, MembersForwardToTheTable)
{
    StringT<char> s("Hello World");
    EXPECT_EQ(s.GetLength(), 11u);
    EXPECT_EQ(s.Find("World"), 6u);
    EXPECT_EQ(s.FindNoCase("WORLD"), 6u);
    EXPECT_EQ(StringT<char>().FindNoCase(nullptr), 0xFFFFFFFFu);
    EXPECT_TRUE(s.StartsWith("Hello"));
    EXPECT_TRUE(s.StartsWithNoCase("hello"));
    EXPECT_EQ(s.CompareNoCase("HELLO WORLD"), 0);
    EXPECT_TRUE(s != "hello world");

    StringT<char, 1> left = s.Left(5);
    EXPECT_TRUE(left == "Hello");

    EXPECT_EQ(s.Replace("o", "0"), 2u);
    EXPECT_TRUE(s == "Hell0 W0rld");
    s.MakeUpper();
    EXPECT_TRUE(s == "HELL0 W0RLD");
    s.MakeLower();
    EXPECT_TRUE(s == "hell0 w0rld");

    StringT<char> nothing;
    nothing.MakeUpper();
    ASSERT_NE(static_cast<const char*>(nothing), nullptr);
    EXPECT_TRUE(nothing == "");

    StringT<char> spaced("  x  ");
    EXPECT_EQ(spaced.Chop(), S_OK);
    EXPECT_TRUE(spaced == "x");
    StringT<char> quoted("<abc>");
    EXPECT_EQ(quoted.RemoveQuote(), S_OK);
    EXPECT_TRUE(quoted == "abc");

    StringT<char> secret("pin");
    secret.Burn();
    EXPECT_EQ(secret.GetLength(), 0u);

    StringT<char> set("abc");
    set.SetAt(1, 'X');
    set.SetAt(10, 'Y');
    EXPECT_TRUE(set == "aXc");

    StringT<char> appended;
    appended += "first";
    appended.Append(" second");
    EXPECT_TRUE(appended == "first second");
}

TEST_F(Text, ConversionsBetweenWidths)
{
    StringT<char> narrow(L"caf\u00E9", 65001);
    EXPECT_TRUE(narrow == "caf\xC3\xA9");
    StringT<char> latin(L"caf\u00E9", 1252);
    EXPECT_TRUE(latin == "caf\xE9");
    StringT<wchar_t> wide("caf\xE9", 1252);
    EXPECT_EQ(std::wstring(wide), L"caf\u00E9");
}

TEST_F(Text, UrlCodingReplacesOnlyOnSuccess)
{
    StringT<char> s("a b~");
    EXPECT_EQ(s.URLEncode(), S_OK);
    EXPECT_TRUE(s == "a%20b~");
    EXPECT_EQ(s.URLDecode(), S_OK);
    EXPECT_TRUE(s == "a b~");
    StringT<char> bad("a+b%2");
    EXPECT_LT(bad.URLDecode(), 0);
    EXPECT_TRUE(bad == "a+b%2");
}

TEST_F(Text, OwnershipTransfers)
{
    StringT<char> s("abc");
    char* detached = s.Detach();
    EXPECT_EQ(static_cast<const char*>(s), nullptr);
    s.Attach(detached);
    s.Attach(detached);
    EXPECT_TRUE(s == "abc");
    char** out = &s;
    EXPECT_EQ(*out, nullptr);
    String_Copy("new", out);
    EXPECT_TRUE(s == "new");
    char* copy = nullptr;
    EXPECT_EQ(s.Copy(&copy), S_OK);
    EXPECT_STREQ(copy, "new");
    sec_free(copy);
}

TEST_F(Text, MultiStringToString)
{
    MultiStringT list("first");
    EXPECT_EQ(list.Add("second"), S_OK);
    EXPECT_EQ(list.Add(list[0]), S_OK);
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Find("second"), 1);
    EXPECT_STREQ(list.Get(2), "first");
    EXPECT_EQ(list.Get(3), nullptr);

    char* joined = nullptr;
    list.toString(&joined, ", ");
    EXPECT_STREQ(joined, "first, second, first");
    sec_free(joined);

    MultiStringT empty;
    joined = reinterpret_cast<char*>(0x1);
    empty.toString(&joined, ", ");
    EXPECT_EQ(joined, nullptr);
    EXPECT_EQ(empty.Count(), 0u);
}

}  // namespace
