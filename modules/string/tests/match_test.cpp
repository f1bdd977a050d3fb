// Wildcard matching and the pattern score that ranks application policies.
#include "match.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kestrin::strings::String_Match;
using kestrin::strings::String_MatchQuality;
using kestrin::strings::StringW_Match;
using kestrin::strings::StringW_MatchQuality;

TEST(Match, Cases)
{
    struct Case {
        const char* text;
        const char* pattern;
        signed char noCase;
        char wildcard;
        bool expected;
    };
    const Case cases[] = {
        {"abc", "a*", 0, 0, true},
        {"abc", "*c", 0, 0, true},
        {"abc", "a?c", 0, 0, true},
        {"abc", "ab", 0, 0, false},
        {"ab", "abc", 0, 0, false},
        {"", "*", 0, 0, false},
        {nullptr, "*", 0, 0, false},
        {"", "", 0, 0, true},
        {nullptr, nullptr, 0, 0, true},
        {"", nullptr, 0, 0, true},
        {"a", "", 0, 0, false},
        {"ABC", "abc", 0, 0, false},
        {"ABC", "abc", 1, 0, true},
        {"abc", "a#c", 0, '#', true},
        {"abc", "a#c", 0, 0, false},
        {"a", "a*", 0, 0, true},
        {"a", "a**", 0, 0, true},
        {"ab", "a*b", 0, 0, true},
        {"a", "a*?", 0, 0, false},
        {"aa", "*a", 0, 0, true},
        {"srv1.corp.example", "*.corp.*", 0, 0, true},
        {"srv1.corp.example", "srv?.CORP.example", 1, 0, true},
        {"mississippi", "m*iss*ppi", 0, 0, true},
        {"mississippi", "m*iss*x", 0, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(String_Match(c.text, c.pattern, c.noCase, c.wildcard), c.expected)
            << (c.text ? c.text : "NULL") << " ~ " << (c.pattern ? c.pattern : "NULL");
    }
}

TEST(Match, WideTextsAndAsciiOnlyCaseFolding)
{
    EXPECT_TRUE(StringW_Match(L"h\u00E9llo", L"h?llo", 0, 0));
    EXPECT_TRUE(StringW_Match(L"HOST", L"h*t", 1, 0));
    EXPECT_FALSE(StringW_Match(L"\u00C9", L"\u00E9", 1, 0));
    EXPECT_TRUE(StringW_Match(L"a\U0001F600c", L"a#c", 0, L'#'));
}

// Many stars against a long text that almost matches must not take
// exponential time.
TEST(Match, ManyStarsStayCheap)
{
    std::string text(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i)
        pattern += "*a";
    EXPECT_FALSE(String_Match(text.c_str(), (pattern + "b").c_str(), 0, 0));
    EXPECT_TRUE(String_Match(text.c_str(), pattern.c_str(), 0, 0));
}

TEST(MatchQuality, Scores)
{
    EXPECT_EQ(String_MatchQuality("abcd", "*cd"), 12287u);
    EXPECT_EQ(String_MatchQuality("abcd", "abcd"), 20480u);
    EXPECT_EQ(String_MatchQuality("abcd", "?bcd"), 16640u);
    EXPECT_EQ(String_MatchQuality("abcd", "*"), 4095u);
    EXPECT_EQ(String_MatchQuality("abcd", "x*"), 0u);
    EXPECT_EQ(String_MatchQuality("ABCD", "abcd"), 20480u);
    EXPECT_EQ(String_MatchQuality("", nullptr), 4096u);
    EXPECT_EQ(String_MatchQuality("a", nullptr), 0u);
    EXPECT_EQ(StringW_MatchQuality(L"abcd", L"*cd"), 12287u);
    // A more literal pattern ranks higher.
    EXPECT_GT(String_MatchQuality("srv.corp", "srv.corp"), String_MatchQuality("srv.corp", "srv.*"));
}

}  // namespace
