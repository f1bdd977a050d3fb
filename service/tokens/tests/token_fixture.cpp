#include "token_fixture.h"

#include <openssl/pem.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qev_values.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"

namespace kestrin::tokens::test {

int Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

Certificate* CertOf(const std::string& pemPath)
{
    std::string pem = ReadFile(pemPath);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned char* der = nullptr;
    const int length = x509 != nullptr ? i2d_X509(x509, &der) : 0;
    X509_free(x509);
    OctetString in {static_cast<uint64_t>(length > 0 ? length : 0), der};
    void* out = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&in, &out);
    OPENSSL_free(der);
    return static_cast<Certificate*>(out);
}

KeyInfo* KeyOf(const std::string& p8Path)
{
    std::string der = ReadFile(p8Path);
    OctetString in {der.size(), reinterpret_cast<unsigned char*>(der.data())};
    void* out = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PrivateKeyInfo)->decode(&in, &out);
    auto* record = static_cast<PrivateKeyInfo*>(out);
    if (record == nullptr)
        return nullptr;
    auto* key = static_cast<KeyInfo*>(sec_calloc(1, sizeof(KeyInfo)));
    key->algorithm = record->algorithm;
    key->bits = record->privateKey->length * 8;
    key->key = record->privateKey->data;
    record->algorithm = nullptr;
    record->privateKey->data = nullptr;
    record->privateKey->length = 0;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PrivateKeyInfo)->free(record);
    return key;
}

unsigned long Count(SecToken* token, TOKEN_OBJECT_TYPE type, const char* keyId, const char* label)
{
    unsigned long count = 0;
    if (FAILED(token->getObjects(nullptr, &count, type, keyId, label)))
        return 0;
    return count;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

TokenPki::TokenPki()
{
    char pattern[] = "/tmp/tokenpki-XXXXXX";
    m_dir = mkdtemp(pattern);
    const std::string d = m_dir + "/";
    WriteFile(d + "ca.ext", "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n");
    WriteFile(d + "ee.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n");
    for (const char* ca : {"ca", "other"}) {
        const std::string n = d + ca;
        Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + n + ".key");
        Shell("openssl req -new -key " + n + ".key -subj '/O=Token Test/CN=" + ca + " authority' -out " + n + ".csr");
        Shell("openssl x509 -req -in " + n + ".csr -signkey " + n + ".key -days 30 -extfile " + d + "ca.ext -out " + n
              + ".pem");
    }
    for (const char* user : {"user", "user2"}) {
        const std::string n = d + user;
        Shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + n + ".key");
        Shell("openssl req -new -key " + n + ".key -subj '/O=Token Test/CN=" + user + "' -out " + n + ".csr");
        Shell("openssl x509 -req -in " + n + ".csr -CA " + d + "ca.pem -CAkey " + d + "ca.key -CAcreateserial -days 30 "
              + "-extfile " + d + "ee.ext -out " + n + ".pem");
    }
    const std::string n = d + "self";
    Shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + n + ".key");
    Shell("openssl req -new -key " + n + ".key -subj '/O=Token Test/CN=self' -out " + n + ".csr");
    Shell("openssl x509 -req -in " + n + ".csr -signkey " + n + ".key -days 30 -extfile " + d + "ee.ext -out " + n
          + ".pem");
    for (const char* name : {"ca", "other", "user", "user2", "self"}) {
        Shell("openssl x509 -in " + d + name + ".pem -outform DER -out " + d + name + ".der");
        Shell("openssl pkey -in " + d + name + ".key -pubout -out " + d + name + ".pub");
    }
}

const TokenPki& TokenPki::Get()
{
    static TokenPki pki;
    return pki;
}

Certificate* TokenPki::Cert(const std::string& name) const
{
    std::string der = ReadFile(Path(name + ".der"));
    OctetString octets {der.size(), reinterpret_cast<unsigned char*>(der.data())};
    void* out = nullptr;
    EXPECT_EQ(SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&octets, &out), S_OK) << name;
    return static_cast<Certificate*>(out);
}

EVP_PKEY* TokenPki::Key(const std::string& name) const
{
    FILE* file = std::fopen(Path(name + ".key").c_str(), "r");
    if (file == nullptr)
        return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    return key;
}

qevtest::FakeToken* NewToken(const std::string& name, const std::vector<FixtureObject>& objects,
                             const std::string& pinName)
{
    auto* token = new qevtest::FakeToken(name, "label of " + name, "serial-1");
    auto* pin = new qevtest::FakePIN(pinName, 1, "1234");
    token->AddPIN(pin);
    pin->Release();
    for (const FixtureObject& wanted : objects) {
        Certificate* cert = TokenPki::Get().Cert(wanted.cert.empty() ? "user2" : wanted.cert);
        auto* object = new qevtest::FakeCertificateObject(cert, wanted.keyId, "label");
        if (wanted.cert.empty())
            object->SetResult("getCertPath", E_INVALIDARG);
        if (wanted.withKey) {
            EVP_PKEY* key = TokenPki::Get().Key(wanted.cert);
            auto* privateKey = new qevtest::FakePrivateKeyObject(key, wanted.keyId, "label");
            privateKey->AddCertificate(object);
            token->AddObject(privateKey);
            privateKey->Release();
            EVP_PKEY_free(key);
        }
        token->AddObject(object);
        object->Release();
        if (cert != nullptr)
            cert->Release();
    }
    return token;
}

qevtest::FakePIN* CardPin(SecToken* token)
{
    TokenPIN* pin = nullptr;
    token->getCardPIN(&pin);
    if (pin != nullptr)
        pin->Release();
    return static_cast<qevtest::FakePIN*>(pin);
}

namespace {

// The policy store keeps the folders it saw first, so the program keeps one
// configuration folder and each test starts it empty.
const std::string& ConfigFolder()
{
    // Never destroyed: the exit handler that removes the folder runs after
    // the program's static objects are gone.
    static const std::string* folder = [] {
        char tmpl[] = "/tmp/tokenconfig-XXXXXX";
        auto* made = new std::string(mkdtemp(tmpl) ? tmpl : "");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(ConfigFolder(), ec);
        });
        return made;
    }();
    return *folder;
}

}  // namespace

void TokenTest::SetUp()
{
    m_config = ConfigFolder();
    ASSERT_FALSE(m_config.empty());
    std::filesystem::create_directories(m_config + "/user/kestrin");
    std::filesystem::create_directories(m_config + "/system/kestrin");
    std::filesystem::remove(m_config + "/user/kestrin/settings.plist");
    setenv("XDG_CONFIG_HOME", (m_config + "/user").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (m_config + "/system").c_str(), 1);
    service::test::Dialogs::Reset();
    ServiceTest::SetUp();
}

void TokenTest::TearDown()
{
    ZELK::PSESVC::CToken::SetIdleTimeSource(nullptr);
    ServiceTest::TearDown();
    service::test::Dialogs::Reset();
    qevtest::ExpectNoFakeLeft();
}

void TokenTest::WritePlist(const std::string& dict)
{
    const std::string file = m_config + "/user/kestrin/settings.plist";
    const std::string script = m_config + "/write.py";
    std::ofstream(script) << "import plistlib\nplistlib.dump(" << dict << ", open('" << file << "', 'wb'))\n";
    ASSERT_EQ(std::system(("python3 '" + script + "'").c_str()), 0);
}

void TokenTest::WaitForPolicy(const char* path, const char* name, uint32_t value)
{
    EXPECT_TRUE(service::test::WaitFor([&] {
        ZELK_IPolicy* policy = nullptr;
        if (FAILED(ZELK_PolOpen(path, &policy)) || policy == nullptr)
            return false;
        const bool seen = policy->GetDWORD(name) == value;
        policy->Release();
        return seen;
    })) << path
        << " " << name << " " << value;
}

}  // namespace kestrin::tokens::test
