// Splitting texts at delimiters, in the char and the wide table.
#include "string_test_util.h"

using namespace kestrin::strings;
using namespace kestrin::strings::test;

namespace {

template <class C>
class StringTokens : public ::testing::Test {};
TYPED_TEST_SUITE(StringTokens, CharTypes);

TYPED_TEST(StringTokens, ExtractToken)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> out;
    const C* text = t("key=value=more");
    const C* rest = ExtractToken<C>(text, t("="), &out);
    EXPECT_EQ(text + 4, rest);
    EXPECT_EQ(Txt<C>("key"), out.str());

    EXPECT_EQ(text + 4, ExtractToken<C>(text, t("y="), &out));
    EXPECT_EQ(Txt<C>("ke"), out.str());

    EXPECT_EQ(nullptr, ExtractToken<C>(text, t(";"), &out));
    EXPECT_EQ(Txt<C>("key=value=more"), out.str());
    EXPECT_EQ(nullptr, ExtractToken<C>(text, t(""), &out));
    EXPECT_EQ(Txt<C>("key=value=more"), out.str());
    EXPECT_EQ(nullptr, ExtractToken<C>(text, nullptr, &out));
    EXPECT_EQ(Txt<C>("key=value=more"), out.str());

    EXPECT_EQ(nullptr, ExtractToken<C>(nullptr, t("="), &out));
    EXPECT_EQ(nullptr, out.get());
    // Without an output the token is only skipped.
    EXPECT_EQ(text + 4, ExtractToken<C>(text, t("="), nullptr));
    // A delimiter at the very end leaves an empty rest.
    const C* tail = t("a;");
    EXPECT_EQ(tail + 2, ExtractToken<C>(tail, t(";"), &out));
    EXPECT_EQ(Txt<C>("a"), out.str());
}

TYPED_TEST(StringTokens, ExtractTokensChoosesTheLeftmostDelimiter)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> out;
    const C* delims[] = {t(";"), nullptr, t(","), t("")};
    const C* text = t(" a ,  b;c");
    const C* rest = ExtractTokens<C>(text, delims, 4, &out);
    EXPECT_EQ(Txt<C>("a"), out.str());
    EXPECT_EQ(text + 6, rest);  // behind "," and the blanks

    rest = ExtractTokens<C>(rest, delims, 4, &out);
    EXPECT_EQ(Txt<C>("b"), out.str());
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ(Txt<C>("c"), std::basic_string<C>(rest));

    EXPECT_EQ(nullptr, ExtractTokens<C>(rest, delims, 4, &out));
    EXPECT_EQ(Txt<C>("c"), out.str());

    // Equal positions: the earlier delimiter of the array wins.
    const C* twins[] = {t(";;"), t(";")};
    EXPECT_EQ(nullptr, ExtractTokens<C>(t("x;;  "), twins, 2, &out));
    EXPECT_EQ(Txt<C>("x"), out.str());
    const C* first = t("x;;y");
    EXPECT_EQ(first + 3, ExtractTokens<C>(first, twins, 2, &out));

    EXPECT_EQ(nullptr, ExtractTokens<C>(nullptr, delims, 4, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(nullptr, ExtractTokens<C>(text, nullptr, 4, &out));
    EXPECT_EQ(nullptr, ExtractTokens<C>(text, delims, 4, nullptr));
}

TYPED_TEST(StringTokens, ExtractTokenByIndex)
{
    using C = TypeParam;
    const struct {
        const char* text;
        unsigned index;
        const char* token;
    } cases[] = {
        {";a;b", 0, "a"}, {";a;b", 1, "b"}, {";a;b", 2, nullptr}, {"|x|y|z", 2, "z"},
        {";a;;b", 1, ""}, {";", 0, ""},     {"", 0, nullptr},     {nullptr, 0, nullptr},
    };
    for (const auto& c : cases) {
        Texts<C> t;
        SCOPED_TRACE(std::string(c.text ? c.text : "NULL") + " #" + std::to_string(c.index));
        Out<C> out;
        ExtractTokenByIdx<C>(t(c.text), c.index, &out);
        if (c.token)
            EXPECT_EQ(Txt<C>(c.token), out.str());
        else
            EXPECT_EQ(nullptr, out.get());
    }
    Texts<C> t;
    ExtractTokenByIdx<C>(t(";a"), 0, nullptr);
}

}  // namespace
