// A console reporter that closes the output with the ratio of each of our
// benchmarks "BM_Ours_<case>" to its peer "BM_OpenSSL_<case>" of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestrin::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // `cases` are the names after the prefixes; `note` follows "ours / OpenSSL".
    RatioReporter(std::vector<std::string> cases, std::string note) : m_cases(std::move(cases)), m_note(std::move(note))
    {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const std::string& what : m_cases) {
            const double ours = m_times["BM_Ours_" + what];
            const double peer = m_times["BM_OpenSSL_" + what];
            if (ours > 0 && peer > 0)
                std::printf("ratio %s (ours / OpenSSL%s): %.2f\n", what.c_str(), m_note.c_str(), ours / peer);
        }
    }

private:
    std::vector<std::string> m_cases;
    std::string m_note;
    std::map<std::string, double> m_times;
};

// Runs the benchmarks the command line selects through `reporter`.
inline int RunWithRatios(int argc, char** argv, RatioReporter& reporter)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace kestrin::bench
