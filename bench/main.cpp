#include "RatioReporter.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<std::string, std::string>>& ratios() {
    static std::vector<std::pair<std::string, std::string>> pairs;
    return pairs;
}

// Prints as the console reporter does and remembers each run's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
    }
    // Real and CPU time per iteration. On a shared machine the CPU time is the steadier one: it
    // leaves out the time the benchmark thread waited for a core.
    std::map<std::string, std::pair<double, double>> times;
};

} // namespace

bool registerRatio(const std::string& subject, const std::string& baseline) {
    ratios().emplace_back(subject, baseline);
    return true;
}

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    bool header = false;
    for (const auto& [subject, baseline] : ratios()) {
        auto s = reporter.times.find(subject), b = reporter.times.find(baseline);
        if (s == reporter.times.end() || b == reporter.times.end()) continue;
        if (b->second.first <= 0 || b->second.second <= 0) continue;
        if (!header) std::printf("\nRatios (same run, per iteration):%61s %8s\n", "real", "cpu");
        header = true;
        std::printf("  %-44s / %-28s = %8.2f %8.2f\n", subject.c_str(), baseline.c_str(),
                    s->second.first / b->second.first, s->second.second / b->second.second);
    }
    return 0;
}
