// The configuration sheet's Mode page and the About box, headless, by control identifier: the service
// manager is a recording systemctl over a unit folder of the test's own, the program that re-registers
// itself a recording script, the autostart folders temporary ones.
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <fstream>
#include <set>
#include <sstream>

#include "AboutDialog.h"
#include "ConfigurationSheet.h"
#include "QtTestSupport.h"
#include "ServerRegistration.h"
#include "TestEnvironment.h"
#include "comrt/autostart.h"
#include "comrt/text.h"
#include "corvane/ulregistry.h"

namespace {

using corvanetest::Control;
using corvanetest::OnNextModal;
using testing_support::ReadFile;

const std::u16string kEntry = corvane::GuidText(APPID_HarkwellServer);

// "100" or "200": the pictures of a run under QT_SCALE_FACTOR=2 get their own names.
QString ScaleSuffix() {
    const char* pszScale = std::getenv("QT_SCALE_FACTOR");
    return pszScale != nullptr && std::string(pszScale) == "2" ? QStringLiteral("-200") : QStringLiteral("-100");
}

class ModePage : public ::testing::Test {
protected:
    void SetUp() override {
        const auto& Folder = m_Folder.Path();
        std::filesystem::create_directories(Folder / "units");
        std::ofstream(Folder / "units" / "corvane-harkwell-server.service") << "[Unit]\n";
        WriteFile("enabled-state", "enabled");
        WriteFile("program-status", "0");
        Script("systemctl", "echo \"$*\" >> '" + Path("systemctl.log") + "'\ncase \"$1\" in is-enabled) cat '" +
                                Path("enabled-state") + "' ;; esac\n");
        Script("program",
               "echo \"$*\" >> '" + Path("program.log") + "'\nexit $(cat '" + Path("program-status") + "')\n");
        for (const auto& [pszName, sValue] : {std::pair{"CORVANE_HARKWELL_UNIT_DIR", Path("units")},
                                              {"CORVANE_HARKWELL_SYSTEMCTL", Path("systemctl")},
                                              {"XDG_CONFIG_HOME", Path("user")},
                                              {"XDG_CONFIG_DIRS", Path("system")}})
            setenv(pszName, sValue.c_str(), 1);
    }
    void TearDown() override {
        for (const char* pszName :
             {"CORVANE_HARKWELL_UNIT_DIR", "CORVANE_HARKWELL_SYSTEMCTL", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"})
            unsetenv(pszName);
    }
    std::string Path(const char* pszName) const { return (m_Folder.Path() / pszName).string(); }
    void WriteFile(const char* pszName, const std::string& sText) const {
        std::ofstream(Path(pszName)) << sText << "\n";
    }
    void Script(const char* pszName, const std::string& sBody) const {
        std::ofstream(Path(pszName)) << "#!/bin/sh\n" << sBody;
        std::filesystem::permissions(Path(pszName), std::filesystem::perms::owner_all);
    }
    void SetServiceMode() {
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_CLASSES_ROOT, u"AppID\\" + kEntry));
        ASSERT_EQ(ERROR_SUCCESS, Key.SetStringValue(u"LocalService", kServiceName));
    }
    static void WriteEntry(AutostartScope Scope) {
        ASSERT_EQ(ERROR_SUCCESS, WriteAutostartEntry(Scope, kEntry, u"Corvane Harkwell Server", u"\"old\""));
    }
    static std::u16string Entry(AutostartScope Scope) {
        std::u16string sCommand;
        return ReadAutostartEntry(Scope, kEntry, sCommand) == ERROR_SUCCESS ? sCommand : u"<none>";
    }
    std::u16string ProgramCommand() const { return u"\"" + comrt::ToUtf16(Path("program")) + u"\""; }

    // Opens the sheet, runs Action on it while it is shown, then cancels it.
    void WithSheet(const std::function<void(QWidget*)>& Action) {
        CConfigurationPropertySheet Sheet;
        Sheet.GetModePage().SetProgramPath(comrt::ToUtf16(Path("program")));
        OnNextModal([&](QWidget* pSheet) {
            Action(pSheet);
            QTest::mouseClick(Control<QPushButton>(pSheet, IDCANCEL), Qt::LeftButton);
        });
        EXPECT_EQ(IDCANCEL, Sheet.DoModal());
    }
    static void Choose(QWidget* pSheet, int nCombo, int nIndex) {
        auto* pCombo = Control<QComboBox>(pSheet, nCombo);
        pCombo->setCurrentIndex(nIndex);
        Q_EMIT pCombo->activated(nIndex);
    }
    static bool ApplyEnabled(QWidget* pSheet) { return Control<QPushButton>(pSheet, IDC_SHEET_APPLY)->isEnabled(); }
    // Clicks Apply; the text of the error box it brings up, or empty.
    static QString Apply(QWidget* pSheet) {
        // An error box opens inside the click, in a loop of its own; the timer lives only as long as the click.
        QString sError;
        QTimer Poll;
        QObject::connect(&Poll, &QTimer::timeout, [&] {
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (pBox == nullptr || !pBox->isVisible()) return;
            sError = pBox->windowTitle() + QStringLiteral(": ") + pBox->text();
            pBox->done(IDOK);
        });
        Poll.start(10);
        QTest::mouseClick(Control<QPushButton>(pSheet, IDC_SHEET_APPLY), Qt::LeftButton);
        return sError;
    }

    testing_support::CTemporaryRegistry m_Registry;
    testing_support::CTemporaryDirectory m_Folder;
};

TEST_F(ModePage, OpensOnTheRegisteredModeAndItsAutomaticStart) {
    struct Case {
        bool bService;
        bool bUser, bEveryone;
        const char* pszStartType;
        int nAutostart, nServiceStart;
        bool bApply;  // a disabled service counts as a change
    };
    const Case kCases[] = {
        {false, false, false, "enabled", 0, 1, false}, {false, true, false, "enabled", 1, 1, false},
        {false, true, true, "enabled", 2, 1, false},   {true, false, true, "disabled", 2, 0, false},
        {true, false, false, "masked", 0, 1, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszStartType + std::to_string(c.nAutostart));
        RegResetStore();
        std::filesystem::remove_all(Path("user"));
        std::filesystem::remove_all(Path("system"));
        if (c.bService) SetServiceMode();
        if (c.bUser) WriteEntry(AutostartScope::User);
        if (c.bEveryone) WriteEntry(AutostartScope::Everyone);
        WriteFile("enabled-state", c.pszStartType);
        WithSheet([&](QWidget* pSheet) {
            EXPECT_EQ(QStringLiteral("Configuration"), pSheet->windowTitle());
            EXPECT_EQ(QStringLiteral("Mode"), Control<QTabWidget>(pSheet, IDC_SHEET_TABS)->tabText(0));
            EXPECT_EQ(c.bService, Control<QRadioButton>(pSheet, IDC_MODE_SERVICE)->isChecked());
            EXPECT_TRUE(Control<QRadioButton>(pSheet, IDC_MODE_SERVICE)->font().bold());
            EXPECT_EQ(c.nAutostart, Control<QComboBox>(pSheet, IDC_MODE_APPLICATION_STARTUP)->currentIndex());
            EXPECT_EQ(c.nAutostart, Control<QComboBox>(pSheet, IDC_MODE_HELPER_STARTUP)->currentIndex());
            EXPECT_EQ(c.nServiceStart, Control<QComboBox>(pSheet, IDC_MODE_SERVICE_STARTUP)->currentIndex());
            EXPECT_EQ(!c.bService, Control<QComboBox>(pSheet, IDC_MODE_APPLICATION_STARTUP)->isEnabled());
            EXPECT_EQ(c.bService, Control<QPushButton>(pSheet, IDC_MODE_SERVICES)->isEnabled());
            EXPECT_EQ(c.bApply, ApplyEnabled(pSheet));
        });
    }
}

TEST_F(ModePage, SwitchingToApplicationModeReRegistersAndMovesTheEntryToTheUser) {
    SetServiceMode();
    WriteEntry(AutostartScope::Everyone);
    WithSheet([&](QWidget* pSheet) {
        Control<QRadioButton>(pSheet, IDC_MODE_APPLICATION)->click();
        Choose(pSheet, IDC_MODE_APPLICATION_STARTUP, AUTOMATIC_START_USER);
        EXPECT_TRUE(ApplyEnabled(pSheet));
        corvanetest::SavePicture(pSheet, QStringLiteral("configuration-mode-page") + ScaleSuffix());
        EXPECT_EQ(QString(), Apply(pSheet));
        EXPECT_FALSE(ApplyEnabled(pSheet));
    });
    EXPECT_EQ("/regserver\n", ReadFile(Path("program.log")));
    EXPECT_EQ(ProgramCommand(), Entry(AutostartScope::User));
    EXPECT_EQ(u"<none>", Entry(AutostartScope::Everyone));
}

TEST_F(ModePage, ApplyingInServiceModeTouchesOnlyWhatChanged) {
    SetServiceMode();
    WriteFile("enabled-state", "masked");
    WithSheet([&](QWidget* pSheet) { EXPECT_EQ(QString(), Apply(pSheet)); });
    // The disabled service is set to start automatically; nothing is re-registered.
    EXPECT_NE(std::string::npos, ReadFile(Path("systemctl.log")).find("enable corvane-harkwell-server.service"));
    EXPECT_FALSE(std::filesystem::exists(Path("program.log")));

    std::filesystem::remove(Path("systemctl.log"));
    WriteFile("enabled-state", "enabled");
    WithSheet([&](QWidget* pSheet) {
        Choose(pSheet, IDC_MODE_HELPER_STARTUP, AUTOMATIC_START_EVERYONE);
        EXPECT_EQ(QString(), Apply(pSheet));
    });
    EXPECT_FALSE(std::filesystem::exists(Path("program.log")));
    EXPECT_EQ(std::string::npos, ReadFile(Path("systemctl.log")).find("enable "));
    EXPECT_EQ(ProgramCommand(), Entry(AutostartScope::Everyone));
}

TEST_F(ModePage, AFailureIsShownAndLeavesEverythingAsItWas) {
    struct Case {
        const char* pszName;
        bool bFailingProgram;
        int nChoice;
        const char* pszText;
    };
    const Case kCases[] = {
        {"re-registration", true, AUTOMATIC_START_EVERYONE, "The program could not register itself"},
        {"autostart folder", false, AUTOMATIC_START_EVERYONE, "path"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszName);
        RegResetStore();
        SetServiceMode();
        std::filesystem::remove_all(Path("user"));
        WriteEntry(AutostartScope::User);
        WriteFile("program-status", c.bFailingProgram ? "1" : "0");
        // A file where the system's configuration folder should be: its autostart folder cannot be made.
        WriteFile("system", "not a folder");
        WithSheet([&](QWidget* pSheet) {
            if (c.bFailingProgram) Control<QRadioButton>(pSheet, IDC_MODE_APPLICATION)->click();
            Choose(pSheet, c.bFailingProgram ? IDC_MODE_APPLICATION_STARTUP : IDC_MODE_HELPER_STARTUP, c.nChoice);
            const QString sError = Apply(pSheet);
            EXPECT_TRUE(sError.startsWith(QStringLiteral("Error: "))) << sError.toStdString();
            EXPECT_TRUE(sError.contains(QString::fromUtf8(c.pszText))) << sError.toStdString();
            // The sheet goes on working: Apply is still there to try again.
            EXPECT_TRUE(ApplyEnabled(pSheet));
            EXPECT_TRUE(Control<QComboBox>(pSheet, IDC_MODE_HELPER_STARTUP)->isVisible());
        });
        EXPECT_EQ(u"\"old\"", Entry(AutostartScope::User));
        std::filesystem::remove(Path("system"));
    }
}

TEST_F(ModePage, ServicesShowsTheCommandsOfTheUnitWithoutADesktopServiceManager) {
    if (std::filesystem::exists("/usr/bin/systemdgenie")) GTEST_SKIP() << "a desktop service manager is installed";
    SetServiceMode();
    WithSheet([&](QWidget* pSheet) {
        QString sText;
        OnNextModal(
            [&](QWidget* pBox) {
                sText = pBox->windowTitle() + QStringLiteral(": ") + static_cast<QMessageBox*>(pBox)->text();
                static_cast<QMessageBox*>(pBox)->done(IDOK);
            },
            pSheet);
        QTest::mouseClick(Control<QPushButton>(pSheet, IDC_MODE_SERVICES), Qt::LeftButton);
        EXPECT_TRUE(sText.startsWith(QStringLiteral("Information: "))) << sText.toStdString();
        EXPECT_TRUE(sText.contains(QStringLiteral("systemctl status corvane-harkwell-server.service")));
    });
}

TEST(AboutBox, ShowsTheBuildsVersionsAndLinksAndEndsItsCaptionWithTheFileVersion) {
    CAboutDialog About;
    OnNextModal([&](QWidget* pBox) {
        EXPECT_EQ(QStringLiteral("Corvane Harkwell Server // " CORVANE_VERSION_TEXT), pBox->windowTitle());
        EXPECT_EQ(QStringLiteral("Product Version " CORVANE_VERSION_TEXT),
                  Control<QLabel>(pBox, IDC_ABOUT_PRODUCT_VERSION)->text());
        EXPECT_EQ(QStringLiteral("Module Version " CORVANE_VERSION_TEXT),
                  Control<QLabel>(pBox, IDC_ABOUT_MODULE_VERSION)->text());
        auto* pTitle = Control<QLabel>(pBox, IDC_ABOUT_TITLE);
        EXPECT_TRUE(pTitle->font().bold() && pTitle->font().italic());
        auto* pWarning = Control<QLabel>(pBox, IDC_ABOUT_WARNING);
        // The warning is as tall as its text, and the OK button below it stays inside the box.
        EXPECT_GE(pWarning->height(), pWarning->heightForWidth(pWarning->width()) - 4);
        auto* pOk = Control<QPushButton>(pBox, IDOK);
        EXPECT_GT(pOk->y(), pWarning->geometry().bottom());
        EXPECT_LE(pOk->geometry().bottom(), pBox->height());
        EXPECT_EQ(pOk, pBox->focusWidget());
        EXPECT_FALSE(Control<QLabel>(pBox, IDC_ABOUT_ICON)->pixmap().isNull());
        corvanetest::SavePicture(pBox, QStringLiteral("about-box") + ScaleSuffix());
        QTest::mouseClick(pOk, Qt::LeftButton);
    });
    EXPECT_EQ(IDOK, About.DoModal());
    OnNextModal([](QWidget* pBox) { QTest::keyClick(pBox, Qt::Key_Escape); });
    EXPECT_EQ(IDCANCEL, About.DoModal());
}

// A click on each link opens its location with the shell; a shell that cannot start leaves the box working.
TEST(AboutBox, ItsLinksOpenTheirLocationsAndAFailedOpenLeavesTheBoxWorking) {
    testing_support::CTemporaryDirectory Folder;
    const std::string sLog = (Folder.Path() / "opened").string();
    std::ofstream(Folder.Path() / "open") << "#!/bin/sh\necho \"$1\" >> '" << sLog << "'\n";
    std::filesystem::permissions(Folder.Path() / "open", std::filesystem::perms::owner_all);
    for (const std::string& sOpen : {(Folder.Path() / "open").string(), (Folder.Path() / "missing").string()}) {
        setenv("CORVANE_OPEN_COMMAND", sOpen.c_str(), 1);
        CAboutDialog About;
        OnNextModal([&](QWidget* pBox) {
            for (int nId : {IDC_ABOUT_WEB, IDC_ABOUT_MAIL}) {
                auto* pLink = Control<QLabel>(pBox, nId);
                const int nPrefix =
                    pLink->fontMetrics().horizontalAdvance(nId == IDC_ABOUT_WEB ? "Web site: " : "Support: ");
                QTest::mouseClick(pLink, Qt::LeftButton, {}, QPoint(nPrefix + 10, pLink->height() / 2));
            }
            QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
        });
        EXPECT_EQ(IDOK, About.DoModal());
    }
    unsetenv("CORVANE_OPEN_COMMAND");
    // Each location is opened by a process of its own: they may write in either order.
    const auto Opened = [&] {
        std::multiset<std::string> Lines;
        std::istringstream Text(ReadFile(sLog));
        for (std::string sLine; std::getline(Text, sLine);) Lines.insert(sLine);
        return Lines;
    };
    for (int i = 0; i < 100 && Opened().size() < 2; ++i) QTest::qWait(20);
    EXPECT_EQ((std::multiset<std::string>{"https://www.corvane.example/harkwell/",
                                          "mailto:harkwell-support@corvane.example"}),
              Opened());
}

}  // namespace
