#include <gtest/gtest.h>

#include <string>

#include "json_test_tree.h"

namespace kestrin::base::json::testing {
namespace {

struct Case {
    const char* name;
    std::string text;
    const char* tree;  // compact form, or nullptr when the text is invalid
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

std::string Nested(int depth)
{
    std::string s = "{\"a\":";
    for (int i = 1; i < depth; ++i)
        s += "[";
    s += "1";
    for (int i = 1; i < depth; ++i)
        s += "]";
    return s + "}";
}

const Case kCases[] = {
    {"empty object", "{}", "{}"},
    {"white space around", " \t\r\n{ } trailing words", "{}"},
    {"duplicate name keeps first", "{\"a\":1,\"a\":2}", "{a:1}"},
    {"signs and fraction", "{\"m\":-5,\"p\":+5,\"f\":1.75}", "{m:-5,p:5,f:1}"},
    {"point without digits", "{\"a\":1.}", nullptr},
    {"exponent", "{\"a\":1e3}", nullptr},
    {"sign then blank", "{\"a\":- 5}", "{a:0}"},
    {"sign alone", "{\"a\":-}", nullptr},
    {"int32 limits", "{\"a\":2147483647,\"b\":-2147483648}", "{a:2147483647,b:-2147483648}"},
    {"above int32", "{\"a\":2147483648}", nullptr},
    {"below int32", "{\"a\":-2147483649}", nullptr},
    {"huge number", "{\"a\":99999999999999999999999999}", nullptr},
    {"leading zeros", "{\"a\":007}", "{a:7}"},
    {"comment before brace", "// head\n{\"a\":1}", "{a:1}"},
    {"spaced comment marker", "/ / head\n{}", "{}"},
    {"comment after colon", "{\"a\": // note\n 1}", "{a:1}"},
    {"comment before member", "{ // x\n \"a\":1, // y\n \"b\":2}", "{a:1,b:2}"},
    {"comment between item and comma", "{\"a\":[1 // c\n,2]}", nullptr},
    {"comment before item", "{\"a\":[ // c\n 1, // d\n 2]}", "{a:[1,2]}"},
    {"only a comment marker", "//", nullptr},
    {"slash without second", "/{}", nullptr},
    {"top level array", "[1]", nullptr},
    {"nested values", "{\"a\":[true,false,null,{\"b\":\"c\"},[]],\"d\":{}}", "{a:[true,false,null,{b:\"c\"},[]],d:{}}"},
    {"trailing comma in object", "{\"a\":1,}", nullptr},
    {"trailing comma in array", "{\"a\":[1,]}", nullptr},
    {"missing colon", "{\"a\" 1}", nullptr},
    {"unterminated object", "{\"a\":1", nullptr},
    {"unterminated array", "{\"a\":[1", nullptr},
    {"longer word", "{\"a\":truex}", nullptr},
    {"bare word", "{\"a\":yes}", nullptr},
    {"unquoted name", "{a:1}", nullptr},
    {"unicode escape", "{\"s\":\"x\\u00e9y\"}", "{s:\"x\xC3\xA9y\"}"},
    {"one byte escape", "{\"s\":\"\\u0041\"}", "{s:\"A\"}"},
    {"three byte escape", "{\"s\":\"\\u20AC\"}", "{s:\"\xE2\x82\xAC\"}"},
    {"surrogate pair", "{\"s\":\"\\ud83d\\ude00\"}", "{s:\"\xED\xA0\xBD\xED\xB8\x80\"}"},
    {"short escapes", "{\"s\":\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"}", "{s:\"\"/\\\b\f\n\r\t\"}"},
    {"unknown escape", "{\"s\":\"\\q\"}", nullptr},
    {"short unicode escape", "{\"s\":\"\\u12\"}", nullptr},
    {"non hex escape", "{\"s\":\"\\u12G4\"}", nullptr},
    {"raw tab and line feed", "{\"s\":\"a\tb\nc\"}", "{s:\"a\tb\nc\"}"},
    {"non-ASCII bytes", "{\"s\":\"\xC3\xA9\xFD\"}", "{s:\"\xC3\xA9\xFD\"}"},
    {"byte 254 in string", "{\"s\":\"\xFE\"}", nullptr},
    {"control byte in string", "{\"s\":\"a\x01\"}", nullptr},
    {"DEL in string", "{\"s\":\"\x7F\"}", nullptr},
    {"backslash before LF", "{\"s\":\"\\\n\"}", nullptr},
    {"unterminated string", "{\"s\":\"abc", nullptr},
    {"escaped name", "{\"k\\u0041\":1}", "{kA:1}"},
    {"depth 256", Nested(256), "depth"},
    {"depth 257", Nested(257), nullptr},
};

class JsonReaderCases : public ::testing::TestWithParam<Case> {};

TEST_P(JsonReaderCases, ParsesOrRefuses)
{
    const Case& c = GetParam();
    std::unique_ptr<Node> tree;
    HRESULT hr = Parse(c.text, tree);
    if (!c.tree) {
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(tree, nullptr);
        return;
    }
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(tree, nullptr);
    if (std::string(c.tree) != "depth") {
        EXPECT_EQ(Compact(*tree), c.tree);
    }
}

INSTANTIATE_TEST_SUITE_P(Dialect, JsonReaderCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             std::string n = i.param.name;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return n;
                         });

TEST(JsonReader, EscapedNullStaysInText)
{
    std::unique_ptr<Node> tree;
    ASSERT_EQ(Parse("{\"s\":\"a\\u0000b\"}", tree), S_OK);
    EXPECT_EQ(tree->children[0].second->text, std::string("a\0b", 3));
}

TEST(JsonReader, NeverReadsPastTheEnd)
{
    // Every prefix of a valid text must fail cleanly (the sanitizer build
    // checks that no byte beyond the prefix is touched).
    const std::string full = "// c\n{\"a\" : [1, -2.5, \"x\\u00e9\", {\"b\":null}], \"t\":true}";
    for (size_t n = 0; n < full.size(); ++n) {
        std::string prefix(full.data(), n);
        std::unique_ptr<Node> tree;
        EXPECT_EQ(Parse(std::string(prefix), tree), E_FAIL) << n;
    }
}

TEST(JsonReader, DeepHostileNestingFailsWithoutRecursingFurther)
{
    std::string text = "{\"a\":" + std::string(1000000, '[');
    std::unique_ptr<Node> tree;
    EXPECT_EQ(Parse(text, tree), E_FAIL);
}

}  // namespace
}  // namespace kestrin::base::json::testing
