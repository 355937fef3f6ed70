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
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular),
          m_sOurs(std::move(sOurs)),
          m_sPeer(std::move(sPeer)),
          m_sLabel(std::move(sLabel)),
          m_fLimit(fLimit) {}

    void ReportRuns(const std::vector<Run>& Runs) override {
        // Single runs, or the mean when the benchmarks are repeated.
        for (const Run& run : Runs)
            if (!run.error_occurred && (run.run_type == Run::RT_Iteration || run.aggregate_name == "mean"))
                m_Times[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(Runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto itOurs = m_Times.find(m_sOurs);
        const auto itPeer = m_Times.find(m_sPeer);
        if (itOurs == m_Times.end() || itPeer == m_Times.end() || itPeer->second <= 0) return;
        std::printf("%s: %.2f (limit %g)\n", m_sLabel.c_str(), itOurs->second / itPeer->second, m_fLimit);
    }

private:
    std::map<std::string, double> m_Times;
    std::string m_sOurs, m_sPeer, m_sLabel;
    double m_fLimit;
};
