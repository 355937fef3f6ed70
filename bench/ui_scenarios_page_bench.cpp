// The scenarios page with 1,000 scenarios, in process, on the offscreen platform:
//
//   BM_ScenariosPageFill   the page activated on a collection of 1,000 scenarios (each an activity with a
//                          title and one notification): from Activate until the list holds every item, its
//                          texts asked of each scenario's activity and notifications
//   BM_PlainTreeWidgetFill the peer: a Qt tree widget of the same two columns and icon, filled by hand with
//                          the same 1,000 pairs of texts already known
//
// The figures are the medians of five repetitions.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>

#include "../HarkwellServer/tests/ScenarioTestObjects.h"
#include "../tests/support/TestEnvironment.h"
#include "Manager.h"
#include "RatioReporter.h"
#include "ServerPages.h"
#include "comrt/text.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kScenarios = 1000;

CComPtr<IScenarios> g_pScenarios;

void FillCollection() {
    CScenariosObject* pScenarios = nullptr;
    if (FAILED(CScenariosObject::CreateInstance(&pScenarios))) return;
    g_pScenarios.Attach(static_cast<IScenarios*>(pScenarios));
    for (int i = 0; i < kScenarios; ++i) {
        CComPtr<IScenario> pScenario;
        g_pScenarios->Add(&pScenario);
        CComPtr<IActivity> pActivity;
        pActivity.CoCreateInstance(CLSID_FakeActivity, nullptr, CLSCTX_INPROC_SERVER);
        static_cast<CFakeActivity*>(pActivity.p)->SetName((u"Ping host " + comrt::ToUtf16(std::to_string(i))).c_str());
        pScenario->put_Activity(pActivity);
        CComPtr<INotifications> pNotifications;
        pScenario->get_Notifications(&pNotifications);
        CComPtr<INotification> pNotification;
        pNotification.CoCreateInstance(CLSID_FakeNotification, nullptr, CLSCTX_INPROC_SERVER);
        pNotifications->Add(pNotification);
    }
}

void BM_ScenariosPageFill(benchmark::State& state) {
    QWidget Parent;
    Parent.resize(600, 400);
    for (auto _ : state) {
        CComPtr<IPropertyPage> pPage;
        pPage.CoCreateInstance(CLSID_CScenariosPropertyPage, nullptr, CLSCTX_INPROC_SERVER);
        IUnknown* pObject = g_pScenarios;
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
BENCHMARK(BM_ScenariosPageFill)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_PlainTreeWidgetFill(benchmark::State& state) {
    std::vector<std::pair<QString, QString>> Texts;
    for (int i = 0; i < kScenarios; ++i)
        Texts.emplace_back(QStringLiteral("Ping host %1").arg(i), QStringLiteral("Fake Notification"));
    const QIcon Icon = ServerListIcon(IDI_SCENARIO);
    QWidget Parent;
    for (auto _ : state) {
        const auto Start = Clock::now();
        auto* pList = new QTreeWidget(&Parent);
        pList->setColumnCount(2);
        pList->setHeaderLabels({QStringLiteral("Activity"), QStringLiteral("Notification")});
        for (const auto& [sActivity, sNotification] : Texts) {
            auto* pItem = new QTreeWidgetItem(pList, {sActivity, sNotification});
            pItem->setIcon(0, Icon);
            const QString sTip = QStringLiteral("Activity: %1\r\nNotifications: %2\r\n").arg(sActivity, sNotification);
            pItem->setToolTip(0, sTip);
            pItem->setToolTip(1, sTip);
        }
        const auto End = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(End - Start).count());
        delete pList;
    }
}
BENCHMARK(BM_PlainTreeWidgetFill)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    testing_support::CTemporaryDirectory Folder;
    setenv("CORVANE_REGISTRY_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_LOG_DIR", Folder.Path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int nArguments = 1;
    QApplication Application(nArguments, argv);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int nResult = 1;
    {
        CFakeClassRegistrations Classes;
        CServerPageClassObjects Pages;
        FillCollection();
        if (!g_pScenarios) {
            std::fprintf(stderr, "ui_scenarios_page_bench: the collection could not be made\n");
        } else {
            CRatioReporter Reporter("BM_ScenariosPageFill", "BM_PlainTreeWidgetFill",
                                    "scenarios page filled with 1,000 scenarios / plain tree widget", 10.0);
            Reporter.UseAggregate("median");
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks(&Reporter);
            benchmark::Shutdown();
            nResult = 0;
        }
        g_pScenarios.Release();
    }
    CoUninitialize();
    return nResult;
}
