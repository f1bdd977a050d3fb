#include <gtest/gtest.h>

#include <cstring>

#include "policy_defaults.h"

using namespace kestrin::policy;

TEST(Defaults, WildcardMatch)
{
    struct Case {
        const char* text;
        const char* pattern;
        char extra;
        bool match;
    } cases[] = {
        {nullptr, "x", 0, true},
        {"", "", 0, true},
        {"a", "", 0, false},
        {"", "*", 0, false},
        {"profiles/p1", "profiles/*", 0, true},
        {"profiles", "profiles/*", 0, false},
        {"profiles/", "profiles/*", 0, false},
        {"abc", "a?c", 0, true},
        {"abc", "a#c", '#', true},
        {"abc", "A?c", 0, false},
        {"applications/x/y", "applications/*", 0, true},
        {"axbxc", "a*c", 0, true},
        {"axbxd", "a*c", 0, false},
        {"ab", "a*b", 0, true},
        {"a", "a*", 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(String_Match(c.text, c.pattern, c.extra), c.match)
            << (c.text ? c.text : "(null)") << " ~ " << c.pattern;
    }
}

TEST(Defaults, BuiltInTemplatesByPath)
{
    auto defaultOf = [](const char* path, const char* name) { return FindDefault(FindTemplate(path), name); };
    const ZELK_PolicyDefault* trust = defaultOf("Common", "trustdb");
    ASSERT_NE(trust, nullptr);
    EXPECT_EQ(trust->type, ZELK_POLICY_TYPE_TEXT);
    EXPECT_STREQ(trust->text, "keychain:");
    EXPECT_EQ(FindTemplate("common"), nullptr);
    EXPECT_EQ(FindTemplate("Common\\CAPI"), nullptr);
    EXPECT_EQ(defaultOf("Common/CAPI", "CAPIFilterValidOnly")->number, 1u);
    EXPECT_EQ(defaultOf("profiles/p1", "showErrorMsg")->number, 1u);
    EXPECT_EQ(defaultOf("profiles/p1", "networkTimeout"), nullptr);
    EXPECT_EQ(defaultOf("profiles", "networkTimeout")->number, 45u);
    EXPECT_EQ(FindTemplate("profiles/"), nullptr);
    EXPECT_EQ(FindTemplate("groups/g/profiles/p"), nullptr);
    EXPECT_EQ(defaultOf("system", "networkTimeout")->number, 45u);
    EXPECT_EQ(defaultOf("Common/GVX", "ServerSessionKeyTTL")->number, 595u);
    EXPECT_EQ(defaultOf("applications/app", "CAPIFilterValidOnly")->number, 1u);
    EXPECT_NE(FindTemplate("PKI"), nullptr);
    EXPECT_EQ(FindDefault(FindTemplate("PKI"), "anything"), nullptr);
}

TEST(Defaults, RegistrationRules)
{
    EXPECT_EQ(RegisterDefaults(nullptr), E_INVALIDARG);
    static ZELK_PolicyMap noPattern = {nullptr, nullptr, nullptr};
    EXPECT_EQ(RegisterDefaults(&noPattern), E_INVALIDARG);

    static const ZELK_PolicyDefault entries[] = {{"networkTimeout", ZELK_POLICY_TYPE_NUMBER, nullptr, 7},
                                                 {nullptr, ZELK_POLICY_TYPE_END, nullptr, 0}};
    static ZELK_PolicyMap mine = {"sys*", nullptr, entries};
    ASSERT_EQ(RegisterDefaults(&mine), S_OK);
    const ZELK_PolicyMap* head = FirstMap();
    EXPECT_EQ(RegisterDefaults(&mine), S_FALSE);
    EXPECT_EQ(FirstMap(), head);
    // The newer map wins over the built-in "system" map.
    EXPECT_EQ(FindTemplate("system"), &mine);
    EXPECT_EQ(FindDefault(FindTemplate("system"), "NETWORKTIMEOUT")->number, 7u);
    static ZELK_PolicyMap empty = {"emptymap", nullptr, nullptr};
    ASSERT_EQ(RegisterDefaults(&empty), S_OK);
    EXPECT_EQ(FindDefault(FindTemplate("emptymap"), "x"), nullptr);
}
