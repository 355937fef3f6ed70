// The server program run as a process on a private store: it starts the application with the stored
// scenarios, refuses a second instance, and on SIGTERM stops with the scenario list saved.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "ManagerClient.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"
#include "TestPluginIds.h"
#include "comrt/registry.h"

using testing_support::CApplicationTestTurn;
using testing_support::FirstActivityTitle;
using testing_support::LibraryPath;
using testing_support::NewManager;
using testing_support::ProgramPath;
using testing_support::RunProgram;
using testing_support::ScenariosOf;
using testing_support::StartServerProcess;
using testing_support::StoreScenarioWithActivity;
using testing_support::WaitForExit;

namespace {

class ServerRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Turn.IsHeld());
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (const char* pszLibrary : {"HarkwellPack1.so", "TestPlugin.so"}) {
            const auto Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath(pszLibrary).string()});
            ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        }
        ASSERT_EQ(0, RunProgram({ProgramPath("HarkwellServer").string(), "/RegServer"}).nExitCode);
    }

    // The shared application data belongs to the user: tests that start an application take turns.
    CApplicationTestTurn m_Turn;
    testing_support::CTemporaryRegistry m_Registry;
};

}  // namespace

TEST_F(ServerRun, StartsTheStoredScenariosRefusesASecondInstanceAndSavesOnSigterm) {
    ASSERT_EQ(S_OK, StoreScenarioWithActivity(CLSID_CTestActivity));
    RegResetStore();

    const pid_t nServer = StartServerProcess();
    ASSERT_GT(nServer, 0);
    // Running: the stored test activity counts each start in its settings, which the stop saves.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const pid_t nSecond = StartServerProcess();
    ASSERT_GT(nSecond, 0);
    EXPECT_NE(0, WaitForExit(nSecond, std::chrono::seconds(10))) << "a second instance ran";

    ASSERT_EQ(0, kill(nServer, SIGTERM));
    EXPECT_EQ(0, WaitForExit(nServer, std::chrono::seconds(15)));

    // The list was loaded, started and saved by the server: the activity's start count went into the store.
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    auto pScenarios = ScenariosOf(pManager);
    LONG nCount = 0;
    ASSERT_EQ(S_OK, pScenarios->get_Count(&nCount));
    ASSERT_EQ(1, nCount);
    std::u16string sTitle;
    ASSERT_EQ(S_OK, FirstActivityTitle(pScenarios, sTitle));
    // Started once by the server, once more by this manager's load.
    EXPECT_EQ(u"Test Activity (started 2)", sTitle);
}
