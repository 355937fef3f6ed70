// The trace's dropped levels must stay nearly free: a line at level 3 or 4 may cost at most twice an empty
// call of a function that is not inlined. Both are measured in this run and their ratio is printed at the
// end. Written lines go to a temporary log folder unless CORVANE_LOG_DIR says where.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "RatioReporter.h"
#include "corvane/uldebug.h"

namespace {

__attribute__((noinline)) void EmptyFunction(int n) {
    asm volatile("" : : "r"(n));
}

void BM_EmptyNoinlineCall(benchmark::State& State) {
    int n = 0;
    for (auto _ : State) EmptyFunction(n++);
}
BENCHMARK(BM_EmptyNoinlineCall);

// The level is read from memory on every line, as it would be when it comes from a variable.
void BM_TraceDroppedLevel(benchmark::State& State) {
    UINT nLevel = corvane::TRACE_LEVEL_VERBOSE;
    int n = 0;
    for (auto _ : State) {
        benchmark::DoNotOptimize(nLevel);
        UL_TRACE(nLevel, "nIndex %d\n", n++);
    }
}
BENCHMARK(BM_TraceDroppedLevel);

// Without the macro: a context built by hand and its (out-of-line) Write, which tests the level first.
void BM_TraceDroppedLevelDirectWrite(benchmark::State& State) {
    UINT nLevel = corvane::TRACE_LEVEL_VERBOSE;
    int n = 0;
    const CDebugTraceLocalContext Context(__FILE__, __LINE__, __func__);
    for (auto _ : State) {
        benchmark::DoNotOptimize(nLevel);
        Context.Write(nLevel, "nIndex %d\n", n++);
    }
}
BENCHMARK(BM_TraceDroppedLevelDirectWrite);

// A line that reaches the file: formatting, the log lock and the write.
void BM_TraceWrittenLine(benchmark::State& State) {
    int n = 0;
    for (auto _ : State) UL_TRACE(corvane::TRACE_LEVEL_ERROR, "nIndex %d\n", n++);
}
BENCHMARK(BM_TraceWrittenLine);

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path Folder;
    if (getenv("CORVANE_LOG_DIR") == nullptr) {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "corvane-trace-bench-XXXXXX").string();
        if (mkdtemp(sTemplate.data()) != nullptr) {
            Folder = sTemplate;
            setenv("CORVANE_LOG_DIR", sTemplate.c_str(), 1);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CRatioReporter Reporter("BM_TraceDroppedLevel", "BM_EmptyNoinlineCall",
                            "Dropped trace line / empty non-inlined call", 2);
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    corvane::ResetTraceLog();
    std::error_code ec;
    if (!Folder.empty()) std::filesystem::remove_all(Folder, ec);
    return 0;
}
