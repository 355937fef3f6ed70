// End to end with the real plug-in library: a stored scenario pairing the ping activity on 127.0.0.1 with a
// test notification is loaded and started by a manager; the host stops answering and answers again. The
// whole test program runs in a network namespace of its own (made at start when it may, as root), whose
// loopback the test takes down and brings up; no packet leaves it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Manager.h"
#include "ManagerClient.h"
#include "Pack1Ids.h"
#include "ServerRegistration.h"
#include "TestEnvironment.h"
#include "TestPluginIds.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/ulregister.h"

using testing_support::AddScenarioParts;
using testing_support::FirstActivityTitle;
using testing_support::IndexVariant;
using testing_support::JoinScenarioParts;
using testing_support::LibraryPath;
using testing_support::NewManager;
using testing_support::ProgramPath;
using testing_support::RunProgram;
using testing_support::ScenarioParts;
using testing_support::ScenariosOf;

using testing_support::kIPingActivity;
using testing_support::kPingActivity;

namespace {

bool g_bOwnNetwork = false;

bool SetLoopback(bool bUp) {
    return RunProgram({"ip", "link", "set", "lo", bUp ? "up" : "down"}).nExitCode == 0;
}

HRESULT PutNumber(IUnknown* pActivity, const char16_t* pszName, LONG nValue) {
    return testing_support::PutDispatchProperty(pActivity, kIPingActivity, pszName, nValue);
}
HRESULT PutText(IUnknown* pActivity, const char16_t* pszName, const char16_t* pszValue) {
    return testing_support::PutDispatchProperty(pActivity, kIPingActivity, pszName, pszValue);
}

std::u16string TitleOf(INotification* pNotification) {
    BSTR sTitle = nullptr;
    if (FAILED(pNotification->get_Title(&sTitle))) return u"<no title>";
    std::u16string s(sTitle ? sTitle : u"", SysStringLen(sTitle));
    SysFreeString(sTitle);
    return s;
}

// The events the test notification recorded: subject and body of each.
struct RecordedEvent {
    std::u16string sSubject;
    std::u16string sBody;
};
std::vector<RecordedEvent> EventsOf(INotification* pNotification) {
    std::vector<RecordedEvent> Events;
    const std::u16string sRecord = TitleOf(pNotification);
    size_t nStart = 0;
    while (nStart < sRecord.size()) {
        size_t nEnd = sRecord.find(u'\x1E', nStart);
        if (nEnd == std::u16string::npos) nEnd = sRecord.size();
        const std::u16string sEvent = sRecord.substr(nStart, nEnd - nStart);
        const size_t nFeed = sEvent.find(u'\f');
        Events.push_back({sEvent.substr(0, nFeed), nFeed == std::u16string::npos ? u"" : sEvent.substr(nFeed + 1)});
        nStart = nEnd + 1;
    }
    return Events;
}

bool WaitForEventCount(INotification* pNotification, size_t nCount, std::chrono::milliseconds Limit) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (std::chrono::steady_clock::now() < Deadline) {
        if (EventsOf(pNotification).size() >= nCount) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return EventsOf(pNotification).size() >= nCount;
}

class ScenarioPing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_bOwnNetwork) GTEST_SKIP() << "needs root to run in a network namespace of its own";
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_TRUE(SetLoopback(true));
        for (const char* pszLibrary : {"HarkwellPack1.so", "TestPlugin.so"}) {
            const auto Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath(pszLibrary).string()});
            ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        }
        // The event record class, served by this program as the server serves it.
        CComPtr<IUnknown> pFactory;
        ASSERT_EQ(S_OK, ServerClassTable().GetClassObject(CLSID_CActivityEvent, IidOf<IUnknown>(),
                                                          reinterpret_cast<void**>(&pFactory)));
        ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_CActivityEvent, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                              &m_nEventClassCookie));
    }
    void TearDown() override {
        if (m_nEventClassCookie != 0) CoRevokeClassObject(m_nEventClassCookie);
        if (g_bOwnNetwork) SetLoopback(true);
    }

    static CComPtr<INotification> FirstNotification(IScenarios* pScenarios) {
        CComPtr<IScenario> pScenario;
        CComPtr<INotifications> pNotifications;
        CComPtr<INotification> pNotification;
        if (SUCCEEDED(pScenarios->get_Item(IndexVariant(0), &pScenario)) &&
            SUCCEEDED(pScenario->get_Notifications(&pNotifications)))
            pNotifications->get_Item(IndexVariant(0), &pNotification);
        return pNotification;
    }

    testing_support::CTemporaryRegistry m_Registry;
    DWORD m_nEventClassCookie = 0;
};

}  // namespace

TEST_F(ScenarioPing, OfflineAndOnlineEventsReachTheNotificationOfAStoredScenario) {
    // Configure and store the scenario the way a client does: through the collection, by class identifier.
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        ScenarioParts Parts;
        ASSERT_EQ(S_OK, AddScenarioParts(pScenarios, kPingActivity, CLSID_CTestNotification, Parts));
        const CComPtr<IActivity>& pActivity = Parts.pActivity;
        ASSERT_EQ(S_OK, PutText(pActivity, u"Host", u"127.0.0.1"));
        ASSERT_EQ(S_OK, PutNumber(pActivity, u"Timeout", 200));
        ASSERT_EQ(S_OK, PutNumber(pActivity, u"Interval", 300));
        ASSERT_EQ(S_OK, PutNumber(pActivity, u"RetryInterval", 100));
        ASSERT_EQ(S_OK, PutNumber(pActivity, u"FailureCount", 3));
        ASSERT_EQ(S_OK, JoinScenarioParts(Parts));
    }  // the manager goes: the list is saved

    // A new manager loads the scenario from the store and starts its activity.
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    auto pScenarios = ScenariosOf(pManager);
    auto pNotification = FirstNotification(pScenarios);
    ASSERT_TRUE(pNotification);

    // The host answers: the activity started online, so nothing is reported.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(EventsOf(pNotification).empty()) << comrt::ToUtf8(TitleOf(pNotification));

    // The host stops answering: one offline event after three failures.
    ASSERT_TRUE(SetLoopback(false));
    ASSERT_TRUE(WaitForEventCount(pNotification, 1, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // still offline: no further event
    auto Events = EventsOf(pNotification);
    ASSERT_EQ(1u, Events.size());
    EXPECT_TRUE(Events[0].sSubject.starts_with(u"Ping: 127.0.0.1 is offline on ")) << comrt::ToUtf8(Events[0].sSubject);
    EXPECT_TRUE(Events[0].sBody.starts_with(
        u"Ping remote host failed, host went offline:\r\n\tRemote Host: 127.0.0.1\r\n\tLocal Time: "))
        << comrt::ToUtf8(Events[0].sBody);
    EXPECT_TRUE(Events[0].sBody.ends_with(u"\r\n"));

    // It answers again: one online event.
    ASSERT_TRUE(SetLoopback(true));
    ASSERT_TRUE(WaitForEventCount(pNotification, 2, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    Events = EventsOf(pNotification);
    ASSERT_EQ(2u, Events.size());
    EXPECT_TRUE(Events[1].sSubject.starts_with(u"Ping: 127.0.0.1 is online on ")) << comrt::ToUtf8(Events[1].sSubject);
    EXPECT_TRUE(Events[1].sBody.starts_with(
        u"Ping remote host succeeded, host went online:\r\n\tRemote Host: 127.0.0.1\r\n\tLocal Time: "))
        << comrt::ToUtf8(Events[1].sBody);

    // Saved again and loaded by another process, the scenario comes back with its settings.
    pNotification.Release();
    pScenarios.Release();
    pManager.Release();
    RegResetStore();
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        CComPtr<IManager> pLoaded;
        if (FAILED(NewManager(pLoaded))) _exit(2);
        std::u16string sTitle;
        if (FirstActivityTitle(ScenariosOf(pLoaded), sTitle) != S_OK) _exit(3);
        _exit(sTitle == u"Ping Remote Host 127.0.0.1" ? 0 : 4);
    }
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "child status " << nStatus;
}

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread of the program is inside the new namespace.
    g_bOwnNetwork = geteuid() == 0 && unshare(CLONE_NEWNET) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
