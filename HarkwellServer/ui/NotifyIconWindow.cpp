#include "NotifyIconWindow.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMetaObject>
#include <QTimer>
#include <mutex>

#include "AboutDialog.h"
#include "NotifyIconBus.h"
#include "comrt/service.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulobject.h"
#include "corvane/ulpropertypage.h"
#include "corvane/ulresource.h"
#include "corvane/ulservicemodule.h"

namespace {

constexpr UINT IDS_FRAME_CAPTION = 1002;
constexpr UINT IDS_SERVICE_NAME = 1001;

const corvane::StringResource kNotifyIconStrings[] = {
    {IDS_SERVICE_NAME, u"Corvane Harkwell Server"},
    {IDS_FRAME_CAPTION, u"Corvane Harkwell Server"},
    {IDS_NOTIFY_ICON_TIP, u"Corvane Harkwell Server (Application Mode)\nCorvane Harkwell Server (Service Mode)\n"},
    {IDS_NOTIFY_ICON_TITLE, u"Corvane Harkwell Server"},
};
const corvane::CStringTableRegistration g_NotifyIconStrings(kNotifyIconStrings);

// The balloon icon of each event type.
const UINT g_pnFlags[] = {NIIF_INFO, NIIF_WARNING, NIIF_ERROR};

// The tip as the record holds it: at most 127 characters, a longer one cut to 124 and "...".
constexpr std::size_t kMaxTip = 127;

struct MenuItem {
    UINT nCommand;  // 0: a separator
    const char16_t* pszText;
};
// Menu 30001: submenu 0 for Application Mode, submenu 1 for the service helper.
const MenuItem kApplicationMenu[] = {{ID_APP_ABOUT, u"&About..."},
                                     {0, nullptr},
                                     {ID_APPLICATION_PROPERTIES, u"&Properties..."},
                                     {0, nullptr},
                                     {ID_APP_EXIT, u"&Close"}};
const MenuItem kServiceHelperMenu[] = {{ID_APP_ABOUT, u"&About..."},
                                       {0, nullptr},
                                       {ID_APPLICATION_START_SERVICE, u"&Start Service"},
                                       {ID_APPLICATION_STOP_SERVICE, u"S&top Service"},
                                       {0, nullptr},
                                       {ID_APPLICATION_PROPERTIES, u"&Properties..."},
                                       {0, nullptr},
                                       {ID_APP_EXIT, u"&Close"}};

CNotifyIconWindow* g_pInstance = nullptr;
int g_nReconnectInterval = 5000;

QString ToQString(const std::u16string& s) {
    return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

// The line of a multi-line string resource.
std::u16string ResourceLine(UINT nId, std::size_t nLine) {
    const std::u16string sLines = corvane::LoadStringResource(nId);
    std::size_t nStart = 0;
    for (std::size_t i = 0; i < nLine && nStart != std::u16string::npos; ++i) {
        nStart = sLines.find(u'\n', nStart);
        if (nStart != std::u16string::npos) ++nStart;
    }
    if (nStart == std::u16string::npos) return {};
    return sLines.substr(nStart, sLines.find(u'\n', nStart) - nStart);
}

// Opens the service manager with all access and the program's service with nAccess.
struct CServiceHandles {
    explicit CServiceHandles(DWORD nAccess) {
        Manager.Attach(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!Manager) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
        Service.Attach(OpenServiceW(Manager, corvane::LoadStringResource(IDS_SERVICE_NAME).c_str(), nAccess));
        if (!Service) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
    }
    CServiceHandleT Manager;
    CServiceHandleT Service;
};

}  // namespace

// The window's sink of _ApplicationEvents. Events of an object in another process arrive on the bus
// client's thread: each goes to the window's thread as a queued call, and none after the window went.
class CNotifyIconEventsSink : public _ApplicationEvents {
public:
    using Interfaces = InterfaceList<InterfaceEntry<_ApplicationEvents>, InterfaceEntry<IDispatch, _ApplicationEvents>>;

    void SetTarget(QWidget* pTarget) {
        std::lock_guard Lock(m_Lock);
        m_pTarget = pTarget;
    }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo != nullptr) *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        if (dispIdMember == DISPID_ApplicationEvents_Stopping) {
            Post([](CNotifyIconWindow& Window) { Window.OnApplicationStopping(); });
            return S_OK;
        }
        if (dispIdMember != DISPID_ApplicationEvents_Event) return S_OK;
        if (pDispParams == nullptr || pDispParams->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        // Arguments arrive last first: the description, then the type.
        VARIANT Type, Description;
        VariantInit(&Type);
        VariantInit(&Description);
        if (FAILED(VariantChangeType(&Type, &pDispParams->rgvarg[1], 0, VT_I4)) ||
            FAILED(VariantChangeType(&Description, &pDispParams->rgvarg[0], 0, VT_BSTR))) {
            VariantClear(&Type);
            VariantClear(&Description);
            return DISP_E_TYPEMISMATCH;
        }
        const auto nType = static_cast<EVENTTYPE>(Type.lVal);
        std::u16string sDescription = Description.bstrVal != nullptr
                                          ? std::u16string(Description.bstrVal, SysStringLen(Description.bstrVal))
                                          : std::u16string();
        VariantClear(&Description);
        Post([nType, sDescription = std::move(sDescription)](CNotifyIconWindow& Window) {
            Window.OnApplicationEvent(nType, sDescription);
        });
        return S_OK;
    }

private:
    template <class Handler>
    void Post(Handler handler) {
        std::lock_guard Lock(m_Lock);
        if (m_pTarget == nullptr) return;
        QMetaObject::invokeMethod(
            m_pTarget,
            [handler = std::move(handler)] {
                if (CNotifyIconWindow* pWindow = CNotifyIconWindow::GetInstance()) {
                    corvane::GuardedOperation([&] { handler(*pWindow); });
                }
            },
            Qt::QueuedConnection);
    }

    std::mutex m_Lock;
    QWidget* m_pTarget = nullptr;
};

bool CNotifyIconWindow::GlobalCreate(bool bServiceHelper) {
    UL_ASSERT(g_pInstance == nullptr);
    if (g_pInstance != nullptr) return false;
    return SUCCEEDED(corvane::GuardedCall([&] {
        g_pInstance = new CNotifyIconWindow(bServiceHelper);
        g_pInstance->OnCreate();
    }));
}

void CNotifyIconWindow::GlobalDestroy() {
    CNotifyIconWindow* pInstance = g_pInstance;
    if (pInstance == nullptr) return;
    delete pInstance;
}

void CNotifyIconWindow::SetReconnectInterval(int nMilliseconds) noexcept {
    g_nReconnectInterval = nMilliseconds;
}

CNotifyIconWindow* CNotifyIconWindow::GetInstance() noexcept {
    return g_pInstance;
}

CNotifyIconWindow::CNotifyIconWindow(bool bServiceHelper) : m_bServiceHelper(bServiceHelper) {}

CNotifyIconWindow::~CNotifyIconWindow() {
    corvane::GuardedOperation([&] { OnDestroy(); });
    if (g_pInstance == this) g_pInstance = nullptr;
}

void CNotifyIconWindow::OnCreate() {
    // The hidden window: never shown, the owner of the queued calls and the parent of modal windows.
    m_pWidget = std::make_unique<QWidget>();
    m_pWidget->setObjectName(QLatin1String(kNotifyIconBusName));
    m_pWidget->setWindowTitle(QLatin1String(kNotifyIconBusName));
    m_hWnd = HandleFromWidget(m_pWidget.get());
    m_pBus = std::make_unique<CNotifyIconBus>();
    m_Icon = ServerIcon();
    for (int nSize : {16, 22, 24, 32, 48, 64}) m_UnconnectedIcon.addPixmap(m_Icon.pixmap(nSize, QIcon::Disabled));
    const std::u16string sTip = GetTip();
    UL_ASSERT(!sTip.empty());
    m_bBalloons = true;
    m_sBalloonTitle = corvane::LoadStringResource(IDS_NOTIFY_ICON_TITLE);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_pTrayIcon = std::make_unique<QSystemTrayIcon>(m_Icon);
        m_pTrayIcon->setToolTip(ToQString(sTip));
        OnRButtonUp(false);
        m_pTrayIcon->setContextMenu(m_pMenu.get());
        QObject::connect(m_pTrayIcon.get(), &QSystemTrayIcon::activated, m_pWidget.get(),
                         [this](QSystemTrayIcon::ActivationReason Reason) {
                             corvane::GuardedOperation([&] {
                                 LazyUpdateTip();
                                 // A StatusNotifierItem host sends a left click as Activate (Trigger): it
                                 // counts as the double click of the record.
                                 if (Reason == QSystemTrayIcon::DoubleClick || Reason == QSystemTrayIcon::Trigger)
                                     OnLButtonDown();
                             });
                         });
        m_pTrayIcon->show();
    } else {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
                 "No notification area on the desktop: the tray runs without an icon, balloons go to the "
                 "notification server\n");
    }
    m_nLastTipUpdateTime = 0;
    m_nLastTipFailureTime = 0;
    PostConnectToApplication();
}

void CNotifyIconWindow::OnDestroy() {
    Disconnect();
    if (m_pTrayIcon) m_pTrayIcon->hide();
    m_pTrayIcon.reset();
    m_pMenu.reset();
    m_pBus.reset();
    m_pWidget.reset();
    m_hWnd = nullptr;
}

std::u16string CNotifyIconWindow::GetTip() const {
    return ResourceLine(IDS_NOTIFY_ICON_TIP, m_bServiceHelper ? 1 : 0);
}

void CNotifyIconWindow::UpdateTip() {
    if (!m_pTrayIcon) corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE));
    std::u16string sTip = GetTip();
    if (sTip.size() > kMaxTip) sTip = sTip.substr(0, kMaxTip - 3) + u"...";
    m_pTrayIcon->setToolTip(ToQString(sTip));
}

void CNotifyIconWindow::LazyUpdateTip() {
    const DWORD nNow = GetTickCount();
    // 0 stands for "never" (a fresh window, a success since the last failure). Taken as a time, it would
    // hold back every refresh while the counter is in the upper half of its range (about 25 days in 50),
    // as a signed difference from 0 is negative there.
    const bool bDue = m_nLastTipUpdateTime == 0 ||
                      static_cast<LONG>(nNow - m_nLastTipUpdateTime) >= static_cast<LONG>(kTipUpdateInterval);
    const bool bPaused = m_nLastTipFailureTime != 0 &&
                         static_cast<LONG>(nNow - m_nLastTipFailureTime) < static_cast<LONG>(kTipFailurePause);
    if (!bDue || bPaused) return;
    try {
        UpdateTip();
        m_nLastTipUpdateTime = nNow;
        m_nLastTipFailureTime = 0;
    } catch (...) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        m_nLastTipUpdateTime = 0;
        m_nLastTipFailureTime = nNow;
    }
}

void CNotifyIconWindow::SetBalloonToolTip(UINT nIconFlags, UINT nTimeOut, const std::u16string& sTitle,
                                          const std::u16string& sText) {
    if (m_hWnd == nullptr || !m_bBalloons) return;
    // The record's limits: 63 characters of title, 255 of text.
    const QString sShownTitle = ToQString(sTitle.substr(0, 63));
    const QString sShownText = ToQString(sText.substr(0, 255));
    const unsigned char nUrgency = nIconFlags == NIIF_ERROR ? 2 : nIconFlags == NIIF_WARNING ? 1 : 0;
    if (m_pBus) m_pBus->Notify(sShownTitle, sShownText, static_cast<int>(nTimeOut), nUrgency);
}

void CNotifyIconWindow::SetApplicationEventBalloonToolTip(EVENTTYPE Type, const std::u16string& sDescription) {
    const auto nType = static_cast<ULONG>(Type);
    UL_ASSERT(nType < std::size(g_pnFlags));
    if (nType >= std::size(g_pnFlags)) return;
    SetBalloonToolTip(g_pnFlags[nType], kEventBalloonTimeOut, m_sBalloonTitle, sDescription);
}

void CNotifyIconWindow::OnApplicationEvent(EVENTTYPE Type, const std::u16string& sDescription) {
    SetApplicationEventBalloonToolTip(Type, sDescription);
}

void CNotifyIconWindow::OnApplicationStopping() {
    UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The application object stops; the tray connects again later\n");
    Disconnect();
    ShowConnection(false);
    ScheduleReconnect();
}

CComPtr<IApplication> CNotifyIconWindow::CreateApplication() {
    CComPtr<IApplication> pApplication;
    UL_CHECK(CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_ALL, IidOf<IApplication>(),
                              reinterpret_cast<void**>(&pApplication)));
    return pApplication;
}

void CNotifyIconWindow::PostConnectToApplication() {
    PostWindowCall(m_hWnd, [this] { OnConnectToApplication(); });
}

void CNotifyIconWindow::Disconnect() {
    if (m_pSink != nullptr) m_pSink->SetTarget(nullptr);
    if (m_pApplication != nullptr && m_nEventCookie != 0xFEFEFEFE) {
        // A connection to an object that went away fails here; that is expected.
        CComQIPtr<IConnectionPointContainer> pContainer(m_pApplication);
        CComPtr<IConnectionPoint> pPoint;
        if (pContainer != nullptr && SUCCEEDED(pContainer->FindConnectionPoint(IidOf<_ApplicationEvents>(), &pPoint)))
            pPoint->Unadvise(m_nEventCookie);
    }
    m_nEventCookie = 0xFEFEFEFE;
    m_pApplication.Release();
    if (m_pSink != nullptr) {
        m_pSink->Release();
        m_pSink = nullptr;
    }
}

void CNotifyIconWindow::ShowConnection(bool bConnected) {
    if (m_pTrayIcon == nullptr) return;
    const QIcon& Icon = GetIcon(bConnected);
    if (m_pTrayIcon->icon().cacheKey() != Icon.cacheKey()) m_pTrayIcon->setIcon(Icon);
}

void CNotifyIconWindow::ScheduleReconnect() {
    if (m_bReconnectScheduled || m_pWidget == nullptr) return;
    m_bReconnectScheduled = true;
    QTimer::singleShot(g_nReconnectInterval, m_pWidget.get(), [this] {
        m_bReconnectScheduled = false;
        if (IsConnected()) return;
        // Once the failure has been traced, the attempts stay quiet until an object answers.
        if (m_bConnectFailureTraced) {
            CComPtr<IApplication> pProbe;
            if (FAILED(CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_ALL, IidOf<IApplication>(),
                                        reinterpret_cast<void**>(&pProbe)))) {
                ScheduleReconnect();
                return;
            }
        }
        OnConnectToApplication();
    });
}

void CNotifyIconWindow::OnConnectToApplication() {
    Disconnect();
    const HRESULT hr = corvane::GuardedCall([&] {
        CComPtr<IApplication> pApplication = CreateApplication();
        CComObjectT<CNotifyIconEventsSink>* pSink = nullptr;
        UL_CHECK(CComObjectT<CNotifyIconEventsSink>::CreateInstance(&pSink));
        m_pSink = pSink;
        m_pSink->SetTarget(m_pWidget.get());
        CComQIPtr<IConnectionPointContainer> pContainer(pApplication);
        if (pContainer == nullptr) corvane::ThrowHResult(E_NOINTERFACE);
        CComPtr<IConnectionPoint> pPoint;
        UL_CHECK(pContainer->FindConnectionPoint(IidOf<_ApplicationEvents>(), &pPoint));
        DWORD nCookie = 0;
        UL_CHECK(pPoint->Advise(static_cast<_ApplicationEvents*>(m_pSink), &nCookie));
        m_pApplication = pApplication;
        m_nEventCookie = nCookie;
        EVENTTYPE Type = EVENTTYPE_INFORMATION;
        BSTR sDescription = nullptr;
        VARIANT_BOOL bValid = VARIANT_FALSE;
        UL_CHECK(m_pApplication->QueryLastEvent(&Type, &sDescription, &bValid));
        const std::u16string sText =
            sDescription != nullptr ? std::u16string(sDescription, SysStringLen(sDescription)) : std::u16string();
        SysFreeString(sDescription);
        if (bValid != VARIANT_FALSE) SetApplicationEventBalloonToolTip(Type, sText);
    });
    if (SUCCEEDED(hr)) {
        m_bConnectFailureTraced = false;
        ShowConnection(true);
        return;
    }
    ShowConnection(false);
    // Said once until the next success: a service that stays stopped would fill the trace otherwise.
    if (!m_bConnectFailureTraced) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
                 "The tray is not connected to the application (0x%08x); it tries again every %d ms\n",
                 static_cast<unsigned>(hr), g_nReconnectInterval);
        m_bConnectFailureTraced = true;
    }
    Disconnect();
    ScheduleReconnect();
}

DWORD CNotifyIconWindow::QueryServiceState() {
    CServiceHandles Handles(SERVICE_QUERY_STATUS);
    SERVICE_STATUS Status{};
    if (!QueryServiceStatus(Handles.Service, &Status)) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
    return Status.dwCurrentState;
}

UINT CNotifyIconWindow::GetDefaultCommand() {
    if (!m_bServiceHelper) return ID_APPLICATION_PROPERTIES;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    DWORD nState = SERVICE_STOPPED;
    const HRESULT hr = corvane::GuardedCall([&] { nState = QueryServiceState(); });
    QGuiApplication::restoreOverrideCursor();
    return SUCCEEDED(hr) && nState == SERVICE_RUNNING ? ID_APPLICATION_PROPERTIES : ID_APP_ABOUT;
}

void CNotifyIconWindow::OnLButtonDown() {
    if (m_pWidget == nullptr || !m_pWidget->isEnabled()) return;
    const HRESULT hr = corvane::GuardedCall([&] { PostCommand(GetDefaultCommand()); });
    if (FAILED(hr)) UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
}

void CNotifyIconWindow::OnRButtonUp(bool bTrack) {
    if (!m_pMenu) {
        m_pMenu = std::make_unique<QMenu>();
        m_pMenu->setObjectName(QString::number(IDM_NOTIFY_ICON));
        for (const MenuItem& Item : m_bServiceHelper ? std::span<const MenuItem>(kServiceHelperMenu)
                                                     : std::span<const MenuItem>(kApplicationMenu)) {
            if (Item.nCommand == 0) {
                m_pMenu->addSeparator();
                continue;
            }
            QAction* pAction = m_pMenu->addAction(ToQString(Item.pszText));
            pAction->setObjectName(QString::number(Item.nCommand));
            const UINT nCommand = Item.nCommand;
            QObject::connect(pAction, &QAction::triggered, m_pWidget.get(),
                             [this, nCommand] { PostCommand(nCommand); });
        }
        // The state of the service is asked for each time the menu opens.
        QObject::connect(m_pMenu.get(), &QMenu::aboutToShow, m_pWidget.get(), [this] {
            corvane::GuardedOperation([&] {
                LazyUpdateTip();
                OnRButtonUp(false);
            });
        });
    }
    const auto Action = [&](UINT nCommand) {
        return m_pMenu->findChild<QAction*>(QString::number(nCommand), Qt::FindDirectChildrenOnly);
    };
    if (m_bServiceHelper) {
        DWORD nState = 0;
        const HRESULT hr = corvane::GuardedCall([&] { nState = QueryServiceState(); });
        if (FAILED(hr)) UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        Action(ID_APPLICATION_START_SERVICE)->setEnabled(SUCCEEDED(hr) && nState == SERVICE_STOPPED);
        Action(ID_APPLICATION_STOP_SERVICE)->setEnabled(SUCCEEDED(hr) && nState == SERVICE_RUNNING);
        Action(ID_APPLICATION_PROPERTIES)->setEnabled(SUCCEEDED(hr) && nState == SERVICE_RUNNING);
    }
    m_pMenu->setDefaultAction(Action(GetDefaultCommand()));
    if (bTrack) {
        m_pWidget->activateWindow();
        m_pMenu->popup(QCursor::pos());
    }
}

void CNotifyIconWindow::PostCommand(UINT nCommand) {
    PostWindowCall(m_hWnd, [this, nCommand] { OnCommand(nCommand); });
}

void CNotifyIconWindow::OnCommand(UINT nCommand) {
    const HRESULT hr = corvane::GuardedCall([&] {
        switch (nCommand) {
            case ID_APP_ABOUT:
                OnAbout();
                break;
            case ID_APP_EXIT:
                PostQuitMessage(0);
                break;
            case ID_APPLICATION_START_SERVICE:
                OnApplicationStartService();
                break;
            case ID_APPLICATION_STOP_SERVICE:
                OnApplicationStopService();
                break;
            case ID_APPLICATION_PROPERTIES:
                OnApplicationProperties();
                break;
            default:
                break;
        }
    });
    if (FAILED(hr)) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught\n");
        corvane::ShowWindowException(m_hWnd, hr);
    }
}

void CNotifyIconWindow::OnAbout() {
    // This window is disabled while the box is open, so that a second command waits for it.
    m_pWidget->setEnabled(false);
    CAboutDialog Dialog;
    Dialog.DoModal(HandleFromWidget(QApplication::activeWindow()));
    if (m_pWidget) m_pWidget->setEnabled(true);
}

void CNotifyIconWindow::OnApplicationStartService() {
    CServiceHandles Handles(SERVICE_START | SERVICE_QUERY_STATUS);
    if (!StartServiceW(Handles.Service, 0, nullptr)) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
    SetBalloonToolTip(NIIF_INFO, kServiceBalloonTimeOut, m_sBalloonTitle, u"Service started");
    PostConnectToApplication();
}

void CNotifyIconWindow::OnApplicationStopService() {
    CServiceHandles Handles(SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS Status{};
    if (!ControlService(Handles.Service, SERVICE_CONTROL_STOP, &Status)) {
        const DWORD nError = GetLastError();
        if (nError != static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) corvane::ThrowHResult(HRESULT_FROM_WIN32(nError));
    }
    SetBalloonToolTip(NIIF_INFO, kServiceBalloonTimeOut, m_sBalloonTitle, u"Service stopped");
}

void CNotifyIconWindow::OnApplicationProperties() {
    if (!m_pWidget->isEnabled()) return;
    CComPtr<IApplication> pApplication = CreateApplication();
    m_pWidget->setEnabled(false);
    const HRESULT hr = corvane::GuardedCall([&] {
        corvane::COlePropertyFrameDialogT<> Frame(pApplication, corvane::LoadStringResource(IDS_FRAME_CAPTION));
        Frame.DoModal(HandleFromWidget(QApplication::activeWindow()));
    });
    if (m_pWidget) m_pWidget->setEnabled(true);
    if (FAILED(hr)) corvane::ThrowHResult(hr);
}
