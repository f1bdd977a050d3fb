// The PSE over a token, its own-certificate filter and the file PSE, over
// certificates made by openssl: the filter through the key-store PSE's
// getOwnCertificate, the file PSE from files and folders of certificates.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "provider_environment.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "test_pki.h"
#include "zelk_holders.h"
#include "zelk_secattribute.h"

namespace ZELK::ZELKPSE::test {
namespace {

using Names = std::set<std::string>;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

std::string CommonName(Certificate* certificate)
{
    char* name = nullptr;
    std::string text;
    if (certificate != nullptr && SUCCEEDED(certificate->getSubjectCommonName(&name)) && name != nullptr)
        text = name;
    Type(SEC_TYPE_String)->free(name);
    return text;
}

Certificate* ReadCertificate(const std::string& path)
{
    std::vector<uint8_t> der = ReadBytes(path);
    OctetString bytes {der.size(), der.data()};
    void* certificate = nullptr;
    Type(SEC_TYPE_Certificate)->decode(&bytes, &certificate);
    return static_cast<Certificate*>(certificate);
}

class TokenPSE : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pki = TestHome() + "/pki";
        ASSERT_EQ(mkdir(s_pki.c_str(), 0700), 0);
        ASSERT_TRUE(MakeTestPki(s_pki));
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        ASSERT_EQ(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &store), S_OK);
        for (const char* leaf : {"sign", "nonrep", "encipher", "nokeyusage", "noski", "other"})
            ASSERT_TRUE(ImportIdentity(*store, s_pki, leaf)) << leaf;
        for (const char* ca : {"R", "I", "I2"})
            ASSERT_EQ(store->AddCertificate(ReadBytes(s_pki + "/" + ca + ".der")), S_OK) << ca;
        s_keychain = NamedPSE("tokkeychain:cfg=KVWC+KVC");
        ASSERT_NE(s_keychain, nullptr);
    }
    static void TearDownTestSuite()
    {
        if (s_keychain != nullptr)
            s_keychain->Release();
        s_keychain = nullptr;
    }

    // The common names of the own certificates that pass the filter.
    static Names Passing(SECAttribute* filter)
    {
        SET_OF_PersonalCertificateInfo* own = nullptr;
        EXPECT_EQ(s_keychain->getOwnCertificate(nullptr, filter, &own), S_OK);
        Names names;
        for (SET_OF_PersonalCertificateInfo* node = own; node != nullptr; node = node->next)
            names.insert(CommonName(node->element->certificate));
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
        return names;
    }

    // The own certificate of that name (one reference), NULL when none.
    static PersonalCertificateInfo* Own(const std::string& name)
    {
        SET_OF_PersonalCertificateInfo* own = nullptr;
        s_keychain->getOwnCertificate(nullptr, nullptr, &own);
        PersonalCertificateInfo* found = nullptr;
        for (SET_OF_PersonalCertificateInfo* node = own; node != nullptr; node = node->next)
            if (found == nullptr && CommonName(node->element->certificate) == name) {
                found = node->element;
                Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(found);
            }
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
        return found;
    }

    static DName* Name(const char* text)
    {
        DName* name = nullptr;
        static_cast<const SEC_DNAME_TYPE_TABLE*>(Type(SEC_TYPE_DName))->from_text(text, &name);
        return name;
    }

    static inline std::string s_pki;
    static inline PSE* s_keychain = nullptr;
};

const Names kUnderI = {"sign", "nonrep", "encipher", "nokeyusage", "noski"};
const Names kAll = {"sign", "nonrep", "encipher", "nokeyusage", "noski", "other"};

TEST_F(TokenPSE, TheOwnListHoldsTheEndEntitiesWithKeysAndAnEmptyFilterPassesThemAll)
{
    EXPECT_EQ(Passing(nullptr), kAll);
    const char* caller = "someone";
    SECAttribute unknown = Attribute(999, caller);
    EXPECT_EQ(Passing(&unknown), kAll);
    // A token PSE leaves the exact-match and substring texts empty.
    SECAttribute substring = Attribute(SEC_ATTR_CALLER, "sign");
    EXPECT_EQ(Passing(&substring), Names {});
    SECAttribute exact = Attribute(SEC_ATTR_EXACT_MATCH, "sign");
    EXPECT_EQ(Passing(&exact), Names {});
    // Nothing passes: *out stays as the caller set it.
    SET_OF_PersonalCertificateInfo* untouched = nullptr;
    EXPECT_EQ(s_keychain->getOwnCertificate(nullptr, &exact, &untouched), S_OK);
    EXPECT_EQ(untouched, nullptr);
}

TEST_F(TokenPSE, KeyUsageSelectors)
{
    const struct {
        int selector;
        Names passing;
    } cases[] = {
        {0, {"sign", "noski", "other", "nokeyusage"}},
        {1, {"nonrep", "nokeyusage"}},
        {2, {"encipher", "nokeyusage"}},
        {3, {"nokeyusage"}},
        {16, {"sign", "nonrep", "noski", "other", "nokeyusage"}},
        {17, {"encipher", "nokeyusage"}},
        {5, kAll},
        {18, kAll},
    };
    for (const auto& c : cases) {
        SECAttribute usage = Attribute(SEC_ATTR_KEY_USAGE, &c.selector);
        EXPECT_EQ(Passing(&usage), c.passing) << c.selector;
    }
    // A selector that is not an integer is never read as one.
    SECAttribute text = Attribute(SEC_ATTR_KEY_USAGE, "0");
    text.type = Type(SEC_TYPE_String);
    EXPECT_EQ(Passing(&text), Names {});
}

TEST_F(TokenPSE, IdentifiersNamesAndTokens)
{
    PersonalCertificateInfo* sign = Own("sign");
    ASSERT_NE(sign, nullptr);
    ASSERT_NE(sign->keyId, nullptr);
    ASSERT_NE(sign->tokenName, nullptr);

    SECAttribute keyId = Attribute(SEC_ATTR_KEY_ID, sign->keyId);
    EXPECT_EQ(Passing(&keyId), Names {"sign"});
    int number = 1;
    SECAttribute badKeyId = Attribute(SEC_ATTR_KEY_ID, &number);
    badKeyId.type = Type(SEC_TYPE_int);
    EXPECT_EQ(Passing(&badKeyId), Names {});
    SECAttribute nullKeyId = Attribute(SEC_ATTR_KEY_ID, nullptr);
    EXPECT_EQ(Passing(&nullKeyId), Names {});

    const OctetString* ski = sign->certificate->getSubjectKeyIdentifier();
    ASSERT_NE(ski, nullptr);
    SECAttribute keyIdentifier = Attribute(SEC_ATTR_SUBJECT_KEY_ID, ski);
    EXPECT_EQ(Passing(&keyIdentifier), Names {"sign"});

    IssuerAndSerial issuerAndSerial {const_cast<DName*>(sign->certificate->getIssuer()),
                                     const_cast<OctetString*>(sign->certificate->getSerialNumber())};
    SECAttribute byIssuer = Attribute(SEC_ATTR_ISSUER_AND_SERIAL, &issuerAndSerial);
    EXPECT_EQ(Passing(&byIssuer), Names {"sign"});

    SECAttribute subject = Attribute(SEC_ATTR_SUBJECT_NAME, sign->certificate->getSubject());
    EXPECT_EQ(Passing(&subject), Names {"sign"});

    SECAttribute token = Attribute(SEC_ATTR_TOKEN_URI, sign->tokenName);
    EXPECT_EQ(Passing(&token), kAll);
    SECAttribute noToken = Attribute(SEC_ATTR_TOKEN_URI, nullptr);
    EXPECT_EQ(Passing(&noToken), Names {});
    SECAttribute otherToken = Attribute(SEC_ATTR_TOKEN_URI, "tokkeychain:cert=0000");
    EXPECT_EQ(Passing(&otherToken), Names {});

    // Every attribute must pass: the first that fails ends the walk.
    SECAttribute both = Attribute(SEC_ATTR_TOKEN_URI, sign->tokenName, &keyId);
    EXPECT_EQ(Passing(&both), Names {"sign"});
    Type(SEC_TYPE_PersonalCertificateInfo)->free(sign);
}

TEST_F(TokenPSE, PathsByIntermediateRootAndLastIssuer)
{
    DName* intermediate = Name("O=I Org");
    SECAttribute onPath = Attribute(SEC_ATTR_PATH_SUBJECT, intermediate);
    EXPECT_EQ(Passing(&onPath), kUnderI);
    DName* root = Name("CN=R, O=R Org");
    SECAttribute atRoot = Attribute(SEC_ATTR_PATH_SUBJECT, root);
    EXPECT_EQ(Passing(&atRoot), kUnderI);

    // 130: the path's end; without one (R2 is not in the store), the issuer
    // of the path's last certificate.
    SET_OF_DName roots {root, nullptr};
    SECAttribute byEnd = Attribute(SEC_ATTR_ROOT_ISSUERS, &roots);
    EXPECT_EQ(Passing(&byEnd), kUnderI);
    DName* root2 = Name("CN=R2, O=R2 Org");
    SET_OF_DName roots2 {root2, nullptr};
    SECAttribute byLastIssuer = Attribute(SEC_ATTR_ROOT_ISSUERS, &roots2);
    EXPECT_EQ(Passing(&byLastIssuer), Names {"other"});
    for (DName* name : {intermediate, root, root2})
        Type(SEC_TYPE_DName)->free(name);
}

TEST_F(TokenPSE, ACertificateWithoutSubjectKeyIdentifierFailsThatAttribute)
{
    PersonalCertificateInfo* noski = Own("noski");
    ASSERT_NE(noski, nullptr);
    EXPECT_EQ(noski->certificate->getSubjectKeyIdentifier(), nullptr);
    unsigned char bytes[20] = {};
    OctetString any {sizeof bytes, bytes};
    SECAttribute keyIdentifier = Attribute(SEC_ATTR_SUBJECT_KEY_ID, &any);
    EXPECT_EQ(Passing(&keyIdentifier), Names {});
    Type(SEC_TYPE_PersonalCertificateInfo)->free(noski);
}

TEST_F(TokenPSE, ControlSlotAndTokenLookUpsAndKeys)
{
    SECAttribute config = Attribute(SEC_ATTR_CONNECTION_CONFIG, nullptr);
    SECAttribute start = Attribute(SEC_ATTR_ACTION, "ConnectionStart");
    EXPECT_EQ(s_keychain->control(&start, &config), S_OK);
    EXPECT_STREQ(SECAttributeArray_GetString(&config, SEC_ATTR_CONNECTION_CONFIG), "sr-ecdhe:cl-rsa:1993");
    SECAttributeArray_SetString(&config, SEC_ATTR_CONNECTION_CONFIG, nullptr);

    SECAttribute keys = Attribute(SEC_ATTR_CREDENTIAL_TEMP_KEYS, nullptr);
    SECAttribute credential = Attribute(SEC_ATTR_CREDENTIAL, nullptr, &keys);
    SECAttribute get = Attribute(SEC_ATTR_ACTION, "GetCredentials");
    EXPECT_EQ(s_keychain->control(&get, &credential), S_OK);
    EXPECT_NE(credential.value, nullptr);
    ASSERT_NE(keys.value, nullptr);
    EXPECT_EQ(*static_cast<int32_t*>(keys.value), 0);
    for (SECAttribute* a : {&credential, &keys}) {
        if (a->owned)
            a->type->free(a->value);
    }

    SecSlot* slot = reinterpret_cast<SecSlot*>(0x1);
    EXPECT_EQ(s_keychain->getSlotByName(nullptr, "x", 0), E_PSE_NOARG);
    EXPECT_EQ(s_keychain->getSlotByName(&slot, nullptr, 0), E_PSE_NOARG);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(s_keychain->getSlotByName(&slot, "", 0), E_PSE_NOARG);
    EXPECT_EQ(s_keychain->getSlotByName(&slot, "tokkeychain:other", 0), E_PSE_NOTFOUND);
    EXPECT_EQ(s_keychain->getSlotByName(&slot, "tokkeychain:cfg=KVWC+KVC", 0), S_OK);
    ASSERT_NE(slot, nullptr);
    slot->Release();
    SecToken* token = nullptr;
    EXPECT_EQ(s_keychain->getTokenByName(&token, "no such token", 0), E_PSE_NOTFOUND);

    PersonalCertificateInfo* sign = Own("sign");
    ASSERT_NE(sign, nullptr);
    EXPECT_EQ(s_keychain->getTokenByName(&token, sign->tokenName, 0), S_OK);
    ASSERT_NE(token, nullptr);
    token->Release();
    TokenObjectPrivateKey* key = nullptr;
    EXPECT_EQ(s_keychain->getPrivateKey(sign->tokenName, sign->keyId, &key), S_OK);
    ASSERT_NE(key, nullptr);
    key->Release();
    EXPECT_EQ(s_keychain->getPrivateKey("no such token", sign->keyId, &key), E_PSE_NOTFOUND);

    unsigned char digest[32] = {1, 2, 3};
    unsigned char signature[256];
    unsigned long length = sizeof signature;
    SECAttribute unknownKey = Attribute(SEC_ATTR_KEY_ID, "00");
    EXPECT_EQ(s_keychain->encryptDigest(nullptr, &unknownKey, digest, sizeof digest, signature, &length),
              E_TOKEN_NOKEY);
    SECAttribute keyId = Attribute(SEC_ATTR_KEY_ID, sign->keyId);
    length = sizeof signature;
    EXPECT_EQ(s_keychain->encryptDigest(nullptr, &keyId, digest, sizeof digest, signature, &length), S_OK);
    EXPECT_GT(length, 0u);
    Type(SEC_TYPE_PersonalCertificateInfo)->free(sign);
}

// The file PSE over files and folders of certificates.
class FilePSE : public TokenPSE {
protected:
    static Names Trusted(PSE* pse)
    {
        SET_OF_Certificate* list = nullptr;
        EXPECT_EQ(pse->getTrustedCertList(&list), S_OK);
        Names names;
        for (SET_OF_Certificate* node = list; node != nullptr; node = node->next)
            names.insert(CommonName(node->element));
        Type(SEC_TYPE_SET_OF_Certificate)->free(list);
        return names;
    }
    static PSE* File(const std::string& path) { return NamedPSE(("file:///" + path).c_str()); }
};

TEST_F(FilePSE, FilesAndFoldersOfCertificates)
{
    ASSERT_TRUE(Shell("cd '" + s_pki + "' && cat R.pem I.pem > two.pem"));
    PSE* pem = File(s_pki + "/two.pem");
    ASSERT_NE(pem, nullptr);
    EXPECT_EQ(Trusted(pem), (Names {"R", "I"}));
    PSE* der = File(s_pki + "/sign.der");
    ASSERT_NE(der, nullptr);
    EXPECT_EQ(Trusted(der), Names {"sign"});
    PSE* missing = File(s_pki + "/missing.pem");
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(Trusted(missing), Names {});

    // A folder: its certificate files count, anything else adds nothing.
    std::string folder = s_pki + "/folder";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0700), 0);
    ASSERT_TRUE(Shell("cd '" + folder
                      + "' && cp ../R.pem r.pem && cp ../I2.der i2.der && cp ../R2.pem sub/ && "
                        "head -c 300 ../I.pem > truncated.pem && echo 'no certificate' > text.pem && "
                        "head -c 0 /dev/null > empty.pem && ln -s ../other.pem link.pem"));
    PSE* dir = File(folder);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(Trusted(dir), (Names {"R", "I2"}));

    // Trust is what the file held, nothing else.
    Certificate* root = ReadCertificate(s_pki + "/R.der");
    Certificate* leaf = ReadCertificate(s_pki + "/sign.der");
    ASSERT_NE(root, nullptr);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(dir->isInTrustedCerts(root), 1);
    EXPECT_EQ(dir->isInTrustedCerts(leaf), 0);
    EXPECT_EQ(missing->isInTrustedCerts(root), 0);

    // searchCertificate: a subject name in first place only.
    SET_OF_Certificate* found = nullptr;
    SECAttribute bySubject = Attribute(SEC_ATTR_SUBJECT, root->getSubject());
    EXPECT_EQ(pem->searchCertificate(&bySubject, &found), S_OK);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(CommonName(found->element), "R");
    EXPECT_EQ(found->next, nullptr);
    Type(SEC_TYPE_SET_OF_Certificate)->free(found);
    found = nullptr;
    SECAttribute first = Attribute(SEC_ATTR_KEY_ID, "x", &bySubject);
    EXPECT_EQ(pem->searchCertificate(&first, &found), S_OK);
    EXPECT_EQ(found, nullptr);

    // No token: no keys, no slots; GetCredentials sets only 917.
    unsigned char digest[32] = {};
    unsigned char out[256];
    unsigned long length = sizeof out;
    EXPECT_EQ(pem->encryptDigest(nullptr, nullptr, digest, sizeof digest, out, &length), E_TOKEN_NOKEY);
    EXPECT_EQ(pem->decryptKey(nullptr, nullptr, digest, sizeof digest, out, &length), E_TOKEN_NOKEY);
    unsigned long count = 5;
    EXPECT_EQ(pem->getSlots(nullptr, &count), S_OK);
    EXPECT_EQ(count, 0u);
    SecSlot* slot = nullptr;
    EXPECT_EQ(pem->getSlotByName(&slot, "tokkeychain:cfg=KVWC+KVC", 0), E_PSE_NOTFOUND);
    SECAttribute keys = Attribute(SEC_ATTR_CREDENTIAL_TEMP_KEYS, nullptr);
    SECAttribute credential = Attribute(SEC_ATTR_CREDENTIAL, nullptr, &keys);
    SECAttribute get = Attribute(SEC_ATTR_ACTION, "GetCredentials");
    EXPECT_EQ(pem->control(&get, &credential), S_OK);
    EXPECT_EQ(credential.value, nullptr);
    ASSERT_NE(keys.value, nullptr);
    keys.type->free(keys.value);
    OctetString* object = reinterpret_cast<OctetString*>(0x1);
    EXPECT_EQ(pem->readApplObject("Kerberos-CN=x", &object), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(pem->readApplObject("x", nullptr), E_PSE_NOARG);

    root->Release();
    leaf->Release();
    for (PSE* pse : {pem, der, missing, dir})
        pse->Release();
}

}  // namespace
}  // namespace ZELK::ZELKPSE::test
