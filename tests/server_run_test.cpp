// The server program run as a process on a private store: it starts the application with the stored
// scenarios, refuses a second instance, and on SIGTERM stops with the scenario list saved.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "ManagerClient.h"
#include "TestEnvironment.h"
#include "TestPluginIds.h"
#include "comrt/registry.h"

extern char** environ;

using testing_support::ClassText;
using testing_support::LibraryPath;
using testing_support::NewManager;
using testing_support::ProgramPath;
using testing_support::RunProgram;
using testing_support::ScenariosOf;

namespace {

// Starts the server program; its process identifier, or -1.
pid_t StartServer() {
    const std::string sProgram = ProgramPath("HarkwellServer").string();
    char* Arguments[] = {const_cast<char*>(sProgram.c_str()), nullptr};
    pid_t nProcess = -1;
    if (posix_spawn(&nProcess, sProgram.c_str(), nullptr, nullptr, Arguments, environ) != 0) return -1;
    return nProcess;
}

// The exit status of a process that ends within the limit; -1 when it does not (then it is killed).
int WaitForExit(pid_t nProcess, std::chrono::milliseconds Limit) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    do {
        int nStatus = 0;
        if (waitpid(nProcess, &nStatus, WNOHANG) == nProcess) return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 256;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < Deadline);
    kill(nProcess, SIGKILL);
    waitpid(nProcess, nullptr, 0);
    return -1;
}

class ServerRun : public ::testing::Test {
protected:
    void SetUp() override {
        // The shared application data belongs to the user: tests that start an application take turns.
        m_nLockFd = open("/tmp/corvane-application-test.lock", O_CREAT | O_RDONLY | O_CLOEXEC, 0666);
        ASSERT_GE(m_nLockFd, 0);
        ASSERT_EQ(0, flock(m_nLockFd, LOCK_EX));
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (const char* pszLibrary : {"HarkwellPack1.so", "TestPlugin.so"}) {
            const auto Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath(pszLibrary).string()});
            ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        }
        ASSERT_EQ(0, RunProgram({ProgramPath("HarkwellServer").string(), "/RegServer"}).nExitCode);
    }
    void TearDown() override {
        if (m_nLockFd >= 0) close(m_nLockFd);
    }

    testing_support::CTemporaryRegistry m_Registry;
    int m_nLockFd = -1;
};

}  // namespace

TEST_F(ServerRun, StartsTheStoredScenariosRefusesASecondInstanceAndSavesOnSigterm) {
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        CComPtr<IScenario> pScenario;
        ASSERT_EQ(S_OK, pScenarios->Add(&pScenario));
        VARIANT vActivity = ClassText(CLSID_CTestActivity);
        CComPtr<IActivity> pActivity;
        ASSERT_EQ(S_OK, pScenarios->CreateActivity(vActivity, &pActivity));
        VariantClear(&vActivity);
        ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    }
    RegResetStore();

    const pid_t nServer = StartServer();
    ASSERT_GT(nServer, 0);
    // Running: the stored test activity counts each start in its settings, which the stop saves.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const pid_t nSecond = StartServer();
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
    VARIANT vFirst;
    VariantInit(&vFirst);
    vFirst.vt = VT_I4;
    CComPtr<IScenario> pScenario;
    ASSERT_EQ(S_OK, pScenarios->get_Item(vFirst, &pScenario));
    CComPtr<IActivity> pActivity;
    ASSERT_EQ(S_OK, pScenario->get_Activity(&pActivity));
    ASSERT_TRUE(pActivity);
    BSTR sTitle = nullptr;
    ASSERT_EQ(S_OK, pActivity->get_Title(&sTitle));
    // Started once by the server, once more by this manager's load.
    EXPECT_EQ(u"Test Activity (started 2)", std::u16string(sTitle));
    SysFreeString(sTitle);
}
