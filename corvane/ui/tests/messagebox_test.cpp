// Centred and timed message boxes, and the scrolling of a page cut at its separator.
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>

#include "QtTestSupport.h"
#include "corvane/ulobject.h"
#include "corvane/ulpropertypage.h"

namespace {

using namespace std::chrono_literals;
using corvanetest::Control;
using corvanetest::OnNextModal;

const corvane::StringResource kStrings[] = {{6001, u"Tall"}, {6002, u"The service stops."}};
const corvane::CStringTableRegistration g_Strings(kStrings);

TEST(TimedMessageBox, CountsDownInItsCaptionAndClosesAfterItsTimeOut) {
    auto pNow = std::make_shared<std::chrono::milliseconds>(5000000);
    corvane::CTimedMessageBox Box(nullptr, 6002u, corvane::IDS_CAPTION_INFORMATION, MB_OK | MB_ICONINFORMATION);
    Box.SetClock([pNow] { return *pNow; });
    QStringList Captions;
    QString sText;
    OnNextModal([&](QWidget* pBox) {
        sText = static_cast<QMessageBox*>(pBox)->text();
        Captions << pBox->windowTitle();
        corvanetest::SavePicture(pBox, QStringLiteral("timed-message-box"));
        // Each step of the clock shows in the caption at the next tick (waited for, not timed).
        const std::pair<std::chrono::milliseconds, int> kSteps[] = {{1400ms, 9}, {8000ms, 1}, {400ms, 0}};
        for (const auto& [Step, nSeconds] : kSteps) {
            *pNow += Step;
            const QString sExpected = QStringLiteral("Information (closing in %1 seconds)").arg(nSeconds);
            EXPECT_TRUE(QTest::qWaitFor([&] { return pBox->windowTitle() == sExpected; }, 5000));
            Captions << pBox->windowTitle();
        }
        *pNow += 301ms;  // past the end: the next tick closes the box
    });
    EXPECT_EQ(Box.DoModal(), 0);
    EXPECT_TRUE(Box.IsTimedOut());
    EXPECT_EQ(sText, QStringLiteral("The service stops."));
    EXPECT_EQ(Captions, (QStringList{QStringLiteral("Information (closing in 10 seconds)"),
                                     QStringLiteral("Information (closing in 9 seconds)"),
                                     QStringLiteral("Information (closing in 1 seconds)"),
                                     QStringLiteral("Information (closing in 0 seconds)")}));
}

TEST(TimedMessageBox, AButtonChosenInTimeIsTheAnswer) {
    corvane::CTimedMessageBox Box(nullptr, u"Stop the service?", corvane::IDS_CAPTION_CONFIRMATION,
                                  MB_YESNO | MB_ICONEXCLAMATION);
    OnNextModal([](QWidget* pBox) { QTest::mouseClick(Control<QPushButton>(pBox, IDNO), Qt::LeftButton); });
    EXPECT_EQ(Box.DoModal(), IDNO);
    EXPECT_FALSE(Box.IsTimedOut());
}

TEST(TimedMessageBox, TheCaptionIsCutAtItsLastBracket) {
    struct {
        std::u16string_view sCaption;
        long long nRemaining;
        std::u16string_view sExpected;
    } const kCases[] = {
        {u"Harkwell", 10000, u"Harkwell (closing in 10 seconds)"},
        {u"Harkwell (closing in 3 seconds)", 1499, u"Harkwell (closing in 1 seconds)"},
        {u"Harkwell (closing in 3 seconds)", 1500, u"Harkwell (closing in 2 seconds)"},
        {u"Mode (Service) (closing in 1 seconds)", 0, u"Mode (Service) (closing in 0 seconds)"},
        {u"Trailing blanks   ", 999, u"Trailing blanks (closing in 1 seconds)"},
    };
    for (const auto& Case : kCases)
        EXPECT_EQ(corvane::CTimedMessageBox::FormatCaption(Case.sCaption, Case.nRemaining), Case.sExpected);
}

TEST(MessageBox, ResourceNumbersAndTextsBothWork) {
    QString sCaption, sText;
    OnNextModal([&](QWidget* pBox) {
        sCaption = pBox->windowTitle();
        sText = static_cast<QMessageBox*>(pBox)->text();
        QTest::mouseClick(Control<QPushButton>(pBox, IDYES), Qt::LeftButton);
    });
    EXPECT_EQ(corvane::CMessageBox(nullptr, u"Remove the scenario?", corvane::IDS_CAPTION_CONFIRMATION,
                                   MB_YESNO | MB_ICONEXCLAMATION)
                  .DoModal(),
              IDYES);
    EXPECT_EQ(sCaption, QStringLiteral("Confirmation"));
    EXPECT_EQ(sText, QStringLiteral("Remove the scenario?"));
}

// A tall page: 25 rows of edits, the separator after the fourth.
constexpr short kRowHeight = 20;
const std::vector<DialogControl> kTallControls = [] {
    std::vector<DialogControl> Controls;
    for (int i = 0; i < 25; ++i)
        Controls.push_back(
            DialogControl{3000 + i, DialogControlKind::Edit, u"", 7, static_cast<short>(7 + i * kRowHeight), 150, 14});
    Controls.push_back(DialogControl{IDC_SEPARATOR, DialogControlKind::Separator, nullptr, 0, 80, 10, 1});
    return Controls;
}();

class CTallPage : public corvane::COlePropertyPageT<CTallPage, corvane::IUlScrollablePropertyPageT<CTallPage>> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource() {
        static const DialogResource kResource{170, 7 + 25 * kRowHeight, nullptr, kTallControls};
        return kResource;
    }
    static UINT GetTitleResourceId() { return 6001; }
    HRESULT Apply() override { return S_OK; }
};

TEST(ScrollablePage, ShowsThePartAboveTheSeparatorAndScrollsTheFocusIntoView) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        CComObjectT<CTallPage>* pPage = nullptr;
        ASSERT_EQ(CComObjectT<CTallPage>::CreateInstance(&pPage), S_OK);
        CComPtr<IPropertyPage> pKeep(pPage);
        pPage->Release();
        PROPPAGEINFO Info{};
        ASSERT_EQ(pPage->GetPageInfo(&Info), S_OK);
        CoTaskMemFree(Info.pszTitle);
        const SIZE Cut = GetDialogResourceSize(DialogResource{170, 80, nullptr, {}});
        EXPECT_EQ(Info.size.cy, Cut.cy);
        QWidget Parent;
        Parent.resize(Info.size.cx + 40, Info.size.cy);
        const RECT Rect{0, 0, Info.size.cx + 40, Info.size.cy};
        ASSERT_EQ(pPage->Activate(HandleFromWidget(&Parent), &Rect, TRUE), S_OK);
        Parent.show();
        auto* pArea = qobject_cast<QScrollArea*>(WidgetFromHandle(pPage->GetWindow()));
        ASSERT_NE(pArea, nullptr);
        EXPECT_FALSE(WidgetFromHandle(pPage->GetItem(IDC_SEPARATOR))->isVisible());
        EXPECT_EQ(pPage->GetPosition(), 0);
        corvanetest::SavePicture(&Parent, QStringLiteral("scrollable-page"));
        // A control far below comes into view, centred.
        QWidget* pLow = WidgetFromHandle(pPage->GetItem(3020));
        pLow->setFocus();
        auto ShownNow = [&] { return QRect(pLow->mapTo(pArea->viewport(), QPoint(0, 0)), pLow->size()); };
        EXPECT_TRUE(QTest::qWaitFor([&] { return pArea->viewport()->rect().contains(ShownNow()); }, 5000));
        const QRect Shown(pLow->mapTo(pArea->viewport(), QPoint(0, 0)), pLow->size());
        EXPECT_TRUE(pArea->viewport()->rect().contains(Shown));
        EXPECT_NEAR(Shown.center().y(), pArea->viewport()->rect().center().y(), 2);
        // Scrolling away takes the focus to a control in view, so that the page stays where it was put; scrolling
        // back gives it back.
        const int nShownAt = pPage->GetPosition();
        pPage->SetPosition(0);
        QWidget* pInView = Parent.focusWidget();
        ASSERT_NE(pInView, nullptr);
        EXPECT_NE(pInView, pLow);
        EXPECT_TRUE(pArea->viewport()->rect().contains(
            QRect(pInView->mapTo(pArea->viewport(), QPoint(0, 0)), pInView->size())));
        QTest::qWait(500);
        EXPECT_EQ(pPage->GetPosition(), 0);
        pPage->SetPosition(nShownAt);
        EXPECT_EQ(Parent.focusWidget(), pLow);
        // Positions are clamped to the range.
        pLow->clearFocus();
        pPage->SetPosition(1000000);
        EXPECT_EQ(pPage->GetPosition(), pArea->verticalScrollBar()->maximum());
        pPage->SetPosition(-5);
        EXPECT_EQ(pPage->GetPosition(), 0);
        EXPECT_EQ(pPage->Deactivate(), S_OK);
    }
    CoUninitialize();
}

}  // namespace
