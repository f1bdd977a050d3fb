// Pushing a client-policy document of 2,000 values (100 entries of 10 texts
// and 10 numbers; also 500 values in 25 entries, to show how it grows) into the user's plist store through
// "zelk.kvlogin.policy", beside writing the same values with SetString and SetDWORD directly. Both write through the
// policy store, which saves the plist on every change, so the ratio shows what the document's parse and walk add; the
// direct run's time per value also shows whether saving per write grows with the store. The closing note gives ours /
// peer.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "ratio_reporter.h"
#include "zelk_class.h"
#include "zelk_kestrin.h"
#include "zelk_kestrin_policy.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"

ZELK_POLICY_CLIENT_BINDING();

namespace {

constexpr int kValuesPerKind = 10;

bool StartRuntime()
{
    static const bool started = [] {
        char pattern[] = "/tmp/kestrin-policy-bench-XXXXXX";
        const char* home = mkdtemp(pattern);
        if (home == nullptr)
            return false;
        setenv("XDG_CONFIG_HOME", home, 1);
        setenv("XDG_CONFIG_DIRS", (std::string(home) + "/system").c_str(), 1);
        setenv("XDG_DATA_HOME", home, 1);
        return ZELK_Initialize() == S_OK;
    }();
    return started;
}

std::string Text(int entry, int value, int round)
{
    return "value " + std::to_string(entry) + "." + std::to_string(value) + " of round " + std::to_string(round);
}

// The document of one round: every value differs from the last round's, so
// each push writes all of them.
std::string Document(int entriesCount, int round)
{
    std::string entries;
    for (int e = 0; e < entriesCount; ++e) {
        entries += "<entry name=\"e" + std::to_string(e) + "\"><attributes>";
        for (int v = 0; v < kValuesPerKind; ++v) {
            entries +=
                "<attribute name=\"s" + std::to_string(v) + "\" type=\"string\" value=\"" + Text(e, v, round) + "\"/>";
            entries += "<attribute name=\"n" + std::to_string(v) + "\" type=\"integer\" value=\""
                       + std::to_string(round * 1000 + v) + "\"/>";
        }
        entries += "</attributes></entry>";
    }
    return "<?xml version=\"1.0\"?><kestrin.client.policy name=\"Bench\"><bench><machine><list>" + entries
           + "</list></machine></bench></kestrin.client.policy>";
}

void BM_Ours_PolicyPush(benchmark::State& state)
{
    const int entriesCount = static_cast<int>(state.range(0));
    if (!StartRuntime())
        return state.SkipWithError("runtime");
    IKestrinPolicy* downloader = nullptr;
    if (ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_POLICY_CLASS, IID_IKestrinPolicy,
                          reinterpret_cast<void**>(&downloader))
        != S_OK)
        return state.SkipWithError("downloader");
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string document = Document(entriesCount, ++round);
        OctetString bytes {document.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(document.data()))};
        state.ResumeTiming();
        if (downloader->ImportPolicy(&bytes, 2, "user") != S_OK)
            state.SkipWithError("push");
    }
    downloader->Release();
    state.SetItemsProcessed(state.iterations() * entriesCount * kValuesPerKind * 2);
}
BENCHMARK(BM_Ours_PolicyPush)->Arg(25)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_Peer_PolicyPush(benchmark::State& state)
{
    const int entriesCount = static_cast<int>(state.range(0));
    if (!StartRuntime())
        return state.SkipWithError("runtime");
    int round = 0;
    for (auto _ : state) {
        ++round;
        for (int e = 0; e < entriesCount; ++e) {
            ZELK_IPolicy* entry = nullptr;
            const std::string path = "groups/user/bench/list/e" + std::to_string(e);
            if (ZELK_PolOpen(path.c_str(), &entry) != S_OK)
                return state.SkipWithError("open");
            for (int v = 0; v < kValuesPerKind; ++v) {
                entry->SetString(("s" + std::to_string(v)).c_str(), Text(e, v, round).c_str());
                entry->SetDWORD(("n" + std::to_string(v)).c_str(), static_cast<unsigned>(round * 1000 + v));
            }
            entry->SetString("UserProfileGroup", "Bench");
            ZELK_PolClose(&entry);
        }
    }
    state.SetItemsProcessed(state.iterations() * entriesCount * kValuesPerKind * 2);
}
BENCHMARK(BM_Peer_PolicyPush)->Arg(25)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(kestrin::bench::OursOverPeer({"PolicyPush/25", "PolicyPush/100"}));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
