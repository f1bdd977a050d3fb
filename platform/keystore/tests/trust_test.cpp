// Trust settings and trust evaluation against the test CA.
#include <openssl/sha.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <set>

#include "pki.h"

namespace kestrin::keystore::test {
namespace {

using Bytes = std::vector<uint8_t>;

Fingerprint Sha1Of(const Bytes& der)
{
    Fingerprint f;
    SHA1(der.data(), der.size(), f.data());
    return f;
}

class TrustTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        pki_.MakeEndEntity("ee-rsa", "rsa", "user01", "clientAuth");
        pki_.MakeEndEntity("ee-server", "ec", "server.example", "serverAuth");
        ca_ = pki_.Der("ca");
    }

    TrustEvaluation Evaluate(KeyStore& store, std::vector<Bytes> chain, TrustPolicy policy = {})
    {
        TrustEvaluation result;
        EXPECT_EQ(store.EvaluateTrust(chain, policy, &result), S_OK);
        return result;
    }

    Pki& pki_ = Pki::Get();
    Bytes ca_;
};

TEST_F(TrustTest, UntrustedChainFailsUntilTheCaIsTrustedInTheStore)
{
    TrustEvaluation result = Evaluate(*store_, {pki_.Der("ee-rsa"), ca_});
    EXPECT_EQ(result.result, TrustResult::RecoverableTrustFailure);
    EXPECT_NE(result.verifyError, X509_V_OK);

    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::User, ca_, TrustSetting::Trusted), S_OK);
    result = Evaluate(*store_, {pki_.Der("ee-rsa"), ca_});
    EXPECT_EQ(result.result, TrustResult::Proceed);
    EXPECT_EQ(result.verifyError, X509_V_OK);
    ASSERT_EQ(result.chain.size(), 2u);
    EXPECT_EQ(result.chain[1].der, ca_);

    ASSERT_EQ(store_->RemoveTrustSetting(TrustDomain::User, Sha1Of(ca_)), S_OK);
    EXPECT_EQ(store_->RemoveTrustSetting(TrustDomain::User, Sha1Of(ca_)), S_FALSE);
    EXPECT_EQ(Evaluate(*store_, {pki_.Der("ee-rsa"), ca_}).result, TrustResult::RecoverableTrustFailure);
}

TEST_F(TrustTest, ImportUndoneAfterAFailedCheckKeepsOnlyTheIssuers)
{
    pki_.ExportPkcs12("rsa-default", "ee-rsa", "QEV Kestrin (user01)", false);
    Pkcs12Import imported;
    ASSERT_EQ(store_->ImportPkcs12(pki_.P12("rsa-default"), "secret", &imported), S_OK);
    std::vector<Bytes> chain;
    for (const auto& c : imported.chain)
        chain.push_back(c.der);
    TrustEvaluation result = Evaluate(*store_, chain);
    ASSERT_EQ(result.result, TrustResult::RecoverableTrustFailure);

    ASSERT_EQ(store_->DeleteIdentitiesByPrintName("QEV Kestrin (user01)", NameMatch::Exact), S_OK);
    for (size_t i = 1; i < chain.size(); ++i)
        ASSERT_EQ(store_->AddCertificate(chain[i]), S_OK);
    std::vector<Identity> identities;
    std::vector<Certificate> certs;
    ASSERT_EQ(store_->ListIdentities(&identities), S_OK);
    ASSERT_EQ(store_->ListCertificates(&certs), S_OK);
    EXPECT_TRUE(identities.empty());
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0].der, ca_);

    // The stored issuer completes a chain handed in without it.
    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::Admin, ca_, TrustSetting::Trusted), S_OK);
    EXPECT_EQ(Evaluate(*store_, {pki_.Der("ee-rsa")}).result, TrustResult::Proceed);
}

TEST_F(TrustTest, SystemAnchorsGiveUnspecified)
{
    std::string folder = temp_.path() + "/anchors";
    ASSERT_TRUE(
        Shell("mkdir -p " + folder + " && cp " + pki_.Path("ca.pem") + " " + folder + " && openssl rehash " + folder));
    for (const std::string& anchors : {pki_.Path("ca.pem"), folder}) {
        SCOPED_TRACE(anchors);
        store_.reset();
        store_ = OpenStore(anchors);
        ASSERT_NE(store_, nullptr);
        EXPECT_EQ(Evaluate(*store_, {pki_.Der("ee-rsa"), ca_}).result, TrustResult::Unspecified);
        // An explicit trust setting makes it Proceed.
        ASSERT_EQ(store_->SetTrustSetting(TrustDomain::System, ca_, TrustSetting::Trusted), S_OK);
        EXPECT_EQ(Evaluate(*store_, {pki_.Der("ee-rsa"), ca_}).result, TrustResult::Proceed);
        ASSERT_EQ(store_->RemoveTrustSetting(TrustDomain::System, Sha1Of(ca_)), S_OK);
    }
}

TEST_F(TrustTest, SystemAnchorsListEveryBundleCertificateOnce)
{
    // A hashed folder holds each certificate twice (file and hash link) and
    // a bundle of both; a file that is no certificate is passed over.
    std::string folder = temp_.path() + "/anchors";
    ASSERT_TRUE(Shell("mkdir -p " + folder + " && cp " + pki_.Path("ca.pem") + " " + pki_.Path("ee-rsa.pem") + " "
                      + folder + " && cat " + pki_.Path("ca.pem") + " " + pki_.Path("ee-rsa.pem") + " > " + folder
                      + "/bundle.crt && echo junk > " + folder + "/junk.pem && openssl rehash " + folder));
    for (const std::string& anchors : {folder, pki_.Path("ca.pem"), temp_.path() + "/none"}) {
        SCOPED_TRACE(anchors);
        store_.reset();
        store_ = OpenStore(anchors);
        ASSERT_NE(store_, nullptr);
        std::vector<Certificate> certs;
        HRESULT hr = store_->ListSystemAnchors(&certs);
        std::set<Bytes> ders;
        for (const Certificate& c : certs) {
            EXPECT_EQ(c.sha1, Sha1Of(c.der));
            ders.insert(c.der);
        }
        EXPECT_EQ(ders.size(), certs.size());
        if (anchors == folder) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(ders, (std::set<Bytes> {ca_, pki_.Der("ee-rsa")}));
        } else if (anchors == pki_.Path("ca.pem")) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(ders, std::set<Bytes> {ca_});
        } else {
            EXPECT_EQ(hr, S_FALSE);
            EXPECT_TRUE(certs.empty());
        }
    }
    EXPECT_EQ(store_->ListSystemAnchors(nullptr), E_POINTER);
}

TEST_F(TrustTest, UserDomainDecidesBeforeAdminBeforeSystem)
{
    Bytes ee = pki_.Der("ee-rsa");
    const struct {
        std::optional<TrustSetting> user, admin, system, leafUser;
        TrustResult expected;
    } cases[] = {
        {std::nullopt, std::nullopt, TrustSetting::Trusted, std::nullopt, TrustResult::Proceed},
        {TrustSetting::Deny, std::nullopt, TrustSetting::Trusted, std::nullopt, TrustResult::Deny},
        {TrustSetting::Trusted, TrustSetting::Deny, std::nullopt, std::nullopt, TrustResult::Proceed},
        {TrustSetting::Unspecified, TrustSetting::Deny, TrustSetting::Trusted, std::nullopt, TrustResult::Deny},
        {TrustSetting::Unspecified, TrustSetting::Trusted, std::nullopt, std::nullopt, TrustResult::Proceed},
        {std::nullopt, TrustSetting::Unspecified, std::nullopt, std::nullopt, TrustResult::RecoverableTrustFailure},
        {TrustSetting::Trusted, std::nullopt, std::nullopt, TrustSetting::Deny, TrustResult::Deny},
        // A trusted end-entity certificate is an anchor of its own.
        {std::nullopt, std::nullopt, std::nullopt, TrustSetting::Trusted, TrustResult::Proceed},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        for (auto domain : {TrustDomain::User, TrustDomain::Admin, TrustDomain::System}) {
            store_->RemoveTrustSetting(domain, Sha1Of(ca_));
            store_->RemoveTrustSetting(domain, Sha1Of(ee));
        }
        const struct {
            std::optional<TrustSetting> setting;
            TrustDomain domain;
            const Bytes& cert;
        } settings[] = {{c.user, TrustDomain::User, ca_},
                        {c.admin, TrustDomain::Admin, ca_},
                        {c.system, TrustDomain::System, ca_},
                        {c.leafUser, TrustDomain::User, ee}};
        for (const auto& s : settings) {
            if (s.setting) {
                ASSERT_EQ(store_->SetTrustSetting(s.domain, s.cert, *s.setting), S_OK);
            }
        }
        EXPECT_EQ(Evaluate(*store_, {ee, ca_}).result, c.expected);
    }
}

TEST_F(TrustTest, PurposeHostTimeAndSignatureFailures)
{
    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::User, ca_, TrustSetting::Trusted), S_OK);
    Bytes client = pki_.Der("ee-rsa");
    Bytes server = pki_.Der("ee-server");
    TrustPolicy sslClient {TrustPurpose::SslClient, "", std::nullopt};
    TrustPolicy sslServer {TrustPurpose::SslServer, "server.example", std::nullopt};
    TrustPolicy wrongHost {TrustPurpose::SslServer, "other.example", std::nullopt};
    TrustPolicy later {TrustPurpose::Basic, "", std::time(nullptr) + 20 * 86400};

    // The CA's signature with one bit changed.
    Bytes forged = client;
    forged.back() ^= 1;

    const struct {
        const char* name;
        Bytes leaf;
        TrustPolicy policy;
        TrustResult expected;
        int error;
    } cases[] = {
        {"client as client", client, sslClient, TrustResult::Proceed, X509_V_OK},
        {"server as client", server, sslClient, TrustResult::RecoverableTrustFailure, X509_V_ERR_INVALID_PURPOSE},
        {"server by name", server, sslServer, TrustResult::Proceed, X509_V_OK},
        {"server by other name", server, wrongHost, TrustResult::RecoverableTrustFailure, X509_V_ERR_HOSTNAME_MISMATCH},
        {"after expiry", client, later, TrustResult::RecoverableTrustFailure, X509_V_ERR_CERT_HAS_EXPIRED},
        {"forged signature", forged, {}, TrustResult::FatalTrustFailure, X509_V_ERR_CERT_SIGNATURE_FAILURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrustEvaluation result = Evaluate(*store_, {c.leaf, ca_}, c.policy);
        EXPECT_EQ(result.result, c.expected);
        EXPECT_EQ(result.verifyError, c.error);
    }

    TrustEvaluation result;
    EXPECT_EQ(store_->EvaluateTrust({}, {}, &result), E_INVALIDARG);
    std::vector<Bytes> bad = {Bytes {1, 2, 3}};
    EXPECT_EQ(store_->EvaluateTrust(bad, {}, &result), KEYSTORE_E_BAD_CERTIFICATE);
}

TEST_F(TrustTest, TrustSettingsPerDomain)
{
    std::vector<Certificate> listed;
    EXPECT_EQ(store_->ListTrustCertificates(TrustDomain::User, &listed), S_FALSE);
    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::User, ca_, TrustSetting::Deny), S_OK);
    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::User, ca_, TrustSetting::Trusted), S_OK);
    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::System, pki_.Der("ee-rsa"), TrustSetting::Unspecified), S_OK);

    TrustSetting setting {};
    ASSERT_EQ(store_->GetTrustSetting(TrustDomain::User, Sha1Of(ca_), &setting), S_OK);
    EXPECT_EQ(setting, TrustSetting::Trusted);
    EXPECT_EQ(store_->GetTrustSetting(TrustDomain::Admin, Sha1Of(ca_), &setting), S_FALSE);

    ASSERT_EQ(store_->ListTrustCertificates(TrustDomain::User, &listed), S_OK);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].der, ca_);
    EXPECT_EQ(store_->ListTrustCertificates(TrustDomain::Admin, &listed), S_FALSE);
    ASSERT_EQ(store_->ListTrustCertificates(TrustDomain::System, &listed), S_OK);
    EXPECT_EQ(listed.size(), 1u);

    EXPECT_EQ(store_->SetTrustSetting(static_cast<TrustDomain>(3), ca_, TrustSetting::Trusted), E_INVALIDARG);
    EXPECT_EQ(store_->SetTrustSetting(TrustDomain::User, ca_, static_cast<TrustSetting>(9)), E_INVALIDARG);
}

}  // namespace
}  // namespace kestrin::keystore::test
