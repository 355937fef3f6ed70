// The program's About box (dialog 29900): the icon, the product name, the versions of the build, the web
// and mail links and the legal warning; its caption ends with " // " and the file version.
#pragma once

#include <QFont>

#include "comrt/qtwindows.h"
#include "corvane/ulhyperstatic.h"

constexpr int IDD_ABOUT = 29900;
constexpr int IDC_ABOUT_ICON = 29901;
constexpr int IDC_ABOUT_TITLE = 29902;
constexpr int IDC_ABOUT_PRODUCT_VERSION = 29903;
constexpr int IDC_ABOUT_MODULE_VERSION = 29904;
constexpr int IDC_ABOUT_WEB = 29906;
constexpr int IDC_ABOUT_MAIL = 29908;
constexpr int IDC_ABOUT_WARNING = 29910;

class CAboutDialog {
public:
    static const DialogResource& GetDialogResource();
    // Shows the box owned by hOwner until a command ends it; the command's identifier.
    int DoModal(HWND hOwner = nullptr);
    // The dialog's window while it is shown.
    HWND GetWindow() const noexcept { return m_hWnd; }

private:
    void OnInitDialog(HWND hOwner);

    HWND m_hWnd = nullptr;
    QFont m_TitleFont;
    QFont m_WarningFont;
    corvane::CUlHyperStatic m_WebLink;
    corvane::CUlHyperStatic m_MailLink;
};

// The program's icon, drawn from its SVG at the sizes windows use; empty when no SVG reader is installed.
QIcon ServerIcon();
