// The trust store's membership question with the key-store provider over 150
// trusted roots, beside a lookup in an OpenSSL X509_STORE built once over
// the same roots. The key store and the preferences live in a temporary
// home; the runtime loads the crypto library and the policy module.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "keystore.h"
#include "ratio_reporter.h"
#include "tokens/trust.h"
#include "tokens/trust_keychain.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();

namespace {

using ZELK::PSESVC::CTrust;
using ZELK::PSESVC::CTrustKeychain;

constexpr int kRoots = 150;

X509* MakeRoot(EVP_PKEY* key, int serial)
{
    X509* x509 = X509_new();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), serial);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400L * 30);
    X509_NAME* name = X509_NAME_new();
    const std::string cn = "Bench Root " + std::to_string(serial);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                               0);
    X509_set_subject_name(x509, name);
    X509_set_issuer_name(x509, name);
    X509_NAME_free(name);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    return x509;
}

std::vector<uint8_t> Der(X509* x509)
{
    unsigned char* der = nullptr;
    int length = i2d_X509(x509, &der);
    std::vector<uint8_t> bytes(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return bytes;
}

struct Fixture {
    Fixture()
    {
        char pattern[] = "/tmp/kestrin-trust-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::exit(1);
        dir = pattern;
        std::filesystem::create_directories(dir + "/anchors");
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (dir + "/etc").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        CTrustKeychain::SetSystemAnchors(dir + "/anchors");
        if (ZELK_Initialize() < 0) {
            std::fprintf(stderr, "the runtime cannot start\n");
            std::exit(1);
        }
        std::unique_ptr<kestrin::keystore::KeyStore> keystore;
        if (FAILED(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &keystore)))
            std::exit(1);
        EVP_PKEY* key = EVP_EC_gen("P-256");
        store = X509_STORE_new();
        X509* last = nullptr;
        for (int i = 1; i <= kRoots; ++i) {
            X509* root = MakeRoot(key, i);
            keystore->SetTrustSetting(kestrin::keystore::TrustDomain::User, Der(root),
                                      kestrin::keystore::TrustSetting::Trusted);
            X509_STORE_add_cert(store, root);
            if (last)
                X509_free(last);
            last = root;
        }
        EVP_PKEY_free(key);
        // The last root, decoded apart: every trusted certificate is passed.
        const std::vector<uint8_t> der = Der(last);
        OctetString bytes {der.size(), const_cast<uint8_t*>(der.data())};
        void* decoded = nullptr;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&bytes, &decoded);
        probe = static_cast<Certificate*>(decoded);
        wanted = X509_OBJECT_new();
        X509_OBJECT_set1_X509(wanted, last);
        X509_free(last);
        if (FAILED(CSingletonFactoryImpl<CTrust>::New(&trust)) || probe == nullptr
            || trust->isInTrustedCerts(probe) != 1) {
            std::fprintf(stderr, "the trust store does not trust the roots\n");
            std::exit(1);
        }
    }
    ~Fixture()
    {
        X509_OBJECT_free(wanted);
        X509_STORE_free(store);
        probe->Release();
        trust.Free();
        ZELK_Finalize();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string dir;
    X509_STORE* store = nullptr;
    X509_OBJECT* wanted = nullptr;
    Certificate* probe = nullptr;
    AuxRefPtr<CTrust> trust;
};

Fixture& Get()
{
    static Fixture fixture;
    return fixture;
}

void BM_Ours_isInTrustedCerts(benchmark::State& state)
{
    Fixture& f = Get();
    for (auto _ : state)
        benchmark::DoNotOptimize(f.trust->isInTrustedCerts(f.probe));
}

void BM_OpenSSL_isInTrustedCerts(benchmark::State& state)
{
    Fixture& f = Get();
    for (auto _ : state)
        benchmark::DoNotOptimize(X509_OBJECT_retrieve_match(X509_STORE_get0_objects(f.store), f.wanted));
}

BENCHMARK(BM_Ours_isInTrustedCerts);
BENCHMARK(BM_OpenSSL_isInTrustedCerts);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(kestrin::bench::OursOverPeer(
        {"isInTrustedCerts"}, "BM_OpenSSL_", "ours / OpenSSL X509_STORE lookup, " + std::to_string(kRoots) + " roots"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
