// The Create Scenario wizard: an introduction, the choice of one activity class, the choice of one or more
// notification classes (each configured on its own pages), and the completion, which adds the scenario to
// the collection and starts its activity.
#pragma once

#include <QFont>
#include <QPixmap>
#include <string>
#include <vector>

#include "HarkwellServer/ServerInterfaces.h"
#include "comrt/comptr.h"
#include "comrt/propertypages.h"
#include "comrt/qtwindows.h"

constexpr int IDD_WIZARD_INTRODUCTION = 2310;
constexpr int IDD_WIZARD_COMPLETION = 2320;
constexpr int IDD_WIZARD_ACTIVITY = 2330;
constexpr int IDD_WIZARD_NOTIFICATIONS = 2333;
constexpr int IDC_INTRODUCTION_TITLE = 29810;
constexpr int IDC_INTRODUCTION_SKIP = 29811;
constexpr int IDC_COMPLETION_ICON = 29820;
constexpr int IDC_COMPLETION_TITLE = 29821;
constexpr int IDC_ACTIVITY_LIST = 2331;
constexpr int IDC_ACTIVITY_PROPERTIES = 2332;
constexpr int IDC_NOTIFICATIONS_AVAILABLE = 2334;
constexpr int IDC_NOTIFICATIONS_ADD = 2335;
constexpr int IDC_NOTIFICATIONS_CHOSEN = 2336;
constexpr int IDC_NOTIFICATIONS_REMOVE = 2337;
constexpr int IDC_NOTIFICATIONS_PROPERTIES = 2338;

// The wizard's own buttons.
constexpr int IDC_WIZARD_BACK = 0x3023;
constexpr int IDC_WIZARD_NEXT = 0x3024;
constexpr int IDC_WIZARD_FINISH = 0x3025;

// Where the introduction's "skip next time" is remembered, in the current user's hive.
inline constexpr char16_t kConfirmationsKeyPath[] = u"SOFTWARE\\Corvane\\Harkwell\\Server\\Confirmations";
inline constexpr char16_t kSkipIntroductionValueName[] = u"CCreateScenarioWizard::CIntroductionPage";

class CCreateScenarioWizard {
public:
    // A chosen class: its identifier, its display name, the object made for it and whether it lists pages.
    struct CObjectData {
        CLSID Class{};
        std::u16string sDisplayName;
        CComPtr<IUnknown> pObject;
        CComPtr<ISpecifyPropertyPages> pSpecifyPropertyPages;
    };
    using ActivityData = CObjectData;
    using NotificationDataArray = std::vector<CObjectData>;

    explicit CCreateScenarioWizard(IScenarios* pScenarios);
    // Shows the wizard owned by hOwner (null: the active window) until it is closed: IDOK after Finish, else
    // IDCANCEL.
    int DoModal(HWND hOwner = nullptr);
    // The scenario made on completion, or none.
    CComPtr<IScenario> GetScenario() const { return m_pScenario; }

    // The bold title font of the exterior pages: the message font, face "Verdana Bold", weight 700, its
    // height 4 larger.
    static QFont CreateTitleFont(const QFont& MessageFont);
    // The wizard's pictures, drawn from their SVG for the scale of the screen.
    static QPixmap HeaderPicture(qreal nScale);
    static QPixmap WatermarkPicture(qreal nScale);

    // Makes the scenario from the choices; a failure after the scenario was added removes it again and is
    // raised.
    void Complete();
    void SetActivity(ActivityData Activity) { m_Activity = std::move(Activity); }
    void SetNotifications(NotificationDataArray Notifications) { m_Notifications = std::move(Notifications); }
    IScenarios* GetScenarios() const noexcept { return m_pScenarios; }
    const QFont& GetTitleFont() const noexcept { return m_TitleFont; }

private:
    CComPtr<IScenarios> m_pScenarios;
    ActivityData m_Activity;
    NotificationDataArray m_Notifications;
    CComPtr<IScenario> m_pScenario;
    QFont m_TitleFont;
};
