// Signing through the crypto library's keychain private-key object (RSA-2048
// and P-256, a SHA-256 digest) beside EVP_PKEY_sign with the same key, and
// opening plus login of the PSE file "pse.zip" beside PKCS12_parse of the
// same file, in the same run. The key store and the PSE folder live in a
// temporary XDG_DATA_HOME. The ratios (ours / OpenSSL) close the output.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "keystore.h"
#include "qev_pse.h"
#include "qev_token.h"
#include "ratio_reporter.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr const char* kPassword = "secret";

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

SEC_FUNCTION_LIST* Library()
{
    static SEC_FUNCTION_LIST* list = [] {
        char path[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        std::string folder = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("./x");
        folder = folder.substr(0, folder.rfind('/'));
        void* handle = dlopen((folder + "/../lib/libqevcrypto.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList =
            handle ? reinterpret_cast<CRYPTOLIB_GET_F_LIST_FN>(dlsym(handle, "cryptolib_get_f_list")) : nullptr;
        SEC_FUNCTION_LIST* l = nullptr;
        if (getList == nullptr || getList(0, nullptr, &l, nullptr, "", 0) != S_OK)
            Fail("the crypto library cannot be loaded");
        return l;
    }();
    return list;
}

const SEC_PSE_TABLE* PseTable()
{
    API_COMMON* table = nullptr;
    if (Library()->get_api(nullptr, "SEC_PSE_1", &table) != S_OK)
        Fail("no SEC_PSE_1");
    return ZELK_ApiCast<SEC_PSE_TABLE>(table);
}

// A self-signed certificate of the key, and both in a PKCS#12 file.
Bytes Pkcs12Of(EVP_PKEY* key, const char* name, Bytes* certificate)
{
    X509* x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 7);
    X509_NAME* subject = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(x509, subject);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    unsigned char* der = nullptr;
    int length = i2d_X509(x509, &der);
    certificate->assign(der, der + length);
    OPENSSL_free(der);
    PKCS12* p12 = PKCS12_create(kPassword, name, key, x509, nullptr, 0, 0, 0, 0, 0);
    der = nullptr;
    length = i2d_PKCS12(p12, &der);
    Bytes file(der, der + length);
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(x509);
    return file;
}

std::string Hex(const unsigned char* bytes, size_t length)
{
    std::string s;
    char digits[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        s += digits;
    }
    return s;
}

struct Identity {
    EVP_PKEY* key = nullptr;
    Bytes p12;
    SecSlot* slot = nullptr;
    SecToken* token = nullptr;
    TokenObjectPrivateKey* object = nullptr;
    AlgId algorithm {};
    ObjId oid {};
    Bytes oidBytes;
};

struct Fixture {
    Fixture()
    {
        char tmpl[] = "/tmp/qevbench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            Fail("no temporary folder");
        home = tmpl;
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        if (kestrin::keystore::KeyStore::Open({}, &store) != S_OK)
            Fail("no key store");
        Add(store.get(), "rsa", EVP_RSA_gen(2048), {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b});
        Add(store.get(), "ec", EVP_EC_gen("P-256"), {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02});
        SHA256(reinterpret_cast<const unsigned char*>("benchmark"), 9, digest);
        std::filesystem::create_directories(home + "/kestrin");
        pseFile = identities["rsa"].p12;
        std::ofstream(home + "/kestrin/pse.zip", std::ios::binary)
            .write(reinterpret_cast<const char*>(pseFile.data()), static_cast<std::streamsize>(pseFile.size()));
    }
    ~Fixture()
    {
        for (auto& [name, i] : identities) {
            if (i.object != nullptr)
                i.object->Release();
            if (i.token != nullptr)
                i.token->Release();
            if (i.slot != nullptr)
                i.slot->Release();
            EVP_PKEY_free(i.key);
        }
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }

    void Add(kestrin::keystore::KeyStore* store, const std::string& name, EVP_PKEY* key, Bytes oid)
    {
        Identity& i = identities[name];
        i.key = key;
        Bytes certificate;
        i.p12 = Pkcs12Of(key, name.c_str(), &certificate);
        kestrin::keystore::Pkcs12Import imported;
        if (store->ImportPkcs12(i.p12, kPassword, &imported) != S_OK)
            Fail("import failed");
        std::string slotName = "tokkeychain:cert=" + Hex(imported.identity.sha1.data(), 20);
        TokenObject* object = nullptr;
        unsigned long count = 1;
        if (PseTable()->getSlot(&i.slot, slotName.c_str()) != S_OK || i.slot->getToken(&i.token) != S_OK
            || i.token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr) != S_OK || count != 1) {
            Fail("no keychain key object");
        }
        i.object = reinterpret_cast<TokenObjectPrivateKey*>(object);
        i.oidBytes = std::move(oid);
        i.oid = {i.oidBytes.size(), i.oidBytes.data()};
        i.algorithm = {&i.oid, nullptr};
    }

    std::string home;
    std::map<std::string, Identity> identities;
    unsigned char digest[32];
    Bytes pseFile;
};

Fixture& Data()
{
    static Fixture f;
    return f;
}

void BM_Ours_Sign(benchmark::State& state, const char* name)
{
    Identity& i = Data().identities[name];
    unsigned char signature[512];
    for (auto _ : state) {
        unsigned long length = sizeof signature;
        if (i.object->sign(&i.algorithm, 1, Data().digest, 32, signature, &length, nullptr) != S_OK)
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(signature);
    }
}

void BM_OpenSSL_Sign(benchmark::State& state, const char* name)
{
    Identity& i = Data().identities[name];
    unsigned char signature[512];
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(i.key, nullptr);
        size_t length = sizeof signature;
        if (EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) != 1
            || EVP_PKEY_sign(ctx, signature, &length, Data().digest, 32) != 1) {
            state.SkipWithError("EVP_PKEY_sign failed");
        }
        EVP_PKEY_CTX_free(ctx);
        benchmark::DoNotOptimize(signature);
    }
}

void BM_Ours_PseOpenLogin(benchmark::State& state)
{
    Data();
    for (auto _ : state) {
        PSE* pse = nullptr;
        if (PseTable()->create_PSE(&pse, nullptr, nullptr) != S_OK
            || pse->loginWithPassword(nullptr, reinterpret_cast<const unsigned char*>(kPassword), 6) != S_OK) {
            state.SkipWithError("open and login failed");
            break;
        }
        pse->Release();
    }
}

void BM_OpenSSL_PseOpenLogin(benchmark::State& state)
{
    const Bytes& file = Data().pseFile;
    for (auto _ : state) {
        const unsigned char* p = file.data();
        PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(file.size()));
        EVP_PKEY* key = nullptr;
        X509* certificate = nullptr;
        STACK_OF(X509)* chain = nullptr;
        if (p12 == nullptr || PKCS12_parse(p12, kPassword, &key, &certificate, &chain) != 1)
            state.SkipWithError("PKCS12_parse failed");
        EVP_PKEY_free(key);
        X509_free(certificate);
        sk_X509_pop_free(chain, X509_free);
        PKCS12_free(p12);
    }
}

BENCHMARK_CAPTURE(BM_Ours_Sign, Rsa2048, "rsa");
BENCHMARK_CAPTURE(BM_OpenSSL_Sign, Rsa2048, "rsa");
BENCHMARK_CAPTURE(BM_Ours_Sign, P256, "ec");
BENCHMARK_CAPTURE(BM_OpenSSL_Sign, P256, "ec");
BENCHMARK(BM_Ours_PseOpenLogin);
BENCHMARK(BM_OpenSSL_PseOpenLogin);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(
        kestrin::bench::OursOverPeer({"Sign/Rsa2048", "Sign/P256", "PseOpenLogin"}, "BM_OpenSSL_", "ours / OpenSSL"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
