// The server's property pages: the status page and the scenarios page of the application object, and the
// scenario page of one scenario. They are COM classes of the user-interface module, created by class
// identifier by the property frame like the pages of any plug-in.
#pragma once

#include <QIcon>
#include <set>
#include <string>
#include <vector>

#include "HarkwellServer/ServerInterfaces.h"
#include "corvane/ulcontrols.h"
#include "corvane/ulhyperstatic.h"
#include "corvane/ulpropertypage.h"
#include "corvane/ulregister.h"

constexpr int IDD_STATUS = 2100;
constexpr int IDC_STATUS_TEXT = 2101;
constexpr int IDC_STATUS_ENABLE = 2102;
constexpr int IDC_STATUS_ENABLE_TEXT = 2103;
constexpr int IDC_STATUS_DISABLE = 2104;
constexpr int IDC_STATUS_DISABLE_TEXT = 2105;
constexpr int IDC_STATUS_HYPERSTATIC = 2108;

constexpr int IDD_SCENARIOS = 2200;
constexpr int IDC_SCENARIOS_LIST = 2201;
constexpr int IDC_SCENARIOS_CREATE = 2202;
constexpr int IDC_SCENARIOS_DELETE = 2203;
constexpr int IDC_SCENARIOS_PROPERTIES = 2204;

constexpr int IDD_SCENARIO = 2400;
constexpr int IDC_SCENARIO_ACTIVITY = 2401;
constexpr int IDC_SCENARIO_ACTIVITY_PROPERTIES = 2402;
constexpr int IDC_SCENARIO_NOTIFICATIONS = 2403;
constexpr int IDC_SCENARIO_CREATE = 2404;
constexpr int IDC_SCENARIO_DELETE = 2405;
constexpr int IDC_SCENARIO_NOTIFICATION_PROPERTIES = 2406;

// The icons of the lists: a scenario, a notification, an activity.
constexpr int IDI_ACTIVITY = 1500;
constexpr int IDI_NOTIFICATION = 1501;
constexpr int IDI_SCENARIO = 1502;

// The page edits not exactly one object.
constexpr HRESULT E_STATUS_PAGE_OBJECTS = static_cast<HRESULT>(0xA7650050);
constexpr HRESULT E_SCENARIOS_PAGE_OBJECTS = static_cast<HRESULT>(0xA765012E);
constexpr HRESULT E_SCENARIO_PAGE_OBJECTS = static_cast<HRESULT>(0xA7650279);
// An element of an enumeration is not an object reference.
constexpr HRESULT E_SCENARIOS_ELEMENT = static_cast<HRESULT>(0xA7650141);
constexpr HRESULT E_NOTIFICATIONS_ELEMENT = static_cast<HRESULT>(0xA765028F);

// The icon resource nId drawn at 16 by 16 pixels (and larger for high scales); icon 1 is the program's.
QIcon ServerListIcon(int nId);

// A list item of the scenarios page: one scenario, and the texts that describe it.
class CScenarioData {
public:
    explicit CScenarioData(IScenario* pScenario);
    IScenario* GetScenario() const noexcept { return m_pScenario; }
    // The activity's title; empty without an activity.
    std::u16string GetActivityTitle() const;
    // The first notification's title, with ", ..." after it when there are more; empty without any.
    std::u16string GetNotificationsTitle() const;

private:
    CComPtr<IScenario> m_pScenario;
};

// Opens a property frame on pObject with its own pages and the object's Title as caption (no caption when
// bCaption is false), modal, owned by the active window. False when the object has no pages (an error box
// said so); other failures are raised.
bool ShowObjectProperties(IUnknown* pObject, bool bCaption = true);
// The frame window that holds a page window.
HWND FrameOfPage(HWND hPage) noexcept;

class CStatusPropertyPage : public corvane::COlePropertyPageT<CStatusPropertyPage>,
                            public corvane::CWindowWithControlsT<CStatusPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_STATUS; }

    BEGIN_UL_CONTROL_MAP(CStatusPropertyPage)
    UL_CONTROL_ENTRY(IDC_STATUS_HYPERSTATIC, m_HyperStatic)
    END_UL_CONTROL_MAP()

    void OnInitDialog();
    HRESULT Apply() override;

private:
    void UpdateControls();
    void OnChoice(bool bEnabled);

    corvane::CUlHyperStatic m_HyperStatic;
    bool m_bCurrentEnabled = false;
    bool m_bNewEnabled = false;
    bool m_bInitializing = false;
    std::set<int> m_ChangeSet;
};

class CScenariosPropertyPage : public corvane::COlePropertyPageT<CScenariosPropertyPage>,
                               public corvane::CWindowWithControlsT<CScenariosPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_SCENARIOS; }

    BEGIN_UL_CONTROL_MAP(CScenariosPropertyPage)
    UL_CONTROL_ENTRY(IDC_SCENARIOS_LIST, m_List)
    END_UL_CONTROL_MAP()

    void OnInitDialog();
    HRESULT Apply() override;

    // The scenarios removed from the list and not yet from the collection, in order of removal.
    const std::vector<CComPtr<IScenario>>& GetDeletedScenarioList() const noexcept { return m_DeletedScenarioList; }

private:
    void FillList();
    void UpdateButtons();
    void AppendItem(IScenario* pScenario);
    void OnCreateClicked();
    void OnPropertiesClicked();
    void OnDeleteClicked();
    void RecordChange(int nId);
    std::vector<int> SelectedItems() const;

    corvane::CUlListViewT<CScenarioData> m_List;
    std::vector<CComPtr<IScenario>> m_DeletedScenarioList;
    std::set<int> m_ChangeSet;
};

class CScenarioPropertyPage : public corvane::COlePropertyPageT<CScenarioPropertyPage>,
                              public corvane::CWindowWithControlsT<CScenarioPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_SCENARIO; }

    BEGIN_UL_CONTROL_MAP(CScenarioPropertyPage)
    UL_CONTROL_ENTRY(IDC_SCENARIO_ACTIVITY, m_ActivityCombo)
    UL_CONTROL_ENTRY(IDC_SCENARIO_NOTIFICATIONS, m_List)
    END_UL_CONTROL_MAP()

    void OnInitDialog();
    HRESULT Apply() override;

private:
    void UpdateButtons();
    void OnActivityPropertiesClicked();
    void OnNotificationPropertiesClicked();
    void AfterProperties(int nId);

    corvane::CUlComboBoxT<CComPtr<IActivity>> m_ActivityCombo;
    corvane::CUlListViewT<CComPtr<INotification>> m_List;
    std::set<int> m_ChangeSet;
};

// The three page classes, for the module's entry points and for processes that serve them themselves.
const corvane::CModuleClassTable& ServerPageClassTable();

// Registers the page classes' class objects with the runtime for this process while it lives, so that a
// frame in this process creates them without the registry.
class CServerPageClassObjects {
public:
    CServerPageClassObjects();
    ~CServerPageClassObjects();
    CServerPageClassObjects(const CServerPageClassObjects&) = delete;
    CServerPageClassObjects& operator=(const CServerPageClassObjects&) = delete;

private:
    std::vector<DWORD> m_Cookies;
};
