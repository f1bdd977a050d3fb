// Profile tokens that log in against the test enrolment server through the
// real enrolment client of module "zelkkvlogin": a password typed into the
// scripted dialog, and SPNEGO with a ticket of the test KDC. The server
// issues the certificate; openssl checks the chain and the signatures of the
// identity installed in the in-memory software token and the key store.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "enrol_server.h"
#include "kdc_fixture.h"
#include "keystore.h"
#include "qev_pse.h"
#include "token_fixture.h"
#include "tokens/token_kv.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace kestrin::tokens::test {
namespace {

using kestrin::testsupport::Base64Decode;
using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::KdcFixture;
using service::test::Dialogs;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::ICredUI;

API_COMMON* s_pse = nullptr;
CLoadAPI s_loadPse(nullptr, "SEC_PSE_1", &s_pse);

KdcFixture* s_kdc = nullptr;
EnrolServer* s_server = nullptr;

std::string PemBody(const std::string& pem)
{
    std::string body;
    std::istringstream in(pem);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("-----", 0) != 0)
            body += line;
    return body;
}

std::vector<keystore::Identity> StoreIdentities()
{
    std::unique_ptr<keystore::KeyStore> store;
    std::vector<keystore::Identity> identities;
    if (SUCCEEDED(keystore::KeyStore::Open({}, &store)))
        store->ListIdentities(&identities);
    return identities;
}

class KVServerTest : public TokenTest {
protected:
    static void SetUpTestSuite()
    {
        s_kdc = new KdcFixture();
        s_server = new EnrolServer();
        std::string error;
        if (!s_kdc->Start(error) || !s_server->Start(error, s_kdc))
            ADD_FAILURE() << error;
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        delete s_kdc;
        s_server = nullptr;
        s_kdc = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_server, nullptr);
        s_kdc->ExportToProcess();
        TokenTest::SetUp();
        setenv("XDG_DATA_HOME", (m_config + "/data").c_str(), 1);
        // The enrolment client trusts the server through the test CA's root
        // in the user's key store.
        std::unique_ptr<keystore::KeyStore> store;
        ASSERT_EQ(keystore::KeyStore::Open({}, &store), S_OK);
        const std::string root = Base64Decode(PemBody(s_server->ReadFile("root")));
        ASSERT_EQ(
            store->SetTrustSetting(keystore::TrustDomain::User,
                                   std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(root.data()), root.size()),
                                   keystore::TrustSetting::Trusted),
            S_OK);
        // An identity a failed test left behind would be taken for this one's.
        store->DeleteIdentitiesByPrintName("QEV Kestrin ", keystore::NameMatch::Prefix);
        ASSERT_TRUE(s_server->Reset());
    }

    void TearDown() override
    {
        for (ICredUI* dialog : m_dialogs)
            dialog->Release();
        m_dialogs.clear();
        if (m_token != nullptr)
            static_cast<CToken*>(m_token)->Release();
        m_token = nullptr;
        if (m_memory != nullptr)
            m_memory->Release();
        m_memory = nullptr;
        TokenTest::TearDown();
    }

    void Policy(const std::string& entries)
    {
        static uint32_t s_round = 0;
        ++s_round;
        WritePlist("{" + entries + ", 'written': {'round': " + std::to_string(s_round) + "}}");
        WaitForPolicy("written", "round", s_round);
    }

    // The profile token over the library's in-memory software token.
    CToken_KV* Make(const std::string& profile)
    {
        const std::string reader = "toksw:mem://kestrin/" + profile;
        SecSlot* slot = nullptr;
        EXPECT_EQ(ZELK_ApiCast<SEC_PSE_TABLE>(s_pse)->getSlot(&slot, reader.c_str()), S_OK);
        if (slot == nullptr)
            return nullptr;
        EXPECT_EQ(slot->getToken(&m_memory), S_OK);
        slot->Release();
        CToken* token = nullptr;
        EXPECT_EQ(CToken_KV::New(reader.c_str(), &token), S_OK);
        m_token = static_cast<CToken_KV*>(token);
        if (m_token != nullptr) {
            EXPECT_EQ(m_token->Init(m_memory, nullptr, reader.c_str()), S_OK);
        }
        return m_token;
    }

    ICredUI* NewDialog()
    {
        ICredUI* dialog = nullptr;
        EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
        if (dialog != nullptr)
            m_dialogs.push_back(dialog);
        return dialog;
    }

    std::string Path(const std::string& name) const { return m_config + "/" + name; }

    // The key-store identity of the profile: its certificate is the one the
    // server issued, verified up to the test root by openssl.
    keystore::Identity ExpectIssuedIdentity(const std::string& profile)
    {
        const std::vector<keystore::Identity> identities = StoreIdentities();
        EXPECT_EQ(identities.size(), 1u);
        if (identities.empty())
            return {};
        EXPECT_EQ(identities[0].printName, "QEV Kestrin (" + profile + ")");
        const std::vector<uint8_t>& der = identities[0].certificate;
        WriteFile(Path("issued.der"), std::string(der.begin(), der.end()));
        EXPECT_EQ(Shell("openssl x509 -inform DER -in " + Path("issued.der") + " -out " + Path("issued.pem")), 0);
        EXPECT_EQ(Shell("openssl x509 -in " + Path("issued.pem") + " -pubkey -noout -out " + Path("issued.pub")), 0);
        EXPECT_EQ(Shell("openssl verify -CAfile " + s_server->File("root") + " -untrusted " + s_server->File("inter")
                        + " " + Path("issued.pem")),
                  0);
        return identities[0];
    }

    // Signs with the in-memory token and with the key store; openssl checks
    // both signatures with the issued certificate's key.
    void ExpectSignaturesVerify(const keystore::Identity& identity)
    {
        const std::string message = "signed by the enrolled identity";
        WriteFile(Path("message.txt"), message);
        // sha256WithRSAEncryption
        unsigned char oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
        ObjId objid {sizeof oid, oid};
        AlgId algorithm {&objid, nullptr};
        unsigned char signature[1024];
        unsigned long length = sizeof signature;
        ASSERT_EQ(m_token->Sign("01", &algorithm, false, reinterpret_cast<const unsigned char*>(message.data()),
                                message.size(), signature, &length, nullptr),
                  S_OK);
        WriteFile(Path("token.sig"), std::string(reinterpret_cast<char*>(signature), length));
        EXPECT_EQ(Shell("openssl dgst -sha256 -verify " + Path("issued.pub") + " -signature " + Path("token.sig") + " "
                        + Path("message.txt")),
                  0);

        std::unique_ptr<keystore::KeyStore> store;
        ASSERT_EQ(keystore::KeyStore::Open({}, &store), S_OK);
        std::vector<uint8_t> stored;
        ASSERT_EQ(
            store->Sign(identity.sha1, keystore::Digest::Sha256, keystore::SignPadding::Pkcs1,
                        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(message.data()), message.size()),
                        &stored),
            S_OK);
        WriteFile(Path("store.sig"), std::string(stored.begin(), stored.end()));
        EXPECT_EQ(Shell("openssl dgst -sha256 -verify " + Path("issued.pub") + " -signature " + Path("store.sig") + " "
                        + Path("message.txt")),
                  0);
    }

    // Logout takes the identity out of the in-memory token and the key store.
    void ExpectLogoutRemovesIt()
    {
        EXPECT_EQ(m_token->Logout(nullptr), S_OK);
        EXPECT_TRUE(m_token->NeedLogin());
        EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_PRIVATE_KEY), 0u);
        EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE), 0u);
        EXPECT_TRUE(StoreIdentities().empty());
    }

    CToken_KV* m_token = nullptr;
    SecToken* m_memory = nullptr;
    std::vector<ICredUI*> m_dialogs;
};

TEST_F(KVServerTest, APasswordLoginInstallsTheIssuedIdentityAndLogoutRemovesIt)
{
    Policy("'profiles': {'srv': {'enrollURL0': '" + s_server->Url("good", "/KestrinServer/kvc1/enrol") + "'}}");
    ASSERT_NE(Make("srv"), nullptr);
    Dialogs::PresetValue(8, "alice");
    Dialogs::PresetValue(1, "secret");
    ASSERT_EQ(m_token->Login(NewDialog()), S_OK);
    EXPECT_FALSE(m_token->NeedLogin());

    // Initialisation, then the password with the certificate request.
    const nlohmann::json requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string auth = EnrolServer::Body(requests[1]);
    EXPECT_NE(auth.find("<Username>alice</Username>"), std::string::npos) << auth;
    EXPECT_NE(auth.find("<PKCS10>"), std::string::npos) << auth;

    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_PRIVATE_KEY, "01", "SKnew"), 1u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, "01"), 1u);
    const keystore::Identity identity = ExpectIssuedIdentity("srv");
    ExpectSignaturesVerify(identity);
    ExpectLogoutRemovesIt();
}

TEST_F(KVServerTest, ASpnegoLoginCarriesATicketTheServerAccepts)
{
    ASSERT_TRUE(s_kdc->Kinit("alice", s_kdc->Keytab("alice")));
    Policy("'profiles': {'krb': {'enrollURL0': '" + s_server->Url("good", "/negotiate/KestrinServer/kvc1/enrol")
           + "', 'PseType': 'kerberoslogin'}}");
    ASSERT_NE(Make("krb"), nullptr);
    ASSERT_EQ(m_token->Login(NewDialog()), S_OK);
    EXPECT_FALSE(m_token->NeedLogin());
    // Every request carried a token that the server's gss_accept_sec_context
    // took with the "HTTP/localhost" keytab, as alice's.
    const nlohmann::json accepted = s_server->SpnegoAccepted();
    ASSERT_FALSE(accepted.empty());
    for (const auto& entry : accepted) {
        EXPECT_EQ(entry["principal"], "alice@KESTRIN.TEST");
    }
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_PRIVATE_KEY, "01", "SKnew"), 1u);
    const keystore::Identity identity = ExpectIssuedIdentity("krb");
    ExpectSignaturesVerify(identity);
    ExpectLogoutRemovesIt();
}

}  // namespace
}  // namespace kestrin::tokens::test
