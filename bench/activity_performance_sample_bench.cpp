// One performance sample, as the system performance check activity takes it every poll (GetPerformanceInfo:
// /proc/meminfo, /proc/sys/fs/file-nr, /proc/loadavg and a count of the processes), beside reading and
// parsing /proc/meminfo alone in the same run. The ratio printed after the table is the figure the aim is
// about (at most 3).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "RatioReporter.h"
#include "comrt/psapi.h"

namespace {

void BM_PerformanceSample(benchmark::State& State) {
    for (auto _ : State) {
        PERFORMANCE_INFORMATION Information;
        std::memset(&Information, 0, sizeof Information);
        if (!GetPerformanceInfo(&Information, sizeof Information)) State.SkipWithError("GetPerformanceInfo failed");
        benchmark::DoNotOptimize(Information);
    }
}
BENCHMARK(BM_PerformanceSample);

void BM_MemInfoAlone(benchmark::State& State) {
    char Buffer[16384];
    for (auto _ : State) {
        const int nFile = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
        const ssize_t cbRead = nFile < 0 ? -1 : read(nFile, Buffer, sizeof Buffer);
        if (nFile >= 0) close(nFile);
        comrt::MemInfo Memory;
        if (cbRead <= 0 || !comrt::ParseMemInfo(std::string_view(Buffer, static_cast<size_t>(cbRead)), &Memory))
            State.SkipWithError("/proc/meminfo unreadable");
        benchmark::DoNotOptimize(Memory);
    }
}
BENCHMARK(BM_MemInfoAlone);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRatioReporter Reporter("BM_PerformanceSample", "BM_MemInfoAlone", "Sample / meminfo alone", 3);
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    return 0;
}
