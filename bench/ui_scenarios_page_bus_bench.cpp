// The scenarios page with 1,000 stored scenarios (each a ping activity on a loopback address, probing once an
// hour, with one e-mail notification), on the offscreen platform, its list filled over the bus and in
// process:
//
//   BM_ScenariosPageFillOverBus    the page in this process on the collection of the server program (Application
//                                  Mode, a private session bus): from Activate until the list holds every item,
//                                  each scenario's texts asked over the bus of its activity and notification
//   BM_ScenariosPageFillInProcess  the peer: the same page on a manager of this process that loaded the same
//                                  stored list
//
// Both read the same store in this run; the figures are the medians of five repetitions.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../tests/support/ManagerClient.h"
#include "../tests/support/Pack1Ids.h"
#include "../tests/support/PrivateBus.h"
#include "../tests/support/ServerProcess.h"
#include "../tests/support/TestEnvironment.h"
#include "EventRecordClass.h"
#include "RatioReporter.h"
#include "ServerPages.h"
#include "comrt/registry.h"
#include "comrt/text.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ProgramPath;
using testing_support::RunProgram;
// 1,000 unless SCENARIOS says otherwise (for a quick look).
const int kScenarios = std::getenv("SCENARIOS") != nullptr ? std::atoi(std::getenv("SCENARIOS")) : 1000;

CComPtr<IScenarios> g_pRemoteScenarios;
CComPtr<IScenarios> g_pLocalScenarios;
bool g_bRemoteEnumerator = false;

// The stored list: scenario i pings 127.0.x.y once an hour and has one e-mail notification.
HRESULT StoreScenarios() {
    using testing_support::PutDispatchProperty;
    CComPtr<IManager> pManager;
    HRESULT hr = testing_support::NewManager(pManager);
    CComPtr<IScenarios> pScenarios = testing_support::ScenariosOf(pManager);
    if (SUCCEEDED(hr) && !pScenarios) hr = E_POINTER;
    for (int i = 0; SUCCEEDED(hr) && i < kScenarios; ++i) {
        const std::u16string sHost =
            comrt::ToUtf16("127.0." + std::to_string(i / 254) + "." + std::to_string(i % 254 + 1));
        CComPtr<IScenario> pScenario;
        CComPtr<IActivity> pActivity;
        CComPtr<INotification> pNotification;
        CComPtr<INotifications> pNotifications;
        hr = testing_support::CreateActivityOf(pScenarios, testing_support::kPingActivity, pActivity);
        if (SUCCEEDED(hr)) hr = PutDispatchProperty(pActivity, testing_support::kIPingActivity, u"Host", sHost.c_str());
        if (SUCCEEDED(hr)) hr = PutDispatchProperty(pActivity, testing_support::kIPingActivity, u"Interval", 3600000);
        if (SUCCEEDED(hr))
            hr = testing_support::CreateNotificationOf(pScenarios, testing_support::kSmtpNotification, pNotification);
        if (SUCCEEDED(hr)) hr = pScenarios->Add(&pScenario);
        if (SUCCEEDED(hr)) hr = pScenario->put_Activity(pActivity);
        if (SUCCEEDED(hr)) hr = pScenario->get_Notifications(&pNotifications);
        if (SUCCEEDED(hr)) hr = pNotifications->Add(pNotification);
    }
    return hr;  // the list is saved as the manager goes
}

// The page walks the collection through its enumerator: asked once before the page is, so that a server
// that does not hand one over the bus is a message (the proxy's call gives up after the bus's time-out)
// instead of an error box that nobody answers.
HRESULT CheckRemoteEnumerator() {
    const auto Start = Clock::now();
    CComPtr<IUnknown> pEnum;
    const HRESULT hr = g_pRemoteScenarios->get__NewEnum(&pEnum);
    std::fprintf(stderr, "_NewEnum over the bus: 0x%08X after %.1f s\n", static_cast<unsigned>(hr),
                 std::chrono::duration<double>(Clock::now() - Start).count());
    return hr;
}

HRESULT ReachRemoteScenarios() {
    CComPtr<IApplication> pApplication;
    HRESULT hr = CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                  reinterpret_cast<void**>(&pApplication));
    CComPtr<IManager> pManager;
    if (SUCCEEDED(hr)) hr = pApplication->get_Manager(&pManager);
    // A server that could not make its manager (a disabled one, or another instance holding the record) has
    // none to give.
    if (SUCCEEDED(hr) && !pManager) hr = E_POINTER;
    if (SUCCEEDED(hr)) hr = pManager->get_Scenarios(&g_pRemoteScenarios);
    if (SUCCEEDED(hr) && !g_pRemoteScenarios) hr = E_POINTER;
    return hr;
}

void FillPage(benchmark::State& state, IScenarios* pScenarios) {
    QWidget Parent;
    Parent.resize(600, 400);
    for (auto _ : state) {
        CComPtr<IPropertyPage> pPage;
        pPage.CoCreateInstance(CLSID_CScenariosPropertyPage, nullptr, CLSCTX_INPROC_SERVER);
        IUnknown* pObject = pScenarios;
        pPage->SetObjects(1, &pObject);
        const RECT Rect{0, 0, 500, 300};
        const auto Start = Clock::now();
        pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE);
        const auto End = Clock::now();
        auto* pList = Parent.findChild<QTreeWidget*>(QString::number(IDC_SCENARIOS_LIST));
        if (pList == nullptr || pList->topLevelItemCount() != kScenarios) state.SkipWithError("the list is not full");
        state.SetIterationTime(std::chrono::duration<double>(End - Start).count());
        pPage->Deactivate();
        pPage->SetObjects(0, nullptr);
    }
}

void BM_ScenariosPageFillOverBus(benchmark::State& state) {
    if (!g_bRemoteEnumerator) {
        state.SkipWithError("the server's collection hands no enumerator over the bus");
        for (auto _ : state) {
        }
        return;
    }
    FillPage(state, g_pRemoteScenarios);
}
BENCHMARK(BM_ScenariosPageFillOverBus)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_ScenariosPageFillInProcess(benchmark::State& state) {
    FillPage(state, g_pLocalScenarios);
}
BENCHMARK(BM_ScenariosPageFillInProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

// The offscreen platform warns of every window it cannot size by hints; the rest of Qt's messages stay.
QtMessageHandler g_pfnMessages = nullptr;
void DropSizeHintWarnings(QtMsgType eType, const QMessageLogContext& Context, const QString& sMessage) {
    if (!sMessage.contains(QLatin1String("propagateSizeHints"))) g_pfnMessages(eType, Context, sMessage);
}

bool Fail(const char* pszWhat, const std::string& sDetail = {}) {
    std::fprintf(stderr, "ui_scenarios_page_bus_bench: %s%s%s\n", pszWhat, sDetail.empty() ? "" : ": ",
                 sDetail.c_str());
    return false;
}

// Registration, the stored list, and the server started on it; whether the server answers.
bool Prepare(testing_support::CServerProcess& Server, const std::filesystem::path& Folder) {
    for (const std::vector<std::string>& Registration :
         {std::vector<std::string>{ProgramPath("HarkwellServer").string(), "/RegServer"},
          std::vector<std::string>{ProgramPath("hkregsvr").string(),
                                   testing_support::LibraryPath("HarkwellPack1.so").string()}}) {
        const auto Result = RunProgram(Registration);
        if (Result.nExitCode != 0) return Fail("registration failed", Result.sOutput);
    }
    RegResetStore();
    const auto Start = Clock::now();
    if (FAILED(StoreScenarios())) return Fail("the scenarios could not be stored");
    std::fprintf(stderr, "stored in %.1f s\n", std::chrono::duration<double>(Clock::now() - Start).count());
    if (!Server.Start({}, {}, (Folder / "server.out").string())) return Fail("the server did not start");
    for (int i = 0; i < 400; ++i) {
        if (RunProgram({ProgramPath("harkwellctl").string(), "status"}).nExitCode == 0) {
            std::fprintf(stderr, "server answers after %.1f s\n",
                         std::chrono::duration<double>(Clock::now() - Start).count());
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Fail("the server did not answer", testing_support::ReadFile(Folder / "server.out"));
}

}  // namespace

int main(int argc, char** argv) {
    testing_support::CTemporaryDirectory Folder;
    setenv("CORVANE_REGISTRY_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_LOG_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_HARKWELL_RECORD", "Corvane.HarkwellServer.Application.scenarios-page-bus-bench", 1);
    setenv("CORVANE_HARKWELL_DBUS_SERVICES_DIR", (Folder.Path() / "dbus-services").c_str(), 1);
    unsetenv("CORVANE_HARKWELL_BUS");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Programs that start the server's application take turns; the integration tests take the turn too.
    testing_support::CApplicationTestTurn Turn;
    testing_support::CPrivateSessionBus Bus;
    if (!Bus.Start()) return Fail("dbus-daemon could not be started"), 1;
    int nArguments = 1;
    QApplication Application(nArguments, argv);
    g_pfnMessages = qInstallMessageHandler(DropSizeHintWarnings);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int nResult = 1;
    // The scenarios of this process's managers raise their events through it, as the server's do.
    DWORD nCookie = 0;
    if (FAILED(ServeEventRecordClass(nCookie))) Fail("the event record class could not be served");
    {
        testing_support::CServerProcess Server;
        CServerPageClassObjects Pages;
        CComPtr<IManager> pLocalManager;
        if (Prepare(Server, Folder.Path()) && SUCCEEDED(ReachRemoteScenarios()) &&
            SUCCEEDED(testing_support::NewManager(pLocalManager))) {
            g_pLocalScenarios = testing_support::ScenariosOf(pLocalManager);
            LONG nRemote = 0, nLocal = 0;
            g_pRemoteScenarios->get_Count(&nRemote);
            if (g_pLocalScenarios) g_pLocalScenarios->get_Count(&nLocal);
            if (nRemote != kScenarios || nLocal != kScenarios) {
                Fail("the collections do not hold the stored list",
                     std::to_string(nRemote) + " over the bus, " + std::to_string(nLocal) + " in process");
            } else {
                g_bRemoteEnumerator = SUCCEEDED(CheckRemoteEnumerator());
                CRatioReporter Reporter("BM_ScenariosPageFillOverBus", "BM_ScenariosPageFillInProcess",
                                        "scenarios page filled with 1,000 scenarios over the bus / in process", 100.0);
                Reporter.UseAggregate("median");
                benchmark::Initialize(&argc, argv);
                benchmark::RunSpecifiedBenchmarks(&Reporter);
                benchmark::Shutdown();
                nResult = g_bRemoteEnumerator ? 0 : 1;
            }
        } else {
            Fail("the collections could not be reached");
        }
        g_pRemoteScenarios.Release();
        g_pLocalScenarios.Release();
        pLocalManager.Release();
        Server.Terminate(std::chrono::seconds(30));
    }
    if (nCookie != 0) CoRevokeClassObject(nCookie);
    CoUninitialize();
    return nResult;
}
