// The in-process doubles behave as the calling code expects of the crypto
// library's objects: slot-event waits, object searches that never write more
// than they are given room for, keys that OpenSSL's verification accepts, and
// a fixture that catches references left behind.
#include <gtest/gtest-spi.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <chrono>
#include <thread>

#include "qev_doubles.h"

namespace kestrin::qevtest::test {
namespace {

class DoublesTest : public FakesTest {
protected:
    void TearDown() override
    {
        EVP_PKEY_free(rsa);
        EVP_PKEY_free(ec);
        FakesTest::TearDown();
    }

    // An algorithm identifier of the library, as OpenSSL writes it.
    AlgId* algorithm(int nid, bool nullParameters)
    {
        X509_ALGOR* alg = X509_ALGOR_new();
        X509_ALGOR_set0(alg, OBJ_nid2obj(nid), nullParameters ? V_ASN1_NULL : V_ASN1_UNDEF, nullptr);
        unsigned char* der = nullptr;
        const int length = i2d_X509_ALGOR(alg, &der);
        X509_ALGOR_free(alg);
        OctetString s {static_cast<uint64_t>(length), der};
        void* value = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_AlgId)->decode(&s, &value), S_OK);
        OPENSSL_free(der);
        return static_cast<AlgId*>(value);
    }

    static void WaitForWaiters(FakeSlotEvents* events, int count)
    {
        for (int i = 0; i < 2000 && events->Waiters() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(events->Waiters(), count);
    }

    EVP_PKEY* rsa = EVP_RSA_gen(2048);
    EVP_PKEY* ec = EVP_EC_gen("P-256");
};

TEST_F(DoublesTest, SlotEventsWaitAsPkcs11Does)
{
    auto* events = new FakeSlotEvents();
    auto* slot = new FakeSlot("secpcsc:Reader 0");
    SecSlot* got = nullptr;
    EXPECT_EQ(events->wait(SLOT_EVENT_DONT_BLOCK, &got), SLOT_EVENT_NONE);
    EXPECT_EQ(got, nullptr);

    // A queued slot comes back first in, first out, with a reference.
    events->Post(slot);
    EXPECT_EQ(events->wait(0, &got), S_OK);
    EXPECT_EQ(got, slot);
    got->Release();

    // A blocked waiter is woken by a slot; a cancel wakes every waiter.
    HRESULT first = E_FAIL;
    std::thread waiter([&] {
        SecSlot* s = nullptr;
        first = events->wait(0, &s);
        if (s != nullptr)
            s->Release();
    });
    WaitForWaiters(events, 1);
    events->Post(slot);
    waiter.join();
    EXPECT_EQ(first, S_OK);

    HRESULT results[2] = {E_FAIL, E_FAIL};
    std::thread a([&] { results[0] = events->wait(0, nullptr); });
    std::thread b([&] { results[1] = events->wait(0, nullptr); });
    WaitForWaiters(events, 2);
    EXPECT_EQ(events->cancel(), S_OK);
    a.join();
    b.join();
    EXPECT_EQ(results[0], SLOT_EVENT_CANCELLED);
    EXPECT_EQ(results[1], SLOT_EVENT_CANCELLED);
    events->Post(slot);
    EXPECT_EQ(events->wait(SLOT_EVENT_DONT_BLOCK, &got), SLOT_EVENT_CANCELLED);
    EXPECT_EQ(got, nullptr);
    events->Release();
    slot->Release();
}

TEST_F(DoublesTest, TokenWritesNoMoreObjectsThanItHasRoomFor)
{
    auto* token = new FakeToken("toksw:mem://kestrin/p", "Profile", "0001");
    auto* key1 = new FakePrivateKeyObject(rsa, "k1", "first");
    auto* key2 = new FakePrivateKeyObject(ec, "k2", "second");
    auto* data = new FakeDataObject("blob", {1, 2, 3});
    token->AddObject(key1);
    token->AddObject(key2);
    token->AddObject(data);
    key1->Release();
    key2->Release();
    data->Release();

    const struct {
        TOKEN_OBJECT_TYPE type;
        const char* keyId;
        unsigned long room;
        unsigned long found;
        unsigned long written;
    } cases[] = {
        {TOKEN_OBJECT_PRIVATE_KEY, nullptr, 0, 2, 0}, {TOKEN_OBJECT_PRIVATE_KEY, nullptr, 1, 2, 1},
        {TOKEN_OBJECT_PRIVATE_KEY, "k2", 4, 1, 1},    {TOKEN_OBJECT_NONE, nullptr, 4, 3, 3},
        {TOKEN_OBJECT_CERTIFICATE, nullptr, 4, 0, 0},
    };
    for (const auto& c : cases) {
        TokenObject* objects[5] = {};
        TokenObject* sentinel = reinterpret_cast<TokenObject*>(objects);
        objects[c.room] = sentinel;
        unsigned long count = c.room;
        EXPECT_EQ(token->getObjects(objects, &count, c.type, c.keyId, nullptr), S_OK);
        EXPECT_EQ(count, c.found);
        EXPECT_EQ(objects[c.room], sentinel) << "written beyond the room given";
        for (unsigned long i = 0; i < c.room; ++i) {
            EXPECT_EQ(objects[i] != nullptr, i < c.written);
            if (objects[i] != nullptr) {
                if (c.type != TOKEN_OBJECT_NONE) {
                    EXPECT_EQ(objects[i]->getObjectType(), c.type);
                }
                objects[i]->Release();
            }
        }
    }
    // Without an array the count alone comes back.
    unsigned long count = 0;
    EXPECT_EQ(token->getObjects(nullptr, &count, TOKEN_OBJECT_DATA, nullptr, "blob"), S_OK);
    EXPECT_EQ(count, 1u);
    token->Release();
}

TEST_F(DoublesTest, PrivateKeysSignAndDecryptAsOpenSslVerifies)
{
    unsigned char digest[32];
    for (unsigned char i = 0; i < sizeof digest; ++i)
        digest[i] = i;
    AlgId* rsaSha256 = algorithm(NID_sha256WithRSAEncryption, true);
    AlgId* ecdsaSha256 = algorithm(NID_ecdsa_with_SHA256, false);
    for (auto [pkey, alg] : {std::pair {rsa, rsaSha256}, std::pair {ec, ecdsaSha256}}) {
        auto* key = new FakePrivateKeyObject(pkey, "k", "");
        unsigned char signature[512];
        unsigned long length = 8;
        EXPECT_EQ(key->sign(alg, 1, digest, sizeof digest, signature, &length, nullptr), E_PSE_BUFFERTOOSMALL);
        EXPECT_GT(length, 8u);
        length = sizeof signature;
        ASSERT_EQ(key->sign(alg, 1, digest, sizeof digest, signature, &length, nullptr), S_OK);

        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
        if (pkey == rsa)
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
        EXPECT_EQ(EVP_PKEY_verify(ctx, signature, length, digest, sizeof digest), 1);
        EVP_PKEY_CTX_free(ctx);

        // The public half travels as the library's KeyInfo.
        KeyInfo* info = nullptr;
        EXPECT_EQ(key->getPublicKeyInfo(&info), S_OK);
        EXPECT_NE(info, nullptr);
        Type(SEC_TYPE_KeyInfo)->free(info);
        key->Release();
    }

    // What OpenSSL encrypts to the RSA key, the key decrypts.
    auto* key = new FakePrivateKeyObject(rsa, "k", "");
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(rsa, nullptr);
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    const unsigned char secret[] = "session key";
    unsigned char cipher[256];
    size_t cipherLength = sizeof cipher;
    ASSERT_EQ(EVP_PKEY_encrypt(ctx, cipher, &cipherLength, secret, sizeof secret), 1);
    EVP_PKEY_CTX_free(ctx);
    unsigned char plain[256];
    unsigned long plainLength = sizeof plain;
    ASSERT_EQ(key->decrypt(nullptr, cipher, cipherLength, plain, &plainLength, nullptr), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), plainLength),
              std::string(reinterpret_cast<const char*>(secret), sizeof secret));
    key->SetResult("decrypt", E_TOKEN_PINWRONG);
    EXPECT_EQ(key->decrypt(nullptr, cipher, cipherLength, plain, &plainLength, nullptr), E_TOKEN_PINWRONG);
    EXPECT_EQ(key->CallCount("decrypt"), 2u);
    key->Release();
    Type(SEC_TYPE_AlgId)->free(rsaSha256);
    Type(SEC_TYPE_AlgId)->free(ecdsaSha256);
}

TEST_F(DoublesTest, PseAnswersFromWhatItWasGiven)
{
    auto* pse = new FakePSE();
    auto* token = new FakeToken("tokkeychain:cert=01", "Keychain", "");
    auto* key = new FakePrivateKeyObject(ec, "k1", "");
    auto* pin = new FakePIN("PIN", 1, "1234");
    key->SetPIN(pin);
    token->AddObject(key);
    token->AddPIN(pin);
    pse->AddToken(token);
    for (const char* name : {"slot A", "slot B"}) {
        auto* slot = new FakeSlot(name);
        slot->SetToken(token);
        pse->AddSlot(slot);
        slot->Release();
    }
    for (const char* keyId : {"k1", "k2"}) {
        void* info = nullptr;
        ASSERT_EQ(Type(SEC_TYPE_PersonalCertificateInfo)->new_node(&info), S_OK);
        Type(SEC_TYPE_String)
            ->copy(keyId, reinterpret_cast<void**>(&static_cast<PersonalCertificateInfo*>(info)->keyId));
        pse->AddOwnCertificate(static_cast<PersonalCertificateInfo*>(info));
        Type(SEC_TYPE_PersonalCertificateInfo)->free(info);
    }

    // Own certificates go in at the cursor, in front of what it held.
    SET_OF_PersonalCertificateInfo* list = nullptr;
    ASSERT_EQ(Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->new_node(reinterpret_cast<void**>(&list)), S_OK);
    ASSERT_EQ(pse->getOwnCertificate(nullptr, nullptr, &list), S_OK);
    ASSERT_NE(list->next, nullptr);
    EXPECT_STREQ(list->element->keyId, "k1");
    EXPECT_STREQ(list->next->element->keyId, "k2");
    EXPECT_EQ(list->next->next->element, nullptr);  // the node that was there
    Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);

    // Slots: the true count, never more than the room.
    SecSlot* slots[2] = {};
    unsigned long count = 1;
    EXPECT_EQ(pse->getSlots(slots, &count), S_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_NE(slots[0], nullptr);
    EXPECT_EQ(slots[1], nullptr);
    slots[0]->Release();

    TokenObjectPrivateKey* found = nullptr;
    EXPECT_EQ(pse->getPrivateKey("tokkeychain:cert=01", "k1", &found), S_OK);
    ASSERT_EQ(found, key);
    TokenPIN* keyPin = nullptr;
    EXPECT_EQ(found->getObjectPIN(&keyPin), S_OK);
    EXPECT_EQ(keyPin->login("0000", nullptr), E_TOKEN_PINWRONG);
    EXPECT_EQ(keyPin->login("1234", nullptr), S_OK);
    EXPECT_EQ(keyPin->isVerified(), S_OK);
    keyPin->Release();
    found->Release();
    EXPECT_EQ(pse->getPrivateKey("tokkeychain:cert=01", "other", &found), E_PSE_NOTFOUND);
    EXPECT_EQ(found, nullptr);

    // Scripted answers and the security context that holds the PSE.
    pse->onControl = [](SECAttribute* in, SECAttribute*) { return in != nullptr && in->id == 900 ? S_OK : E_FAIL; };
    SECAttribute action {900, const_cast<char*>("ConnectionStart"), 0, 0, 0, nullptr, nullptr};
    EXPECT_EQ(pse->control(&action, nullptr), S_OK);
    pse->SetResult("getPseFileName", E_PSE_NOTSUPPORTED);
    const char* name = nullptr;
    EXPECT_EQ(pse->getPseFileName(&name), E_PSE_NOTSUPPORTED);
    auto* asc = new FakeASC(pse, nullptr);
    PSE* got = nullptr;
    EXPECT_EQ(asc->getPSE(&got), S_OK);
    EXPECT_EQ(got, pse);
    got->Release();
    EXPECT_EQ(asc->getOwnPSE(&got), E_PSE_NOPSE);
    EXPECT_EQ(got, nullptr);

    asc->Release();
    pse->Release();
    token->Release();
    key->Release();
    pin->Release();
}

TEST(DoublesFixture, AReferenceLeftBehindFailsTheTest)
{
    auto* pin = new FakePIN("PIN", 1, "1234");
    pin->AddRef();
    pin->Release();
    EXPECT_NONFATAL_FAILURE(ExpectNoFakeLeft(), "FakePIN (1 references)");
    pin->Release();
    EXPECT_TRUE(LiveFakes().empty());
}

}  // namespace
}  // namespace kestrin::qevtest::test
