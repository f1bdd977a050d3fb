// The session's object table and the stubs: numbering, routing, the end of
// a stub with the client's Release, create-by-name, requests that cannot be
// served, and the end of a session.
#include <gtest/gtest.h>

#include <thread>

#include "gssauth.h"
#include "remoting_test_util.h"

namespace ZELK::PSESVC::test {
namespace {

class ObjCacheTest : public RemotingTest {};
class PSEStubImplTest : public RemotingTest {};

// A service's IGssAuth: answers "peer" to GetPeerCertificates.
class FakeGss : public IGssAuth, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeGss)
    ZELK_INTMAP_ENTRY(IGssAuth)
    ZELK_END_INTMAP()

    FakeGss() { ++g_objectsAlive; }
    ~FakeGss() override { --g_objectsAlive; }

    HRESULT Handshake(const unsigned char* in, unsigned long n, unsigned char** out, unsigned long* outLength) override
    {
        return Give(std::string(reinterpret_cast<const char*>(in), n) + "!", out, outLength);
    }
    HRESULT GetPeerCertificates(unsigned char** out, unsigned long* outLength) override
    {
        return Give("peer", out, outLength);
    }
    HRESULT ExportSecurityContext(unsigned char**, unsigned long*) override { return E_NOTIMPL; }

private:
    static HRESULT Give(const std::string& bytes, unsigned char** out, unsigned long* outLength)
    {
        *out = static_cast<unsigned char*>(sec_malloc(bytes.size()));
        std::memcpy(*out, bytes.data(), bytes.size());
        *outLength = bytes.size();
        return 0;
    }
};

class GssFactory : public IClassFactory, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(GssFactory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_END_INTMAP()

    HRESULT CreateInstance(IUnknown*, const GUID& iid, void** out) override
    {
        ++made;
        return CFactoryImpl<FakeGss>::New(iid, out);
    }
    HRESULT LockServer(bool) override { return 0; }

    std::atomic<int> made {0};
};

std::string CreateByName(const char* name, const GUID& iid)
{
    Transaction t;
    t.InitFunction(0);
    t.WriteString(name);
    t.WriteGUID(iid);
    return std::string(reinterpret_cast<const char*>(t.Data()), t.Length());
}

TEST_F(ObjCacheTest, NumbersObjectsInOrderOfRegistration)
{
    Session session;
    auto* slot = new kestrin::qevtest::FakeSlot("r");
    auto* token = new kestrin::qevtest::FakeToken("t", "label", "1");
    EXPECT_EQ(0x440u, SlotStub::GetID(session.Cache(), slot));
    EXPECT_EQ(0x880u, TokenStub::GetID(session.Cache(), token));
    EXPECT_EQ(0x440u, SlotStub::GetID(session.Cache(), slot));
    EXPECT_EQ(3u, session.Cache()->Count());
    EXPECT_EQ(0u, SlotStub::GetID(session.Cache(), nullptr));

    uint32_t number = 0;
    ITunnel** stubSlot = reinterpret_cast<ITunnel**>(1);
    EXPECT_EQ(S_OK, session.Cache()->RegisterObject(static_cast<SecSlot*>(slot), API_SLOT, &number, &stubSlot));
    EXPECT_EQ(0x440u, number);
    EXPECT_EQ(nullptr, stubSlot);
    EXPECT_EQ(E_INVALIDARG, session.Cache()->RegisterObject(static_cast<SecSlot*>(slot), API_SLOT, &number, nullptr));
    EXPECT_EQ(S_OK, session.Cache()->UnregisterObject(0x12340));
    EXPECT_EQ(ObjCache::BucketOfNumber(0x447), ObjCache::BucketOfNumber(0x449));
    slot->Release();
    token->Release();
}

TEST_F(ObjCacheTest, OneReleaseEndsTheStubAndItsNumber)
{
    int before = Alive();
    Session session;
    auto* slot = new kestrin::qevtest::FakeSlot("r");
    uint32_t number = SlotStub::GetID(session.Cache(), slot);
    SlotStub::GetID(session.Cache(), slot);
    slot->Release();
    EXPECT_EQ(2, Alive() - before);

    EXPECT_EQ("00 00 00 01", Hex(session.Send(Word(number | 2))));
    EXPECT_EQ(1, Alive() - before);
    EXPECT_EQ(1u, session.Cache()->Count());
    EXPECT_EQ("", session.Send(Word(number | 2)));
    EXPECT_EQ("", session.Send(Word(number | 7)));
    // The same object handed out again gets a new number.
    auto* again = new kestrin::qevtest::FakeSlot("r");
    EXPECT_NE(number, SlotStub::GetID(session.Cache(), again));
    again->Release();
}

TEST_F(ObjCacheTest, RequestsThatCannotBeServedGetNoReply)
{
    Session session;
    struct Case {
        const char* name;
        std::string request;
    };
    const Case cases[] = {
        {"nothing", ""},
        {"a short header", Bytes({0, 0, 0})},
        {"an unknown number", Word(0x1C47)},
        {"release of the root", Word(2)},
        {"a method below the PSE's", Word(6)},
        {"a method above the PSE's", Word(37)},
        {"a function other than create-by-name", Word((1 << 10) | 0x3C0)},
        {"create-by-name cut short", Word(0x3C0) + Bytes({1, 'x'})},
        {"a PSE method without its argument", Word(34)},
        {"a string without its NUL", Word(34) + Bytes({1, 'a'})},
        {"a count over the limit", Word(20) + Bytes({1, 1}) + Word(4097)},
        {"an object longer than the request", Word(7) + Word(100)},
        {"an object its type refuses", Word(7) + Word(3) + Bytes({0x30, 0x05, 0x02})},
        {"trailing bytes after a list", Word(7) + Word(4) + Bytes({0x30, 0x00, 0x00, 0x00})},
    };
    for (const Case& c : cases) {
        HRESULT result = 0;
        EXPECT_EQ("", session.Send(c.request, &result)) << c.name;
        EXPECT_LT(result, 0) << c.name;
    }
    EXPECT_TRUE(session.pse->Calls().empty());
}

TEST_F(ObjCacheTest, CreateByName)
{
    Session session;
    EXPECT_EQ("FF FF FF FF", Hex(session.Send(CreateByName("zelk.gss", IID_IGssAuth))));

    CComObject<GssFactory>* factory = nullptr;
    CComObject<GssFactory>::CreateInstance(&factory);
    factory->AddRef();
    EXPECT_EQ(S_OK, session.component->RegisterFactory("zelk.gss", factory));
    EXPECT_EQ("", session.Send(CreateByName("zelk.gss", IID_ITunnel)));
    std::string reply = session.Send(CreateByName("zelk.gss", IID_IGssAuth));
    ASSERT_EQ(8u, reply.size());
    EXPECT_EQ("00 00 00 00 00 00 07 80", Hex(reply));
    EXPECT_EQ("00 00 00 00 00 00 00 04 70 65 65 72", Hex(session.Send(Word(0x788))));
    EXPECT_EQ("00 00 00 00 00 00 00 03 68 69 21", Hex(session.Send(Word(0x787) + Word(2) + "hi")));
    EXPECT_EQ("", session.Send(Word(0x787)));
    EXPECT_EQ("", session.Send(Word(0x78A)));
    factory->Release();
}

TEST_F(ObjCacheTest, GssAuthThroughItsProxy)
{
    Session session;
    CComObject<GssFactory>* factory = nullptr;
    CComObject<GssFactory>::CreateInstance(&factory);
    factory->AddRef();
    session.component->RegisterFactory("zelk.gss", factory);
    factory->Release();

    ProxyReg* registry = ProxyReg::New();
    IGssAuth* proxy = GssAuthServerProxy::GetInstance(registry, session.tunnel, 0x380 | 0x400);
    registry->Release();
    // No such object yet: the session ends that connection.
    unsigned char* out = nullptr;
    unsigned long length = 0;
    EXPECT_EQ(E_BROKEN_PIPE, proxy->GetPeerCertificates(&out, &length));
    EXPECT_EQ(E_BROKEN_PIPE, proxy->GetPeerCertificates(&out, &length));
    proxy->Release();

    std::string reply = session.Send(CreateByName("zelk.gss", IID_IGssAuth));
    registry = ProxyReg::New();
    proxy = GssAuthServerProxy::GetInstance(registry, session.tunnel, 0x780);
    registry->Release();
    ASSERT_EQ(S_OK, proxy->Handshake(reinterpret_cast<const unsigned char*>("ab"), 2, &out, &length));
    EXPECT_EQ("ab!", std::string(reinterpret_cast<char*>(out), length));
    sec_free(out);
    EXPECT_EQ(E_NOTIMPL, proxy->ExportSecurityContext(&out, &length));
    int before = Alive();
    proxy->Release();
    EXPECT_EQ(before - 1, Alive());
}

TEST_F(ObjCacheTest, SessionEndReleasesEveryServiceObject)
{
    int before = Alive();
    {
        Session session;
        for (int i = 0; i < 40; ++i) {
            auto* slot = new kestrin::qevtest::FakeSlot("r");
            SlotStub::GetID(session.Cache(), slot);
            slot->Release();
        }
        auto* events = new kestrin::qevtest::FakeSlotEvents();
        SlotEventsStub::GetID(session.Cache(), events);
        events->Release();
        // An element that never got its stub goes too.
        auto* orphan = new kestrin::qevtest::FakeToken("t", "label", "1");
        uint32_t number = 0;
        ITunnel** stubSlot = nullptr;
        session.Cache()->RegisterObject(orphan, API_TOKEN, &number, &stubSlot);
        orphan->Release();
        EXPECT_EQ(43u, session.Cache()->Count());
        session.root->Release();
        session.root = nullptr;
        session.component->Release();
        session.component = nullptr;
        EXPECT_EQ(1, Alive() - before);
    }
    EXPECT_EQ(before, Alive());
}

// An object handed out on several threads at once: each thread's next
// request to its number finds the stub, and one stub serves them all.
TEST_F(ObjCacheTest, NewNumbersAlwaysHaveTheirStub)
{
    Session session;
    for (int round = 0; round < 20; ++round) {
        CComObject<FakeGss>* gss = nullptr;
        CComObject<FakeGss>::CreateInstance(&gss);
        gss->AddRef();
        std::atomic<int> ready {0};
        std::atomic<int> answered {0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                ++ready;
                while (ready < 4) {
                }
                uint32_t number = GssAuthServerStub::GetID(session.Cache(), gss);
                if (session.Send(Word(number | 8)).size() == 12)
                    ++answered;
            });
        }
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(4, answered);
        EXPECT_EQ(2u, session.Cache()->Count());
        uint32_t number = GssAuthServerStub::GetID(session.Cache(), gss);
        EXPECT_EQ("00 00 00 01", Hex(session.Send(Word(number | 2))));
        gss->Release();
    }
}

TEST_F(PSEStubImplTest, ResetIsToldOnceAndTheRootNeedsItsPSE)
{
    class Callback : public ITunnelCallback, public CComObjectRoot {
    public:
        ZELK_BEGIN_INTMAP(Callback)
        ZELK_INTMAP_ENTRY(ITunnelCallback)
        ZELK_END_INTMAP()
        HRESULT SetTunnelSource(IUnknown*) override { return 0; }
        HRESULT Reset(ITunnel* tunnel) override
        {
            ++resets;
            return tunnel != nullptr ? 0 : -1;
        }
        HRESULT ClientConnect(const char*, unsigned int) override { return 0; }
        HRESULT ClientDisconnect(const char*, unsigned int) override { return 0; }
        HRESULT ClientActive(const char*, unsigned int) override { return 0; }
        std::atomic<int> resets {0};
    };
    Session session;
    CComObject<Callback>* callback = nullptr;
    CComObject<Callback>::CreateInstance(&callback);
    callback->AddRef();
    EXPECT_EQ(S_OK, session.component->SetCallback(callback));
    session.pse->rc[34] = E_BROKEN_PIPE;
    std::string request = Word(34) + Bytes({0});
    EXPECT_EQ("80 07 00 6D", Hex(session.Send(request)));
    EXPECT_EQ("80 07 00 6D", Hex(session.Send(request)));
    EXPECT_EQ(1, callback->resets);
    callback->Release();

    EXPECT_EQ(S_OK, session.component->SetPSE(session.pse));
    EXPECT_EQ(S_OK, session.component->SetPSE(nullptr));
    EXPECT_EQ("80 00 40 05", Hex(session.Send(request)));
    EXPECT_EQ(2u, session.pse->Calls().size());
}

}  // namespace
}  // namespace ZELK::PSESVC::test
