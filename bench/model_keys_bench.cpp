// The models' key operations beside their peers, in the same run: GetOTP
// (the Base32 reading of the secret, HMAC-SHA-1 through the crypto library
// and the code's text) beside OpenSSL's HMAC() over the same key and
// counter; a temporary key's GetCachedSignature after 100, 1,000 and 10,000
// cached signatures beside an unordered_map lookup and copy over as many
// entries (a ratio growing with the entries would be a linear search);
// encryptDigest with a temporary RSA-2048 pair beside EVP_PKEY_sign with
// PKCS#1 v1.5 and SHA-256. The closing note gives the ratios ours / peer.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "model/model_clock.h"
#include "model/model_otp.h"
#include "model/model_tempkeys.h"
#include "ratio_reporter.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();
ZELK_POLICY_CLIENT_BINDING();

namespace {

using namespace ZELK::PSESVC;

const char kSecret[] = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

void BM_Ours_GetOTP(benchmark::State& state)
{
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return;
    }
    ModelClockSet(1111111109);
    CModelTokenOTP* token = nullptr;
    CModelTokenOTP::New(L"bench", kSecret, &token);
    for (auto _ : state) {
        char* code = nullptr;
        if (token->GetOTP(&code, nullptr, nullptr) != S_OK) {
            state.SkipWithError("no code");
            break;
        }
        benchmark::DoNotOptimize(code);
        sec_free(code);
    }
    static_cast<IGUIModel*>(token)->Release();
    ModelClockSet(0);
    ZELK_Finalize();
}
BENCHMARK(BM_Ours_GetOTP);

void BM_Peer_GetOTP(benchmark::State& state)
{
    const unsigned char key[] = "12345678901234567890";
    uint64_t counter = 1111111109 / 30;
    unsigned char message[8];
    for (int i = 7; i >= 0; --i, counter >>= 8)
        message[i] = static_cast<unsigned char>(counter & 0xFF);
    for (auto _ : state) {
        unsigned char mac[20];
        unsigned int length = 0;
        HMAC(EVP_sha1(), key, 20, message, sizeof message, mac, &length);
        benchmark::DoNotOptimize(mac);
    }
}
BENCHMARK(BM_Peer_GetOTP);

std::string Entry(size_t i)
{
    return "handshake digest " + std::to_string(i) + std::string(20, 'x');
}

void BM_Ours_GetCachedSignature(benchmark::State& state)
{
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return;
    }
    const size_t entries = static_cast<size_t>(state.range(0));
    CModelApplicationTempKey* key = nullptr;
    CModelApplicationTempKey::New(L"bench", nullptr, &key);
    const std::string signature(256, 's');
    const auto* sig = reinterpret_cast<const unsigned char*>(signature.data());
    for (size_t i = 0; i < entries; ++i) {
        const std::string d = Entry(i);
        key->SetCachedSignature(reinterpret_cast<const unsigned char*>(d.data()), d.size(), sig, signature.size());
    }
    const std::string wanted = Entry(entries - 1);
    unsigned char out[512];
    for (auto _ : state) {
        unsigned long length = sizeof out;
        if (key->GetCachedSignature(reinterpret_cast<const unsigned char*>(wanted.data()), wanted.size(), out, &length)
            != S_OK) {
            state.SkipWithError("not cached");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    key->Release();
    ZELK_Finalize();
}
BENCHMARK(BM_Ours_GetCachedSignature)->Arg(100)->Arg(1000)->Arg(10000);

void BM_Peer_GetCachedSignature(benchmark::State& state)
{
    const size_t entries = static_cast<size_t>(state.range(0));
    std::unordered_map<std::string, std::string> cache;
    for (size_t i = 0; i < entries; ++i)
        cache.emplace(Entry(i), std::string(256, 's'));
    const std::string wanted = Entry(entries - 1);
    unsigned char out[512];
    for (auto _ : state) {
        auto it = cache.find(wanted);
        std::memcpy(out, it->second.data(), it->second.size());
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Peer_GetCachedSignature)->Arg(100)->Arg(1000)->Arg(10000);

const unsigned char kDigest[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// A library AlgId of a dotted identifier without parameters.
AlgId* NewAlgId(const char* oid)
{
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_ObjId));
    auto* a = static_cast<AlgId*>(sec_calloc(1, sizeof(AlgId)));
    if (a != nullptr && objIds != nullptr)
        objIds->from_text(oid, &a->objid);
    return a;
}

void BM_Ours_EncryptDigest(benchmark::State& state)
{
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return;
    }
    CModelApplicationTempKey* key = nullptr;
    CModelApplicationTempKey::New(L"bench", nullptr, &key);
    SECAttribute request {};
    request.id = SEC_ATTR_TEMP_KEY_ALGORITHM;
    request.value = NewAlgId("1.2.840.113549.1.1.1");
    SECAttribute named {};
    named.id = SEC_ATTR_TEMP_KEY;
    SECAttribute algorithm {};
    algorithm.id = SEC_ATTR_SIGNATURE_ALGORITHM;
    algorithm.value = NewAlgId("1.2.840.113549.1.1.11");
    if (key->getOrCreateKey(&request, &named, false) != S_OK || named.value == nullptr) {
        state.SkipWithError("no pair");
    } else {
        named.next = &algorithm;
        unsigned char out[512];
        for (auto _ : state) {
            unsigned long length = sizeof out;
            if (key->encryptDigest(&named, false, kDigest, sizeof kDigest, out, &length) != S_OK) {
                state.SkipWithError("no signature");
                break;
            }
            benchmark::DoNotOptimize(out);
        }
        named.type->free(named.value);
    }
    SEC_TypeTable(fptr__common_types, SEC_TYPE_AlgId)->free(request.value);
    SEC_TypeTable(fptr__common_types, SEC_TYPE_AlgId)->free(algorithm.value);
    key->Release();
    ZELK_Finalize();
}
BENCHMARK(BM_Ours_EncryptDigest);

void BM_Peer_EncryptDigest(benchmark::State& state)
{
    EVP_PKEY* key = EVP_RSA_gen(2048);
    EVP_PKEY_CTX* ctx = key != nullptr ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    if (ctx == nullptr || EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1
        || EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) != 1) {
        state.SkipWithError("no key");
    } else {
        unsigned char out[512];
        for (auto _ : state) {
            size_t length = sizeof out;
            EVP_PKEY_sign(ctx, out, &length, kDigest, sizeof kDigest);
            benchmark::DoNotOptimize(out);
        }
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}
BENCHMARK(BM_Peer_EncryptDigest);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(kestrin::bench::OursOverPeer(
        {"GetOTP", "GetCachedSignature/100", "GetCachedSignature/1000", "GetCachedSignature/10000", "EncryptDigest"}));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
