// Identities: PKCS#12 import, print names, deletion, preferences,
// certificates without keys, and the private-key operations checked by openssl.
#include <openssl/sha.h>

#include "pki.h"

namespace kestrin::keystore::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(std::string_view s)
{
    return {s.begin(), s.end()};
}

Fingerprint Sha1Of(const Bytes& der)
{
    Fingerprint f;
    SHA1(der.data(), der.size(), f.data());
    return f;
}

class IdentitiesTest : public StoreTest {
protected:
    Pki& pki_ = Pki::Get();

    Identity Import(const std::string& p12)
    {
        Pkcs12Import imported;
        EXPECT_EQ(store_->ImportPkcs12(pki_.P12(p12), "secret", &imported), S_OK) << p12;
        return imported.identity;
    }

    // Lets openssl check a signature made by the store.
    bool OpensslVerifies(const std::string& cert, const Bytes& data, const Bytes& signature, const std::string& digest,
                         bool pss)
    {
        std::string dataFile = temp_.path() + "/data.bin";
        std::string sigFile = temp_.path() + "/sig.bin";
        WriteFile(dataFile, data);
        WriteFile(sigFile, signature);
        return Shell("openssl dgst -" + digest + " -verify " + pki_.Path(cert + ".pub") + " -signature " + sigFile
                     + (pss ? " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest" : "") + " " + dataFile);
    }
};

struct ImportCase {
    const char* p12;
    const char* cert;
    const char* keyType;
    bool legacy;
};

TEST_F(IdentitiesTest, ImportedKeysSignWhatOpensslVerifies)
{
    const ImportCase cases[] = {
        {"rsa-default", "ee-rsa", "rsa", false},
        {"rsa-legacy", "ee-rsa", "rsa", true},
        {"ec-default", "ee-ec", "ec", false},
        {"ec-legacy", "ee-ec", "ec", true},
    };
    const Bytes data = Text("data signed by a key that never leaves the store");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.p12);
        pki_.MakeEndEntity(c.cert, c.keyType, "user01", "clientAuth");
        pki_.ExportPkcs12(c.p12, c.cert, "QEV Kestrin (user01)", c.legacy);
        store_->DeleteIdentitiesByPrintName("QEV Kestrin ", NameMatch::Prefix);

        Pkcs12Import imported;
        ASSERT_EQ(store_->ImportPkcs12(pki_.P12(c.p12), "secret", &imported), S_OK);
        const Identity& id = imported.identity;
        EXPECT_EQ(id.printName, "QEV Kestrin (user01)");
        EXPECT_EQ(id.certificate, pki_.Der(c.cert));
        EXPECT_EQ(id.sha1, Sha1Of(pki_.Der(c.cert)));
        EXPECT_EQ(id.keyType, std::string(c.keyType) == "rsa" ? KeyType::Rsa : KeyType::Ec);
        ASSERT_EQ(imported.chain.size(), 2u);
        EXPECT_EQ(imported.chain[0].der, pki_.Der(c.cert));
        EXPECT_EQ(imported.chain[1].der, pki_.Der("ca"));

        Bytes signature;
        ASSERT_EQ(store_->Sign(id.sha1, Digest::Sha256, SignPadding::Pkcs1, data, &signature), S_OK);
        EXPECT_TRUE(OpensslVerifies(c.cert, data, signature, "sha256", false));

        Bytes hash(SHA384_DIGEST_LENGTH);
        SHA384(data.data(), data.size(), hash.data());
        ASSERT_EQ(store_->SignDigest(id.sha1, Digest::Sha384, SignPadding::Pkcs1, hash, &signature), S_OK);
        EXPECT_TRUE(OpensslVerifies(c.cert, data, signature, "sha384", false));

        if (id.keyType == KeyType::Rsa) {
            ASSERT_EQ(store_->Sign(id.sha1, Digest::Sha512, SignPadding::Pss, data, &signature), S_OK);
            EXPECT_TRUE(OpensslVerifies(c.cert, data, signature, "sha512", true));
            EXPECT_FALSE(OpensslVerifies(c.cert, Text("other data"), signature, "sha512", true));
        } else {
            EXPECT_EQ(store_->Sign(id.sha1, Digest::Sha256, SignPadding::Pss, data, &signature),
                      KEYSTORE_E_UNSUPPORTED);
        }
        EXPECT_EQ(store_->SignDigest(id.sha1, Digest::Sha256, SignPadding::Pkcs1, Bytes(31), &signature), E_INVALIDARG);
    }
}

TEST_F(IdentitiesTest, RawPkcs1SignsTheInputAsGiven)
{
    pki_.MakeEndEntity("ee-rsa", "rsa", "user01", "clientAuth");
    pki_.ExportPkcs12("rsa-default", "ee-rsa", "QEV Kestrin (user01)", false);
    Identity id = Import("rsa-default");
    // MD5 and SHA-1 side by side, as TLS 1.0 signs them: no DigestInfo around.
    const Bytes input(36, 0x5A);
    Bytes signature;
    ASSERT_EQ(store_->SignRawPkcs1(id.sha1, input, &signature), S_OK);
    WriteFile(temp_.path() + "/in.bin", input);
    WriteFile(temp_.path() + "/sig.bin", signature);
    EXPECT_TRUE(Shell("openssl pkeyutl -verify -pubin -inkey " + pki_.Path("ee-rsa.pub") + " -in " + temp_.path()
                      + "/in.bin -sigfile " + temp_.path() + "/sig.bin"));
    EXPECT_EQ(store_->SignRawPkcs1(id.sha1, Bytes(256 - 10), &signature), E_INVALIDARG);
    EXPECT_EQ(store_->SignRawPkcs1(id.sha1, Bytes(), &signature), E_INVALIDARG);

    pki_.MakeEndEntity("ee-ec", "ec", "user02", "clientAuth");
    pki_.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (user02)", false);
    EXPECT_EQ(store_->SignRawPkcs1(Import("ec-default").sha1, input, &signature), KEYSTORE_E_UNSUPPORTED);
}

TEST_F(IdentitiesTest, DecryptsWhatOpensslEncrypted)
{
    pki_.MakeEndEntity("ee-rsa", "rsa", "user01", "clientAuth");
    pki_.ExportPkcs12("rsa-default", "ee-rsa", "QEV Kestrin (user01)", false);
    Identity id = Import("rsa-default");
    const Bytes plain = Text("session key material");
    WriteFile(temp_.path() + "/plain.bin", plain);
    struct {
        DecryptPadding padding;
        const char* options;
    } cases[] = {
        {DecryptPadding::Pkcs1, "-pkeyopt rsa_padding_mode:pkcs1"},
        {DecryptPadding::OaepSha1, "-pkeyopt rsa_padding_mode:oaep"},
        {DecryptPadding::OaepSha256,
         "-pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_TRUE(Shell("openssl pkeyutl -encrypt -pubin -inkey " + pki_.Path("ee-rsa.pub") + " " + c.options
                          + " -in " + temp_.path() + "/plain.bin -out " + temp_.path() + "/cipher.bin"));
        SecretBytes out;
        ASSERT_EQ(store_->Decrypt(id.sha1, c.padding, ReadFile(temp_.path() + "/cipher.bin"), &out), S_OK);
        EXPECT_EQ(Bytes(out.data(), out.data() + out.size()), plain);
    }
    SecretBytes out;
    EXPECT_EQ(store_->Decrypt(id.sha1, DecryptPadding::OaepSha256, ReadFile(temp_.path() + "/cipher.bin"), &out), S_OK);
    EXPECT_EQ(store_->Decrypt(id.sha1, DecryptPadding::Pkcs1, ReadFile(temp_.path() + "/cipher.bin"), &out),
              KEYSTORE_E_CRYPTO);

    pki_.MakeEndEntity("ee-ec", "ec", "user01", "clientAuth");
    pki_.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (ec)", false);
    Identity ec = Import("ec-default");
    EXPECT_EQ(store_->Decrypt(ec.sha1, DecryptPadding::Pkcs1, Bytes(64, 1), &out), KEYSTORE_E_UNSUPPORTED);
}

TEST_F(IdentitiesTest, BadPkcs12LeavesTheStoreUnchanged)
{
    pki_.MakeEndEntity("ee-ec", "ec", "user01", "clientAuth");
    pki_.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (user01)", false);
    pki_.ExportPkcs12("ec-legacy", "ee-ec", "QEV Kestrin (user01)", true);
    int calls = 0;
    Subscription sub;
    ASSERT_EQ(store_->Subscribe(
                  kAllChanges, [&](unsigned) { ++calls; }, &sub),
              S_OK);

    Pkcs12Import imported;
    EXPECT_EQ(store_->ImportPkcs12(pki_.P12("ec-default"), "wrong", &imported), KEYSTORE_E_PKCS12_PASSWORD);
    EXPECT_EQ(store_->ImportPkcs12(pki_.P12("ec-legacy"), "wrong", &imported), KEYSTORE_E_PKCS12_PASSWORD);
    EXPECT_EQ(store_->ImportPkcs12(pki_.P12("ec-default"), "", &imported), KEYSTORE_E_PKCS12_PASSWORD);
    EXPECT_EQ(store_->ImportPkcs12(pki_.Der("ca"), "secret", &imported), KEYSTORE_E_PKCS12_FORMAT);
    EXPECT_EQ(store_->ImportPkcs12({}, "secret", &imported), E_INVALIDARG);
    // A PKCS#12 of certificates only holds no identity.
    ASSERT_TRUE(Shell("openssl pkcs12 -export -nokeys -in " + pki_.Path("ca.pem") + " -passout pass:secret -out "
                      + temp_.path() + "/certs.p12"));
    EXPECT_EQ(store_->ImportPkcs12(ReadFile(temp_.path() + "/certs.p12"), "secret", &imported),
              KEYSTORE_E_PKCS12_NO_IDENTITY);

    std::vector<Identity> identities;
    std::vector<Certificate> certs;
    ASSERT_EQ(store_->ListIdentities(&identities), S_OK);
    ASSERT_EQ(store_->ListCertificates(&certs), S_OK);
    EXPECT_TRUE(identities.empty());
    EXPECT_TRUE(certs.empty());
    EXPECT_EQ(calls, 0);
}

TEST_F(IdentitiesTest, PrintNamePrefixAndExactDeletion)
{
    const struct {
        const char* cert;
        const char* friendly;
    } made[] = {
        {"n1", "QEV Kestrin (user01)"}, {"n2", "QEV Kestrin (user01) 2"}, {"n3", "QEV Kestrin"},
        {"n4", "qev kestrin (user01)"}, {"n5", "QEV Kestrin (user02)"},
    };
    for (const auto& m : made) {
        pki_.MakeEndEntity(m.cert, "ec", m.cert, "clientAuth");
        pki_.ExportPkcs12(m.cert, m.cert, m.friendly, false);
        Import(m.cert);
    }
    EXPECT_TRUE(PrintNameMatches("QEV Kestrin (user01)", "QEV Kestrin ", NameMatch::Prefix));
    EXPECT_FALSE(PrintNameMatches("QEV Kestrin", "QEV Kestrin ", NameMatch::Prefix));
    EXPECT_FALSE(PrintNameMatches("qev kestrin (user01)", "QEV Kestrin ", NameMatch::Prefix));
    EXPECT_FALSE(PrintNameMatches("anything", "", NameMatch::Prefix));
    EXPECT_FALSE(PrintNameMatches("QEV Kestrin (user01) 2", "QEV Kestrin (user01)", NameMatch::Exact));

    std::vector<Identity> deleted;
    ASSERT_EQ(store_->DeleteIdentitiesByPrintName("QEV Kestrin (user01)", NameMatch::Exact, &deleted), S_OK);
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0].printName, "QEV Kestrin (user01)");
    EXPECT_EQ(deleted[0].certificate, pki_.Der("n1"));
    EXPECT_EQ(store_->FindCertificate(Sha1Of(pki_.Der("n1")), nullptr), E_POINTER);
    Certificate cert;
    EXPECT_EQ(store_->FindCertificate(Sha1Of(pki_.Der("n1")), &cert), S_FALSE);

    ASSERT_EQ(store_->DeleteIdentitiesByPrintName("QEV Kestrin ", NameMatch::Prefix, &deleted), S_OK);
    std::vector<std::string> names;
    for (const auto& d : deleted)
        names.push_back(d.printName);
    EXPECT_EQ(names, (std::vector<std::string> {"QEV Kestrin (user01) 2", "QEV Kestrin (user02)"}));
    EXPECT_EQ(store_->DeleteIdentitiesByPrintName("QEV Kestrin ", NameMatch::Prefix, &deleted), S_FALSE);
    EXPECT_TRUE(deleted.empty());

    std::vector<Identity> left;
    ASSERT_EQ(store_->ListIdentities(&left), S_OK);
    names.clear();
    for (const auto& d : left)
        names.push_back(d.printName);
    EXPECT_EQ(names, (std::vector<std::string> {"QEV Kestrin", "qev kestrin (user01)"}));
    std::string cn;
    EXPECT_EQ(CertificateCommonName(left[0].certificate, &cn), S_OK);
    EXPECT_EQ(cn, "n3");
}

TEST_F(IdentitiesTest, KeyAndCertificateAreDeletedSeparately)
{
    pki_.MakeEndEntity("ee-ec", "ec", "user01", "clientAuth");
    pki_.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (user01)", false);
    Identity id = Import("ec-default");
    Bytes signature;

    ASSERT_EQ(store_->DeleteIdentity(id.sha1, DeletePart::Certificate), S_OK);
    Identity found;
    EXPECT_EQ(store_->FindIdentity(id.sha1, &found), S_FALSE);
    // The key stayed: the certificate added again makes the identity whole.
    ASSERT_EQ(store_->AddCertificate(id.certificate), S_OK);
    ASSERT_EQ(store_->FindIdentity(id.sha1, &found), S_OK);
    EXPECT_EQ(found.printName, "QEV Kestrin (user01)");

    ASSERT_EQ(store_->DeleteIdentity(id.sha1, DeletePart::Key), S_OK);
    EXPECT_EQ(store_->FindIdentity(id.sha1, &found), S_FALSE);
    EXPECT_EQ(store_->Sign(id.sha1, Digest::Sha256, SignPadding::Pkcs1, Text("x"), &signature), KEYSTORE_E_NOT_FOUND);
    Certificate cert;
    ASSERT_EQ(store_->FindCertificate(id.sha1, &cert), S_OK);
    EXPECT_FALSE(cert.hasPrivateKey);
    EXPECT_EQ(store_->DeleteIdentity(id.sha1, DeletePart::Key), S_FALSE);

    Import("ec-default");
    ASSERT_EQ(store_->DeleteIdentity(id.sha1, DeletePart::Both), S_OK);
    EXPECT_EQ(store_->FindCertificate(id.sha1, &cert), S_FALSE);
    EXPECT_EQ(store_->DeleteIdentity(id.sha1, DeletePart::Both), S_FALSE);
}

TEST_F(IdentitiesTest, ImportingAgainKeepsOneIdentityWithTheNewName)
{
    pki_.MakeEndEntity("ee-ec", "ec", "user01", "clientAuth");
    pki_.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (user01)", false);
    pki_.ExportPkcs12("ec-renamed", "ee-ec", "QEV Kestrin (renamed)", false);
    Pkcs12Import first;
    ASSERT_EQ(store_->ImportPkcs12(pki_.P12("ec-default"), "secret", &first), S_OK);
    EXPECT_FALSE(first.keyWasPresent);
    EXPECT_FALSE(first.certificateWasPresent);
    Pkcs12Import again;
    ASSERT_EQ(store_->ImportPkcs12(pki_.P12("ec-renamed"), "secret", &again), S_OK);
    EXPECT_TRUE(again.keyWasPresent);
    EXPECT_TRUE(again.certificateWasPresent);
    EXPECT_EQ(again.previousPrintName, "QEV Kestrin (user01)");
    std::vector<Identity> all;
    ASSERT_EQ(store_->ListIdentities(&all), S_OK);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].printName, "QEV Kestrin (renamed)");
    EXPECT_EQ(all[0].sha1, again.identity.sha1);

    // The earlier name can be given back.
    EXPECT_EQ(store_->SetPrintName(again.identity.sha1, again.previousPrintName), S_OK);
    Identity found;
    ASSERT_EQ(store_->FindIdentity(again.identity.sha1, &found), S_OK);
    EXPECT_EQ(found.printName, "QEV Kestrin (user01)");
    EXPECT_EQ(store_->SetPrintName(Fingerprint {}, "x"), S_FALSE);
}

TEST_F(IdentitiesTest, CertificatesWithoutKeys)
{
    Bytes ca = pki_.Der("ca");
    Fingerprint sha1 {};
    ASSERT_EQ(store_->AddCertificate(ca, &sha1), S_OK);
    EXPECT_EQ(sha1, Sha1Of(ca));
    EXPECT_EQ(store_->AddCertificate(ca), S_FALSE);
    Certificate cert;
    ASSERT_EQ(store_->FindCertificate(sha1, &cert), S_OK);
    EXPECT_EQ(cert.der, ca);
    EXPECT_FALSE(cert.hasPrivateKey);
    std::vector<Certificate> all;
    ASSERT_EQ(store_->ListCertificates(&all), S_OK);
    EXPECT_EQ(all.size(), 1u);
    std::vector<Identity> identities;
    ASSERT_EQ(store_->ListIdentities(&identities), S_OK);
    EXPECT_TRUE(identities.empty());

    Bytes trailing = ca;
    trailing.push_back(0);
    EXPECT_EQ(store_->AddCertificate(trailing), KEYSTORE_E_BAD_CERTIFICATE);
    EXPECT_EQ(store_->AddCertificate(Text("not a certificate")), KEYSTORE_E_BAD_CERTIFICATE);
    EXPECT_EQ(store_->AddCertificate({}), E_INVALIDARG);

    ASSERT_EQ(store_->DeleteCertificate(sha1), S_OK);
    EXPECT_EQ(store_->DeleteCertificate(sha1), S_FALSE);
    EXPECT_EQ(store_->FindCertificate(sha1, &cert), S_FALSE);
}

TEST_F(IdentitiesTest, IdentityPreferences)
{
    pki_.MakeEndEntity("ee-ec", "ec", "user01", "clientAuth");
    pki_.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (user01)", false);
    Identity id = Import("ec-default");
    Identity found;
    EXPECT_EQ(store_->GetPreferredIdentity("portal.example", &found), S_FALSE);
    EXPECT_EQ(store_->SetPreferredIdentity("portal.example", Sha1Of(pki_.Der("ca"))), KEYSTORE_E_NOT_FOUND);
    ASSERT_EQ(store_->SetPreferredIdentity("portal.example", id.sha1), S_OK);
    ASSERT_EQ(store_->GetPreferredIdentity("portal.example", &found), S_OK);
    EXPECT_EQ(found.sha1, id.sha1);
    EXPECT_EQ(store_->GetPreferredIdentity("Portal.example", &found), S_FALSE);

    // A preference whose identity is gone names nothing, but can be cleared.
    ASSERT_EQ(store_->DeleteIdentity(id.sha1, DeletePart::Both), S_OK);
    EXPECT_EQ(store_->GetPreferredIdentity("portal.example", &found), S_FALSE);
    EXPECT_EQ(store_->ClearPreferredIdentity("portal.example"), S_OK);
    EXPECT_EQ(store_->ClearPreferredIdentity("portal.example"), S_FALSE);
    EXPECT_EQ(store_->SetPreferredIdentity("", id.sha1), E_INVALIDARG);
}

}  // namespace
}  // namespace kestrin::keystore::test
