// Copies, cuts, replacements, case, line ends, deletion and the in-place
// edits, in the char and the wide table; aliasing of input and output.
#include <climits>
#include <cstring>

#include "string_test_util.h"

using namespace kestrin::strings;
using namespace kestrin::strings::test;

namespace {

template <class C>
class StringEdit : public ::testing::Test {};
TYPED_TEST_SUITE(StringEdit, CharTypes);

template <class C>
std::basic_string<C> Str(const C* p)
{
    return p ? std::basic_string<C>(p) : std::basic_string<C>();
}

// A text of the module's allocator (the in-place slots take only such texts).
template <class C>
C* Alloc(const char* s)
{
    const std::basic_string<C> w = Txt<C>(s);
    return NewText(w.c_str(), w.size());
}

TYPED_TEST(StringEdit, CopyAndCopyN)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> out;
    ASSERT_EQ(S_OK, Copy<C>(t("abc"), &out));
    EXPECT_EQ(Txt<C>("abc"), out.str());
    ASSERT_EQ(S_OK, Copy<C>(nullptr, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(E_INVALIDARG, Copy<C>(t("abc"), nullptr));

    // A copy into the variable that already holds the text does nothing.
    out.reset(Alloc<C>("same"));
    C* held = out.get();
    ASSERT_EQ(S_OK, Copy<C>(held, &held));
    EXPECT_EQ(out.get(), held);

    ASSERT_EQ(S_OK, CopyN<C>(t("abcdef"), 3, &out));
    EXPECT_EQ(Txt<C>("abc"), out.str());
    ASSERT_EQ(S_OK, CopyN<C>(t("ab"), 1000000, &out));
    EXPECT_EQ(Txt<C>("ab"), out.str());
    ASSERT_EQ(S_OK, CopyN<C>(t("abcdef"), SIZE_MAX, &out));
    EXPECT_EQ(Txt<C>("abcdef"), out.str());
    ASSERT_EQ(S_OK, CopyN<C>(nullptr, 3, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(E_INVALIDARG, CopyN<C>(t("a"), 1, nullptr));

    // A buffer without a terminator within the count is read no further.
    const C unterminated[3] = {C('x'), C('y'), C('z')};
    ASSERT_EQ(S_OK, CopyN<C>(unterminated, 2, &out));
    EXPECT_EQ(Txt<C>("xy"), out.str());

    // In place: the text held by the output is cut after n characters.
    out.reset(Alloc<C>("abcdef"));
    held = out.get();
    ASSERT_EQ(S_OK, CopyN<C>(held, 2, &held));
    EXPECT_EQ(out.get(), held);
    EXPECT_EQ(Txt<C>("ab"), out.str());
}

TEST(StringEdit, CopyNAllocatesWhatTheTextHolds)
{
    // A count far beyond the text must not turn into an allocation of that size.
    Out<char> out;
    ASSERT_EQ(S_OK, CopyN<char>("ab", size_t(1) << 60, &out));
    EXPECT_STREQ("ab", out.get());
    ASSERT_EQ(S_OK, Left<char>("ab", 0x7FFFFFFF, &out));
    EXPECT_STREQ("ab", out.get());
    ASSERT_EQ(S_OK, Mid<char>("abc", 1, 0x7FFFFFFF, &out));
    EXPECT_STREQ("bc", out.get());
}

TYPED_TEST(StringEdit, LeftMidRight)
{
    using C = TypeParam;
    Texts<C> t;
    const C* text = t("abcdef");
    Out<C> out;

    ASSERT_EQ(S_OK, Left<C>(text, 2, &out));
    EXPECT_EQ(Txt<C>("ab"), out.str());
    ASSERT_EQ(S_OK, Left<C>(text, size_t(-1), &out));
    EXPECT_EQ(Txt<C>("abcdef"), out.str());
    ASSERT_EQ(S_OK, Left<C>(text, 0xFFFFFFFFu, &out));  // -1 as a 32-bit count
    EXPECT_EQ(Txt<C>("abcdef"), out.str());
    EXPECT_EQ(E_INVALIDARG, Left<C>(text, size_t(-5), &out));
    EXPECT_EQ(nullptr, out.get());

    ASSERT_EQ(S_OK, Mid<C>(text, 2, 3, &out));
    EXPECT_EQ(Txt<C>("cde"), out.str());
    ASSERT_EQ(S_OK, Mid<C>(text, -4, 2, &out));
    EXPECT_EQ(Txt<C>("ab"), out.str());
    ASSERT_EQ(S_OK, Mid<C>(text, 4, size_t(-1), &out));
    EXPECT_EQ(Txt<C>("ef"), out.str());
    ASSERT_EQ(S_OK, Mid<C>(text, 6, 2, &out));
    EXPECT_EQ(Txt<C>(""), out.str());
    ASSERT_NE(nullptr, out.get());
    ASSERT_EQ(S_OK, Mid<C>(text, 7, 2, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(E_INVALIDARG, Mid<C>(nullptr, 0, 2, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(E_INVALIDARG, Mid<C>(text, 0, 2, nullptr));

    ASSERT_EQ(S_OK, Right<C>(text, 2, &out));
    EXPECT_EQ(Txt<C>("ef"), out.str());
    ASSERT_EQ(S_OK, Right<C>(text, 99, &out));
    EXPECT_EQ(Txt<C>("abcdef"), out.str());
    ASSERT_EQ(S_OK, Right<C>(text, 0, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(E_INVALIDARG, Right<C>(nullptr, 2, &out));
    EXPECT_EQ(nullptr, out.get());
    EXPECT_EQ(E_INVALIDARG, Right<C>(text, 2, nullptr));
}

TYPED_TEST(StringEdit, Replace)
{
    using C = TypeParam;
    struct Case {
        const char* text;
        const char* from;
        const char* to;
        uint32_t count;
        const char* result;
    };
    const Case cases[] = {
        {"aaa", "aa", "b", 1, "ba"},
        {"a.b.c", ".", "::", 2, "a::b::c"},
        {"a.b.c", ".", "", 2, "abc"},
        {"a.b.c", ".", nullptr, 2, "abc"},
        {"abc", "x", "y", 0, "abc"},
        {"abc", "", "y", 0, "abc"},
        {"abc", nullptr, "y", 0, "abc"},
        {"", "a", "b", 0, ""},
        {"abcabc", "abc", "abcabc", 2, "abcabcabcabc"},
        {nullptr, "a", "b", 0, nullptr},
    };
    for (const Case& c : cases) {
        Texts<C> t;
        SCOPED_TRACE(std::string(c.text ? c.text : "NULL") + " " + (c.from ? c.from : "NULL"));
        Out<C> out;
        EXPECT_EQ(c.count, Replace<C>(t(c.text), t(c.from), t(c.to), &out));
        if (c.result)
            EXPECT_EQ(Txt<C>(c.result), out.str());
        else
            EXPECT_EQ(nullptr, out.get());
    }
    Texts<C> t;
    EXPECT_EQ(ZELK_STRING_NOTFOUND, Replace<C>(t("a"), t("a"), t("b"), nullptr));
}

TYPED_TEST(StringEdit, ChopBurnAndRemoveQuote)
{
    using C = TypeParam;
    const struct {
        const char* in;
        const char* out;
    } chops[] = {{"  a b \t\r\n", "a b"}, {"", ""}, {" \t ", ""}, {"x", "x"}, {"\xa0x\xa0", "\xa0x\xa0"}};
    for (const auto& c : chops) {
        Out<C> text(Alloc<C>(c.in));
        ASSERT_EQ(S_OK, Chop<C>(text.get()));
        EXPECT_EQ(Txt<C>(c.out), text.str());
    }
    EXPECT_EQ(E_INVALIDARG, Chop<C>(nullptr));

    Out<C> secret(Alloc<C>("pass"));
    Burn<C>(secret.get());
    const C zeros[5] = {};
    EXPECT_EQ(0, std::memcmp(zeros, secret.get(), sizeof zeros));
    Burn<C>(nullptr);

    const struct {
        const char* in;
        HRESULT hr;
        const char* out;
    } quotes[] = {
        {"\"abc\"", S_OK, "abc"},      {"'abc'", S_OK, "abc"},      {"<abc>", S_OK, "abc"},  {"\"\"", S_OK, ""},
        {"\"abc'", S_FALSE, "\"abc'"}, {"<abc<", S_FALSE, "<abc<"}, {"abc", S_FALSE, "abc"}, {"\"", S_FALSE, "\""},
        {"<", S_FALSE, "<"},           {"", S_FALSE, ""},
    };
    for (const auto& c : quotes) {
        SCOPED_TRACE(c.in);
        Out<C> text(Alloc<C>(c.in));
        EXPECT_EQ(c.hr, RemoveQuote<C>(text.get()));
        EXPECT_EQ(Txt<C>(c.out), text.str());
    }
    EXPECT_EQ(E_FAIL, RemoveQuote<C>(nullptr));
}

TEST(StringEdit, WideBurnZeroesEveryByte)
{
    Out<wchar_t> text(NewText(L"\u20ac\u20ac\u20ac\u20ac", 4));
    Burn<wchar_t>(text.get());
    const unsigned char zeros[16] = {};
    EXPECT_EQ(0, std::memcmp(zeros, text.get(), 16));
}

TYPED_TEST(StringEdit, AppendGrowsAndKeepsTokensOfItself)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> text;
    text.reset(Append<C>(nullptr, t("ab")));
    EXPECT_EQ(Txt<C>("ab"), text.str());
    text.reset(Append<C>(text.release(), t("cd")));
    EXPECT_EQ(Txt<C>("abcd"), text.str());
    C* same = text.get();
    EXPECT_EQ(same, Append<C>(same, nullptr));
    EXPECT_EQ(same, Append<C>(same, t("")));
    EXPECT_EQ(nullptr, Append<C>(nullptr, nullptr));

    // s += s, and s += a token inside s: the source is read after the move.
    for (int i = 0; i < 6; ++i) {
        C* p = text.release();
        text.reset(Append<C>(p, p));
    }
    EXPECT_EQ(4u * 64, text.str().size());
    EXPECT_EQ(Txt<C>("abcdabcd"), text.str().substr(0, 8));
    C* p = text.release();
    text.reset(Append<C>(p, p + 253));
    EXPECT_EQ(Txt<C>("bcdbcd"), text.str().substr(text.str().size() - 6));
    EXPECT_EQ(259u, text.str().size());
}

TYPED_TEST(StringEdit, CaseCannonAndDelete)
{
    using C = TypeParam;
    Texts<C> t;
    Out<C> out;
    ASSERT_EQ(S_OK, MakeUpper<C>(t("Mixed 1\xe4z"), &out));
    EXPECT_EQ(Txt<C>("MIXED 1\xe4Z"), out.str());
    ASSERT_EQ(S_OK, MakeLower<C>(t("Mixed \xc4Z"), &out));
    EXPECT_EQ(Txt<C>("mixed \xc4z"), out.str());
    ASSERT_EQ(S_OK, MakeUpper<C>(nullptr, &out));
    ASSERT_NE(nullptr, out.get());
    EXPECT_EQ(Txt<C>(""), out.str());
    EXPECT_EQ(E_INVALIDARG, MakeUpper<C>(t("a"), nullptr));
    // In place when the output holds the input.
    out.reset(Alloc<C>("abc"));
    C* held = out.get();
    ASSERT_EQ(S_OK, MakeUpper<C>(held, &held));
    EXPECT_EQ(out.get(), held);
    EXPECT_EQ(Txt<C>("ABC"), out.str());

    ASSERT_NE(nullptr, MakeCannon<C>(t("a\r\nb\nc\rd\n"), &out));
    EXPECT_EQ(Txt<C>("a\r\nb\r\ncd\r\n"), out.str());
    EXPECT_EQ(nullptr, MakeCannon<C>(nullptr, &out));
    EXPECT_EQ(nullptr, out.get());
    // The old text is freed when the output held it (the sanitizer build sees a leak otherwise).
    out.reset(Alloc<C>("x\ny"));
    held = out.release();
    C* made = MakeCannon<C>(held, &held);
    out.reset(made);
    EXPECT_EQ(made, held);
    EXPECT_EQ(Txt<C>("x\r\ny"), out.str());

    EXPECT_EQ(4u, Delete<C>(t("abcdef"), &out, 3, 2));
    EXPECT_EQ(Txt<C>("abcf"), out.str());
    EXPECT_EQ(5u, Delete<C>(t("abcdef"), &out, 5, 9));
    EXPECT_EQ(Txt<C>("abcde"), out.str());
    C* untouched = nullptr;
    EXPECT_EQ(6u, Delete<C>(t("abcdef"), &untouched, 6, 1));
    EXPECT_EQ(6u, Delete<C>(t("abcdef"), &untouched, 0, 0));
    EXPECT_EQ(nullptr, untouched);
    EXPECT_EQ(0u, Delete<C>(nullptr, &untouched, 0, 1));
    EXPECT_EQ(0u, Delete<C>(t("a"), nullptr, 0, 1));
}

}  // namespace
