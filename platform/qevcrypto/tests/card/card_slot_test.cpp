// The "secpcsc:" slots against a real pcscd with vsmartcard's virtual reader,
// and SoftHSM2 serving the card's keys; OpenSSL checks what the card signs and
// encrypts what it decrypts.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "../qev_fixture.h"
#include "qev_pse.h"
#include "qev_results.h"
#include "qev_token.h"
#include "smartcard_fixture.h"
#include "test_process.h"

namespace kestrin::qevcrypto::test {
namespace {

using kestrin::testsupport::RunProgram;
using kestrin::testsupport::SmartCardFixture;
using Bytes = std::vector<uint8_t>;

const Bytes kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};

Bytes ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes {std::istreambuf_iterator<char>(f), {}};
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

IUnknown* Unknown(TokenObject* object)
{
    return reinterpret_cast<IUnknown*>(object);
}

class CardSlot : public QevLibrary {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(card.Start(error)) << error;
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_PSE_1", &table), S_OK);
        pseTable = ZELK_ApiCast<SEC_PSE_TABLE>(table);
    }

    SecSlot* Slot()
    {
        SecSlot* slot = nullptr;
        EXPECT_EQ(pseTable->getSlot(&slot, SmartCardFixture::kSlotName), S_OK);
        return slot;
    }

    // The card's objects of a type, by key identifier.
    std::vector<TokenObject*> Objects(SecToken* token, TOKEN_OBJECT_TYPE type, const char* keyId = nullptr)
    {
        unsigned long count = 0;
        EXPECT_EQ(token->getObjects(nullptr, &count, type, keyId, nullptr), S_OK);
        std::vector<TokenObject*> objects(count);
        EXPECT_EQ(token->getObjects(objects.data(), &count, type, keyId, nullptr), S_OK);
        objects.resize(count);
        return objects;
    }

    static void Release(std::vector<TokenObject*>& objects)
    {
        for (TokenObject* o : objects)
            if (o != nullptr)
                Unknown(o)->Release();
        objects.clear();
    }

    SmartCardFixture card;
    const SEC_PSE_TABLE* pseTable = nullptr;
};

TEST_F(CardSlot, PresenceFollowsTheCardAndATokenLastsOneInsertion)
{
    SecSlot* slot = Slot();
    ASSERT_NE(slot, nullptr);
    const char* name = nullptr;
    ASSERT_EQ(slot->getSlotName(&name), S_OK);
    EXPECT_STREQ(name, SmartCardFixture::kSlotName);
    SecToken* token = nullptr;
    EXPECT_EQ(slot->tokenInserted(), E_TOKEN_NOCARD);
    EXPECT_EQ(slot->getToken(&token), E_TOKEN_NOCARD);
    EXPECT_EQ(token, nullptr);

    std::string error;
    ASSERT_TRUE(card.InsertCard(error)) << error;
    EXPECT_EQ(slot->tokenInserted(), S_OK);
    CK_SLOT_INFO slotInfo {};
    ASSERT_EQ(slot->getP11SlotInfo(&slotInfo), S_OK);
    EXPECT_NE(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    ASSERT_EQ(slot->getToken(&token), S_OK);
    const char* text = nullptr;
    ASSERT_EQ(token->getTokenName(&text), S_OK);
    EXPECT_STREQ(text, SmartCardFixture::kSlotName);
    ASSERT_EQ(token->getTokenLabel(&text), S_OK);
    EXPECT_STREQ(text, SmartCardFixture::kReader);
    ASSERT_EQ(token->getSerialNumber(&text), S_OK);
    EXPECT_GT(std::strlen(text), 0u);
    SecToken* again = nullptr;
    ASSERT_EQ(slot->getToken(&again), S_OK);
    EXPECT_EQ(again, token);
    again->Release();
    TokenPIN* pin = nullptr;
    ASSERT_EQ(token->getCardPIN(&pin), S_OK);

    ASSERT_TRUE(card.RemoveCard(error)) << error;
    EXPECT_EQ(slot->tokenInserted(), E_TOKEN_NOCARD);
    unsigned long count = 0;
    EXPECT_EQ(token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), E_TOKEN_NOCARD);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(pin->login(SmartCardFixture::kPin, nullptr), E_TOKEN_NOCARD);

    // The same card back is a new insertion: the old token stays dead.
    ASSERT_TRUE(card.InsertCard(error)) << error;
    EXPECT_EQ(pin->login(SmartCardFixture::kPin, nullptr), E_TOKEN_NOCARD);
    ASSERT_EQ(slot->getToken(&again), S_OK);
    EXPECT_NE(again, token);
    again->Release();
    pin->Release();
    token->Release();
    slot->Release();

    SecSlot* none = nullptr;
    EXPECT_EQ(pseTable->getSlot(&none, "secpcsc:"), E_PSE_NOTFOUND);
    EXPECT_EQ(pseTable->getSlot(&none, ("secpcsc:" + std::string(200, 'r')).c_str()), E_PSE_NOTFOUND);
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(pseTable->getSlot(&none, "secpcsc:No Such Reader"), S_OK);
    EXPECT_EQ(none->tokenInserted(), E_TOKEN_NOCARD);
    none->Release();
}

TEST_F(CardSlot, CertificatesCountKeysPathAndNeverWriteBeyondTheRoom)
{
    // A certificate that does not decode is no object of the card.
    ASSERT_TRUE(card.WriteCertificateObject(Bytes(300, 0x30), "03", "Broken"));
    std::string error;
    ASSERT_TRUE(card.InsertCard(error)) << error;
    SecSlot* slot = Slot();
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);

    // Two certificates; a room of one gets one and learns of both.
    TokenObject* room[2] = {nullptr, reinterpret_cast<TokenObject*>(&room)};
    unsigned long count = 1;
    ASSERT_EQ(token->getObjects(room, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr), S_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_NE(room[0], nullptr);
    EXPECT_EQ(room[1], reinterpret_cast<TokenObject*>(&room));
    Unknown(room[0])->Release();

    std::vector<TokenObject*> user = Objects(token, TOKEN_OBJECT_CERTIFICATE, "01");
    ASSERT_EQ(user.size(), 1u);
    auto* certificate = reinterpret_cast<TokenObjectCertificate*>(user[0]);
    const char* keyId = nullptr;
    ASSERT_EQ(certificate->getKeyId(&keyId), S_OK);
    EXPECT_STREQ(keyId, "01");
    Certificate* leaf = nullptr;
    SEQUENCE_OF_Certificate* path = nullptr;
    Certificate* top = nullptr;
    ASSERT_EQ(certificate->getCertPath(&leaf, &path, &top), S_OK);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(path, nullptr);  // the CA is the top itself
    ASSERT_NE(top, nullptr);
    char* cn = nullptr;
    ASSERT_EQ(top->getSubjectCommonName(&cn), S_OK);
    EXPECT_STREQ(cn, "Kestrin Card CA");
    list->free(cn);
    top->Release();
    leaf->Release();

    // The CA's own path has no top apart from itself.
    std::vector<TokenObject*> ca = Objects(token, TOKEN_OBJECT_CERTIFICATE, "02");
    ASSERT_EQ(ca.size(), 1u);
    ASSERT_EQ(reinterpret_cast<TokenObjectCertificate*>(ca[0])->getCertPath(&leaf, nullptr, &top), S_OK);
    EXPECT_EQ(top, nullptr);
    leaf->Release();

    std::vector<TokenObject*> keys = Objects(token, TOKEN_OBJECT_PRIVATE_KEY, "01");
    EXPECT_EQ(keys.size(), 1u);
    EXPECT_TRUE(Objects(token, TOKEN_OBJECT_PRIVATE_KEY, "7f").empty());
    EXPECT_TRUE(Objects(token, TOKEN_OBJECT_DATA).empty());
    Release(keys);
    Release(ca);
    Release(user);
    token->Release();
    slot->Release();
}

TEST_F(CardSlot, SignaturesVerifyAndDecryptionOpensWhatOpensslEncrypted)
{
    std::string error;
    ASSERT_TRUE(card.InsertCard(error)) << error;
    SecSlot* slot = Slot();
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    std::vector<TokenObject*> keys = Objects(token, TOKEN_OBJECT_PRIVATE_KEY, "01");
    ASSERT_EQ(keys.size(), 1u);
    auto* key = reinterpret_cast<TokenObjectPrivateKey*>(keys[0]);

    const Bytes data(700, 0x5a);
    ObjId oid {kSha256WithRsa.size(), const_cast<uint8_t*>(kSha256WithRsa.data())};
    AlgId sha256Rsa {&oid, nullptr};
    unsigned char signature[512];
    unsigned long length = sizeof signature;
    // The key is private to the user: nothing before the PIN.
    EXPECT_EQ(key->sign(&sha256Rsa, 0, data.data(), data.size(), signature, &length, nullptr), E_PSE_NOTLOGGEDIN);

    TokenPIN* pin = nullptr;
    ASSERT_EQ(token->getCardPIN(&pin), S_OK);
    EXPECT_EQ(pin->isVerified(), S_FALSE);
    ASSERT_EQ(pin->login(SmartCardFixture::kPin, nullptr), S_OK);
    EXPECT_EQ(pin->isVerified(), S_OK);
    length = sizeof signature;
    ASSERT_EQ(key->sign(&sha256Rsa, 0, data.data(), data.size(), signature, &length, nullptr), S_OK);
    ASSERT_EQ(length, 256u);
    const std::string& d = card.folder();
    WriteFile(d + "/data.bin", data);
    WriteFile(d + "/sig.bin", Bytes(signature, signature + length));
    EXPECT_EQ(RunProgram({"openssl", "dgst", "-sha256", "-verify", card.PublicKeyPem(), "-signature", d + "/sig.bin",
                          d + "/data.bin"},
                         {}),
              0);

    const Bytes secret = {'c', 'a', 'r', 'd', ' ', 's', 'e', 'c', 'r', 'e', 't'};
    WriteFile(d + "/plain.bin", secret);
    ASSERT_EQ(RunProgram({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", card.PublicKeyPem(), "-in",
                          d + "/plain.bin", "-out", d + "/cipher.bin"},
                         {}),
              0);
    Bytes cipher = ReadFile(d + "/cipher.bin");
    unsigned char plain[256];
    length = sizeof plain;
    ASSERT_EQ(key->decrypt(nullptr, cipher.data(), cipher.size(), plain, &length, nullptr), S_OK);
    EXPECT_EQ(Bytes(plain, plain + length), secret);

    EXPECT_EQ(pin->logout(), S_OK);
    EXPECT_EQ(pin->isVerified(), S_FALSE);
    pin->Release();
    Release(keys);
    token->Release();
    slot->Release();
}

TEST_F(CardSlot, PinResultsChangeAndUnblockBySoPin)
{
    std::string error;
    ASSERT_TRUE(card.InsertCard(error)) << error;
    SecSlot* slot = Slot();
    SecToken* token = nullptr;
    ASSERT_EQ(slot->getToken(&token), S_OK);
    TokenPIN* pin = nullptr;
    ASSERT_EQ(token->getCardPIN(&pin), S_OK);
    int tries = 7;
    ASSERT_EQ(pin->getPINcnt(&tries), S_OK);
    EXPECT_EQ(tries, -1);  // SoftHSM2 keeps no counter
    EXPECT_EQ(static_cast<uint32_t>(pin->login("9999", nullptr)) & ~0xF0000u, static_cast<uint32_t>(E_TOKEN_PINWRONG));
    EXPECT_EQ(pin->isVerified(), S_FALSE);

    EXPECT_EQ(pin->change(SmartCardFixture::kPin, "2468"), S_OK);
    EXPECT_EQ(pin->login(SmartCardFixture::kPin, nullptr) & ~0xF0000, E_TOKEN_PINWRONG);
    EXPECT_EQ(pin->login("2468", nullptr), S_OK);
    EXPECT_EQ(pin->logout(), S_OK);

    // Unblocking: the SO PIN logs in and sets a new user PIN.
    TokenPIN* so = nullptr;
    ASSERT_EQ(pin->getUnblockObject(&so), S_OK);
    const char* name = nullptr;
    ASSERT_EQ(so->getName(&name), S_OK);
    EXPECT_STREQ(name, "SO PIN");
    EXPECT_EQ(pin->beginUnblock(), S_OK);
    EXPECT_EQ(so->login("0000", nullptr) & ~0xF0000, E_TOKEN_PINWRONG);
    ASSERT_EQ(so->login(SmartCardFixture::kSoPin, nullptr), S_OK);
    EXPECT_EQ(pin->finishUnblock("1357"), S_OK);
    EXPECT_EQ(so->logout(), S_OK);
    EXPECT_EQ(pin->login("1357", nullptr), S_OK);
    EXPECT_EQ(pin->isVerified(), S_OK);
    EXPECT_EQ(pin->logout(), S_OK);
    so->Release();
    pin->Release();
    token->Release();
    slot->Release();
}

}  // namespace
}  // namespace kestrin::qevcrypto::test
