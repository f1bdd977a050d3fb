// The enrolment-profile token: reader names and policy paths, the kind made
// for a profile, its accessors, the policy test and the error texts.
#include "tokens/token_kv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token_fixture.h"
#include "tokens/token_manager.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

namespace kestrin::tokens::test {
namespace {

using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::TOKEN_TYPE_PROFILE;
using ZELK::PSESVC::TOKEN_TYPE_WEBADAPTER;

std::string Text(char* owned)
{
    std::string text = owned != nullptr ? owned : "";
    sec_free(owned);
    return text;
}

// The entries of a list of terminated texts ended by an empty one.
std::vector<std::string> Entries(char* list)
{
    std::vector<std::string> out;
    for (const char* p = list; p != nullptr && *p != '\0'; p += std::strlen(p) + 1)
        out.emplace_back(p);
    sec_free(list);
    return out;
}

class TokenKVTest : public TokenTest {
protected:
    // A profile token of the reader name, initialised without a token double.
    CToken_KV* Make(const std::string& reader)
    {
        CToken* token = nullptr;
        EXPECT_EQ(CToken_KV::New(reader.c_str(), &token), S_OK) << reader;
        if (token == nullptr)
            return nullptr;
        m_tokens.push_back(token);
        auto* kv = static_cast<CToken_KV*>(token);
        EXPECT_EQ(kv->Init(nullptr, nullptr, reader.c_str()), S_OK);
        return kv;
    }
    // Writes the preferences (a dict's inner text) and waits until the policy
    // store reads them.
    void Policy(const std::string& entries)
    {
        static uint32_t s_round = 0;
        ++s_round;
        WritePlist("{" + entries + ", 'written': {'round': " + std::to_string(s_round) + "}}");
        WaitForPolicy("written", "round", s_round);
    }
    void TearDown() override
    {
        for (CToken* token : m_tokens)
            token->Release();
        m_tokens.clear();
        TokenTest::TearDown();
    }

    std::vector<CToken*> m_tokens;
};

TEST_F(TokenKVTest, ReaderNamesGiveProfilesAndPolicyPaths)
{
    Policy("'profiles': {'abc': {'enrollURL0': 'https://a'}, 'b/c': {'x': 1}},"
           " 'groups': {'user': {'profiles': {'abc': {'enrollURL0': 'https://u'}}},"
           "            'a': {'profiles': {'b/c': {'enrollURL0': 'https://g'}}}}");
    struct Case {
        const char* reader;
        const char* profile;
        const char* path;
    };
    const Case cases[] = {
        {"tokkv:abc", "abc", "profiles/abc"},
        {"TOKKV:abc", "abc", "profiles/abc"},
        {"toksw:mem://kestrin/abc", "abc", "profiles/abc"},
        {"TOKSW:MEM://KESTRIN/abc", "abc", "profiles/abc"},
        {"toksw:mem://kestrin/user/abc", "user/abc", "groups/user/profiles/abc"},
        {"a/b/c", "a/b/c", "groups/a/profiles/b/c"},
        {"abc", "abc", "profiles/abc"},
    };
    for (const Case& c : cases) {
        char* profile = nullptr;
        ASSERT_EQ(CToken_KV::ReaderNameToProfile(c.reader, &profile), S_OK) << c.reader;
        EXPECT_EQ(Text(profile), c.profile) << c.reader;
        ZELK_IPolicy* policy = nullptr;
        ASSERT_EQ(CToken_KV::ReaderNameToPolicy(c.reader, &policy), S_OK) << c.reader;
        EXPECT_STREQ(policy->GetPath(), c.path) << c.reader;
        policy->Release();
    }
}

TEST_F(TokenKVTest, EmptyAndOverlongProfilesAreRefused)
{
    char* profile = nullptr;
    ZELK_IPolicy* policy = nullptr;
    EXPECT_EQ(CToken_KV::ReaderNameToProfile(nullptr, &profile), E_INVALIDARG);
    EXPECT_EQ(CToken_KV::ReaderNameToProfile("", &profile), E_INVALIDARG);
    EXPECT_EQ(CToken_KV::ReaderNameToProfile("tokkv:a", nullptr), E_INVALIDARG);
    EXPECT_EQ(CToken_KV::ReaderNameToPolicy("toksw:mem://kestrin/", &policy), E_INVALIDARG);
    EXPECT_EQ(CToken_KV::ProfileToPolicy(std::string(257, 'p').c_str(), &policy), E_INVALIDARG);
    EXPECT_EQ(CToken_KV::ProfileToPolicy(std::string(256, 'p').c_str(), &policy), S_OK);
    if (policy != nullptr)
        policy->Release();
    CToken* token = nullptr;
    EXPECT_EQ(CToken_KV::New("toksw:mem://kestrin/", &token), E_INVALIDARG);
    EXPECT_EQ(token, nullptr);
}

TEST_F(TokenKVTest, ThePseTypePicksTheKind)
{
    Policy("'profiles': {'web': {'PseType': 'WebAdapter'}, 'plain': {'PseType': 'other'},"
           " 'none': {'enrollURL0': 'https://x'}, 'local': {'PseType': 'HEARTHGATE'}}");
    struct Case {
        const char* reader;
        int type;
        const char* pseType;
    };
    const Case cases[] = {
        {"toksw:mem://kestrin/web", TOKEN_TYPE_WEBADAPTER, "WebAdapter"},
        {"toksw:mem://kestrin/plain", TOKEN_TYPE_PROFILE, "other"},
        {"toksw:mem://kestrin/none", TOKEN_TYPE_PROFILE, nullptr},
    };
    for (const Case& c : cases) {
        CToken_KV* token = Make(c.reader);
        ASSERT_NE(token, nullptr) << c.reader;
        EXPECT_EQ(token->GetTokenType(), c.type) << c.reader;
        EXPECT_STREQ(token->GetProfileType(), c.pseType) << c.reader;
        void* kv = nullptr;
        EXPECT_EQ(static_cast<CToken*>(token)->QueryInterface(IID_CToken_KV, &kv), S_OK);
        EXPECT_EQ(kv, static_cast<void*>(token));
        static_cast<CToken*>(token)->Release();
        void* spnego = nullptr;
        EXPECT_EQ(static_cast<CToken*>(token)->QueryInterface(IID_IKestrin_SPNegoCB, &spnego), S_OK);
        EXPECT_EQ(spnego, static_cast<IKestrin_SPNegoCB*>(token));
        static_cast<CToken*>(token)->Release();
        void* cancel = nullptr;
        EXPECT_EQ(static_cast<CToken*>(token)->QueryInterface(IID_ICredEventCallback, &cancel), S_OK);
        EXPECT_EQ(cancel, static_cast<ICredEventCallback*>(token));
        static_cast<CToken*>(token)->Release();
    }
}

TEST_F(TokenKVTest, EnrolmentAddressesAreTrimmedAndGapsEndTheList)
{
    Policy("'profiles': {'gap': {'enrollURL0': 'https://a', 'enrollURL2': 'https://c'},"
           " 'blank': {'enrollURL0': '  https://a\\t', 'enrollURL1': '   ', 'enrollURL2': 'https://c '},"
           " 'none': {'PseType': 'x'}}");
    CToken_KV* gap = Make("tokkv:gap");
    CToken_KV* blank = Make("tokkv:blank");
    CToken_KV* none = Make("tokkv:none");
    ASSERT_TRUE(gap && blank && none);
    char* list = nullptr;
    ASSERT_EQ(gap->GetEnrollURLs(&list), S_OK);
    EXPECT_EQ(Entries(list), std::vector<std::string>({"https://a"}));
    ASSERT_EQ(blank->GetEnrollURLs(&list), S_OK);
    EXPECT_EQ(Entries(list), std::vector<std::string>({"https://a", "https://c"}));
    ASSERT_EQ(none->GetEnrollURLs(&list), S_OK);
    EXPECT_TRUE(Entries(list).empty());
    EXPECT_EQ(gap->GetEnrollURLs(nullptr), E_INVALIDARG);
    EXPECT_STREQ(gap->GetProfileName(), "gap");
    EXPECT_STREQ(gap->GetPolicyPath(), "profiles/gap");
    EXPECT_TRUE(gap->NeedLogin());
}

TEST_F(TokenKVTest, APolicyNeedsAFirstAddress)
{
    Policy("'profiles': {'ok': {'enrollURL0': 'https://a'}, 'empty': {'enrollURL0': ''},"
           " 'late': {'enrollURL1': 'https://b'}, 'kerb': {'enrollURL0': 'https://a', 'PseType': 'KerberosLogin'}}");
    struct Case {
        const char* path;
        bool valid;
    };
    const Case cases[] = {{"profiles/ok", true}, {"profiles/empty", false}, {"profiles/late", false}};
    for (const Case& c : cases) {
        ZELK_IPolicy* policy = nullptr;
        ASSERT_EQ(ZELK_PolOpen(c.path, &policy), 0);
        EXPECT_EQ(CToken_KV::IsValidPolicy(policy), c.valid) << c.path;
        policy->Release();
    }
    EXPECT_FALSE(CToken_KV::IsValidPolicy(nullptr));
}

TEST_F(TokenKVTest, ErrorTextsComeFromTheTable)
{
    CToken_KV* token = Make("toksw:mem://kestrin/p");
    ASSERT_NE(token, nullptr);
    IResourceManager* texts = nullptr;
    ASSERT_EQ(GetResourceManager(L"zelkgui", &texts), S_OK);
    struct Case {
        HRESULT rc;
        const char* key;
    };
    const Case cases[] = {
        {E_ACCESSDENIED, "QM_E_ACCESSDENIED"},
        {E_QM_INTERNAL_SERVER_ERROR, "QM_E_INTERNAL_SERVER_ERROR"},
        {E_QM_SERVER_CONNECT_TIMEOUT, "PR_E_SERVER_CONNECT_TIMEOUT"},
        {E_QM_INVALID_MESSAGE_FORMAT, "QM_E_INVALID_MESSAGE"},
        {E_QM_CERT_INVALID, "QM_CERT_INVALID"},
        {E_FAIL, "QM_E_INTERNAL_SERVER_ERROR"},
        {0, "QM_E_INTERNAL_SERVER_ERROR"},
    };
    for (const Case& c : cases) {
        wchar_t* text = nullptr;
        unsigned code = 77;
        EXPECT_EQ(token->MakeQMErrorText(c.rc, &text, &code), S_OK);
        EXPECT_EQ(code, 77u);
        const wchar_t* expected = texts->GetW(c.key);
        ASSERT_NE(text, nullptr) << c.key;
        EXPECT_EQ(std::wstring(text), std::wstring(expected != nullptr ? expected : L"")) << c.key;
        sec_free(text);
    }
    texts->Release();
    EXPECT_EQ(token->ChangePin(nullptr), ZELK::PSESVC::E_TOKEN_NOTSUPPORTED);
    EXPECT_EQ(token->UnblockPin(nullptr), ZELK::PSESVC::E_TOKEN_NOTSUPPORTED);
}

}  // namespace
}  // namespace kestrin::tokens::test
