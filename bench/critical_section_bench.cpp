// An uncontended Lock and Unlock of the critical section against std::recursive_mutex in the same run
// (limit 2, aim 1.3), and the recursive re-entry of a held section.
#include <benchmark/benchmark.h>

#include <mutex>

#include "RatioReporter.h"
#include "corvane/ulcriticalsection.h"

namespace {

void BM_RecursiveMutexLockUnlock(benchmark::State& State) {
    std::recursive_mutex Mutex;
    for (auto _ : State) {
        Mutex.lock();
        benchmark::ClobberMemory();
        Mutex.unlock();
    }
}
BENCHMARK(BM_RecursiveMutexLockUnlock);

void BM_CriticalSectionLockUnlock(benchmark::State& State) {
    CUlCriticalSection Section;
    for (auto _ : State) {
        Section.Lock();
        benchmark::ClobberMemory();
        Section.Unlock();
    }
}
BENCHMARK(BM_CriticalSectionLockUnlock);

void BM_CriticalSectionNestedLockUnlock(benchmark::State& State) {
    CUlCriticalSection Section;
    Section.Lock();
    for (auto _ : State) {
        Section.Lock();
        benchmark::ClobberMemory();
        Section.Unlock();
    }
    Section.Unlock();
}
BENCHMARK(BM_CriticalSectionNestedLockUnlock);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CRatioReporter Reporter("BM_CriticalSectionLockUnlock", "BM_RecursiveMutexLockUnlock",
                            "Critical section / std::recursive_mutex, uncontended lock and unlock", 2);
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    return 0;
}
