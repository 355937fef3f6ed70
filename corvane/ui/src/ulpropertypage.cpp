// The parts of the page framework that are not templates: task-memory texts, the scrolling of cut pages, and
// the trace of the window system's failures.
#include "corvane/ulpropertypage.h"

#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>
#include <cstring>
#include <vector>

namespace corvane {

LPOLESTR CopyToTaskMemory(std::u16string_view sText) {
    const size_t nBytes = (sText.size() + 1) * sizeof(OLECHAR);
    auto* pszCopy = static_cast<LPOLESTR>(CoTaskMemAlloc(nBytes));
    if (pszCopy == nullptr) ThrowHResult(E_OUTOFMEMORY);
    std::memcpy(pszCopy, sText.data(), sText.size() * sizeof(OLECHAR));
    pszCopy[sText.size()] = 0;
    return pszCopy;
}

namespace {

// The identifier of the focus timer of a cut page.
constexpr int kFocusTimerInterval = 200;

// A cut page: the whole dialog inside a scroll area as tall as the part above the separator. The line
// step is 1 + h/3 and the page step 2h for h the height of "X"; the wheel moves by whole notches of 2h;
// every 200 ms a focused control not entirely in view is scrolled in (centred when it fits, else its top
// at the top). So that this does not undo the reader's scrolling, a scroll step that takes the focused control
// out of view moves the focus to the first control entirely in view in the scrolling direction (or to none),
// and the control gets the focus back once a later step shows it again.
class CScrollablePage final : public QScrollArea {
public:
    CScrollablePage(QWidget* pParent, QWidget* pDialog) : QScrollArea(pParent) {
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        setWidget(pDialog);
        setWidgetResizable(false);
        m_nTextHeight = QFontMetrics(pDialog->font()).boundingRect(QStringLiteral("X")).height();
        verticalScrollBar()->setSingleStep(1 + m_nTextHeight / 3);
        verticalScrollBar()->setPageStep(2 * m_nTextHeight);
        auto* pTimer = new QTimer(this);
        connect(pTimer, &QTimer::timeout, this, [this] { BringFocusIntoView(); });
        pTimer->start(kFocusTimerInterval);
        m_nLastPosition = verticalScrollBar()->value();
        connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int nPosition) {
            const int nDirection = nPosition - m_nLastPosition;
            m_nLastPosition = nPosition;
            if (!m_bFollowingFocus && nDirection != 0) FollowScrollStep(nDirection);
        });
    }

    void BringFocusIntoView() {
        QWidget* pFocus = window()->focusWidget();
        if (pFocus == nullptr || !widget()->isAncestorOf(pFocus)) return;
        const QRect Focused(pFocus->mapTo(viewport(), QPoint(0, 0)), pFocus->size());
        const QRect Client = viewport()->rect();
        if (Client.contains(Focused)) return;
        const int nPosition = verticalScrollBar()->value();
        m_bFollowingFocus = true;
        if (Focused.height() < Client.height())
            verticalScrollBar()->setValue(nPosition + Focused.center().y() - Client.center().y());
        else
            verticalScrollBar()->setValue(nPosition + Focused.top() - Client.top());
        m_bFollowingFocus = false;
    }

private:
    bool IsEntirelyInView(const QWidget* pControl) const {
        const QRect Shown(pControl->mapTo(viewport(), QPoint(0, 0)), pControl->size());
        return viewport()->rect().contains(Shown);
    }

    // After a step of the reader's (nDirection > 0: towards the end of the page).
    void FollowScrollStep(int nDirection) {
        if (m_pLostFocus != nullptr && IsEntirelyInView(m_pLostFocus)) {
            m_pLostFocus->setFocus(Qt::OtherFocusReason);
            m_pLostFocus = nullptr;
            return;
        }
        QWidget* pFocus = window()->focusWidget();
        if (pFocus == nullptr || !widget()->isAncestorOf(pFocus) || IsEntirelyInView(pFocus)) return;
        if (m_pLostFocus == nullptr) m_pLostFocus = pFocus;
        QWidget* pNext = nullptr;
        int nNextTop = 0;
        for (QWidget* pControl : widget()->findChildren<QWidget*>()) {
            if ((pControl->focusPolicy() & Qt::TabFocus) == 0 || !pControl->isVisibleTo(widget()) ||
                !pControl->isEnabled() || !IsEntirelyInView(pControl))
                continue;
            const int nTop = pControl->mapTo(widget(), QPoint(0, 0)).y();
            if (pNext == nullptr || (nDirection > 0 ? nTop < nNextTop : nTop > nNextTop)) {
                pNext = pControl;
                nNextTop = nTop;
            }
        }
        if (pNext != nullptr)
            pNext->setFocus(Qt::OtherFocusReason);
        else
            pFocus->clearFocus();
    }

public:
protected:
    void wheelEvent(QWheelEvent* pEvent) override {
        const int nNotches = pEvent->angleDelta().y() / 120;
        verticalScrollBar()->setValue(verticalScrollBar()->value() - nNotches * 2 * m_nTextHeight);
        pEvent->accept();
    }
    void resizeEvent(QResizeEvent* pEvent) override {
        QScrollArea::resizeEvent(pEvent);
        widget()->resize(viewport()->width(), widget()->height());
    }

private:
    int m_nTextHeight = 0;
    int m_nLastPosition = 0;
    bool m_bFollowingFocus = false;  // set while the page itself scrolls the focus into view
    QPointer<QWidget> m_pLostFocus;  // the control the reader's scrolling took the focus from
};

}  // namespace

HWND CreateScrollableDialog(const DialogResource& Resource, short nVisibleHeight, HWND hParent) noexcept {
    QWidget* pParent = WidgetFromHandle(hParent);
    if (hParent != nullptr && pParent == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HRESULT hr = S_OK;
    HWND hScrollable = nullptr;
    GuardedOperation([&] {
        const HWND hDialog = CreateDialogFromResource(Resource, nullptr);
        QWidget* pDialog = WidgetFromHandle(hDialog);
        if (pDialog == nullptr) {
            hr = E_OUTOFMEMORY;
            return;
        }
        pDialog->setWindowFlags(Qt::Widget);
        if (QWidget* pSeparator = pDialog->findChild<QWidget*>(QString::number(IDC_SEPARATOR))) pSeparator->hide();
        auto* pPage = new CScrollablePage(pParent, pDialog);
        const SIZE Visible = GetDialogResourceSize(DialogResource{Resource.cx, nVisibleHeight, nullptr, {}});
        pPage->resize(Visible.cx, Visible.cy);
        hScrollable = HandleFromWidget(pPage);
    });
    if (hScrollable == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return hScrollable;
}

void SetScrollPosition(HWND hScrollable, int nPosition) noexcept {
    if (auto* pPage = dynamic_cast<QScrollArea*>(WidgetFromHandle(hScrollable)))
        pPage->verticalScrollBar()->setValue(nPosition);  // the scroll bar clamps to its range
}

int GetScrollPosition(HWND hScrollable) noexcept {
    auto* pPage = dynamic_cast<QScrollArea*>(WidgetFromHandle(hScrollable));
    return pPage != nullptr ? pPage->verticalScrollBar()->value() : 0;
}

namespace {

void WriteUserInterfaceTrace(const char* pszLine) {
    UL_TRACE(TRACE_LEVEL_FAILURE, "%s\n", pszLine);
}

}  // namespace

void InstallUserInterfaceTrace() noexcept {
    SetUserInterfaceTraceWriter(WriteUserInterfaceTrace);
}

}  // namespace corvane
