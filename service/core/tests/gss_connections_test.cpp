// The connection broker through the service PSE, driven as the crypto
// library's connection layer drives it: connection start and "GssConfig" per
// mode, the credential order, cancels and the encryption-only fallback, the
// user's choice among candidates, session keys, unknown connection numbers,
// many connections at once, and the last connection of a profile starting
// its auto-logout. Policies live in real plist files (written
// by plistlib); tokens hold keys made by openssl and every signature is
// checked against the certificate the service chose.
#include "gss_connections.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_broker_tokens.h"
#include "fakes/fake_kerberos.h"
#include "fakes/fake_selection.h"
#include "gss_driver.h"
#include "model/model_clients.h"
#include "model/model_eom.h"
#include "model/model_tempkeys.h"
#include "model/model_tokens.h"
#include "qev_doubles.h"
#include "qev_results.h"
#include "service_fixture.h"
#include "task_manager.h"
#include "zelk_policy_client.h"
#include "zelkpse.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CGssConnections;
using ZELK::PSESVC::CModelApplicationConnection;
using ZELK::PSESVC::CModelApplicationConnections;
using ZELK::PSESVC::CModelApplicationTempKey;
using ZELK::PSESVC::CModelClients;
using ZELK::PSESVC::CModelEncryptionOnlyMode;
using ZELK::PSESVC::IGUIModelEncryptionOnlyMode;
using ZELK::PSESVC::ZELKPSE;

constexpr int kUsers = 34;
constexpr HRESULT kDialogCancel = ZELK_RC(0xA0100019);
constexpr HRESULT kNoCredential = ZELK_RC(0xA010001F);
constexpr unsigned kPid = 4242;
constexpr const char* kProcess = "/usr/bin/browser";

std::string s_keys;  // folder of the openssl certificates and keys

int Shell(const std::string& command)
{
    return std::system(command.c_str());
}

ServerOffer Target(const std::string& target)
{
    ServerOffer offer;
    offer.target = target;
    return offer;
}

uint64_t FixedStart(unsigned)
{
    return 1;
}

class GssTest : public ServiceTest {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/zelkgsskeys-XXXXXX";
        s_keys = mkdtemp(pattern);
        // EC P-256 identities "User i", each its own issuer.
        ASSERT_EQ(Shell("cd " + s_keys + " && for i in $(seq 0 " + std::to_string(kUsers - 1)
                        + "); do openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 5 "
                          "-subj \"/CN=User $i\" -keyout k$i.pem -out c$i.pem 2>/dev/null && "
                          "openssl x509 -in c$i.pem -outform DER -out c$i.der || exit 1; done"),
                  0);
    }
    static void TearDownTestSuite()
    {
        std::error_code ec;
        std::filesystem::remove_all(s_keys, ec);
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/zelkgss-XXXXXX";
        m_dir = mkdtemp(pattern);
        std::filesystem::create_directories(m_dir + "/home/kestrin");
        std::filesystem::create_directories(m_dir + "/etc/kestrin");
        setenv("XDG_CONFIG_HOME", (m_dir + "/home").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_dir + "/etc").c_str(), 1);
        FakeKerberos::Reset();
        SelectionScript::Reset();
        ServiceTest::SetUp();
        CModelClients::SetStartTimeReader(&FixedStart);
        ASSERT_EQ(CModelClients::ClientConnect(kProcess, kPid), S_OK);
        ASSERT_EQ(CModelClients::ClientActive(kProcess, kPid), S_OK);
        m_asc = new kestrin::qevtest::FakeASC(nullptr, nullptr);
        ASSERT_EQ(ZELKPSE::New(m_asc, &m_pse), S_OK);
    }
    void TearDown() override
    {
        if (m_pse)
            m_pse->Release();
        if (m_asc)
            m_asc->Release();
        CModelClients::ClientDisconnect(kProcess, kPid);
        BrokerTokens::Clear();
        ServiceTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // The system file holds "Common/GVX" (a Python dictionary literal of its
    // values); the user file one application policy per entry of `targets`
    // ("app<i>" for "CN=server<i>"). Before the first connection.
    void Policies(const std::string& gvx, const std::string& user = "{}")
    {
        Write(m_dir + "/etc/kestrin/settings.plist", "{'Common': {'GVX': " + gvx + "}}");
        Write(m_dir + "/home/kestrin/settings.plist", user);
    }
    void Write(const std::string& file, const std::string& dict)
    {
        ASSERT_EQ(Shell("python3 -c \"import plistlib; plistlib.dump(" + dict + ", open('" + file
                        + "', 'wb'), sort_keys=False)\""),
                  0);
    }
    static void User(int i, const std::string& uri)
    {
        const std::string n = std::to_string(i);
        ASSERT_TRUE(BrokerTokens::Add(uri, s_keys + "/c" + n + ".der", s_keys + "/k" + n + ".pem"));
    }

    GssDriver Driver(ServerOffer offer = {}) { return GssDriver(m_pse, std::move(offer)); }

    // A new start of the runtime over another "Common/GVX": what the old one
    // made (the service PSE, the tokens' values, the client) goes first.
    void Restart(const std::string& gvx)
    {
        m_pse->Release();
        m_pse = nullptr;
        BrokerTokens::Clear();
        CModelClients::ClientDisconnect(kProcess, kPid);
        ServiceTest::TearDown();
        Policies(gvx);
        ServiceTest::SetUp();
        ASSERT_EQ(CModelClients::ClientConnect(kProcess, kPid), S_OK);
        ASSERT_EQ(CModelClients::ClientActive(kProcess, kPid), S_OK);
        ASSERT_EQ(ZELKPSE::New(m_asc, &m_pse), S_OK);
    }

    // The record of a connection number, with one reference, or NULL.
    static CModelApplicationConnection* Record(unsigned number)
    {
        CModelApplicationConnection* record = nullptr;
        CModelApplicationConnections::GetConnection(number, &record);
        return record;
    }
    static std::string RecordTokenURI(unsigned number)
    {
        CModelApplicationConnection* record = Record(number);
        if (record == nullptr)
            return "<none>";
        std::string uri = record->GetTokenURI();
        static_cast<ZELK::PSESVC::IGUIModelApplicationConnection*>(record)->Release();
        return uri;
    }

    std::string m_dir;
    kestrin::qevtest::FakeASC* m_asc = nullptr;
    PSE* m_pse = nullptr;
};

struct StartCase {
    const char* name;
    std::string gvx;
    std::vector<std::string> uris;
    std::string config;
    std::string initialURI;
};

TEST_F(GssTest, ConnectionStartConfigurationPerMode)
{
    const StartCase cases[] = {
        {"compatibility", "{}", {"kerberos:", "tok:a", "eom:"}, "sr-ecdhe:kerberos:cl-rsa:1993", ""},
        {"smart", "{'GVXMode': 1}", {"tok:a"}, "sr-ecdhe:cl-rsa", "tok:a"},
        {"smart with eom", "{'GVXMode': 1}", {"tok:a", "eom:"}, "sr-ecdhe:cl-rsa", ""},
        {"encryption only", "{'GVXMode': 2}", {"kerberos:", "tok:a"}, "sr-ecdhe", "eom:"},
        {"nothing allowed", "{}", {}, "cl-rsa", ""},
    };
    Policies("{'GVXMode': 0}");
    int n = 0;
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case in a configuration of its own: the system file is read again.
        Restart(c.gvx);
        BrokerTokens::SetFallbackURIs(c.uris);
        GssDriver driver = Driver(Target("CN=case" + std::to_string(n++)));
        EXPECT_EQ(driver.Start(), S_OK);
        ASSERT_NE(driver.Number(), 0u);
        EXPECT_EQ(driver.Config(), c.config);
        EXPECT_EQ(RecordTokenURI(driver.Number()), c.initialURI);
        EXPECT_EQ(driver.Action("ConnectionClosed"), S_OK);
        EXPECT_EQ(Record(driver.Number()), nullptr);
    }
}

TEST_F(GssTest, EncryptionOnlyFromTheSwitchOrAnInvalidPolicy)
{
    Policies("{'GVXMode': 1, 'ServerSessionKeyMode': 1}");
    BrokerTokens::SetFallbackURIs({"kerberos:", "tok:a"});
    CModelEncryptionOnlyMode* eom = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelEncryptionOnlyMode>::New(&eom), S_OK);
    eom->SetEncryptionOnlyMode(true);
    GssDriver forced = Driver();
    ASSERT_EQ(forced.Start(), S_OK);
    EXPECT_EQ(forced.Config(), "sr-ecdhe");
    EXPECT_EQ(RecordTokenURI(forced.Number()), "eom:");
    eom->SetEncryptionOnlyMode(false);
    static_cast<IGUIModelEncryptionOnlyMode*>(eom)->Release();
    // The stored configuration keeps its mode.
    ZELK_IPolicy* gvx = nullptr;
    ASSERT_EQ(ZELK_PolOpen("Common/GVX", &gvx), S_OK);
    EXPECT_EQ(gvx->GetDWORD("GVXMode"), 1u);
    gvx->Release();

    BrokerTokens::SetPolicyResult(E_FAIL);
    GssDriver invalid = Driver();
    ASSERT_EQ(invalid.Start(), S_OK);
    EXPECT_EQ(invalid.Config(), "sr-ecdhe");
}

TEST_F(GssTest, SmartModeProbesKerberosAtTheStart)
{
    Policies("{'GVXMode': 1, 'GVXModeSmartTryKerberosFirst': 1}");
    BrokerTokens::SetFallbackURIs({"kerberos:", "tok:a"});
    GssDriver works = Driver(Target("CN=host.example.com:443"));
    ASSERT_EQ(works.Start(), S_OK);
    EXPECT_EQ(works.Config(), "sr-ecdhe:kerberos");
    EXPECT_TRUE(works.GotTicket());
    EXPECT_EQ(RecordTokenURI(works.Number()), "kerberos:");
    EXPECT_EQ(FakeKerberos::Count("ticket QEV/host.example.com"), 1u);

    FakeKerberos::TicketResult(ZELK_RC(0xA2600202));
    GssDriver fails = Driver();
    ASSERT_EQ(fails.Start(), S_OK);
    EXPECT_EQ(fails.Config(), "sr-ecdhe:cl-rsa");
    CModelApplicationConnection* record = Record(fails.Number());
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(record->HasTokenURIStartingWith("kerberos"));
    EXPECT_TRUE(record->HasTokenURIStartingWith("tok:"));
    static_cast<ZELK::PSESVC::IGUIModelApplicationConnection*>(record)->Release();
}

TEST_F(GssTest, SessionKeyExitFlagsFromProcessLists)
{
    // The lists come with each application's policy, chained before "Common/GVX".
    Policies("{'GVXMode': 1, 'ServerSessionKeyMode': 1}",
             "{'groups': {'user': {'applications': {"
             "'both': {'GssTargetName': 'CN=both', 'ServerSessionKeyReAuthAndInvalidateOnExit': 'mail, BROWSER',"
             " 'ServerSessionKeyInvalidateOnExit': 'browser'},"
             "'exit': {'GssTargetName': 'CN=exit', 'ServerSessionKeyInvalidateOnExit': 'Browser'},"
             "'none': {'GssTargetName': 'CN=none', 'ServerSessionKeyReAuthAndInvalidateOnExit': 'mail'}}}}}");
    BrokerTokens::SetFallbackURIs({"tok:a"});
    const struct {
        const char* target;
        bool reauthenticate;
        bool invalidate;
    } cases[] = {{"CN=both", true, true}, {"CN=exit", false, true}, {"CN=none", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        GssDriver driver = Driver(Target(c.target));
        ASSERT_EQ(driver.Start(), S_OK);
        CModelApplicationConnection* record = Record(driver.Number());
        ASSERT_NE(record, nullptr);
        EXPECT_TRUE(record->m_sessionKeyMode.load());
        EXPECT_EQ(record->m_reauthenticate.load(), c.reauthenticate);
        EXPECT_EQ(record->m_invalidateOnExit.load(), c.invalidate);
        static_cast<ZELK::PSESVC::IGUIModelApplicationConnection*>(record)->Release();
    }
}

struct OrderCase {
    const char* name;
    std::string gvx;
    bool kerberosWins;
};

TEST_F(GssTest, CredentialOrderPerMode)
{
    const OrderCase cases[] = {
        {"compatibility tries Kerberos first", "{'GVXMode': 0}", true},
        {"smart tries X.509 first", "{'GVXMode': 1}", false},
        {"encryption-only mode tries Kerberos first", "{'GVXMode': 2}", true},
    };
    Policies("{}");
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.gvx);
        User(0, "tok:user0");
        BrokerTokens::SetFallbackURIs({"kerberos:", "tok:user0"});
        GssDriver driver = Driver();
        ASSERT_EQ(driver.Start(), S_OK);
        // Encryption-only mode leaves only "eom:" to the client.
        if (c.gvx == "{'GVXMode': 2}") {
            EXPECT_EQ(driver.GetCredentials(), S_OK);
            EXPECT_FALSE(driver.GotTicket());
            EXPECT_EQ(driver.CredentialURI(), "");
            continue;
        }
        EXPECT_EQ(driver.GetCredentials(), S_OK);
        EXPECT_EQ(driver.GotTicket(), c.kerberosWins);
        EXPECT_EQ(driver.CredentialURI(), c.kerberosWins ? "" : "tok:user0");
        if (!c.kerberosWins) {
            bool verified = false;
            EXPECT_EQ(driver.Sign("handshake digest", false, verified), S_OK);
            EXPECT_TRUE(verified);
        }
        EXPECT_EQ(driver.Action("ConnectionOpened"), S_OK);
        EXPECT_EQ(driver.Action("ConnectionClosed"), S_OK);
    }
}

TEST_F(GssTest, CancelsAndFallbacks)
{
    Policies("{'GVXMode': 1}");
    User(0, "tok:user0");
    User(1, "tok:user1");
    BrokerTokens::SetFallbackURIs({"kerberos:", "tok:user0", "tok:user1"});
    struct Case {
        const char* name;
        HRESULT cancel;  // 0: the dialog confirms without an element
        bool serverKerberos;
        int encryptionOnly;
        HRESULT result;
        bool ticket;
        std::string tokenURI;  // the record's afterwards
    } cases[] = {
        {"dialog cancel", kDialogCancel, false, -1, E_PSE_CANCELLED, false, ""},
        {"abort", E_ABORT, false, -1, E_PSE_CANCELLED, false, ""},
        {"credential dialog cancel code", ZELK_RC(0xA7F00019), false, -1, E_PSE_CANCELLED, false, ""},
        {"cancel, then Kerberos", kDialogCancel, true, -1, S_OK, true, "kerberos:"},
        {"cancel, then encryption-only", kDialogCancel, false, 0, S_OK, false, "eom:"},
        {"server refuses encryption-only", kDialogCancel, false, 1, E_PSE_CANCELLED, false, ""},
        {"confirmed without an element", S_OK, false, -1, S_OK, false, ""},
        {"confirmed without an element, then Kerberos", S_OK, true, -1, S_OK, true, "kerberos:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cancel == S_OK)
            SelectionScript::ConfirmNothing();
        else
            SelectionScript::Cancel(c.cancel);
        ServerOffer offer;
        offer.kerberos = c.serverKerberos;
        offer.encryptionOnly = c.encryptionOnly;
        GssDriver driver = Driver(offer);
        ASSERT_EQ(driver.Start(), S_OK);
        EXPECT_EQ(driver.GetCredentials(), c.result);
        EXPECT_EQ(driver.GotTicket(), c.ticket);
        EXPECT_EQ(driver.CredentialURI(), "");
        EXPECT_EQ(RecordTokenURI(driver.Number()), c.tokenURI);
        EXPECT_EQ(driver.Action("ConnectionClosed"), S_OK);
    }
    EXPECT_EQ(SelectionScript::Shown(), 8);
    EXPECT_TRUE(BrokerTokens::Calls().empty());
}

TEST_F(GssTest, HeadlessSeveralCandidatesFailWithoutACancel)
{
    Policies("{'GVXMode': 1}");
    User(0, "tok:user0");
    User(1, "tok:user1");
    BrokerTokens::SetFallbackURIs({"tok:user0", "tok:user1"});
    SelectionScript::Headless();
    GssDriver driver = Driver();
    ASSERT_EQ(driver.Start(), S_OK);
    EXPECT_EQ(driver.GetCredentials(), S_OK);
    EXPECT_EQ(driver.CredentialURI(), "");
    EXPECT_EQ(RecordTokenURI(driver.Number()), "");
}

TEST_F(GssTest, TheUsersChoiceIsTheCredential)
{
    Policies("{'GVXMode': 1}");
    // One token with two certificates: the user picks the second.
    User(0, "tok:shared");
    User(1, "tok:shared");
    User(2, "tok:other");
    BrokerTokens::SetFallbackURIs({"tok:shared", "tok:other"});
    SelectionScript::Pick(1);
    GssDriver driver = Driver();
    ASSERT_EQ(driver.Start(), S_OK);
    ASSERT_EQ(driver.GetCredentials(), S_OK);
    EXPECT_EQ(SelectionScript::Shown(), 1);
    EXPECT_EQ(SelectionScript::LastCount(), 3u);
    CModelApplicationConnection* record = Record(driver.Number());
    ASSERT_NE(record, nullptr);
    PersonalCertificateInfo* selected = nullptr;
    record->GetSelectedPCI(&selected);
    static_cast<ZELK::PSESVC::IGUIModelApplicationConnection*>(record)->Release();
    ASSERT_NE(selected, nullptr);
    EXPECT_STREQ(selected->keyId, "key1");
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->free(selected);
    EXPECT_EQ(BrokerTokens::Count("tok:shared 0"), 1u);
    // The signature comes from the chosen certificate's key.
    bool verified = false;
    EXPECT_EQ(driver.Sign("handshake", false, verified), S_OK);
    EXPECT_TRUE(verified);
    std::string own;
    EXPECT_EQ(driver.OwnCertificate(own), S_OK);
    EXPECT_EQ(own, "tok:shared");
    EXPECT_EQ(driver.Decrypt(false), E_TOKEN_NOTFOUND);
    EXPECT_EQ(driver.Action("ConnectionOpened"), S_OK);
    EXPECT_EQ(BrokerTokens::Count("done tok:shared"), 1u);
}

TEST_F(GssTest, CandidatesWithoutDialog)
{
    Policies("{'GVXMode': 1}");
    User(0, "tok:user0");
    User(1, "tok:user1");
    // The server names none of the issuers: no candidate, Kerberos follows.
    BrokerTokens::SetFallbackURIs({"kerberos:", "tok:user0", "tok:user1"});
    ServerOffer nobody;
    nobody.issuers = {"CN=Nobody"};
    GssDriver none = Driver(nobody);
    ASSERT_EQ(none.Start(), S_OK);
    EXPECT_EQ(none.GetCredentials(), S_OK);
    EXPECT_TRUE(none.GotTicket());
    // The server names one issuer: one candidate, no dialog.
    ServerOffer one;
    one.kerberos = false;
    one.issuers = {"CN=User 1"};
    GssDriver single = Driver(one);
    ASSERT_EQ(single.Start(), S_OK);
    EXPECT_EQ(single.GetCredentials(), S_OK);
    EXPECT_EQ(single.CredentialURI(), "tok:user1");
    EXPECT_EQ(SelectionScript::Shown(), 0);
}

TEST_F(GssTest, ReauthenticationOncePerConnectionOnTheX509Path)
{
    Policies("{'GVXMode': 1}", "{'groups': {'user': {'applications': {'app': {'GssTargetName': 'CN=server', "
                               "'ReAuthentication': 1}}}}}");
    User(0, "tok:user0");
    BrokerTokens::SetFallbackURIs({"tok:user0"});
    GssDriver driver = Driver();
    ASSERT_EQ(driver.Start(), S_OK);
    // One token URI: the token is known from the start, no container, no dialog.
    EXPECT_EQ(RecordTokenURI(driver.Number()), "tok:user0");
    EXPECT_EQ(driver.GetCredentials(), S_OK);
    EXPECT_EQ(driver.CredentialURI(), "tok:user0");
    EXPECT_EQ(BrokerTokens::Count("tok:user0 3"), 1u);
    EXPECT_EQ(driver.GetCredentials(), S_OK);
    EXPECT_EQ(BrokerTokens::Count("tok:user0 3"), 1u);
    EXPECT_EQ(BrokerTokens::Count("tok:user0 0"), 0u);

    // The Kerberos path keeps the flag: every attempt logs in again.
    BrokerTokens::SetFallbackURIs({"kerberos:"});
    GssDriver kerberos = Driver();
    ASSERT_EQ(kerberos.Start(), S_OK);
    EXPECT_EQ(kerberos.GetCredentials(), S_OK);
    EXPECT_EQ(kerberos.GetCredentials(), S_OK);
    EXPECT_EQ(FakeKerberos::Count("verb.reauth"), 2u);
    FakeKerberos::ReauthResult(E_ABORT);
    EXPECT_EQ(kerberos.GetCredentials(), E_PSE_CANCELLED);
}

TEST_F(GssTest, UnknownConnectionNumbersAndLateActions)
{
    Policies("{'GVXMode': 1}");
    User(0, "tok:user0");
    BrokerTokens::SetFallbackURIs({"tok:user0"});
    GssDriver unknown = Driver();
    unknown.SetNumber(987654);
    EXPECT_EQ(unknown.GetCredentials(), S_OK);
    EXPECT_EQ(unknown.CredentialURI(), "");
    EXPECT_EQ(unknown.TempKeyFlag(), -1);
    EXPECT_EQ(unknown.GetTempKey(), S_OK);
    EXPECT_FALSE(unknown.GotTempKey());
    bool verified = false;
    EXPECT_EQ(unknown.Sign("x", false, verified), kNoCredential);
    EXPECT_EQ(unknown.Decrypt(true), kNoCredential);
    int trusted = 0;
    EXPECT_EQ(unknown.ManualServerTrust(trusted), S_OK);
    EXPECT_EQ(trusted, -1);

    GssDriver driver = Driver();
    ASSERT_EQ(driver.Start(), S_OK);
    // A name differing only in case is no action.
    EXPECT_EQ(driver.Action("connectionclosed"), S_OK);
    ASSERT_NE(RecordTokenURI(driver.Number()), "<none>");
    EXPECT_EQ(driver.ManualServerTrust(trusted), S_OK);
    EXPECT_EQ(trusted, 0);
    EXPECT_EQ(driver.Action("ConnectionHandshakeError"), S_OK);
    EXPECT_EQ(RecordTokenURI(driver.Number()), "<none>");
    EXPECT_EQ(driver.Action("ConnectionClosed"), S_OK);
    EXPECT_EQ(driver.GetCredentials(), S_OK);
    EXPECT_EQ(driver.CredentialURI(), "");
}

TEST_F(GssTest, SessionKeysReuseTheCertificateAndCachedSignatures)
{
    Policies("{'GVXMode': 1, 'ServerSessionKeyMode': 1}");
    User(0, "tok:user0");
    User(1, "tok:user1");
    BrokerTokens::SetFallbackURIs({"tok:user0", "tok:user1"});
    SelectionScript::Pick(1);
    GssDriver first = Driver();
    ASSERT_EQ(first.Start(), S_OK);
    ASSERT_EQ(first.GetCredentials(), S_OK);
    EXPECT_EQ(first.CredentialURI(), "tok:user1");
    EXPECT_EQ(first.TempKeyFlag(), 1);
    ASSERT_EQ(first.GetTempKey(), S_OK);
    ASSERT_TRUE(first.GotTempKey());
    bool verified = false;
    ASSERT_EQ(first.Sign("session key", false, verified), S_OK);
    EXPECT_TRUE(verified);
    ASSERT_EQ(first.Sign("temporary", true, verified), S_OK);
    EXPECT_TRUE(verified);
    EXPECT_EQ(first.Action("ConnectionOpened"), S_OK);

    // A later connection to the same server: no dialog, no login, no token.
    GssDriver second = Driver();
    ASSERT_EQ(second.Start(), S_OK);
    ASSERT_EQ(second.GetCredentials(), S_OK);
    EXPECT_EQ(second.CredentialURI(), "tok:user1");
    EXPECT_EQ(SelectionScript::Shown(), 1);
    EXPECT_EQ(BrokerTokens::Count("tok:user1 0"), 1u);
    CaptureTrace(3);
    unsigned long needed = 0;
    EXPECT_EQ(second.Sign("session key", false, verified, 8, &needed), E_COMMON_BUFFERTOOSMALL);
    EXPECT_GT(needed, 8u);
    EXPECT_EQ(second.Sign("session key", false, verified), S_OK);
    EXPECT_TRUE(verified);
    EXPECT_EQ(BrokerTokens::Count("sign tok:user1"), 1u);
    EXPECT_EQ(CountTrace("using a cached signature"), 1u);
    std::string own;
    EXPECT_EQ(second.OwnCertificate(own), S_OK);
    EXPECT_EQ(own, "tok:user1");
    first.Action("ConnectionClosed");
    second.Action("ConnectionClosed");
}

struct LifetimeCase {
    const char* name;
    std::string gvx;
    int64_t requested;
    bool eom;
    uint64_t lifetime;  // 0: never expires
};

TEST_F(GssTest, TemporaryKeyLifetimes)
{
    const LifetimeCase cases[] = {
        {"unset", "{'ServerSessionKeyMode': 1, 'GVXMode': 1}", -1, false, 900},
        {"ten minutes are raised", "{'ServerSessionKeyMode': 1, 'GVXMode': 1, 'ServerSessionKeyTTL': 10}", -1, false,
         900},
        {"595 minutes", "{'ServerSessionKeyMode': 1, 'GVXMode': 1, 'ServerSessionKeyTTL': 595}", -1, false, 35700},
        {"requested", "{'ServerSessionKeyMode': 1, 'GVXMode': 1, 'ServerSessionKeyTTL': 595}", 1200, false, 1200},
        {"encryption-only", "{'ServerSessionKeyMode': 1, 'GVXMode': 1}", 1200, true, 0},
    };
    Policies("{}");
    int n = 0;
    for (const LifetimeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.gvx);
        User(0, "tok:user0");
        BrokerTokens::SetFallbackURIs({c.eom ? "eom:" : "tok:user0"});
        ServerOffer offer;
        offer.target = "CN=lifetime" + std::to_string(n++);
        offer.lifetime = c.requested;
        offer.encryptionOnly = 0;
        GssDriver driver = Driver(offer);
        ASSERT_EQ(driver.Start(), S_OK);
        ASSERT_EQ(driver.GetCredentials(), S_OK);
        const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
        ASSERT_EQ(driver.GetTempKey(), S_OK);
        const uint64_t after = static_cast<uint64_t>(std::time(nullptr));
        CModelApplicationConnection* record = Record(driver.Number());
        ASSERT_NE(record, nullptr);
        CModelApplicationTempKey* key = nullptr;
        record->GetTempKey(&key);
        static_cast<ZELK::PSESVC::IGUIModelApplicationConnection*>(record)->Release();
        ASSERT_NE(key, nullptr);
        bool verified = false;
        EXPECT_EQ(driver.Sign("x", true, verified), S_OK);
        SECAttribute named {};
        named.id = SEC_ATTR_TEMP_KEY;
        named.value = driver.TempKey();
        named.type = SEC_TypeTable(fptr__common_types, SEC_TYPE_KeyInfo);
        auto pair = key->GetTempKeyInfo(&named, c.eom);
        key->Release();
        ASSERT_NE(pair, nullptr);
        if (c.lifetime == 0) {
            EXPECT_EQ(pair->expiry, 0u);
        } else {
            EXPECT_GE(pair->expiry, before + c.lifetime);
            EXPECT_LE(pair->expiry, after + c.lifetime + 2);
        }
        driver.Action("ConnectionClosed");
    }
}

TEST_F(GssTest, ConcurrentConnectionsEachGetTheirOwnCredential)
{
    constexpr int kConnections = 32;
    std::string apps;
    for (int i = 0; i < kConnections; ++i)
        apps += (i ? ", " : "") + std::string("'app") + std::to_string(i) + "': {'GssTargetName': 'CN=server"
                + std::to_string(i) + "'}";
    Policies("{'GVXMode': 1}", "{'groups': {'user': {'applications': {" + apps + "}}}}");
    for (int i = 0; i < kConnections; ++i) {
        User(i, "tok:user" + std::to_string(i));
        BrokerTokens::SetURIs("groups/user/applications/app" + std::to_string(i), {"tok:user" + std::to_string(i)});
    }
    std::vector<std::string> got(kConnections);
    std::vector<int> verified(kConnections, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) {
        threads.emplace_back([&, i] {
            CModelClients::ClientActive(kProcess, kPid);
            ServerOffer offer;
            offer.target = "CN=server" + std::to_string(i);
            offer.kerberos = false;
            GssDriver driver(m_pse, offer);
            if (FAILED(driver.Start()) || FAILED(driver.GetCredentials()))
                return;
            got[i] = driver.CredentialURI();
            bool ok = false;
            driver.Sign("digest " + std::to_string(i), false, ok);
            verified[i] = ok ? 1 : 0;
            driver.Action("ConnectionOpened");
            driver.Action("ConnectionClosed");
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kConnections; ++i) {
        EXPECT_EQ(got[i], "tok:user" + std::to_string(i)) << i;
        EXPECT_EQ(verified[i], 1) << i;
    }
    EXPECT_EQ(SelectionScript::Shown(), 0);
}

std::atomic<int> s_profileLogouts {0};

int ProfileLogout(unsigned long)
{
    ++s_profileLogouts;
    return 0;
}

TEST_F(GssTest, TheLastConnectionOfAProfileStartsItsAutoLogout)
{
    using ZELK::PSESVC::CModelToken;
    using ZELK::PSESVC::CModelTokens;
    using ZELK::PSESVC::CTaskManager;
    const std::string profile = "toksw:mem://kestrin/Work";
    const std::string task = "CToken_KV::LogoutTask(Work)";
    Policies("{'GVXMode': 1}");
    User(0, profile);
    BrokerTokens::SetFallbackURIs({profile});
    // The profile's row names its logout task, which runs only by name.
    CTaskManager* tasks = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CTaskManager>::New(&tasks), S_OK);
    s_profileLogouts = 0;
    ASSERT_EQ(tasks->AddTask(task.c_str(), &ProfileLogout, 0, CTaskManager::kNever, 0, false), S_OK);
    CModelToken* row = nullptr;
    ASSERT_EQ(CModelTokens::NewTokenInfo(profile.c_str(), &row), S_OK);
    row->SetAutoLogoutTask(task.c_str());
    ASSERT_EQ(CModelTokens::RegisterToken(row), S_OK);

    GssDriver first = Driver(Target("CN=mail0"));
    GssDriver second = Driver(Target("CN=mail1"));
    for (GssDriver* driver : {&first, &second}) {
        ASSERT_EQ(driver->Start(), S_OK);
        ASSERT_EQ(driver->GetCredentials(), S_OK);
        ASSERT_EQ(driver->CredentialURI(), profile);
        EXPECT_EQ(driver->Action("ConnectionOpened"), S_OK);
    }
    EXPECT_EQ(first.Action("ConnectionClosed"), S_OK);
    EXPECT_EQ(s_profileLogouts.load(), 0);
    EXPECT_EQ(second.Action("ConnectionClosed"), S_OK);
    EXPECT_TRUE(WaitFor([] { return s_profileLogouts == 1; }));
    // A close the broker sees again unregisters nothing and logs out nobody.
    EXPECT_EQ(second.Action("ConnectionClosed"), S_OK);
    EXPECT_FALSE(WaitFor([] { return s_profileLogouts > 1; }, std::chrono::milliseconds(300)));
    static_cast<ZELK::PSESVC::IGUIModelToken*>(row)->Release();
    tasks->Release();
}

}  // namespace
}  // namespace kestrin::service::test
