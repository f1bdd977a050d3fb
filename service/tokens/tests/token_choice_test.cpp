// The token manager's choice of tokens by application policy and its look-ups
// of enrolment profiles, over a keychain, a CAPI and real profile tokens made
// for the configured profiles; fingerprints as openssl prints them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "model/model_owncerts.h"
#include "qev_results.h"
#include "token_fixture.h"
#include "tokens/kerberos_api.h"
#include "tokens/token_kv.h"
#include "tokens/token_manager.h"
#include "zelk_gui_model.h"
#include "zelk_policy_client.h"

namespace kestrin::tokens::test {
namespace {

using ZELK::PSESVC::CKerberosAPI;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::IGUIModelOwnCert;

constexpr const char* kKeychain = "tokkeychain:cert=user";
constexpr const char* kCapi = "tokcapi:store";
constexpr const char* kWork = "toksw:mem://kestrin/Work";
constexpr const char* kHome = "toksw:mem://kestrin/Home";
constexpr const char* kWork2 = "toksw:mem://kestrin/Work2";
constexpr const char* kPlain = "toksw:mem://kestrin/Plain";
constexpr const char* kUserGroup = "toksw:mem://kestrin/user/p";

std::string Text(char* owned)
{
    std::string text = owned != nullptr ? owned : "<null>";
    sec_free(owned);
    return text;
}

std::vector<std::string> Entries(char* list)
{
    std::vector<std::string> out;
    for (const char* p = list; p != nullptr && *p != '\0'; p += std::strlen(p) + 1)
        out.emplace_back(p);
    sec_free(list);
    return out;
}

// "SHA1 Fingerprint=AB:CD:..." of openssl, as it prints it (with colons).
std::string OpensslFingerprint(const std::string& name)
{
    std::string line;
    FILE* pipe =
        popen(("openssl x509 -noout -fingerprint -sha1 -in " + TokenPki::Get().Path(name + ".pem")).c_str(), "r");
    char buffer[256];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        line += buffer;
    if (pipe != nullptr)
        pclose(pipe);
    const size_t at = line.find('=');
    line = at == std::string::npos ? "" : line.substr(at + 1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

class TokenChoiceTest : public TokenTest {
protected:
    void SetUp() override
    {
        TokenTest::SetUp();
        m_userPrint = OpensslFingerprint("user");
        m_user2Print = OpensslFingerprint("user2");
        m_selfPrint = OpensslFingerprint("self");
        ASSERT_FALSE(m_userPrint.empty());
        WritePlist(
            "{'TokenType': '', 'Profile': 'Nope',"
            " 'applications': {'any': {'x': 1}, 'fp': {'CertFingerprint': '"
            + m_userPrint
            + "'},"
              "   'kv': {'TokenType': 'Kestrin', 'Profile': 'Work'}, 'kvmissing': {'TokenType': 'kestrin', 'Profile': "
              "'Nope'},"
              "   'krb': {'TokenType': 'Kerberos'}, 'keychain': {'TokenType': 'tokkeychain'},"
              "   'keychainfp': {'TokenType': 'TOKKEYCHAIN', 'CertFingerprint': '"
            + Lower(m_userPrint)
            + "'},"
              "   'keychainother': {'TokenType': 'tokkeychain', 'CertFingerprint': '"
            + m_user2Print
            + "'},"
              "   'capi': {'TokenType': 'capi', 'CertFingerprint': '"
            + m_user2Print
            + "'},"
              "   'kestrinfp': {'TokenType': 'kestrin', 'Profile': 'Work', 'CertFingerprint': '"
            + m_selfPrint
            + "'},"
              "   'capifirst': {'TokenType': 'tokcapi'}, 'p11': {'TokenType': 'tokp11'}},"
              " 'groups': {'user': {'applications': {'g': {'Profile': 'p'}},"
              "   'profiles': {'p': {'enrollURL0': 'https://user.example.com?profile=p'}}}},"
              " 'profiles': {"
              "   'Work': {'PseType': 'webadapter', 'enrollURL0': "
              "'https://kvs.example.com:8443/KestrinServer/enroll?profile=work',"
              "            'enrollURL1': 'kvs.example.com/no-scheme'},"
              "   'Home': {'PseType': 'WebAdapter', 'enrollURL0': "
              "'https://*.corp.example/KestrinServer?profile=Home&lang=en'},"
              "   'Plain': {'enrollURL0': 'https://kvs.example.com:8443/other?profile=plain', 'enrollURL1': "
              "'https://kvs.example.com:8443/bare'},"
              "   'Work2': {'PseType': 'webadapter', 'enrollURL0': 'https://kvs.example.com:8443'}},"
              " 'written': {'round': 1}}");
        WaitForPolicy("written", "round", 1);
        ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&m_manager), S_OK);
        Insert(kKeychain, {{"user", "k1", true}});
        Insert(kCapi, {{"user2", "k2", true}});
        Insert(kWork, {{"self", "k3", true}});
        Insert(kHome, {});
        Insert(kPlain, {});
        Insert(kWork2, {});
        Insert(kUserGroup, {});
    }
    void TearDown() override
    {
        for (qevtest::FakeSlot* slot : m_slots) {
            m_manager->CardRemove(slot);
            slot->Release();
        }
        m_manager->Release();
        CKerberosAPI::s_bChecked = false;
        CKerberosAPI::s_bIsAPIAvailable = false;
        TokenTest::TearDown();
    }

    static std::string Lower(std::string text)
    {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    void Insert(const std::string& name, const std::vector<FixtureObject>& objects)
    {
        auto* slot = new qevtest::FakeSlot(name);
        qevtest::FakeToken* token = NewToken(name, objects);
        slot->SetToken(token);
        token->Release();
        m_slots.push_back(slot);
        ASSERT_EQ(m_manager->CardInsert(slot, false), S_OK) << name;
    }
    static ZELK_IPolicy* Policy(const char* path)
    {
        ZELK_IPolicy* policy = nullptr;
        EXPECT_EQ(ZELK_PolOpen(path, &policy), S_OK) << path;
        return policy;
    }
    // The answer and the URIs, front first.
    std::pair<HRESULT, std::vector<std::string>> URIs(const char* path)
    {
        SET_OF_String* list = nullptr;
        HRESULT hr = m_manager->GetTokenURIsByPolicy(path, nullptr, &list);
        std::vector<std::string> uris;
        for (SET_OF_String* node = list; node != nullptr; node = node->next)
            uris.emplace_back(node->element != nullptr ? node->element : "<null>");
        if (list != nullptr)
            SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_String)->free(list);
        return {hr, uris};
    }
    std::string OwnCertURI(const char* path)
    {
        IGUIModelOwnCert* cert = nullptr;
        HRESULT hr = m_manager->GetOwnCertByPolicy(path, nullptr, &cert);
        std::string uri = hr == S_OK && cert != nullptr ? cert->GetURI() : "answer " + std::to_string(hr);
        if (cert != nullptr)
            cert->Release();
        return uri;
    }

    CTokenMgr* m_manager = nullptr;
    std::vector<qevtest::FakeSlot*> m_slots;
    std::string m_userPrint;
    std::string m_user2Print;
    std::string m_selfPrint;
};

TEST_F(TokenChoiceTest, ThePolicysTokenChoice)
{
    using Case = std::pair<const char*, std::vector<std::string>>;
    const std::vector<Case> cases = {
        {"applications/kv", {kWork}},
        {"applications/kestrinfp", {kWork}},
        {"applications/keychainfp", {kKeychain}},
        {"applications/krb", {"kerberos:"}},
        // An unusable favourite keeps its profile.
        {"/", {"toksw:mem://kestrin/Nope"}},
        {"groups/user/applications/g", {kUserGroup}},
    };
    for (const Case& c : cases) {
        auto [hr, uris] = URIs(c.first);
        EXPECT_EQ(hr, S_OK) << c.first;
        EXPECT_EQ(uris, c.second) << c.first;
    }
    // Set but unusable: refused with nothing allowed.
    for (const char* path :
         {"applications/fp", "applications/kvmissing", "applications/keychainother", "applications/capi"}) {
        auto [hr, uris] = URIs(path);
        EXPECT_EQ(hr, E_ABORT) << path;
        EXPECT_TRUE(uris.empty()) << path;
    }
    // The certificate view's own certificates for "tokkeychain", whatever
    // token holds them, the last of the view in front; for an unrestricted
    // policy Kerberos and the profile tokens' certificates come first.
    auto [keychainResult, keychain] = URIs("applications/keychain");
    EXPECT_EQ(keychainResult, S_OK);
    EXPECT_EQ(keychain, (std::vector<std::string> {kCapi, kKeychain}));
    auto [anyResult, any] = URIs("applications/any");
    EXPECT_EQ(anyResult, S_OK);
    EXPECT_EQ(any, (std::vector<std::string> {"kerberos:", kWork, kCapi, kKeychain}));

    // Without Kerberos the Kerberos choice is refused and no one gets it.
    CKerberosAPI::s_bChecked = true;
    CKerberosAPI::s_bIsAPIAvailable = false;
    EXPECT_EQ(URIs("applications/krb").first, E_ABORT);
    EXPECT_EQ(URIs("applications/any").second, (std::vector<std::string> {kWork, kCapi, kKeychain}));
}

TEST_F(TokenChoiceTest, ValidityAndItsDescription)
{
    struct Case {
        const char* path;
        bool valid;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"applications/kv", true, "KVS(Work)"},
        {"applications/kvmissing", false, "KVS(Nope)"},
        {"applications/any", false, "KVS()"},
        {"groups/user/applications/g", true, "KVS(user/p)"},
        {"applications/krb", true, "KERBEROS"},
        {"applications/keychain", true, "keychain"},
        {"applications/keychainfp", true, "keychain(" + Lower(m_userPrint) + " -> CN=user, O=Token Test)"},
        {"applications/keychainother", false, "keychain(" + m_user2Print + ")"},
        {"applications/p11", false, "<null>"},
    };
    for (const Case& c : cases) {
        ZELK_IPolicy* policy = Policy(c.path);
        char* description = reinterpret_cast<char*>(1);
        EXPECT_EQ(m_manager->IsValidPolicy(policy, &description), c.valid) << c.path;
        EXPECT_EQ(Text(description), c.description) << c.path;
        EXPECT_EQ(m_manager->IsValidPolicy(policy, nullptr), c.valid) << c.path;
        policy->Release();
    }
}

TEST_F(TokenChoiceTest, OwnCertificatesByFingerprintAndPolicy)
{
    // The short token types name the URI prefixes of their tokens.
    EXPECT_EQ(OwnCertURI("applications/capi"), kCapi);
    EXPECT_EQ(OwnCertURI("applications/kestrinfp"), kWork);
    EXPECT_EQ(OwnCertURI("applications/keychainfp"), kKeychain);
    EXPECT_EQ(OwnCertURI("applications/keychainother"), "answer 1");
    EXPECT_EQ(OwnCertURI("applications/any"), "answer 1");
    EXPECT_NE(OwnCertURI("applications/capifirst").rfind("answer", 0), 0u);

    IGUIModelOwnCert* cert = nullptr;
    EXPECT_EQ(m_manager->GetOwnCertByFingerprint("", nullptr, &cert), E_FAIL);
    EXPECT_EQ(m_manager->GetOwnCertByFingerprint(" : ", nullptr, &cert), E_FAIL);
    std::string spaced = Lower(m_user2Print);
    for (char& c : spaced)
        c = c == ':' ? ' ' : c;
    ASSERT_EQ(m_manager->GetOwnCertByFingerprint(spaced.c_str(), "TOKCAPI", &cert), S_OK);
    EXPECT_STREQ(cert->GetURI(), kCapi);
    cert->Release();
    EXPECT_EQ(m_manager->GetOwnCertByFingerprint(spaced.c_str(), "tokkeychain", nullptr), S_FALSE);
}

// Log-in verbs by profile name: an unknown profile, and an empty name whose
// favourite profile has no token, find nothing; a logged-out profile token
// needs a login.
TEST_F(TokenChoiceTest, LogInVerbsByProfileName)
{
    EXPECT_EQ(m_manager->GetIsEnrolled("Nope"), E_FAIL);
    EXPECT_EQ(m_manager->Login("Nope", "host.example"), E_FAIL);
    EXPECT_EQ(m_manager->Logout("Nope"), E_FAIL);
    for (const char* empty : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(m_manager->GetIsEnrolled(empty), E_FAIL) << "the favourite names \"Nope\"";
        EXPECT_EQ(m_manager->Logout(empty), E_FAIL);
    }
    CToken* token = nullptr;
    EXPECT_EQ(m_manager->getTokenByNameWithDefault("Home", nullptr), E_INVALIDARG);
    ASSERT_EQ(m_manager->getTokenByNameWithDefault("Home", &token), S_OK);
    ASSERT_NE(token, nullptr);
    EXPECT_GE(m_manager->Logout("Home"), 0);
    EXPECT_TRUE(token->NeedLogin());
    EXPECT_EQ(m_manager->GetIsEnrolled("Home"), 1);
    token->Release();
}

TEST_F(TokenChoiceTest, ProfileByPolicy)
{
    char* profile = reinterpret_cast<char*>(1);
    EXPECT_EQ(m_manager->GetProfileByPolicy(nullptr, nullptr), E_INVALIDARG);
    for (const auto& [path, expected] : std::vector<std::pair<const char*, std::string>> {
             {"applications/kv", "Work"}, {"groups/user/applications/g", "user/p"}, {"applications/any", "<null>"}}) {
        ZELK_IPolicy* policy = Policy(path);
        EXPECT_EQ(m_manager->GetProfileByPolicy(policy, &profile), S_OK) << path;
        EXPECT_EQ(Text(profile), expected) << path;
        policy->Release();
    }
}

TEST_F(TokenChoiceTest, ProfileNameByHostAndProfileId)
{
    struct Case {
        const char* host;
        const char* id;
        HRESULT result;
        const char* name;
    };
    const Case cases[] = {
        {"https://kvs.example.com:8443", "work", S_OK, "Work"},
        {"https://KVS.example.com:8443", "WORK", S_OK, "Work"},
        {"https://kvs.example.com:8443", "plain", S_OK, "Plain"},
        {"https://a.corp.example", "home&LANG=en", S_OK, "Home"},
        // The id is all the rest of the address.
        {"https://a.corp.example", "home", E_TOKEN_NOTFOUND, nullptr},
        // One label for the wildcard, the same scheme and port.
        {"https://a.b.corp.example", "home&lang=en", E_TOKEN_NOTFOUND, nullptr},
        {"http://kvs.example.com:8443", "work", E_TOKEN_NOTFOUND, nullptr},
        {"https://kvs.example.com", "work", E_TOKEN_NOTFOUND, nullptr},
        {"https://kvs.example.com:8443", "", E_TOKEN_NOTFOUND, nullptr},
        {"no address", "work", E_INVALIDARG, nullptr},
        {nullptr, "work", E_INVALIDARG, nullptr},
        {"https://kvs.example.com:8443", nullptr, E_INVALIDARG, nullptr},
    };
    for (const Case& c : cases) {
        char* name = nullptr;
        EXPECT_EQ(m_manager->GetProfileNameByID(c.host, c.id, &name), c.result)
            << (c.host ? c.host : "(null)") << " " << (c.id ? c.id : "(null)");
        EXPECT_EQ(Text(name), c.name != nullptr ? c.name : "<null>") << (c.host ? c.host : "(null)");
    }
    EXPECT_EQ(m_manager->GetProfileNameByID("https://kvs.example.com:8443", "work", nullptr), E_INVALIDARG);
}

TEST_F(TokenChoiceTest, OriginsAndProfileTokensInTheirOrder)
{
    char* origins = nullptr;
    ASSERT_EQ(m_manager->GetAllConfiguredKVSURIs(&origins), S_OK);
    // "WebAdapter" is the web-adapter type too; an origin stays twice.
    EXPECT_EQ(Entries(origins), (std::vector<std::string> {"https://kvs.example.com:8443", "https://*.corp.example",
                                                           "https://kvs.example.com:8443"}));
    EXPECT_EQ(m_manager->GetAllConfiguredKVSURIs(nullptr), E_INVALIDARG);

    std::vector<std::string> names;
    CToken_KV* token = nullptr;
    for (unsigned long i = 0; m_manager->GetAllKVSTokens(i, &token) == S_OK; ++i) {
        names.emplace_back(token->GetProfileName());
        static_cast<CToken*>(token)->Release();
    }
    EXPECT_EQ(token, nullptr);
    EXPECT_EQ(names, (std::vector<std::string> {"Work", "Home", "Plain", "Work2", "user/p"}));
    EXPECT_EQ(m_manager->GetAllKVSTokens(0, nullptr), E_INVALIDARG);

    // Without web-adapter profiles: an empty list.
    for (qevtest::FakeSlot* slot : m_slots)
        m_manager->CardRemove(slot);
    ASSERT_EQ(m_manager->GetAllConfiguredKVSURIs(&origins), S_OK);
    ASSERT_NE(origins, nullptr);
    EXPECT_EQ(origins[0], '\0');
    sec_free(origins);
    EXPECT_EQ(m_manager->GetAllKVSTokens(0, &token), E_FAIL);
}

}  // namespace
}  // namespace kestrin::tokens::test
