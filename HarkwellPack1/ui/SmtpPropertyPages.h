// The property pages of the e-mail notification: the connection page (server, sender, recipients,
// authentication, and the connection's security) and the template page (subject and body). Both work on
// exactly one object and reach it only through IDispatch, by property name.
#pragma once

#include <string>
#include <vector>

#include "Pack1PropertyPage.h"
#include "PageText.h"
#include "SmtpNotification.h"
#include "corvane/ulcontrols.h"

constexpr UINT IDD_CONNECTION = 400;
constexpr int IDC_CONNECTION_SERVERHOST = 401;
constexpr int IDC_CONNECTION_SERVERPORT = 402;
constexpr int IDC_CONNECTION_SENDER = 403;
constexpr int IDC_CONNECTION_TORECIPIENTS = 404;
constexpr int IDC_CONNECTION_CCRECIPIENTS = 405;
constexpr int IDC_CONNECTION_BCCRECIPIENTS = 406;
constexpr int IDC_CONNECTION_AUTHENTICATIONMETHODS = 407;
constexpr int IDC_CONNECTION_AUTHENTICATIONNAME_TITLE = 408;
constexpr int IDC_CONNECTION_AUTHENTICATIONNAME = 409;
constexpr int IDC_CONNECTION_AUTHENTICATIONPASSWORD_TITLE = 410;
constexpr int IDC_CONNECTION_AUTHENTICATIONPASSWORD = 411;
// The connection's security (ISmtpNotificationSecurity): disabled for an object without it.
constexpr int IDC_CONNECTION_SECURITY = 412;
constexpr int IDC_CONNECTION_VERIFYSERVERCERTIFICATE = 413;
constexpr int IDC_CONNECTION_SECURITY_TITLE = 414;

constexpr UINT IDD_TEMPLATE = 300;
constexpr int IDC_TEMPLATE_BODY = 301;
constexpr int IDC_TEMPLATE_SUBJECT = 302;

// The pages work only with exactly one object.
constexpr HRESULT E_CONNECTION_PAGE_SINGLE_OBJECT = static_cast<HRESULT>(0xA7650095);
constexpr HRESULT E_TEMPLATE_PAGE_SINGLE_OBJECT = static_cast<HRESULT>(0xA765013C);

class CConnectionPropertyPage : public pack1ui::CPack1PropertyPageT<CConnectionPropertyPage>,
                                public corvane::CWindowWithControlsT<CConnectionPropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_CONNECTION; }

    BEGIN_UL_CONTROL_MAP(CConnectionPropertyPage)
    UL_CONTROL_ENTRY(IDC_CONNECTION_AUTHENTICATIONMETHODS, m_AuthenticationMethodsComboBox)
    UL_CONTROL_ENTRY(IDC_CONNECTION_SECURITY, m_SecurityComboBox)
    END_UL_CONTROL_MAP()

    void LoadControls();
    HRESULT Apply() override;
    void OnChange(int nId);

    corvane::CUlComboBoxT<LONG> m_AuthenticationMethodsComboBox;
    corvane::CUlComboBoxT<LONG> m_SecurityComboBox;

private:
    void UpdateEnabledState();
    bool m_bSecurity = false;  // the object has ISmtpNotificationSecurity
};

class CTemplatePropertyPage : public pack1ui::CPack1PropertyPageT<CTemplatePropertyPage>,
                              public corvane::CWindowWithControlsT<CTemplatePropertyPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource();
    static UINT GetTitleResourceId() { return IDD_TEMPLATE; }

    BEGIN_UL_CONTROL_MAP(CTemplatePropertyPage)
    UL_CONTROL_ENTRY(IDC_TEMPLATE_SUBJECT, m_hSubjectEdit)
    END_UL_CONTROL_MAP()

    void LoadControls();
    HRESULT Apply() override;
    using CPack1PropertyPageT::OnChange;

    HWND m_hSubjectEdit = nullptr;
};
