// The hyperlink label: a left-aligned static text control whose text carries anchor mark-up,
//
//   See the <A HREF="https://example.org/" TITLE="The home page" ID="home">home page</A> for news.
//
// drawn as plain parts and links (underlined, in the link or visited colour). A click on a link, or Enter or
// Space while a link has the keyboard focus, notifies the owner and opens the link's location with the shell.
// A text without mark-up, or with mark-up that does not close, is shown as plain text.
//
//   CUlHyperStatic m_HomeLink;                       // attached by the control map
//   m_HomeLink.SetNotificationHandler([](CHyperStaticNotification& Notification) { ... });
#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "comrt/qtwindows.h"

class QLabel;

namespace corvane {

// One run of the control's text: plain, or a link with its attributes.
struct CHyperTextPart {
    std::u16string m_sText;        // the displayed text
    std::u16string m_sIdentifier;  // the anchor's ID attribute (empty for plain parts)
    std::u16string m_sLocation;    // the anchor's HREF attribute (empty for plain parts)
    std::u16string m_sTitle;       // the anchor's TITLE attribute: the tooltip
    bool m_bAnchor = false;
    bool m_bVisited = false;
    QRect m_Position;  // where the part is drawn, in the control's coordinates (its first line)
    // The part's runs of characters, one per line it covers: a label that wraps its words (a dialog's static
    // text) breaks a text too long for its width at blanks.
    struct CRun {
        QRect Position;
        std::u16string sText;
    };
    std::vector<CRun> m_Runs;
    bool Contains(const QPoint& Point) const;
};

// The parts of a text, in text order.
class CHyperTextPartArray : public std::vector<CHyperTextPart> {
public:
    // Replaces the parts with those of sText. An anchor whose closing tag is missing ends the mark-up: the
    // rest of the text from its opening tag on is one plain part (and a trace line says so).
    void SetHyperText(std::u16string_view sText);
};

// The notification code of an activated link.
constexpr UINT HSN_ANCHORCLICKED = 0x401;

// What the owner learns of an activated link. The owner may clear bOpen (the location is then not opened)
// and change bVisited before it returns.
struct CHyperStaticNotification {
    int nControlId = 0;
    UINT nCode = HSN_ANCHORCLICKED;
    std::u16string sIdentifier;
    std::u16string sLocation;
    bool bOpen = false;  // initially: the location is not empty
    bool bVisited = true;
};

// Where the link colours are read from, once per control, in the current user's tree: each a text of three
// decimal numbers 0 to 255 (red, green, blue) separated by commas, at most 16 characters. A missing value
// gives the default; a value of another shape gives the default and a trace line.
inline constexpr char16_t kAnchorColourKey[] = u"SOFTWARE\\Microsoft\\Internet Explorer\\Settings";
inline constexpr char16_t kAnchorColourValue[] = u"Anchor Color";
inline constexpr char16_t kVisitedAnchorColourValue[] = u"Anchor Color Visited";
inline const QColor kDefaultAnchorColour{0, 0, 255};
inline const QColor kDefaultVisitedAnchorColour{128, 0, 128};

// The colour of a value as stored ("0, 128, 0"); false for a text of another shape.
bool ParseAnchorColour(std::u16string_view sValue, QColor* pColour);

class CUlHyperStatic : public QObject {
public:
    using NotificationHandler = std::function<void(CHyperStaticNotification& Notification)>;

    CUlHyperStatic() = default;
    ~CUlHyperStatic() override;
    CUlHyperStatic(const CUlHyperStatic&) = delete;
    CUlHyperStatic& operator=(const CUlHyperStatic&) = delete;

    // Attaches to a static text control (a label) and takes over its drawing and input; the control's text
    // becomes the parts unless SetHyperText gave some before. Attach is the control map's name for it.
    bool SubclassWindow(HWND hWnd);
    void Attach(HWND hWnd) { SubclassWindow(hWnd); }
    HWND GetWindow() const noexcept { return m_hWnd; }

    // Parses the text into parts and redraws.
    void SetHyperText(std::u16string_view sText);
    const CHyperTextPartArray& GetParts() const noexcept { return m_Parts; }
    // The owner's notification; without one a link opens its location.
    void SetNotificationHandler(NotificationHandler Handler) { m_NotificationHandler = std::move(Handler); }

    QColor GetLinkColour() const { return m_LinkColour; }
    QColor GetVisitedColour() const { return m_VisitedColour; }
    // The part that has the keyboard focus (-1: none).
    int GetFocusPart() const noexcept { return m_nFocusPart; }

    // Notifies the owner of part nPart and opens its location as the owner leaves it.
    void HandleAnchorClick(int nPart);

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    QLabel* Label() const;
    void InitializeWindow();
    void ReadColours();
    void UpdateHyperTextPartPositions();
    void Paint();
    int AnchorAt(const QPoint& Point) const;
    int NextAnchor(int nFrom, int nStep) const;

    HWND m_hWnd = nullptr;
    QPointer<QWidget> m_pLabel;  // a widget: while it is destroyed it is no longer a label
    CHyperTextPartArray m_Parts;
    NotificationHandler m_NotificationHandler;
    QFont m_NormalFont;
    QFont m_PrivateLinkFont;
    QColor m_LinkColour = kDefaultAnchorColour;
    QColor m_VisitedColour = kDefaultVisitedAnchorColour;
    int m_nFocusPart = -1;
    int m_nPressedPart = -1;
};

}  // namespace corvane
