// Message boxes, the window guard's error box, placement of frames, and the captions of the family.
#include "corvane/ulwindow.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>

#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/ulresource.h"

namespace corvane {

namespace {

const StringResource kWindowStrings[] = {
    {IDS_CAPTION_INFORMATION, u"Information"},
    {IDS_CAPTION_WARNING, u"Warning"},
    {IDS_CAPTION_ERROR, u"Error"},
    {IDS_CAPTION_CONFIRMATION, u"Confirmation"},
};
const CStringTableRegistration g_WindowStrings(kWindowStrings);

}  // namespace

std::u16string CMessageText::Resolve() const {
    if (m_nResourceId != 0 && m_nResourceId < 65536) return LoadStringResource(m_nResourceId);
    return m_sText;
}

int CMessageBox::DoModal() {
    const std::u16string sText = m_Text.Resolve();
    const std::u16string sCaption = m_Caption.Resolve();
    return MessageBoxExW(m_hOwner, sText.c_str(), sCaption.c_str(), m_uType, [this](HWND hBox) {
        // MessageBoxExW has centred the box on its owner already.
        OnCreate(hBox);
    });
}

std::chrono::milliseconds CTimedMessageBox::Now() const {
    if (m_Clock) return m_Clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

std::u16string CTimedMessageBox::FormatCaption(std::u16string_view sCaption, long long nRemaining) {
    const size_t nBracket = sCaption.rfind(u'(');
    std::u16string sBase(nBracket == std::u16string_view::npos ? sCaption : sCaption.substr(0, nBracket));
    while (!sBase.empty() && (sBase.back() == u' ' || sBase.back() == u'\t')) sBase.pop_back();
    const long long nSeconds = (nRemaining + 500) / 1000;
    return FormatString(u"%s (closing in %s seconds)", {sBase, comrt::ToUtf16(std::to_string(nSeconds))});
}

void CTimedMessageBox::OnCreate(HWND hBox) {
    m_EndTime = Now() + std::chrono::milliseconds(m_nTimeout);
    m_bTimedOut = false;
    QWidget* pBox = WidgetFromHandle(hBox);
    if (pBox == nullptr) return;
    auto* pTimer = new QTimer(pBox);
    QObject::connect(pTimer, &QTimer::timeout, pBox, GuardedHandler(hBox, [this, hBox] { Update(hBox); }));
    pTimer->start(static_cast<int>(UPDATE_INTERVAL));
    Update(hBox);
}

void CTimedMessageBox::Update(HWND hBox) {
    const long long nRemaining = (m_EndTime - Now()).count();
    if (nRemaining < 0) {
        m_bTimedOut = true;
        EndMessageBox(hBox, 0);
        return;
    }
    SetWindowTextW(hBox, FormatCaption(GetWindowText(hBox), nRemaining).c_str());
}

int CTimedMessageBox::DoModal() {
    const int nResult = CMessageBox::DoModal();
    return m_bTimedOut ? 0 : nResult;
}

bool CentreWindow(HWND hWnd, HWND hOwner) noexcept {
    QWidget* pWindow = WidgetFromHandle(hWnd);
    if (pWindow == nullptr) return false;
    QWidget* pOwner = WidgetFromHandle(hOwner);
    QRect Area;
    if (pOwner != nullptr)
        Area = pOwner->window()->frameGeometry();
    else if (QScreen* pScreen = pWindow->screen())
        Area = pScreen->availableGeometry();
    if (!Area.isValid()) return false;
    if (pWindow->layout() != nullptr && !pWindow->isVisible()) pWindow->adjustSize();
    pWindow->move(Area.center() - QPoint(pWindow->width() / 2, pWindow->height() / 2));
    return true;
}

void OffsetFromSimilarParent(HWND hFrame) noexcept {
    QWidget* pFrame = WidgetFromHandle(hFrame);
    if (pFrame == nullptr || pFrame->parentWidget() == nullptr) return;
    const QWidget* pOwner = pFrame->parentWidget()->window();
    if (pFrame->pos() != pOwner->pos()) return;
    const int nOffset = GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYCAPTION);
    pFrame->move(pFrame->pos() + QPoint(nOffset, nOffset));
}

void ShowWindowException(HWND hWnd, HRESULT nResult) noexcept {
    GuardedOperation([&] {
        std::u16string sText = FormatSystemMessage(nResult);
        if (sText.empty()) sText = GetSystemMessage(E_FAIL);
        CMessageBox(hWnd, sText + u".", IDS_CAPTION_ERROR, MB_OK | MB_ICONERROR).DoModal();
    });
}

std::vector<std::u16string> SplitResourceLines(std::u16string_view sText) {
    std::vector<std::u16string> Lines;
    size_t nStart = 0;
    while (nStart < sText.size()) {
        const size_t nEnd = sText.find(u'\n', nStart);
        if (nEnd == std::u16string_view::npos) {
            Lines.emplace_back(sText.substr(nStart));
            break;
        }
        Lines.emplace_back(sText.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return Lines;
}

}  // namespace corvane
