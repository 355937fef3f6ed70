// The timed event daemon under load: 1,000 periodic events of 10 ms on one daemon for a few seconds (5 by
// default, --seconds=N), in two cases: aligned (all set at once, so that they fall due together) and
// spread (set one after another over one period, so that their due times are spread evenly over it).
// Printed for each: the median and 99th percentile of the firings' lateness, the firings achieved against
// the nominal count, and the CPU time of the timer thread, then the daemon's figures as multiples of the
// peer's. The peer is a minimal timer thread over a binary heap and a condition variable with nanosecond
// due times, run on the same load in the same run with the same period rule (from the start of one firing
// to the start of the next). Then Google Benchmark measures SetEvent plus KillEvent on a daemon holding
// 1,000 events, and starting 1,000 to 10,000 events (setting them until the daemon has taken them all in,
// back to back and one by one), whose growth it fits.
//
// Lateness of a firing is the time from its due instant to the start of its procedure. For the daemon the
// due instant is the moment the millisecond tick counter reaches the due tick (the previous firing's start
// tick plus the period), so its figures include the counter's granularity, as its users see it.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "corvane/ultimedevent.h"

namespace {

constexpr int EVENT_COUNT = 1000;
constexpr DWORD PERIOD_MILLISECONDS = 10;
constexpr std::int64_t NANOSECONDS_PER_MILLISECOND = 1000000;

std::int64_t MonotonicNanoseconds() noexcept {
    timespec Time{};
    clock_gettime(CLOCK_MONOTONIC, &Time);
    return static_cast<std::int64_t>(Time.tv_sec) * 1000000000 + Time.tv_nsec;
}

std::int64_t ThreadCpuNanoseconds() noexcept {
    timespec Time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Time);
    return static_cast<std::int64_t>(Time.tv_sec) * 1000000000 + Time.tv_nsec;
}

struct Results {
    std::vector<std::int64_t> Lateness;  // nanoseconds, one per firing; touched by the timer thread only
    std::int64_t nCpuStart = 0;
    std::int64_t nCpuEnd = 0;
};

// What one run gave: lateness in milliseconds, CPU in percent of a core.
struct Summary {
    double fMedian = 0;
    double fP99 = 0;
    double fCpu = 0;
};

Summary Print(const char* pszName, Results& r, double fSeconds) {
    std::sort(r.Lateness.begin(), r.Lateness.end());
    const std::size_t n = r.Lateness.size();
    if (n == 0) {
        std::printf("%-36s no firings\n", pszName);
        return {};
    }
    Summary s;
    s.fMedian = static_cast<double>(r.Lateness[n / 2]) / 1e6;
    s.fP99 = static_cast<double>(r.Lateness[std::min(n - 1, n * 99 / 100)]) / 1e6;
    const double fMax = static_cast<double>(r.Lateness.back()) / 1e6;
    const double fNominal = EVENT_COUNT * fSeconds * 1000.0 / PERIOD_MILLISECONDS;
    const double fCpu = static_cast<double>(r.nCpuEnd - r.nCpuStart) / 1e6;
    s.fCpu = fCpu / (fSeconds * 10.0);
    std::printf(
        "%-36s firings %zu (%.1f%% of nominal)  lateness median %.3f ms, p99 %.3f ms, max %.3f ms  "
        "thread CPU %.1f ms in %.1f s (%.1f%% of a core)\n",
        pszName, n, 100.0 * static_cast<double>(n) / fNominal, s.fMedian, s.fP99, fMax, fCpu, fSeconds, s.fCpu);
    return s;
}

void PrintRatios(const char* pszCase, const Summary& Daemon, const Summary& Peer) {
    auto Ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("%-36s CPU %.2f, lateness median %.2f, p99 %.2f (times the peer's)\n", pszCase,
                Ratio(Daemon.fCpu, Peer.fCpu), Ratio(Daemon.fMedian, Peer.fMedian), Ratio(Daemon.fP99, Peer.fP99));
}

// The start instants of the events: all at once (aligned), or one period spread evenly over the events.
// Returns when event i may be set, spinning: a sleep would not be fine enough for 10 µs steps.
void WaitForStart(bool bSpread, std::int64_t nFirstStart, int i) {
    if (!bSpread) return;
    const std::int64_t nStart = nFirstStart + PERIOD_MILLISECONDS * NANOSECONDS_PER_MILLISECOND * i / EVENT_COUNT;
    while (MonotonicNanoseconds() < nStart) {
    }
}

// The daemon

struct DaemonEvent {
    Results* pResults;
    std::int64_t nPreviousStartMilliseconds;  // the tick the previous firing started at, on the monotonic clock
};

void DaemonProc(std::uintptr_t, std::uintptr_t, std::uintptr_t nParameter, std::uintptr_t, std::uintptr_t) {
    auto* pEvent = reinterpret_cast<DaemonEvent*>(nParameter);
    const std::int64_t nNow = MonotonicNanoseconds();
    const std::int64_t nDue = (pEvent->nPreviousStartMilliseconds + PERIOD_MILLISECONDS) * NANOSECONDS_PER_MILLISECOND;
    pEvent->pResults->Lateness.push_back(nNow - nDue);
    // The daemon took the firing's start tick just before calling; the counter counts whole milliseconds of
    // the same clock (its origin is not moved here).
    pEvent->nPreviousStartMilliseconds = nNow / NANOSECONDS_PER_MILLISECOND;
}

void ProbeCpu(std::uintptr_t, std::uintptr_t, std::uintptr_t nParameter, std::uintptr_t, std::uintptr_t) {
    __atomic_store_n(reinterpret_cast<std::int64_t*>(nParameter), ThreadCpuNanoseconds(), __ATOMIC_RELEASE);
}

Summary RunDaemon(double fSeconds, bool bSpread) {
    Results r;
    r.Lateness.reserve(static_cast<std::size_t>(EVENT_COUNT * fSeconds * 110.0));
    CObjectPtrT<CTimedEventDaemon> pDaemon;
    pDaemon.Construct();
    pDaemon->Initialize();

    std::vector<DaemonEvent> Events(EVENT_COUNT, DaemonEvent{&r, 0});
    std::vector<std::uintptr_t> Identifiers(EVENT_COUNT, 0);
    std::uintptr_t nProbe = 0;
    pDaemon->SetEvent(0, &ProbeCpu, reinterpret_cast<std::uintptr_t>(&r.nCpuStart), 0, &nProbe);
    const std::int64_t nFirstStart = MonotonicNanoseconds();
    for (int i = 0; i < EVENT_COUNT; ++i) {
        WaitForStart(bSpread, nFirstStart, i);
        Events[i].nPreviousStartMilliseconds = MonotonicNanoseconds() / NANOSECONDS_PER_MILLISECOND;
        pDaemon->SetEvent(PERIOD_MILLISECONDS, &DaemonProc, reinterpret_cast<std::uintptr_t>(&Events[i]),
                          CTimedEventDaemon::TIMED_EVENT_PERIODIC, &Identifiers[i]);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(fSeconds));
    std::uintptr_t nEndProbe = 0;
    pDaemon->SetEvent(0, &ProbeCpu, reinterpret_cast<std::uintptr_t>(&r.nCpuEnd), 0, &nEndProbe);
    while (__atomic_load_n(&r.nCpuEnd, __ATOMIC_ACQUIRE) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (std::uintptr_t nEvent : Identifiers) pDaemon->KillEvent(nEvent);
    pDaemon->KillEvent(nProbe);
    pDaemon->KillEvent(nEndProbe);
    pDaemon->Terminate(INFINITE, false);
    pDaemon.Release();
    return Print(bSpread ? "CTimedEventDaemon, spread" : "CTimedEventDaemon, aligned", r, fSeconds);
}

// The peer: a heap of due times and one thread.

class CHeapTimer {
public:
    using Procedure = void (*)(void* pParameter);

    explicit CHeapTimer(Results& r) : m_Results(r), m_Thread([this] { Run(); }) {}
    ~CHeapTimer() {
        {
            std::lock_guard Lock(m_Lock);
            m_bStop = true;
        }
        m_Changed.notify_one();
        m_Thread.join();
    }

    void Add(std::int64_t nPeriod) {
        std::lock_guard Lock(m_Lock);
        m_Due.push({MonotonicNanoseconds() + nPeriod, nPeriod});
        m_Changed.notify_one();
    }

private:
    struct Entry {
        std::int64_t nDue;
        std::int64_t nPeriod;
        bool operator>(const Entry& Other) const noexcept { return nDue > Other.nDue; }
    };

    void Run() {
        m_Results.nCpuStart = ThreadCpuNanoseconds();
        std::unique_lock Lock(m_Lock);
        while (!m_bStop) {
            if (m_Due.empty()) {
                m_Changed.wait(Lock);
                continue;
            }
            const Entry Next = m_Due.top();
            const std::int64_t nNow = MonotonicNanoseconds();
            if (Next.nDue > nNow) {
                m_Changed.wait_for(Lock, std::chrono::nanoseconds(Next.nDue - nNow));
                continue;
            }
            m_Due.pop();
            Lock.unlock();
            const std::int64_t nStart = MonotonicNanoseconds();
            m_Results.Lateness.push_back(nStart - Next.nDue);
            Lock.lock();
            m_Due.push({nStart + Next.nPeriod, Next.nPeriod});
        }
        m_Results.nCpuEnd = ThreadCpuNanoseconds();
    }

    Results& m_Results;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> m_Due;
    bool m_bStop = false;
    std::thread m_Thread;
};

Summary RunPeer(double fSeconds, bool bSpread) {
    Results r;
    r.Lateness.reserve(static_cast<std::size_t>(EVENT_COUNT * fSeconds * 110.0));
    {
        CHeapTimer Timer(r);
        const std::int64_t nFirstStart = MonotonicNanoseconds();
        for (int i = 0; i < EVENT_COUNT; ++i) {
            WaitForStart(bSpread, nFirstStart, i);
            Timer.Add(PERIOD_MILLISECONDS * NANOSECONDS_PER_MILLISECOND);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(fSeconds));
    }
    return Print(bSpread ? "peer: heap + condition var, spread" : "peer: heap + condition var, aligned", r, fSeconds);
}

// SetEvent and KillEvent on a daemon with 1,000 events waiting.

void NoOp(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {}

void BM_SetAndKillEvent(benchmark::State& State) {
    CObjectPtrT<CTimedEventDaemon> pDaemon;
    pDaemon.Construct();
    pDaemon->Initialize();
    std::vector<std::uintptr_t> Waiting(EVENT_COUNT, 0);
    for (std::uintptr_t& nEvent : Waiting) pDaemon->SetEvent(3600000, &NoOp, 0, 0, &nEvent);
    for (auto _ : State) {
        std::uintptr_t nEvent = 0;
        pDaemon->SetEvent(3600000, &NoOp, 0, CTimedEventDaemon::TIMED_EVENT_PERIODIC, &nEvent);
        pDaemon->KillEvent(nEvent);
    }
    for (std::uintptr_t nEvent : Waiting) pDaemon->KillEvent(nEvent);
    pDaemon->Terminate(INFINITE, false);
}
BENCHMARK(BM_SetAndKillEvent)->UseRealTime();

// Starting n events: setting them until the daemon has taken them all in (a last event of no delay has
// fired, so that work the daemon does after each change counts too). Set back to back, or one by one with
// a few microseconds of other work between them, as activities start (then the daemon sees each change
// on its own). Printed besides the time: the daemon thread's CPU time for the start. Killing is not timed.

// The daemon thread's CPU time so far, read on that thread by an event of no delay.
std::int64_t DaemonCpuNanoseconds(CTimedEventDaemon* pDaemon) {
    std::int64_t nCpu = 0;
    std::uintptr_t nEvent = 0;
    pDaemon->SetEvent(0, &ProbeCpu, reinterpret_cast<std::uintptr_t>(&nCpu), 0, &nEvent);
    while (__atomic_load_n(&nCpu, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
    pDaemon->KillEvent(nEvent);
    return nCpu;
}

void StartEvents(benchmark::State& State, std::int64_t nGapNanoseconds) {
    const std::size_t nCount = static_cast<std::size_t>(State.range(0));
    CObjectPtrT<CTimedEventDaemon> pDaemon;
    pDaemon.Construct();
    pDaemon->Initialize();
    std::vector<std::uintptr_t> Events(nCount, 0);
    std::int64_t nDaemonCpu = 0;
    for (auto _ : State) {
        State.PauseTiming();
        const std::int64_t nCpuStart = DaemonCpuNanoseconds(pDaemon.Get());
        State.ResumeTiming();
        for (std::uintptr_t& nEvent : Events) {
            pDaemon->SetEvent(3600000, &NoOp, 0, CTimedEventDaemon::TIMED_EVENT_PERIODIC, &nEvent);
            if (nGapNanoseconds > 0) {
                const std::int64_t nUntil = MonotonicNanoseconds() + nGapNanoseconds;
                while (MonotonicNanoseconds() < nUntil) {
                }
            }
        }
        const std::int64_t nCpuEnd = DaemonCpuNanoseconds(pDaemon.Get());
        State.PauseTiming();
        nDaemonCpu += nCpuEnd - nCpuStart;
        for (std::uintptr_t nEvent : Events) pDaemon->KillEvent(nEvent);
        State.ResumeTiming();
    }
    State.SetComplexityN(static_cast<std::int64_t>(nCount));
    State.SetItemsProcessed(static_cast<std::int64_t>(State.iterations() * nCount));
    State.counters["daemon_cpu_ms"] =
        benchmark::Counter(static_cast<double>(nDaemonCpu) / 1e6, benchmark::Counter::kAvgIterations);
    pDaemon->Terminate(INFINITE, false);
}

void BM_StartEvents(benchmark::State& State) {
    StartEvents(State, 0);
}
BENCHMARK(BM_StartEvents)->Arg(1000)->Arg(3000)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond)->Complexity();

void BM_StartEventsOneByOne(benchmark::State& State) {
    StartEvents(State, 5000);
}
BENCHMARK(BM_StartEventsOneByOne)
    ->Arg(1000)
    ->Arg(3000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace

int main(int argc, char** argv) {
    double fSeconds = 5.0;
    // --seconds=N is ours; everything else goes to Google Benchmark.
    int nKept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0)
            fSeconds = std::max(0.5, std::atof(argv[i] + 10));
        else
            argv[nKept++] = argv[i];
    }
    argc = nKept;

    std::printf("%d periodic events of %u ms on one timer thread, %.1f s each\n", EVENT_COUNT, PERIOD_MILLISECONDS,
                fSeconds);
    for (const bool bSpread : {false, true}) {
        const Summary Daemon = RunDaemon(fSeconds, bSpread);
        const Summary Peer = RunPeer(fSeconds, bSpread);
        PrintRatios(bSpread ? "daemon / peer, spread" : "daemon / peer, aligned", Daemon, Peer);
    }
    std::fflush(stdout);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
