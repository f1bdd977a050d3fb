// Both ends over the per-user socket: the framed server with a factory that
// makes one session component per client (as the service's PSE factory
// does), and the client's PSE component over the framed client. Restarts run
// the service in a forked child that is killed and replaced.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "client.h"
#include "keystore.h"
#include "qev_results.h"
#include "remoting_test_util.h"
#include "zelk_class.h"

namespace ZELK::PSESVC::test {
namespace {

// The service's PSE factory as far as the remoting sees it: each session
// gets a component with the PSE and this object as its callback.
class PSEFactory : public IClassFactory, public ITunnelCallback, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(PSEFactory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_INTMAP_ENTRY(ITunnelCallback)
    ZELK_END_INTMAP()

    HRESULT CreateInstance(IUnknown*, const GUID& iid, void** out) override
    {
        ZELK_PTR(ITunnelPSE) component;
        HRESULT hr =
            ZELK_CreateObject("zelkps", "zelk.pseproxy.stub", IID_ITunnelPSE, reinterpret_cast<void**>(&component));
        if (hr < 0)
            return hr;
        component->SetPSE(pse);
        component->SetCallback(this);
        ++sessions;
        return component->QueryInterface(iid, out);
    }
    // The service stops: every slot-event source handed out is cancelled.
    HRESULT LockServer(bool lock) override
    {
        if (!lock) {
            for (SecSlotEvents* source : eventSources)
                source->cancel();
        }
        return 0;
    }
    HRESULT SetTunnelSource(IUnknown*) override { return 0; }
    HRESULT Reset(ITunnel*) override
    {
        ++resets;
        return 0;
    }
    HRESULT ClientConnect(const char*, unsigned int) override { return 0; }
    HRESULT ClientDisconnect(const char*, unsigned int) override { return 0; }
    HRESULT ClientActive(const char*, unsigned int) override { return 0; }

    PSE* pse = nullptr;
    std::vector<SecSlotEvents*> eventSources;
    std::atomic<int> sessions {0};
    std::atomic<int> resets {0};
};

// The framed Unix-socket server with that factory.
class Service {
public:
    explicit Service(PSE* pse)
    {
        CComObject<PSEFactory>::CreateInstance(&factory);
        factory->AddRef();
        factory->pse = pse;
        ZELK_CreateObject("zelkcomsock", "zelk.comunix.server", IID_ITunnelSource, reinterpret_cast<void**>(&source));
        started = source != nullptr && source->Connect(static_cast<IClassFactory*>(factory)) == S_OK;
    }
    ~Service()
    {
        if (source != nullptr) {
            source->Disconnect(nullptr);
            source->Release();
        }
        factory->Release();
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    CComObject<PSEFactory>* factory = nullptr;
    ITunnelSource* source = nullptr;
    bool started = false;
};

// The client process's PSE component over the framed client.
class Client {
public:
    Client()
    {
        ZELK_CreateObject("zelkps", "zelk.pseproxy.proxy", IID_ITunnelSourcePSE, reinterpret_cast<void**>(&source));
        if (source != nullptr && source->SetTunnel("zelkcomsock", "zelk.comunix.client") == S_OK)
            source->GetPSE(&pse);
    }
    ~Client()
    {
        if (pse != nullptr)
            pse->Release();
        if (source != nullptr)
            source->Release();
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    ITunnelSourcePSE* source = nullptr;
    PSE* pse = nullptr;
};

template <class F>
bool Eventually(F condition)
{
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

class RemotingSocket : public RemotingTest {
protected:
    void SetUp() override
    {
        // A client that finds no service must not start the application.
        COMSOCK::SetApplicationPath("/nonexistent/KestrinClient");
        pse = new RecordingPSE();
        slot = new kestrin::qevtest::FakeSlot("r");
        pse->slots = {slot};
        pse->signature = "sig";
    }
    void TearDown() override
    {
        pse->slots.clear();
        slot->Release();
        pse->Release();
        RemotingTest::TearDown();
    }

    // A service in a child process, until it is killed.
    pid_t StartChild()
    {
        int ready[2];
        if (pipe(ready) != 0)
            return -1;
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            Service service(pse);
            char ok = service.started ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char ok = 0;
        bool started = read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
        return started ? pid : -1;
    }
    static void Kill(pid_t pid)
    {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }

    RecordingPSE* pse = nullptr;
    kestrin::qevtest::FakeSlot* slot = nullptr;
};

TEST_F(RemotingSocket, CallsLifetimesAndTheEndOfTheSession)
{
    auto service = std::make_unique<Service>(pse);
    ASSERT_TRUE(service->started);
    {
        Client client;
        ASSERT_NE(nullptr, client.pse);
        unsigned char out[16];
        unsigned long length = sizeof(out);
        EXPECT_EQ(S_OK, client.pse->encryptDigest(nullptr, nullptr, out, 4, out, &length));
        EXPECT_EQ("sig", std::string(reinterpret_cast<char*>(out), length));
        SecSlot* proxy = nullptr;
        ASSERT_EQ(S_OK, client.pse->getSlotByName(&proxy, "r", 0));
        ASSERT_NE(nullptr, proxy);
        EXPECT_EQ(2, slot->References());

        ZELK_PTR(ITunnelInfo) info = client.source;
        ASSERT_NE(nullptr, info);
        char* type = nullptr;
        EXPECT_EQ(S_OK, info->GetType(&type));
        EXPECT_EQ(0, std::string(type).rfind("to UNIX socket\r\n", 0));
        sec_free(type);
        ZELK_PTR(ITunnelSourceFkt) functions = client.source;
        void* object = nullptr;
        EXPECT_EQ(-1, functions->CreateObject("zelk.gss", IID_IGssAuth, &object));

        // Several threads, each on its own socket, in the one session.
        std::vector<std::thread> threads;
        std::atomic<int> failures {0};
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 20; ++i)
                    failures += client.pse->releaseTokenCache("t") != S_OK;
            });
        }
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(0, failures);
        EXPECT_EQ(1, service->factory->sessions);

        proxy->Release();
        EXPECT_TRUE(Eventually([&] { return slot->References() == 1; }));
        // A session's component ends with the session and lets go of
        // everything it still held.
        SecSlot* kept = nullptr;
        ASSERT_EQ(S_OK, client.pse->getSlotByName(&kept, "r", 0));
        EXPECT_EQ(2, slot->References());
        EXPECT_EQ(2, pse->refs);
        EXPECT_EQ(0, service->factory->resets);
        service.reset();
        EXPECT_TRUE(Eventually([&] { return slot->References() == 1 && pse->refs == 1; }));
        EXPECT_LT(client.pse->releaseTokenCache("t"), 0);
        kept->Release();
    }
}

// After the service restarts, the root reconnects once per call: on a
// thread whose socket broke, and on a thread that never had a socket (whose
// new socket presents the old session and is refused for good). Proxies of
// the old session stay broken.
TEST_F(RemotingSocket, RootReconnectsAfterARestart)
{
    pid_t first = StartChild();
    ASSERT_GT(first, 0);
    Client client;
    ASSERT_NE(nullptr, client.pse);
    ASSERT_EQ(S_OK, client.pse->releaseTokenCache("before"));
    SecSlot* old = nullptr;
    ASSERT_EQ(S_OK, client.pse->getSlotByName(&old, "r", 0));
    Kill(first);

    pid_t second = StartChild();
    ASSERT_GT(second, 0);
    HRESULT fresh = E_FAIL;
    std::thread([&] { fresh = client.pse->releaseTokenCache("fresh thread"); }).join();
    EXPECT_EQ(S_OK, fresh);
    EXPECT_TRUE(static_cast<SlotProxy*>(old)->IsBroken());
    old->Release();
    Kill(second);

    pid_t third = StartChild();
    ASSERT_GT(third, 0);
    EXPECT_EQ(S_OK, client.pse->releaseTokenCache("same thread"));
    SecSlot* renewed = nullptr;
    EXPECT_EQ(S_OK, client.pse->getSlotByName(&renewed, "r", 0));
    ASSERT_NE(nullptr, renewed);
    EXPECT_FALSE(static_cast<SlotProxy*>(renewed)->IsBroken());
    renewed->Release();
    Kill(third);

    // With no service at all the call fails, and a later one succeeds again.
    EXPECT_LT(client.pse->releaseTokenCache("nobody"), 0);
    pid_t fourth = StartChild();
    ASSERT_GT(fourth, 0);
    EXPECT_EQ(S_OK, client.pse->releaseTokenCache("back"));
    Kill(fourth);
}

// A client thread blocked in wait on its own connection is released by a
// cancel from a second thread, and by the service's stop.
TEST_F(RemotingSocket, SlotEventWaitReleasedByCancelAndByStop)
{
    Service service(pse);
    ASSERT_TRUE(service.started);
    Client client;
    ASSERT_NE(nullptr, client.pse);
    for (bool byStop : {false, true}) {
        auto* events = new kestrin::qevtest::FakeSlotEvents();
        pse->events = events;
        service.factory->eventSources = {events};
        SecSlotEvents* remote = nullptr;
        ASSERT_EQ(S_OK, client.pse->getSlotEvents(&remote));
        ASSERT_NE(nullptr, remote);
        HRESULT waited = 0;
        SecSlot* woken = reinterpret_cast<SecSlot*>(1);
        std::thread waiter([&] { waited = remote->wait(0, &woken); });
        EXPECT_TRUE(Eventually([&] { return events->Waiters() == 1; }));
        // Other calls of the process go on while the waiter blocks.
        EXPECT_EQ(S_OK, client.pse->releaseTokenCache("t"));
        if (byStop)
            service.factory->LockServer(false);
        else
            EXPECT_EQ(S_OK, remote->cancel());
        waiter.join();
        EXPECT_EQ(SLOT_EVENT_CANCELLED, waited);
        EXPECT_EQ(nullptr, woken);
        EXPECT_EQ(SLOT_EVENT_CANCELLED, remote->wait(0, nullptr));
        remote->Release();
        service.factory->eventSources.clear();
        pse->events = nullptr;
        events->Release();
    }
}

// The key store's identities behind the crypto library's "tokkeychain:"
// slot, served through the PSE over real sockets; OpenSSL made the keys and
// checks what comes back.
class KeychainOverSockets : public RemotingSocket {
protected:
    void SetUp() override
    {
        RemotingSocket::SetUp();
        char folder[] = "/tmp/remoting-pki-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        dir = folder;
        ASSERT_TRUE(Run("openssl req -x509 -nodes -days 2 -subj /CN=rsa -newkey rsa:2048 -keyout rsa.key -out rsa.crt"
                        " && openssl req -x509 -nodes -days 2 -subj /CN=ec -newkey ec -pkeyopt "
                        "ec_paramgen_curve:P-256 -keyout ec.key -out ec.crt"
                        " && for k in rsa ec; do openssl pkcs12 -export -passout pass:pw -in $k.crt -inkey $k.key"
                        " -out $k.p12 && openssl x509 -in $k.crt -pubkey -noout > $k.pub"
                        " && openssl x509 -in $k.crt -outform DER -out $k.der; done"));
        std::string message;
        ASSERT_EQ(S_OK, kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &store, &message)) << message;
        API_COMMON* table = nullptr;
        ASSERT_EQ(S_OK, kestrin::qevtest::Library()->get_api(nullptr, "SEC_PSE_1", &table));
        pseTable = reinterpret_cast<SEC_PSE_TABLE*>(table);
    }
    void TearDown() override
    {
        store.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        RemotingSocket::TearDown();
    }

    bool Run(const std::string& command)
    {
        return system(("cd '" + dir + "' && (" + command + ") >/dev/null 2>&1").c_str()) == 0;
    }
    std::vector<uint8_t> Read(const std::string& name)
    {
        std::ifstream file(dir + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    void Write(const std::string& name, const unsigned char* data, size_t n)
    {
        std::ofstream file(dir + "/" + name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    }
    // The identity's slot in this process, as the service's PSE holds it.
    SecSlot* Slot(const char* name)
    {
        kestrin::keystore::Pkcs12Import imported;
        if (store->ImportPkcs12(Read(std::string(name) + ".p12"), "pw", &imported) != S_OK)
            return nullptr;
        std::string slotName = "tokkeychain:cert=";
        for (uint8_t byte : imported.identity.sha1) {
            char hex[3];
            std::snprintf(hex, sizeof(hex), "%02x", byte);
            slotName += hex;
        }
        SecSlot* made = nullptr;
        pseTable->getSlot(&made, slotName.c_str());
        return made;
    }

    std::string dir;
    std::unique_ptr<kestrin::keystore::KeyStore> store;
    SEC_PSE_TABLE* pseTable = nullptr;
};

TEST_F(KeychainOverSockets, SignDecryptAndCertificateOfTheRemoteKey)
{
    Service service(pse);
    ASSERT_TRUE(service.started);
    Client client;
    ASSERT_NE(nullptr, client.pse);
    const unsigned char data[] = "data to sign";
    Write("data", data, sizeof(data) - 1);
    unsigned char digest[32];
    SHA256(data, sizeof(data) - 1, digest);
    const unsigned char sha256WithRsa[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};
    const unsigned char ecdsaSha256[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
    for (const char* name : {"rsa", "ec"}) {
        SCOPED_TRACE(name);
        const bool rsa = std::string(name) == "rsa";
        SecSlot* local = Slot(name);
        ASSERT_NE(nullptr, local);
        SecSlot* previous = pse->slots[0];
        pse->slots[0] = local;

        SecSlot* remote = nullptr;
        ASSERT_EQ(S_OK, client.pse->getSlotByName(&remote, "any", 0));
        ASSERT_NE(nullptr, remote);
        SecToken* token = nullptr;
        ASSERT_EQ(S_OK, remote->getToken(&token));
        ASSERT_NE(nullptr, token);
        TokenObject* object = nullptr;
        unsigned long count = 1;
        ASSERT_EQ(S_OK, token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr));
        ASSERT_EQ(1u, count);
        auto* key = static_cast<TokenObjectPrivateKey*>(object);
        EXPECT_EQ(TOKEN_OBJECT_PRIVATE_KEY, key->getObjectType());

        ObjId oid {rsa ? sizeof(sha256WithRsa) : sizeof(ecdsaSha256),
                   const_cast<unsigned char*>(rsa ? sha256WithRsa : ecdsaSha256)};
        AlgId alg {&oid, nullptr};
        unsigned char signature[512];
        unsigned long length = sizeof(signature);
        ASSERT_EQ(S_OK, key->sign(&alg, 1, digest, sizeof(digest), signature, &length, nullptr));
        Write("sig", signature, length);
        EXPECT_TRUE(Run(std::string("openssl dgst -sha256 -verify ") + name + ".pub -signature sig data"));

        if (rsa) {
            const unsigned char plain[] = "session key";
            Write("plain", plain, sizeof(plain) - 1);
            ASSERT_TRUE(Run("openssl pkeyutl -encrypt -pubin -inkey rsa.pub -in plain -out cipher"));
            std::vector<uint8_t> cipher = Read("cipher");
            unsigned char out[256];
            length = sizeof(out);
            ASSERT_EQ(S_OK, key->decrypt(nullptr, cipher.data(), cipher.size(), out, &length, nullptr));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain)),
                      std::string(reinterpret_cast<char*>(out), length));
        }

        TokenObjectCertificate* certificates[2] = {};
        count = 2;
        ASSERT_EQ(S_OK, key->getCertObjs(nullptr, certificates, &count));
        ASSERT_GE(count, 1u);
        ASSERT_NE(nullptr, certificates[0]);
        std::vector<uint8_t> value(4096);
        CK_ATTRIBUTE attribute = {CKA_VALUE, value.data(), value.size()};
        EXPECT_EQ(S_OK, certificates[0]->getP11Attributes(&attribute, 1));
        value.resize(attribute.ulValueLen);
        EXPECT_EQ(Read(std::string(name) + ".der"), value);
        for (TokenObjectCertificate* certificate : certificates) {
            if (certificate != nullptr)
                certificate->Release();
        }
        key->Release();
        token->Release();
        remote->Release();
        pse->slots[0] = previous;
        local->Release();
    }
}

}  // namespace
}  // namespace ZELK::PSESVC::test
