// The trust store over each provider: the key store's trust settings and the
// system's CA bundle, certificate files through the PSE provider module, and
// the tokens' certificates; the PSE's trust as a reason to merge anew.
#include "tokens/trust.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "fakes/fake_token_calls.h"
#include "keystore.h"
#include "qev_doubles.h"
#include "tokens/token_manager.h"
#include "tokens/trust_keychain.h"
#include "tokens_fixture.h"
#include "zelk_holders.h"
#include "zelkpse_lists.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CTrust;
using ZELK::PSESVC::CTrustKeychain;
namespace ks = kestrin::keystore;

class TrustTest : public TokensTest {
protected:
    void SetUp() override
    {
        TokensTest::SetUp();
        TokenCalls::Reset();
        m_anchors = m_dir + "/anchors";
        std::filesystem::create_directories(m_anchors);
        CTrustKeychain::SetSystemAnchors(m_anchors);
    }
    void TearDown() override
    {
        m_store.reset();
        ReleaseObjects();
        TokensTest::TearDown();
        CTrustKeychain::SetSystemAnchors(ks::Options {}.systemAnchors);
    }

    // The store and the certificates go before the runtime and the crypto
    // library that made them.
    void ReleaseObjects()
    {
        m_trust.Free();
        for (auto& [name, certificate] : m_certs)
            certificate->Release();
        m_certs.clear();
    }
    // The test's own view of the user's key store.
    ks::KeyStore& Store()
    {
        if (!m_store) {
            EXPECT_EQ(ks::KeyStore::Open(ks::Options {}, &m_store), S_OK);
        }
        return *m_store;
    }
    // Certificate "CN=<name>", made once per test.
    Certificate* Cert(const std::string& name)
    {
        if (!m_ders.contains(name))
            m_ders[name] = MakeCertificate(name);
        if (!m_certs.contains(name))
            m_certs[name] = Decode(m_ders[name]);
        return m_certs[name];
    }
    const std::vector<uint8_t>& Der(const std::string& name)
    {
        Cert(name);
        return m_ders[name];
    }
    void Trust(ks::TrustDomain domain, const std::string& name, ks::TrustSetting setting)
    {
        ASSERT_EQ(Store().SetTrustSetting(domain, Der(name), setting), S_OK);
    }
    void Bundle(const std::string& name)
    {
        Cert(name);
        std::filesystem::copy_file(m_dir + "/" + name + ".pem", m_anchors + "/" + name + ".pem");
    }
    CTrust* Store_()
    {
        if (!m_trust) {
            EXPECT_EQ(CSingletonFactoryImpl<CTrust>::New(&m_trust), S_OK);
        }
        return m_trust;
    }
    std::vector<std::string> TrustedNames()
    {
        SET_OF_Certificate* list = nullptr;
        EXPECT_EQ(Store_()->getTrustedCertList(&list), S_OK);
        std::vector<std::string> names = Subjects(list);
        FreeList(list);
        return names;
    }

    std::string m_anchors;
    std::unique_ptr<ks::KeyStore> m_store;
    std::map<std::string, Certificate*> m_certs;
    std::map<std::string, std::vector<uint8_t>> m_ders;
    AuxRefPtr<CTrust> m_trust;
};

TEST_F(TrustTest, ProviderIsChosenByTrustDBPrefixWithoutCase)
{
    struct Case {
        const char* trustDB;
        bool keychain;
    };
    const Case cases[] = {
        {"KEYCHAIN:", true}, {"keychain:whatever", true}, {"keychain", false}, {"", false}, {"bogus:", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trustDB);
        Plist(std::string("{'Common': {'TrustDB': '") + c.trustDB + "'}}");
        Trust(ks::TrustDomain::User, "Root A", ks::TrustSetting::Trusted);
        EXPECT_EQ(TrustedNames(), c.keychain ? std::vector<std::string> {"Root A"} : std::vector<std::string> {});
        EXPECT_EQ(Store_()->isInTrustedCerts(Cert("Root A")), c.keychain ? 1 : 0);
        // A new process (runtime) chooses again.
        ReleaseObjects();
        ServiceTest::TearDown();
        ServiceTest::SetUp();
    }
}

TEST_F(TrustTest, KeychainTrustsTheEffectiveSettingAndTheSystemBundle)
{
    Plist("{'Common': {'TrustDB': 'keychain:'}}");
    using enum ks::TrustDomain;
    constexpr auto Trusted = ks::TrustSetting::Trusted;
    constexpr auto Deny = ks::TrustSetting::Deny;
    constexpr auto Unspecified = ks::TrustSetting::Unspecified;
    Trust(User, "User Trusted", Trusted);
    Trust(User, "User Denied", Deny);
    Trust(System, "User Denied", Trusted);
    Trust(User, "Admin Trusted", Unspecified);
    Trust(Admin, "Admin Trusted", Trusted);
    Trust(System, "System Denied", Deny);
    Trust(Admin, "Twice", Trusted);
    Trust(System, "Twice", Trusted);
    Bundle("Twice");
    Bundle("Bundled");
    Bundle("Bundled Denied");
    Trust(Admin, "Bundled Denied", Deny);
    EXPECT_EQ(TrustedNames(), (std::vector<std::string> {"User Trusted", "Admin Trusted", "Twice", "Bundled"}));
    for (const char* denied : {"User Denied", "System Denied", "Bundled Denied"})
        EXPECT_EQ(Store_()->isInTrustedCerts(Cert(denied)), 0) << denied;

    // An equal certificate decoded apart is trusted; adding changes nothing.
    Certificate* copy = Decode(Der("Bundled"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Store_()->isInTrustedCerts(copy), 1);
    copy->Release();
    EXPECT_EQ(Store_()->addTrustedCertListItem(Cert("Other")), S_OK);
    EXPECT_EQ(Store_()->isInTrustedCerts(Cert("Other")), 0);
    EXPECT_EQ(Store_()->isInTrustedCerts(nullptr), E_INVALIDARG);
}

TEST_F(TrustTest, KeychainIsReadAgainAfterATrustChange)
{
    Plist("{'Common': {'TrustDB': 'keychain:'}}");
    Trust(ks::TrustDomain::User, "First", ks::TrustSetting::Trusted);
    EXPECT_EQ(TrustedNames(), std::vector<std::string> {"First"});
    // The key store's notice marks the provider dirty.
    Trust(ks::TrustDomain::Admin, "Second", ks::TrustSetting::Trusted);
    EXPECT_TRUE(WaitFor([&] { return TrustedNames().size() == 2; }));
    // A change seen only on disk is read after SetDirty.
    Bundle("Third");
    EXPECT_EQ(TrustedNames().size(), 2u);
    EXPECT_EQ(CTrustKeychain::SetDirty(), S_OK);
    EXPECT_EQ(TrustedNames(), (std::vector<std::string> {"First", "Second", "Third"}));
}

TEST_F(TrustTest, EmptyStoreAndUnknownTrustDBTrustNothing)
{
    Plist("{'Common': {'TrustDB': 'somewhere:'}}");
    EXPECT_TRUE(TrustedNames().empty());
    EXPECT_EQ(Store_()->isInTrustedCerts(Cert("Any")), 0);
    SET_OF_Certificate* list = reinterpret_cast<SET_OF_Certificate*>(1);
    EXPECT_EQ(Store_()->getAllTrustedCerts(&list), S_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(Store_()->deleteTrustedCertListItem(nullptr, 0), S_OK);
}

TEST_F(TrustTest, TokenProviderMergesDistinctCertificatesWhenTheyChange)
{
    Plist("{'Common': {'TrustDB': 'TOKEN:'}}");
    AuxRefPtr<ZELK::PSESVC::CTokenMgr> tokens;
    ASSERT_EQ(CSingletonFactoryImpl<ZELK::PSESVC::CTokenMgr>::New(&tokens), S_OK);
    SET_OF_Certificate* scripted = nullptr;
    SET_OF_Certificate** cursor = &scripted;
    for (const char* name : {"Token CA", "Token Root", "Token CA"})
        ZELK::PSESVC::AppendCertificate(cursor, Cert(name));
    TokenCalls::s_trusted = scripted;
    CaptureTrace(3);
    EXPECT_EQ(TrustedNames(), (std::vector<std::string> {"Token CA", "Token Root"}));
    EXPECT_EQ(CountTrace("Read Trust files from all token"), 1u);
    // Unchanged: no new merge and no trace.
    EXPECT_EQ(Store_()->Refresh(nullptr, 0), 1);
    EXPECT_EQ(CountTrace("Read Trust files from all token"), 1u);
    TokenCalls::s_trusted = nullptr;
    EXPECT_EQ(Store_()->Refresh(nullptr, 0), S_OK);
    EXPECT_TRUE(TrustedNames().empty());
    FreeList(scripted);
}

TEST_F(TrustTest, FileTrustDBGoesWholeToThePSEProviderOnce)
{
    const std::string log = m_dir + "/fake.log";
    setenv("KESTRIN_FAKE_LOG", log.c_str(), 1);
    Plist("{'Common': {'TrustDB': 'file:///etc/kestrin/roots'}}");
    CaptureTrace(3);
    EXPECT_TRUE(TrustedNames().empty());
    EXPECT_TRUE(TrustedNames().empty());
    EXPECT_EQ(CountTrace("Read Trust files from file:///etc/kestrin/roots"), 1u);
    std::ifstream in(log);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line))
        lines.push_back(line);
    EXPECT_EQ(lines, std::vector<std::string> {"ignore file:///etc/kestrin/roots"});
    unsetenv("KESTRIN_FAKE_LOG");
}

TEST_F(TrustTest, PSETrustForcesAMergeOnlyWhenItChanged)
{
    Plist("{'Common': {'TrustDB': 'token:'}}");
    AuxRefPtr<ZELK::PSESVC::CTokenMgr> tokens;
    ASSERT_EQ(CSingletonFactoryImpl<ZELK::PSESVC::CTokenMgr>::New(&tokens), S_OK);
    auto* pse = new kestrin::qevtest::FakePSE();
    auto* empty = new kestrin::qevtest::FakePSE();
    pse->AddTrustedCertificate(Cert("PSE Root"));
    EXPECT_EQ(Store_()->importTrustFromPSE(nullptr), 1);
    EXPECT_EQ(Store_()->importTrustFromPSE(empty), 1);
    EXPECT_EQ(Store_()->importTrustFromPSE(pse), S_OK);
    EXPECT_EQ(Store_()->importTrustFromPSE(pse), 1);
    // The PSE's own certificates never become trusted here.
    EXPECT_EQ(Store_()->isInTrustedCerts(Cert("PSE Root")), 0);
    EXPECT_EQ(Store_()->importTrustFromPSE(empty), S_OK);

    // Threads switching the PSE list at once.
    std::atomic<int> changed {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                if (Store_()->importTrustFromPSE((i + t) % 2 ? pse : empty) == S_OK)
                    ++changed;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_GT(changed.load(), 0);
    pse->Release();
    empty->Release();
}

}  // namespace
}  // namespace kestrin::service::test
