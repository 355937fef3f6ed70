// The hyperlink label: parts of the mark-up, link colours from the registry, activation by mouse and
// keyboard, and a location that cannot be opened.
#include <QCursor>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QToolTip>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "QtTestSupport.h"
#include "TestEnvironment.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulhyperstatic.h"
#include "corvane/ulregistry.h"

namespace {

using corvane::CHyperStaticNotification;
using corvane::CHyperTextPart;
using corvane::CUlHyperStatic;

constexpr int IDC_LINK = 1001;

struct ExpectedPart {
    std::u16string_view sText;
    bool bAnchor;
    std::u16string_view sIdentifier;
    std::u16string_view sLocation;
    std::u16string_view sTitle;
};

TEST(HyperTextParts, MarkUpGivesPlainAndAnchorPartsInTextOrder) {
    const struct {
        std::u16string_view sText;
        std::vector<ExpectedPart> Parts;
    } kCases[] = {
        {u"<A HREF=\"x\">a</A> b", {{u"a", true, u"", u"x", u""}, {u" b", false, u"", u"", u""}}},
        {u"See <A ID=\"home\" HREF=\"https://example.org/\" TITLE=\"Home page\">the site</A>.",
         {{u"See ", false, u"", u"", u""},
          {u"the site", true, u"home", u"https://example.org/", u"Home page"},
          {u".", false, u"", u"", u""}}},
        {u"<a id=\"m\">mail</a><A HREF=\"y\">two</A>",
         {{u"mail", true, u"m", u"", u""}, {u"two", true, u"", u"y", u""}}},
        {u"No mark-up at all", {{u"No mark-up at all", false, u"", u"", u""}}},
        {u"", {}},
        // Mark-up that does not close shows as written, from its opening tag on.
        {u"a <A HREF=\"x\">b", {{u"a <A HREF=\"x\">b", false, u"", u"", u""}}},
        {u"<A HREF=\"x\">b</A> c <A>d", {{u"b", true, u"", u"x", u""}, {u" c <A>d", false, u"", u"", u""}}},
        {u"<A>x<A>y</A>", {{u"<A>x<A>y</A>", false, u"", u"", u""}}},
        {u"</A> a", {{u"</A> a", false, u"", u"", u""}}},
        {u"<A HREF=\"x\" b", {{u"<A HREF=\"x\" b", false, u"", u"", u""}}},
        {u"1 < 2 <A HREF=\"x\">b</A>", {{u"1 < 2 <A HREF=\"x\">b</A>", false, u"", u"", u""}}},
        {u"<A HREF=\"\">empty</A>", {{u"empty", true, u"", u"", u""}}},
    };
    for (const auto& Case : kCases) {
        SCOPED_TRACE(comrt::ToUtf8(Case.sText));
        corvane::CHyperTextPartArray Parts;
        Parts.SetHyperText(Case.sText);
        ASSERT_EQ(Parts.size(), Case.Parts.size());
        for (size_t i = 0; i < Parts.size(); ++i) {
            EXPECT_EQ(Parts[i].m_sText, Case.Parts[i].sText);
            EXPECT_EQ(Parts[i].m_bAnchor, Case.Parts[i].bAnchor);
            EXPECT_EQ(Parts[i].m_sIdentifier, Case.Parts[i].sIdentifier);
            EXPECT_EQ(Parts[i].m_sLocation, Case.Parts[i].sLocation);
            EXPECT_EQ(Parts[i].m_sTitle, Case.Parts[i].sTitle);
            EXPECT_FALSE(Parts[i].m_bVisited);
        }
    }
}

TEST(HyperStaticColour, ThreeNumbersUpTo255SeparatedByCommas) {
    const struct {
        std::u16string_view sValue;
        bool bValid;
        QColor Colour;
    } kCases[] = {
        {u"0, 128, 0", true, QColor(0, 128, 0)},
        {u"255,0,255", true, QColor(255, 0, 255)},
        {u" 1 , 2 , 3 ", true, QColor(1, 2, 3)},
        {u"0, 128", false, {}},
        {u"green", false, {}},
        {u"0, 128, 0, 5", false, {}},
        {u"256, 0, 0", false, {}},
        {u"1,,2", false, {}},
        {u"0, 128, 0x", false, {}},
        {u"-1, 0, 0", false, {}},
        {u"", false, {}},
        {u"000, 000000, 0000", false, {}},  // 17 characters
    };
    for (const auto& Case : kCases) {
        SCOPED_TRACE(comrt::ToUtf8(Case.sValue));
        QColor Colour(1, 1, 1);
        EXPECT_EQ(corvane::ParseAnchorColour(Case.sValue, &Colour), Case.bValid);
        EXPECT_EQ(Colour, Case.bValid ? Case.Colour : QColor(1, 1, 1));
    }
}

// A dialog with one left-aligned label holding the mark-up, the label taken over by the control.
class CLinkDialog {
public:
    explicit CLinkDialog(const char16_t* pszText) {
        m_Controls[0] = {IDC_LINK, DialogControlKind::Static, pszText, 4, 4, 180, 10};
        m_hDialog = CreateDialogFromResource(DialogResource{190, 20, u"Links", m_Controls}, nullptr);
        EXPECT_TRUE(m_Link.SubclassWindow(GetDlgItem(m_hDialog, IDC_LINK)));
        Dialog()->show();
        Dialog()->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Dialog()));
    }
    ~CLinkDialog() { DestroyWindow(m_hDialog); }
    QWidget* Dialog() const { return WidgetFromHandle(m_hDialog); }
    QLabel* Label() const { return corvanetest::Control<QLabel>(Dialog(), IDC_LINK); }
    QPoint CentreOf(size_t nPart) const { return m_Link.GetParts()[nPart].m_Position.center(); }
    void Click(size_t nPart) { QTest::mouseClick(Label(), Qt::LeftButton, Qt::NoModifier, CentreOf(nPart)); }

    CUlHyperStatic m_Link;

private:
    DialogControl m_Controls[1];
    HWND m_hDialog = nullptr;
};

bool HasPixel(const QImage& Image, const QRect& Rectangle, const QColor& Colour) {
    for (int y = Rectangle.top(); y <= Rectangle.bottom(); ++y)
        for (int x = Rectangle.left(); x <= Rectangle.right(); ++x)
            if (Image.pixelColor(x, y).rgb() == Colour.rgb()) return true;
    return false;
}

void SetColourValue(const char16_t* pszName, const char16_t* pszValue) {
    CRegKey Key;
    ASSERT_EQ(Key.Create(HKEY_CURRENT_USER, corvane::kAnchorColourKey), ERROR_SUCCESS);
    ASSERT_EQ(Key.SetStringValue(pszName, pszValue), ERROR_SUCCESS);
}

TEST(HyperStatic, LinksAreDrawnInTheRegistryColour) {
    testing_support::CTemporaryRegistry Registry;
    SetColourValue(corvane::kAnchorColourValue, u"0, 128, 0");
    SetColourValue(corvane::kVisitedAnchorColourValue, u"128, 0, 0");
    CLinkDialog Dialog(u"Read <A HREF=\"https://example.org/\" TITLE=\"The site\">the site</A> now");
    ASSERT_EQ(Dialog.m_Link.GetParts().size(), 3u);
    EXPECT_EQ(Dialog.m_Link.GetLinkColour(), QColor(0, 128, 0));
    EXPECT_EQ(Dialog.m_Link.GetVisitedColour(), QColor(128, 0, 0));
    EXPECT_FALSE(corvanetest::SavePicture(Dialog.Dialog(), QStringLiteral("hyperlink-label")).isEmpty());
    const QImage Image = Dialog.Label()->grab().toImage();
    const auto& Parts = Dialog.m_Link.GetParts();
    EXPECT_TRUE(HasPixel(Image, Parts[1].m_Position, QColor(0, 128, 0)));
    EXPECT_FALSE(HasPixel(Image, Parts[0].m_Position, QColor(0, 128, 0)));
    EXPECT_FALSE(HasPixel(Image, Parts[2].m_Position, QColor(0, 128, 0)));
    // The tags take no room: the plain part after the link starts where the link ends.
    EXPECT_EQ(Parts[2].m_Position.left(), Parts[1].m_Position.right() + 1);
}

TEST(HyperStatic, ColourValuesOfAnotherShapeGiveTheDefaultsAndATraceLine) {
    const std::pair<const char16_t*, const char16_t*> kValues[] = {{u"0, 128", u"purple"}, {u"green", u"1, 2, 3, 4"}};
    for (const auto& [pszLink, pszVisited] : kValues) {
        SCOPED_TRACE(comrt::ToUtf8(pszLink));
        testing_support::CTemporaryRegistry Registry;
        SetColourValue(corvane::kAnchorColourValue, pszLink);
        SetColourValue(corvane::kVisitedAnchorColourValue, pszVisited);
        const DWORD nLinesBefore = corvane::GetTraceLineCount();
        CLinkDialog Dialog(u"<A HREF=\"x\">link</A>");
        EXPECT_EQ(corvane::GetTraceLineCount(), nLinesBefore + 2);
        EXPECT_EQ(Dialog.m_Link.GetLinkColour(), corvane::kDefaultAnchorColour);
        EXPECT_EQ(Dialog.m_Link.GetVisitedColour(), corvane::kDefaultVisitedAnchorColour);
        EXPECT_TRUE(HasPixel(Dialog.Label()->grab().toImage(), Dialog.m_Link.GetParts()[0].m_Position,
                             corvane::kDefaultAnchorColour));
    }
}

// The shell's open operation goes to a script that writes each location it gets on a line of its own.
class CRecordingOpener {
public:
    CRecordingOpener() {
        m_Script = m_Directory.Path() / "opener";
        m_Log = m_Directory.Path() / "opened";
        std::ofstream(m_Script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << m_Log.string() << "'\n";
        std::filesystem::permissions(m_Script, std::filesystem::perms::owner_all);
        setenv("CORVANE_OPEN_COMMAND", m_Script.c_str(), 1);
    }
    ~CRecordingOpener() { unsetenv("CORVANE_OPEN_COMMAND"); }
    std::vector<std::string> Opened() const {
        std::ifstream File(m_Log);
        std::vector<std::string> Lines;
        for (std::string sLine; std::getline(File, sLine);) Lines.push_back(sLine);
        return Lines;
    }
    bool WaitForLines(size_t nCount) const {
        return QTest::qWaitFor([&] { return Opened().size() >= nCount; }, 5000);
    }

private:
    testing_support::CTemporaryDirectory m_Directory;
    std::filesystem::path m_Script;
    std::filesystem::path m_Log;
};

TEST(HyperStatic, AClickNotifiesTheOwnerAndOpensTheLocation) {
    CRecordingOpener Opener;
    CLinkDialog Dialog(u"<A ID=\"none\">no location</A> and <A ID=\"site\" HREF=\"https://example.org/\">a site</A>");
    std::vector<CHyperStaticNotification> Notifications;
    Dialog.m_Link.SetNotificationHandler(
        [&](CHyperStaticNotification& Notification) { Notifications.push_back(Notification); });
    Dialog.Click(0);
    Dialog.Click(2);
    ASSERT_TRUE(Opener.WaitForLines(1));
    QTest::qWait(100);
    EXPECT_EQ(Opener.Opened(), std::vector<std::string>{"https://example.org/"});
    ASSERT_EQ(Notifications.size(), 2u);
    EXPECT_EQ(Notifications[0].nControlId, IDC_LINK);
    EXPECT_EQ(Notifications[0].nCode, corvane::HSN_ANCHORCLICKED);
    EXPECT_EQ(Notifications[0].sIdentifier, u"none");
    EXPECT_TRUE(Notifications[0].sLocation.empty());
    EXPECT_FALSE(Notifications[0].bOpen);
    EXPECT_EQ(Notifications[1].sIdentifier, u"site");
    EXPECT_EQ(Notifications[1].sLocation, u"https://example.org/");
    EXPECT_TRUE(Notifications[1].bOpen);
    EXPECT_TRUE(Notifications[1].bVisited);
    EXPECT_TRUE(Dialog.m_Link.GetParts()[0].m_bVisited);
    EXPECT_TRUE(Dialog.m_Link.GetParts()[2].m_bVisited);
    // A click on the plain text between the links activates nothing.
    Dialog.Click(1);
    EXPECT_EQ(Notifications.size(), 2u);
}

TEST(HyperStatic, TheOwnerMayKeepTheLocationClosedAndTheLinkUnvisited) {
    testing_support::CTemporaryRegistry Registry;  // the default colours
    CRecordingOpener Opener;
    CLinkDialog Dialog(u"<A HREF=\"https://example.org/kept\">kept</A> <A HREF=\"https://example.org/open\">open</A>");
    Dialog.m_Link.SetNotificationHandler([](CHyperStaticNotification& Notification) {
        if (Notification.sLocation == u"https://example.org/kept") {
            Notification.bOpen = false;
            Notification.bVisited = false;
        }
    });
    Dialog.Click(0);
    Dialog.Click(2);
    ASSERT_TRUE(Opener.WaitForLines(1));
    QTest::qWait(100);
    EXPECT_EQ(Opener.Opened(), std::vector<std::string>{"https://example.org/open"});
    EXPECT_FALSE(Dialog.m_Link.GetParts()[0].m_bVisited);
    EXPECT_TRUE(Dialog.m_Link.GetParts()[2].m_bVisited);
    EXPECT_TRUE(HasPixel(Dialog.Label()->grab().toImage(), Dialog.m_Link.GetParts()[2].m_Position,
                         corvane::kDefaultVisitedAnchorColour));
}

TEST(HyperStatic, TabReachesEachLinkAndEnterOrSpaceActivatesIt) {
    CLinkDialog Dialog(u"<A ID=\"one\">one</A>, <A ID=\"two\">two</A>");
    std::vector<std::u16string> Activated;
    Dialog.m_Link.SetNotificationHandler(
        [&](CHyperStaticNotification& Notification) { Activated.push_back(Notification.sIdentifier); });
    Dialog.Label()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Dialog.Label()->hasFocus(); }, 2000));
    EXPECT_EQ(Dialog.m_Link.GetFocusPart(), 0);
    QTest::keyClick(Dialog.Label(), Qt::Key_Return);
    QTest::keyClick(Dialog.Label(), Qt::Key_Tab);
    EXPECT_EQ(Dialog.m_Link.GetFocusPart(), 2);
    EXPECT_TRUE(Dialog.Label()->hasFocus());
    QTest::keyClick(Dialog.Label(), Qt::Key_Space);
    QTest::keyClick(Dialog.Label(), Qt::Key_A);
    EXPECT_EQ(Activated, (std::vector<std::u16string>{u"one", u"two"}));
}

TEST(HyperStatic, TheHandCursorAndTheTitleShowOverALinkOnly) {
    CLinkDialog Dialog(u"plain <A HREF=\"x\" TITLE=\"Where x goes\">link</A>");
    QLabel* pLabel = Dialog.Label();
    QTest::mouseMove(pLabel, Dialog.CentreOf(1));
    EXPECT_EQ(pLabel->cursor().shape(), Qt::PointingHandCursor);
    QHelpEvent OverLink(QEvent::ToolTip, Dialog.CentreOf(1), pLabel->mapToGlobal(Dialog.CentreOf(1)));
    QApplication::sendEvent(pLabel, &OverLink);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("Where x goes"));
    QTest::mouseMove(pLabel, Dialog.CentreOf(0));
    EXPECT_NE(pLabel->cursor().shape(), Qt::PointingHandCursor);
    QHelpEvent OverPlain(QEvent::ToolTip, Dialog.CentreOf(0), pLabel->mapToGlobal(Dialog.CentreOf(0)));
    QApplication::sendEvent(pLabel, &OverPlain);
    EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::text().isEmpty(); }, 2000));
}

TEST(HyperStatic, ALocationThatCannotBeOpenedIsTracedAndTheControlKeepsWorking) {
    setenv("CORVANE_OPEN_COMMAND", "/nonexistent/opener", 1);
    CLinkDialog Dialog(u"<A HREF=\"https://example.org/\">site</A>");
    int nNotifications = 0;
    Dialog.m_Link.SetNotificationHandler([&](CHyperStaticNotification&) { ++nNotifications; });
    const DWORD nLinesBefore = corvane::GetTraceLineCount();
    Dialog.Click(0);
    EXPECT_EQ(corvane::GetTraceLineCount(), nLinesBefore + 1);
    Dialog.Click(0);
    EXPECT_EQ(nNotifications, 2);
    unsetenv("CORVANE_OPEN_COMMAND");
}

}  // namespace

namespace {

// A label too narrow for its text, as tall as three lines.
class CNarrowLinkDialog {
public:
    explicit CNarrowLinkDialog(const char16_t* pszText) {
        m_Controls[0] = {IDC_LINK, DialogControlKind::Static, pszText, 4, 4, 60, 30};
        m_hDialog = CreateDialogFromResource(DialogResource{70, 40, u"Links", m_Controls}, nullptr);
        EXPECT_TRUE(m_Link.SubclassWindow(GetDlgItem(m_hDialog, IDC_LINK)));
        WidgetFromHandle(m_hDialog)->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(WidgetFromHandle(m_hDialog)));
    }
    ~CNarrowLinkDialog() { DestroyWindow(m_hDialog); }
    QLabel* Label() const { return corvanetest::Control<QLabel>(WidgetFromHandle(m_hDialog), IDC_LINK); }

    CUlHyperStatic m_Link;

private:
    DialogControl m_Controls[1];
    HWND m_hDialog = nullptr;
};

}  // namespace

TEST(HyperStatic, ATextTooLongForTheLabelWrapsAtBlanksAndEveryRunOfALinkActivatesIt) {
    CNarrowLinkDialog Dialog(u"Use <A ID=\"long\">a link of several words</A> to go on");
    const auto& Parts = Dialog.m_Link.GetParts();
    ASSERT_EQ(Parts.size(), 3u);
    const QRect Client = Dialog.Label()->contentsRect();
    // Every run lies inside the label's width, and the link covers more than one line.
    std::u16string sShown;
    for (const auto& Part : Parts) {
        for (const auto& Run : Part.m_Runs) {
            EXPECT_LE(Run.Position.right(), Client.right() + 1) << comrt::ToUtf8(Run.sText);
            sShown += Run.sText;
        }
    }
    EXPECT_EQ(sShown, u"Use a link of several words to go on");
    ASSERT_GE(Parts[1].m_Runs.size(), 2u);
    EXPECT_GT(Parts[1].m_Runs.back().Position.top(), Parts[1].m_Runs.front().Position.top());
    EXPECT_GE(Dialog.Label()->minimumHeight(), Parts[2].m_Runs.back().Position.bottom());

    std::vector<std::u16string> Activated;
    Dialog.m_Link.SetNotificationHandler(
        [&](CHyperStaticNotification& Notification) { Activated.push_back(Notification.sIdentifier); });
    for (const auto& Run : Parts[1].m_Runs)
        QTest::mouseClick(Dialog.Label(), Qt::LeftButton, Qt::NoModifier, Run.Position.center());
    // A click on the plain text after the link activates nothing.
    QTest::mouseClick(Dialog.Label(), Qt::LeftButton, Qt::NoModifier, Parts[2].m_Runs.back().Position.center());
    EXPECT_EQ(Activated, std::vector<std::u16string>(Parts[1].m_Runs.size(), u"long"));
}
