// The in-memory software tokens ("toksw:" slots, "SEC_PSE_1" slots 4 and 5)
// with keys and certificates made by openssl: initialisation from the
// profile record, objects and their paths, signatures that `openssl dgst
// -verify` accepts, decryption of what `openssl pkeyutl -encrypt` made,
// PIN, deletion; the TLS identity of a security context named "toksw:";
// random texts; uninterpreted certificate extensions and DER integers.
#include <sys/wait.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "qev_fixture.h"
#include "qev_pse.h"
#include "qev_random.h"
#include "qev_results.h"
#include "qev_token.h"
#include "qev_values.h"
#include "test_pki.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};
const Bytes kEcdsaSha256 = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
// 1.3.6.1.4.1.32473.2.5.2 and .3
const Bytes kPortOid = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x81, 0xfd, 0x59, 0x02, 0x05, 0x02};
const Bytes kOtherOid = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x81, 0xfd, 0x59, 0x02, 0x05, 0x03};

void Write(const std::string& path, const Bytes& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <class T>
void ReleaseObject(T* object)
{
    if (object != nullptr)
        object->Release();
}

class SoftTokenTest : public QevLibrary {
protected:
    static void SetUpTestSuite()
    {
        const TestPki& pki = TestPki::Get();
        // PKCS#8 DER of the identities' keys; a certificate with two
        // extensions OpenSSL does not interpret beside ones it does.
        s_ready = pki.ok
                  && pki.Run("for k in rsa ec; do openssl pkcs8 -topk8 -nocrypt -in $k.key -outform DER -out $k.p8; "
                             "done && "
                             "openssl req -x509 -newkey rsa:2048 -nodes -days 3 -subj /CN=localhost -keyout port.key "
                             "  -addext 'keyUsage=digitalSignature' "
                             "  -addext '1.3.6.1.4.1.32473.2.5.2=DER:02:02:1F:90' "
                             "  -addext 'extendedKeyUsage=serverAuth' "
                             "  -addext '1.3.6.1.4.1.32473.2.5.3=critical,DER:04:00' -outform DER -out port.der");
    }

    void SetUp() override
    {
        ASSERT_TRUE(s_ready);
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_PSE_1", &table), S_OK);
        pseTable = ZELK_ApiCast<SEC_PSE_LIBRARY_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &common), S_OK);
    }
    void TearDown() override
    {
        for (Certificate* c : certificates)
            c->Release();
        for (KeyInfo* k : keys)
            Types(SEC_TYPE_KeyInfo)->free(k);
        QevLibrary::TearDown();
    }

    const SEC_TYPE_TABLE* Types(unsigned int index) { return SEC_TypeTable(common, index); }

    Certificate* Cert(const std::string& file)
    {
        Bytes der = pki.Read(file);
        OctetString in {der.size(), der.data()};
        void* out = nullptr;
        EXPECT_EQ(Types(SEC_TYPE_Certificate)->decode(&in, &out), S_OK) << file;
        certificates.push_back(static_cast<Certificate*>(out));
        return certificates.back();
    }
    // A private key as the library keeps it: the PKCS#8 record's algorithm
    // and privateKey octets.
    const KeyInfo* Key(const std::string& name)
    {
        Bytes der = pki.Read(name + ".p8");
        OctetString in {der.size(), der.data()};
        void* out = nullptr;
        EXPECT_EQ(Types(SEC_TYPE_PrivateKeyInfo)->decode(&in, &out), S_OK);
        auto* record = static_cast<PrivateKeyInfo*>(out);
        auto* key = static_cast<KeyInfo*>(std::calloc(1, sizeof(KeyInfo)));
        key->algorithm = record->algorithm;
        key->bits = record->privateKey->length * 8;
        key->key = record->privateKey->data;
        record->algorithm = nullptr;
        record->privateKey->data = nullptr;
        record->privateKey->length = 0;
        Types(SEC_TYPE_PrivateKeyInfo)->free(record);
        keys.push_back(key);
        return key;
    }

    SecToken* Token(const std::string& slotName)
    {
        SecSlot* slot = nullptr;
        EXPECT_EQ(pseTable->getSlot(&slot, slotName.c_str()), S_OK) << slotName;
        if (slot == nullptr)
            return nullptr;
        EXPECT_EQ(slot->tokenInserted(), S_OK);
        SecToken* token = nullptr;
        EXPECT_EQ(slot->getToken(&token), S_OK);
        slot->Release();
        return token;
    }

    // Initialises as the profile token does: the profile record with its PIN
    // replaced.
    void Initialize(SecToken* token, const char* pin)
    {
        ProfileInfo* info = nullptr;
        ASSERT_EQ(token->getInitInfo(nullptr, &info), S_OK);
        ASSERT_NE(info->pin1, nullptr);
        ASSERT_NE(info->pin1->pinValue, nullptr);
        EXPECT_GT(std::strlen(info->pin1->pinValue), 0u);
        std::free(info->pin1->pinValue);
        info->pin1->pinValue = strdup(pin);
        EXPECT_EQ(token->initToken(info), S_OK);
        EXPECT_EQ(token->delInitInfo(&info), S_OK);
        EXPECT_EQ(info, nullptr);
    }

    // The identity as an enrolment installs it: key and own certificate "01",
    // root and CA certificates without identifier.
    void Install(SecToken* token, const std::string& name)
    {
        ASSERT_EQ(token->createPrivateKeyObj(nullptr, Key(name), "01", "SKnew", 0), S_OK);
        ASSERT_EQ(token->createCertificateObj(nullptr, Cert(name + ".der"), "01", (name + " user").c_str()), S_OK);
        ASSERT_EQ(token->createCertificateObj(nullptr, Cert("root.der"), nullptr, "root certificate"), S_OK);
        ASSERT_EQ(token->createCertificateObj(nullptr, Cert("inter.der"), nullptr, "ca certificate"), S_OK);
    }

    TokenObjectPrivateKey* PrivateKey(SecToken* token)
    {
        TokenObject* object = nullptr;
        unsigned long count = 1;
        EXPECT_EQ(token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, "01", nullptr), S_OK);
        EXPECT_EQ(count, 1u);
        return reinterpret_cast<TokenObjectPrivateKey*>(object);
    }

    std::string NewPse()
    {
        char* name = nullptr;
        EXPECT_EQ(pseTable->qev_create_memory_PSE(&name), S_OK);
        std::string text = name != nullptr ? name : "";
        std::free(name);
        return text;
    }

    static inline bool s_ready = false;
    const TestPki& pki = TestPki::Get();
    const SEC_PSE_LIBRARY_TABLE* pseTable = nullptr;
    API_COMMON* common = nullptr;
    std::vector<Certificate*> certificates;
    std::vector<KeyInfo*> keys;
};

TEST_F(SoftTokenTest, InstalledIdentityHasItsObjectsLabelsAndPath)
{
    const std::string name = NewPse();
    SecToken* token = Token("toksw:" + name);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->isValid(), S_OK);
    EXPECT_LT(token->isInitialized(), 0);
    EXPECT_EQ(token->createPrivateKeyObj(nullptr, Key("rsa"), "01", "SKnew", 0), E_PSE_NOPSE);
    Initialize(token, "");
    EXPECT_EQ(token->isInitialized(), S_OK);
    TokenPIN* pin = reinterpret_cast<TokenPIN*>(1);
    EXPECT_EQ(token->getCardPIN(&pin), S_OK);
    EXPECT_EQ(pin, nullptr);
    Install(token, "rsa");

    const char* tokenName = nullptr;
    ASSERT_EQ(token->getTokenName(&tokenName), S_OK);
    EXPECT_EQ(std::string(tokenName), "toksw:" + name);
    unsigned long count = 0;
    EXPECT_EQ(token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 3u);
    count = 0;
    EXPECT_EQ(token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, "ca certificate"), S_OK);
    EXPECT_EQ(count, 1u);

    // The own certificate's path: the intermediate, and the root apart.
    TokenObject* object = nullptr;
    count = 1;
    ASSERT_EQ(token->getObjects(&object, &count, TOKEN_OBJECT_CERTIFICATE, "01", nullptr), S_OK);
    ASSERT_EQ(count, 1u);
    auto* own = reinterpret_cast<TokenObjectCertificate*>(object);
    const char* keyId = nullptr;
    ASSERT_EQ(own->getKeyId(&keyId), S_OK);
    EXPECT_STREQ(keyId, "01");
    Certificate* cert = nullptr;
    SEQUENCE_OF_Certificate* path = nullptr;
    Certificate* end = nullptr;
    ASSERT_EQ(own->getCertPath(&cert, &path, &end), S_OK);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->next, nullptr);
    EXPECT_EQ(path->element->cmp(Cert("inter.der")), 0);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->cmp(Cert("root.der")), 0);
    EXPECT_EQ(cert->cmp(Cert("rsa.der")), 0);
    cert->Release();
    end->Release();
    Types(SEC_TYPE_SEQUENCE_OF_Certificate)->free(path);

    // The identifier is the two ASCII bytes "01".
    unsigned char id[8] = {};
    CK_ATTRIBUTE attribute {CKA_ID, id, sizeof id};
    ASSERT_EQ(own->getP11Attributes(&attribute, 1), S_OK);
    EXPECT_EQ(Bytes(id, id + attribute.ulValueLen), (Bytes {'0', '1'}));

    TokenObjectPrivateKey* key = nullptr;
    ASSERT_EQ(own->getPrivateKeyObj(&key), S_OK);
    TokenObjectCertificate* certs[2] = {};
    unsigned long room = 2;
    ASSERT_EQ(key->getCertObjs(nullptr, certs, &room), S_OK);
    EXPECT_EQ(room, 1u);
    ReleaseObject(certs[0]);
    key->Release();
    own->Release();
    token->Release();
    EXPECT_EQ(pseTable->qev_delete_memory_PSE(name.c_str()), S_OK);
}

TEST_F(SoftTokenTest, SignaturesVerifyWithOpensslAndDecryptionReadsOpensslCiphertext)
{
    const std::string name = NewPse();
    const Bytes data(3000, 0x5a);
    Write(pki.Path("swdata.bin"), data);
    struct Case {
        const char* identity;
        const Bytes& oid;
    };
    for (const Case& c : {Case {"rsa", kSha256WithRsa}, Case {"ec", kEcdsaSha256}}) {
        SecToken* token = Token("toksw:" + name);
        ASSERT_NE(token, nullptr);
        if (token->isInitialized() == S_OK) {
            EXPECT_EQ(token->deleteToken(), S_OK);
        }
        Initialize(token, "");
        Install(token, c.identity);
        TokenObjectPrivateKey* key = PrivateKey(token);
        ASSERT_NE(key, nullptr);
        ObjId oid {c.oid.size(), const_cast<uint8_t*>(c.oid.data())};
        AlgId alg {&oid, nullptr};
        unsigned char signature[512];
        unsigned long length = 4;
        EXPECT_EQ(key->sign(&alg, 0, data.data(), data.size(), signature, &length, nullptr), E_BUFFERTOOSMALL);
        length = sizeof signature;
        ASSERT_EQ(key->sign(&alg, 0, data.data(), data.size(), signature, &length, nullptr), S_OK);
        Write(pki.Path("swdata.sig"), Bytes(signature, signature + length));
        EXPECT_TRUE(pki.Run(std::string("openssl dgst -sha256 -verify ") + c.identity
                            + ".pub -signature swdata.sig swdata.bin"))
            << c.identity;
        key->Release();
        token->Release();
    }

    // The token now holds the EC identity: decryption is RSA's only.
    SecToken* token = Token("toksw:" + name);
    EXPECT_EQ(token->deleteToken(), S_OK);
    Initialize(token, "");
    Install(token, "rsa");
    TokenObjectPrivateKey* key = PrivateKey(token);
    ASSERT_NE(key, nullptr);
    const Bytes secret = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'k', 'e', 'y'};
    Write(pki.Path("swsecret.bin"), secret);
    ASSERT_TRUE(pki.Run("openssl pkeyutl -encrypt -pubin -inkey rsa.pub -in swsecret.bin -out swsecret.enc"));
    Bytes cipher = pki.Read("swsecret.enc");
    unsigned char plain[256];
    unsigned long length = sizeof plain;
    ASSERT_EQ(key->decrypt(nullptr, cipher.data(), cipher.size(), plain, &length, nullptr), S_OK);
    EXPECT_EQ(Bytes(plain, plain + length), secret);

    // Deleting the token wipes the key that a caller still holds.
    EXPECT_EQ(token->deleteToken(), S_OK);
    EXPECT_LT(token->isInitialized(), 0);
    length = sizeof plain;
    EXPECT_EQ(key->decrypt(nullptr, cipher.data(), cipher.size(), plain, &length, nullptr), E_TOKEN_NOKEY);
    unsigned long count = 0;
    EXPECT_EQ(token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 0u);
    key->Release();

    // Deleting the PSE: the token held is gone, and so is its name.
    EXPECT_EQ(pseTable->qev_delete_memory_PSE(name.c_str()), S_OK);
    EXPECT_EQ(token->isValid(), E_TOKEN_NOTFOUND);
    token->Release();
    SecSlot* slot = nullptr;
    EXPECT_EQ(pseTable->getSlot(&slot, ("toksw:" + name).c_str()), E_PSE_NOTFOUND);
    EXPECT_EQ(pseTable->qev_delete_memory_PSE(name.c_str()), E_PSE_NOTFOUND);
}

TEST_F(SoftTokenTest, ProfileTokensAreMadeOnFirstUseAndSharedByName)
{
    SecToken* first = Token("toksw:mem://kestrin/Hub");
    SecToken* again = Token("toksw:mem://kestrin/Hub");
    SecToken* other = Token("toksw:mem://kestrin/user/Hub");
    ASSERT_TRUE(first && again && other);
    Initialize(first, "");
    Install(first, "ec");
    unsigned long count = 0;
    EXPECT_EQ(again->getObjects(nullptr, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_LT(other->isInitialized(), 0);
    EXPECT_EQ(first->cmp(again), 0);
    EXPECT_NE(first->cmp(other), 0);
    EXPECT_EQ(first->deleteToken(), S_OK);
    for (SecToken* t : {first, again, other})
        t->Release();

    for (const char* bad : {"toksw:", "toksw:mem://kestrin/", "toksw:never-made", "toksw:mem://other/x"}) {
        SecSlot* slot = nullptr;
        EXPECT_EQ(pseTable->getSlot(&slot, bad), E_PSE_NOTFOUND) << bad;
        EXPECT_EQ(slot, nullptr);
    }
}

TEST_F(SoftTokenTest, PinGuardsTheObjects)
{
    const std::string name = NewPse();
    SecToken* token = Token("toksw:" + name);
    ASSERT_NE(token, nullptr);
    Initialize(token, "4711");
    EXPECT_EQ(token->initToken(nullptr), E_INVALIDARG);
    TokenPIN* pin = nullptr;
    ASSERT_EQ(token->getCardPIN(&pin), S_OK);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->isVerified(), S_FALSE);
    EXPECT_EQ(token->createPrivateKeyObj(nullptr, Key("rsa"), "01", "SKnew", 0), E_PSE_NOTLOGGEDIN);
    EXPECT_EQ(pin->login("4712", nullptr), E_TOKEN_PINWRONG);
    EXPECT_EQ(pin->login("471", nullptr), E_TOKEN_PINWRONG);
    EXPECT_EQ(pin->login("4711", nullptr), S_OK);
    EXPECT_EQ(pin->isVerified(), S_OK);
    Install(token, "rsa");
    TokenObjectPrivateKey* key = PrivateKey(token);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(pin->logout(), S_OK);
    const Bytes digest(32, 1);
    unsigned char signature[512];
    unsigned long length = sizeof signature;
    EXPECT_EQ(key->sign(nullptr, 1, digest.data(), digest.size(), signature, &length, nullptr), E_PSE_NOTLOGGEDIN);
    key->Release();
    pin->Release();
    token->Release();
    EXPECT_EQ(pseTable->qev_delete_memory_PSE(name.c_str()), S_OK);
}

TEST_F(SoftTokenTest, SecurityContextTakesTheTokenIdentity)
{
    const std::string name = NewPse();
    SecToken* token = Token("toksw:" + name);
    ASSERT_NE(token, nullptr);
    API_COMMON* table = nullptr;
    ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
    const auto* ascs = ZELK_ApiCast<SEC_ASC_TABLE>(table);
    std::string credential = "toksw:" + name;
    SECAttribute attribute {};
    attribute.id = 847;
    attribute.value = credential.data();
    ASC* asc = nullptr;
    // Nothing installed yet: no identity.
    EXPECT_LT(ascs->create_ASC(&asc, &attribute), 0);
    Initialize(token, "");
    Install(token, "rsa");
    ASSERT_EQ(ascs->create_ASC(&asc, &attribute), S_OK);
    PSE* pse = nullptr;
    ASSERT_EQ(asc->getPSE(&pse), S_OK);
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    ASSERT_EQ(pse->getOwnCertificate(nullptr, nullptr, &infos), S_OK);
    ASSERT_NE(infos, nullptr);
    EXPECT_EQ(infos->element->certificate->cmp(Cert("rsa.der")), 0);
    ASSERT_NE(infos->element->path, nullptr);
    EXPECT_EQ(infos->element->path->element->cmp(Cert("inter.der")), 0);
    Types(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(infos);
    pse->Release();
    asc->Release();
    token->Release();
    EXPECT_EQ(pseTable->qev_delete_memory_PSE(name.c_str()), S_OK);
}

TEST_F(SoftTokenTest, RandomTextIsAlphanumericAndCoversTheAlphabet)
{
    API_COMMON* table = nullptr;
    ASSERT_EQ(list->get_api(nullptr, SEC_RANDOM_API, &table), S_OK);
    const auto* random = ZELK_ApiCast<SEC_RANDOM_TABLE>(table);
    char* text = nullptr;
    // The kind argument is not read.
    ASSERT_EQ(random->random(12345, 32, SEC_RANDOM_TEXT, &text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::strlen(text), 32u);
    list->free(text);

    std::set<char> seen;
    ASSERT_EQ(random->random(1, 62 * 200, SEC_RANDOM_TEXT, &text), S_OK);
    for (size_t i = 0; i < 62 * 200; ++i) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(text[i]))) << i;
        seen.insert(text[i]);
    }
    EXPECT_EQ(text[62 * 200], '\0');
    EXPECT_EQ(seen.size(), 62u);
    list->free(text);

    ASSERT_EQ(random->random(1, 0, SEC_RANDOM_TEXT, &text), S_OK);
    EXPECT_STREQ(text, "");
    list->free(text);
    EXPECT_EQ(random->random(1, uint64_t {1} << 40, SEC_RANDOM_TEXT, &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);
}

TEST_F(SoftTokenTest, UninterpretedExtensionsInCertificateOrder)
{
    Certificate* cert = Cert("port.der");
    ASSERT_NE(cert, nullptr);
    struct Expected {
        const Bytes& oid;
        Bytes value;
        uint8_t critical;
    };
    const Expected expected[] = {{kPortOid, {0x02, 0x02, 0x1f, 0x90}, 0}, {kOtherOid, {0x04, 0x00}, 1}};
    for (unsigned long i = 0; i < 2; ++i) {
        ObjId* id = nullptr;
        OctetString* value = nullptr;
        uint8_t critical = 9;
        ASSERT_EQ(cert->getExtNonSupported(i, &id, &value, &critical), S_OK) << i;
        EXPECT_EQ(Bytes(id->data, id->data + id->length), expected[i].oid);
        EXPECT_EQ(Bytes(value->data, value->data + value->length), expected[i].value);
        EXPECT_EQ(critical, expected[i].critical);
        Types(SEC_TYPE_ObjId)->free(id);
        Types(SEC_TYPE_OctetString)->free(value);
    }
    ObjId* id = reinterpret_cast<ObjId*>(1);
    EXPECT_EQ(cert->getExtNonSupported(2, &id, nullptr, nullptr), S_FALSE);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(Cert("rsa.der")->getExtNonSupported(0, nullptr, nullptr, nullptr), S_FALSE);
}

TEST_F(SoftTokenTest, DerIntegers)
{
    const auto* ints = static_cast<const SEC_INT_TYPE_TABLE*>(Types(SEC_TYPE_int));
    struct Case {
        Bytes der;
        HRESULT result;
        int64_t value;
    };
    const Case cases[] = {
        {{0x02, 0x02, 0x1f, 0x90}, S_OK, 8080},
        {{0x02, 0x01, 0x00}, S_OK, 0},
        {{0x02, 0x02, 0x00, 0x80}, S_OK, 128},
        {{0x02, 0x01, 0xff}, S_OK, -1},
        {{0x02, 0x02, 0xff, 0x7f}, S_OK, -129},
        {{0x02, 0x03, 0x01, 0x00, 0x00}, S_OK, 65536},
        {{0x02, 0x08, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, S_OK, INT64_MAX},
        {{0x02, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0}, S_OK, INT64_MIN},
        {{0x02, 0x09, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}, E_INVALIDARG, 0},  // beyond 64 bits
        {{0x02, 0x02, 0x00, 0x7f}, E_INVALIDARG, 0},                       // not the fewest octets
        {{0x02, 0x02, 0xff, 0x80}, E_INVALIDARG, 0},
        {{0x02, 0x00}, E_INVALIDARG, 0},
        {{0x04, 0x01, 0x05}, E_INVALIDARG, 0},        // an octet string
        {{0x02, 0x01, 0x05, 0x00}, E_INVALIDARG, 0},  // trailing byte
        {{0x02, 0x02, 0x05}, E_INVALIDARG, 0},        // short
        {{0x02, 0x81, 0x01, 0x05}, E_INVALIDARG, 0},  // long-form length
        {{}, E_INVALIDARG, 0},
    };
    for (const Case& c : cases) {
        OctetString in {c.der.size(), const_cast<uint8_t*>(c.der.data())};
        int64_t value = 42;
        EXPECT_EQ(ints->decode_integer(&in, &value), c.result) << ::testing::PrintToString(c.der);
        EXPECT_EQ(value, c.value) << ::testing::PrintToString(c.der);
    }
    int64_t value = 0;
    EXPECT_EQ(ints->decode_integer(nullptr, &value), E_INVALIDARG);
}

}  // namespace
