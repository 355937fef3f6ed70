// The e-mail notification's connection page against a notification in the server process, over a private
// session bus, on the offscreen platform:
//
//   BM_ConnectionPageApply   Apply of the page (made by class identifier from the registered HarkwellPack1UI.so,
//                            loaded from the proxy before): its eleven property writes by name through the
//                            proxy's IDispatch (ServerHost, ServerPort, Sender, the three recipient lists,
//                            AuthenticationMethods, AuthenticationName, Security, VerifyServerCertificate)
//   BM_HarkwellctlSet        the peer: harkwellctl setting the same properties to the same values in one run
//                            of the program (started, connected, checked, written, ended)
//
// Both write to the same notification of the same server in this run; each is repeated and the figures are
// the medians.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "../tests/support/PrivateBus.h"
#include "../tests/support/ServerProcess.h"
#include "../tests/support/TestEnvironment.h"
#include "HarkwellServer/ServerInterfaces.h"
#include "RatioReporter.h"
#include "comrt/comptr.h"
#include "comrt/oleauto.h"
#include "comrt/propertypages.h"
#include "comrt/qtwindows.h"

namespace {

using testing_support::ProgramPath;
using testing_support::RunProgram;

// The page's identity and its sender edit, as a client that knows only the registration sees them.
constexpr CLSID CLSID_ConnectionPage = MakeGuid("{37BF8D61-FD75-4F17-BFE7-BD816EDC84CF}");
constexpr int IDC_SENDER = 403;

CComPtr<INotification> g_pNotification;
CComPtr<IPropertyPage> g_pPage;
QWidget* g_pParent = nullptr;

HRESULT ReachNotification() {
    CComPtr<IApplication> pApplication;
    HRESULT hr = CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                  reinterpret_cast<void**>(&pApplication));
    CComPtr<IManager> pManager;
    if (SUCCEEDED(hr)) hr = pApplication->get_Manager(&pManager);
    CComPtr<IScenarios> pScenarios;
    if (SUCCEEDED(hr)) hr = pManager->get_Scenarios(&pScenarios);
    VARIANT vIndex;
    VariantInit(&vIndex);
    vIndex.vt = VT_I4;
    vIndex.lVal = 0;
    CComPtr<IScenario> pScenario;
    if (SUCCEEDED(hr)) hr = pScenarios->get_Item(vIndex, &pScenario);
    CComPtr<INotifications> pNotifications;
    if (SUCCEEDED(hr)) hr = pScenario->get_Notifications(&pNotifications);
    if (SUCCEEDED(hr)) hr = pNotifications->get_Item(vIndex, &g_pNotification);
    return hr;
}

HRESULT ShowPage() {
    HRESULT hr = g_pPage.CoCreateInstance(CLSID_ConnectionPage, nullptr, CLSCTX_INPROC_SERVER);
    IUnknown* Objects[] = {g_pNotification};
    if (SUCCEEDED(hr)) hr = g_pPage->SetObjects(1, Objects);
    g_pParent = new QWidget;
    const RECT Rect{0, 0, 400, 400};
    if (SUCCEEDED(hr)) hr = g_pPage->Activate(HandleFromWidget(g_pParent), &Rect, TRUE);
    return hr;
}

void BM_ConnectionPageApply(benchmark::State& state) {
    auto* pSender = g_pParent->findChild<QLineEdit*>(QString::number(IDC_SENDER));
    if (pSender == nullptr) return state.SkipWithError("the page has no sender edit");
    for (auto _ : state) {
        state.PauseTiming();
        // A change makes the page dirty; the value written stays the same as harkwellctl's.
        pSender->setText(QStringLiteral("harkwell@example.org "));
        pSender->setText(QStringLiteral("harkwell@example.org"));
        state.ResumeTiming();
        if (FAILED(g_pPage->Apply()) || g_pPage->IsPageDirty() == S_OK) return state.SkipWithError("Apply failed");
    }
}
BENCHMARK(BM_ConnectionPageApply)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

void BM_HarkwellctlSet(benchmark::State& state) {
    const std::vector<std::string> Arguments{ProgramPath("harkwellctl").string(),
                                             "set",
                                             "0",
                                             "notification:0",
                                             "ServerHost=mail.example.org",
                                             "ServerPort=587",
                                             "Sender=harkwell@example.org",
                                             "ToRecipients=ops@example.org",
                                             "CcRecipients=",
                                             "BccRecipients=",
                                             "AuthenticationMethods=login",
                                             "AuthenticationName=harkwell",
                                             "Security=1",
                                             "VerifyServerCertificate=true"};
    for (auto _ : state) {
        const auto Result = RunProgram(Arguments);
        if (Result.nExitCode != 0) return state.SkipWithError(Result.sOutput.c_str());
    }
}
BENCHMARK(BM_HarkwellctlSet)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

}  // namespace

// The offscreen platform warns of every window it cannot size by hints; the rest of Qt's messages stay.
QtMessageHandler g_pfnMessages = nullptr;
void DropSizeHintWarnings(QtMsgType eType, const QMessageLogContext& Context, const QString& sMessage) {
    if (!sMessage.contains(QLatin1String("propagateSizeHints"))) g_pfnMessages(eType, Context, sMessage);
}

int main(int argc, char** argv) {
    testing_support::CTemporaryDirectory Folder;
    setenv("CORVANE_REGISTRY_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_LOG_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_HARKWELL_RECORD", "Corvane.HarkwellServer.Application.connection-page-bench", 1);
    unsetenv("CORVANE_HARKWELL_BUS");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Programs that start the server's application take turns; the integration tests take the turn too.
    testing_support::CApplicationTestTurn Turn;
    testing_support::CPrivateSessionBus Bus;
    if (!Bus.Start()) {
        std::fprintf(stderr, "ui_connection_page_bench: dbus-daemon could not be started\n");
        return 1;
    }
    for (const std::vector<std::string>& Registration :
         {std::vector<std::string>{ProgramPath("HarkwellServer").string(), "/RegServer"},
          std::vector<std::string>{ProgramPath("hkregsvr").string(),
                                   testing_support::LibraryPath("HarkwellPack1.so").string()}}) {
        const auto Result = RunProgram(Registration);
        if (Result.nExitCode != 0) {
            std::fprintf(stderr, "ui_connection_page_bench: registration failed: %s\n", Result.sOutput.c_str());
            return 1;
        }
    }
    testing_support::CServerProcess Server;
    if (!Server.Start({}, {}, (Folder.Path() / "server.out").string())) return 1;
    bool bReady = false;
    for (int i = 0; i < 200 && !bReady; ++i) {
        bReady = RunProgram({ProgramPath("harkwellctl").string(), "status"}).nExitCode == 0;
        if (!bReady) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto Created = RunProgram({ProgramPath("harkwellctl").string(),
                                     "create",
                                     "--activity",
                                     "CPingActivity.CPingActivity",
                                     "--set",
                                     "Interval=3600000",
                                     "--notification",
                                     "CSmtpNotification.CSmtpNotification",
                                     "--set",
                                     "ServerHost=mail.example.org",
                                     "--set",
                                     "ServerPort=587",
                                     "--set",
                                     "Sender=harkwell@example.org",
                                     "--set",
                                     "ToRecipients=ops@example.org",
                                     "--set",
                                     "AuthenticationMethods=login",
                                     "--set",
                                     "AuthenticationName=harkwell"});
    if (!bReady || Created.nExitCode != 0) {
        std::fprintf(stderr, "ui_connection_page_bench: the server did not take the scenario: %s\n",
                     Created.sOutput.c_str());
        return 1;
    }
    int nArguments = 1;
    QApplication Application(nArguments, argv);
    g_pfnMessages = qInstallMessageHandler(DropSizeHintWarnings);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int nResult = 1;
    if (FAILED(ReachNotification()) || FAILED(ShowPage())) {
        std::fprintf(stderr, "ui_connection_page_bench: the page could not be shown on the server's notification\n");
    } else {
        CRatioReporter Reporter("BM_ConnectionPageApply", "BM_HarkwellctlSet",
                                "Apply of the connection page over the bus / harkwellctl setting the same properties",
                                1);
        Reporter.UseAggregate("median");
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks(&Reporter);
        benchmark::Shutdown();
        nResult = 0;
    }
    if (g_pPage) g_pPage->Deactivate();
    g_pPage.Release();
    delete g_pParent;
    g_pNotification.Release();
    Server.Terminate(std::chrono::seconds(20));
    CoUninitialize();
    return nResult;
}
