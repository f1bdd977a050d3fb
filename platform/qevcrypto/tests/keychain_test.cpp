// The "tokkeychain:" slots over a key store in a temporary XDG_DATA_HOME:
// names, slot and token information, object searches, attribute templates,
// signatures that `openssl pkeyutl -verify` accepts and decryption of what
// `openssl pkeyutl -encrypt` made.
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "data_home.h"
#include "keystore.h"
#include "qev_fixture.h"
#include "qev_pse.h"
#include "qev_results.h"
#include "qev_token.h"
#include "test_pki.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace ks = kestrin::keystore;

// Object identifiers' content octets, for algorithm identifiers on the stack.
const Bytes kRsaEncryption = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
const Bytes kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};
const Bytes kSha512WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0d};
const Bytes kRsassaPss = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0a};
const Bytes kRsaesOaep = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x07};
const Bytes kEcdsaSha256 = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
const Bytes kEcPublicKey = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
const Bytes kSha1 = {0x2b, 0x0e, 0x03, 0x02, 0x1a};
// RSAES-OAEP-params with SHA-256 and MGF1 over SHA-256.
const Bytes kOaepSha256Params = {0x30, 0x2f, 0xa0, 0x0f, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0xa1, 0x1c, 0x30, 0x1a, 0x06, 0x09, 0x2a,
                                 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x08, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00};

// An algorithm identifier that points into the test's own bytes.
struct Alg {
    Alg(const Bytes& oid, const Bytes* parameters = nullptr)
        : id {oid.size(), const_cast<uint8_t*>(oid.data())}
        , param {parameters ? parameters->size() : 0, parameters ? const_cast<uint8_t*>(parameters->data()) : nullptr}
        , alg {&id, parameters ? &param : nullptr}
    {}
    ObjId id;
    OctetString param;
    AlgId alg;
};

std::string Hex(const Bytes& bytes, bool upper)
{
    std::string s;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, upper ? "%02X" : "%02x", b);
        s += digits;
    }
    return s;
}

Bytes Sha(const Bytes& data, size_t length)
{
    Bytes out(length);
    if (length == 20)
        SHA1(data.data(), data.size(), out.data());
    else if (length == 32)
        SHA256(data.data(), data.size(), out.data());
    else if (length == 48)
        SHA384(data.data(), data.size(), out.data());
    else
        SHA512(data.data(), data.size(), out.data());
    return out;
}

void Write(const std::string& path, const Bytes& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// getObjects hands out each object as TokenObject*; it is called through the
// interface of its type, which shares the object's address.
IUnknown* Unknown(TokenObject* object)
{
    return reinterpret_cast<IUnknown*>(object);
}

TOKEN_OBJECT_TYPE TypeOf(TokenObject* object, TOKEN_OBJECT_TYPE expected)
{
    switch (expected) {
    case TOKEN_OBJECT_CERTIFICATE:
        return reinterpret_cast<TokenObjectCertificate*>(object)->getObjectType();
    case TOKEN_OBJECT_PUBLIC_KEY:
        return reinterpret_cast<TokenObjectPublicKey*>(object)->getObjectType();
    default:
        return reinterpret_cast<TokenObjectPrivateKey*>(object)->getObjectType();
    }
}

void ReleaseAll(std::vector<TokenObject*>& objects)
{
    for (TokenObject*& o : objects) {
        if (o != nullptr)
            Unknown(o)->Release();
        o = nullptr;
    }
}

class KeychainSlot : public QevLibrary {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pki.ok);
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_PSE_1", &table), S_OK);
        pseTable = ZELK_ApiCast<SEC_PSE_TABLE>(table);
        std::string message;
        ASSERT_EQ(ks::KeyStore::Open(ks::Options {}, &store, &message), S_OK) << message;
        for (const char* name : {"rsa", "ec"}) {
            ks::Pkcs12Import imported;
            ASSERT_EQ(store->ImportPkcs12(pki.Read(std::string(name) + ".p12"), "secret", &imported), S_OK);
            sha1[name] = Bytes(imported.identity.sha1.begin(), imported.identity.sha1.end());
        }
        ASSERT_EQ(store->AddCertificate(pki.Read("inter.der")), S_OK);
        ASSERT_EQ(store->AddCertificate(pki.Read("root.der")), S_OK);
    }
    void TearDown() override
    {
        store.reset();
        QevLibrary::TearDown();
    }

    SecSlot* Slot(const std::string& name)
    {
        SecSlot* slot = nullptr;
        EXPECT_EQ(pseTable->getSlot(&slot, name.c_str()), S_OK) << name;
        return slot;
    }
    std::string IdentityName(const char* name, bool upper = false)
    {
        return "tokkeychain:cert=" + Hex(sha1[name], upper);
    }

    // The one private key (type 3) of an identity's token.
    TokenObjectPrivateKey* Key(const char* name)
    {
        SecSlot* slot = Slot(IdentityName(name));
        SecToken* token = nullptr;
        EXPECT_EQ(slot->getToken(&token), S_OK);
        TokenObject* object = nullptr;
        unsigned long count = 1;
        EXPECT_EQ(token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr), S_OK);
        EXPECT_EQ(count, 1u);
        token->Release();
        slot->Release();
        return reinterpret_cast<TokenObjectPrivateKey*>(object);
    }

    // Lets openssl check a signature: `options` as pkeyutl takes them.
    bool Verifies(const char* identity, const Bytes& input, const Bytes& signature, const std::string& options)
    {
        Write(home.root + "/in.bin", input);
        Write(home.root + "/sig.bin", signature);
        return pki.Run("openssl pkeyutl -verify -pubin -inkey " + pki.Path(std::string(identity) + ".pub") + " "
                           + options + " -in in.bin -sigfile sig.bin",
                       home.root);
    }

    TempDataHome home;
    const TestPki& pki = TestPki::Get();
    const SEC_PSE_TABLE* pseTable = nullptr;
    std::unique_ptr<ks::KeyStore> store;
    std::map<std::string, Bytes> sha1;
};

TEST_F(KeychainSlot, NamesOfOneIdentityAllIdentitiesOrNone)
{
    SecSlot* slot = Slot(IdentityName("rsa", true));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->tokenInserted(), S_OK);
    const char* name = nullptr;
    ASSERT_EQ(slot->getSlotName(&name), S_OK);
    EXPECT_EQ(std::string(name), IdentityName("rsa", true));
    slot->Release();

    slot = Slot("tokkeychain:cfg=KVWC+KVC");
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->tokenInserted(), S_OK);
    slot->Release();

    slot = Slot("tokkeychain:cert=" + std::string(40, '0'));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->tokenInserted(), E_TOKEN_NOTFOUND);
    SecToken* token = reinterpret_cast<SecToken*>(slot);
    EXPECT_EQ(slot->getToken(&token), E_TOKEN_NOTFOUND);
    EXPECT_EQ(token, nullptr);
    slot->Release();

    for (std::string bad : {std::string("tokkeychain:-"), "tokkeychain:cert=" + std::string(39, 'a'),
                            "tokkeychain:cert=" + std::string(41, 'a'), "tokkeychain:cert=" + std::string(40, 'g'),
                            std::string("tokkeychain:cert=")}) {
        SCOPED_TRACE(bad);
        slot = reinterpret_cast<SecSlot*>(&home);
        EXPECT_EQ(pseTable->getSlot(&slot, bad.c_str()), E_INVALIDARG);
        EXPECT_EQ(slot, nullptr);
    }
    // Through the library's module "secpse", as the PSE provider opens slots.
    API_COMMON* table = nullptr;
    ASSERT_EQ(list->get_api("secpse", "SEC_PSE_1", &table), S_OK);
    slot = nullptr;
    ASSERT_EQ(ZELK_ApiCast<SEC_PSE_TABLE>(table)->getSlot(&slot, IdentityName("ec").c_str()), S_OK);
    EXPECT_EQ(slot->tokenInserted(), S_OK);
    slot->Release();
}

TEST_F(KeychainSlot, SlotAndTokenDescribeTheIdentity)
{
    SecSlot* slot = Slot(IdentityName("rsa"));
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(slot->getP11SlotInfo(&slotInfo), S_OK);
    std::string description(reinterpret_cast<char*>(slotInfo.slotDescription), sizeof slotInfo.slotDescription);
    EXPECT_EQ(description, IdentityName("rsa") + std::string(64 - IdentityName("rsa").size(), ' '));
    EXPECT_TRUE(slotInfo.flags & CKF_TOKEN_PRESENT);

    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    const char* text = nullptr;
    ASSERT_EQ(token->getTokenName(&text), S_OK);
    EXPECT_EQ(std::string(text), IdentityName("rsa"));
    ASSERT_EQ(token->getTokenLabel(&text), S_OK);
    EXPECT_STREQ(text, "QEV Kestrin (rsa)");
    ASSERT_EQ(token->getSerialNumber(&text), S_OK);
    EXPECT_STREQ(text, "1234");  // serial 4660
    ASSERT_EQ(token->getTokenProfile(&text), S_OK);
    EXPECT_STREQ(text, "keychain");
    CK_TOKEN_INFO tokenInfo;
    ASSERT_EQ(token->getP11TokenInfo(&tokenInfo), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tokenInfo.label), 32),
              "QEV Kestrin (rsa)" + std::string(32 - 17, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tokenInfo.serialNumber), 16), "1234" + std::string(12, ' '));
    TokenPIN* pin = reinterpret_cast<TokenPIN*>(slot);
    EXPECT_EQ(token->getCardPIN(&pin), S_OK);
    EXPECT_EQ(pin, nullptr);
    std::vector<unsigned char> random(64 << 10);
    EXPECT_EQ(token->getRandom(random.data(), random.size()), S_OK);
    random.resize((64 << 10) + 1);
    EXPECT_EQ(token->getRandom(random.data(), random.size()), E_INVALIDARG);
    EXPECT_EQ(token->initToken(nullptr), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(token->deleteToken(), E_PSE_NOTSUPPORTED);
    TokenObjectCertificate* created = reinterpret_cast<TokenObjectCertificate*>(slot);
    EXPECT_EQ(token->createCertificateObj(&created, nullptr, "id", "label"), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(created, nullptr);
    token->Release();
    EXPECT_EQ(slot->releaseToken(), S_OK);
    slot->Release();

    slot = Slot("tokkeychain:cfg=KVWC+KVC");
    ASSERT_EQ(slot->getToken(&token), S_OK);
    ASSERT_EQ(token->getTokenLabel(&text), S_OK);
    EXPECT_STREQ(text, "Keychain");
    token->Release();
    slot->Release();
}

TEST_F(KeychainSlot, GetObjectsCountsFiltersAndNeverWritesBeyondTheRoom)
{
    SecSlot* slot = Slot("tokkeychain:cfg=KVWC+KVC");
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    unsigned long count = 99;
    ASSERT_EQ(token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 2u);

    std::vector<TokenObject*> objects(3, reinterpret_cast<TokenObject*>(&home));
    count = 1;
    ASSERT_EQ(token->getObjects(objects.data(), &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_NE(objects[0], nullptr);
    EXPECT_EQ(TypeOf(objects[0], TOKEN_OBJECT_PRIVATE_KEY), TOKEN_OBJECT_PRIVATE_KEY);
    EXPECT_EQ(objects[1], reinterpret_cast<TokenObject*>(&home));
    Unknown(objects[0])->Release();

    struct Case {
        TOKEN_OBJECT_TYPE type;
        std::string keyId;
        const char* label;
        unsigned long expected;
    };
    for (const Case& c : {Case {TOKEN_OBJECT_CERTIFICATE, Hex(sha1["ec"], false), nullptr, 1},
                          Case {TOKEN_OBJECT_PUBLIC_KEY, Hex(sha1["ec"], true), nullptr, 1},
                          Case {TOKEN_OBJECT_PRIVATE_KEY, "", "QEV Kestrin (rsa)", 1},
                          Case {TOKEN_OBJECT_PRIVATE_KEY, Hex(sha1["ec"], false), "QEV Kestrin (rsa)", 0},
                          Case {TOKEN_OBJECT_DATA, "", nullptr, 0}, Case {TOKEN_OBJECT_SECRET_KEY, "", nullptr, 0}}) {
        SCOPED_TRACE(c.keyId + (c.label ? c.label : ""));
        std::fill(objects.begin(), objects.end(), nullptr);
        count = objects.size();
        ASSERT_EQ(
            token->getObjects(objects.data(), &count, c.type, c.keyId.empty() ? nullptr : c.keyId.c_str(), c.label),
            S_OK);
        EXPECT_EQ(count, c.expected);
        for (unsigned long i = 0; i < count; ++i)
            EXPECT_EQ(TypeOf(objects[i], c.type), c.type);
        ReleaseAll(objects);
    }
    EXPECT_EQ(token->getObjects(nullptr, nullptr, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), E_POINTER);
    token->Release();
    slot->Release();
}

TEST_F(KeychainSlot, CertificateObjectGivesItsPathToTheRootAndItsAlgorithms)
{
    SecSlot* slot = Slot(IdentityName("rsa"));
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    TokenObject* object = nullptr;
    unsigned long count = 1;
    ASSERT_EQ(token->getObjects(&object, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    auto* certObject = reinterpret_cast<TokenObjectCertificate*>(object);
    const char* keyId = nullptr;
    ASSERT_EQ(certObject->getKeyId(&keyId), S_OK);
    EXPECT_EQ(std::string(keyId), Hex(sha1["rsa"], false));

    Certificate* certificate = nullptr;
    SEQUENCE_OF_Certificate* path = nullptr;
    Certificate* root = nullptr;
    ASSERT_EQ(certObject->getCertPath(&certificate, &path, &root), S_OK);
    ASSERT_NE(certificate, nullptr);
    ASSERT_NE(path, nullptr);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(path->next, nullptr);
    auto commonName = [&](Certificate* c) {
        char* cn = nullptr;
        EXPECT_EQ(c->getSubjectCommonName(&cn), S_OK);
        std::string text = cn ? cn : "";
        list->free(cn);
        return text;
    };
    EXPECT_EQ(commonName(certificate), "rsa user");
    EXPECT_EQ(commonName(path->element), "Test Intermediate");
    EXPECT_EQ(commonName(root), "Test Root");
    API_COMMON* common = nullptr;
    ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &common), S_OK);
    SEC_TypeTable(common, SEC_TYPE_SEQUENCE_OF_Certificate)->free(path);
    certificate->Release();
    root->Release();

    SEQUENCE_OF_AlgId* algorithms = nullptr;
    ASSERT_EQ(certObject->getSigAlgs(&algorithms), S_OK);
    size_t n = 0;
    for (SEQUENCE_OF_AlgId* a = algorithms; a != nullptr; a = a->next)
        ++n;
    EXPECT_EQ(n, 4u);
    ASSERT_NE(algorithms, nullptr);
    EXPECT_EQ(
        Bytes(algorithms->element->objid->data, algorithms->element->objid->data + algorithms->element->objid->length),
        kSha256WithRsa);
    SEC_TypeTable(common, SEC_TYPE_SEQUENCE_OF_AlgId)->free(algorithms);

    TokenObjectPrivateKey* key = nullptr;
    ASSERT_EQ(certObject->getPrivateKeyObj(&key), S_OK);
    unsigned int ops = 0;
    ASSERT_EQ(key->getOps(&ops), S_OK);
    EXPECT_EQ(ops, 3u);
    key->Release();
    certObject->Release();
    token->Release();
    slot->Release();
}

TEST_F(KeychainSlot, RsaSignaturesVerifyWithOpenssl)
{
    TokenObjectPrivateKey* key = Key("rsa");
    ASSERT_NE(key, nullptr);
    const Bytes data(1000, 0x42);
    struct Case {
        const char* what;
        Alg alg;
        bool digestInput;
        Bytes input;
        std::string options;
    };
    // A DigestInfo made by the caller, signed as given.
    Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes sha256 = Sha(data, 32);
    digestInfo.insert(digestInfo.end(), sha256.begin(), sha256.end());
    Case cases[] = {
        {"sha256WithRSAEncryption", Alg(kSha256WithRsa), true, sha256, "-pkeyopt digest:sha256"},
        {"rsaEncryption over a DigestInfo", Alg(kRsaEncryption), true, digestInfo, ""},
        {"rsassaPss without parameters", Alg(kRsassaPss), true, Sha(data, 48),
         "-pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:digest -pkeyopt digest:sha384"},
        {"sha512WithRSAEncryption over the data", Alg(kSha512WithRsa), false, data, "-pkeyopt digest:sha512"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char signature[512];
        unsigned long length = sizeof signature;
        ASSERT_EQ(
            key->sign(&c.alg.alg, c.digestInput ? 1 : 0, c.input.data(), c.input.size(), signature, &length, nullptr),
            S_OK);
        EXPECT_EQ(length, 256u);
        Bytes verifyInput = c.digestInput ? c.input : Sha(data, 64);
        EXPECT_TRUE(Verifies("rsa", verifyInput, Bytes(signature, signature + length), c.options));
    }
    // A buffer too small learns the length and is left alone.
    Alg sha256Rsa(kSha256WithRsa);
    Bytes small(255, 0xEE);
    unsigned long length = small.size();
    EXPECT_EQ(key->sign(&sha256Rsa.alg, 1, sha256.data(), sha256.size(), small.data(), &length, nullptr),
              E_BUFFERTOOSMALL);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(small, Bytes(255, 0xEE));
    // Algorithms of another key, unknown ones and digests of the wrong length.
    unsigned char signature[512];
    Alg ecdsa(kEcdsaSha256);
    Alg unknown(kSha1);
    for (AlgId* bad : {&ecdsa.alg, &unknown.alg}) {
        length = sizeof signature;
        EXPECT_EQ(key->sign(bad, 1, sha256.data(), sha256.size(), signature, &length, nullptr), E_INVALIDARG);
    }
    length = sizeof signature;
    EXPECT_EQ(key->sign(&sha256Rsa.alg, 1, sha256.data(), 20, signature, &length, nullptr), E_INVALIDARG);
    key->Release();
}

TEST_F(KeychainSlot, EcdsaSignaturesVerifyWithOpenssl)
{
    TokenObjectPrivateKey* key = Key("ec");
    ASSERT_NE(key, nullptr);
    const Bytes digest = Sha(Bytes(100, 7), 32);
    Alg ecdsa(kEcdsaSha256);
    Alg plain(kEcPublicKey);
    for (AlgId* alg : {&ecdsa.alg, &plain.alg, static_cast<AlgId*>(nullptr)}) {
        unsigned char signature[128];
        unsigned long length = sizeof signature;
        ASSERT_EQ(key->sign(alg, 1, digest.data(), digest.size(), signature, &length, nullptr), S_OK);
        EXPECT_TRUE(Verifies("ec", digest, Bytes(signature, signature + length), ""));
    }
    unsigned int ops = 0;
    ASSERT_EQ(key->getOps(&ops), S_OK);
    EXPECT_EQ(ops, 1u);
    unsigned char out[64];
    unsigned long length = sizeof out;
    EXPECT_EQ(key->decrypt(nullptr, digest.data(), digest.size(), out, &length, nullptr), E_INVALIDARG);
    key->Release();
}

TEST_F(KeychainSlot, DecryptsWhatOpensslEncrypted)
{
    TokenObjectPrivateKey* key = Key("rsa");
    ASSERT_NE(key, nullptr);
    const Bytes plain = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'k', 'e', 'y'};
    Write(home.root + "/plain.bin", plain);
    Alg pkcs1(kRsaEncryption);
    Alg oaep(kRsaesOaep);
    Alg oaep256(kRsaesOaep, &kOaepSha256Params);
    struct Case {
        AlgId* alg;
        std::string options;
    };
    for (const Case& c :
         {Case {nullptr, "-pkeyopt rsa_padding_mode:pkcs1"}, Case {&pkcs1.alg, "-pkeyopt rsa_padding_mode:pkcs1"},
          Case {&oaep.alg, "-pkeyopt rsa_padding_mode:oaep"},
          Case {&oaep256.alg,
                "-pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256"}}) {
        SCOPED_TRACE(c.options);
        ASSERT_TRUE(pki.Run("openssl pkeyutl -encrypt -pubin -inkey " + pki.Path("rsa.pub") + " " + c.options
                                + " -in plain.bin -out cipher.bin",
                            home.root));
        std::ifstream f(home.root + "/cipher.bin", std::ios::binary);
        Bytes cipher {std::istreambuf_iterator<char>(f), {}};
        unsigned char out[256];
        unsigned long length = 4;
        EXPECT_EQ(key->decrypt(c.alg, cipher.data(), cipher.size(), out, &length, nullptr), E_BUFFERTOOSMALL);
        EXPECT_EQ(length, plain.size());
        length = sizeof out;
        ASSERT_EQ(key->decrypt(c.alg, cipher.data(), cipher.size(), out, &length, nullptr), S_OK);
        EXPECT_EQ(Bytes(out, out + length), plain);
    }
    Alg other(kSha256WithRsa);
    unsigned char out[256];
    unsigned long length = sizeof out;
    EXPECT_EQ(key->decrypt(&other.alg, plain.data(), plain.size(), out, &length, nullptr), E_INVALIDARG);
    key->Release();
}

TEST_F(KeychainSlot, AttributeTemplatesFollowPkcs11Rules)
{
    TokenObjectPrivateKey* key = Key("rsa");
    ASSERT_NE(key, nullptr);
    CK_OBJECT_CLASS objectClass = 0;
    unsigned char id[20];
    unsigned char shortLabel[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    unsigned char secret[8];
    CK_BBOOL sign = CK_FALSE;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_ID, id, sizeof id},
        {CKA_LABEL, shortLabel, sizeof shortLabel},
        {CKA_PRIVATE_EXPONENT, secret, sizeof secret},
        {CKA_MODULUS, nullptr, 0},
        {CKA_APPLICATION, nullptr, 0},
        {CKA_SIGN, &sign, sizeof sign},
    };
    HRESULT hr = key->getP11Attributes(attributes, std::size(attributes));
    EXPECT_TRUE(hr == CKR_BUFFER_TOO_SMALL || hr == CKR_ATTRIBUTE_SENSITIVE || hr == CKR_ATTRIBUTE_TYPE_INVALID) << hr;
    EXPECT_EQ(objectClass, CKO_PRIVATE_KEY);
    EXPECT_EQ(Bytes(id, id + 20), sha1["rsa"]);
    EXPECT_EQ(attributes[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(Bytes(shortLabel, shortLabel + 4), Bytes(4, 0xAA));
    EXPECT_EQ(attributes[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(attributes[4].ulValueLen, 256u);
    EXPECT_EQ(attributes[5].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(sign, CK_TRUE);

    // Each failing kind alone answers its own code.
    CK_ATTRIBUTE sensitive = {CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(key->getP11Attributes(&sensitive, 1), static_cast<HRESULT>(CKR_ATTRIBUTE_SENSITIVE));
    CK_ATTRIBUTE unknown = {CKA_APPLICATION, nullptr, 0};
    EXPECT_EQ(key->getP11Attributes(&unknown, 1), static_cast<HRESULT>(CKR_ATTRIBUTE_TYPE_INVALID));
    Bytes modulus(256);
    CK_ATTRIBUTE fits = {CKA_MODULUS, modulus.data(), modulus.size()};
    ASSERT_EQ(key->getP11Attributes(&fits, 1), static_cast<HRESULT>(CKR_OK));
    // The modulus is the certificate's.
    {
        Bytes der = pki.Read("rsa.der");
        const unsigned char* p = der.data();
        X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(x509, nullptr);
        BIGNUM* n = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(X509_get0_pubkey(x509), "n", &n), 1);
        Bytes expected(256);
        BN_bn2binpad(n, expected.data(), 256);
        EXPECT_EQ(modulus, expected);
        BN_free(n);
        X509_free(x509);
    }
    EXPECT_EQ(key->setP11Attributes(&fits, 1), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(key->remove(), E_PSE_NOTSUPPORTED);

    TokenObjectCertificate* certificates[1] = {};
    unsigned long count = 1;
    ASSERT_EQ(key->getCertObjs(nullptr, certificates, &count), S_OK);
    ASSERT_EQ(count, 1u);
    Bytes value(4096);
    CK_ATTRIBUTE certValue = {CKA_VALUE, value.data(), value.size()};
    ASSERT_EQ(certificates[0]->getP11Attributes(&certValue, 1), static_cast<HRESULT>(CKR_OK));
    value.resize(certValue.ulValueLen);
    EXPECT_EQ(value, pki.Read("rsa.der"));
    certificates[0]->Release();
    key->Release();
}

TEST_F(KeychainSlot, OneKeyObjectSignsOnManyThreadsAtOnce)
{
    SecSlot* slot = Slot(IdentityName("ec"));
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    TokenObject* objects[2] = {};
    unsigned long count = 1;
    ASSERT_EQ(token->getObjects(&objects[0], &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr), S_OK);
    count = 1;
    ASSERT_EQ(token->getObjects(&objects[1], &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    auto* key = reinterpret_cast<TokenObjectPrivateKey*>(objects[0]);
    auto* certificate = reinterpret_cast<TokenObjectCertificate*>(objects[1]);
    const Bytes digest = Sha(Bytes(10, 3), 32);
    Alg ecdsa(kEcdsaSha256);
    std::atomic<int> failures {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                unsigned char signature[128];
                unsigned long length = sizeof signature;
                if (key->sign(&ecdsa.alg, 1, digest.data(), digest.size(), signature, &length, nullptr) != S_OK)
                    ++failures;
                Certificate* root = nullptr;
                if (certificate->getCertPath(nullptr, nullptr, &root) != S_OK || root == nullptr)
                    ++failures;
                else
                    root->Release();
                SecToken* again = nullptr;
                if (slot->getToken(&again) != S_OK)
                    ++failures;
                else
                    again->Release();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    key->Release();
    certificate->Release();
    token->Release();
    slot->Release();
}

TEST_F(KeychainSlot, IdentityDeletedWhileItsTokenIsHeld)
{
    SecSlot* slot = Slot(IdentityName("rsa"));
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    TokenObject* objects[2] = {};
    unsigned long count = 1;
    ASSERT_EQ(token->getObjects(&objects[0], &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr), S_OK);
    count = 1;
    ASSERT_EQ(token->getObjects(&objects[1], &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    auto* key = reinterpret_cast<TokenObjectPrivateKey*>(objects[0]);
    auto* certificate = reinterpret_cast<TokenObjectCertificate*>(objects[1]);

    ks::Fingerprint fingerprint;
    std::copy(sha1["rsa"].begin(), sha1["rsa"].end(), fingerprint.begin());
    ASSERT_EQ(store->DeleteIdentity(fingerprint, ks::DeletePart::Both), S_OK);

    EXPECT_EQ(slot->tokenInserted(), E_TOKEN_NOTFOUND);
    SecToken* again = nullptr;
    EXPECT_EQ(slot->getToken(&again), E_TOKEN_NOTFOUND);
    count = 1;
    TokenObject* none = nullptr;
    EXPECT_EQ(token->getObjects(&none, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 0u);
    const Bytes digest(32, 1);
    Alg sha256Rsa(kSha256WithRsa);
    unsigned char signature[512];
    unsigned long length = sizeof signature;
    EXPECT_EQ(key->sign(&sha256Rsa.alg, 1, digest.data(), digest.size(), signature, &length, nullptr), E_TOKEN_NOKEY);
    const char* keyId = nullptr;
    EXPECT_EQ(certificate->getKeyId(&keyId), E_TOKEN_NOKEY);
    Certificate* c = nullptr;
    EXPECT_EQ(certificate->getCertPath(&c, nullptr, nullptr), E_TOKEN_NOKEY);
    EXPECT_EQ(c, nullptr);
    CK_ATTRIBUTE id = {CKA_ID, nullptr, 0};
    EXPECT_EQ(key->getP11Attributes(&id, 1), E_TOKEN_NOKEY);
    key->Release();
    certificate->Release();
    token->Release();
    slot->Release();
}

}  // namespace
