#include "SmtpPropertyPages.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "comrt/systemerrors.h"
#include "corvane/uldebug.h"
#include "corvane/ullisttext.h"
#include "corvane/ulresource.h"
#include "corvane/ulwindow.h"

namespace {

using pack1ui::GetNumberProperty;
using pack1ui::GetTextProperty;
using pack1ui::PutNumberProperty;
using pack1ui::PutTextProperty;

const corvane::StringResource kSmtpPageStrings[] = {
    {IDD_CONNECTION, u"SMTP Connection"},
    {IDC_CONNECTION_AUTHENTICATIONMETHODS,
     u"No authentication\nPlain text authentication\nDigest authentication\nDigest or plain text authentication\n"},
    {IDC_CONNECTION_SECURITY, u"No encryption\nSTARTTLS if offered\nSTARTTLS required\nTLS on connect\n"},
    {IDD_TEMPLATE, u"Message Template"},
};
const corvane::CStringTableRegistration g_SmtpPageStrings(kSmtpPageStrings);

// The required marks are statics without identifier whose text is "*" (drawn red). Security and the
// certificate check come last, after the server, the addresses and the authentication.
const DialogControl kConnectionControls[] = {
    {-1, DialogControlKind::Static, u"* ", 7, 9, 8, 8},
    {-1, DialogControlKind::Static, u"Server &host name: ", 15, 9, 83, 8},
    {IDC_CONNECTION_SERVERHOST, DialogControlKind::Edit, u"", 100, 7, 120, 14},
    {-1, DialogControlKind::Static, u"&Port (default is 25): ", 15, 24, 83, 8},
    {IDC_CONNECTION_SERVERPORT, DialogControlKind::Edit, u"", 100, 22, 120, 14},
    {-1, DialogControlKind::Static, u"* ", 7, 39, 8, 8},
    {-1, DialogControlKind::Static, u"&Sender (From):  ", 15, 39, 83, 8},
    {IDC_CONNECTION_SENDER, DialogControlKind::Edit, u"", 100, 37, 120, 14},
    {-1, DialogControlKind::Static, u"* ", 7, 54, 8, 8},
    {-1, DialogControlKind::Static, u"&Recipients (To): ", 15, 54, 83, 8},
    {IDC_CONNECTION_TORECIPIENTS, DialogControlKind::Edit, u"", 100, 52, 120, 14},
    {-1, DialogControlKind::Static, u"&CC: ", 15, 69, 83, 8},
    {IDC_CONNECTION_CCRECIPIENTS, DialogControlKind::Edit, u"", 100, 67, 120, 14},
    {-1, DialogControlKind::Static, u"&BCC: ", 15, 84, 83, 8},
    {IDC_CONNECTION_BCCRECIPIENTS, DialogControlKind::Edit, u"", 100, 82, 120, 14},
    {-1, DialogControlKind::Static, u"Authentication ", 7, 100, 60, 8},
    {-1, DialogControlKind::Separator, nullptr, 68, 104, 152, 1},
    // The longest choice needs the page's width: the list goes under its label.
    {-1, DialogControlKind::Static, u"&Authentication methods: ", 15, 111, 205, 8},
    {IDC_CONNECTION_AUTHENTICATIONMETHODS, DialogControlKind::ComboBox, nullptr, 15, 121, 205, 60},
    {IDC_CONNECTION_AUTHENTICATIONNAME_TITLE, DialogControlKind::Static, u"&User name: ", 15, 141, 83, 8},
    {IDC_CONNECTION_AUTHENTICATIONNAME, DialogControlKind::Edit, u"", 100, 139, 120, 14},
    {IDC_CONNECTION_AUTHENTICATIONPASSWORD_TITLE, DialogControlKind::Static, u"P&assword: ", 15, 157, 83, 8},
    {IDC_CONNECTION_AUTHENTICATIONPASSWORD, DialogControlKind::Edit, u"", 100, 155, 120, 14},
    {-1, DialogControlKind::Static, u"Security ", 7, 174, 60, 8},
    {-1, DialogControlKind::Separator, nullptr, 68, 178, 152, 1},
    {IDC_CONNECTION_SECURITY_TITLE, DialogControlKind::Static, u"S&ecurity: ", 15, 187, 83, 8},
    {IDC_CONNECTION_SECURITY, DialogControlKind::ComboBox, nullptr, 100, 185, 120, 60},
    {IDC_CONNECTION_VERIFYSERVERCERTIFICATE, DialogControlKind::CheckBox, u"&Verify the server's certificate", 100, 203,
     120, 10},
};
// Taller than the template page by the security section.
const DialogResource kConnectionResource{227, 219, nullptr, kConnectionControls};

constexpr int kConnectionTextEdits[] = {IDC_CONNECTION_SENDER, IDC_CONNECTION_TORECIPIENTS, IDC_CONNECTION_CCRECIPIENTS,
                                        IDC_CONNECTION_BCCRECIPIENTS};
constexpr const char16_t* kConnectionTextProperties[] = {u"Sender", u"ToRecipients", u"CcRecipients", u"BccRecipients"};

const DialogControl kTemplateControls[] = {
    {-1, DialogControlKind::Static, u"&Subject: ", 7, 9, 213, 8},
    {IDC_TEMPLATE_SUBJECT, DialogControlKind::Edit, u"", 7, 20, 213, 14},
    {-1, DialogControlKind::Static, u"&Body: ", 7, 41, 213, 8},
    {IDC_TEMPLATE_BODY, DialogControlKind::MultiLineEdit, u"", 7, 52, 213, 118},
    {-1, DialogControlKind::Static,
     u"NOTE: Use $(Subject) and $(Body) placeholders to be replaced with activity supplied data", 7, 175, 213, 18},
};
const DialogResource kTemplateResource{227, 200, nullptr, kTemplateControls};

}  // namespace

// The connection page

const DialogResource& CConnectionPropertyPage::GetDialogResource() {
    return kConnectionResource;
}

void CConnectionPropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    QWidget* pPage = WidgetFromHandle(GetWindow());
    for (QLabel* pLabel : pPage->findChildren<QLabel*>()) {
        if (pLabel->text().trimmed() != QStringLiteral("*")) continue;
        QPalette Palette = pLabel->palette();
        Palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
        pLabel->setPalette(Palette);
        pLabel->setAutoFillBackground(false);
    }
    if (auto* pPassword = qobject_cast<QLineEdit*>(WidgetFromHandle(GetItem(IDC_CONNECTION_AUTHENTICATIONPASSWORD))))
        pPassword->setEchoMode(QLineEdit::Password);
    m_AuthenticationMethodsComboBox.Initialize();
    m_SecurityComboBox.Initialize();

    CheckSingleObject(E_CONNECTION_PAGE_SINGLE_OBJECT);
    CComPtr<IDispatch> pDispatch = GetObjectInterface<IDispatch>(0);
    for (const int nId :
         {IDC_CONNECTION_SERVERHOST, IDC_CONNECTION_SERVERPORT, IDC_CONNECTION_SENDER, IDC_CONNECTION_TORECIPIENTS,
          IDC_CONNECTION_CCRECIPIENTS, IDC_CONNECTION_BCCRECIPIENTS, IDC_CONNECTION_AUTHENTICATIONMETHODS,
          IDC_CONNECTION_AUTHENTICATIONNAME, IDC_CONNECTION_AUTHENTICATIONPASSWORD, IDC_CONNECTION_SECURITY,
          IDC_CONNECTION_VERIFYSERVERCERTIFICATE})
        Watch(nId);
    SetItemText(IDC_CONNECTION_SERVERHOST, GetTextProperty(pDispatch, u"ServerHost"));
    SetItemText(IDC_CONNECTION_SERVERPORT, pack1ui::DecimalText(GetNumberProperty(pDispatch, u"ServerPort")));
    for (size_t i = 0; i < std::size(kConnectionTextEdits); ++i)
        SetItemText(kConnectionTextEdits[i], GetTextProperty(pDispatch, kConnectionTextProperties[i]));
    m_AuthenticationMethodsComboBox.SetCurSel(m_AuthenticationMethodsComboBox.FindItemData(
        pack1ui::ChoiceOfMethods(GetTextProperty(pDispatch, u"AuthenticationMethods"))));
    SetItemText(IDC_CONNECTION_AUTHENTICATIONNAME, GetTextProperty(pDispatch, u"AuthenticationName"));
    // The stored password is never shown (over the bus it cannot even be read).
    SetItemText(IDC_CONNECTION_AUTHENTICATIONPASSWORD, u"");

    // The connection's security, when the object has it.
    CComPtr<ISmtpNotificationSecurity> pSecurity;
    m_bSecurity = SUCCEEDED(GetObject(0)->QueryInterface(&pSecurity)) && pSecurity != nullptr;
    if (m_bSecurity) {
        m_SecurityComboBox.SetCurSel(m_SecurityComboBox.FindItemData(GetNumberProperty(pSecurity, u"Security")));
        pack1ui::CVariant Verify;
        pack1ui::GetProperty(pSecurity, u"VerifyServerCertificate", &Verify);
        UL_CHECK(VariantChangeType(&Verify, &Verify, 0, VT_BOOL));
        if (auto* pCheck = qobject_cast<QCheckBox*>(WidgetFromHandle(GetItem(IDC_CONNECTION_VERIFYSERVERCERTIFICATE))))
            pCheck->setChecked(Verify.boolVal != VARIANT_FALSE);
    }
    UpdateEnabledState();
}

void CConnectionPropertyPage::UpdateEnabledState() {
    const BOOL bAuthentication = m_AuthenticationMethodsComboBox.GetCurSelData(pack1ui::AUTHENTICATION_NONE) != 0;
    for (int nId = IDC_CONNECTION_AUTHENTICATIONNAME_TITLE; nId <= IDC_CONNECTION_AUTHENTICATIONPASSWORD; ++nId)
        EnableWindow(GetItem(nId), bAuthentication);
    EnableWindow(GetItem(IDC_CONNECTION_SECURITY_TITLE), m_bSecurity);
    EnableWindow(GetItem(IDC_CONNECTION_SECURITY), m_bSecurity);
    // The certificate is checked only on an encrypted connection.
    EnableWindow(GetItem(IDC_CONNECTION_VERIFYSERVERCERTIFICATE),
                 m_bSecurity && m_SecurityComboBox.GetCurSelData(0) != 0);
}

void CConnectionPropertyPage::OnChange(int nId) {
    if (m_bLoading) return;
    CPack1PropertyPageT::OnChange(nId);
    UpdateEnabledState();
}

HRESULT CConnectionPropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    for (size_t nObject = 0; nObject < GetObjectCount(); ++nObject) {
        CComPtr<IUnknown> pObject = GetObject(nObject);
        CComPtr<IDispatch> pDispatch = GetObjectInterface<IDispatch>(nObject);
        PutTextProperty(pDispatch, u"ServerHost", ItemText(IDC_CONNECTION_SERVERHOST));
        PutNumberProperty(pDispatch, u"ServerPort", pack1ui::PortOfText(ItemText(IDC_CONNECTION_SERVERPORT)));
        for (size_t i = 0; i < std::size(kConnectionTextEdits); ++i)
            PutTextProperty(pDispatch, kConnectionTextProperties[i], ItemText(kConnectionTextEdits[i]));
        PutTextProperty(
            pDispatch, u"AuthenticationMethods",
            pack1ui::MethodsOfChoice(m_AuthenticationMethodsComboBox.GetCurSelData(pack1ui::AUTHENTICATION_NONE)));
        PutTextProperty(pDispatch, u"AuthenticationName", ItemText(IDC_CONNECTION_AUTHENTICATIONNAME));
        if (IsChanged(IDC_CONNECTION_AUTHENTICATIONPASSWORD))
            PutTextProperty(pDispatch, u"AuthenticationPassword", ItemText(IDC_CONNECTION_AUTHENTICATIONPASSWORD));
        CComPtr<ISmtpNotificationSecurity> pSecurity;
        if (m_bSecurity && SUCCEEDED(pObject->QueryInterface(&pSecurity)) && pSecurity != nullptr) {
            PutNumberProperty(pSecurity, u"Security", m_SecurityComboBox.GetCurSelData(0));
            auto* pCheck = qobject_cast<QCheckBox*>(WidgetFromHandle(GetItem(IDC_CONNECTION_VERIFYSERVERCERTIFICATE)));
            pack1ui::CVariant Verify;
            Verify.vt = VT_BOOL;
            Verify.boolVal = pCheck != nullptr && pCheck->isChecked() ? VARIANT_TRUE : VARIANT_FALSE;
            pack1ui::PutProperty(pSecurity, u"VerifyServerCertificate", Verify);
        }
    }
    SetApplied();
    UL_PAGE_GUARD_END
}

// The template page

const DialogResource& CTemplatePropertyPage::GetDialogResource() {
    return kTemplateResource;
}

void CTemplatePropertyPage::LoadControls() {
    InitializeControls(GetWindow());
    if (auto* pBody = qobject_cast<QPlainTextEdit*>(WidgetFromHandle(GetItem(IDC_TEMPLATE_BODY)))) {
        pBody->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        pBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        pBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    CheckSingleObject(E_TEMPLATE_PAGE_SINGLE_OBJECT);
    CComPtr<IDispatch> pDispatch = GetObjectInterface<IDispatch>(0);
    Watch(IDC_TEMPLATE_SUBJECT);
    Watch(IDC_TEMPLATE_BODY);
    SetItemText(IDC_TEMPLATE_SUBJECT, GetTextProperty(pDispatch, u"Subject"));
    SetItemText(IDC_TEMPLATE_BODY, GetTextProperty(pDispatch, u"Body"));
}

HRESULT CTemplatePropertyPage::Apply() {
    UL_PAGE_GUARD_BEGIN
    if (!IsDirty()) return S_OK;
    pack1ui::CWaitCursor WaitCursor;
    for (size_t nObject = 0; nObject < GetObjectCount(); ++nObject) {
        CComPtr<IDispatch> pDispatch = GetObjectInterface<IDispatch>(nObject);
        PutTextProperty(pDispatch, u"Subject", ItemText(IDC_TEMPLATE_SUBJECT));
        PutTextProperty(pDispatch, u"Body", pack1ui::TextWithCrLf(ItemText(IDC_TEMPLATE_BODY)));
    }
    SetApplied();
    UL_PAGE_GUARD_END
}
