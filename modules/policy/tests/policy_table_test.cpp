// The table "zelk.policy.1" as a client deliverable reaches it: opening,
// argument checks, the built-in defaults and the first use without files.
#include "policy_fixture.h"

using namespace kestrin::policy::test;

namespace {

const ZELK_POLICY_FUNCTIONS* Table()
{
    return ZELK_ApiCast<ZELK_POLICY_FUNCTIONS>(ZELK_POLICY_TABLE);
}

}  // namespace

TEST_F(PolicyTable, InfoNamesTheTableAndTheModule)
{
    const char* api = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(Table()->get_info(&api, &module, &description), S_OK);
    EXPECT_STREQ(api, "zelk.policy.1");
    EXPECT_STREQ(module, "zelkpolicy");
    EXPECT_STREQ(description, "");
    EXPECT_EQ(Table()->get_info(nullptr, nullptr, nullptr), S_OK);
}

TEST_F(PolicyTable, NullArgumentsAreRefusedNeverFollowed)
{
    Policy policy;
    EXPECT_EQ(ZELK_PolOpen(nullptr, &policy), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolOpen("trace", nullptr), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolOpenEx(nullptr, "Common", &policy), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolOpenType("trace", nullptr, &policy), E_INVALIDARG);
    EXPECT_EQ(policy.get(), nullptr);
    EXPECT_EQ(ZELK_PolOpenType("trace", "zelk.policy.nosuchclass", &policy), E_NOTIMPL);
    EXPECT_EQ(ZELK_PolClose(nullptr), S_OK);

    char* text = reinterpret_cast<char*>(1);
    EXPECT_EQ(ZELK_PolGetString(nullptr, "x", &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(ZELK_PolGetString(nullptr, "x", nullptr), E_POINTER);
    // An error code must not read as a configured number.
    EXPECT_EQ(ZELK_PolGetDWORD(nullptr, "Level"), 0u);
    EXPECT_EQ(ZELK_PolGetTempClone(nullptr, &policy), E_INVALIDARG);
    EXPECT_EQ(Table()->PolCreateSubKey(), E_NOTIMPL);
    EXPECT_EQ(Table()->PolCopySubKey(), E_NOTIMPL);
    EXPECT_FALSE(ZELK_PolHasSubkey("Common", "CAPI"));

    ASSERT_EQ(ZELK_PolOpen("trace", &policy), S_OK);
    EXPECT_EQ(policy->SetString(nullptr, "x"), E_INVALIDARG);
    EXPECT_EQ(policy->Bind(nullptr), E_INVALIDARG);
    EXPECT_EQ(policy->GetDWORD(nullptr), 0u);
    EXPECT_FALSE(policy->IsConfigured(nullptr));
    EXPECT_NE(policy->EnumSubKey(0, nullptr, 10), S_OK);
    EXPECT_EQ(ZELK_PolClose(&policy), S_OK);
    EXPECT_EQ(policy.get(), nullptr);
}

TEST_F(PolicyTable, FirstUseCreatesTheUserFileAndWritesReadBack)
{
    Policy trace;
    ASSERT_EQ(ZELK_PolOpen("trace", &trace), S_OK);
    EXPECT_EQ(unsigned(ModeOf(UserFolder())), 0700u);
    EXPECT_EQ(unsigned(ModeOf(UserFile())), 0600u);
    EXPECT_EQ(PeerRead(UserFile(), "d"), "{}");
    // Nothing is created in the administrator's folder.
    EXPECT_FALSE(Exists(SystemFolder()));

    EXPECT_STREQ(trace->GetPath(), "trace");
    EXPECT_STREQ(trace->GetName(), "trace");
    EXPECT_EQ(ZELK_PolGetDWORD(trace.get(), "Level"), 0u);
    EXPECT_EQ(trace->SetDWORD("Level", 5), S_OK);
    EXPECT_EQ(ZELK_PolGetDWORD(trace.get(), "level"), 5u);
    EXPECT_EQ(PeerRead(UserFile(), "d"), "{\"trace\": {\"Level\": 5}}");

    // Another object of the same key sees the write at once.
    Policy again;
    ASSERT_EQ(ZELK_PolOpen("/trace/", &again), S_OK);
    EXPECT_EQ(again->GetDWORD("LEVEL"), 5u);
    EXPECT_TRUE(again->IsChangeable("Level"));
    EXPECT_FALSE(again->IsFromPolicy("Level"));
}

TEST_F(PolicyTable, TextDefaultsApplyNumberDefaultsDoNotThroughTheChain)
{
    Policy common;
    ASSERT_EQ(ZELK_PolOpen("Common", &common), S_OK);
    EXPECT_EQ(Text(common.get(), "TrustDB"), "keychain:");
    EXPECT_EQ(Text(common.get(), "trustdb"), "keychain:");
    EXPECT_FALSE(common->IsConfigured("TrustDB"));
    char* text = nullptr;
    EXPECT_EQ(ZELK_PolGetString(common.get(), "TrustDB", &text), S_OK);
    EXPECT_STREQ(text, "keychain:");
    sec_free(text);
    // A number default never reaches a reader of the ordinary configuration.
    EXPECT_EQ(common->GetDWORD("ShowUserPoliciesPage"), 0u);

    struct Case {
        const char* path;
        const char* name;
    } unset[] = {{"system", "networkTimeout"}, {"Common/GVX", "ServerSessionKeyTTL"}, {"profiles/p1", "showErrorMsg"}};
    for (const Case& c : unset) {
        Policy policy;
        ASSERT_EQ(ZELK_PolOpen(c.path, &policy), S_OK) << c.path;
        EXPECT_EQ(policy->GetDWORD(c.name), 0u) << c.path;
        // Nor is a number default turned into text.
        EXPECT_EQ(Text(policy.get(), c.name), "<fail:" + std::to_string(E_FAIL) + ">") << c.path;
    }

    // The map is chosen by the path as written: other spellings have none.
    for (const char* path : {"common", "Common\\CAPI", "Common/"}) {
        Policy policy;
        ASSERT_EQ(ZELK_PolOpen(path, &policy), S_OK);
        EXPECT_EQ(Text(policy.get(), "TrustDB"), "<fail:" + std::to_string(E_FAIL) + ">") << path;
    }

    // A stored value wins over the default.
    ASSERT_EQ(common->SetString("TrustDB", "file:/tmp/trust"), S_OK);
    EXPECT_EQ(Text(common.get(), "TrustDB"), "file:/tmp/trust");
}

TEST_F(PolicyTable, OpenExTakesTheTemplateWhereThePathChoosesNone)
{
    Policy policy;
    ASSERT_EQ(ZELK_PolOpenEx("groups/g1/profiles", "Common", &policy), S_OK);
    EXPECT_STREQ(policy->GetPath(), "groups/g1/profiles");
    EXPECT_EQ(Text(policy.get(), "TrustDB"), "keychain:");
    Policy bound;
    // "system" has a map of its own, which the path then chooses.
    ASSERT_EQ(ZELK_PolOpenEx("system", "Common", &bound), S_OK);
    EXPECT_EQ(Text(bound.get(), "TrustDB"), "<fail:" + std::to_string(E_FAIL) + ">");
}

TEST_F(PolicyTable, RegisteredMapsAreFoundNewestFirst)
{
    static const ZELK_PolicyDefault entries[] = {{"TrustDB", ZELK_POLICY_TYPE_TEXT, "pkcs11:", 0},
                                                 {"Extra", ZELK_POLICY_TYPE_TEXT, "x", 0},
                                                 {nullptr, ZELK_POLICY_TYPE_END, nullptr, 0}};
    static ZELK_PolicyMap map = {"Com*", nullptr, entries};
    static ZELK_PolicyMap noPattern = {nullptr, nullptr, entries};
    EXPECT_EQ(ZELK_PolRegisterDefaults(nullptr), E_INVALIDARG);
    EXPECT_EQ(ZELK_PolRegisterDefaults(&noPattern), E_INVALIDARG);
    // The module stays loaded only while this test runs: a map of this program
    // is registered and found during it.
    EXPECT_EQ(ZELK_PolRegisterDefaults(&map), S_OK);
    EXPECT_EQ(ZELK_PolRegisterDefaults(&map), S_FALSE);
    Policy common;
    ASSERT_EQ(ZELK_PolOpen("Common", &common), S_OK);
    EXPECT_EQ(Text(common.get(), "TrustDB"), "pkcs11:");
    Policy capi;
    ASSERT_EQ(ZELK_PolOpen("Common/CAPI", &capi), S_OK);
    EXPECT_EQ(Text(capi.get(), "Extra"), "x");
}

TEST_F(PolicyTable, NumberDefaultsServeTheIniStoreWrapper)
{
    std::string ini = m_home / "policy.ini";
    WriteFile(ini, "[Common]\nTrustDB = file:x\n");
    Policy policy;
    ASSERT_EQ(ZELK_PolOpenType("Common", "zelk.policy.file", &policy), S_OK);
    ASSERT_EQ(policy->SetConfigPath(ini.c_str()), S_OK);
    EXPECT_EQ(policy->GetDWORD("ShowUserPoliciesPage"), 1u);
    EXPECT_EQ(Text(policy.get(), "TrustDB"), "file:x");
    EXPECT_FALSE(policy->IsChangeable("TrustDB"));
    EXPECT_TRUE(policy->IsFromPolicy("TrustDB"));
}
