// The service PSE's certificate choice and key operations over certificates
// made by openssl: the filter attribute by attribute, the own certificates of
// tokens and real PSE, the signature layer, signing and decryption with
// their fall-backs, private keys by hashed token names and the search.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_client.h"
#include "fakes/fake_dialog.h"
#include "fakes/fake_token_calls.h"
#include "keystore.h"
#include "qev_attributes.h"
#include "qev_doubles.h"
#include "qev_results.h"
#include "service_fixture.h"
#include "tokens/trust_keychain.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_secattribute.h"
#include "zelkpse.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::sec_store_test_own_Certificate;
using ZELK::PSESVC::ZELKPSE;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

const SEC_DNAME_TYPE_TABLE* Names()
{
    return static_cast<const SEC_DNAME_TYPE_TABLE*>(Type(SEC_TYPE_DName));
}

int Run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// Certificates made once: a root, an intermediate under it and end
// entities under the intermediate with several key usages.
class Pki {
public:
    static Pki& Get()
    {
        static Pki pki;
        return pki;
    }
    std::string dir;
    std::map<std::string, std::string> der;   // name -> DER bytes
    std::map<std::string, std::string> sha1;  // name -> lower-case hexadecimal SHA-1

private:
    Pki()
    {
        char pattern[] = "/tmp/zelkpki-XXXXXX";
        dir = mkdtemp(pattern);
        std::string d = dir + "/";
        auto key = [&](const std::string& name) {
            return Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + d + name + ".key");
        };
        key("root");
        Run("openssl req -x509 -new -key " + d + "root.key -subj '/O=Kestrin Test/CN=Test Root' -days 30 -out " + d
            + "root.pem");
        key("inter");
        Run("openssl req -new -key " + d + "inter.key -subj '/O=Kestrin Test/CN=Test Intermediate' -out " + d
            + "inter.csr");
        std::ofstream(d + "ca.ext") << "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n";
        Run("openssl x509 -req -in " + d + "inter.csr -CA " + d + "root.pem -CAkey " + d
            + "root.key -CAcreateserial -days 30 -extfile " + d + "ca.ext -out " + d + "inter.pem");
        struct Leaf {
            const char* name;
            const char* cn;
            const char* ext;
        } leaves[] = {
            {"sig", "Alice Sign", "keyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n"},
            {"nr", "Alice Qualified", "keyUsage=nonRepudiation\nsubjectKeyIdentifier=none\n"},
            {"enc", "Alice Crypt", "keyUsage=keyEncipherment\nsubjectKeyIdentifier=hash\n"},
            {"any", "Alice Any", "subjectKeyIdentifier=none\n"},
        };
        for (const Leaf& leaf : leaves) {
            std::string n = leaf.name;
            key(n);
            Run("openssl req -new -key " + d + n + ".key -subj '/O=Kestrin Test/CN=" + leaf.cn + "' -out " + d + n
                + ".csr");
            std::ofstream(d + n + ".ext") << leaf.ext;
            Run("openssl x509 -req -in " + d + n + ".csr -CA " + d + "inter.pem -CAkey " + d
                + "inter.key -CAcreateserial -days 30 -extfile " + d + n + ".ext -out " + d + n + ".pem");
        }
        for (const char* n : {"root", "inter", "sig", "nr", "enc", "any"}) {
            std::string name = n;
            Run("openssl x509 -in " + d + name + ".pem -outform DER -out " + d + name + ".der");
            std::ifstream in(d + name + ".der", std::ios::binary);
            der[name] = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::string command = "openssl x509 -in " + d + name + ".pem -noout -fingerprint -sha1";
            FILE* pipe = popen(command.c_str(), "r");
            char line[256] = {};
            if (pipe && fgets(line, sizeof line, pipe)) {
                std::string text = line;
                std::string hex;
                for (char c : text.substr(text.find('=') + 1))
                    if (std::isxdigit(static_cast<unsigned char>(c)))
                        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                sha1[name] = hex;
            }
            if (pipe)
                pclose(pipe);
        }
    }
};

class CertTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        TokenCalls::Reset();
        FakeTokens::Clear();
        FakeClient::Clear();
        Dialogs::Reset();
        ASSERT_EQ(Pki::Get().der.size(), 6u);
        for (const auto& [name, der] : Pki::Get().der) {
            OctetString bytes {der.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(der.data()))};
            void* certificate = nullptr;
            ASSERT_EQ(Type(SEC_TYPE_Certificate)->decode(&bytes, &certificate), S_OK) << name;
            m_certs[name] = static_cast<Certificate*>(certificate);
        }
    }
    void TearDown() override
    {
        FakeTokens::Clear();
        FakeClient::Clear();
        for (auto& [name, certificate] : m_certs)
            certificate->Release();
        for (DName* name : m_names)
            Type(SEC_TYPE_DName)->free(name);
        if (m_pse)
            m_pse->Release();
        if (m_asc)
            m_asc->Release();
        if (m_real)
            m_real->Release();
        ServiceTest::TearDown();
    }

    // A new info of the library: token URI, key id, third text, certificate
    // with the intermediate as chain and the root as its end (when asked).
    PersonalCertificateInfo* Info(const char* uri, const char* keyId, const char* leaf, bool chain = true,
                                  bool root = true, const char* exact = nullptr)
    {
        SEQUENCE_OF_Certificate inter {m_certs["inter"], nullptr};
        PersonalCertificateInfo record {};
        record.tokenName = const_cast<char*>(uri);
        record.keyId = const_cast<char*>(keyId);
        record.exactMatch = const_cast<char*>(exact);
        record.certificate = leaf ? m_certs[leaf] : nullptr;
        record.path = chain ? &inter : nullptr;
        record.pathEnd = root ? m_certs["root"] : nullptr;
        void* copy = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_PersonalCertificateInfo)->copy(&record, &copy), S_OK);
        return static_cast<PersonalCertificateInfo*>(copy);
    }
    DName* Name(const char* text)
    {
        DName* name = nullptr;
        EXPECT_EQ(Names()->from_text(text, &name), S_OK) << text;
        m_names.push_back(name);
        return name;
    }
    // A service PSE whose real PSE is a double holding `own`.
    void MakePSE(bool withRealPSE = true)
    {
        if (withRealPSE)
            m_real = new qevtest::FakePSE;
        m_asc = new qevtest::FakeASC(nullptr, m_real);
        ASSERT_EQ(ZELKPSE::New(m_asc, &m_pse), S_OK);
    }
    static std::vector<std::string> Uris(SET_OF_PersonalCertificateInfo* list)
    {
        std::vector<std::string> uris;
        for (; list != nullptr; list = list->next)
            uris.push_back(std::string(list->element->tokenName) + "/" + list->element->keyId);
        return uris;
    }
    static void Free(SET_OF_PersonalCertificateInfo* list)
    {
        if (list)
            Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
    }
    void FreeInfo(PersonalCertificateInfo* info) { Type(SEC_TYPE_PersonalCertificateInfo)->free(info); }

    std::map<std::string, Certificate*> m_certs;
    std::vector<DName*> m_names;
    qevtest::FakePSE* m_real = nullptr;
    qevtest::FakeASC* m_asc = nullptr;
    PSE* m_pse = nullptr;
};

// A chain of attributes built from the back.
struct Chain {
    std::vector<SECAttribute*> entries;
    ~Chain()
    {
        for (SECAttribute* entry : entries)
            delete entry;
    }
    Chain& Add(uint32_t id, void* value, const SEC_TYPE_TABLE* type = nullptr)
    {
        auto* entry = new SECAttribute {id, value, 0, 0, 0, type, nullptr};
        if (!entries.empty())
            entries.back()->next = entry;
        entries.push_back(entry);
        return *this;
    }
    SECAttribute* Head() { return entries.empty() ? nullptr : entries.front(); }
};

TEST_F(CertTest, TheFilterAttributeByAttribute)
{
    PersonalCertificateInfo* sig = Info("tok:a", "k1", "sig", true, true, "third");
    PersonalCertificateInfo* nr = Info("tok:b", "k2", "nr");
    PersonalCertificateInfo* enc = Info("tok:c", "k3", "enc", false, false);
    PersonalCertificateInfo* any = Info("tok:d", nullptr, "any", true, false);
    PersonalCertificateInfo* bare = Info(nullptr, nullptr, nullptr, true, false);

    uint32_t s0 = 0, s1 = 1, s2 = 2, s3 = 3, s5 = 5, s16 = 16, s17 = 17;
    char empty[] = "", uriA[] = "tok:a", k1[] = "k1", k2[] = "k2", third[] = "third", other[] = "other";
    SET_OF_DName rootOnly {Name("CN=Test Root, O=Kestrin Test"), nullptr};
    SET_OF_DName otherRoot {Name("CN=Another Root"), nullptr};
    SET_OF_DName interOnly {Name("CN=Test Intermediate, O=Kestrin Test"), nullptr};
    DName* aliceSign = Name("CN=Alice Sign, O=Kestrin Test");
    DName* pattern = Name("CN=Test Intermediate");
    DName* nobody = Name("CN=Nobody");
    const OctetString* ski = m_certs["sig"]->getSubjectKeyIdentifier();
    ASSERT_NE(ski, nullptr);
    ASSERT_EQ(m_certs["nr"]->getSubjectKeyIdentifier(), nullptr);
    IssuerAndSerial issuerSerial {const_cast<DName*>(m_certs["sig"]->getIssuer()),
                                  const_cast<OctetString*>(m_certs["sig"]->getSerialNumber())};
    IssuerAndSerial wrongSerial {const_cast<DName*>(m_certs["sig"]->getIssuer()),
                                 const_cast<OctetString*>(m_certs["nr"]->getSerialNumber())};
    int32_t wrongType = 7;

    struct Case {
        const char* what;
        uint32_t id;
        void* value;
        const SEC_TYPE_TABLE* type;
        bool sig, nr, enc, any, bare;
    } cases[] = {
        {"240 empty", SEC_ATTR_TOKEN_URI, empty, nullptr, true, true, true, true, true},
        {"240 tok:a", SEC_ATTR_TOKEN_URI, uriA, nullptr, true, false, false, false, true},
        {"240 of another type", SEC_ATTR_TOKEN_URI, &wrongType, Type(SEC_TYPE_int), true, true, true, true, true},
        {"58 k1", SEC_ATTR_KEY_ID, k1, nullptr, true, false, false, true, true},
        {"58 k2", SEC_ATTR_KEY_ID, k2, nullptr, false, true, false, true, true},
        {"231 third", SEC_ATTR_EXACT_MATCH, third, nullptr, true, false, false, false, false},
        {"231 other", SEC_ATTR_EXACT_MATCH, other, nullptr, false, false, false, false, false},
        {"234 0", SEC_ATTR_KEY_USAGE, &s0, nullptr, true, false, false, true, true},
        {"234 1", SEC_ATTR_KEY_USAGE, &s1, nullptr, false, true, false, true, true},
        {"234 2", SEC_ATTR_KEY_USAGE, &s2, nullptr, false, false, true, true, true},
        {"234 3", SEC_ATTR_KEY_USAGE, &s3, nullptr, false, false, false, true, true},
        {"234 16", SEC_ATTR_KEY_USAGE, &s16, nullptr, true, true, false, true, true},
        {"234 17", SEC_ATTR_KEY_USAGE, &s17, nullptr, false, false, true, true, true},
        {"234 5", SEC_ATTR_KEY_USAGE, &s5, nullptr, true, true, true, true, true},
        {"130 root", SEC_ATTR_ROOT_ISSUERS, &rootOnly, nullptr, true, true, false, true, true},
        {"130 other", SEC_ATTR_ROOT_ISSUERS, &otherRoot, nullptr, false, false, false, false, false},
        {"130 intermediate", SEC_ATTR_ROOT_ISSUERS, &interOnly, nullptr, false, false, false, false, false},
        {"504 subject", SEC_ATTR_SUBJECT_NAME, aliceSign, nullptr, true, false, false, false, false},
        {"235 intermediate", SEC_ATTR_PATH_SUBJECT, pattern, nullptr, false, false, false, false, true},
        {"235 nobody", SEC_ATTR_PATH_SUBJECT, nobody, nullptr, false, false, false, false, false},
        {"121 key id", SEC_ATTR_SUBJECT_KEY_ID, const_cast<OctetString*>(ski), nullptr, true, false, false, false,
         true},
        {"120 issuer and serial", SEC_ATTR_ISSUER_AND_SERIAL, &issuerSerial, nullptr, true, false, false, false, true},
        {"120 the second's serial", SEC_ATTR_ISSUER_AND_SERIAL, &wrongSerial, nullptr, false, true, false, false, true},
        {"999 unknown", 999, nullptr, nullptr, true, true, true, true, true},
    };
    EXPECT_FALSE(sec_store_test_own_Certificate(nullptr, nullptr));
    for (PersonalCertificateInfo* info : {sig, nr, enc, any, bare})
        EXPECT_TRUE(sec_store_test_own_Certificate(info, nullptr));
    for (const Case& c : cases) {
        SECAttribute entry {c.id, c.value, 0, 0, 0, c.type, nullptr};
        EXPECT_EQ(sec_store_test_own_Certificate(sig, &entry), c.sig) << c.what << " sig";
        EXPECT_EQ(sec_store_test_own_Certificate(nr, &entry), c.nr) << c.what << " nr";
        EXPECT_EQ(sec_store_test_own_Certificate(enc, &entry), c.enc) << c.what << " enc (no chain, no root)";
        EXPECT_EQ(sec_store_test_own_Certificate(any, &entry), c.any) << c.what << " any (chain, no root)";
        EXPECT_EQ(sec_store_test_own_Certificate(bare, &entry), c.bare) << c.what << " bare (chain only)";
    }
    // Every attribute of the chain must pass.
    Chain both;
    both.Add(SEC_ATTR_KEY_USAGE, &s16).Add(SEC_ATTR_TOKEN_URI, uriA);
    EXPECT_TRUE(sec_store_test_own_Certificate(sig, both.Head()));
    EXPECT_FALSE(sec_store_test_own_Certificate(nr, both.Head()));
    for (PersonalCertificateInfo* info : {sig, nr, enc, any, bare})
        FreeInfo(info);
}

TEST_F(CertTest, OwnCertificatesTokensFirstThenTheRealPSE)
{
    MakePSE();
    PersonalCertificateInfo* own = Info("file:pse", "own", "enc");
    m_real->AddOwnCertificate(own);
    FreeInfo(own);
    FakeTokens::Add({"tok:a", {Info("tok:a", "1", "sig"), Info("tok:a", "2", "enc")}});
    FakeTokens::Add({"tok:b", {Info("tok:b", "3", "nr")}});

    SET_OF_PersonalCertificateInfo* list = nullptr;
    ASSERT_EQ(m_pse->getOwnCertificate(nullptr, nullptr, &list), S_OK);
    EXPECT_EQ(Uris(list), (std::vector<std::string> {"tok:a/1", "tok:a/2", "tok:b/3", "file:pse/own"}));
    Free(list);

    uint32_t signing = 16;
    SECAttribute usage {SEC_ATTR_KEY_USAGE, &signing, 0, 0, 0, nullptr, nullptr};
    list = nullptr;
    ASSERT_EQ(m_pse->getOwnCertificate(nullptr, &usage, &list), S_OK);
    EXPECT_EQ(Uris(list), (std::vector<std::string> {"tok:a/1", "tok:b/3", "file:pse/own"}));
    Free(list);

    // A connection the broker decides ends the call.
    int32_t connection = 4;
    SECAttribute withConnection {SEC_ATTR_CONNECTION, &connection, 0, 0, 0, nullptr, nullptr};
    TokenCalls::s_brokerResult = ZELK_RC(0xA0100033);
    list = nullptr;
    EXPECT_EQ(m_pse->getOwnCertificate(nullptr, &withConnection, &list), ZELK_RC(0xA0100033));
    EXPECT_EQ(list, nullptr);
    TokenCalls::s_brokerResult = S_FALSE;
    ASSERT_EQ(m_pse->getOwnCertificate(nullptr, &withConnection, &list), S_OK);
    EXPECT_EQ(Uris(list).size(), 4u);
    Free(list);

    // Restricted to the crypto library's own certificates.
    static_cast<ZELKPSE*>(m_pse)->SetFilterPolicy(nullptr);
    list = nullptr;
    ASSERT_EQ(m_pse->getOwnCertificate(nullptr, nullptr, &list), S_OK);
    EXPECT_EQ(Uris(list), std::vector<std::string> {"file:pse/own"});
    Free(list);
    SET_OF_PersonalCertificateInfo* all = nullptr;
    ASSERT_EQ(m_pse->getCertInfoList(&all), S_OK);
    EXPECT_EQ(Uris(all), (std::vector<std::string> {"tok:a/1", "tok:a/2", "tok:b/3"}));
    Free(all);
}

TEST_F(CertTest, WithoutRealPSEAfterTheFilterPolicyTheListIsEmpty)
{
    MakePSE(false);
    FakeTokens::Add({"tok:a", {Info("tok:a", "1", "sig")}});
    static_cast<ZELKPSE*>(m_pse)->SetFilterPolicy(nullptr);
    SET_OF_PersonalCertificateInfo* list = nullptr;
    EXPECT_EQ(m_pse->getOwnCertificate(nullptr, nullptr, &list), S_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(m_pse->getOwnCertificate(nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(CertTest, TheSignatureLayerLogsTheTokenInForTheCaller)
{
    MakePSE(false);
    char mzt[] = "MZT.sign";
    SECAttribute caller {SEC_ATTR_CALLER, mzt, 0, 0, 0, nullptr, nullptr};
    SET_OF_PersonalCertificateInfo* list = nullptr;

    // No token of the default policy.
    TokenCalls::s_policyUris = {"tok:none"};
    EXPECT_EQ(m_pse->getOwnCertificate(nullptr, &caller, &list), E_PSE_NOTOKEN);

    // Without an active client: the token's own verb, no question.
    FakeTokens::Add({"tok:a", {Info("tok:a", "1", "sig")}});
    FakeTokens::Add({"tok:b", {Info("tok:b", "2", "nr"), Info("tok:b", "3", "enc")}});
    TokenCalls::s_policyUris = {"tok:none", "tok:b", "tok:a"};
    TokenCalls::Reset();
    TokenCalls::s_policyUris = {"tok:none", "tok:b", "tok:a"};
    ASSERT_EQ(m_pse->getOwnCertificate(nullptr, &caller, &list), S_OK);
    EXPECT_EQ(Uris(list), (std::vector<std::string> {"tok:b/2", "tok:b/3"}));
    Free(list);
    list = nullptr;
    auto calls = TokenCalls::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "doverbbyreason tok:b 0"), calls.end());

    // A new authentication with a dialog asks first, then runs the verb.
    ICredUI* dialog = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
    FakeClient::Set("https://shop.example/pay", "Order 42", dialog);
    char token[] = "tok:a";
    SECAttribute reauth {SEC_ATTR_REAUTHENTICATE, nullptr, 0, 0, 0, nullptr, nullptr};
    SECAttribute uri {SEC_ATTR_TOKEN_URI, token, 0, 0, 0, nullptr, &reauth};
    caller.next = &uri;
    TokenCalls::Reset();
    ASSERT_EQ(m_pse->getOwnCertificate(nullptr, &caller, &list), S_OK);
    EXPECT_EQ(Uris(list), std::vector<std::string> {"tok:a/1"});
    Free(list);
    list = nullptr;
    auto log = Dialogs::Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "update 10 Digital Signature");
    EXPECT_EQ(log[log.size() - 2], "update 9 Sign");
    EXPECT_EQ(log.back(), "ask The following website wants to perform a digital signature:\n\n"
                          "https://shop.example/pay\n\nOrder 42");
    calls = TokenCalls::Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "profile tok:a"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "doverb verb.reauth dialog"), calls.end());

    // A cancel of the question or of the verb.
    Dialogs::Answer(ZELK::PSESVC::CREDUI_E_CANCELLED);
    EXPECT_EQ(m_pse->getOwnCertificate(nullptr, &caller, &list), E_PSE_CANCELLED);
    Dialogs::Answer(S_OK);
    FakeTokens::Clear();
    FakeTokens::Add({"tok:a", {Info("tok:a", "1", "sig")}, nullptr, ZELK_RC(0x80000007)});
    EXPECT_EQ(m_pse->getOwnCertificate(nullptr, &caller, &list), E_PSE_CANCELLED);
    EXPECT_EQ(list, nullptr);
    FakeClient::Clear();
    dialog->Release();
}

TEST_F(CertTest, SigningAndDecryptionFallBackToTheRealPSE)
{
    MakePSE();
    int realCalls = 0;
    m_real->onEncryptDigest = [&](SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*) {
        ++realCalls;
        return ZELK_RC(0x5);
    };
    m_real->onDecryptKey = m_real->onEncryptDigest;
    unsigned char digest[32] = {};
    unsigned char out[256];
    unsigned long outLength = sizeof out;
    char uri[] = "tok:a", key[] = "k1";
    SECAttribute keyId {SEC_ATTR_KEY_ID, key, 0, 0, 0, nullptr, nullptr};
    SECAttribute withUri {SEC_ATTR_TOKEN_URI, uri, 0, 0, 0, nullptr, &keyId};

    EXPECT_EQ(m_pse->encryptDigest(nullptr, &keyId, digest, 32, out, &outLength), E_FAIL);
    EXPECT_EQ(m_pse->encryptDigest(nullptr, &withUri, digest, 32, out, &outLength), S_OK);
    EXPECT_EQ(realCalls, 0);
    TokenCalls::s_signResult = E_TOKEN_NOTFOUND;
    EXPECT_EQ(m_pse->encryptDigest(nullptr, &withUri, digest, 32, out, &outLength), 5);
    EXPECT_EQ(m_pse->decryptKey(nullptr, &withUri, digest, 32, out, &outLength), 5);
    EXPECT_EQ(realCalls, 2);
    auto calls = TokenCalls::Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sign tok:a|k1"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "decrypt tok:a|k1"), 1);

    // The broker decides for a connection.
    int32_t connection = 9;
    SECAttribute withConnection {SEC_ATTR_CONNECTION, &connection, 0, 0, 0, nullptr, &withUri};
    TokenCalls::s_brokerResult = ZELK_RC(0xA010001F);
    EXPECT_EQ(m_pse->encryptDigest(nullptr, &withConnection, digest, 32, out, &outLength), ZELK_RC(0xA010001F));
    EXPECT_EQ(m_pse->decryptKey(nullptr, &withConnection, digest, 32, out, &outLength), ZELK_RC(0xA010001F));
    EXPECT_EQ(realCalls, 2);
}

TEST_F(CertTest, DecryptionWithoutTokenTakesTheFirstOwnCertificateOrFails)
{
    MakePSE(false);
    unsigned char in[16] = {};
    unsigned char out[64];
    unsigned long outLength = sizeof out;
    EXPECT_EQ(m_pse->decryptKey(nullptr, nullptr, in, 16, out, &outLength), E_PSE_NOTFOUND);
    auto calls = TokenCalls::Calls();
    EXPECT_EQ(
        std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("decrypt", 0) == 0; }), 0);

    FakeTokens::Add({"tok:x", {Info("tok:x", "kx", "enc")}});
    EXPECT_EQ(m_pse->decryptKey(nullptr, nullptr, in, 16, out, &outLength), S_OK);
    calls = TokenCalls::Calls();
    EXPECT_EQ(calls.back(), "decrypt tok:x|kx");
}

class KeyTest : public CertTest {
protected:
    // A token "toksw:mem://kestrin/p" whose key "k" has the certificate `leaf`.
    void AddKeyToken(const char* leaf)
    {
        auto* token = new qevtest::FakeToken("toksw:mem://kestrin/p", "p", "1");
        EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        auto* privateKey = new qevtest::FakePrivateKeyObject(key, "k", "label");
        auto* certificate = new qevtest::FakeCertificateObject(m_certs[leaf], "k", "label");
        privateKey->AddCertificate(certificate);
        token->AddObject(privateKey);
        token->AddObject(certificate);
        certificate->Release();
        privateKey->Release();
        EVP_PKEY_free(key);
        FakeTokens::Add({"toksw:mem://kestrin/p", {}, token});
    }
};

TEST_F(KeyTest, HashedTokenNamesCheckTheCertificate)
{
    MakePSE();
    AddKeyToken("sig");
    std::string base = "toksw:mem://kestrin/p";
    TokenObjectPrivateKey* key = nullptr;

    ASSERT_EQ(m_pse->getPrivateKey((base + "\\" + Pki::Get().sha1["sig"]).c_str(), "k", &key), S_OK);
    ASSERT_NE(key, nullptr);
    key->Release();
    EXPECT_EQ(TokenCalls::Calls().back(), "token " + base);

    // Another certificate's hash: refused, no key, no fall-back.
    key = reinterpret_cast<TokenObjectPrivateKey*>(1);
    EXPECT_EQ(m_pse->getPrivateKey((base + "\\" + Pki::Get().sha1["nr"]).c_str(), "k", &key), E_CERT_HASHMISMATCH);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(m_real->CallCount("getPrivateKey"), 0u);
    std::string upper = Pki::Get().sha1["sig"];
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(m_pse->getPrivateKey((base + "\\" + upper).c_str(), "k", &key), S_OK);
    key->Release();
    std::string notHex = Pki::Get().sha1["sig"];
    notHex[7] = 'g';
    EXPECT_EQ(m_pse->getPrivateKey((base + "\\" + notHex).c_str(), "k", &key), E_CERT_HASHMISMATCH);

    // A "\" not exactly 41 characters from the end: the name is used unchanged.
    for (const std::string& name :
         {base + "\\" + Pki::Get().sha1["sig"].substr(1), base + "\\" + Pki::Get().sha1["sig"] + "0",
          std::string(41, 'x'), std::string("\\") + std::string(40, 'a')}) {
        TokenCalls::Reset();
        m_pse->getPrivateKey(name.c_str(), "k", &key);
        EXPECT_EQ(TokenCalls::Calls().front(), "token " + name);
        if (key)
            key->Release();
        key = nullptr;
    }
    // An unknown token falls back to the real PSE.
    size_t before = m_real->CallCount("getPrivateKey");
    m_pse->getPrivateKey("tok:unknown", "k", &key);
    EXPECT_EQ(m_real->CallCount("getPrivateKey"), before + 1);
    EXPECT_EQ(m_pse->getPrivateKey(nullptr, "k", &key), E_INVALIDARG);

    TokenObjectCertificate* certificate = nullptr;
    ASSERT_EQ(m_pse->getCertificate(base.c_str(), "k", nullptr, &certificate), S_OK);
    certificate->Release();
}

TEST_F(CertTest, SearchListsTrustedThenTokenCertificatesThenTheRealPSEs)
{
    // The trust store's roots: trusted in a key store of the test's own.
    char pattern[] = "/tmp/zelktrust-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string home = pattern;
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    ZELK::PSESVC::CTrustKeychain::SetSystemAnchors(home + "/no-anchors");
    {
        std::unique_ptr<kestrin::keystore::KeyStore> keystore;
        ASSERT_EQ(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &keystore), S_OK);
        for (const char* name : {"root", "inter"}) {
            const std::string& der = Pki::Get().der[name];
            ASSERT_EQ(keystore->SetTrustSetting(kestrin::keystore::TrustDomain::User,
                                                {reinterpret_cast<const uint8_t*>(der.data()), der.size()},
                                                kestrin::keystore::TrustSetting::Trusted),
                      S_OK);
        }
    }
    MakePSE();
    m_real->AddTrustedCertificate(m_certs["root"]);
    m_real->AddTrustedCertificate(m_certs["inter"]);
    FakeTokens::Add({"tok:a", {Info("tok:a", "1", "sig"), Info("tok:a", "2", "enc")}});

    auto subjects = [](SET_OF_Certificate* list) {
        std::vector<std::string> names;
        for (; list != nullptr; list = list->next) {
            char* cn = nullptr;
            list->element->getSubjectCommonName(&cn);
            names.push_back(cn ? cn : "?");
            sec_free(cn);
        }
        return names;
    };
    SET_OF_Certificate* list = nullptr;
    ASSERT_EQ(m_pse->searchCertificate(nullptr, &list), S_OK);
    // The real PSE (a double) answers its trusted certificates last.
    EXPECT_EQ(subjects(list),
              (std::vector<std::string> {"Test Root", "Test Intermediate", "Alice Sign", "Test Intermediate",
                                         "Alice Crypt", "Test Intermediate", "Test Root", "Test Intermediate"}));
    Type(SEC_TYPE_SET_OF_Certificate)->free(list);

    list = nullptr;
    Chain filter;
    filter.Add(SEC_ATTR_SUBJECT, Name("CN=Nobody"))
        .Add(SEC_ATTR_SUBJECT_NAME, const_cast<DName*>(m_certs["inter"]->getSubject()))
        .Add(SEC_ATTR_ISSUER, const_cast<DName*>(m_certs["root"]->getSubject()))
        .Add(SEC_ATTR_TOKEN_URI, nullptr);
    ASSERT_EQ(m_pse->searchCertificate(filter.Head(), &list), S_OK);
    EXPECT_EQ(subjects(list), (std::vector<std::string> {"Test Intermediate", "Test Intermediate", "Test Intermediate",
                                                         "Test Root", "Test Intermediate"}));
    Type(SEC_TYPE_SET_OF_Certificate)->free(list);
    std::vector<int> consumed;
    for (SECAttribute* entry : filter.entries)
        consumed.push_back(entry->answered);
    EXPECT_EQ(consumed, (std::vector<int> {1, 1, 1, 0}));
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace kestrin::service::test
