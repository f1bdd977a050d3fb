// The one-time-password token beside its peer, in the same run: GetOTP (the
// Base32 reading of the secret, HMAC-SHA-1 through the crypto library and
// the code's text) beside OpenSSL's HMAC() over the same key and counter.
// The closing note gives the ratio ours / peer.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <map>
#include <string>

#include "model/model_clock.h"
#include "model/model_otp.h"
#include "ratio_reporter.h"
#include "zelk_alloc.h"
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

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(kestrin::bench::OursOverPeer({"GetOTP"}));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
