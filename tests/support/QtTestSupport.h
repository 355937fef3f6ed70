// Widgets in tests: the headless platform, one application object for the test program, and a way to act on
// a modal window (a message box, a frame) from inside its own loop.
#pragma once

#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>

namespace corvanetest {

class CQtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int nArgumentCount = 1;
        static char szName[] = "test";
        static char* Arguments[] = {szName, nullptr};
        m_pApplication = new QApplication(nArgumentCount, Arguments);
    }
    void TearDown() override {
        delete m_pApplication;
        m_pApplication = nullptr;
    }

private:
    QApplication* m_pApplication = nullptr;
};

inline ::testing::Environment* const g_pQtEnvironment = ::testing::AddGlobalTestEnvironment(new CQtEnvironment);

// Runs Action on the next modal window that opens (polling every 10 ms, for up to 5 s): the action sees the
// window while its nested loop runs, and may close it.
inline void OnNextModal(std::function<void(QWidget*)> Action, QWidget* pBesides = nullptr) {
    auto* pTimer = new QTimer;
    auto nTicks = std::make_shared<int>(0);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, nTicks, Action, pBesides] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal != nullptr && pModal != pBesides && pModal->isVisible()) {
            pTimer->stop();
            pTimer->deleteLater();
            Action(pModal);
        } else if (++*nTicks > 500) {
            pTimer->stop();
            pTimer->deleteLater();
            ADD_FAILURE() << "no modal window opened";
        }
    });
    pTimer->start(10);
}

// The child of a window with the given control identifier.
template <class W = QWidget>
W* Control(QWidget* pWindow, int nId) {
    return pWindow->findChild<W*>(QString::number(nId));
}

// Clicks a control that opens a message box and answers the box with the button of that answer (1 OK, 6 yes,
// 7 no, ...); the box's caption and text as "caption: text".
inline QString ClickAndAnswer(QWidget* pControl, int nAnswer) {
    QString sText;
    OnNextModal([&](QWidget* pBox) {
        auto* pMessage = qobject_cast<QMessageBox*>(pBox);
        sText = pBox->windowTitle() + QStringLiteral(": ") + (pMessage != nullptr ? pMessage->text() : QString());
        if (pMessage != nullptr) QTest::mouseClick(Control<QPushButton>(pBox, nAnswer), Qt::LeftButton);
    });
    QTest::mouseClick(pControl, Qt::LeftButton);
    return sText;
}

// Saves the picture of a window under the build tree (test-pictures/<name>.png); the path, or empty.
inline QString SavePicture(QWidget* pWindow, const QString& sName) {
    const char* pszTree = std::getenv("CORVANE_TEST_BINARY_DIR");
    const QString sFolder = QString::fromUtf8(pszTree != nullptr ? pszTree : ".") + QStringLiteral("/test-pictures");
    QDir().mkpath(sFolder);
    const QString sPath = sFolder + QLatin1Char('/') + sName + QStringLiteral(".png");
    return pWindow->grab().save(sPath) ? sPath : QString();
}

}  // namespace corvanetest
