// The enrolled identity in the in-memory software token and the key store:
// objects and labels, one key-store identity per profile, signatures checked
// by openssl, validity margins, results that do not decode, logout and
// re-login, and the GSS target names a profile serves in the token model.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "applications.h"
#include "keystore.h"
#include "model/model_tokens.h"
#include "qev_pse.h"
#include "token_kv_fixture.h"
#include "zelk_module.h"

namespace kestrin::tokens::test {
namespace {

using service::test::Dialogs;
using ZELK::PSESVC::CApplications;
using ZELK::PSESVC::CModelToken;
using ZELK::PSESVC::CModelTokens;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::IGUIModelToken;

API_COMMON* s_pse = nullptr;
CLoadAPI s_loadPse(nullptr, "SEC_PSE_1", &s_pse);

// A certificate for "user"'s key issued by "ca" through `openssl ca`, which
// alone sets any start and end; the DER file's name.
std::string IssuedCert(const std::string& name, const std::string& subject, const std::string& start,
                       const std::string& end)
{
    const TokenPki& pki = TokenPki::Get();
    const std::string d = pki.Path("ca-" + name);
    Shell("mkdir -p " + d);
    WriteFile(d + "/index.txt", "");
    WriteFile(d + "/serial", "1000\n");
    std::ofstream(d + "/ca.cnf") << "[ca]\ndefault_ca=CA_default\n[CA_default]\ndir=" << d << "\ndatabase=" << d
                                 << "/index.txt\nnew_certs_dir=" << d << "\nserial=" << d
                                 << "/serial\ndefault_md=sha256\npolicy=any\n[any]\ncommonName=optional\n"
                                    "organizationName=optional\n";
    Shell("openssl req -new -key " + pki.Path("user.key") + " -subj '" + subject + "' -out " + d + "/x.csr");
    Shell("openssl ca -batch -notext -config " + d + "/ca.cnf -cert " + pki.Path("ca.pem") + " -keyfile "
          + pki.Path("ca.key") + " -in " + d + "/x.csr -out " + d + "/x.pem -startdate " + start + " -enddate " + end);
    Shell("openssl x509 -in " + d + "/x.pem -outform DER -out " + pki.Path(name + ".der"));
    return name;
}

std::vector<std::string> StoreIdentities()
{
    std::unique_ptr<keystore::KeyStore> store;
    EXPECT_EQ(keystore::KeyStore::Open({}, &store), S_OK);
    std::vector<keystore::Identity> identities;
    if (store)
        store->ListIdentities(&identities);
    std::vector<std::string> names;
    for (const auto& identity : identities)
        names.push_back(identity.printName);
    return names;
}

// A profile token over a token double with its row in the token model, as
// the token manager makes them.
class ModelledProfile {
public:
    explicit ModelledProfile(const std::string& profile) : m_reader("toksw:mem://kestrin/" + profile)
    {
        CToken* made = nullptr;
        EXPECT_EQ(CToken_KV::New(m_reader.c_str(), &made), S_OK);
        m_token = static_cast<CToken_KV*>(made);
        EXPECT_EQ(CModelTokens::NewTokenInfo(m_reader.c_str(), &m_row), S_OK);
        if (m_row != nullptr) {
            EXPECT_EQ(CModelTokens::RegisterToken(m_row), S_OK);
        }
        m_double = NewToken(m_reader, {});
        if (m_token != nullptr) {
            EXPECT_EQ(m_token->Init(m_double, m_row, m_reader.c_str()), S_OK);
        }
    }
    ~ModelledProfile()
    {
        if (m_token != nullptr)
            static_cast<CToken*>(m_token)->Release();
        CModelTokens* rows = nullptr;
        if (SUCCEEDED(CSingletonFactoryImpl<CModelTokens>::New(&rows)) && rows != nullptr) {
            rows->DelToken(m_reader.c_str());
            rows->Release();
        }
        if (m_row != nullptr)
            static_cast<IGUIModelToken*>(m_row)->Release();
        m_double->Release();
    }
    ModelledProfile(const ModelledProfile&) = delete;
    ModelledProfile& operator=(const ModelledProfile&) = delete;

    CToken_KV* Token() const { return m_token; }
    // The target names the model shows for the token.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (unsigned long i = 0; m_row != nullptr && i < m_row->GetGVXNameCount(); ++i)
            names.emplace_back(m_row->GetGVXName(i));
        return names;
    }

private:
    std::string m_reader;
    CToken_KV* m_token = nullptr;
    CModelToken* m_row = nullptr;
    qevtest::FakeToken* m_double = nullptr;
};

// The profile the application policy remembers for a GSS target name, "" for none.
std::string ProfileOfTarget(const char* target)
{
    CApplications* applications = nullptr;
    if (FAILED(CSingletonFactoryImpl<CApplications>::New(&applications)) || applications == nullptr)
        return "<no applications>";
    char* profile = nullptr;
    std::string out;
    if (applications->GetProfileByGssTargetName(target, &profile) == S_OK && profile != nullptr)
        out = profile;
    sec_free(profile);
    applications->Release();
    return out;
}

class KVInstallTest : public TokenKVLoginTest {
protected:
    void SetUp() override
    {
        TokenKVLoginTest::SetUp();
        Policy("'profiles': {'p': {'enrollURL0': 'https://enrol.example', 'showErrorMsg': 1}}");
    }
    void TearDown() override
    {
        if (m_memory != nullptr)
            m_memory->Release();
        m_memory = nullptr;
        TokenKVLoginTest::TearDown();
    }

    // The profile token over the library's in-memory software token.
    CToken_KV* MakeInMemory()
    {
        const char* reader = "toksw:mem://kestrin/p";
        auto* pse = ZELK_ApiCast<SEC_PSE_TABLE>(s_pse);
        SecSlot* slot = nullptr;
        EXPECT_EQ(pse->getSlot(&slot, reader), S_OK);
        if (slot == nullptr)
            return nullptr;
        EXPECT_EQ(slot->getToken(&m_memory), S_OK);
        slot->Release();
        CToken* token = nullptr;
        EXPECT_EQ(CToken_KV::New(reader, &token), S_OK);
        m_token = static_cast<CToken_KV*>(token);
        EXPECT_EQ(m_token->Init(m_memory, nullptr, reader), S_OK);
        return m_token;
    }
    // One login straight to the final step.
    HRESULT LoginOnce()
    {
        KVScript::Steps({{S_OK, QM_STATE_DONE}});
        return m_token->Login(NewDialog());
    }

    SecToken* m_memory = nullptr;
};

TEST_F(KVInstallTest, TheIdentityGoesIntoTheTokenAndOnceIntoTheKeyStore)
{
    ASSERT_NE(MakeInMemory(), nullptr);
    // The chain repeats the own and the root certificate.
    KVScript::Identity(Pkcs8("user"), CertDer("user"), CertSet({"user", "ca", "other"}), CertDer("ca"));
    ASSERT_EQ(LoginOnce(), S_OK);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_PRIVATE_KEY), 1u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_PRIVATE_KEY, "01", "SKnew"), 1u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE), 3u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, "01", "user"), 1u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, nullptr, "root certificate"), 1u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, nullptr, "ca certificate"), 1u);
    EXPECT_EQ(StoreIdentities(), std::vector<std::string>({"QEV Kestrin (p)"}));
    EXPECT_FALSE(m_token->NeedLogin());

    KVScript::Reset();
    KVScript::Identity(Pkcs8("user"), CertDer("user"), CertSet({"ca"}), {});
    ASSERT_EQ(LoginOnce(), S_OK);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE), 2u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, "01", "user"), 1u);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, nullptr, "root certificate"), 0u);
    EXPECT_EQ(StoreIdentities(), std::vector<std::string>({"QEV Kestrin (p)"}));

    EXPECT_EQ(m_token->Logout(nullptr), S_OK);
    EXPECT_TRUE(m_token->NeedLogin());
    EXPECT_TRUE(StoreIdentities().empty());
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE), 0u);
}

// A logout from another thread (the browser monitor, the local API's deferred
// logout) while a finished client's identity is installed must not free the
// credentials the installation reads: it waits for the installation's end and
// then logs the profile out.
TEST_F(KVInstallTest, ALogoutDuringALoginFromAFinishedClientRunsWhenTheLoginEnds)
{
    ASSERT_NE(MakeInMemory(), nullptr);
    KVScript::Identity(Pkcs8("user"), CertDer("user"), CertSet({"ca"}), CertDer("ca"));
    int logouts = 0;
    KVScript::OnRequest("Get_Token", [&] {
        std::thread([&] { m_token->Logout(nullptr); }).join();
        ++logouts;
    });
    IKestrin* client = nullptr;
    ASSERT_EQ(m_token->GetNewKVHandle(&client), S_OK);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(m_token->LoginWithKVHandle(client), S_OK);
    client->Release();
    EXPECT_EQ(logouts, 1);
    EXPECT_TRUE(m_token->NeedLogin());
    EXPECT_TRUE(StoreIdentities().empty());
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE), 0u);

    // Without a logout the finished client logs the profile in.
    KVScript::Reset();
    KVScript::Identity(Pkcs8("user"), CertDer("user"), CertSet({"ca"}), CertDer("ca"));
    ASSERT_EQ(m_token->GetNewKVHandle(&client), S_OK);
    EXPECT_EQ(m_token->LoginWithKVHandle(client), S_OK);
    client->Release();
    EXPECT_FALSE(m_token->NeedLogin());
    EXPECT_EQ(StoreIdentities(), std::vector<std::string>({"QEV Kestrin (p)"}));
}

TEST_F(KVInstallTest, TheInstalledKeySignsForOpenssl)
{
    ASSERT_NE(MakeInMemory(), nullptr);
    UserIdentity();
    ASSERT_EQ(LoginOnce(), S_OK);
    const std::string message = "data to sign";
    WriteFile(TokenPki::Get().Path("kv-message.txt"), message);
    // sha256WithRSAEncryption
    unsigned char oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    ObjId objid {sizeof oid, oid};
    AlgId algorithm {&objid, nullptr};
    unsigned char signature[512];
    unsigned long length = sizeof signature;
    ASSERT_EQ(m_token->Sign("01", &algorithm, false, reinterpret_cast<const unsigned char*>(message.data()),
                            message.size(), signature, &length, nullptr),
              S_OK);
    WriteFile(TokenPki::Get().Path("kv-signature.bin"), std::string(reinterpret_cast<char*>(signature), length));
    EXPECT_EQ(Shell("openssl dgst -sha256 -verify " + TokenPki::Get().Path("user.pub") + " -signature "
                    + TokenPki::Get().Path("kv-signature.bin") + " " + TokenPki::Get().Path("kv-message.txt")),
              0);
}

TEST_F(KVInstallTest, ValidityMarginsAndLabels)
{
    ASSERT_NE(MakeInMemory(), nullptr);
    IssuedCert("kv-expired", "/O=Token Test/CN=old", "20200101000000Z", "20200102000000Z");
    IssuedCert("kv-future", "/O=Token Test/CN=later", "20990101000000Z", "20991231000000Z");
    IssuedCert("kv-hour", "/O=Token Test/CN=hour", "20200101000000Z", "20991231000000Z");
    IssuedCert("kv-nocn", "/O=Token Test", "20200101000000Z", "20991231000000Z");
    struct Case {
        const char* cert;
        unsigned long margin;
        bool valid;
    };
    const Case cases[] = {
        {"user", 0, true},       {"user", 3600, true},      {"user", 40 * 86400, false}, {"kv-expired", 0, false},
        {"kv-future", 0, false}, {"kv-future", 3600, true}, {"kv-hour", 0, true},        {"kv-nocn", 0, true},
    };
    for (const Case& c : cases) {
        Certificate* cert = TokenPki::Get().Cert(c.cert);
        ASSERT_NE(cert, nullptr) << c.cert;
        EXPECT_EQ(m_token->IsValidCert(cert, c.margin), c.valid) << c.cert << " " << c.margin;
        cert->Release();
    }
    EXPECT_FALSE(m_token->IsValidCert(nullptr, 0));

    // Installed all the same, with the user told; a subject without a name is
    // labelled "unknown".
    KVScript::Identity(Pkcs8("user"), CertDer("kv-expired"), CertSet({"ca"}), {});
    EXPECT_EQ(LoginOnce(), S_OK);
    EXPECT_EQ(Logged("update 7 " + Text("QM_CERT_INVALID")), 1u);
    KVScript::Reset();
    KVScript::Identity(Pkcs8("user"), CertDer("kv-nocn"), CertSet({"ca"}), {});
    EXPECT_EQ(LoginOnce(), S_OK);
    EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_CERTIFICATE, "01", "unknown"), 1u);
}

TEST_F(KVInstallTest, AResultThatDoesNotDecodeInstallsNothing)
{
    ASSERT_NE(MakeInMemory(), nullptr);
    UserIdentity();
    ASSERT_EQ(LoginOnce(), S_OK);
    std::vector<unsigned char> garbage {0x30, 0x03, 0x02, 0x01};
    const std::vector<std::vector<unsigned char>> keys {garbage, Pkcs8("user"), Pkcs8("user")};
    const std::vector<std::vector<unsigned char>> certs {CertDer("user"), garbage, CertDer("user")};
    const std::vector<std::vector<unsigned char>> chains {CertSet({"ca"}), CertSet({"ca"}), garbage};
    for (size_t i = 0; i < keys.size(); ++i) {
        KVScript::Reset();
        KVScript::Identity(keys[i], certs[i], chains[i], {});
        EXPECT_TRUE(FAILED(LoginOnce())) << i;
        EXPECT_EQ(Count(m_memory, TOKEN_OBJECT_PRIVATE_KEY, "01", "SKnew"), 1u) << i;
        EXPECT_EQ(StoreIdentities(), std::vector<std::string>({"QEV Kestrin (p)"})) << i;
    }
}

TEST_F(KVInstallTest, ReauthLogsOutAndLogsInAsTheCachedUser)
{
    ASSERT_NE(MakeInMemory(), nullptr);
    UserIdentity();
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {S_OK, QM_STATE_DONE}});
    Dialogs::PresetValue(8, "alice");
    Dialogs::PresetValue(1, "pw");
    ASSERT_EQ(m_token->Login(NewDialog()), S_OK);
    KVScript::Reset();
    UserIdentity();
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {S_OK, QM_STATE_DONE}});
    Dialogs::PresetValue(8, "bob");
    // The user name survives the logout inside Reauth and is offered again.
    EXPECT_EQ(m_token->Reauth(NewDialog()), S_OK);
    EXPECT_EQ(KVScript::Count("Send_Auth alice pw"), 1u);
    EXPECT_EQ(m_token->SetGVXName("p:target"), S_FALSE);
}

TEST_F(KVInstallTest, AGssTargetNameGoesToTheModelWithoutItsPrefixAndTiesItToTheProfile)
{
    Policy("'profiles': {'p': {'enrollURL0': 'https://enrol.example'}, 'q': {'enrollURL0': 'https://enrol.example'}}");
    ModelledProfile p("p");
    ModelledProfile q("q");
    ASSERT_NE(p.Token(), nullptr);
    ASSERT_NE(q.Token(), nullptr);
    EXPECT_EQ(p.Token()->SetGVXName("p:host@enrol.example"), S_OK);
    // The model keeps its names in the form "p:<target>", once each, whether
    // or not the caller gave the prefix.
    EXPECT_EQ(p.Names(), std::vector<std::string>({"p:host@enrol.example"}));
    EXPECT_EQ(p.Token()->SetGVXName("host@enrol.example"), S_OK);
    EXPECT_EQ(p.Names(), std::vector<std::string>({"p:host@enrol.example"}));
    EXPECT_EQ(ProfileOfTarget("host@enrol.example"), "p");
    EXPECT_EQ(ProfileOfTarget("p:host@enrol.example"), "");

    // The target moves to the profile that serves it last.
    EXPECT_EQ(q.Token()->SetGVXName("p:host@enrol.example"), S_OK);
    EXPECT_EQ(q.Names(), std::vector<std::string>({"p:host@enrol.example"}));
    EXPECT_TRUE(p.Names().empty());
    EXPECT_EQ(ProfileOfTarget("host@enrol.example"), "q");

    // A logout lets go of every target of the profile.
    EXPECT_EQ(q.Token()->Logout(nullptr), S_OK);
    EXPECT_TRUE(q.Names().empty());
    EXPECT_EQ(ProfileOfTarget("host@enrol.example"), "");
}

}  // namespace
}  // namespace kestrin::tokens::test
