// Table "keychain_api" of module "zelkbase" over a key store in a temporary
// XDG_DATA_HOME, with identities exported by `openssl pkcs12` and signatures
// checked by `openssl dgst -verify`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "keystore.h"
#include "zelk_keychain_client.h"
#include "zelk_module.h"

ZELK_KEYCHAIN_CLIENT_BINDING();

namespace {

using namespace kestrin::keystore;

std::string s_pki;

int Shell(const std::string& dir, const std::string& command)
{
    int rc = std::system(("cd '" + dir + "' && (" + command + ") >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

class Keychain : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/zelkkeychain-pki-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        s_pki = tmpl;
        // A test CA and identities under it, each exported with the CA and a friendly name.
        std::string script =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '/CN=Keychain Test "
            "CA' "
            "-addext 'keyUsage=critical,keyCertSign,cRLSign' -keyout ca.key -out ca.pem && "
            "openssl x509 -in ca.pem -outform DER -out ca.der && "
            "issue() { openssl req -new -newkey $2 -nodes -subj \"/CN=$3\" -keyout $1.key -out $1.csr && "
            "  openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key -set_serial $4 -days 30 -out $1.pem && "
            "  openssl x509 -in $1.pem -outform DER -out $1.der && openssl x509 -in $1.pem -pubkey -noout > $1.pub && "
            "  openssl pkcs12 -export -in $1.pem -inkey $1.key -certfile ca.pem -name \"$5\" "
            "    -passout pass:secret -out $1.p12; } && "
            "issue u1 rsa:2048 user01 1 'QEV Kestrin (user01)' && "
            "ec='ec -pkeyopt ec_paramgen_curve:P-256' && "
            "issue u1b \"$ec\" user01 2 'QEV Kestrin (user01) 2' && "
            "issue noblank \"$ec\" user03 3 'QEV Kestrin(user03)' && "
            "issue lower \"$ec\" user04 4 'qev kestrin (user04)' && "
            "issue own \"$ec\" 'Own User' 5 'My Own Key' && "
            "issue ec \"$ec\" ecuser 6 'QEV Kestrin (ec)' && "
            "openssl pkcs12 -export -in own.pem -inkey own.key -certfile ca.pem -name 'QEV Kestrin (own)' "
            "  -passout pass:secret -out ownrenamed.p12 && "
            "head -c 1000 /dev/urandom > data.bin";
        ASSERT_EQ(Shell(s_pki, script), 0);
    }
    static void TearDownTestSuite()
    {
        std::error_code ec;
        std::filesystem::remove_all(s_pki, ec);
    }

    void SetUp() override
    {
        char tmpl[] = "/tmp/zelkkeychain-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        ASSERT_EQ(setenv("XDG_DATA_HOME", home.c_str(), 1), 0);
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_NE(kestrin::runtime::keychain::T(), nullptr);
        std::string message;
        ASSERT_EQ(KeyStore::Open(Options {}, &store, &message), S_OK) << message;
    }
    void TearDown() override
    {
        store.reset();
        EXPECT_EQ(ZELK_Finalize(), S_OK);
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }

    HRESULT Import(const std::string& p12, const char* name, bool trust = false, bool preference = false,
                   const char* password = "secret")
    {
        std::vector<uint8_t> bytes = ReadFile(s_pki + "/" + p12 + ".p12");
        OctetString data {bytes.size(), bytes.data()};
        return KeyChainImportFromP12(name, password, &data, trust, preference);
    }

    std::vector<std::string> PrintNames()
    {
        std::vector<Identity> identities;
        EXPECT_EQ(store->ListIdentities(&identities), S_OK);
        std::vector<std::string> names;
        for (const Identity& i : identities)
            names.push_back(i.printName);
        std::sort(names.begin(), names.end());
        return names;
    }

    size_t CertificateCount()
    {
        std::vector<Certificate> certificates;
        EXPECT_EQ(store->ListCertificates(&certificates), S_OK);
        return certificates.size();
    }

    Fingerprint Sha1Of(const std::string& name)
    {
        Fingerprint sha1 {};
        EXPECT_EQ(CertificateSha1(ReadFile(s_pki + "/" + name + ".der"), &sha1), S_OK);
        return sha1;
    }

    std::string home;
    std::unique_ptr<KeyStore> store;
};

TEST(KeychainClient, WrappersOfAnUnboundTableFailInsteadOfCallingNowhere)
{
    ASSERT_EQ(SEC_ZELK_KEYCHAIN_FUNCTION_TABLE, nullptr);
    EXPECT_EQ(KeyChainDeleteAllQEVSSO(), E_FAIL);
    EXPECT_EQ(KeyChainDelete_byPrivateKeyName("QEV Kestrin (user01)"), E_FAIL);
    EXPECT_EQ(KeyChainDeleteIdentityPref("vpn.example"), E_FAIL);
    EXPECT_EQ(KeyChainImportFromP12("a", "b", nullptr, false, false), E_FAIL);
    Identity identity;
    identity.printName = "QEV Kestrin (user01)";
    EXPECT_EQ(KeyChain_Identity_IsKestrin(&identity), 0);
}

TEST_F(Keychain, Info)
{
    const char* name = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(kestrin::runtime::keychain::T()->get_info(&name, &module, &description), S_OK);
    EXPECT_STREQ(name, "keychain_api");
    EXPECT_STREQ(module, "zelkbase");
    EXPECT_STREQ(description, "");
}

TEST_F(Keychain, ImportedKeysSignWhatOpenSslVerifies)
{
    for (const char* id : {"u1", "ec"}) {
        SCOPED_TRACE(id);
        ASSERT_EQ(Import(id, "vpn.example"), S_OK);
        Identity identity;
        ASSERT_EQ(store->FindIdentity(Sha1Of(id), &identity), S_OK);
        EXPECT_EQ(KeyChain_Identity_IsKestrin(&identity), 1);
        std::vector<uint8_t> data = ReadFile(s_pki + "/data.bin");
        std::vector<uint8_t> signature;
        ASSERT_EQ(store->Sign(identity.sha1, Digest::Sha256, SignPadding::Pkcs1, data, &signature), S_OK);
        std::string sigFile = home + "/" + id + ".sig";
        std::ofstream(sigFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(signature.data()), static_cast<std::streamsize>(signature.size()));
        EXPECT_EQ(Shell(s_pki, std::string("openssl dgst -sha256 -verify ") + id + ".pub -signature '" + sigFile
                                   + "' data.bin"),
                  0);
    }
}

TEST_F(Keychain, PrefixWithTheBlankAndCaseMakeTheSystemsOwn)
{
    struct Case {
        const char* p12;
        int own;
    };
    const Case cases[] = {{"u1", 1}, {"noblank", 0}, {"lower", 0}, {"own", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.p12);
        ASSERT_EQ(Import(c.p12, "x"), S_OK);
        Identity identity;
        ASSERT_EQ(store->FindIdentity(Sha1Of(c.p12), &identity), S_OK);
        EXPECT_EQ(KeyChain_Identity_IsKestrin(&identity), c.own);
    }
    EXPECT_EQ(KeyChain_Identity_IsKestrin(nullptr), 0);

    EXPECT_EQ(KeyChainDeleteAllQEVSSO(), S_OK);
    EXPECT_EQ(PrintNames(), (std::vector<std::string> {"My Own Key", "QEV Kestrin(user03)", "qev kestrin (user04)"}));
    EXPECT_EQ(KeyChainDeleteAllQEVSSO(), E_FAIL);  // none left
}

TEST_F(Keychain, ExactDeleteLeavesALongerNameUntouched)
{
    ASSERT_EQ(Import("u1", "a"), S_OK);
    ASSERT_EQ(Import("u1b", "b"), S_OK);
    EXPECT_EQ(KeyChainDelete_byPrivateKeyName("QEV Kestrin (user01)"), S_OK);
    EXPECT_EQ(PrintNames(), (std::vector<std::string> {"QEV Kestrin (user01) 2"}));
    EXPECT_EQ(KeyChainDelete_byPrivateKeyName("QEV Kestrin (user01)"), E_FAIL);
    EXPECT_EQ(KeyChainDelete_byPrivateKeyName(nullptr), E_INVALIDARG);
}

TEST_F(Keychain, FailedImportsLeaveTheStoreUnchanged)
{
    EXPECT_EQ(Import("u1", "a", false, false, "wrong"), -1);
    EXPECT_EQ(Import("u1", "a", false, false, nullptr), -1);
    std::vector<uint8_t> garbage(100, 0x30);
    OctetString data {garbage.size(), garbage.data()};
    EXPECT_EQ(KeyChainImportFromP12("a", "secret", &data, false, false), -1);
    EXPECT_EQ(KeyChainImportFromP12(nullptr, "secret", &data, false, false), E_INVALIDARG);
    EXPECT_EQ(KeyChainImportFromP12("a", "secret", nullptr, false, false), E_INVALIDARG);
    EXPECT_EQ(CertificateCount(), 0u);
    EXPECT_TRUE(PrintNames().empty());
}

TEST_F(Keychain, UntrustedChainKeepsOnlyTheIssuersUntilTheCaIsTrusted)
{
    EXPECT_EQ(Import("u1", "vpn.example", true), KEYCHAIN_E_NO_TRUST);
    EXPECT_TRUE(PrintNames().empty());
    Certificate ca;
    ASSERT_EQ(store->FindCertificate(Sha1Of("ca"), &ca), S_OK);
    EXPECT_FALSE(ca.hasPrivateKey);
    EXPECT_EQ(CertificateCount(), 1u);

    ASSERT_EQ(store->SetTrustSetting(TrustDomain::User, ReadFile(s_pki + "/ca.der"), TrustSetting::Trusted), S_OK);
    EXPECT_EQ(Import("u1", "vpn.example", true), S_OK);
    EXPECT_EQ(PrintNames(), (std::vector<std::string> {"QEV Kestrin (user01)"}));
}

TEST_F(Keychain, UntrustedImportUndoesOnlyWhatItBrought)
{
    // The user's identity, preferred for two names.
    ASSERT_EQ(Import("own", "mail.example"), S_OK);
    ASSERT_EQ(store->SetPreferredIdentity("mail.example", Sha1Of("own")), S_OK);
    ASSERT_EQ(store->SetPreferredIdentity("vpn.example", Sha1Of("own")), S_OK);

    // The system's identity goes, also when it was there before; the
    // preference it replaced comes back.
    ASSERT_EQ(Import("u1", "x"), S_OK);
    EXPECT_EQ(Import("u1", "vpn.example", true, true), KEYCHAIN_E_NO_TRUST);
    Identity preferred;
    EXPECT_EQ(store->GetPreferredIdentity("vpn.example", &preferred), S_OK);
    EXPECT_EQ(preferred.printName, "My Own Key");
    EXPECT_EQ(store->GetPreferredIdentity("mail.example", &preferred), S_OK);
    EXPECT_EQ(PrintNames(), (std::vector<std::string> {"My Own Key"}));

    // The user's key, imported again under the user's or the system's name,
    // stays with the name it had.
    EXPECT_EQ(Import("own", "other.example", true, true), KEYCHAIN_E_NO_TRUST);
    EXPECT_EQ(Import("ownrenamed", "other.example", true), KEYCHAIN_E_NO_TRUST);
    EXPECT_EQ(PrintNames(), (std::vector<std::string> {"My Own Key"}));
    EXPECT_EQ(store->GetPreferredIdentity("other.example", &preferred), S_FALSE);
}

TEST_F(Keychain, UntrustedImportOfAnIdentityNewToTheStoreLeavesNoKey)
{
    // Not one of the system's own, but brought by the failed call itself.
    EXPECT_EQ(Import("own", "mail.example", true, true), KEYCHAIN_E_NO_TRUST);
    EXPECT_TRUE(PrintNames().empty());
    Identity preferred;
    EXPECT_EQ(store->GetPreferredIdentity("mail.example", &preferred), S_FALSE);
    // The issuer stays, and so does a certificate the store held without its key.
    ASSERT_EQ(store->AddCertificate(ReadFile(s_pki + "/u1.der")), S_OK);
    EXPECT_EQ(Import("u1", "vpn.example", true), KEYCHAIN_E_NO_TRUST);
    EXPECT_TRUE(PrintNames().empty());
    Certificate leaf;
    ASSERT_EQ(store->FindCertificate(Sha1Of("u1"), &leaf), S_OK);
    EXPECT_FALSE(leaf.hasPrivateKey);
    EXPECT_EQ(CertificateCount(), 2u);
}

TEST_F(Keychain, DeleteByIdentityPreference)
{
    ASSERT_EQ(Import("u1", "vpn.example", false, true), S_OK);
    ASSERT_EQ(Import("u1b", "other"), S_OK);
    Identity preferred;
    ASSERT_EQ(store->GetPreferredIdentity("vpn.example", &preferred), S_OK);
    EXPECT_EQ(preferred.printName, "QEV Kestrin (user01)");
    EXPECT_EQ(KeyChainDeleteIdentityPref("vpn.example"), S_OK);
    EXPECT_EQ(store->GetPreferredIdentity("vpn.example", &preferred), S_FALSE);
    EXPECT_EQ(PrintNames(), (std::vector<std::string> {"QEV Kestrin (user01) 2"}));
    EXPECT_EQ(KeyChainDeleteIdentityPref("vpn.example"), S_OK);  // none found
    EXPECT_EQ(KeyChainDeleteIdentityPref(nullptr), E_INVALIDARG);
}

}  // namespace
