// The hyperlink label: parsing of the anchor mark-up, layout, drawing, and activation of links.
#include "corvane/ulhyperstatic.h"

#include <QApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QToolTip>

#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulregexp.h"
#include "corvane/ulregistry.h"
#include "corvane/ulwindow.h"

namespace corvane {

namespace {

constexpr UINT TRACE_LEVEL_PARTS = 5;
constexpr size_t kMaxColourLength = 16;

// The mark-up: text before an anchor and the anchor's attributes, the link text up to the closing tag, and
// the three attributes.
struct CHyperTextExpressions {
    CRegExp AnchorStart, AnchorEnd, Identifier, Location, Title;
    CHyperTextExpressions() {
        const std::pair<CRegExp*, const char16_t*> kExpressions[] = {
            {&AnchorStart, u"^{[^\\<]*}\\<A *{[^\\>]*}\\>"}, {&AnchorEnd, u"^{[^\\<]*}\\<\\/A\\>"},
            {&Identifier, u"ID=\\\"{[^\\\"]+}\\\""},         {&Location, u"HREF=\\\"{[^\\\"]+}\\\""},
            {&Title, u"TITLE=\\\"{[^\\\"]+}\\\""},
        };
        for (const auto& [pRegExp, pszPattern] : kExpressions) {
            const REPARSE_ERROR nError = pRegExp->Parse(pszPattern, false);
            UL_ASSERT(nError == REPARSE_ERROR_OK);
        }
    }
};

const CHyperTextExpressions& Expressions() {
    static const CHyperTextExpressions kExpressions;
    return kExpressions;
}

std::u16string Group(const CRegExpMatchContext& Context, UINT nGroup) {
    const WCHAR* pStart = nullptr;
    const WCHAR* pEnd = nullptr;
    Context.GetGroup(nGroup, &pStart, &pEnd);
    if (pStart == nullptr || pEnd == nullptr) return {};
    return std::u16string(pStart, pEnd);
}

// Group 0 of the first match of RegExp in sText, or empty.
std::u16string FindAttribute(const CRegExp& RegExp, std::u16string_view sText) {
    CRegExpMatchContext Context;
    if (!RegExp.Match(sText, &Context)) return {};
    return Group(Context, 0);
}

void TracePart(const CHyperTextPart& Part) {
    if (!Part.m_bAnchor) {
        UL_TRACE(TRACE_LEVEL_PARTS, "HyperTextPart.m_sText \"%s\"\n", comrt::ToUtf8(Part.m_sText).c_str());
        return;
    }
    UL_TRACE(TRACE_LEVEL_PARTS,
             "HyperTextPart.m_sText \"%s\", .m_sIdentifier \"%s\", .m_sLocation \"%s\", .m_sTitle \"%s\"\n",
             comrt::ToUtf8(Part.m_sText).c_str(), comrt::ToUtf8(Part.m_sIdentifier).c_str(),
             comrt::ToUtf8(Part.m_sLocation).c_str(), comrt::ToUtf8(Part.m_sTitle).c_str());
}

QString ToQString(std::u16string_view sText) {
    return QString::fromUtf16(sText.data(), static_cast<qsizetype>(sText.size()));
}

}  // namespace

void CHyperTextPartArray::SetHyperText(std::u16string_view sText) {
    clear();
    const CHyperTextExpressions& Regs = Expressions();
    auto AddPlain = [this](std::u16string_view sPlain) {
        if (sPlain.empty()) return;
        CHyperTextPart Part;
        Part.m_sText = std::u16string(sPlain);
        TracePart(Part);
        push_back(std::move(Part));
    };
    while (!sText.empty()) {
        CRegExpMatchContext StartContext;
        const WCHAR* pAfterStart = nullptr;
        if (!Regs.AnchorStart.Match(sText, &StartContext, &pAfterStart)) break;
        const std::u16string sBefore = Group(StartContext, 0);
        const std::u16string sAttributes = Group(StartContext, 1);
        const std::u16string_view sRest = sText.substr(static_cast<size_t>(pAfterStart - sText.data()));
        CRegExpMatchContext EndContext;
        const WCHAR* pAfterEnd = nullptr;
        if (!Regs.AnchorEnd.Match(sRest, &EndContext, &pAfterEnd)) {
            // Without its closing tag the anchor is not mark-up: it shows as written.
            UL_TRACE(TRACE_LEVEL_ERROR, "The anchor \"%s\" has no closing tag; the text is shown as it is\n",
                     comrt::ToUtf8(sText.substr(sBefore.size())).c_str());
            break;
        }
        AddPlain(sBefore);
        CHyperTextPart Part;
        Part.m_bAnchor = true;
        Part.m_sText = Group(EndContext, 0);
        Part.m_sIdentifier = FindAttribute(Regs.Identifier, sAttributes);
        Part.m_sLocation = FindAttribute(Regs.Location, sAttributes);
        Part.m_sTitle = FindAttribute(Regs.Title, sAttributes);
        TracePart(Part);
        push_back(std::move(Part));
        sText = sRest.substr(static_cast<size_t>(pAfterEnd - sRest.data()));
    }
    AddPlain(sText);
}

bool ParseAnchorColour(std::u16string_view sValue, QColor* pColour) {
    if (sValue.size() > kMaxColourLength) return false;
    int Components[3] = {};
    size_t nComponent = 0;
    size_t nPosition = 0;
    for (;;) {
        if (nComponent == 3) return false;
        while (nPosition < sValue.size() && sValue[nPosition] == u' ') ++nPosition;
        int nValue = 0;
        size_t nDigits = 0;
        while (nPosition < sValue.size() && sValue[nPosition] >= u'0' && sValue[nPosition] <= u'9') {
            nValue = nValue * 10 + (sValue[nPosition++] - u'0');
            if (nValue > 255) return false;
            ++nDigits;
        }
        while (nPosition < sValue.size() && sValue[nPosition] == u' ') ++nPosition;
        if (nDigits == 0) return false;
        Components[nComponent++] = nValue;
        if (nPosition == sValue.size()) break;
        if (sValue[nPosition++] != u',') return false;
    }
    if (nComponent != 3) return false;
    if (pColour != nullptr) *pColour = QColor(Components[0], Components[1], Components[2]);
    return true;
}

CUlHyperStatic::~CUlHyperStatic() {
    if (m_pLabel != nullptr) m_pLabel->removeEventFilter(this);
}

QLabel* CUlHyperStatic::Label() const {
    // Null once the label's own destruction has begun: the events of its last moments are left to it.
    return qobject_cast<QLabel*>(m_pLabel.data());
}

bool CUlHyperStatic::SubclassWindow(HWND hWnd) {
    UL_ASSERT(m_pLabel == nullptr);
    auto* pLabel = qobject_cast<QLabel*>(WidgetFromHandle(hWnd));
    UL_ASSERT(pLabel != nullptr);
    if (m_pLabel != nullptr || pLabel == nullptr) return false;
    m_hWnd = hWnd;
    m_pLabel = pLabel;
    InitializeWindow();
    return true;
}

void CUlHyperStatic::InitializeWindow() {
    QLabel* pLabel = Label();
    UL_ASSERT((pLabel->alignment() & Qt::AlignHorizontal_Mask) == Qt::AlignLeft);
    // The label no longer draws its text (nor reads it as rich text): the parts are drawn here.
    pLabel->setTextFormat(Qt::PlainText);
    pLabel->setFocusPolicy(Qt::TabFocus);
    pLabel->setMouseTracking(true);
    pLabel->setAttribute(Qt::WA_Hover);
    pLabel->installEventFilter(this);
    m_NormalFont = pLabel->parentWidget() != nullptr ? pLabel->parentWidget()->font() : QApplication::font();
    pLabel->setFont(m_NormalFont);
    m_PrivateLinkFont = m_NormalFont;
    m_PrivateLinkFont.setUnderline(true);
    if (m_Parts.empty()) m_Parts.SetHyperText(GetWindowText(m_hWnd));
    ReadColours();
    UpdateHyperTextPartPositions();
}

void CUlHyperStatic::ReadColours() {
    m_LinkColour = kDefaultAnchorColour;
    m_VisitedColour = kDefaultVisitedAnchorColour;
    CRegKey Key;
    if (Key.Open(HKEY_CURRENT_USER, kAnchorColourKey, KEY_READ) != ERROR_SUCCESS) return;
    const std::pair<const char16_t*, QColor*> kValues[] = {{kAnchorColourValue, &m_LinkColour},
                                                           {kVisitedAnchorColourValue, &m_VisitedColour}};
    for (const auto& [pszName, pColour] : kValues) {
        std::u16string sValue;
        if (Key.QueryStringValue(pszName, sValue) != ERROR_SUCCESS) continue;
        if (!ParseAnchorColour(sValue, pColour))
            UL_TRACE(TRACE_LEVEL_ERROR,
                     "The link colour \"%s\" = \"%s\" is not three numbers 0 to 255 separated by commas; the default "
                     "colour is used\n",
                     comrt::ToUtf8(pszName).c_str(), comrt::ToUtf8(sValue).c_str());
    }
}

void CUlHyperStatic::SetHyperText(std::u16string_view sText) {
    m_Parts.SetHyperText(sText);
    m_nFocusPart = -1;
    m_nPressedPart = -1;
    if (QLabel* pLabel = Label()) {
        // The label keeps the text as its window text, for the control's text and its size.
        pLabel->setText(ToQString(sText));
        UpdateHyperTextPartPositions();
        pLabel->update();
    }
}

void CUlHyperStatic::UpdateHyperTextPartPositions() {
    QLabel* pLabel = Label();
    if (pLabel == nullptr) return;
    const QRect Client = pLabel->contentsRect();
    int nLineHeight = 0;
    int nWidth = 0;
    for (const CHyperTextPart& Part : m_Parts) {
        const QFontMetrics Metrics(Part.m_bAnchor ? m_PrivateLinkFont : m_NormalFont);
        nLineHeight = std::max(nLineHeight, Metrics.height());
        nWidth += Metrics.horizontalAdvance(ToQString(Part.m_sText));
    }
    // One line when it fits (or the label does not wrap); else the words go on as many lines as they need.
    const bool bWrap = pLabel->wordWrap() && Client.width() > 0 && nWidth > Client.width();
    int nX = Client.left();
    int nY = Client.top();
    for (CHyperTextPart& Part : m_Parts) {
        const QFontMetrics Metrics(Part.m_bAnchor ? m_PrivateLinkFont : m_NormalFont);
        Part.m_Runs.clear();
        const std::u16string_view sText = Part.m_sText;
        size_t nStart = 0;
        while (nStart < sText.size() || (nStart == 0 && sText.empty())) {
            // The next word with the blanks after it; the whole rest when the label does not wrap.
            size_t nEnd = sText.size();
            if (bWrap) {
                nEnd = sText.find(u' ', nStart);
                nEnd = nEnd == std::u16string_view::npos ? sText.size() : sText.find_first_not_of(u' ', nEnd);
                if (nEnd == std::u16string_view::npos) nEnd = sText.size();
            }
            const QString sWord = ToQString(sText.substr(nStart, nEnd - nStart));
            const int nWordWidth = Metrics.horizontalAdvance(sWord.trimmed());
            if (bWrap && nX > Client.left() && nX + nWordWidth > Client.right() + 1) {
                nX = Client.left();
                nY += nLineHeight;
                Part.m_Runs.push_back({QRect(nX, nY, 0, Metrics.height()), {}});
            } else if (Part.m_Runs.empty()) {
                Part.m_Runs.push_back({QRect(nX, nY, 0, Metrics.height()), {}});
            }
            CHyperTextPart::CRun& Run = Part.m_Runs.back();
            Run.sText += sText.substr(nStart, nEnd - nStart);
            const int nAdvance = Metrics.horizontalAdvance(sWord);
            Run.Position.setWidth(Run.Position.width() + nAdvance);
            nX += nAdvance;
            if (sText.empty()) break;
            nStart = nEnd;
        }
        Part.m_Position = Part.m_Runs.front().Position;
    }
    // The tags take no room: the control asks for the room of its line, or of its lines when it wraps.
    const QMargins Margins = pLabel->contentsMargins();
    if (bWrap)
        pLabel->setMinimumHeight(nY - Client.top() + nLineHeight + Margins.top() + Margins.bottom());
    else
        pLabel->setMinimumSize(nWidth + Margins.left() + Margins.right(),
                               nLineHeight + Margins.top() + Margins.bottom());
}

bool CHyperTextPart::Contains(const QPoint& Point) const {
    for (const CRun& Run : m_Runs)
        if (Run.Position.contains(Point)) return true;
    return m_Runs.empty() && m_Position.contains(Point);
}

int CUlHyperStatic::AnchorAt(const QPoint& Point) const {
    for (size_t i = 0; i < m_Parts.size(); ++i)
        if (m_Parts[i].m_bAnchor && m_Parts[i].Contains(Point)) return static_cast<int>(i);
    return -1;
}

int CUlHyperStatic::NextAnchor(int nFrom, int nStep) const {
    for (int i = nFrom + nStep; i >= 0 && i < static_cast<int>(m_Parts.size()); i += nStep)
        if (m_Parts[static_cast<size_t>(i)].m_bAnchor) return i;
    return -1;
}

void CUlHyperStatic::Paint() {
    QLabel* pLabel = Label();
    QPainter Painter(pLabel);
    Painter.fillRect(pLabel->rect(), pLabel->palette().color(pLabel->backgroundRole()));
    for (size_t i = 0; i < m_Parts.size(); ++i) {
        const CHyperTextPart& Part = m_Parts[i];
        if (Part.m_bAnchor) {
            Painter.setFont(m_PrivateLinkFont);
            Painter.setPen(Part.m_bVisited ? m_VisitedColour : m_LinkColour);
        } else {
            Painter.setFont(m_NormalFont);
            Painter.setPen(pLabel->palette().color(QPalette::WindowText));
        }
        // One line from the top-left of the part, not clipped, "&" drawn as it is.
        for (const CHyperTextPart::CRun& Run : Part.m_Runs) {
            Painter.drawText(Run.Position, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip,
                             ToQString(Run.sText));
            if (pLabel->hasFocus() && static_cast<int>(i) == m_nFocusPart) {
                QStyleOptionFocusRect Option;
                Option.initFrom(pLabel);
                Option.rect = Run.Position;
                pLabel->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &Option, &Painter, pLabel);
            }
        }
    }
}

void CUlHyperStatic::HandleAnchorClick(int nPart) {
    UL_ASSERT(Label() != nullptr);
    UL_ASSERT(nPart >= 0 && nPart < static_cast<int>(m_Parts.size()));
    if (Label() == nullptr || nPart < 0 || nPart >= static_cast<int>(m_Parts.size())) return;
    CHyperTextPart& Part = m_Parts[static_cast<size_t>(nPart)];
    CHyperStaticNotification Notification;
    Notification.nControlId = GetDlgCtrlID(m_hWnd);
    Notification.sIdentifier = Part.m_sIdentifier;
    Notification.sLocation = Part.m_sLocation;
    Notification.bOpen = !Part.m_sLocation.empty();
    Notification.bVisited = true;
    if (m_NotificationHandler) m_NotificationHandler(Notification);
    if (Part.m_bVisited != Notification.bVisited) {
        Part.m_bVisited = Notification.bVisited;
        Label()->update();
    }
    if (!Notification.bOpen || Notification.sLocation.empty()) return;
    const INT_PTR nResult = reinterpret_cast<INT_PTR>(
        ShellExecuteW(m_hWnd, u"open", Notification.sLocation.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (nResult <= 32) {
        UL_TRACE(TRACE_LEVEL_ERROR, "The link location \"%s\" could not be opened (%d)\n",
                 comrt::ToUtf8(Notification.sLocation).c_str(), static_cast<int>(nResult));
        MessageBeep(MB_ICONERROR);
    }
}

bool CUlHyperStatic::eventFilter(QObject* pObject, QEvent* pEvent) {
    QLabel* pLabel = Label();
    if (pLabel == nullptr || pObject != pLabel) return QObject::eventFilter(pObject, pEvent);
    bool bHandled = false;
    GuardedWindowCall(m_hWnd, [&] {
        switch (pEvent->type()) {
            case QEvent::Paint:
                Paint();
                bHandled = true;
                break;
            case QEvent::Resize:
            case QEvent::FontChange:
                UpdateHyperTextPartPositions();
                break;
            case QEvent::MouseMove: {
                const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
                if (AnchorAt(pMouse->position().toPoint()) >= 0)
                    pLabel->setCursor(Qt::PointingHandCursor);
                else
                    pLabel->unsetCursor();
                break;
            }
            case QEvent::MouseButtonPress: {
                const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
                if (pMouse->button() != Qt::LeftButton) break;
                // The press grabs the mouse until the release.
                m_nPressedPart = AnchorAt(pMouse->position().toPoint());
                bHandled = m_nPressedPart >= 0;
                break;
            }
            case QEvent::MouseButtonRelease: {
                const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
                if (pMouse->button() != Qt::LeftButton) break;
                const int nPressed = m_nPressedPart;
                m_nPressedPart = -1;
                if (nPressed >= 0 && AnchorAt(pMouse->position().toPoint()) == nPressed) {
                    m_nFocusPart = nPressed;
                    HandleAnchorClick(nPressed);
                    bHandled = true;
                }
                break;
            }
            case QEvent::ToolTip: {
                const auto* pHelp = static_cast<QHelpEvent*>(pEvent);
                const int nPart = AnchorAt(pHelp->pos());
                if (nPart >= 0 && !m_Parts[static_cast<size_t>(nPart)].m_sTitle.empty()) {
                    const CHyperTextPart& Part = m_Parts[static_cast<size_t>(nPart)];
                    QRect Position = Part.m_Position;
                    for (const CHyperTextPart::CRun& Run : Part.m_Runs)
                        if (Run.Position.contains(pHelp->pos())) Position = Run.Position;
                    QToolTip::showText(pHelp->globalPos(), ToQString(Part.m_sTitle), pLabel, Position);
                } else {
                    QToolTip::hideText();
                }
                bHandled = true;
                break;
            }
            case QEvent::FocusIn: {
                const auto* pFocus = static_cast<QFocusEvent*>(pEvent);
                // Tab enters at the first link, Shift+Tab at the last.
                if (m_nFocusPart < 0 || pFocus->reason() == Qt::TabFocusReason)
                    m_nFocusPart = NextAnchor(-1, 1);
                else if (pFocus->reason() == Qt::BacktabFocusReason)
                    m_nFocusPart = NextAnchor(static_cast<int>(m_Parts.size()), -1);
                pLabel->update();
                break;
            }
            case QEvent::FocusOut:
                pLabel->update();
                break;
            case QEvent::KeyPress: {
                const auto* pKey = static_cast<QKeyEvent*>(pEvent);
                if ((pKey->key() == Qt::Key_Tab || pKey->key() == Qt::Key_Backtab) &&
                    (pKey->modifiers() & ~Qt::ShiftModifier) == Qt::NoModifier) {
                    // Tab goes from link to link inside the control, then on to the next control.
                    const int nStep =
                        pKey->key() == Qt::Key_Backtab || (pKey->modifiers() & Qt::ShiftModifier) ? -1 : 1;
                    const int nNext = NextAnchor(m_nFocusPart, nStep);
                    if (nNext >= 0) {
                        m_nFocusPart = nNext;
                        pLabel->update();
                        bHandled = true;
                    }
                } else if ((pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter ||
                            pKey->key() == Qt::Key_Space) &&
                           m_nFocusPart >= 0) {
                    HandleAnchorClick(m_nFocusPart);
                    bHandled = true;
                }
                break;
            }
            default:
                break;
        }
    });
    return bHandled || QObject::eventFilter(pObject, pEvent);
}

}  // namespace corvane
