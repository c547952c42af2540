// Runs the registered benchmarks and prints chosen pairs of them as ratios, so every
// figure is read against a baseline measured in the same process on the same machine load.
#pragma once

#include <malloc.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace zolt::bench {

struct Ratio {
    std::string label;
    std::string numerator;  // benchmark names as registered
    std::string denominator;
};

class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // CPU time, and the best of the repetitions: the machine is shared, and wall time
        // or a single run would measure the neighbours as much as the code.
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const double t = run.GetAdjustedCPUTime();
            auto [it, fresh] = cpu_.emplace(run.run_name.function_name, t);
            if (!fresh && t < it->second) it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double cpu(const std::string& name) const {
        const auto it = cpu_.find(name);
        return it == cpu_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::string, double> cpu_;
};

inline int run_with_ratios(int argc, char** argv, const std::vector<Ratio>& ratios) {
    // Freed memory stays in the process: otherwise every large result is mapped afresh and
    // the figures measure the kernel's page faults rather than the code.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n%-58s %8s\n", "figure", "ratio");
    for (const Ratio& r : ratios) {
        const double num = reporter.cpu(r.numerator);
        const double den = reporter.cpu(r.denominator);
        if (num <= 0 || den <= 0) continue;  // filtered out on the command line
        std::printf("%-58s %8.2f\n", r.label.c_str(), num / den);
    }
    return 0;
}

}  // namespace zolt::bench
