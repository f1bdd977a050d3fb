// One reload of the keychain monitor over 200 key-store identities (listing,
// decoding, the "Common/CAPI" filter, SHA-1 through the crypto library, hex
// names and card-inserted events through the reader manager to a counting
// sink) beside listing the same identities and hashing their DER with
// OpenSSL alone, in the same run. The store lives in a temporary
// XDG_DATA_HOME. The ratio (ours / peer) closes the output.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "keychain_monitor.h"
#include "keystore.h"
#include "ratio_reporter.h"
#include "reader_manager.h"
#include "service_events.h"
#include "zelk_module.h"

namespace {

using ZELK::PSESVC::CKeychainMonitor;
using ZELK::PSESVC::CReaderMgr;
using Bytes = std::vector<unsigned char>;

constexpr int kIdentities = 200;
constexpr const char* kPassword = "secret";

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

// A P-256 identity with a self-signed certificate, as a PKCS#12 file.
Bytes NewPkcs12(int number)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x509 = X509_new();
    const std::string name = "Bench Identity " + std::to_string(number);
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), number + 1);
    X509_NAME* subject = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x509, subject);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    PKCS12* p12 = PKCS12_create(kPassword, name.c_str(), key, x509, nullptr, 0, 0, 0, 0, 0);
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12, &der);
    Bytes file(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(x509);
    EVP_PKEY_free(key);
    return file;
}

// The token manager's place: counts the slot events that reach it.
class CountingSink : public ZELK::PSESVC::ISlotEvents, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CountingSink)
    ZELK_INTMAP_ENTRY(ISlotEvents)
    ZELK_END_INTMAP()

    HRESULT SlotEvent(EVENT, SecSlot*) override
    {
        ++events;
        return S_OK;
    }
    std::atomic<long> events {0};
};

struct Fixture {
    Fixture()
    {
        char tmpl[] = "/tmp/zelkkeychainbench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            Fail("no temporary folder");
        home = tmpl;
        setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (home + "/system").c_str(), 1);
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        if (kestrin::keystore::KeyStore::Open({}, &store) != S_OK)
            Fail("no key store");
        for (int i = 0; i < kIdentities; ++i) {
            kestrin::keystore::Pkcs12Import imported;
            if (store->ImportPkcs12(NewPkcs12(i), kPassword, &imported) != S_OK)
                Fail("import failed");
        }
    }
    ~Fixture()
    {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    std::string home;
};

Fixture& Store()
{
    static Fixture fixture;
    return fixture;
}

void BM_Ours_Reload(benchmark::State& state)
{
    Store();
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return;
    }
    CReaderMgr* readers = nullptr;
    CSingletonFactoryImpl<CReaderMgr>::New(&readers);
    CComObject<CountingSink>* sink = nullptr;
    CComObject<CountingSink>::CreateInstance(&sink);
    sink->AddRef();
    readers->RegisterEventSink(static_cast<ZELK::PSESVC::ISlotEvents*>(sink));
    // The monitor without its notify thread: the store opened as the thread
    // opens it, each reload run here.
    CComObject<CKeychainMonitor>* monitor = nullptr;
    CComObject<CKeychainMonitor>::CreateInstance(&monitor);
    monitor->AddRef();
    if (FAILED(monitor->NotifyThread_Initialize()))
        state.SkipWithError("the key store did not open");
    for (auto _ : state)
        monitor->Reload();
    if (sink->events != static_cast<long>(state.iterations()) * kIdentities)
        state.SkipWithError("not every identity reached the sink");
    state.SetItemsProcessed(state.iterations() * kIdentities);
    monitor->NotifyThread_Finalize();
    monitor->Release();
    readers->UnregisterEventSink(nullptr);
    readers->Release();
    sink->Release();
    ZELK_Finalize();
}
BENCHMARK(BM_Ours_Reload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Peer_Reload(benchmark::State& state)
{
    Store();
    std::unique_ptr<kestrin::keystore::KeyStore> store;
    if (kestrin::keystore::KeyStore::Open({}, &store) != S_OK) {
        state.SkipWithError("the key store did not open");
        return;
    }
    unsigned char digest[SHA_DIGEST_LENGTH];
    for (auto _ : state) {
        std::vector<kestrin::keystore::Identity> identities;
        store->ListIdentities(&identities);
        for (const kestrin::keystore::Identity& identity : identities) {
            SHA1(identity.certificate.data(), identity.certificate.size(), digest);
            benchmark::DoNotOptimize(digest);
        }
    }
    state.SetItemsProcessed(state.iterations() * kIdentities);
}
BENCHMARK(BM_Peer_Reload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(
        kestrin::bench::OursOverPeer({"Reload/real_time"}, "BM_Peer_", "ours / listing and SHA-1 alone"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
