// The property frame and its pages, on the offscreen platform:
//
//   BM_OpenFrameThreePages     the foundation's frame on an object of this process with three pages (each ten
//                              labelled edits loaded from the object by name) from DoModal until the frame's
//                              first paint
//   BM_PlainQtDialogThreeTabs  the peer: a QDialog with a tab widget of three tabs holding the same widgets,
//                              made by hand with Qt, from its construction until its first paint
//   BM_ApplyTenProperties      Apply of a page that writes its ten edits through IDispatch by name to an object
//                              in another process, over the bus (the page was loaded from it before)
//   BM_BusRoundTrip            the peer: one property read through the same proxy's IDispatch (one round trip)
//   BM_BusNameLookup           what Apply is made of: a name looked up again on the proxy (answered from what
//                              the proxy kept after the first time) ...
//   BM_BusPropertyPut          ... and one property written by its DISPID (one round trip)
//
// The other process is this program started again with --serve: it publishes an object with ten text
// properties as the application on a private session bus of this run. Each benchmark is repeated; the
// figures are the medians.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/support/PrivateBus.h"
#include "../tests/support/TestEnvironment.h"
#include "RatioReporter.h"
#include "comrt/bus.h"
#include "comrt/oleauto.h"
#include "comrt/runningobjects.h"
#include "corvane/ulobject.h"
#include "corvane/ulpropertypage.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProperties = 10;
constexpr CLSID CLSID_FirstPage = MakeGuid("{0E6B3F40-5C1D-4A7E-9B2F-8D4C6A1E3B01}");
constexpr CLSID CLSID_SecondPage = MakeGuid("{0E6B3F40-5C1D-4A7E-9B2F-8D4C6A1E3B02}");
constexpr CLSID CLSID_ThirdPage = MakeGuid("{0E6B3F40-5C1D-4A7E-9B2F-8D4C6A1E3B03}");
constexpr int IDC_FIRST_EDIT = 1100;

std::u16string PropertyName(int i) {
    return u"Property" + std::u16string(1, static_cast<char16_t>(u'0' + i));
}

// Ten text properties by name, and the pages it was given.
class CTenProperties : public ISpecifyPropertyPages, public IDispatch {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IDispatch>, InterfaceEntry<ISpecifyPropertyPages>>;
    HRESULT GetPages(CAUUID* pPages) override {
        pPages->cElems = static_cast<ULONG>(m_Pages.size());
        pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * m_Pages.size()));
        std::copy(m_Pages.begin(), m_Pages.end(), pPages->pElems);
        return S_OK;
    }
    HRESULT GetTypeInfoCount(UINT* pCount) override { return *pCount = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* pszNames, UINT nNames, LCID, DISPID* pIds) override {
        for (int i = 0; i < kProperties; ++i)
            if (nNames == 1 && PropertyName(i) == pszNames[0]) return *pIds = i + 1, S_OK;
        *pIds = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID nId, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams, VARIANT* pResult, EXCEPINFO*,
                   UINT*) override {
        if (nId < 1 || nId > kProperties) return DISP_E_MEMBERNOTFOUND;
        std::u16string& sValue = m_Values[nId - 1];
        if (wFlags & DISPATCH_PROPERTYPUT) {
            if (pParams->cArgs != 1 || pParams->rgvarg[0].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
            sValue = pParams->rgvarg[0].bstrVal;
            return S_OK;
        }
        if (pResult == nullptr) return E_POINTER;
        pResult->vt = VT_BSTR;
        pResult->bstrVal = SysAllocString(sValue.c_str());
        return S_OK;
    }
    std::vector<CLSID> m_Pages;
    std::u16string m_Values[kProperties] = {u"alpha", u"beta", u"gamma", u"delta", u"epsilon",
                                            u"zeta",  u"eta",  u"theta", u"iota",  u"kappa"};
};

CComPtr<IUnknown> MakeObject(std::vector<CLSID> Pages) {
    CComObjectT<CTenProperties>* p = nullptr;
    CComObjectT<CTenProperties>::CreateInstance(&p);
    p->m_Pages = std::move(Pages);
    CComPtr<IUnknown> pObject(static_cast<IDispatch*>(p));
    p->Release();
    return pObject;
}

// The ten labelled edits of a page, two columns of dialog units.
struct PageLayout {
    std::vector<std::u16string> Labels;
    std::vector<DialogControl> Controls;
    DialogResource Resource;
    PageLayout() {
        for (int i = 0; i < kProperties; ++i) Labels.push_back(PropertyName(i) + u":");
        for (int i = 0; i < kProperties; ++i) {
            const short y = static_cast<short>(7 + 18 * i);
            Controls.push_back(
                {1000 + i, DialogControlKind::Static, Labels[i].c_str(), 7, static_cast<short>(y + 2), 60, 8});
            Controls.push_back({IDC_FIRST_EDIT + i, DialogControlKind::Edit, u"", 70, y, 150, 14});
        }
        Resource = DialogResource{227, 200, nullptr, Controls};
    }
};
const PageLayout& Layout() {
    static const PageLayout s;
    return s;
}
const corvane::StringResource kStrings[] = {{5001, u"First"}, {5002, u"Second"}, {5003, u"Third"}};
const corvane::CStringTableRegistration g_Strings(kStrings);

QLineEdit* Edit(HWND hPage, int i) {
    return qobject_cast<QLineEdit*>(WidgetFromHandle(GetDlgItem(hPage, IDC_FIRST_EDIT + i)));
}

// A page of the foundation's templates that loads its ten edits from the object and writes them back, each by
// name through IDispatch, as the system's pages do.
template <UINT nTitle>
class CTenPropertyPageT : public corvane::COlePropertyPageT<CTenPropertyPageT<nTitle>> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource() { return Layout().Resource; }
    static UINT GetTitleResourceId() { return nTitle; }
    static inline CTenPropertyPageT* g_pLast = nullptr;

    CTenPropertyPageT() { g_pLast = this; }
    ~CTenPropertyPageT() {
        if (g_pLast == this) g_pLast = nullptr;
    }
    void OnInitDialog() {
        CComPtr<IDispatch> pDispatch = this->template GetObjectInterface<IDispatch>(0);
        for (int i = 0; i < kProperties; ++i) {
            VARIANT Value;
            VariantInit(&Value);
            DISPPARAMS None{nullptr, nullptr, 0, 0};
            UL_CHECK(pDispatch->Invoke(IdOf(pDispatch, i), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &None,
                                       &Value, nullptr, nullptr));
            Edit(this->GetWindow(), i)->setText(QString::fromUtf16(Value.bstrVal));
            VariantClear(&Value);
        }
    }
    HRESULT Apply() override {
        UL_PAGE_GUARD_BEGIN
        for (size_t n = 0; n < this->GetObjectCount(); ++n) {
            CComPtr<IDispatch> pDispatch = this->template GetObjectInterface<IDispatch>(n);
            for (int i = 0; i < kProperties; ++i) {
                VARIANT Value;
                Value.vt = VT_BSTR;
                Value.bstrVal = SysAllocString(Edit(this->GetWindow(), i)->text().toStdU16String().c_str());
                DISPID nNamed = DISPID_PROPERTYPUT;
                DISPPARAMS Params{&Value, &nNamed, 1, 1};
                const HRESULT hr = pDispatch->Invoke(IdOf(pDispatch, i), IID_NULL, LOCALE_USER_DEFAULT,
                                                     DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr);
                VariantClear(&Value);
                UL_CHECK(hr);
            }
        }
        this->SetDirty(false);
        UL_PAGE_GUARD_END
    }

private:
    static DISPID IdOf(IDispatch* pDispatch, int i) {
        const std::u16string sName = PropertyName(i);
        LPOLESTR pszName = const_cast<LPOLESTR>(sName.c_str());
        DISPID nId = DISPID_UNKNOWN;
        UL_CHECK(pDispatch->GetIDsOfNames(IID_NULL, &pszName, 1, LOCALE_USER_DEFAULT, &nId));
        return nId;
    }
};
using CFirstPage = CTenPropertyPageT<5001>;

// Stamps the time of a window's first paint event as it arrives, then closes the window from its loop.
class CFirstPaint : public QObject {
public:
    explicit CFirstPaint(std::function<void()> Close) : m_Close(std::move(Close)) {}
    bool eventFilter(QObject* pObject, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Paint && *m_pShown == Clock::time_point{}) {
            *m_pShown = Clock::now();
            QTimer::singleShot(0, pObject, m_Close);
        }
        return false;
    }
    Clock::time_point m_Shown{};
    Clock::time_point* m_pShown = &m_Shown;  // where the time goes

private:
    std::function<void()> m_Close;
};

// The frame whose opening is timed: the clock stops at its first paint, and it is closed then.
class CTimedFrame : public corvane::COlePropertyFrameDialog {
public:
    using COlePropertyFrameDialogT::COlePropertyFrameDialogT;
    Clock::time_point m_Shown{};

protected:
    void OnInitDialog(HWND hFrame) override {
        COlePropertyFrameDialogT::OnInitDialog(hFrame);
        QWidget* pFrame = WidgetFromHandle(hFrame);
        auto* pFilter = new CFirstPaint([this, pFrame] {
            QTest::mouseClick(pFrame->findChild<QPushButton*>(QString::number(IDCANCEL)), Qt::LeftButton);
        });
        pFilter->m_pShown = &m_Shown;
        pFilter->setParent(pFrame);
        pFrame->installEventFilter(pFilter);
    }
};

void BM_OpenFrameThreePages(benchmark::State& state) {
    CComPtr<IUnknown> pObject = MakeObject({CLSID_FirstPage, CLSID_SecondPage, CLSID_ThirdPage});
    for (auto _ : state) {
        CTimedFrame Frame(pObject, u"Three pages");
        const Clock::time_point Start = Clock::now();
        Frame.DoModal(nullptr);
        if (Frame.m_Shown == Clock::time_point{}) return state.SkipWithError("the frame was not painted");
        state.SetIterationTime(std::chrono::duration<double>(Frame.m_Shown - Start).count());
    }
}
BENCHMARK(BM_OpenFrameThreePages)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_PlainQtDialogThreeTabs(benchmark::State& state) {
    CComPtr<IUnknown> pObject = MakeObject({});
    CComPtr<IDispatch> pDispatch;
    pObject->QueryInterface(&pDispatch);
    auto* pValues = static_cast<CTenProperties*>(pDispatch.p);
    for (auto _ : state) {
        const Clock::time_point Start = Clock::now();
        QDialog Dialog;
        Dialog.setWindowTitle(QStringLiteral("Three pages"));
        auto* pLayout = new QVBoxLayout(&Dialog);
        auto* pTabs = new QTabWidget(&Dialog);
        pLayout->addWidget(pTabs);
        for (const char* pszTab : {"First", "Second", "Third"}) {
            auto* pPage = new QWidget;
            auto* pForm = new QFormLayout(pPage);
            for (int i = 0; i < kProperties; ++i)
                pForm->addRow(QString::fromStdU16String(Layout().Labels[i]),
                              new QLineEdit(QString::fromStdU16String(pValues->m_Values[i]), pPage));
            pTabs->addTab(pPage, QString::fromLatin1(pszTab));
        }
        auto* pButtons = new QHBoxLayout;
        pButtons->addStretch(1);
        for (const char* pszButton : {"OK", "Cancel", "&Apply"}) pButtons->addWidget(new QPushButton(pszButton));
        pLayout->addLayout(pButtons);
        CFirstPaint Close([&Dialog] { Dialog.reject(); });
        Dialog.installEventFilter(&Close);
        Dialog.exec();
        Dialog.removeEventFilter(&Close);
        const Clock::time_point Shown = Close.m_Shown;
        if (Shown == Clock::time_point{}) return state.SkipWithError("the dialog was not painted");
        state.SetIterationTime(std::chrono::duration<double>(Shown - Start).count());
    }
}
BENCHMARK(BM_PlainQtDialogThreeTabs)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

CComPtr<IDispatch> RemoteObject() {
    CComPtr<IDispatch> pDispatch;
    comrt::CoGetBusObject(comrt::kApplicationPath, IidOf<IDispatch>(), reinterpret_cast<void**>(&pDispatch));
    return pDispatch;
}

void BM_ApplyTenProperties(benchmark::State& state) {
    CComPtr<IDispatch> pRemote = RemoteObject();
    if (pRemote == nullptr) return state.SkipWithError("the other process's object could not be reached");
    corvane::COlePropertyFrameDialog Frame(pRemote, u"Remote");
    Frame.SetPages({CLSID_FirstPage});
    bool bFailed = false;
    QTimer::singleShot(0, [&] {
        QWidget* pFrame = QApplication::activeModalWidget();
        auto* pApply = pFrame->findChild<QPushButton*>(QString::number(IDC_PROPERTYFRAME_APPLY));
        for (auto _ : state) {
            CFirstPage::g_pLast->SetDirty(true);
            QTest::mouseClick(pApply, Qt::LeftButton);
            if (CFirstPage::g_pLast->IsDirty()) {
                bFailed = true;
                break;
            }
        }
        QTest::mouseClick(pFrame->findChild<QPushButton*>(QString::number(IDCANCEL)), Qt::LeftButton);
    });
    Frame.DoModal(nullptr);
    if (bFailed) state.SkipWithError("Apply failed");
}
BENCHMARK(BM_ApplyTenProperties)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);

void BM_BusRoundTrip(benchmark::State& state) {
    CComPtr<IDispatch> pRemote = RemoteObject();
    if (pRemote == nullptr) return state.SkipWithError("the other process's object could not be reached");
    for (auto _ : state) {
        VARIANT Value;
        VariantInit(&Value);
        DISPPARAMS None{nullptr, nullptr, 0, 0};
        if (FAILED(pRemote->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &None, &Value, nullptr, nullptr)))
            return state.SkipWithError("the read failed");
        VariantClear(&Value);
    }
}
BENCHMARK(BM_BusRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);

void BM_BusNameLookup(benchmark::State& state) {
    CComPtr<IDispatch> pRemote = RemoteObject();
    if (pRemote == nullptr) return state.SkipWithError("the other process's object could not be reached");
    for (auto _ : state) {
        LPOLESTR pszName = const_cast<LPOLESTR>(u"Property7");
        DISPID nId = DISPID_UNKNOWN;
        if (FAILED(pRemote->GetIDsOfNames(IID_NULL, &pszName, 1, 0, &nId))) return state.SkipWithError("lookup failed");
    }
}
BENCHMARK(BM_BusNameLookup)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);

void BM_BusPropertyPut(benchmark::State& state) {
    CComPtr<IDispatch> pRemote = RemoteObject();
    if (pRemote == nullptr) return state.SkipWithError("the other process's object could not be reached");
    for (auto _ : state) {
        VARIANT Value;
        Value.vt = VT_BSTR;
        Value.bstrVal = SysAllocString(u"lambda");
        DISPID nNamed = DISPID_PROPERTYPUT;
        DISPPARAMS Params{&Value, &nNamed, 1, 1};
        const HRESULT hr = pRemote->Invoke(8, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr);
        VariantClear(&Value);
        if (FAILED(hr)) return state.SkipWithError("the write failed");
    }
}
BENCHMARK(BM_BusPropertyPut)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);

volatile sig_atomic_t g_bStop = 0;

// The other process: the object published as the application until SIGTERM.
int Serve() {
    signal(SIGTERM, [](int) { g_bStop = 1; });
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(comrt::CoAttachBus(comrt::BusKind::Session))) return 1;
    CComPtr<IUnknown> pObject = MakeObject({CLSID_FirstPage});
    CComPtr<IMoniker> pName;
    CComPtr<IRunningObjectTable> pTable;
    DWORD nCookie = 0;
    if (FAILED(CreateItemMoniker(u"!", comrt::kApplicationMonikerName + 1, &pName)) ||
        FAILED(GetRunningObjectTable(0, &pTable)) || FAILED(pTable->Register(0, pObject, pName, &nCookie)))
        return 1;
    while (!g_bStop) pause();
    pTable->Revoke(nCookie);
    comrt::CoDetachBus();
    CoUninitialize();
    return 0;
}

template <class T>
DWORD RegisterPage(REFCLSID clsid) {
    CComPtr<IUnknown> pFactory;
    CClassFactory::Create(&CreateObjectT<T>, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory));
    DWORD nCookie = 0;
    CoRegisterClassObject(clsid, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie);
    return nCookie;
}

}  // namespace

// The offscreen platform warns of every window it cannot size by hints; the rest of Qt's messages stay.
QtMessageHandler g_pfnMessages = nullptr;
void DropSizeHintWarnings(QtMsgType eType, const QMessageLogContext& Context, const QString& sMessage) {
    if (!sMessage.contains(QLatin1String("propagateSizeHints"))) g_pfnMessages(eType, Context, sMessage);
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--serve") return Serve();
    testing_support::CTemporaryDirectory Folder;
    setenv("CORVANE_REGISTRY_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_LOG_DIR", Folder.Path().c_str(), 1);
    setenv("CORVANE_HARKWELL_BUS", "session", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing_support::CPrivateSessionBus Bus;
    if (!Bus.Start()) {
        std::fprintf(stderr, "ui_property_frame_bench: dbus-daemon could not be started\n");
        return 1;
    }
    char szServe[] = "--serve";
    char* ServeArguments[] = {argv[0], szServe, nullptr};
    pid_t nServer = -1;
    if (posix_spawn(&nServer, "/proc/self/exe", nullptr, nullptr, ServeArguments, environ) != 0) return 1;
    int nArguments = 1;
    QApplication Application(nArguments, argv);
    g_pfnMessages = qInstallMessageHandler(DropSizeHintWarnings);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // Ready once the object answers.
    bool bReady = false;
    for (int i = 0; i < 200 && !bReady; ++i) {
        bReady = RemoteObject() != nullptr;
        if (!bReady) usleep(50 * 1000);
    }
    int nResult = 1;
    if (!bReady) {
        std::fprintf(stderr, "ui_property_frame_bench: the other process's object did not appear on the bus\n");
    } else {
        const DWORD Cookies[] = {RegisterPage<CFirstPage>(CLSID_FirstPage),
                                 RegisterPage<CTenPropertyPageT<5002>>(CLSID_SecondPage),
                                 RegisterPage<CTenPropertyPageT<5003>>(CLSID_ThirdPage)};
        CRatioReporter Reporter("BM_OpenFrameThreePages", "BM_PlainQtDialogThreeTabs",
                                "Frame with three pages until shown / the same widgets in a plain Qt dialog", 2);
        Reporter.AddRatio("BM_ApplyTenProperties", "BM_BusRoundTrip",
                          "Apply of ten properties over the bus / one round trip", 12);
        Reporter.UseAggregate("median");
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks(&Reporter);
        benchmark::Shutdown();
        for (DWORD nCookie : Cookies) CoRevokeClassObject(nCookie);
        nResult = 0;
    }
    kill(nServer, SIGTERM);
    waitpid(nServer, nullptr, 0);
    CoUninitialize();
    return nResult;
}
