// The relay in front of the bus library (the bridge's connection reads through it) beside the same sd-bus
// connection reading its socket itself, in one run on a private bus: a client in this process calls a method
// that echoes its string argument, one call after the other, on each of the two connections.
//
//   BM_SmallCallDirect / BM_SmallCallRelayed   a 16-byte string: the round trip of an ordinary call
//   BM_LargeCallDirect / BM_LargeCallRelayed   a 64 KiB string both ways: the relay's copies show here
//
// Besides the time of a round trip, process_cpu_us is the processor time of this whole process (client, server
// thread and relay) per call. The ratios relayed / direct of the round trip's time (the medians of repetitions
// run in random order) follow the table.
#include <benchmark/benchmark.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../platform/src/dbus/DBusRelay.h"
#include "../tests/support/PrivateBus.h"
#include "RatioReporter.h"

namespace {

// A connection that answers Echo(s) -> s on every path, on a thread of its own.
class CEchoServer {
public:
    explicit CEchoServer(bool bRelay) {
        if (sd_bus_open_user(&m_pBus) < 0 || sd_bus_add_fallback(m_pBus, nullptr, "/", &OnCall, nullptr) < 0) return;
        sd_bus_get_unique_name(m_pBus, &m_szName);
        if (bRelay) {
            // Between two messages, as the bridge makes sure before it puts its relay in.
            sd_bus_message* pReply = nullptr;
            if (sd_bus_call_method(m_pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "GetId", nullptr, &pReply, "") < 0)
                return;
            sd_bus_message_unref(pReply);
            m_pRelay = comrt::dbus::CBusRelay::Insert(sd_bus_get_fd(m_pBus), 4096, "Corvane.Error.Bench");
            if (!m_pRelay) return;
        }
        m_Thread = std::thread([this] {
            while (!m_bStop) {
                const int r = sd_bus_process(m_pBus, nullptr);
                if (r < 0) break;
                if (r == 0) sd_bus_wait(m_pBus, 20000);
            }
        });
    }
    ~CEchoServer() {
        m_bStop = true;
        if (m_Thread.joinable()) m_Thread.join();
        sd_bus_flush_close_unref(m_pBus);
        m_pRelay.reset();
    }
    bool Running() const { return m_Thread.joinable(); }
    const char* Name() const { return m_szName; }

private:
    static int OnCall(sd_bus_message* pCall, void*, sd_bus_error*) {
        const char* sz = nullptr;
        if (!sd_bus_message_is_method_call(pCall, "t.Bench", "Echo") || sd_bus_message_read(pCall, "s", &sz) < 0)
            return 0;
        return sd_bus_reply_method_return(pCall, "s", sz);
    }

    sd_bus* m_pBus = nullptr;
    const char* m_szName = nullptr;
    std::unique_ptr<comrt::dbus::CBusRelay> m_pRelay;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};

CEchoServer* g_pDirect = nullptr;
CEchoServer* g_pRelayed = nullptr;
sd_bus* g_pClient = nullptr;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Calls(benchmark::State& state, const CEchoServer& server, std::size_t nBytes) {
    const std::string sText(nBytes, 'e');
    const double fCpuStart = ProcessCpuSeconds();
    for (auto _ : state) {
        sd_bus_message* pReply = nullptr;
        const char* sz = nullptr;
        if (sd_bus_call_method(g_pClient, server.Name(), "/bench/object", "t.Bench", "Echo", nullptr, &pReply, "s",
                               sText.c_str()) < 0 ||
            sd_bus_message_read(pReply, "s", &sz) < 0 || std::string(sz).size() != nBytes) {
            sd_bus_message_unref(pReply);
            state.SkipWithError("the call failed");
            return;
        }
        sd_bus_message_unref(pReply);
    }
    state.SetItemsProcessed(state.iterations());
    // The client, the server's thread and the relay's all run in this process: what a call costs the machine
    // on our side, less sensitive to other load than the round trip's time.
    state.counters["process_cpu_us"] =
        benchmark::Counter((ProcessCpuSeconds() - fCpuStart) * 1e6 / static_cast<double>(state.iterations()));
}

void BM_SmallCallDirect(benchmark::State& state) {
    Calls(state, *g_pDirect, 16);
}
void BM_SmallCallRelayed(benchmark::State& state) {
    Calls(state, *g_pRelayed, 16);
}
void BM_LargeCallDirect(benchmark::State& state) {
    Calls(state, *g_pDirect, 64 * 1024);
}
void BM_LargeCallRelayed(benchmark::State& state) {
    Calls(state, *g_pRelayed, 64 * 1024);
}
BENCHMARK(BM_SmallCallDirect)->UseRealTime();
BENCHMARK(BM_SmallCallRelayed)->UseRealTime();
BENCHMARK(BM_LargeCallDirect)->UseRealTime();
BENCHMARK(BM_LargeCallRelayed)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    testing_support::CPrivateSessionBus Bus;
    if (!Bus.Start()) {
        std::fprintf(stderr, "bus_relay_bench: dbus-daemon could not be started\n");
        return 1;
    }
    int nResult = 0;
    {
        CEchoServer Direct(false), Relayed(true);
        if (!Direct.Running() || !Relayed.Running() || sd_bus_open_user(&g_pClient) < 0) {
            std::fprintf(stderr, "bus_relay_bench: the connections could not be made\n");
            nResult = 1;
        } else {
            g_pDirect = &Direct;
            g_pRelayed = &Relayed;
            // The machine's load changes over a run: repetitions of the four benchmarks in random order, and
            // their medians compared, put both sides under the same load. Arguments given override these.
            std::vector<char*> Arguments{argv[0], const_cast<char*>("--benchmark_enable_random_interleaving=true"),
                                         const_cast<char*>("--benchmark_repetitions=9")};
            Arguments.insert(Arguments.end(), argv + 1, argv + argc);
            int nArguments = static_cast<int>(Arguments.size());
            benchmark::Initialize(&nArguments, Arguments.data());
            CRatioReporter Reporter("BM_SmallCallRelayed", "BM_SmallCallDirect", "relayed / direct, ordinary call",
                                    1.1);
            Reporter.AddRatio("BM_LargeCallRelayed", "BM_LargeCallDirect", "relayed / direct, 64 KiB both ways", 1.25);
            Reporter.UseAggregate("median");
            benchmark::RunSpecifiedBenchmarks(&Reporter);
            benchmark::Shutdown();
        }
        g_pClient = sd_bus_flush_close_unref(g_pClient);
    }
    return nResult;
}
