// The benchmarks' reporter: after the usual table, one line "ratio <label>: x"
// for each pair of runs measured in the same process, the first run's time
// over the second's. A pair with a run missing (filtered out) prints nothing.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestrin::bench {

struct RatioPair {
    std::string label;
    std::string ours;
    std::string peer;
};

// "<name> (<note>)" for each name: "BM_Ours_<name>" over "<peerPrefix><name>".
inline std::vector<RatioPair> OursOverPeer(std::initializer_list<const char*> names,
                                           const std::string& peerPrefix = "BM_Peer_",
                                           const std::string& note = "ours / peer")
{
    std::vector<RatioPair> pairs;
    for (const char* name : names)
        pairs.push_back({std::string(name) + " (" + note + ")", std::string("BM_Ours_") + name, peerPrefix + name});
    return pairs;
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<RatioPair> pairs) : m_pairs(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const RatioPair& pair : m_pairs) {
            double ours = m_times[pair.ours];
            double peer = m_times[pair.peer];
            if (ours > 0 && peer > 0)
                std::printf("ratio %s: %.2f\n", pair.label.c_str(), ours / peer);
        }
    }

private:
    std::vector<RatioPair> m_pairs;
    std::map<std::string, double> m_times;
};

// Runs the benchmarks the command line selects with `reporter`.
inline int RunWithRatios(int argc, char** argv, RatioReporter& reporter)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace kestrin::bench
