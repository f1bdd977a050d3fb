// Storing and reading the local-server identity (RSA-2048 key, its
// certificate and the issuing root): the token's Serialize and DeSerialize,
// the second installing into the in-memory token, beside the same PKCS#12
// (same algorithms and iterations) built and parsed by OpenSSL directly, in
// the same run. Key store and preferences live in a temporary home.
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "ratio_reporter.h"
#include "tokens/token_kv_persistent.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelkpse.h"

namespace {

using ZELK::PSESVC::CToken_LocalServer;

constexpr const char* kPassword = "Bench0Password0Of32Characters000";
constexpr int kIterations = 2048;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

X509* Issue(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, bool authority)
{
    X509* x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), authority ? 1 : 2);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x509), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(x509, X509_get_subject_name(issuer != nullptr ? issuer : x509));
    X509_gmtime_adj(X509_getm_notBefore(x509), -60);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x509, x509, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, authority ? NID_basic_constraints : NID_ext_key_usage,
                                              authority ? "critical,CA:TRUE" : "serverAuth");
    X509_add_ext(x509, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(x509, issuerKey, EVP_sha256());
    return x509;
}

Certificate* Library(X509* x509)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    OctetString in {static_cast<uint64_t>(length), der};
    void* out = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&in, &out);
    OPENSSL_free(der);
    return static_cast<Certificate*>(out);
}

KeyInfo* LibraryKey(EVP_PKEY* key)
{
    PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    PKCS8_PRIV_KEY_INFO_free(p8);
    OctetString in {static_cast<uint64_t>(length), der};
    void* out = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PrivateKeyInfo)->decode(&in, &out);
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    auto* record = static_cast<PrivateKeyInfo*>(out);
    if (record == nullptr)
        Fail("no key record");
    auto* info = static_cast<KeyInfo*>(sec_calloc(1, sizeof(KeyInfo)));
    info->algorithm = record->algorithm;
    info->bits = record->privateKey->length * 8;
    info->key = record->privateKey->data;
    record->algorithm = nullptr;
    record->privateKey->data = nullptr;
    record->privateKey->length = 0;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PrivateKeyInfo)->free(record);
    return info;
}

struct Fixture {
    Fixture()
    {
        char pattern[] = "/tmp/kestrin-localserver-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            Fail("no temporary folder");
        dir = pattern;
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (dir + "/etc").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        if (ZELK_Initialize() < 0)
            Fail("the runtime cannot start");
        legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        base = OSSL_PROVIDER_load(nullptr, "default");
        rootKey = EVP_RSA_gen(2048);
        key = EVP_RSA_gen(2048);
        root = Issue(rootKey, "Bench Root", nullptr, rootKey, true);
        own = Issue(key, "localhost", root, rootKey, false);
        chain = sk_X509_new_null();
        sk_X509_push(chain, root);
        libraryKey = LibraryKey(key);
        libraryOwn = Library(own);
        libraryRoot = Library(root);
        if (FAILED(CToken_LocalServer::New(IID_CToken_LocalServer, reinterpret_cast<void**>(&token))))
            Fail("no local-server token");
        SecSlot* slot = nullptr;
        SecToken* memory = nullptr;
        ZELK::PSESVC::ZELKPSE::getSlot(&slot, "toksw:mem://kestrin/Bench");
        if (slot != nullptr)
            slot->getToken(&memory);
        ZELK_IPolicy* policy = nullptr;
        ZELK_PolOpen("profiles/Bench", &policy);
        if (token->InitEx(memory, nullptr, "toksw:mem://kestrin/Bench", nullptr, true, policy, nullptr) != S_OK)
            Fail("the token does not start");
        if (policy)
            policy->Release();
        if (memory)
            memory->Release();
        if (slot)
            slot->Release();
    }
    ~Fixture()
    {
        static_cast<ZELK::PSESVC::CToken*>(token)->Release();
        libraryOwn->Release();
        libraryRoot->Release();
        SEC_TypeTable(fptr__common_types, SEC_TYPE_KeyInfo)->free(libraryKey);
        sk_X509_free(chain);
        X509_free(own);
        X509_free(root);
        EVP_PKEY_free(key);
        EVP_PKEY_free(rootKey);
        OSSL_PROVIDER_unload(legacy);
        OSSL_PROVIDER_unload(base);
        ZELK_Finalize();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string dir;
    OSSL_PROVIDER* legacy = nullptr;
    OSSL_PROVIDER* base = nullptr;
    EVP_PKEY* rootKey = nullptr;
    EVP_PKEY* key = nullptr;
    X509* root = nullptr;
    X509* own = nullptr;
    STACK_OF(X509) * chain = nullptr;
    KeyInfo* libraryKey = nullptr;
    Certificate* libraryOwn = nullptr;
    Certificate* libraryRoot = nullptr;
    CToken_LocalServer* token = nullptr;
};

Fixture& Get()
{
    static Fixture fixture;
    return fixture;
}

void BM_Ours_StoreAndRead(benchmark::State& state)
{
    Fixture& f = Get();
    for (auto _ : state) {
        OctetString* p12 = nullptr;
        if (f.token->Serialize(f.libraryKey, f.libraryOwn, nullptr, f.libraryRoot, &p12) != S_OK
            || f.token->DeSerialize(p12) < 0) {
            state.SkipWithError("store or read failed");
            break;
        }
        SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString)->free(p12);
    }
}

void BM_OpenSSL_StoreAndRead(benchmark::State& state)
{
    Fixture& f = Get();
    for (auto _ : state) {
        PKCS12* p12 =
            PKCS12_create_ex(kPassword, "Hearthgate", f.key, f.own, f.chain, NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                             NID_pbe_WithSHA1And128BitRC4, kIterations, kIterations, 0, nullptr, nullptr);
        unsigned char* der = nullptr;
        const int length = p12 != nullptr ? i2d_PKCS12(p12, &der) : 0;
        PKCS12_free(p12);
        const unsigned char* p = der;
        PKCS12* read = length > 0 ? d2i_PKCS12(nullptr, &p, length) : nullptr;
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        STACK_OF(X509)* cas = nullptr;
        const bool ok = read != nullptr && PKCS12_parse(read, kPassword, &key, &cert, &cas) == 1;
        EVP_PKEY_free(key);
        X509_free(cert);
        sk_X509_pop_free(cas, X509_free);
        PKCS12_free(read);
        OPENSSL_free(der);
        if (!ok) {
            state.SkipWithError("openssl failed");
            break;
        }
    }
}

BENCHMARK(BM_Ours_StoreAndRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSSL_StoreAndRead)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(kestrin::bench::OursOverPeer(
        {"StoreAndRead"}, "BM_OpenSSL_", "Serialize + DeSerialize / OpenSSL PKCS#12 build + parse, RSA-2048"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
