// The object model through the bus, against the server program on a private session bus of this run:
//
//   BM_ProxyPropertyGet     IApplication::get_Enabled through the proxy CoCreateInstance gives (one round trip)
//   BM_PeerPing             org.freedesktop.DBus.Peer.Ping to the same server with plain sd-bus: the floor of
//                           a round trip on this bus, which the library answers without our code
//   BM_ViewPropertyGet      the Host of a scenario's activity read by path (a view: the server walks from the
//                           application to the activity on each call), with the same plain sd-bus
//   BM_BusctlGetProperty    `busctl get-property ... Enabled`, a whole client process per call
//   BM_BusctlPeerPing       `busctl call ... org.freedesktop.DBus.Peer Ping`, the same with the peer's call
//   BM_HarkwellctlList/N    `harkwellctl list` with N stored scenarios (their activity titles), with the
//                           fitted complexity: linear growth shows as O(N) with a small RMS
//   BM_PeerListReads/N      the peer of the list: what it reads (each scenario's activity Title and
//                           notification Count, by the views' paths) with plain sd-bus in this process, one
//                           call after the other, as a client that waits for each answer does; no process
//                           start, no registration lookups
//
// Needs dbus-daemon; the server runs on a private store and log folder, and takes its turn with the tests
// that run an application.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/support/PrivateBus.h"
#include "../tests/support/ServerProcess.h"
#include "HarkwellServer/ServerInterfaces.h"
#include "comrt/comptr.h"
#include "comrt/runtime.h"

extern char** environ;

namespace {

std::filesystem::path BuildFolder() {
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path();
}

std::string Program(const char* pszName) {
    return (BuildFolder() / "bin" / pszName).string();
}

// Runs a command with its output thrown away; true when it exits with 0.
bool RunQuietly(const std::vector<std::string>& Arguments) {
    std::vector<char*> Argv;
    for (const std::string& s : Arguments) Argv.push_back(const_cast<char*>(s.c_str()));
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t nProcess = -1;
    const int nSpawn = posix_spawnp(&nProcess, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (nSpawn != 0) return false;
    int nStatus = 0;
    waitpid(nProcess, &nStatus, 0);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// The server on the private bus, with a store of N ping scenarios.
class CServerUnderTest {
public:
    ~CServerUnderTest() { Stop(); }

    bool Ensure(long nScenarios) {
        if (m_nServer > 0 && nScenarios == m_nScenarios) return true;
        Stop();
        if (!RunQuietly({Program("server_memory_store"), std::to_string(nScenarios), "3600000"})) return false;
        const std::string sOutput = (std::filesystem::path(std::getenv("CORVANE_LOG_DIR")) / "server.out").string();
        std::filesystem::remove(sOutput);
        m_nServer = testing_support::StartServerProcess({}, {}, sOutput);
        if (m_nServer <= 0) return false;
        m_nScenarios = nScenarios;
        // Ready once it says so and owns its name.
        for (int i = 0; i < 600; ++i) {
            if (RunQuietly({"busctl", "--user", "status", "Corvane.HarkwellServer"})) return true;
            usleep(50 * 1000);
        }
        return false;
    }
    void Stop() {
        if (m_nServer <= 0) return;
        kill(m_nServer, SIGTERM);
        testing_support::WaitForExit(m_nServer, std::chrono::seconds(60));
        m_nServer = -1;
    }

private:
    pid_t m_nServer = -1;
    long m_nScenarios = -1;
};

CServerUnderTest* g_pServer = nullptr;

const std::vector<std::string> kGetEnabled{"busctl",
                                           "--user",
                                           "get-property",
                                           "Corvane.HarkwellServer",
                                           "/Corvane/HarkwellServer/Application",
                                           "Corvane.IApplication",
                                           "Enabled"};
const std::vector<std::string> kPeerPing{"busctl",
                                         "--user",
                                         "call",
                                         "Corvane.HarkwellServer",
                                         "/Corvane/HarkwellServer/Application",
                                         "org.freedesktop.DBus.Peer",
                                         "Ping"};

void BM_ProxyPropertyGet(benchmark::State& state) {
    if (!g_pServer->Ensure(1)) return state.SkipWithError("the server did not start");
    CComPtr<IApplication> pApplication;
    if (FAILED(CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                reinterpret_cast<void**>(&pApplication))))
        return state.SkipWithError("the application object could not be reached");
    for (auto _ : state) {
        VARIANT_BOOL bEnabled = VARIANT_FALSE;
        if (FAILED(pApplication->get_Enabled(&bEnabled))) return state.SkipWithError("get_Enabled failed");
        benchmark::DoNotOptimize(bEnabled);
    }
}
BENCHMARK(BM_ProxyPropertyGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PeerPing(benchmark::State& state) {
    if (!g_pServer->Ensure(1)) return state.SkipWithError("the server did not start");
    sd_bus* pBus = nullptr;
    if (sd_bus_open_user(&pBus) < 0) return state.SkipWithError("the bus could not be opened");
    for (auto _ : state) {
        sd_bus_error Error = SD_BUS_ERROR_NULL;
        sd_bus_message* pReply = nullptr;
        const int nResult = sd_bus_call_method(pBus, "Corvane.HarkwellServer", "/Corvane/HarkwellServer/Application",
                                               "org.freedesktop.DBus.Peer", "Ping", &Error, &pReply, "");
        sd_bus_message_unref(pReply);
        sd_bus_error_free(&Error);
        if (nResult < 0) {
            state.SkipWithError("Ping failed");
            break;
        }
    }
    sd_bus_flush_close_unref(pBus);
}
BENCHMARK(BM_PeerPing)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ViewPropertyGet(benchmark::State& state) {
    if (!g_pServer->Ensure(1)) return state.SkipWithError("the server did not start");
    sd_bus* pBus = nullptr;
    if (sd_bus_open_user(&pBus) < 0) return state.SkipWithError("the bus could not be opened");
    for (auto _ : state) {
        sd_bus_error Error = SD_BUS_ERROR_NULL;
        char* pszHost = nullptr;
        const int nResult = sd_bus_get_property_string(
            pBus, "Corvane.HarkwellServer", "/Corvane/HarkwellServer/Application/Manager/Scenarios/0/Activity",
            "Corvane.IPingActivity", "Host", &Error, &pszHost);
        free(pszHost);
        sd_bus_error_free(&Error);
        if (nResult < 0) {
            state.SkipWithError("the view's Host could not be read");
            break;
        }
    }
    sd_bus_flush_close_unref(pBus);
}
BENCHMARK(BM_ViewPropertyGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

void RunCommandEachIteration(benchmark::State& state, const std::vector<std::string>& Command, long nScenarios) {
    if (!g_pServer->Ensure(nScenarios)) return state.SkipWithError("the server did not start");
    for (auto _ : state) {
        if (!RunQuietly(Command)) return state.SkipWithError("the command failed");
    }
}

void BM_BusctlGetProperty(benchmark::State& state) {
    RunCommandEachIteration(state, kGetEnabled, 1);
}
BENCHMARK(BM_BusctlGetProperty)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

void BM_BusctlPeerPing(benchmark::State& state) {
    RunCommandEachIteration(state, kPeerPing, 1);
}
BENCHMARK(BM_BusctlPeerPing)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

void BM_HarkwellctlList(benchmark::State& state) {
    RunCommandEachIteration(state, {Program("harkwellctl"), "list"}, static_cast<long>(state.range(0)));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HarkwellctlList)
    ->Arg(125)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Complexity(benchmark::oN);

void BM_PeerListReads(benchmark::State& state) {
    const long nScenarios = static_cast<long>(state.range(0));
    if (!g_pServer->Ensure(nScenarios)) return state.SkipWithError("the server did not start");
    sd_bus* pBus = nullptr;
    if (sd_bus_open_user(&pBus) < 0) return state.SkipWithError("the bus could not be opened");
    const std::string sScenarios = "/Corvane/HarkwellServer/Application/Manager/Scenarios/";
    for (auto _ : state) {
        for (long i = 0; i < nScenarios; ++i) {
            const std::string sScenario = sScenarios + std::to_string(i);
            sd_bus_error Error = SD_BUS_ERROR_NULL;
            char* pszTitle = nullptr;
            int nResult = sd_bus_get_property_string(pBus, "Corvane.HarkwellServer", (sScenario + "/Activity").c_str(),
                                                     "Corvane.IActivity", "Title", &Error, &pszTitle);
            free(pszTitle);
            sd_bus_error_free(&Error);
            int32_t nCount = 0;
            if (nResult >= 0)
                nResult =
                    sd_bus_get_property_trivial(pBus, "Corvane.HarkwellServer", (sScenario + "/Notifications").c_str(),
                                                "Corvane.INotifications", "Count", &Error, 'i', &nCount);
            sd_bus_error_free(&Error);
            if (nResult < 0) {
                state.SkipWithError("a scenario's title or count could not be read");
                break;
            }
        }
    }
    sd_bus_flush_close_unref(pBus);
}
BENCHMARK(BM_PeerListReads)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    testing_support::CTemporaryDirectory Folder;
    setenv("CORVANE_REGISTRY_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_LOG_DIR", Folder.Path().c_str(), 1);
    unsetenv("CORVANE_HARKWELL_BUS");
    setenv("CORVANE_TEST_BINARY_DIR", BuildFolder().c_str(), 1);  // where the server process is started from
    testing_support::CPrivateSessionBus Bus;
    if (!Bus.Start()) {
        std::fprintf(stderr, "bus_bench: dbus-daemon could not be started\n");
        return 1;
    }
    if (!RunQuietly({Program("hkregsvr"), (BuildFolder() / "lib" / "HarkwellPack1.so").string()}) ||
        !RunQuietly({Program("HarkwellServer"), "/RegServer"})) {
        std::fprintf(stderr, "bus_bench: the plug-in library or the server could not be registered\n");
        return 1;
    }
    const testing_support::CApplicationTestTurn Turn;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        CServerUnderTest Server;
        g_pServer = &Server;
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        g_pServer = nullptr;
    }
    CoUninitialize();
    return 0;
}
