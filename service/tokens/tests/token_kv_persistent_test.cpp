// The persisted local-server identity: "PSECache" values that openssl opens
// under the key store's password and under no other, a restart that reads
// the store without any enrolment, stored values that are refused before
// anything is installed, a key store that cannot answer, and the port of the
// certificate's extension. Certificates from `openssl req` and `openssl ca`.
#include "tokens/token_kv_persistent.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "keystore.h"
#include "qev_pse.h"
#include "token_fixture.h"
#include "tokens/token_manager.h"
#include "webadapter/tls_connection_factory.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_policy_client.h"
#include "zelkpse.h"

namespace kestrin::tokens::test {
namespace {

using ZELK::PSESVC::CToken_KVPersistent;
using ZELK::PSESVC::CToken_LocalServer;
using ZELK::PSESVC::IGUIModelContainer;
using ZELK::PSESVC::IGUIModelLocalServer;

constexpr const char* kReader = "toksw:mem://kestrin/Hub";

// A test CA and what it issued: "server" (serverAuth, port 8080), "plain"
// (no serverAuth), "expired" (serverAuth, validity in the past), each with
// its key.
class LocalPki {
public:
    static const LocalPki& Get()
    {
        static LocalPki pki;
        return pki;
    }
    std::string dir;
    bool ok = false;

private:
    LocalPki()
    {
        char tmpl[] = "/tmp/zelklocal-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return;
        dir = tmpl;
        const std::string script =
            "cd " + dir
            + " && mkdir -p db && touch db/index.txt && echo 1000 > db/serial && "
              "printf '[ca]\\ndefault_ca=c\\n[c]\\ndir=.\\ndatabase=db/index.txt\\nserial=db/serial\\n"
              "new_certs_dir=db\\ndefault_md=sha256\\npolicy=p\\ncopy_extensions=copy\\nunique_subject=no\\n"
              "[p]\\ncommonName=supplied\\n' > ca.cnf && "
              "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=Local Test CA' "
              "  -addext 'basicConstraints=critical,CA:true' -addext 'keyUsage=critical,keyCertSign,cRLSign' "
              "  -keyout ca.key -out ca.pem && "
              "issue() { openssl req -new -newkey rsa:2048 -nodes -subj /CN=localhost -keyout $1.key -out $1.csr "
              "    -addext \"$2\" -addext '1.3.6.1.4.1.32473.2.5.2=DER:02:02:1F:90' && "
              "  openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in $1.csr -out $1.pem $3 && "
              "  openssl pkcs8 -topk8 -nocrypt -in $1.key -outform DER -out $1.p8; } && "
              "issue server 'extendedKeyUsage=serverAuth' '-days 30' && "
              "issue plain 'extendedKeyUsage=clientAuth' '-days 30' && "
              "issue expired 'extendedKeyUsage=serverAuth' '-startdate 20200101000000Z -enddate 20200201000000Z'";
        const int rc = std::system(("(" + script + ") >/dev/null 2>&1").c_str());
        ok = WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    }
    ~LocalPki()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

class LocalServerTest : public TokenTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pki.ok);
        char tmpl[] = "/tmp/zelkdata-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_data = tmpl;
        setenv("XDG_DATA_HOME", m_data.c_str(), 1);
        TokenTest::SetUp();
        // The profile: no enrolment on its own, no login from the store at Init.
        WritePlist("{'profiles': {'Hub': {'PseType': 'hearthgate', 'enrollURL0': 'https://ca.test/', "
                   "'AutoEnroll': 1}}}");
        WaitForPolicy("profiles/Hub", "AutoEnroll", 1);
        // The profile's in-memory token lives as long as the library.
        SecSlot* slot = nullptr;
        SecToken* memory = nullptr;
        ZELK::PSESVC::ZELKPSE::getSlot(&slot, kReader);
        if (slot != nullptr && SUCCEEDED(slot->getToken(&memory)) && memory != nullptr) {
            if (memory->isInitialized() == S_OK)
                memory->deleteToken();
            memory->Release();
        }
        if (slot != nullptr)
            slot->Release();
    }
    void TearDown() override
    {
        for (CToken_LocalServer* t : m_tokens)
            static_cast<ZELK::PSESVC::CToken*>(t)->Release();
        for (Certificate* c : m_certs)
            c->Release();
        for (KeyInfo* k : m_keys)
            SEC_TypeTable(fptr__common_types, SEC_TYPE_KeyInfo)->free(k);
        TokenTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_data, ec);
    }

    // A token as the token manager makes it, over the profile's in-memory
    // token, driven by the test.
    CToken_LocalServer* Make()
    {
        CToken_LocalServer* token = nullptr;
        EXPECT_EQ(CToken_LocalServer::New(IID_CToken_LocalServer, reinterpret_cast<void**>(&token)), S_OK);
        if (token == nullptr)
            return nullptr;
        m_tokens.push_back(token);
        SecSlot* slot = nullptr;
        SecToken* memory = nullptr;
        ZELK::PSESVC::ZELKPSE::getSlot(&slot, kReader);
        if (slot != nullptr) {
            slot->getToken(&memory);
            slot->Release();
        }
        ZELK_IPolicy* policy = nullptr;
        ZELK_PolOpen("profiles/Hub", &policy);
        EXPECT_EQ(token->InitEx(memory, nullptr, kReader, nullptr, true, policy, nullptr), S_OK);
        if (policy)
            policy->Release();
        if (memory)
            memory->Release();
        return token;
    }
    Certificate* Cert(const std::string& name)
    {
        m_certs.push_back(CertOf(pki.dir + "/" + name + ".pem"));
        return m_certs.back();
    }
    KeyInfo* Key(const std::string& name)
    {
        m_keys.push_back(KeyOf(pki.dir + "/" + name + ".p8"));
        return m_keys.back();
    }
    static std::string Stored()
    {
        ZELK_IPolicy* cache = nullptr;
        ZELK_PolOpen("PSECache", &cache);
        OctetString* value = nullptr;
        std::string bytes;
        if (cache != nullptr && cache->GetBinary("profiles_hub", &value) >= 0 && value != nullptr)
            bytes.assign(reinterpret_cast<char*>(value->data), value->length);
        if (value)
            SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString)->free(value);
        if (cache)
            cache->Release();
        return bytes;
    }
    static std::string StoredPassword()
    {
        std::unique_ptr<keystore::KeyStore> store;
        keystore::SecretBytes secret;
        if (FAILED(keystore::KeyStore::Open(keystore::Options {}, &store))
            || store->GetPassword("QEV Hearthgate", "hgt", &secret) != S_OK)
            return "";
        return std::string(reinterpret_cast<const char*>(secret.data()), secret.size());
    }
    // Whether openssl opens the stored value under the password.
    bool OpensslOpens(const std::string& password, std::string* info = nullptr)
    {
        WriteFile(m_data + "/cache.p12", Stored());
        const std::string out = m_data + "/info.txt";
        const int rc = Shell("(openssl pkcs12 -info -legacy -nokeys -in " + m_data + "/cache.p12 -passin pass:'"
                             + password + "' > " + out + " 2>&1)");
        if (info != nullptr)
            *info = ReadFile(out);
        return rc == 0;
    }
    SET_OF_Certificate* Chain(Certificate* cert)
    {
        void* node = nullptr;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->new_node(&node);
        auto* list = static_cast<SET_OF_Certificate*>(node);
        cert->AddRef();
        list->element = cert;
        return list;
    }

    const LocalPki& pki = LocalPki::Get();
    std::string m_data;
    std::vector<CToken_LocalServer*> m_tokens;
    std::vector<Certificate*> m_certs;
    std::vector<KeyInfo*> m_keys;
};

TEST_F(LocalServerTest, EnrolledIdentityIsStoredForOpensslAndReadAfterARestart)
{
    CToken_LocalServer* token = Make();
    ASSERT_NE(token, nullptr);
    // The CA certificate given as chain and as root goes in once.
    SET_OF_Certificate* chain = Chain(Cert("ca"));
    EXPECT_EQ(token->UpdateToken(Key("server"), Cert("server"), chain, Cert("ca")), S_OK);
    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->free(chain);
    const std::string password = StoredPassword();
    ASSERT_EQ(password.size(), 32u);
    for (char c : password)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)));
    std::string info;
    ASSERT_TRUE(OpensslOpens(password, &info)) << info;
    EXPECT_NE(info.find("friendlyName: Hearthgate"), std::string::npos) << info;
    EXPECT_NE(info.find("pbeWithSHA1And3-KeyTripleDES-CBC"), std::string::npos) << info;
    EXPECT_NE(info.find("pbeWithSHA1And128BitRC4"), std::string::npos) << info;
    size_t certificates = 0;
    for (size_t at = 0; (at = info.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; ++at)
        ++certificates;
    EXPECT_EQ(certificates, 2u);
    EXPECT_FALSE(OpensslOpens(password + "x"));
    int port = 0;
    EXPECT_EQ(token->GetPort(&port), S_OK);
    EXPECT_EQ(port, 8080);

    // A restart: a new token reads the store, no enrolment involved.
    CToken_LocalServer* again = Make();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->GetPSEFromRegistry(), S_OK);
    Certificate* own = nullptr;
    ASSERT_EQ(again->GetOwnCert(&own), S_OK);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->cmp(Cert("server")), 0);
    own->Release();
    // The in-memory PSE of the TLS layer holds key and certificate "01".
    char* name = nullptr;
    ASSERT_EQ(again->GetMemPSE(&name), S_OK);
    SecSlot* slot = nullptr;
    ASSERT_EQ(ZELK::PSESVC::ZELKPSE::getSlot(&slot, (std::string("toksw:") + name).c_str()), S_OK);
    sec_free(name);
    SecToken* memory = nullptr;
    ASSERT_EQ(slot->getToken(&memory), S_OK);
    slot->Release();
    unsigned long count = 0;
    EXPECT_EQ(memory->getObjects(nullptr, &count, TOKEN_OBJECT_PRIVATE_KEY, "01", "SKnew"), S_OK);
    EXPECT_EQ(count, 1u);
    count = 0;
    EXPECT_EQ(memory->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, "root certificate"), S_OK);
    EXPECT_EQ(count, 1u);
    memory->Release();
    EXPECT_EQ(StoredPassword(), password);

    // A login with a valid stored identity asks no one.
    CToken_LocalServer* third = Make();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->LoginImpl(nullptr, false, nullptr), 0);
    EXPECT_EQ(third->GetPort(&port), S_OK);
    EXPECT_EQ(StoredPassword(), password);

    // The local-server row lists the token and tells how the server's start
    // went; a logout clears the message and stops the row.
    IGUIModelContainer* rows = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.localservers", IID_IGUIModelContainer, reinterpret_cast<void**>(&rows)),
              S_OK);
    ASSERT_EQ(rows->GetElementCount(), 1u);
    IGUIModelLocalServer* row = nullptr;
    ASSERT_EQ(rows->GetElement(0, IID_IGUIModelLocalServer, reinterpret_cast<void**>(&row)), S_OK);
    EXPECT_NE(row->GetMessage(), nullptr);
    EXPECT_EQ(row->GetCert() != nullptr, !row->IsWarning());
    EXPECT_EQ(third->Logout(nullptr), 0);
    EXPECT_EQ(row->GetMessage(), nullptr);
    EXPECT_EQ(row->GetCert(), nullptr);
    EXPECT_EQ(row->GetPort(), 0);
    row->Release();
    rows->Release();
}

TEST_F(LocalServerTest, RefusedStoredIdentitiesInstallNothingAndAreEmptied)
{
    for (const char* refused : {"plain", "expired"}) {
        CToken_LocalServer* token = Make();
        ASSERT_NE(token, nullptr);
        OctetString* p12 = nullptr;
        ASSERT_EQ(token->Serialize(Key(refused), Cert(refused), nullptr, Cert("ca"), &p12), S_OK) << refused;
        EXPECT_EQ(token->SetPSEToRegistry(p12), S_OK);
        SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString)->free(p12);
        ASSERT_FALSE(Stored().empty());

        CToken_LocalServer* again = Make();
        EXPECT_EQ(again->GetPSEFromRegistry(), E_FAIL) << refused;
        Certificate* own = nullptr;
        again->GetOwnCert(&own);
        EXPECT_EQ(own, nullptr) << refused;
        if (own)
            own->Release();
        EXPECT_TRUE(Stored().empty()) << refused;
        // An emptied value is no identity: the next start enrols anew.
        EXPECT_EQ(again->GetPSEFromRegistry(), E_FAIL);
    }
}

TEST_F(LocalServerTest, AKeyStoreThatCannotAnswerDeletesNothingAndStoresNothing)
{
    CToken_LocalServer* token = Make();
    ASSERT_NE(token, nullptr);
    ASSERT_EQ(token->UpdateToken(Key("server"), Cert("server"), nullptr, Cert("ca")), S_OK);
    const std::string stored = Stored();
    const std::string password = StoredPassword();
    ASSERT_FALSE(stored.empty());

    // The key store's file cannot be opened: no new password, the stored
    // identity stays.
    const std::string db = m_data + "/kestrin/keystore.db";
    std::filesystem::rename(db, db + ".away");
    std::filesystem::create_directory(db);
    char* text = nullptr;
    EXPECT_EQ(token->GetPKCS12Password(&text), E_FAIL);
    EXPECT_EQ(text, nullptr);
    CToken_LocalServer* again = Make();
    EXPECT_EQ(again->GetPSEFromRegistry(), E_FAIL);
    EXPECT_EQ(Stored(), stored);
    // Nor is a new identity stored without a password: the value is emptied.
    EXPECT_EQ(token->UpdateToken(Key("server"), Cert("server"), nullptr, Cert("ca")), S_OK);
    EXPECT_TRUE(Stored().empty());

    std::filesystem::remove(db);
    std::filesystem::rename(db + ".away", db);
    EXPECT_EQ(StoredPassword(), password);
}

TEST_F(LocalServerTest, AStoredPasswordIsTerminatedAndOneHoldingNulIsRefused)
{
    CToken_LocalServer* token = Make();
    ASSERT_NE(token, nullptr);
    std::unique_ptr<keystore::KeyStore> store;
    ASSERT_EQ(keystore::KeyStore::Open(keystore::Options {}, &store), S_OK);
    const uint8_t plain[] = {'a', 'b', 'c'};
    ASSERT_EQ(store->SetPassword("QEV Hearthgate", "hgt", plain), S_OK);
    char* text = nullptr;
    ASSERT_EQ(token->GetPKCS12Password(&text), S_OK);
    EXPECT_STREQ(text, "abc");
    sec_free(text);
    const uint8_t withNul[] = {'a', 0, 'c'};
    ASSERT_EQ(store->SetPassword("QEV Hearthgate", "hgt", withNul), S_OK);
    EXPECT_EQ(token->GetPKCS12Password(&text), E_FAIL);
    EXPECT_EQ(text, nullptr);
}

// A certificate with the port extensions given, in order (the OpenSSL API
// adds the same identifier twice).
Certificate* WithPorts(const std::vector<std::vector<uint8_t>>& values)
{
    X509* x509 = X509_new();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 7);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(x509, name);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509_set_pubkey(x509, key);
    ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.32473.2.5.2", 1);
    for (const auto& v : values) {
        ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(data, v.data(), static_cast<int>(v.size()));
        X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, data);
        X509_add_ext(x509, ext, -1);
        X509_EXTENSION_free(ext);
        ASN1_OCTET_STRING_free(data);
    }
    ASN1_OBJECT_free(oid);
    X509_sign(x509, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    OctetString in {static_cast<uint64_t>(length), der};
    void* out = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&in, &out);
    OPENSSL_free(der);
    X509_free(x509);
    EVP_PKEY_free(key);
    return static_cast<Certificate*>(out);
}

TEST_F(LocalServerTest, PortIsTheFirstExtensionGivingOneThroughAnother)
{
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> values;
        HRESULT result;
        int port;
    };
    const Case cases[] = {
        {"one", {{0x02, 0x02, 0x1f, 0x90}}, S_OK, 8080},
        {"malformed, then good", {{0x04, 0x00}, {0x02, 0x02, 0x1f, 0x90}}, S_OK, 8080},
        {"highest", {{0x02, 0x03, 0x00, 0xff, 0xff}}, S_OK, 65535},
        {"zero", {{0x02, 0x01, 0x00}}, E_FAIL, -5},
        {"negative", {{0x02, 0x01, 0xff}}, E_FAIL, -5},
        {"beyond 65535", {{0x02, 0x03, 0x01, 0x00, 0x00}}, E_FAIL, -5},
        {"beyond 32 bits", {{0x02, 0x05, 0x01, 0x00, 0x00, 0x1f, 0x90}}, E_FAIL, -5},
        {"none", {}, E_FAIL, -5},
    };
    for (const Case& c : cases) {
        Certificate* cert = WithPorts(c.values);
        ASSERT_NE(cert, nullptr) << c.what;
        int port = -5;
        EXPECT_EQ(CToken_LocalServer::PortOf(cert, &port), c.result) << c.what;
        EXPECT_EQ(port, c.port) << c.what;
        cert->Release();
    }
    CToken_LocalServer* token = Make();
    int port = 0;
    EXPECT_EQ(token->GetPort(&port), E_INVALIDARG);
    EXPECT_EQ(token->GetTokenType(), static_cast<ZELK::PSESVC::IGUIModelToken_Type>(7));
    void* spnego = nullptr;
    EXPECT_EQ(static_cast<ZELK::PSESVC::CToken*>(token)->QueryInterface(IID_IKestrin_SPNegoCB, &spnego), E_NOINTERFACE);
}

TEST_F(LocalServerTest, ValidityNeedsServerAuthentication)
{
    CToken_LocalServer* token = Make();
    ASSERT_NE(token, nullptr);
    EXPECT_TRUE(token->IsValidCert(Cert("server"), 0));
    EXPECT_FALSE(token->IsValidCert(Cert("plain"), 0));
    EXPECT_FALSE(token->IsValidCert(Cert("expired"), 0));
}

}  // namespace
}  // namespace kestrin::tokens::test

namespace kestrin::tokens::test {
namespace {

// The service's TLS factory takes the local-server profile's identity: the
// "hearthgate" token the token manager made for the profile, logged in from
// the store, its in-memory PSE and the port of its certificate.
TEST_F(LocalServerTest, TheServicesTlsFactoryTakesTheLocalServerProfile)
{
    using ZELK::PSESVC::CTokenMgr;
    using ZELK::PSESVC::WEBCLIENT::CTLSConnectionFactory;
    using ZELK::PSESVC::WEBCLIENT::TLS_FACTORY_CLASS;
    // Without the profile's token there is nothing to serve with.
    CTLSConnectionFactory* factory = nullptr;
    ASSERT_EQ(
        ZELK_CreateObject("zelk", TLS_FACTORY_CLASS, IID_CTLSConnectionFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    EXPECT_EQ(factory->CreateInstance(), E_FAIL);
    static_cast<IClassFactory*>(factory)->Release();

    CToken_LocalServer* enrolled = Make();
    ASSERT_NE(enrolled, nullptr);
    SET_OF_Certificate* chain = Chain(Cert("ca"));
    ASSERT_EQ(enrolled->UpdateToken(Key("server"), Cert("server"), chain, Cert("ca")), S_OK);
    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->free(chain);

    CTokenMgr* manager = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&manager), S_OK);
    SecSlot* slot = nullptr;
    ASSERT_EQ(ZELK::PSESVC::ZELKPSE::getSlot(&slot, kReader), S_OK);
    ASSERT_EQ(manager->CardInsert(slot, false), S_OK);
    ASSERT_EQ(
        ZELK_CreateObject("zelk", TLS_FACTORY_CLASS, IID_CTLSConnectionFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    EXPECT_EQ(factory->CreateInstance(), S_OK);
    SECAttribute port {};
    port.id = ATTR_LOCAL_PORT;
    ASSERT_EQ(factory->GetProperties(&port), S_OK);
    long value = 0;
    EXPECT_TRUE(ZELK_AttrGetInteger(&port, ATTR_LOCAL_PORT, &value));
    EXPECT_EQ(value, 8080);
    static_cast<IClassFactory*>(factory)->Release();
    manager->CardRemove(slot);
    slot->Release();
    manager->Release();
}

}  // namespace
}  // namespace kestrin::tokens::test
