// The console output of a benchmark program, followed by the ratio of two of its benchmarks measured in the
// same run: the figure each benchmark's limit is about.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class CRatioReporter : public benchmark::ConsoleReporter {
public:
    // Prints "<sLabel>: <ours / peer> (limit <fLimit>)" after the table.
    CRatioReporter(std::string sOurs, std::string sPeer, std::string sLabel, double fLimit)
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {
        AddRatio(std::move(sOurs), std::move(sPeer), std::move(sLabel), fLimit);
    }
    // One more ratio line, for a program whose benchmarks pair up more than once.
    void AddRatio(std::string sOurs, std::string sPeer, std::string sLabel, double fLimit) {
        m_Ratios.push_back({std::move(sOurs), std::move(sPeer), std::move(sLabel), fLimit});
    }
    // The aggregate of repeated benchmarks the ratios take ("mean" unless told, or "median").
    void UseAggregate(std::string sAggregate) { m_sAggregate = std::move(sAggregate); }

    void ReportRuns(const std::vector<Run>& Runs) override {
        // Single runs, or the chosen aggregate when the benchmarks are repeated.
        for (const Run& run : Runs)
            if (!run.error_occurred && (run.run_type == Run::RT_Iteration || run.aggregate_name == m_sAggregate))
                m_Times[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(Runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Ratio& ratio : m_Ratios) {
            const auto itOurs = m_Times.find(ratio.sOurs);
            const auto itPeer = m_Times.find(ratio.sPeer);
            if (itOurs == m_Times.end() || itPeer == m_Times.end() || itPeer->second <= 0) continue;
            std::printf("%s: %.2f (limit %g)\n", ratio.sLabel.c_str(), itOurs->second / itPeer->second, ratio.fLimit);
        }
    }

private:
    struct Ratio {
        std::string sOurs, sPeer, sLabel;
        double fLimit;
    };
    std::vector<Ratio> m_Ratios;
    std::map<std::string, double> m_Times;
    std::string m_sAggregate = "mean";
};
