// Comparisons, searches and tests of texts, in the char and the wide table.
#include <climits>

#include "string_test_util.h"

using namespace kestrin::strings;
using namespace kestrin::strings::test;

namespace {

template <class C>
class StringCompare : public ::testing::Test {};
TYPED_TEST_SUITE(StringCompare, CharTypes);

int Sign(int32_t v)
{
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

TYPED_TEST(StringCompare, CompareFamily)
{
    using C = TypeParam;
    struct Case {
        const char* a;
        const char* b;
        int n;
        int compare;
        int ncompare;
        int nocase;
        int nnocase;
    };
    const Case cases[] = {
        {nullptr, nullptr, 3, 0, 0, 0, 0},
        {nullptr, "", 3, -1, -1, -1, -1},
        {"", nullptr, 3, 1, 1, 1, 1},
        {"abc", "abc", 3, 0, 0, 0, 0},
        {"abc", "abd", 2, -1, 0, -1, 0},
        {"abd", "abc", 3, 1, 1, 1, 1},
        {"ab", "abc", 3, -1, -1, -1, -1},
        {"ABC", "abc", 3, -1, -1, 0, 0},
        {"Hello", "hELLO world", 5, -1, -1, -1, 0},
        {"abc", "xyz", 0, -1, 0, -1, 0},
        {"\xc3\x84", "\xc3\xa4", 2, -1, -1, -1, -1},
    };
    for (const Case& c : cases) {
        Texts<C> t;
        SCOPED_TRACE(std::string(c.a ? c.a : "NULL") + " / " + (c.b ? c.b : "NULL"));
        EXPECT_EQ(c.compare, Sign(Compare<C>(t(c.a), t(c.b))));
        EXPECT_EQ(c.ncompare, Sign(NCompare<C>(t(c.a), t(c.b), c.n)));
        EXPECT_EQ(c.nocase, Sign(CompareNoCase<C>(t(c.a), t(c.b))));
        EXPECT_EQ(c.nnocase, Sign(NCompareNoCase<C>(t(c.a), t(c.b), c.n)));
    }
}

TEST(StringCompare, CharTableAnswersTheByteDifferenceAndWideTableTheSign)
{
    EXPECT_EQ('a' - 'z', Compare<char>("a", "z"));
    EXPECT_EQ(0xE4 - 'a', CompareNoCase<char>("\xe4", "A"));
    EXPECT_EQ(-1, CompareNoCase<wchar_t>(L"a", L"Z"));
    EXPECT_EQ(1, NCompareNoCase<wchar_t>(L"abc", L"ab", 3));
    // Case folding is ASCII-only: the wide table leaves U+00C4 / U+00E4 apart.
    EXPECT_NE(0, CompareNoCase<wchar_t>(L"\u00c4", L"\u00e4"));
}

TYPED_TEST(StringCompare, FindFamily)
{
    using C = TypeParam;
    Texts<C> t;
    const C* text = t("key=value;key=other");
    EXPECT_EQ(0u, Find<C>(text, 0, t("key")));
    EXPECT_EQ(10u, Find<C>(text, 1, t("key")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Find<C>(text, 11, t("key")));
    EXPECT_EQ(5u, Find<C>(text, 5, t("")));
    // A start at the end finds nothing, not even the empty needle.
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Find<C>(text, Len(text), t("")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Find<C>(text, 0, t("missing")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Find<C>(nullptr, 0, t("a")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Find<C>(text, 0, nullptr));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Find<C>(t("ab"), 0, t("abc")));

    EXPECT_EQ(3u, FindOneOf<C>(text, t("=;")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, FindOneOf<C>(text, t("#")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, FindOneOf<C>(text, t("")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, FindOneOf<C>(nullptr, t("a")));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, FindOneOf<C>(text, nullptr));

    EXPECT_EQ(13u, ReverseFind<C>(text, C('=')));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, ReverseFind<C>(text, C('#')));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, ReverseFind<C>(text, C(0)));
    EXPECT_EQ(ZELK_STRING_NOTFOUND, ReverseFind<C>(nullptr, C('a')));
}

TYPED_TEST(StringCompare, PrefixAndSuffix)
{
    using C = TypeParam;
    struct Case {
        const char* text;
        const char* affix;
        bool starts;
        bool startsNoCase;
        bool ends;
    };
    const Case cases[] = {
        {"Kestrin.Client", "Kestrin", true, true, false},
        {"Kestrin.Client", "kestrin", false, true, false},
        {"Kestrin.Client", "Client", false, false, true},
        {"Kestrin.Client", "", false, false, true},
        {"Kestrin.Client", nullptr, false, false, false},
        {nullptr, "a", false, false, false},
        {"ab", "abc", false, false, false},
        {"abc", "abc", true, true, true},
    };
    for (const Case& c : cases) {
        Texts<C> t;
        SCOPED_TRACE(std::string(c.text ? c.text : "NULL") + " / " + (c.affix ? c.affix : "NULL"));
        EXPECT_EQ(c.starts, StartsWith<C>(t(c.text), t(c.affix)));
        EXPECT_EQ(c.startsNoCase, StartsWithNoCase<C>(t(c.text), t(c.affix)));
        EXPECT_EQ(c.ends, EndsWith<C>(t(c.text), t(c.affix)));
    }
}

TYPED_TEST(StringCompare, EmptySpaceAndEightBit)
{
    using C = TypeParam;
    Texts<C> t;
    EXPECT_TRUE(IsEmpty<C>(nullptr));
    EXPECT_TRUE(IsEmpty<C>(t("")));
    EXPECT_FALSE(IsEmpty<C>(t(" ")));

    EXPECT_TRUE(IsSpace<C>(nullptr));
    EXPECT_TRUE(IsSpace<C>(t("")));
    EXPECT_TRUE(IsSpace<C>(t(" \t\r\n\v\f")));
    EXPECT_TRUE(IsSpace<C>(t(" \xa0 ")));  // no-break space counts here
    EXPECT_FALSE(IsSpace<C>(t(" x ")));
    EXPECT_TRUE(NIsSpace<C>(t("  x"), 2));
    EXPECT_FALSE(NIsSpace<C>(t("  x"), 3));
    EXPECT_TRUE(NIsSpace<C>(t("x"), 0));
    EXPECT_TRUE(NIsSpace<C>(t(" "), 100));  // stops at the end of the text

    EXPECT_FALSE(Is8Bit<C>(nullptr));
    EXPECT_FALSE(Is8Bit<C>(t("plain ASCII ~\x7f")));
    EXPECT_TRUE(Is8Bit<C>(t("caf\xe9")));
    EXPECT_TRUE(Is8Bit<wchar_t>(L"\u20ac"));
}

TYPED_TEST(StringCompare, LengthAndNumbers)
{
    using C = TypeParam;
    Texts<C> t;
    EXPECT_EQ(0u, Length<C>(nullptr));
    EXPECT_EQ(5u, Length<C>(t("abcde")));

    C buffer[1] = {};
    C* p = buffer;
    EXPECT_EQ(&p, SetNULL<C>(&p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(nullptr, SetNULL<C>(nullptr));

    const struct {
        unsigned long value;
        const char* text;
    } ints[] = {{0, "0"}, {42, "42"}, {0xFFFFFFFFul, "-1"}, {0x1800000005ul, "5"}, {0x80000000ul, "-2147483648"}};
    for (const auto& c : ints) {
        Out<C> out;
        ASSERT_EQ(S_OK, IntToString<C>(c.value, &out));
        EXPECT_EQ(Txt<C>(c.text), out.str());
        // The buffer is 30 zero-filled characters.
        EXPECT_EQ(C(0), out.get()[29]);
    }
    EXPECT_EQ(E_INVALIDARG, IntToString<C>(1, nullptr));

    EXPECT_EQ(-1, StringToInt<C>(nullptr));
    EXPECT_EQ(123, StringToInt<C>(t("123abc")));
    EXPECT_EQ(-42, StringToInt<C>(t("  -42")));
    EXPECT_EQ(0, StringToInt<C>(t("x1")));
    EXPECT_EQ(int64_t(1) << 40, StringToInt<C>(t("1099511627776")));
}

}  // namespace
