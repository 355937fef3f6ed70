// The scenario list at scale: a manager that loads and starts N stored scenarios (each a ping activity on
// 127.0.0.1 with a one-hour interval, so no probe runs meanwhile), and the save when it is released. Each is
// run for 100, 1,000 and 10,000 scenarios; the "per_scenario" counter shows whether the cost grows linearly.
// The store is a private one in a temporary folder, with HarkwellPack1.so registered into it. The server
// program is timed too, with 1,000 stored scenarios: from its start until it says it runs (scenarios loaded
// and started), and from SIGTERM until it has ended (scenarios saved).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../tests/support/ManagerClient.h"
#include "../tests/support/Pack1Ids.h"
#include "../tests/support/ServerProcess.h"
#include "EventRecordClass.h"
#include "Manager.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"

extern char** environ;

using testing_support::kIPingActivity;
using testing_support::kPingActivity;

namespace {

using testing_support::NewManager;
using testing_support::PutDispatchProperty;

std::filesystem::path BuildFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// Replaces the stored list with nCount ping scenarios.
bool StoreScenarios(int nCount) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScenariosKeyPath);
    CComPtr<IManager> pManager;
    if (FAILED(NewManager(pManager))) return false;
    CComPtr<IScenarios> pScenarios;
    pManager->get_Scenarios(&pScenarios);
    OLECHAR szClass[40];
    StringFromGUID2(kPingActivity, szClass, 40);
    for (int nIndex = 0; nIndex < nCount; ++nIndex) {
        CComPtr<IScenario> pScenario;
        CComPtr<IActivity> pActivity;
        VARIANT vClass;
        VariantInit(&vClass);
        vClass.vt = VT_BSTR;
        vClass.bstrVal = SysAllocString(szClass);
        HRESULT hr = pScenarios->Add(&pScenario);
        if (SUCCEEDED(hr)) hr = pScenarios->CreateActivity(vClass, &pActivity);
        VariantClear(&vClass);
        VARIANT vHost;
        VariantInit(&vHost);
        vHost.vt = VT_BSTR;
        vHost.bstrVal = SysAllocString(u"127.0.0.1");
        if (SUCCEEDED(hr)) hr = PutDispatchProperty(pActivity, kIPingActivity, u"Host", vHost);
        VariantClear(&vHost);
        VARIANT vInterval;
        VariantInit(&vInterval);
        vInterval.vt = VT_I4;
        vInterval.lVal = 3600000;
        if (SUCCEEDED(hr)) hr = PutDispatchProperty(pActivity, kIPingActivity, u"Interval", vInterval);
        if (SUCCEEDED(hr)) hr = pScenario->put_Activity(pActivity);
        if (FAILED(hr)) return false;
    }
    return true;  // saved as the manager goes
}

void BM_LoadAndStart(benchmark::State& state) {
    const int nCount = static_cast<int>(state.range(0));
    if (!StoreScenarios(nCount)) {
        state.SkipWithError("the scenarios could not be stored");
        return;
    }
    for (auto _ : state) {
        CComPtr<IManager> pManager;
        if (FAILED(NewManager(pManager))) {
            state.SkipWithError("the manager could not load the list");
            break;
        }
        state.PauseTiming();
        pManager.Release();
        state.ResumeTiming();
    }
    state.counters["per_scenario"] = benchmark::Counter(
        static_cast<double>(nCount), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoadAndStart)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Save(benchmark::State& state) {
    const int nCount = static_cast<int>(state.range(0));
    if (!StoreScenarios(nCount)) {
        state.SkipWithError("the scenarios could not be stored");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        CComPtr<IManager> pManager;
        const HRESULT hr = NewManager(pManager);
        state.ResumeTiming();
        if (FAILED(hr)) {
            state.SkipWithError("the manager could not load the list");
            break;
        }
        pManager.Release();  // writes every scenario back in one transaction
    }
    state.counters["per_scenario"] = benchmark::Counter(
        static_cast<double>(nCount), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Save)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// One run of the server program: the time until it says it runs, and the time from SIGTERM until it ends.
bool RunServer(double* pfReady, double* pfStop) {
    int Pipe[2];
    if (pipe(Pipe) != 0) return false;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
    const std::string sProgram = (BuildFolder() / "bin" / "HarkwellServer").string();
    char* Arguments[] = {const_cast<char*>(sProgram.c_str()), nullptr};
    const auto Start = std::chrono::steady_clock::now();
    pid_t nServer = -1;
    const int nSpawn = posix_spawn(&nServer, sProgram.c_str(), &Actions, nullptr, Arguments, environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(Pipe[1]);
    if (nSpawn != 0) {
        close(Pipe[0]);
        return false;
    }
    std::string sOutput;
    char Buffer[256];
    ssize_t nRead = 0;
    while (sOutput.find("is running") == std::string::npos && (nRead = read(Pipe[0], Buffer, sizeof Buffer)) > 0)
        sOutput.append(Buffer, static_cast<size_t>(nRead));
    const auto Ready = std::chrono::steady_clock::now();
    kill(nServer, SIGTERM);
    int nStatus = 0;
    waitpid(nServer, &nStatus, 0);
    const auto Stopped = std::chrono::steady_clock::now();
    close(Pipe[0]);
    *pfReady = std::chrono::duration<double>(Ready - Start).count();
    *pfStop = std::chrono::duration<double>(Stopped - Ready).count();
    return sOutput.find("is running") != std::string::npos && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// Runs the server three times over the same stored list and reports the start (bStop false) or the stop.
void TimeServerRuns(benchmark::State& state, bool bStop) {
    // One application per user: wait for tests that run one.
    const testing_support::CApplicationTestTurn Turn;
    if (!StoreScenarios(static_cast<int>(state.range(0))))
        return state.SkipWithError("the scenarios could not be stored");
    for (auto _ : state) {
        double fReady = 0, fStop = 0;
        if (!RunServer(&fReady, &fStop)) return state.SkipWithError("the server did not start and stop cleanly");
        state.SetIterationTime(bStop ? fStop : fReady);
    }
}

void BM_ServerStartToReady(benchmark::State& state) {
    TimeServerRuns(state, false);
}
BENCHMARK(BM_ServerStartToReady)->Arg(1000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ServerStop(benchmark::State& state) {
    TimeServerRuns(state, true);
}
BENCHMARK(BM_ServerStop)->Arg(1000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    char szFolder[] = "/tmp/scenario-bench-XXXXXX";
    if (mkdtemp(szFolder) == nullptr) return 1;
    setenv("CORVANE_REGISTRY_DIR", szFolder, 1);
    // The plug-in library, and the server program, which runs only once its AppID is registered.
    for (const std::string& sCommand : {(BuildFolder() / "bin" / "hkregsvr").string() + " -s " +
                                            (BuildFolder() / "lib" / "HarkwellPack1.so").string(),
                                        (BuildFolder() / "bin" / "HarkwellServer").string() + " /RegServer"}) {
        if (std::system(sCommand.c_str()) != 0) {
            std::fprintf(stderr, "%s failed\n", sCommand.c_str());
            return 1;
        }
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The event record class, as the server serves it.
    DWORD nCookie = 0;
    if (FAILED(ServeEventRecordClass(nCookie))) return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CoRevokeClassObject(nCookie);
    RegResetStore();
    std::filesystem::remove_all(szFolder);
    return 0;
}
