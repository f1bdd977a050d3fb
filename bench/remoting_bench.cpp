// Remote PSE calls per second over the per-user socket, each beside its peer
// in the same run: an empty remote call (releaseTokenCache, answered at once)
// beside the transport's bare framed round trip of the same request and
// reply sizes (7 and 4 bytes), and the signature of a SHA-256 digest
// (RSA-2048 PKCS#1, P-256 ECDSA) through a service PSE that signs with the
// key store, beside the same key-store signature in process; 1 and 8 threads.
// Token objects: the same signature through a private-key object's sign
// (method 275) beside that object's sign in process, and a token's
// getObjects handing out 1,000 objects in one call beside 1,000 calls that
// hand out one each.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client.h"
#include "keystore.h"
#include "pseproxy.h"
#include "psestub.h"
#include "qev_token.h"
#include "ratio_reporter.h"
#include "server.h"
#include "unanswered_pse.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"

using namespace ZELK::PSESVC;
namespace ks = kestrin::keystore;

namespace {

constexpr size_t kEmptyRequest = 7;  // header and the string "t"
constexpr size_t kEmptyReply = 4;    // the result code

// A private-key object that signs with the key store's identity `key`.
class KeyObject : public TokenObjectPrivateKey {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    const char* getType() override { return "KeyObject"; }
    HRESULT cpy(TokenObject**) override { return E_NOTIMPL; }
    int cmp(const TokenObject*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PRIVATE_KEY; }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT remove() override { return E_NOTIMPL; }
    HRESULT getKeyId(const char**) override { return E_NOTIMPL; }
    HRESULT getOps(unsigned int*) override { return E_NOTIMPL; }
    HRESULT getObjectPIN(TokenPIN**) override { return E_NOTIMPL; }
    HRESULT sign(const AlgId*, unsigned char, const unsigned char* digest, unsigned long n, unsigned char* out,
                 unsigned long* outLength, SECAttribute*) override
    {
        std::vector<uint8_t> signature;
        HRESULT hr = store->SignDigest(*key.load(), ks::Digest::Sha256, ks::SignPadding::Pkcs1,
                                       std::span<const uint8_t>(digest, n), &signature);
        if (hr < 0)
            return hr;
        if (out == nullptr || signature.size() > *outLength) {
            *outLength = signature.size();
            return E_PSE_BUFFERTOOSMALL;
        }
        std::memcpy(out, signature.data(), signature.size());
        *outLength = signature.size();
        return 0;
    }
    HRESULT decrypt(const AlgId*, const unsigned char*, unsigned long, unsigned char*, unsigned long*,
                    SECAttribute*) override
    {
        return E_NOTIMPL;
    }
    HRESULT getCertObjs(TokenObjectPublicKey**, TokenObjectCertificate**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getPublicKeyInfo(KeyInfo**) override { return E_NOTIMPL; }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId**) override { return E_NOTIMPL; }

    ks::KeyStore* store = nullptr;
    std::atomic<const ks::Fingerprint*> key {nullptr};
};

// A token object of no particular kind.
class PlainObject : public TokenObject {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    const char* getType() override { return "PlainObject"; }
    HRESULT cpy(TokenObject**) override { return E_NOTIMPL; }
    int cmp(const TokenObject*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_NONE; }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT remove() override { return E_NOTIMPL; }
};

constexpr unsigned long kManyObjects = 1000;

// A token with 1,000 objects; getObjects hands out as many as the room holds.
class ManyToken : public SecToken {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    const char* getType() override { return "ManyToken"; }
    HRESULT cpy(SecToken**) override { return E_NOTIMPL; }
    int cmp(const SecToken*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT isValid() override { return 0; }
    HRESULT getTokenProfile(const char**) override { return E_NOTIMPL; }
    HRESULT getTokenName(const char** out) override
    {
        *out = "many";
        return 0;
    }
    HRESULT getTokenLabel(const char**) override { return E_NOTIMPL; }
    HRESULT getSerialNumber(const char**) override { return E_NOTIMPL; }
    HRESULT getP11TokenInfo(CK_TOKEN_INFO*) override { return E_NOTIMPL; }
    HRESULT getCardPIN(TokenPIN**) override { return E_NOTIMPL; }
    HRESULT getPINs(TokenPIN**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getObjects(TokenObject** out, unsigned long* count, TOKEN_OBJECT_TYPE, const char*, const char*) override
    {
        if (out != nullptr && count != nullptr) {
            for (unsigned long i = 0; i < *count && i < kManyObjects; ++i)
                out[i] = &objects[i];
        }
        if (count != nullptr)
            *count = std::min(*count, kManyObjects);
        return 0;
    }
    HRESULT isInitialized() override { return 0; }
    HRESULT getWritableProfiles(char***) override { return E_NOTIMPL; }
    HRESULT getInitInfo(const char*, ProfileInfo**) override { return E_NOTIMPL; }
    HRESULT delInitInfo(ProfileInfo**) override { return E_NOTIMPL; }
    HRESULT initToken(ProfileInfo*) override { return E_NOTIMPL; }
    HRESULT deleteToken() override { return E_NOTIMPL; }
    HRESULT isAlgSupported(AlgEnc, const AllowedValues**) override { return E_NOTIMPL; }
    HRESULT genKeyPair(AlgId*, unsigned long, TokenObjectPrivateKey**, const char*, unsigned int,
                       TokenObjectPublicKey**, const char*, KeyInfo**, SECAttribute*) override
    {
        return E_NOTIMPL;
    }
    HRESULT createPrivateKeyObj(TokenObjectPrivateKey**, const KeyInfo*, const char*, const char*,
                                unsigned int) override
    {
        return E_NOTIMPL;
    }
    HRESULT createPublicKeyObj(TokenObjectPublicKey**, const KeyInfo*, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT createCertificateObj(TokenObjectCertificate**, const Certificate*, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT createDataObj(TokenObjectData**, const OctetString*, const char*, unsigned char) override
    {
        return E_NOTIMPL;
    }
    HRESULT getRandom(unsigned char*, unsigned long) override { return E_NOTIMPL; }

    PlainObject objects[kManyObjects];
};

// A service PSE that answers releaseTokenCache at once and signs digests
// with the key store's identity `key`; it answers nothing else.
class KeyStorePSE : public kestrin::qevtest::UnansweredPSE {
public:
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    const char* getType() override { return "KeyStorePSE"; }
    int cmp(const PSE*) override { return 1; }

    HRESULT encryptDigest(const History*, SECAttribute*, const unsigned char* digest, unsigned long n,
                          unsigned char* out, unsigned long* outLength) override
    {
        std::vector<uint8_t> signature;
        HRESULT hr = store->SignDigest(*key.load(), ks::Digest::Sha256, ks::SignPadding::Pkcs1,
                                       std::span<const uint8_t>(digest, n), &signature);
        if (hr < 0)
            return hr;
        if (signature.size() > *outLength)
            return E_PSE_BUFFERTOOSMALL;
        std::memcpy(out, signature.data(), signature.size());
        *outLength = signature.size();
        return 0;
    }
    HRESULT getPrivateKey(const char*, const char*, TokenObjectPrivateKey** out) override
    {
        *out = &keyObject;
        return 0;
    }
    HRESULT getTokenByName(SecToken** out, const char*, unsigned char) override
    {
        *out = &token;
        return 0;
    }
    HRESULT releaseTokenCache(const char*) override { return 0; }

    ks::KeyStore* store = nullptr;
    std::atomic<const ks::Fingerprint*> key {nullptr};
    KeyObject keyObject;
    ManyToken token;
};

// The service's factory: one session component per client with the PSE.
class Factory : public IClassFactory, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Factory)
    ZELK_INTMAP_ENTRY(IClassFactory)
    ZELK_END_INTMAP()

    HRESULT CreateInstance(IUnknown*, const GUID& iid, void** out) override
    {
        ZELK_PTR(ITunnelPSE) component;
        ZELK_CreateObject("zelkps", "zelk.pseproxy.stub", IID_ITunnelPSE, reinterpret_cast<void**>(&component));
        if (component == nullptr)
            return E_FAIL;
        component->SetPSE(pse);
        return component->QueryInterface(iid, out);
    }
    HRESULT LockServer(bool) override { return 0; }

    PSE* pse = nullptr;
};

// Answers every request with a reply of the empty call's size.
class FixedReply : public ITunnel, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FixedReply)
    ZELK_INTMAP_ENTRY(ITunnel)
    ZELK_END_INTMAP()

    HRESULT Transact(unsigned char*, unsigned long, unsigned char**, unsigned long* outLength) override
    {
        *outLength = kEmptyReply;
        return 0;
    }
    HRESULT Disconnect() override { return 0; }
};

// Everything the run shares: folders, runtime, key store with the two
// identities, the service with the key-store PSE, its client, and the bare
// transport with its own server.
struct Fixture {
    Fixture()
    {
        char folder[] = "/tmp/remoting-bench-XXXXXX";
        if (mkdtemp(folder) == nullptr)
            return;
        m_folder = folder;
        setenv("XDG_RUNTIME_DIR", folder, 1);
        setenv("XDG_CONFIG_HOME", (m_folder + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_folder + "/xdg").c_str(), 1);
        ZELK::PSESVC::COMSOCK::SetApplicationPath("/nonexistent/KestrinClient");
        if (ZELK_Initialize() != S_OK)
            return;
        ks::Options options;
        options.path = m_folder + "/keystore.db";
        if (ks::KeyStore::Open(options, &store) != S_OK || !Import("rsa", "-newkey rsa:2048", &rsa)
            || !Import("p256", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", &p256))
            return;
        pse.store = store.get();
        pse.key = &rsa;
        pse.keyObject.store = store.get();
        pse.keyObject.key = &rsa;
        CComObject<Factory>::CreateInstance(&factory);
        factory->AddRef();
        factory->pse = &pse;
        ZELK_CreateObject("zelkcomsock", "zelk.comunix.server", IID_ITunnelSource, reinterpret_cast<void**>(&server));
        ZELK_CreateObject("zelkps", "zelk.pseproxy.proxy", IID_ITunnelSourcePSE, reinterpret_cast<void**>(&client));
        if (server == nullptr || client == nullptr || server->Connect(static_cast<IClassFactory*>(factory)) != S_OK
            || client->SetTunnel("zelkcomsock", "zelk.comunix.client") != S_OK || client->GetPSE(&remote) != S_OK)
            return;
        if (remote->getPrivateKey("t", "k", &remoteKey) != S_OK || remoteKey == nullptr
            || remote->getTokenByName(&remoteToken, "many", 0) != S_OK || remoteToken == nullptr)
            return;
        // Held for the run, so that the measured calls make no proxy anew.
        unsigned long count = kManyObjects;
        if (remoteToken->getObjects(held, &count, TOKEN_OBJECT_NONE, nullptr, nullptr) != S_OK || count != kManyObjects)
            return;
        ok = true;
    }
    ~Fixture()
    {
        for (TokenObject* object : held) {
            if (object != nullptr)
                object->Release();
        }
        if (remoteToken != nullptr)
            remoteToken->Release();
        if (remoteKey != nullptr)
            remoteKey->Release();
        if (remote != nullptr)
            remote->Release();
        if (client != nullptr)
            client->Release();
        if (server != nullptr) {
            server->Disconnect(nullptr);
            server->Release();
        }
        if (factory != nullptr)
            factory->Release();
        store.reset();
        ZELK_Finalize();
        std::string command = "rm -rf '" + m_folder + "'";
        if (system(command.c_str()) != 0)
            return;
    }

    // A self-signed identity made and exported by OpenSSL's tools.
    bool Import(const std::string& name, const std::string& key, ks::Fingerprint* out)
    {
        std::string base = m_folder + "/" + name;
        std::string command = "openssl req -x509 -nodes -days 2 -subj /CN=" + name + " " + key + " -keyout " + base
                              + ".key -out " + base + ".crt 2>/dev/null && openssl pkcs12 -export -passout pass:pw -in "
                              + base + ".crt -inkey " + base + ".key -out " + base + ".p12 2>/dev/null";
        if (system(command.c_str()) != 0)
            return false;
        FILE* file = fopen((base + ".p12").c_str(), "rb");
        if (file == nullptr)
            return false;
        std::vector<uint8_t> bytes(1 << 16);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), file));
        fclose(file);
        ks::Pkcs12Import imported;
        if (store->ImportPkcs12(bytes, "pw", &imported) != S_OK)
            return false;
        *out = imported.identity.sha1;
        return true;
    }

    bool ok = false;
    std::string m_folder;
    std::unique_ptr<ks::KeyStore> store;
    ks::Fingerprint rsa {};
    ks::Fingerprint p256 {};
    KeyStorePSE pse;
    CComObject<Factory>* factory = nullptr;
    ITunnelSource* server = nullptr;
    ITunnelSourcePSE* client = nullptr;
    PSE* remote = nullptr;
    TokenObjectPrivateKey* remoteKey = nullptr;
    SecToken* remoteToken = nullptr;
    TokenObject* held[kManyObjects] = {};
};

// Made on first use and ended in main: the clients' per-thread sockets must
// not outlive the main thread's own.
std::unique_ptr<Fixture> s_fixture;

Fixture& Shared()
{
    static std::once_flag once;
    std::call_once(once, [] { s_fixture = std::make_unique<Fixture>(); });
    return *s_fixture;
}

// The bare transport: a server of its own with a fixed reply, on a socket
// in a folder of its own, and a client.
struct Bare {
    explicit Bare(const std::string& folder)
    {
        std::string runtime = getenv("XDG_RUNTIME_DIR");
        setenv("XDG_RUNTIME_DIR", (folder + "/bare").c_str(), 1);
        CComObject<FixedReply>::CreateInstance(&reply);
        reply->AddRef();
        ZELK_CreateObject("zelkcomsock", "zelk.comunix.server", IID_ITunnelSource, reinterpret_cast<void**>(&server));
        ZELK_CreateObject("zelkcomsock", "zelk.comunix.client", IID_ITunnel, reinterpret_cast<void**>(&client));
        ok = server != nullptr && client != nullptr && server->Connect(static_cast<ITunnel*>(reply)) == S_OK;
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    ~Bare()
    {
        if (client != nullptr)
            client->Release();
        if (server != nullptr) {
            server->Disconnect(nullptr);
            server->Release();
        }
        reply->Release();
    }
    bool ok = false;
    CComObject<FixedReply>* reply = nullptr;
    ITunnelSource* server = nullptr;
    ITunnel* client = nullptr;
};

std::unique_ptr<Bare> s_bare;

void BM_RemoteEmptyCall(benchmark::State& state)
{
    Fixture& f = Shared();
    if (!f.ok) {
        state.SkipWithError("service not started");
        return;
    }
    for (auto _ : state) {
        if (f.remote->releaseTokenCache("t") != 0) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BareFramedRoundTrip(benchmark::State& state)
{
    if (!Shared().ok) {
        state.SkipWithError("runtime not started");
        return;
    }
    static std::once_flag once;
    std::call_once(once, [] { s_bare = std::make_unique<Bare>(Shared().m_folder); });
    Bare& bare = *s_bare;
    if (!bare.ok) {
        state.SkipWithError("transport not started");
        return;
    }
    unsigned char request[kEmptyRequest] = {0, 0, 0, 0x22, 1, 't', 0};
    unsigned char* buffer = static_cast<unsigned char*>(sec_malloc(32));
    for (auto _ : state) {
        unsigned long length = 32;
        if (bare.client->Transact(request, sizeof(request), &buffer, &length) != S_OK || length != kEmptyReply) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    sec_free(buffer);
    state.SetItemsProcessed(state.iterations());
}

const ks::Fingerprint& Key(Fixture& f, int64_t which)
{
    return which == 0 ? f.rsa : f.p256;
}

void BM_RemoteSignature(benchmark::State& state)
{
    Fixture& f = Shared();
    if (!f.ok) {
        state.SkipWithError("service not started");
        return;
    }
    f.pse.key = &Key(f, state.range(0));
    unsigned char digest[32] = {1, 2, 3};
    for (auto _ : state) {
        unsigned char signature[512];
        unsigned long length = sizeof(signature);
        if (f.remote->encryptDigest(nullptr, nullptr, digest, sizeof(digest), signature, &length) != 0) {
            state.SkipWithError("signature failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_KeyStoreSignature(benchmark::State& state)
{
    Fixture& f = Shared();
    if (!f.ok) {
        state.SkipWithError("key store not opened");
        return;
    }
    const ks::Fingerprint& key = Key(f, state.range(0));
    unsigned char digest[32] = {1, 2, 3};
    for (auto _ : state) {
        std::vector<uint8_t> signature;
        if (f.store->SignDigest(key, ks::Digest::Sha256, ks::SignPadding::Pkcs1, digest, &signature) != 0) {
            state.SkipWithError("signature failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RemoteKeyObjectSign(benchmark::State& state)
{
    Fixture& f = Shared();
    if (!f.ok) {
        state.SkipWithError("service not started");
        return;
    }
    f.pse.keyObject.key = &Key(f, state.range(0));
    unsigned char digest[32] = {1, 2, 3};
    for (auto _ : state) {
        unsigned char signature[512];
        unsigned long length = sizeof(signature);
        if (f.remoteKey->sign(nullptr, 0, digest, sizeof(digest), signature, &length, nullptr) != 0) {
            state.SkipWithError("signature failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_KeyObjectSign(benchmark::State& state)
{
    Fixture& f = Shared();
    if (!f.ok) {
        state.SkipWithError("key store not opened");
        return;
    }
    f.pse.keyObject.key = &Key(f, state.range(0));
    unsigned char digest[32] = {1, 2, 3};
    for (auto _ : state) {
        unsigned char signature[512];
        unsigned long length = sizeof(signature);
        if (f.pse.keyObject.sign(nullptr, 0, digest, sizeof(digest), signature, &length, nullptr) != 0) {
            state.SkipWithError("signature failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// 1,000 objects in one call, or one object in each of 1,000 calls; items are objects.
void BM_GetObjects(benchmark::State& state)
{
    Fixture& f = Shared();
    if (!f.ok) {
        state.SkipWithError("service not started");
        return;
    }
    const unsigned long perCall = static_cast<unsigned long>(state.range(0));
    TokenObject* objects[kManyObjects] = {};
    for (auto _ : state) {
        for (unsigned long done = 0; done < kManyObjects; done += perCall) {
            unsigned long count = perCall;
            if (f.remoteToken->getObjects(objects, &count, TOKEN_OBJECT_NONE, nullptr, nullptr) != S_OK) {
                state.SkipWithError("getObjects failed");
                return;
            }
            for (unsigned long i = 0; i < count; ++i)
                objects[i]->Release();
        }
    }
    state.SetItemsProcessed(state.iterations() * kManyObjects);
}

}  // namespace

BENCHMARK(BM_RemoteEmptyCall)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_BareFramedRoundTrip)->Threads(1)->Threads(8)->UseRealTime();
// 0: RSA-2048, 1: P-256.
BENCHMARK(BM_RemoteSignature)->Arg(0)->Arg(1)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_KeyStoreSignature)->Arg(0)->Arg(1)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_RemoteKeyObjectSign)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_KeyObjectSign)->Arg(0)->Arg(1)->UseRealTime();
// 1000: one call; 1: a thousand calls.
BENCHMARK(BM_GetObjects)->Arg(1000)->Arg(1)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    kestrin::bench::RatioReporter reporter({
        {"sign 275 RSA-2048 (remote / in process)", "BM_RemoteKeyObjectSign/0/real_time",
         "BM_KeyObjectSign/0/real_time"},
        {"sign 275 P-256 (remote / in process)", "BM_RemoteKeyObjectSign/1/real_time", "BM_KeyObjectSign/1/real_time"},
        {"getObjects 1,000 calls of one / one call of 1,000", "BM_GetObjects/1/real_time",
         "BM_GetObjects/1000/real_time"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    s_bare.reset();
    s_fixture.reset();
    return 0;
}
