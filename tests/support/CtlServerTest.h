// A test fixture for harkwellctl beside the server program: a private store with the server and the plug-in
// library registered, a session bus of the test's own, the server started on demand and ended through
// harkwellctl, and the turn that tests running an application take.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "PrivateBus.h"
#include "ServerProcess.h"
#include "TestEnvironment.h"

namespace testing_support {

class CCtlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OnPath("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_TRUE(m_Turn.IsHeld());
        unsetenv("CORVANE_HARKWELL_BUS");
        setenv("CORVANE_LOG_DIR", m_Folder.Path().c_str(), 1);
        auto Result = RunProgram({ProgramPath("HarkwellServer").string(), "/RegServer"});
        ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        Result = RunProgram({ProgramPath("hkregsvr").string(), LibraryPath("HarkwellPack1.so").string()});
        ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
        ASSERT_TRUE(m_Bus.Start());
    }
    void TearDown() override {
        if (m_nServer > 0) StopServer();
        unsetenv("CORVANE_LOG_DIR");
    }

    static ProcessResult Ctl(std::vector<std::string> Arguments) {
        Arguments.insert(Arguments.begin(), ProgramPath("harkwellctl").string());
        return RunProgram(Arguments);
    }

    // Starts the server and waits until it answers on the bus.
    void StartServer() {
        m_nServer = StartServerProcess({}, {}, (m_Folder.Path() / "server.out").string());
        ASSERT_GT(m_nServer, 0);
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        ProcessResult Status;
        do {
            Status = Ctl({"status"});
            if (Status.nExitCode == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (std::chrono::steady_clock::now() < Deadline);
        FAIL() << "the server does not answer: " << Status.sOutput << ReadFile(m_Folder.Path() / "server.out");
    }
    // Ends the server through harkwellctl; it has to end on its own, with status 0.
    void StopServer() {
        const auto Result = Ctl({"terminate"});
        EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
        EXPECT_EQ(0, WaitForExit(m_nServer, std::chrono::seconds(20))) << ReadFile(m_Folder.Path() / "server.out");
        m_nServer = -1;
    }

    CApplicationTestTurn m_Turn;
    CTemporaryRegistry m_Registry;
    CTemporaryDirectory m_Folder;
    CPrivateSessionBus m_Bus;
    pid_t m_nServer = -1;
};

}  // namespace testing_support
