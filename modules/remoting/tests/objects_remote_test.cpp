// Slots, slot events, PINs, tokens and token objects over the wire: the
// proxies against the stubs through the in-process tunnel, with the shared
// crypto-object doubles behind the service's PSE.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <chrono>
#include <thread>

#include "qev_results.h"
#include "remoting_test_util.h"

namespace ZELK::PSESVC::test {
namespace {

using kestrin::qevtest::FakeDataObject;
using kestrin::qevtest::FakePIN;
using kestrin::qevtest::FakePrivateKeyObject;
using kestrin::qevtest::FakeSlot;
using kestrin::qevtest::FakeSlotEvents;
using kestrin::qevtest::FakeToken;

class ObjectsRemoteTest : public RemotingTest {};

EVP_PKEY* NewKey()
{
    return EVP_EC_gen("P-256");
}

// Slot 0x440, its token 0x880, the token's private key 0xE00 through the
// session's proxies; the doubles stay reachable for the test.
struct Chain {
    Chain()
    {
        slot = new FakeSlot("reader 0");
        slot->info.flags = 7;
        token = new FakeToken("card", "label", "0001");
        pin = new FakePIN("PIN", 1, "1234");
        token->AddPIN(pin);
        EVP_PKEY* pkey = NewKey();
        key = new FakePrivateKeyObject(pkey, "k1", "key");
        EVP_PKEY_free(pkey);
        token->AddObject(key);
        slot->SetToken(token);
        s.pse->slots.push_back(slot);
        s.root->getSlotByName(&remoteSlot, "reader 0", 0);
        if (remoteSlot != nullptr)
            remoteSlot->getToken(&remoteToken);
    }
    ~Chain()
    {
        if (remoteToken != nullptr)
            remoteToken->Release();
        if (remoteSlot != nullptr)
            remoteSlot->Release();
        s.pse->slots.clear();
        key->Release();
        pin->Release();
        token->Release();
        slot->Release();
    }
    TokenObjectPrivateKey* RemoteKey()
    {
        TokenObject* objects[1] = {};
        unsigned long count = 1;
        if (remoteToken->getObjects(objects, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr) != S_OK)
            return nullptr;
        return static_cast<TokenObjectPrivateKey*>(objects[0]);
    }

    Session s;
    FakeSlot* slot;
    FakeToken* token;
    FakePIN* pin;
    FakePrivateKeyObject* key;
    SecSlot* remoteSlot = nullptr;
    SecToken* remoteToken = nullptr;
};

TEST_F(ObjectsRemoteTest, SlotGoldenBytes)
{
    Chain c;
    ASSERT_NE(nullptr, c.remoteSlot);
    CK_SLOT_INFO info;
    std::memset(&info, 0xEE, sizeof(info));
    EXPECT_EQ(S_OK, c.remoteSlot->getP11SlotInfo(&info));
    EXPECT_EQ("00 00 04 48", Hex(c.s.tunnel->LastRequest()));
    const std::string reply = c.s.tunnel->LastReply();
    ASSERT_EQ(4u + 112u, reply.size());
    EXPECT_EQ("07 00 00 00 00 00 00 00", Hex(reply.substr(4 + 96, 8)));
    EXPECT_EQ(7u, info.flags);
    EXPECT_EQ(0, info.hardwareVersion.major);
    EXPECT_EQ(-1, c.remoteSlot->getP11SlotInfo(nullptr));

    // A failing slot: the caller's record holds what the service sent all the same.
    c.slot->SetResult("getP11SlotInfo", E_FAIL);
    std::memset(&info, 0xEE, sizeof(info));
    EXPECT_EQ(E_FAIL, c.remoteSlot->getP11SlotInfo(&info));
    EXPECT_EQ(7u, info.flags);
    EXPECT_EQ(0, info.firmwareVersion.minor);

    const int before = c.s.tunnel->calls;
    const char* name = nullptr;
    EXPECT_EQ(S_OK, c.remoteSlot->getSlotName(&name));
    EXPECT_STREQ("reader 0", name);
    EXPECT_EQ(S_OK, c.remoteSlot->getSlotName(&name));
    EXPECT_EQ(before + 1, c.s.tunnel->calls);
    EXPECT_EQ(S_OK, c.remoteSlot->releaseToken());
    EXPECT_EQ(before + 1, c.s.tunnel->calls);

    c.remoteToken->Release();
    c.remoteToken = nullptr;
    c.remoteSlot->Release();
    c.remoteSlot = nullptr;
    EXPECT_EQ("00 00 04 42", Hex(c.s.tunnel->LastRequest()));
    EXPECT_EQ("00 00 00 01", Hex(c.s.tunnel->LastReply()));
}

TEST_F(ObjectsRemoteTest, SlotWithoutTokenGivesNull)
{
    Session s;
    FakeSlot* slot = new FakeSlot("empty");
    s.pse->slots.push_back(slot);
    SecSlot* remote = nullptr;
    ASSERT_EQ(S_OK, s.root->getSlotByName(&remote, "empty", 0));
    SecToken* token = reinterpret_cast<SecToken*>(1);
    EXPECT_EQ(1, remote->getToken(&token));
    EXPECT_EQ(nullptr, token);
    EXPECT_EQ("00 00 00 01", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(-1, remote->getToken(nullptr));
    remote->Release();
    s.pse->slots.clear();
    slot->Release();
}

TEST_F(ObjectsRemoteTest, SlotEventsWaitAndCancel)
{
    Session s;
    FakeSlotEvents* events = new FakeSlotEvents();
    s.pse->events = events;
    SecSlotEvents* remote = nullptr;
    ASSERT_EQ(S_OK, s.root->getSlotEvents(&remote));
    ASSERT_NE(nullptr, remote);

    SecSlot* slot = reinterpret_cast<SecSlot*>(1);
    EXPECT_EQ(SLOT_EVENT_NONE, remote->wait(1, &slot));
    EXPECT_EQ("00 00 06 87 00 00 00 01", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ("00 00 00 08", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(nullptr, slot);
    // Only the low 32 bits travel.
    EXPECT_EQ(SLOT_EVENT_NONE, remote->wait(0x100000001ul, nullptr));
    EXPECT_EQ("00 00 06 87 00 00 00 01", Hex(s.tunnel->LastRequest()));

    // A queued slot comes back as its proxy.
    FakeSlot* posted = new FakeSlot("posted");
    events->Post(posted);
    EXPECT_EQ(S_OK, remote->wait(0, &slot));
    ASSERT_NE(nullptr, slot);
    const char* name = nullptr;
    EXPECT_EQ(S_OK, slot->getSlotName(&name));
    EXPECT_STREQ("posted", name);
    slot->Release();
    posted->Release();

    // A blocked waiter is woken by a cancel from another thread.
    HRESULT waited = 0;
    std::thread waiter([&] { waited = remote->wait(0, &slot); });
    while (events->Waiters() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(S_OK, remote->cancel());
    waiter.join();
    EXPECT_EQ(SLOT_EVENT_CANCELLED, waited);
    EXPECT_EQ(SLOT_EVENT_CANCELLED, remote->wait(0, nullptr));
    EXPECT_EQ(SLOT_EVENT_CANCELLED, remote->wait(1, nullptr));

    remote->Release();
    s.pse->events = nullptr;
    events->Release();
}

TEST_F(ObjectsRemoteTest, PINGoldenBytesAndWipedSecrets)
{
    Session s;
    FakeToken* token = new FakeToken("card", "label", "0001");
    FakePIN* pin = new FakePIN("PIN", 1, "1234");
    token->AddPIN(pin);
    s.pse->token = token;
    SecToken* remoteToken = nullptr;
    ASSERT_EQ(S_OK, s.root->getTokenByName(&remoteToken, "card", 0));
    TokenPIN* remote = nullptr;
    ASSERT_EQ(S_OK, remoteToken->getCardPIN(&remote));
    ASSERT_NE(nullptr, remote);

    PIN_MODE mode = 99;
    EXPECT_EQ(S_OK, remote->getInfo(nullptr, &mode, nullptr, nullptr, nullptr));
    EXPECT_EQ("00 00 08 CA 00 01 00 00 00", Hex(s.tunnel->LastRequest()));

    EXPECT_EQ("00 00 00 00 00 00 00 02", Hex(s.tunnel->LastReply()));
    PIN_CHAR_SET charSet = 9;
    PIN_TYPE type = 9;
    const MIN_MAX* limits = nullptr;
    PUK_MODE puk = 9;
    EXPECT_EQ(S_OK, remote->getInfo(&charSet, &mode, &type, &limits, &puk));
    EXPECT_EQ("00 00 00 00 00 00 00 00 00 00 00 02 00 00 00 01 01 00 00 00 04 00 00 00 08 00 00 00 00",
              Hex(s.tunnel->LastReply()));
    ASSERT_NE(nullptr, limits);
    EXPECT_EQ(8u, limits->max);

    unsigned int pad = 5;
    remote->getPINPadInfo(&pad);
    EXPECT_EQ("00 00 08 CC 01", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ(8u, s.tunnel->LastReply().size());
    remote->getPINPadInfo(nullptr);
    EXPECT_EQ("00 00 08 CC 00", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ(4u, s.tunnel->LastReply().size());

    // A missing output costs no exchange.
    const int before = s.tunnel->calls;
    EXPECT_EQ(-1, remote->getPINcnt(nullptr));
    EXPECT_EQ(before, s.tunnel->calls);
    int tries = -5;
    EXPECT_EQ(S_OK, remote->getPINcnt(&tries));
    EXPECT_EQ(3, tries);

    // No unblocking PIN: the documented failure, output untouched.
    TokenPIN* unblock = reinterpret_cast<TokenPIN*>(1);
    EXPECT_EQ(E_FAIL, remote->getUnblockObject(&unblock));
    EXPECT_EQ(reinterpret_cast<TokenPIN*>(1), unblock);

    EXPECT_EQ(S_OK, remote->login("1234", nullptr));
    EXPECT_EQ("00 00 08 D0 01 31 32 33 34 00", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ(1u, pin->CallCount("login"));
    EXPECT_EQ(S_OK, remote->isVerified());

    remote->Release();
    remoteToken->Release();
    s.pse->token = nullptr;
    pin->Release();
    token->Release();
}

// A PIN whose getInfo sets none of its outputs.
class SilentPIN : public kestrin::qevtest::Fake<TokenPIN> {
public:
    SilentPIN() : Fake("SilentPIN") {}
    HRESULT getName(const char** n) override { return *n = nullptr, S_OK; }
    HRESULT getId(int*) override { return S_OK; }
    HRESULT isVerified() override { return S_OK; }
    HRESULT getInfo(PIN_CHAR_SET*, PIN_MODE*, PIN_TYPE*, const MIN_MAX**, PUK_MODE*) override { return S_OK; }
    HRESULT getPINcnt(int*) override { return S_OK; }
    HRESULT getPINPadInfo(unsigned int*) override { return S_OK; }
    HRESULT getUnblockObject(TokenPIN** out) override { return *out = nullptr, S_OK; }
    HRESULT beginUnblock() override { return S_OK; }
    HRESULT finishUnblock(const char*) override { return S_OK; }
    HRESULT login(const char*, const History* history) override { return history == nullptr ? S_OK : E_FAIL; }
    HRESULT logout() override { return S_OK; }
    HRESULT change(const char*, const char*) override { return S_OK; }
    HRESULT set(const char*) override { return S_OK; }

private:
    ~SilentPIN() override = default;
};

TEST_F(ObjectsRemoteTest, PINInfoDefaults)
{
    Session s;
    FakeToken* token = new FakeToken("card", "label", "0001");
    auto* pin = new SilentPIN();
    token->AddPIN(pin);
    s.pse->token = token;
    SecToken* remoteToken = nullptr;
    ASSERT_EQ(S_OK, s.root->getTokenByName(&remoteToken, "card", 0));
    TokenPIN* remote = nullptr;
    ASSERT_EQ(S_OK, remoteToken->getCardPIN(&remote));
    ASSERT_NE(nullptr, remote);
    PIN_CHAR_SET charSet = 9;
    PIN_MODE mode = 9;
    PIN_TYPE type = 9;
    const MIN_MAX* limits = reinterpret_cast<const MIN_MAX*>(1);
    PUK_MODE puk = 9;
    EXPECT_EQ(S_OK, remote->getInfo(&charSet, &mode, &type, &limits, &puk));
    EXPECT_EQ("00 00 00 00 00 00 00 00 00 00 00 02 00 00 00 01 00 FF FF FF FF", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(0u, charSet);
    EXPECT_EQ(2u, mode);
    EXPECT_EQ(1u, type);
    EXPECT_EQ(nullptr, limits);
    EXPECT_EQ(0xFFFFFFFFu, puk);
    EXPECT_EQ(S_OK, remote->login("1", nullptr));
    remote->Release();
    remoteToken->Release();
    s.pse->token = nullptr;
    pin->Release();
    token->Release();
}

TEST_F(ObjectsRemoteTest, TokenGoldenBytes)
{
    Chain c;
    ASSERT_NE(nullptr, c.remoteToken);
    TokenObject* objects[4] = {};
    unsigned long count = 4;
    EXPECT_EQ(S_OK, c.remoteToken->getObjects(objects, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr));
    EXPECT_EQ("00 00 08 8F 01 01 00 00 00 04 00 00 00 03 00 00", Hex(c.s.tunnel->LastRequest()));
    EXPECT_EQ(1u, count);
    ASSERT_NE(nullptr, objects[0]);
    EXPECT_EQ(nullptr, objects[1]);
    EXPECT_EQ(TOKEN_OBJECT_PRIVATE_KEY, objects[0]->getObjectType());
    objects[0]->Release();

    // A count alone: the number, no ids.
    count = 0;
    EXPECT_EQ(S_OK, c.remoteToken->getObjects(nullptr, &count, TOKEN_OBJECT_NONE, nullptr, nullptr));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(8u, c.s.tunnel->LastReply().size());

    ProfileInfo info {};
    char name[] = "p";
    info.profile = name;
    c.remoteToken->initToken(&info);
    EXPECT_EQ("00 00 08 94 01 70 00 00 00 00 00 00 00 00", Hex(c.s.tunnel->LastRequest()));

    unsigned char random[16] = {};
    EXPECT_EQ(S_OK, c.remoteToken->getRandom(random, sizeof(random)));
    EXPECT_EQ("00 00 08 9C 00 00 00 10", Hex(c.s.tunnel->LastRequest()));
    EXPECT_EQ(20u, c.s.tunnel->LastReply().size());

    // A length no service buffer may have is refused before sending.
    const int before = c.s.tunnel->calls;
    EXPECT_EQ(E_INVALIDARG, c.remoteToken->getRandom(random, 10 * 1024 * 1024));
    EXPECT_EQ(before, c.s.tunnel->calls);

    EXPECT_EQ(-1, c.remoteToken->getInitInfo("p", nullptr));
    const char* text = nullptr;
    EXPECT_EQ(S_OK, c.remoteToken->getTokenName(&text));
    EXPECT_STREQ("card", text);
}

// The service's counts lie: nothing goes past the caller's array.
TEST_F(ObjectsRemoteTest, LyingCountsStayInsideTheArray)
{
    Chain c;
    // One more object than the array holds.
    EVP_PKEY* pkey = NewKey();
    auto* second = new FakePrivateKeyObject(pkey, "k2", "key2");
    EVP_PKEY_free(pkey);
    c.token->AddObject(second);
    TokenObject* objects[2] = {nullptr, reinterpret_cast<TokenObject*>(1)};
    unsigned long count = 1;
    EXPECT_EQ(S_OK, c.remoteToken->getObjects(objects, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr));
    EXPECT_EQ(2u, count);
    ASSERT_NE(nullptr, objects[0]);
    EXPECT_EQ(reinterpret_cast<TokenObject*>(1), objects[1]);
    objects[0]->Release();

    // A reply claiming 1000 ids for a room of 2 stores two.
    c.s.tunnel->answer = [](const std::string&) {
        std::string reply = Bytes({0, 0, 0, 0, 0, 0, 3, 0xE8});
        for (int i = 0; i < 1000; ++i)
            reply += Bytes({0, 0, 0, 0});
        return reply;
    };
    TokenObject* two[3] = {nullptr, nullptr, reinterpret_cast<TokenObject*>(1)};
    count = 2;
    EXPECT_EQ(S_OK, c.remoteToken->getObjects(two, &count, TOKEN_OBJECT_NONE, nullptr, nullptr));
    EXPECT_EQ(1000u, count);
    EXPECT_EQ(reinterpret_cast<TokenObject*>(1), two[2]);
    c.s.tunnel->answer = nullptr;
    second->Release();
}

TEST_F(ObjectsRemoteTest, TokenObjectNumberingAndKinds)
{
    Chain c;
    TokenObjectPrivateKey* key = c.RemoteKey();
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(3, static_cast<int>(key->getObjectType()));
    key->getSigAlgs(nullptr);
    EXPECT_EQ("00 00 0E 0F", Hex(c.s.tunnel->LastRequest()));

    // The same key handed out again: one number, one more reference.
    const long refs = c.key->References();
    TokenObjectPrivateKey* again = c.RemoteKey();
    EXPECT_EQ(key, again);
    EXPECT_EQ(refs, c.key->References());
    again->Release();

    // The cipher methods are answered in the client.
    const int before = c.s.tunnel->calls;
    TokenObjectProxy* proxy = static_cast<TokenObjectProxy*>(key);
    EXPECT_EQ(E_NOTIMPL, proxy->cipher_all(nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(E_NOTIMPL, proxy->get_key_type(nullptr, nullptr));
    EXPECT_EQ(before, c.s.tunnel->calls);
    EXPECT_EQ(S_OK, key->getSigAlgs(nullptr));
    key->Release();
}

// An object of a type the table does not know gets the stub of no kind.
class OddObject : public kestrin::qevtest::Fake<TokenObject> {
public:
    OddObject() : Fake("OddObject") {}
    TOKEN_OBJECT_TYPE getObjectType() override { return static_cast<TOKEN_OBJECT_TYPE>(7); }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return S_OK; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return S_OK; }
    HRESULT remove() override { return 5; }

private:
    ~OddObject() override = default;
};

TEST_F(ObjectsRemoteTest, StubOfAnObjectsKind)
{
    Session s;
    auto* odd = new OddObject();
    const uint32_t number = TokenObjectStub::GetID(s.Cache(), odd);
    EXPECT_EQ(API_TOKENOBJECT, KindOfNumber(number));
    EXPECT_EQ(2, odd->References());
    EXPECT_EQ(number, TokenObjectStub::GetID(s.Cache(), odd));
    EXPECT_EQ(2, odd->References());
    const std::string header = Bytes({0, 0, (number >> 8) & 0xFF, number & 0xFF});
    EXPECT_EQ("00 00 00 05", Hex(s.Send(header.substr(0, 3) + static_cast<char>(number | 10))));
    EXPECT_EQ("", Hex(s.Send(header.substr(0, 3) + static_cast<char>(number | 12))));  // getKeyId
    s.Send(header.substr(0, 3) + static_cast<char>(number | 2));
    odd->Release();
}

TEST_F(ObjectsRemoteTest, IdZeroGivesANullEntry)
{
    Chain c;
    c.s.tunnel->answer = [](const std::string&) { return Bytes({0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0}); };
    TokenObject* objects[2] = {reinterpret_cast<TokenObject*>(1), reinterpret_cast<TokenObject*>(1)};
    unsigned long count = 2;
    EXPECT_EQ(S_OK, c.remoteToken->getObjects(objects, &count, TOKEN_OBJECT_NONE, nullptr, nullptr));
    EXPECT_EQ(nullptr, objects[0]);
    EXPECT_EQ(nullptr, objects[1]);
    c.s.tunnel->answer = nullptr;
}

TEST_F(ObjectsRemoteTest, MethodTable)
{
    struct Row {
        ApiType kind;
        std::vector<Method> handled;
    };
    const std::vector<Row> rows = {
        {API_TOKENOBJECT, {263, 264, 265, 266}},
        {API_TOKENOBJECT_DATA, {263, 264, 265, 266, 267}},
        {API_TOKENOBJECT_CERTIFICATE, {263, 264, 265, 266, 268, 269, 270, 271}},
        {API_TOKENOBJECT_PUBLICKEY, {263, 264, 265, 266, 268, 270, 271, 272}},
        {API_TOKENOBJECT_PRIVATEKEY, {263, 264, 265, 266, 268, 271, 273, 274, 275, 276, 277, 278}},
        {API_TOKENOBJECT_SECRETKEY, {263, 264, 265, 266}},
    };
    for (const Row& row : rows) {
        for (Method m = 256; m < 320; ++m) {
            const bool expected = std::find(row.handled.begin(), row.handled.end(), m) != row.handled.end();
            EXPECT_EQ(expected, StubHandles(row.kind, m)) << "kind " << int(row.kind) << " method " << m;
        }
    }
    EXPECT_EQ(275u, static_cast<unsigned>(TO_sign));
    EXPECT_EQ(271u, static_cast<unsigned>(TO_getSigAlgs));
    EXPECT_EQ(284u, static_cast<unsigned>(TO_get_key_type));
    EXPECT_EQ(275u, TokenObjectMethodOf(0xE00 | 19));
}

TEST_F(ObjectsRemoteTest, SignGoldenBytesAndBufferRules)
{
    Chain c;
    TokenObjectPrivateKey* key = c.RemoteKey();
    ASSERT_NE(nullptr, key);
    const unsigned char digest[] = {'A', 'B'};
    unsigned char signature[256] = {};
    unsigned long length = sizeof(signature);
    key->sign(nullptr, 1, digest, 2, signature, &length, nullptr);
    EXPECT_EQ("00 00 0E 13 00 00 00 00 01 00 00 00 02 41 42 01 01 00 00 01 00 00 00 00 00",
              Hex(c.s.tunnel->LastRequest()));

    // A signature of a 32-byte digest comes back and verifies with the key.
    unsigned char sha[32] = {1, 2, 3};
    length = sizeof(signature);
    ASSERT_EQ(S_OK, key->sign(nullptr, 0, sha, sizeof(sha), signature, &length, nullptr));
    ASSERT_GT(length, 8u);
    EXPECT_EQ(4u + 4u + length, c.s.tunnel->LastReply().size());

    // Only a length: no buffer in the service, the length it needs.
    unsigned long needed = 0;
    EXPECT_EQ(E_PSE_BUFFERTOOSMALL, key->sign(nullptr, 0, sha, sizeof(sha), nullptr, &needed, nullptr));
    EXPECT_GT(needed, 8u);
    EXPECT_EQ(8u, c.s.tunnel->LastReply().size());
    // Neither: the code alone.
    key->sign(nullptr, 0, sha, sizeof(sha), nullptr, nullptr, nullptr);
    EXPECT_EQ(4u, c.s.tunnel->LastReply().size());
    key->Release();
}

// A key that reports more than the buffer it was given: no byte beyond it
// travels or lands in the caller's buffer.
class OverReportingKey : public kestrin::qevtest::Fake<TokenObjectPrivateKey, TokenObject> {
public:
    OverReportingKey() : Fake("OverReportingKey") {}
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PRIVATE_KEY; }
    HRESULT getP11Attributes(CK_ATTRIBUTE* a, unsigned long n) override
    {
        for (unsigned long i = 0; i < n; ++i) {
            if (a[i].type == CKA_LABEL) {
                a[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            } else {
                if (a[i].pValue != nullptr)
                    std::memset(a[i].pValue, 'x', a[i].ulValueLen);
                a[i].ulValueLen += 100;
            }
        }
        return S_OK;
    }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return S_OK; }
    HRESULT remove() override { return S_OK; }
    HRESULT getKeyId(const char** k) override
    {
        *k = nullptr;
        return E_FAIL;
    }
    HRESULT getOps(unsigned int*) override { return S_OK; }
    HRESULT getObjectPIN(TokenPIN** out) override
    {
        *out = nullptr;
        return S_OK;
    }
    HRESULT sign(const AlgId*, unsigned char, const unsigned char*, unsigned long, unsigned char* out,
                 unsigned long* length, SECAttribute*) override
    {
        if (out != nullptr)
            std::memset(out, 's', *length);
        *length += 1000;
        return S_OK;
    }
    HRESULT decrypt(const AlgId*, const unsigned char*, unsigned long, unsigned char* out, unsigned long* length,
                    SECAttribute* attributes) override
    {
        sawAttributes = attributes != nullptr;
        if (out != nullptr)
            std::memset(out, 'd', *length);
        *length += 1000;
        return E_FAIL;
    }
    HRESULT getCertObjs(TokenObjectPublicKey** pub, TokenObjectCertificate**, unsigned long* count) override
    {
        *pub = nullptr;
        *count = 7;
        return S_OK;
    }
    HRESULT getPublicKeyInfo(KeyInfo** out) override
    {
        *out = nullptr;
        return S_OK;
    }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId** out) override
    {
        *out = nullptr;
        return S_OK;
    }
    bool sawAttributes = false;

private:
    ~OverReportingKey() override = default;
};

TEST_F(ObjectsRemoteTest, OverReportedLengthsStayInsideBuffers)
{
    Session s;
    auto* key = new OverReportingKey();
    s.pse->privateKey = key;
    TokenObjectPrivateKey* remote = nullptr;
    ASSERT_EQ(S_OK, s.root->getPrivateKey("t", "k", &remote));
    ASSERT_NE(nullptr, remote);

    unsigned char buffer[20];
    std::memset(buffer, 0, sizeof(buffer));
    unsigned long length = 16;
    EXPECT_EQ(E_PSE_BUFFERTOOSMALL, remote->sign(nullptr, 0, buffer, 4, buffer, &length, nullptr));
    EXPECT_EQ(1016u, length);
    EXPECT_EQ(0, buffer[16]);
    EXPECT_EQ(12u, s.tunnel->LastReply().size() + 4u);  // code and length, no bytes

    // A negative code of the key stays; decrypt never forwards attributes.
    length = 16;
    SECAttribute attribute {};
    EXPECT_EQ(E_FAIL, remote->decrypt(nullptr, buffer, 4, buffer, &length, &attribute));
    EXPECT_EQ(1016u, length);
    EXPECT_FALSE(key->sawAttributes);

    // Attributes: a buffered value reported too long goes without bytes; an
    // unavailable one keeps its boolean and reads as all ones.
    char value[16];
    std::memset(value, 0, sizeof(value));
    CK_ATTRIBUTE attributes[2] = {{CKA_LABEL, value, 16}, {CKA_VALUE, value, 16}};
    EXPECT_EQ(S_OK, remote->getP11Attributes(attributes, 1));
    EXPECT_EQ("00 00 06 08 00 00 00 01 01 00 00 00 03 00 00 00 10", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ("00 00 00 00 01 00 00 00 03 FF FF FF FF", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, attributes[0].ulValueLen);
    EXPECT_EQ(S_OK, remote->getP11Attributes(attributes + 1, 1));
    EXPECT_EQ("00 00 00 00 00 00 00 00 11 00 00 00 74", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(116u, attributes[1].ulValueLen);
    EXPECT_EQ(0, value[0]);

    // A reply that carries bytes for a buffer too small fails.
    s.tunnel->answer = [](const std::string&) {
        return Bytes({0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 4, 'a', 'b', 'c', 'd'});
    };
    CK_ATTRIBUTE small {CKA_LABEL, value, 2};
    EXPECT_EQ(E_FAIL, remote->getP11Attributes(&small, 1));
    EXPECT_EQ(0, value[0]);
    CK_ATTRIBUTE none {CKA_LABEL, nullptr, 0};
    EXPECT_EQ(E_FAIL, remote->getP11Attributes(&none, 1));
    s.tunnel->answer = nullptr;

    // getCertObjs with no array sends capacity 0 and stores the key's count.
    unsigned long count = 3;
    TokenObjectPublicKey* pub = reinterpret_cast<TokenObjectPublicKey*>(1);
    EXPECT_EQ(S_OK, remote->getCertObjs(&pub, nullptr, &count));
    EXPECT_EQ("00 00 06 15 00 00 00 00", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ(7u, count);
    EXPECT_EQ(nullptr, pub);

    // getPublicKeyInfo without a value: NULL and the code; getSigAlgs keeps its output.
    KeyInfo* info = reinterpret_cast<KeyInfo*>(1);
    EXPECT_EQ(S_OK, remote->getPublicKeyInfo(&info));
    EXPECT_EQ(nullptr, info);
    SEQUENCE_OF_AlgId* algs = reinterpret_cast<SEQUENCE_OF_AlgId*>(1);
    EXPECT_EQ(S_OK, remote->getSigAlgs(&algs));
    EXPECT_EQ(reinterpret_cast<SEQUENCE_OF_AlgId*>(1), algs);

    remote->Release();
    s.pse->privateKey = nullptr;
    key->Release();
}

// What the client reads of crafted replies.
TEST_F(ObjectsRemoteTest, ClientReadingRules)
{
    Chain c;
    TokenObjectPrivateKey* key = c.RemoteKey();
    ASSERT_NE(nullptr, key);
    auto reply = [&](std::string bytes) { c.s.tunnel->answer = [bytes](const std::string&) { return bytes; }; };

    // A token without a record for the algorithm: the code, no record.
    reply(Bytes({0, 0, 0, 0}));
    const AllowedValues* allowed = reinterpret_cast<const AllowedValues*>(1);
    EXPECT_EQ(S_OK, c.remoteToken->isAlgSupported(5, &allowed));
    EXPECT_EQ(nullptr, allowed);
    reply(Bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}));
    EXPECT_EQ(S_OK, c.remoteToken->isAlgSupported(5, &allowed));
    ASSERT_NE(nullptr, allowed);
    EXPECT_EQ(3u, allowed->values[2]);

    // A profile record cut short: nothing half-built for the caller.
    reply(Bytes({0, 0, 0, 0, 1, 'p', 0}));
    ProfileInfo* info = reinterpret_cast<ProfileInfo*>(1);
    EXPECT_EQ(E_FAIL, c.remoteToken->getInitInfo("p", &info));
    EXPECT_EQ(nullptr, info);
    reply(Bytes({0, 0, 0, 0, 1, 'p', 0, 0, 0, 0, 7, 0, 0, 0}));
    EXPECT_EQ(S_OK, c.remoteToken->getInitInfo("p", &info));
    ASSERT_NE(nullptr, info);
    EXPECT_STREQ("p", info->profile);
    EXPECT_EQ(7, info->sub->id);
    EXPECT_EQ(S_OK, c.remoteToken->delInitInfo(&info));
    EXPECT_EQ(nullptr, info);

    // Objects the caller did not ask for are released at once.
    reply(Bytes({0, 0, 0, 0, 0, 0, 0x26, 0x00, 0, 0, 0x29, 0xC0, 0, 0, 0, 0}));
    EXPECT_EQ(S_OK, c.remoteToken->genKeyPair(nullptr, 2048, nullptr, "a", 0, nullptr, "b", nullptr, nullptr));
    const size_t n = c.s.tunnel->requests.size();
    EXPECT_EQ("00 00 26 02", Hex(c.s.tunnel->Request(n - 2)));
    EXPECT_EQ("00 00 29 C2", Hex(c.s.tunnel->Request(n - 1)));

    // getCertPath wanting only the chain; a failing service with no values.
    reply(Bytes({0x80, 0, 0x40, 0x05, 0, 0, 0, 0}));
    SEQUENCE_OF_Certificate* path = reinterpret_cast<SEQUENCE_OF_Certificate*>(1);
    EXPECT_EQ(E_FAIL, static_cast<TokenObjectProxy*>(key)->getCertPath(nullptr, &path, nullptr));
    EXPECT_EQ("00 00 0E 0D 00 01 00", Hex(c.s.tunnel->LastRequest()));
    EXPECT_EQ(nullptr, path);

    // getKeyInfo with code 0 and no value fails; a short reply fails.
    reply(Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
    KeyInfo* keyInfo = nullptr;
    EXPECT_EQ(E_FAIL, static_cast<TokenObjectProxy*>(key)->getKeyInfo(&keyInfo));
    reply(Bytes({0, 0}));
    EXPECT_EQ(E_FAIL, key->remove());

    // A negative code leaves getCertObjs's outputs alone.
    reply(Bytes({0x80, 0, 0x40, 0x05}));
    TokenObjectPublicKey* pub = reinterpret_cast<TokenObjectPublicKey*>(1);
    unsigned long count = 5;
    EXPECT_EQ(E_FAIL, key->getCertObjs(&pub, nullptr, &count));
    EXPECT_EQ(reinterpret_cast<TokenObjectPublicKey*>(1), pub);
    EXPECT_EQ(5u, count);
    c.s.tunnel->answer = nullptr;
    key->Release();
}

// Requests a stub cannot serve end the connection: an empty reply.
TEST_F(ObjectsRemoteTest, UnservedRequestsGetNoReply)
{
    Chain c;
    TokenObjectPrivateKey* key = c.RemoteKey();
    ASSERT_NE(nullptr, key);
    HRESULT hr = 0;
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x08, 0x80 | 19}), &hr)));  // 147 to the token
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x0E, 11}), &hr)));         // getData to a key
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x0E, 23}), &hr)));         // cipher_init
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x0E, 8, 0xFF, 0xFF, 0xFF, 0xFF}), &hr)));
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x0E, 19, 0, 0, 0}), &hr)));
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x08, 0x9C, 0x7F, 0xFF, 0xFF, 0xFF}), &hr)));
    EXPECT_EQ("", Hex(c.s.Send(Bytes({0, 0, 0x04, 0x4C}), &hr)));  // beyond the slot's table
    key->Release();
}

}  // namespace
}  // namespace ZELK::PSESVC::test
