// Signing a SHA-256 digest with an RSA-2048 key-store identity through the
// token manager (token URI, keychain token, the crypto library's keychain
// key object), beside the key store's own SignDigest with the same identity,
// in the same run. The key store and the preferences live in a temporary
// home; the runtime loads the crypto library and the policy module.
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "keystore.h"
#include "qev_pse.h"
#include "ratio_reporter.h"
#include "tokens/token_manager.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();

namespace {

using ZELK::PSESVC::CTokenMgr;
namespace ks = kestrin::keystore;

API_COMMON* s_pseTable = nullptr;
CLoadAPI s_loadPseTable(nullptr, "SEC_PSE_1", &s_pseTable);

constexpr const char* kPassword = "secret";
const std::vector<uint8_t> kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

// A self-signed identity of a new RSA-2048 key as a PKCS#12 file.
std::vector<uint8_t> Identity()
{
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 11);
    X509_NAME* subject = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench Signer"), -1,
                               -1, 0);
    X509_set_issuer_name(x509, subject);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    PKCS12* p12 = PKCS12_create(kPassword, "Bench Signer", key, x509, nullptr, 0, 0, 0, 0, 0);
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12, &der);
    std::vector<uint8_t> file(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(x509);
    EVP_PKEY_free(key);
    return file;
}

std::string Hex(const ks::Fingerprint& bytes)
{
    std::string s;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        s += digits;
    }
    return s;
}

struct Fixture {
    Fixture()
    {
        char pattern[] = "/tmp/kestrin-tokenmgr-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            Fail("no temporary folder");
        dir = pattern;
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (dir + "/etc").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        if (ZELK_Initialize() < 0)
            Fail("the runtime cannot start");
        if (FAILED(ks::KeyStore::Open(ks::Options {}, &store)))
            Fail("no key store");
        ks::Pkcs12Import imported;
        if (store->ImportPkcs12(Identity(), kPassword, &imported) != S_OK)
            Fail("import failed");
        fingerprint = imported.identity.sha1;
        uri = "tokkeychain:cert=" + Hex(fingerprint);
        SHA256(reinterpret_cast<const unsigned char*>("benchmark"), 9, digest);
        oid = {kSha256WithRsa.size(), const_cast<uint8_t*>(kSha256WithRsa.data())};
        algorithm = {&oid, nullptr};

        if (s_pseTable == nullptr || ZELK_ApiCast<SEC_PSE_TABLE>(s_pseTable)->getSlot(&slot, uri.c_str()) != S_OK)
            Fail("no keychain slot");
        if (FAILED(CSingletonFactoryImpl<CTokenMgr>::New(&manager)) || manager->CardInsert(slot, false) != S_OK)
            Fail("the token manager holds no keychain token");
        SET_OF_PersonalCertificateInfo* records = nullptr;
        manager->GetPCI(&records, nullptr);
        if (records == nullptr)
            Fail("the keychain token has no own certificate");
        keyId = records->element->keyId;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(records);
    }
    ~Fixture()
    {
        manager->CardRemove(slot);
        manager.Free();
        slot->Release();
        store.reset();
        ZELK_Finalize();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string dir;
    std::unique_ptr<ks::KeyStore> store;
    ks::Fingerprint fingerprint {};
    std::string uri;
    std::string keyId;
    unsigned char digest[32];
    ObjId oid {};
    AlgId algorithm {};
    SecSlot* slot = nullptr;
    AuxRefPtr<CTokenMgr> manager;
};

Fixture& Get()
{
    static Fixture fixture;
    return fixture;
}

void BM_Ours_Sign(benchmark::State& state)
{
    Fixture& f = Get();
    unsigned char signature[512];
    for (auto _ : state) {
        unsigned long length = sizeof signature;
        if (f.manager->Sign(f.uri.c_str(), f.keyId.c_str(), &f.algorithm, true, f.digest, sizeof f.digest, signature,
                            &length, nullptr)
            != S_OK) {
            state.SkipWithError("sign failed");
            break;
        }
        benchmark::DoNotOptimize(signature);
    }
}

void BM_KeyStore_Sign(benchmark::State& state)
{
    Fixture& f = Get();
    std::vector<uint8_t> signature;
    for (auto _ : state) {
        if (f.store->SignDigest(f.fingerprint, ks::Digest::Sha256, ks::SignPadding::Pkcs1, f.digest, &signature)
            != S_OK) {
            state.SkipWithError("key store sign failed");
            break;
        }
        benchmark::DoNotOptimize(signature.data());
    }
}

BENCHMARK(BM_Ours_Sign);
BENCHMARK(BM_KeyStore_Sign);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(
        kestrin::bench::OursOverPeer({"Sign"}, "BM_KeyStore_", "token manager / key store, RSA-2048 SHA-256 digest"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
