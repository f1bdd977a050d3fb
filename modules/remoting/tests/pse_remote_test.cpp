// The PSE over the wire: the root proxy against the session component
// through the in-process tunnel, with the recording PSE behind it.
#include <gtest/gtest.h>

#include <thread>

#include "pse_methods.h"
#include "qev_attributes.h"
#include "remoting_test_util.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace ZELK::PSESVC::test {
namespace {

class PSERemoteTest : public RemotingTest {};

// The tunnel class that a component given ("remotingtest", "test.tunnel")
// creates: an in-process tunnel into `s_target`; each one made is kept.
ITunnel* s_target = nullptr;
std::vector<CComObject<InProcessTunnel>*> s_made;

HRESULT NewTestTunnel(const GUID& iid, void** out)
{
    CComObject<InProcessTunnel>* tunnel = nullptr;
    CComObject<InProcessTunnel>::CreateInstance(&tunnel);
    tunnel->AddRef();
    tunnel->target = s_target;
    s_made.push_back(tunnel);
    return tunnel->QueryInterface(iid, out);
}

CZELK_CLASS s_testTunnel("remotingtest", "test.tunnel", &NewTestTunnel);

TEST_F(PSERemoteTest, RequestsByteForByte)
{
    Session s;
    SecSlot* slots[4] = {};
    unsigned long count = 4;
    s.root->getSlots(slots, &count);
    EXPECT_EQ("00 00 00 14 01 01 00 00 00 04", Hex(s.tunnel->LastRequest()));
    s.root->writeApplObject("x", nullptr);
    EXPECT_EQ("00 00 00 0C 01 78 00 00 00 00 00", Hex(s.tunnel->LastRequest()));
    SecToken* token = nullptr;
    s.root->getTokenByName(&token, "t", 1);
    EXPECT_EQ("00 00 00 15 01 74 00 01", Hex(s.tunnel->LastRequest()));
    s.root->deleteTrustedCertListItem(nullptr, 5);
    EXPECT_EQ("00 00 00 1B 00 00 00 00 00 00 00 05", Hex(s.tunnel->LastRequest()));
}

TEST_F(PSERemoteTest, RepliesByteForByte)
{
    Session s;
    SecSlotEvents* events = reinterpret_cast<SecSlotEvents*>(1);
    EXPECT_EQ(S_OK, s.root->getSlotEvents(&events));
    EXPECT_EQ(nullptr, events);
    EXPECT_EQ("00 00 00 00 00 00 00 00", Hex(s.tunnel->LastReply()));

    s.pse->signature = Bytes({0xAA, 0xBB, 0xCC});
    unsigned char digest[32] = {1, 2, 3};
    unsigned char signature[16] = {};
    unsigned long length = sizeof(signature);
    EXPECT_EQ(S_OK, s.root->encryptDigest(nullptr, nullptr, digest, 32, signature, &length));
    EXPECT_EQ("00 00 00 00 00 00 00 03 AA BB CC", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(3u, length);
    EXPECT_EQ("AA BB CC", Hex(signature, 3));
    EXPECT_EQ("encryptDigest(NULL, NULL, " + Hex(digest, 32) + ", 512)", s.pse->LastCall());

    s.pse->rc[PSE_encryptDigest] = E_PSE_NOTFOUND;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->encryptDigest(nullptr, nullptr, digest, 32, signature, &length));
    EXPECT_EQ("A1 E0 02 02", Hex(s.tunnel->LastReply()));
}

// Each remoted method reaches the PSE with its arguments, and its code comes back.
TEST_F(PSERemoteTest, EveryMethodReachesThePSE)
{
    Session s;
    struct Case {
        Method method;
        std::function<HRESULT(PSE*)> call;
        const char* expected;
    };
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    SET_OF_Certificate* certificates = nullptr;
    SET_OF_String* names = nullptr;
    SET_OF_SecSlotInfo* slotInfos = nullptr;
    SET_OF_PIN_Info* pins = nullptr;
    OctetString* value = nullptr;
    TokenObjectPrivateKey* key = nullptr;
    TokenObjectCertificate* certificate = nullptr;
    SecSlot* slot = nullptr;
    unsigned char out[8];
    unsigned long outLength = sizeof(out);
    const Case cases[] = {
        {7, [&](PSE* p) { return p->getOwnCertificate(nullptr, nullptr, &infos); }, "getOwnCertificate(NULL, NULL)"},
        {9, [&](PSE* p) { return p->decryptKey(nullptr, nullptr, nullptr, 0, out, &outLength); },
         "decryptKey(NULL, NULL, , 512)"},
        {10, [&](PSE* p) { return p->searchCertificate(nullptr, &certificates); }, "searchCertificate(NULL)"},
        {11, [&](PSE* p) { return p->readApplObject("n", &value); }, "readApplObject(\"n\")"},
        {12,
         [&](PSE* p) {
             OctetString v {2, const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>("\x01\x02"))};
             return p->writeApplObject("!applflag", &v);
         },
         "writeApplObject(\"!applflag\", 01 02)"},
        {13, [&](PSE* p) { return p->listApplObjects(&names); }, "listApplObjects()"},
        {14, [&](PSE* p) { return p->getPrivateKey("tok", nullptr, &key); }, "getPrivateKey(\"tok\", NULL)"},
        {15, [&](PSE* p) { return p->getCertificate("a", "b", "c", &certificate); },
         "getCertificate(\"a\", \"b\", \"c\")"},
        {16, [&](PSE* p) { return p->searchSlotInfos(&slotInfos); }, "searchSlotInfos()"},
        {17, [&](PSE* p) { return p->writeSlotInfos(nullptr); }, "writeSlotInfos(NULL)"},
        {18, [&](PSE* p) { return p->readSlotInfos(&slotInfos); }, "readSlotInfos()"},
        {19, [&](PSE* p) { return p->getSlotByName(&slot, "r", 7); }, "getSlotByName(\"r\", 1)"},
        {20, [&](PSE* p) { return p->getSlots(nullptr, nullptr); }, "getSlots(NULL, NULL)"},
        {23, [&](PSE* p) { return p->isInTrustedCerts(nullptr); }, "isInTrustedCerts(NULL)"},
        {24, [&](PSE* p) { return p->getAllTrustedCerts(&certificates); }, "getAllTrustedCerts()"},
        {25, [&](PSE* p) { return p->getTrustedCertList(&certificates); }, "getTrustedCertList()"},
        {26, [&](PSE* p) { return p->addTrustedCertListItem(nullptr); }, "addTrustedCertListItem(NULL)"},
        {28, [&](PSE* p) { return p->getCertInfoList(&infos); }, "getCertInfoList()"},
        {29, [&](PSE* p) { return p->addCertInfoListItem(nullptr); }, "addCertInfoListItem(NULL)"},
        {30, [&](PSE* p) { return p->deleteCertInfoListItem("a", nullptr, "", 0x1234567); },
         "deleteCertInfoListItem(\"a\", NULL, \"\", 19088743)"},
        {31, [&](PSE* p) { return p->getPasswordList(&pins); }, "getPasswordList()"},
        {32, [&](PSE* p) { return p->addPasswordListItem("1", "2", "3", "4", "secret"); },
         "addPasswordListItem(\"1\", \"2\", \"3\", \"4\", \"secret\")"},
        {33, [&](PSE* p) { return p->deletePasswordListItem("1", nullptr, "3", "4", "5", 9); },
         "deletePasswordListItem(\"1\", NULL, \"3\", \"4\", \"5\", 9)"},
        {34, [&](PSE* p) { return p->releaseTokenCache("tok"); }, "releaseTokenCache(\"tok\")"},
        {36, [&](PSE* p) { return p->control(nullptr, nullptr); }, "control(NULL, NULL)"},
    };
    for (const Case& c : cases) {
        for (HRESULT answer : {HRESULT {3}, E_PSE_NOTFOUND}) {
            s.pse->rc[c.method] = answer;
            // getPrivateKey's success always carries a key's number.
            HRESULT expected = c.method == PSE_getPrivateKey && answer >= 0 ? E_FAIL : answer;
            EXPECT_EQ(expected, c.call(s.root)) << c.expected;
            EXPECT_EQ(c.expected, s.pse->LastCall());
            EXPECT_EQ(c.method, static_cast<uint8_t>(s.tunnel->LastRequest()[3]));
        }
    }
    EXPECT_EQ(nullptr, infos);
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(nullptr, certificate);
    EXPECT_EQ(nullptr, slot);
}

// Outputs travel only with a code that is not negative, except where the
// method says otherwise.
TEST_F(PSERemoteTest, ReplyRules)
{
    Session s;
    auto* slot = new kestrin::qevtest::FakeSlot("r");
    s.pse->slots = {slot};
    s.pse->rc[PSE_getSlotByName] = E_PSE_NOTFOUND;
    SecSlot* found = nullptr;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->getSlotByName(&found, "r", 0));
    EXPECT_EQ("A1 E0 02 02 00 00 04 40", Hex(s.tunnel->LastReply()));
    ASSERT_NE(nullptr, found);
    found->Release();

    EVP_PKEY* pair = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    auto* key = new kestrin::qevtest::FakePrivateKeyObject(pair, "k", "label");
    EVP_PKEY_free(pair);
    s.pse->privateKey = key;
    s.pse->rc[PSE_getPrivateKey] = E_PSE_NOTFOUND;
    TokenObjectPrivateKey* proxy = nullptr;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->getPrivateKey("t", "k", &proxy));
    EXPECT_EQ("A1 E0 02 02", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(1, key->References());
    s.pse->rc[PSE_getPrivateKey] = 0;
    s.pse->privateKey = nullptr;
    EXPECT_EQ(E_FAIL, s.root->getPrivateKey("t", "k", &proxy));
    EXPECT_EQ("00 00 00 00", Hex(s.tunnel->LastReply()));
    s.pse->privateKey = key;
    EXPECT_EQ(S_OK, s.root->getPrivateKey("t", "k", &proxy));
    ASSERT_NE(nullptr, proxy);
    EXPECT_EQ(TOKEN_OBJECT_PRIVATE_KEY, proxy->getObjectType());
    proxy->Release();

    s.pse->applValue = "abc";
    OctetString* value = nullptr;
    EXPECT_EQ(S_OK, s.root->readApplObject("v", &value));
    ASSERT_NE(nullptr, value);
    EXPECT_EQ("abc", std::string(reinterpret_cast<char*>(value->data), value->length));
    WireFree(&value);
    s.pse->rc[PSE_readApplObject] = E_PSE_NOTFOUND;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->readApplObject("v", &value));
    EXPECT_EQ(4u, s.tunnel->LastReply().size());
    EXPECT_EQ(nullptr, value);

    auto* token = new kestrin::qevtest::FakeToken("t", "label", "1");
    s.pse->token = token;
    SecToken* tokenProxy = reinterpret_cast<SecToken*>(1);
    s.pse->rc[PSE_getTokenByName] = E_PSE_NOTFOUND;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->getTokenByName(&tokenProxy, "t", 0));
    EXPECT_EQ(nullptr, tokenProxy);
    s.pse->rc[PSE_getTokenByName] = 0;
    EXPECT_EQ(S_OK, s.root->getTokenByName(&tokenProxy, "t", 0));
    ASSERT_NE(nullptr, tokenProxy);
    tokenProxy->Release();

    s.pse->fileName = "/home/u/pse.zip";
    s.pse->rc[PSE_getPseFileName] = E_PSE_NOPSE;
    const char* name = nullptr;
    EXPECT_EQ(E_FAIL, s.root->getPseFileName(&name));
    EXPECT_EQ(nullptr, name);
    s.pse->rc[PSE_getPseFileName] = 0;
    int before = s.tunnel->calls;
    EXPECT_EQ(S_OK, s.root->getPseFileName(&name));
    EXPECT_STREQ("/home/u/pse.zip", name);
    EXPECT_EQ(S_OK, s.root->getPseFileName(&name));
    EXPECT_STREQ("/home/u/pse.zip", name);
    EXPECT_EQ(before + 1, s.tunnel->calls);

    s.root->Release();
    s.root = nullptr;
    slot->Release();
    key->Release();
    token->Release();
}

TEST_F(PSERemoteTest, ClientRules)
{
    Session s;
    int calls = s.tunnel->calls;
    EXPECT_EQ(S_OK, s.root->writeApplObject("!applflag.x", nullptr));
    SecToken* token = nullptr;
    EXPECT_EQ(-1, s.root->getTokenByName(nullptr, "t", 0));
    EXPECT_EQ(-1, s.root->getSlotEvents(nullptr));
    EXPECT_EQ(-1, s.root->getSlotByName(nullptr, "t", 0));
    EXPECT_EQ(E_NOTIMPL, s.root->cred_list(nullptr));
    EXPECT_EQ(E_NOTIMPL, s.root->cred_initCredUpdate());
    EXPECT_EQ(E_NOTIMPL, s.root->cred_change("a", nullptr, 0, nullptr, 0));
    EXPECT_EQ(S_OK, s.root->loginWithPassword("a", nullptr, 0));
    EXPECT_EQ(S_OK, s.root->loginBySystemParameters("a"));
    // A count beyond what either end may allocate is refused before sending.
    unsigned long count = kMaxWireCount + 1;
    EXPECT_EQ(E_INVALIDARG, s.root->getSlots(nullptr, &count));
    EXPECT_EQ(calls, s.tunnel->calls);
    EXPECT_EQ(0, s.pse->localCalls);
    EXPECT_EQ(nullptr, token);
    void* out = &calls;
    EXPECT_EQ(E_NOINTERFACE, s.root->QueryInterface(IID_PSE, &out));
    EXPECT_EQ(nullptr, out);

    // A signature larger than the caller's buffer leaves it untouched.
    s.pse->signature = std::string(256, 'S');
    unsigned char signature[256] = {};
    unsigned long length = 100;
    EXPECT_EQ(E_PSE_BUFFERTOOSMALL, s.root->encryptDigest(nullptr, nullptr, signature, 32, signature, &length));
    EXPECT_EQ(100u, length);
    EXPECT_EQ(0, signature[0]);
    length = 256;
    EXPECT_EQ(S_OK, s.root->encryptDigest(nullptr, nullptr, signature, 32, signature, &length));
    EXPECT_EQ(256u, length);
    EXPECT_EQ('S', signature[255]);

    // A service that reports more than its 512-byte buffer sends no bytes.
    s.pse->reportedLength = 600;
    length = 256;
    EXPECT_EQ(E_PSE_BUFFERTOOSMALL, s.root->encryptDigest(nullptr, nullptr, signature, 32, signature, &length));
    EXPECT_EQ("A1 E0 00 14", Hex(s.tunnel->LastReply()));
    s.pse->rc[PSE_encryptDigest] = E_PSE_NOTFOUND;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->encryptDigest(nullptr, nullptr, signature, 32, signature, &length));
}

// A reply shorter than what the method reads, or naming an object of
// another kind, is E_FAIL, and the caller's outputs stay as they were.
TEST_F(PSERemoteTest, ShortOrWrongRepliesFail)
{
    Session s;
    struct Case {
        std::string reply;
        std::function<HRESULT(PSE*)> call;
    };
    SecSlot* slot = nullptr;
    SecSlot* slots[2] = {};
    unsigned long count = 2;
    SecSlotEvents* events = nullptr;
    const char* name = nullptr;
    unsigned char buffer[4] = {9, 9, 9, 9};
    unsigned long length = sizeof(buffer);
    const Case cases[] = {
        {Bytes({0, 0}), [](PSE* p) { return p->releaseTokenCache("t"); }},
        {Word(0) + Bytes({0, 0}), [&](PSE* p) { return p->getSlotByName(&slot, "r", 0); }},
        {Word(0) + Word(0x880), [&](PSE* p) { return p->getSlotByName(&slot, "r", 0); }},
        {Word(0) + Word(0x447), [&](PSE* p) { return p->getSlotByName(&slot, "r", 0); }},
        {Word(0) + Word(2) + Word(0x440), [&](PSE* p) { return p->getSlots(slots, &count); }},
        {Word(0), [&](PSE* p) { return p->getSlotEvents(&events); }},
        {Word(0) + Word(5) + "abc",
         [&](PSE* p) { return p->encryptDigest(nullptr, nullptr, buffer, 4, buffer, &length); }},
        {Word(0) + Bytes({1, 'a'}), [&](PSE* p) { return p->getPseFileName(&name); }},
        {Word(0) + Word(3) + Bytes({0x30, 0x01}), [&](PSE* p) { return p->control(nullptr, nullptr); }},
    };
    for (const Case& c : cases) {
        s.tunnel->answer = [&](const std::string&) { return c.reply; };
        EXPECT_EQ(E_FAIL, c.call(s.root)) << Hex(c.reply);
    }
    EXPECT_EQ(nullptr, slot);
    EXPECT_EQ(nullptr, slots[0]);
    EXPECT_EQ(nullptr, slots[1]);
    EXPECT_EQ(2u, count);
    EXPECT_EQ(4u, length);
    EXPECT_EQ(9, buffer[0]);
    s.tunnel->answer = nullptr;
}

// Threads that ask for the file name together fill the cache once, and all
// get the one text.
TEST_F(PSERemoteTest, FileNameIsFetchedOnce)
{
    Session s;
    s.pse->fileName = "/pse.zip";
    std::vector<std::thread> threads;
    std::vector<const char*> names(8);
    for (size_t t = 0; t < names.size(); ++t)
        threads.emplace_back([&, t] { s.root->getPseFileName(&names[t]); });
    for (auto& t : threads)
        t.join();
    for (const char* name : names)
        EXPECT_EQ(names[0], name);
    EXPECT_STREQ("/pse.zip", names[0]);
    EXPECT_EQ(1, s.tunnel->calls);
}

// The ids follow exactly the slots that fit the array the client offered,
// however many the service reports.
TEST_F(PSERemoteTest, SlotsFillOnlyTheOfferedArray)
{
    Session s;
    std::vector<kestrin::qevtest::FakeSlot*> owned;
    for (int i = 0; i < 6; ++i) {
        owned.push_back(new kestrin::qevtest::FakeSlot("r"));
        s.pse->slots.push_back(owned.back());
    }
    struct Case {
        bool slots;
        bool count;
        unsigned long capacity;
        unsigned long reported;
        size_t ids;
        size_t serviceSlots;
    };
    const Case cases[] = {
        {true, true, 4, 6, 4, 6},  {true, true, 0, 6, 0, 6}, {true, false, 0, 0, 0, 6},
        {false, true, 3, 6, 0, 6}, {true, true, 8, 2, 2, 2},
    };
    for (const Case& c : cases) {
        s.pse->slots.assign(owned.begin(), owned.begin() + c.serviceSlots);
        SecSlot* slots[9] = {};
        unsigned long count = c.capacity;
        EXPECT_EQ(S_OK, s.root->getSlots(c.slots ? slots : nullptr, c.count ? &count : nullptr));
        std::string reply = s.tunnel->LastReply();
        EXPECT_EQ(4 + (c.count ? 4 : 0) + 4 * c.ids, reply.size()) << c.capacity;
        if (c.count) {
            EXPECT_EQ(c.reported, count);
        }
        for (size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(i < c.ids, slots[i] != nullptr) << i;
            if (slots[i] != nullptr)
                slots[i]->Release();
        }
    }
    // Two slots for capacity 4: exactly the bytes the service sends for them.
    s.pse->slots.assign(owned.begin(), owned.begin() + 2);
    SecSlot* slots[4] = {};
    unsigned long count = 4;
    s.root->getSlots(slots, &count);
    EXPECT_EQ(Hex(Word(0) + Word(2) + Word(slots[0] ? static_cast<SlotProxy*>(slots[0])->Number() : 0)
                  + Word(static_cast<SlotProxy*>(slots[1])->Number())),
              Hex(s.tunnel->LastReply()));
    slots[0]->Release();
    slots[1]->Release();
    s.root->Release();
    s.root = nullptr;
    for (auto* slot : owned)
        slot->Release();
}

// One proxy per object on the client and one stub per object in the
// service; the proxy's last Release ends both and frees the service object.
TEST_F(PSERemoteTest, Lifetimes)
{
    int before = Alive();
    Session s;
    auto* slot = new kestrin::qevtest::FakeSlot("r");
    s.pse->slots = {slot};
    SecSlot* first = nullptr;
    SecSlot* second = nullptr;
    ASSERT_EQ(S_OK, s.root->getSlotByName(&first, "r", 0));
    ASSERT_EQ(S_OK, s.root->getSlotByName(&second, "r", 0));
    EXPECT_EQ(first, second);
    EXPECT_EQ(2u, s.Cache()->Count());
    s.pse->slots.clear();
    slot->Release();
    second->Release();
    EXPECT_EQ(2u, s.Cache()->Count());
    first->Release();
    EXPECT_EQ("00 00 04 42", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ("00 00 00 01", Hex(s.tunnel->LastReply()));
    EXPECT_EQ(1u, s.Cache()->Count());
    EXPECT_EQ(1, Alive() - before);
    // The root's Release is left unanswered: the service ends that connection.
    s.root->Release();
    s.root = nullptr;
    EXPECT_EQ("00 00 00 02", Hex(s.tunnel->LastRequest()));
    EXPECT_EQ("", s.tunnel->LastReply());
}

// A broken tunnel breaks every proxy of the connection for good; a root
// without a component to reconnect through stays broken too.
TEST_F(PSERemoteTest, BrokenTunnel)
{
    Session s;
    auto* slot = new kestrin::qevtest::FakeSlot("r");
    s.pse->slots = {slot};
    SecSlot* proxy = nullptr;
    ASSERT_EQ(S_OK, s.root->getSlotByName(&proxy, "r", 0));
    s.tunnel->broken = true;
    EXPECT_EQ(E_BROKEN_PIPE, s.root->releaseTokenCache("t"));
    s.tunnel->broken = false;
    int calls = s.tunnel->calls;
    EXPECT_EQ(E_BROKEN_PIPE, s.root->releaseTokenCache("t"));
    EXPECT_EQ(calls, s.tunnel->calls);
    EXPECT_TRUE(static_cast<SlotProxy*>(proxy)->IsBroken());
    // The broken proxy's number no longer finds it: a new proxy is made.
    ProxyBase* root = static_cast<PSEProxy*>(s.root);
    EXPECT_EQ(nullptr, root->Registry()->Search(0x440));
    EXPECT_EQ(root, root->Registry()->Search(0));
    // Its Release still goes out.
    proxy->Release();
    EXPECT_EQ("00 00 04 42", Hex(s.tunnel->LastRequest()));
    slot->Release();
}

TEST_F(PSERemoteTest, ManyThreadsOnOneSession)
{
    Session s;
    auto* slot = new kestrin::qevtest::FakeSlot("r");
    s.pse->slots = {slot};
    s.pse->signature = "sig";
    std::vector<std::thread> threads;
    std::atomic<int> failures {0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                SecSlot* found = nullptr;
                unsigned char out[8];
                unsigned long length = sizeof(out);
                if (s.root->getSlotByName(&found, "r", 0) != 0 || found == nullptr)
                    ++failures;
                if (s.root->encryptDigest(nullptr, nullptr, out, 8, out, &length) != 0 || length != 3)
                    ++failures;
                if (found != nullptr)
                    found->Release();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, failures);
    EXPECT_EQ(1u, s.Cache()->Count());
    slot->Release();
}

// The request bytes that carried a password are overwritten before the
// reply goes back in the same buffer.
TEST_F(PSERemoteTest, PasswordRequestsAreWiped)
{
    Session s;
    for (Method method : {PSE_addPasswordListItem, PSE_deletePasswordListItem}) {
        Transaction t;
        t.Init(0, method);
        for (const char* item : {"a", "b", "c", "d", "secret"})
            t.WriteString(item);
        if (method == PSE_deletePasswordListItem)
            t.Write32(1);
        size_t length = t.Length();
        auto* buffer = static_cast<unsigned char*>(sec_malloc(length));
        std::memcpy(buffer, t.Data(), length);
        unsigned long replyLength = length;
        unsigned char* reply = buffer;
        s.component->Transact(buffer, length, &reply, &replyLength);
        ASSERT_EQ(4u, replyLength);
        EXPECT_EQ(std::string(length - 4, '\0'), std::string(reinterpret_cast<char*>(reply) + 4, length - 4));
        sec_free(reply);
    }
}

// The component reconnects its root through a new tunnel of its class, and
// its own calls (create-by-name) follow the root onto that tunnel.
TEST_F(PSERemoteTest, ReconnectReplacesTheComponentsTunnelToo)
{
    Session s;
    s_target = static_cast<ITunnelPSE*>(s.component);
    ZELK_PTR(ITunnelSourcePSE) component;
    ASSERT_EQ(S_OK, CFactoryImpl<PSEProxyImpl>::New(IID_ITunnelSourcePSE, reinterpret_cast<void**>(&component)));
    EXPECT_EQ(E_FAIL, component->SetTunnel("remotingtest", "no.such.tunnel"));
    ASSERT_EQ(S_OK, component->SetTunnel("remotingtest", "test.tunnel"));
    PSE* root = nullptr;
    ASSERT_EQ(S_OK, component->GetPSE(&root));
    ASSERT_EQ(1u, s_made.size());
    EXPECT_EQ(S_OK, root->releaseTokenCache("one"));

    s_made[0]->broken = true;
    EXPECT_EQ(S_OK, root->releaseTokenCache("two"));
    ASSERT_EQ(2u, s_made.size());
    EXPECT_EQ("releaseTokenCache(\"two\")", s.pse->LastCall());
    ZELK_PTR(ITunnelSourceFkt) functions = component.getObject();
    void* object = nullptr;
    int oldCalls = s_made[0]->calls;
    EXPECT_EQ(-1, functions->CreateObject("zelk.gss", IID_IGssAuth, &object));
    EXPECT_EQ(oldCalls, s_made[0]->calls);
    EXPECT_EQ("FF FF FF FF", Hex(s_made[1]->LastReply()));

    // Threads that meet the broken root together reconnect one at a time,
    // each call succeeding once.
    s_made[1]->broken = true;
    std::vector<std::thread> threads;
    std::atomic<int> failures {0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] { failures += root->releaseTokenCache("t") != S_OK; });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, failures);

    // Cut from its component, the root no longer reconnects.
    component->Disconnect(nullptr);
    s_made.back()->broken = true;
    EXPECT_EQ(E_BROKEN_PIPE, root->releaseTokenCache("t"));
    EXPECT_EQ(E_BROKEN_PIPE, root->releaseTokenCache("t"));
    root->Release();
    component = nullptr;
    for (auto* tunnel : s_made)
        tunnel->Release();
    s_made.clear();
}

TEST_F(PSERemoteTest, ConnectTakesOnlyATunnel)
{
    Session s;
    ZELK_PTR(ITunnelSourcePSE) component;
    ASSERT_EQ(S_OK, CFactoryImpl<PSEProxyImpl>::New(IID_ITunnelSourcePSE, reinterpret_cast<void**>(&component)));
    EXPECT_EQ(E_INVALIDARG, component->Connect(component.getObject()));
    PSE* root = reinterpret_cast<PSE*>(1);
    EXPECT_EQ(S_OK, component->GetPSE(&root));
    EXPECT_EQ(nullptr, root);
    EXPECT_EQ(S_OK, component->Connect(static_cast<ITunnel*>(s.tunnel)));
    ASSERT_EQ(S_OK, component->GetPSE(&root));
    EXPECT_EQ(S_OK, root->releaseTokenCache("t"));
    ZELK_PTR(ITunnelInfo) info = component.getObject();
    char* type = nullptr;
    EXPECT_EQ(-1, info->GetType(&type));
    root->Release();
}

// The "pseproxy" table's PSE speaks to an empty object table of its own.
TEST_F(PSERemoteTest, ProviderTablePSEAnswersMinusOne)
{
    API_COMMON* table = nullptr;
    ASSERT_EQ(S_OK, CZELK_API::GetAPI("pseproxy", &table));
    const auto* pse = ZELK_ApiCast<SEC_PSE_TABLE>(table);
    const char* names[3] = {};
    EXPECT_EQ(S_OK, pse->get_info(&names[0], &names[1], &names[2]));
    EXPECT_STREQ("pseproxy", names[2]);
    PSE* proxy = nullptr;
    ASSERT_EQ(S_OK, pse->create_PSE(&proxy, nullptr, nullptr));
    EXPECT_EQ(-1, proxy->releaseTokenCache("t"));
    EXPECT_EQ(-1, proxy->releaseTokenCache("t"));
    EXPECT_EQ(S_OK, pse->initialize_PSE(nullptr, nullptr));
    EXPECT_EQ(S_OK, pse->getSlot(nullptr, nullptr));
    proxy->Release();
}

}  // namespace
}  // namespace ZELK::PSESVC::test

namespace ZELK::PSESVC::test {
namespace {

class PSEValuesTest : public RemotingTest {};

const char* Text(const SECAttribute* a)
{
    return static_cast<const char*>(a->value);
}

// The service's output list comes back into the caller's elements: an owned
// old value is freed, value, type and answer move, and an element whose id
// differs keeps its own.
TEST_F(PSEValuesTest, ControlMovesTheAnswersIntoTheCallersList)
{
    Session s;
    s.pse->onControl = [](SECAttribute* in, SECAttribute* out) {
        ASSERT_NE(nullptr, in);
        EXPECT_STREQ("/path", Text(in));
        ASSERT_NE(nullptr, out);
        SetText(out, "answer");
        out->next->id = 999;
        SetText(out->next, "elsewhere");
        SetText(out->next->next, "third");
    };
    SECAttribute* input = Chain({{SEC_ATTR_CONTROL_PATH, "/path"}});
    SECAttribute* output =
        Chain({{SEC_ATTR_CONTROL_ANSWER, "old"}, {SEC_ATTR_ACTION, nullptr}, {SEC_ATTR_CONTROL_CALLER, nullptr}});
    EXPECT_EQ(S_OK, s.root->control(input, output));
    EXPECT_STREQ("answer", Text(output));
    EXPECT_EQ(1, output->owned);
    EXPECT_EQ(1, output->answered);
    EXPECT_EQ(SEC_ATTR_ACTION, output->next->id);
    EXPECT_EQ(nullptr, output->next->value);
    EXPECT_STREQ("third", Text(output->next->next));

    // A shorter answer fills only the leading elements; an empty one moves
    // nothing, whatever the code.
    s.pse->onControl = [](SECAttribute*, SECAttribute* out) {
        if (out == nullptr)
            return;
        SECAttribute* rest = out->next;
        out->next = nullptr;
        WireFree(&rest);
        SetText(out, "short");
    };
    s.pse->rc[PSE_control] = E_PSE_NOTFOUND;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->control(nullptr, output));
    EXPECT_STREQ("short", Text(output));
    EXPECT_STREQ("third", Text(output->next->next));
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->control(nullptr, nullptr));
    EXPECT_EQ(8u, s.tunnel->LastReply().size());
    WireFree(&input);
    WireFree(&output);
}

TEST_F(PSEValuesTest, ListsTravelInOrder)
{
    Session s;
    s.pse->applNames = {"b", "a", "c"};
    SET_OF_String* names = nullptr;
    ASSERT_EQ(S_OK, s.root->listApplObjects(&names));
    std::string joined;
    for (SET_OF_String* n = names; n != nullptr; n = n->next)
        joined += std::string(n->element) + ",";
    EXPECT_EQ("b,a,c,", joined);
    WireFree(&names);
    s.pse->rc[PSE_listApplObjects] = E_PSE_NOTFOUND;
    EXPECT_EQ(E_PSE_NOTFOUND, s.root->listApplObjects(&names));
    EXPECT_EQ(nullptr, names);
    EXPECT_EQ(4u, s.tunnel->LastReply().size());
}

// A value that is a pointer inside one process never crosses: the client
// refuses to send it, and the service never hands one to its PSE, whatever
// a request claims.
TEST_F(PSEValuesTest, PointersNeverTravel)
{
    Session s;
    SECAttribute* filter = Chain({{SEC_ATTR_SERVICE_PSE, nullptr}});
    filter->value = s.pse;
    int calls = s.tunnel->calls;
    EXPECT_LT(s.root->getOwnCertificate(nullptr, filter, nullptr), 0);
    EXPECT_EQ(calls, s.tunnel->calls);
    filter->value = nullptr;
    WireFree(&filter);

    bool pointer = false;
    s.pse->onFilter = [&](SECAttribute* f) {
        for (; f != nullptr; f = f->next)
            pointer = pointer || (f->id == SEC_ATTR_SERVICE_PSE && f->value != nullptr);
    };
    const std::string records[] = {
        // id 0xFF000000, answered, a text's type, the text "abc"
        Bytes({0x30, 0x14, 0x02, 0x05, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x01, 0xFF, 0x02, 0x01, SEC_TYPE_String,
               0x04, 0x05, 0x0C, 0x03, 'a',  'b',  'c'}),
        // the same with the in-process type
        Bytes({0x30, 0x18, 0x02, 0x05, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x01, 0xFF, 0x02,
               0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x05, 0x0C, 0x03, 'a',  'b',  'c'}),
        // an octet string's type with eight bytes that could be an address
        Bytes({0x30, 0x19, 0x02, 0x05, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x01, 0xFF, 0x02, 0x01, SEC_TYPE_OctetString,
               0x04, 0x0A, 0x04, 0x08, 1,    2,    3,    4,    5,    6,    7,    8}),
    };
    for (const std::string& record : records) {
        std::string chain = Bytes({0x30, static_cast<unsigned>(record.size())}) + record;
        s.Send(Word(PSE_getOwnCertificate) + Word(chain.size()) + chain);
        EXPECT_FALSE(pointer) << Hex(record);
    }
}

}  // namespace
}  // namespace ZELK::PSESVC::test
