// Application policies over the real plist stores in temporary configuration
// folders (the system file written by Python's plistlib): match qualities,
// system against user policies, favourites, remembered profiles, and the
// assignment of credentials to an application read back by plistlib.
#include "applications.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/fake_token_calls.h"
#include "model/model_owncerts.h"
#include "model/model_tokens.h"
#include "service_fixture.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"
#include "zelk_text.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CApplications;
using ZELK::PSESVC::CModelOwnCert;
using ZELK::PSESVC::CModelOwnCerts;
using ZELK::PSESVC::CModelToken;
using ZELK::PSESVC::CModelTokens;

std::string Shell(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string Text(ZELK_IPolicy* policy, const char* name)
{
    StringT<char> value(policy, name);
    return value.IsEmpty() ? "" : static_cast<const char*>(value);
}

class ApplicationsTest : public ServiceTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zelkapps-XXXXXX";
        m_dir = mkdtemp(pattern);
        std::filesystem::create_directories(m_dir + "/home/kestrin");
        std::filesystem::create_directories(m_dir + "/etc/kestrin");
        setenv("XDG_CONFIG_HOME", (m_dir + "/home").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_dir + "/etc").c_str(), 1);
        TokenCalls::Reset();
        ServiceTest::SetUp();
    }
    void TearDown() override
    {
        if (m_apps)
            m_apps->Release();
        ServiceTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // Writes a preference file with plistlib from a Python dictionary literal;
    // must come before the first use of the policies.
    void Plist(bool system, const std::string& dict)
    {
        std::string file = m_dir + (system ? "/etc" : "/home") + "/kestrin/settings.plist";
        ASSERT_EQ(Shell("python3 -c \"import plistlib; plistlib.dump(" + dict + ", open('" + file
                        + "', 'wb'), sort_keys=False)\" && echo ok"),
                  "ok");
    }
    // A value of the user file as plistlib reads it.
    std::string UserValue(const std::string& expression)
    {
        return Shell("python3 -c \"import plistlib; d = plistlib.load(open('" + m_dir
                     + "/home/kestrin/settings.plist', 'rb')); print(" + expression + ")\" 2>&1");
    }
    CApplications* Apps()
    {
        if (!m_apps) {
            EXPECT_EQ(CSingletonFactoryImpl<CApplications>::New(&m_apps), S_OK);
        }
        return m_apps;
    }

    std::string m_dir;
    CApplications* m_apps = nullptr;
};

struct QualityCase {
    std::vector<std::pair<const char*, const char*>> entries;  // GssTargetName, PSEUri
    const char* target;
    int winner;  // index of the best entry, -1 for none
    unsigned quality;
};

TEST_F(ApplicationsTest, MatchQualities)
{
    const QualityCase cases[] = {
        {{{"abcdef*", ""}, {"*", ""}}, "abcdefgh", 0, 4096 + 6 * 4096 - 1},
        {{{"*", ""}}, "anything", 0, 4095},
        {{{"GVX/host.example.com", ""}}, "host.example.com", 0, 4096 + 16 * 4096},
        {{{"gvx/", ""}}, "x", 0, 4095},
        {{{"ample", ""}}, "host.example.com", 0, 4096 + 5 * 4096 - 2},
        {{{"other", ""}}, "host", -1, 0},
        {{{"*", ""}, {"*", ""}}, "a", 0, 4095},
        {{{"*", ""}, {"?", ""}}, "a", 1, 4096 + 256},
        {{{"", "host*"}}, "host1", 0, 4096 + 4 * 4096 - 1},
        {{{"", ""}, {"*", ""}}, "a", 1, 4095},
        {{{"HOST", ""}}, "host", 0, 4096 + 4 * 4096},
    };
    // Every case is a list of its own in the user file, entries in order.
    std::string dict = "{'lists': {";
    int n = 0;
    for (const QualityCase& c : cases) {
        dict += "'c" + std::to_string(n++) + "': {";
        for (size_t i = 0; i < c.entries.size(); ++i) {
            dict += "'e" + std::to_string(i) + "': {";
            if (*c.entries[i].first)
                dict += std::string("'GssTargetName': '") + c.entries[i].first + "', ";
            if (*c.entries[i].second)
                dict += std::string("'PSEUri': '") + c.entries[i].second + "', ";
            dict += "'other': 1}, ";
        }
        dict += "}, ";
    }
    Plist(false, dict + "}}");
    n = 0;
    for (const QualityCase& c : cases) {
        ZELK_IPolicy* list = nullptr;
        ASSERT_EQ(ZELK_PolOpen(("lists/c" + std::to_string(n)).c_str(), &list), S_OK);
        ZELK_IPolicy* best = nullptr;
        unsigned quality = 1;
        ASSERT_EQ(Apps()->GetApplPolicyByGssTargetName(c.target, list, &best, &quality), S_OK);
        EXPECT_EQ(quality, c.quality) << "case " << n;
        if (c.winner < 0) {
            EXPECT_EQ(best, nullptr) << "case " << n;
        } else {
            ASSERT_NE(best, nullptr) << "case " << n;
            EXPECT_EQ(std::string(best->GetName()), "e" + std::to_string(c.winner)) << "case " << n;
            best->Release();
        }
        list->Release();
        ++n;
    }
}

TEST_F(ApplicationsTest, SystemAndUserPoliciesAndTheFallback)
{
    Plist(true, "{'applications': {'sys1': {'GssTargetName': 'host*'}, "
                "'sysre': {'GssTargetName': 're.example', 'ReAuthentication': 1}}, "
                "'Common': {'GVX': {'GVXMode': 1}}}");
    Plist(false, "{'groups': {'user': {'applications': {'u1': {'GssTargetName': 'host*', 'GVXMode': 2}, "
                 "'u2': {'GssTargetName': 'host.exa*'}}}}}");
    CaptureTrace(4);
    struct {
        const char* target;
        const char* path;
        const char* chainMode;  // "GVXMode" through the chain
        bool reauth;
        const char* trace;
    } cases[] = {
        {"host.example.com", "groups/user/applications/u2", "1", false, "User policy is better than System policy!"},
        {"hostX", "applications/sys1", "1", false, "System policy is better than User policy!"},
        {"re.example.org", "applications/sysre", "1", true, "'re.example.org' shall use 'applications/sysre'"},
        {"nomatch", "/", "1", false, "Favorite is not selected"},
    };
    for (const auto& c : cases) {
        ZELK_IPolicy* policy = nullptr;
        ZELK_IPolicy* chain = nullptr;
        bool reauth = !c.reauth;
        ASSERT_EQ(Apps()->GetPolicyByGssTargetName(c.target, &policy, &chain, &reauth), S_OK);
        ASSERT_NE(policy, nullptr) << c.target;
        ASSERT_NE(chain, nullptr) << c.target;
        EXPECT_EQ(std::string(policy->GetPath()), c.path) << c.target;
        EXPECT_EQ(std::to_string(chain->GetDWORD("GVXMode")), c.chainMode) << c.target;
        EXPECT_EQ(reauth, c.reauth) << c.target;
        EXPECT_GE(CountTrace(c.trace), 1u) << c.target;
        policy->Release();
        chain->Release();
    }
    // No match: "Common/GVX" alone is the chain.
    ZELK_IPolicy* chain = nullptr;
    ASSERT_EQ(Apps()->GetPolicyByGssTargetName("nomatch", nullptr, &chain, nullptr), S_OK);
    EXPECT_EQ(std::string(chain->GetPath()), "Common/GVX");
    chain->Release();
}

TEST_F(ApplicationsTest, FavouriteServesAnAllowingPolicy)
{
    Plist(true, "{'applications': {'fav': {'GssTargetName': 'fav*', 'allowFavorite': 1}, "
                "'plain': {'GssTargetName': 'plain*'}}}");
    Plist(false, "{'TokenType': 'tokkeychain', 'ReAuthentication': 1}");
    CaptureTrace(3);
    TokenCalls::s_policyValid = true;
    ZELK_IPolicy* policy = nullptr;
    ZELK_IPolicy* chain = nullptr;
    bool reauth = false;
    ASSERT_EQ(Apps()->GetPolicyByGssTargetName("fav.example", &policy, &chain, &reauth), S_OK);
    EXPECT_EQ(std::string(policy->GetPath()), "/");
    EXPECT_NE(std::string(chain->GetPath()), "Common/GVX");  // the match's chain stays
    EXPECT_TRUE(reauth);
    EXPECT_EQ(CountTrace("Favorites are allowed, using: token of /"), 1u);
    policy->Release();
    chain->Release();

    ASSERT_EQ(Apps()->GetPolicyByGssTargetName("plain.example", &policy, nullptr, &reauth), S_OK);
    EXPECT_EQ(std::string(policy->GetPath()), "applications/plain");
    EXPECT_FALSE(reauth);
    policy->Release();

    TokenCalls::s_policyValid = false;
    ASSERT_EQ(Apps()->GetPolicyByGssTargetName("fav.example", &policy, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::string(policy->GetPath()), "applications/fav");
    EXPECT_EQ(CountTrace("Favorites are allowed, but selected token is not available: token of /"), 1u);
    EXPECT_EQ(CountTrace("Selected token is not available: token of applications/fav"), 1u);
    policy->Release();
}

TEST_F(ApplicationsTest, RememberedProfileMovesBetweenProfiles)
{
    Plist(true, "{'applications': {'a': {'GssTargetName': 'target*'}}}");
    // The token row of profile A shows the target it serves.
    CModelToken* rowA = nullptr;
    ASSERT_EQ(CModelTokens::NewTokenInfo("toksw:mem://kestrin/A", &rowA), S_OK);
    ASSERT_EQ(CModelTokens::RegisterToken(rowA), S_OK);
    ASSERT_EQ(rowA->AddGVXName("target1"), S_OK);
    char* profile = nullptr;
    EXPECT_EQ(Apps()->GetProfileByGssTargetName("target1", &profile), S_FALSE);
    ASSERT_EQ(Apps()->SetProfileForGssTargetName("A", "target1"), S_OK);
    ASSERT_EQ(Apps()->SetProfileForGssTargetName("A", "target2"), S_OK);
    ASSERT_EQ(Apps()->SetProfileForGssTargetName("A", "target1"), S_OK);  // already recorded
    EXPECT_EQ(rowA->GetGVXNameCount(), 1u);

    ASSERT_EQ(Apps()->SetProfileForGssTargetName("B", "target1"), S_OK);
    EXPECT_EQ(rowA->GetGVXNameCount(), 0u);
    static_cast<ZELK::PSESVC::IGUIModelToken*>(rowA)->Release();
    ASSERT_EQ(Apps()->GetProfileByGssTargetName("target1", &profile), S_OK);
    EXPECT_STREQ(profile, "B");
    sec_free(profile);
    EXPECT_EQ(Apps()->GetProfileByGssTargetName("TARGET1", &profile), S_FALSE);  // targets are exact

    // The remembered profile becomes an in-memory policy at "/".
    ZELK_IPolicy* policy = nullptr;
    ZELK_IPolicy* chain = nullptr;
    ASSERT_EQ(Apps()->GetPolicyByGssTargetName("target1", &policy, &chain, nullptr), S_OK);
    EXPECT_EQ(Text(policy, "Profile"), "B");
    EXPECT_EQ(std::string(chain->GetPath()).find("Common/GVX"), std::string::npos);
    policy->Release();
    chain->Release();

    // Dropping a profile in another case drops every row of it.
    ASSERT_EQ(Apps()->SetProfileForGssTargetName("a", nullptr), S_OK);
    EXPECT_EQ(Apps()->GetProfileByGssTargetName("target2", &profile), S_FALSE);
    ASSERT_EQ(Apps()->GetProfileByGssTargetName("target1", &profile), S_OK);
    EXPECT_STREQ(profile, "B");
    sec_free(profile);
}

TEST_F(ApplicationsTest, UseForAppRoundTripsPerKind)
{
    Plist(true, "{'applications': {'locked': {'GssTargetName': 'x', 'TokenType': 'kerberos'}}}");
    struct {
        const char* uri;
        const char* type;
        const char* profile;
    } kinds[] = {
        {"tokcapi:store/1", "tokcapi", ""},
        {"tokkeychain:login", "tokkeychain", ""},
        {"tokp11:slot", "tokp11", ""},
        {"toktcos:card", "toktcos", ""},
        {"toksw:mem://kestrin/Work", "kestrin", "Work"},
        {"kerberos:", "kerberos", ""},
        {"eom:", "eom", ""},
    };
    for (const auto& k : kinds) {
        ASSERT_EQ(Apps()->UseForApp("groups/user/applications/app", nullptr, k.uri), S_OK) << k.uri;
        ZELK_IPolicy* policy = nullptr;
        ASSERT_EQ(ZELK_PolOpen("groups/user/applications/app", &policy), S_OK);
        EXPECT_EQ(Text(policy, "TokenType"), k.type) << k.uri;
        EXPECT_EQ(Text(policy, "Profile"), k.profile) << k.uri;
        EXPECT_EQ(Text(policy, "GssTargetName"), "*") << k.uri;
        policy->Release();
        // Token URIs of the keychain kinds need a certificate's fingerprint to be selected.
        bool selects =
            k.type == std::string("kestrin") || k.type == std::string("kerberos") || k.type == std::string("eom");
        EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/app", nullptr, k.uri), selects ? S_OK : S_FALSE)
            << k.uri;
    }
    EXPECT_EQ(UserValue("d['groups']['user']['applications']['app']['TokenType']"), "eom");
    EXPECT_EQ(Apps()->UseForApp("groups/user/applications/app", nullptr, "https://other"), E_FAIL);
    EXPECT_EQ(UserValue("d['groups']['user']['applications']['app']['TokenType']"), "eom");
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/app", nullptr, "EOM:"), S_OK);
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/app", nullptr, "kerberos:"), S_FALSE);

    // The root keeps its pattern; a cleared assignment removes the credential.
    ASSERT_EQ(Apps()->UseForApp(nullptr, nullptr, "kerberos:"), S_OK);
    EXPECT_EQ(UserValue("d.get('GssTargetName')"), "None");
    EXPECT_EQ(Apps()->IsUsedForApp(nullptr, nullptr, "kerberos:"), S_OK);
    ASSERT_EQ(Apps()->UseForApp(nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Apps()->IsUsedForApp(nullptr, nullptr, "kerberos:"), S_FALSE);

    // A system policy cannot be changed by the user.
    Apps()->UseForApp("applications/locked", nullptr, "eom:");
    ZELK_IPolicy* locked = nullptr;
    ASSERT_EQ(ZELK_PolOpen("applications/locked", &locked), S_OK);
    EXPECT_EQ(Text(locked, "TokenType"), "kerberos");
    locked->Release();
}

TEST_F(ApplicationsTest, OwnCertificateAssignmentCarriesItsFingerprint)
{
    std::string dir = m_dir + "/pki";
    std::filesystem::create_directories(dir);
    for (const char* n : {"one", "two"})
        ASSERT_EQ(Shell("cd " + dir
                        + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                          "-subj /CN="
                        + n + " -keyout " + n + ".key -outform DER -out " + n
                        + ".der >/dev/null 2>&1 "
                          "&& echo ok"),
                  "ok");
    const SEC_TYPE_TABLE* certificates = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    Certificate* certs[2] = {};
    int i = 0;
    for (const char* n : {"one", "two"}) {
        std::ifstream in(dir + "/" + n + ".der", std::ios::binary);
        std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        OctetString bytes {der.size(), reinterpret_cast<unsigned char*>(der.data())};
        void* c = nullptr;
        ASSERT_EQ(certificates->decode(&bytes, &c), S_OK);
        certs[i++] = static_cast<Certificate*>(c);
    }
    std::string fingerprint = Shell("openssl x509 -inform DER -in " + dir + "/one.der -noout -fingerprint -sha1");
    fingerprint = fingerprint.substr(fingerprint.find('=') + 1);
    std::erase(fingerprint, ':');

    PersonalCertificateInfo one {};
    one.tokenName = const_cast<char*>("tokkeychain:login");
    one.keyId = const_cast<char*>("k1");
    one.certificate = certs[0];
    PersonalCertificateInfo two = one;
    two.certificate = certs[1];
    CModelOwnCerts* own = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&own), S_OK);
    ASSERT_EQ(own->AddCert(&one, "tokkeychain:login", nullptr, false), S_OK);
    static_cast<ZELK::PSESVC::IGUIModelOwnCerts*>(own)->Release();

    ASSERT_EQ(Apps()->UseForApp("groups/user/applications/mail", &one, nullptr), S_OK);
    EXPECT_EQ(UserValue("d['groups']['user']['applications']['mail']['CertFingerprint']"), fingerprint);
    EXPECT_EQ(UserValue("d['groups']['user']['applications']['mail']['TokenType']"), "tokkeychain");
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/mail", &one, nullptr), S_OK);
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/mail", &two, nullptr), S_FALSE);
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/mail", nullptr, "tokkeychain:login"), S_FALSE);

    // A certificate no own-certificate row shows is assigned by its token URI alone.
    ASSERT_EQ(Apps()->UseForApp("groups/user/applications/mail", &two, "tokp11:slot"), S_OK);
    EXPECT_EQ(UserValue("d['groups']['user']['applications']['mail'].get('CertFingerprint')"), "None");
    EXPECT_EQ(UserValue("d['groups']['user']['applications']['mail']['TokenType']"), "tokp11");
    for (Certificate* c : certs)
        c->Release();
}

TEST_F(ApplicationsTest, KestrinTypeIsCaseSensitive)
{
    Plist(false, "{'groups': {'user': {'applications': {'k': {'TokenType': 'Kestrin', 'Profile': 'P'}, "
                 "'l': {'TokenType': 'kestrin', 'Profile': 'P'}}}}}");
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/k", nullptr, "toksw:mem://kestrin/P"), S_FALSE);
    EXPECT_EQ(Apps()->IsUsedForApp("groups/user/applications/l", nullptr, "TOKSW:MEM://KESTRIN/p"), S_OK);
}

TEST_F(ApplicationsTest, EqualTargetNames)
{
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"server", "server", true},
        {"CN=server", "CN=QEV/server", true},
        {"CN=QEV/server, O=X", "CN=server", true},
        {"CN=QEV/server", "CN=QEV/server2", false},
        {"CN=QEV/a", "CN=QEV/QEV/a", false},
        {"CN=server", "CN=Server", false},
        {"server", "CN=QEV/server", false},
        {"O=no common name", "CN=QEV/", false},
        {"CN=", "CN=QEV/", false},
        {"", "", true},
        {nullptr, "x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CApplications::IsEqualGssTargetName(c.a, c.b), c.equal)
            << (c.a ? c.a : "<null>") << " / " << (c.b ? c.b : "<null>");
}

}  // namespace
}  // namespace kestrin::service::test
