// The three watching activities end to end: the server program, with one scenario of each made through
// harkwellctl and an e-mail notification to a real SMTP server on the loopback, mails one message for a
// program that starts, one for a file dropped into the watched folder and one for a process count threshold
// below the machine's; started again, it has the three scenarios with their settings.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "CtlServerTest.h"
#include "SmtpTestServer.h"

extern char** environ;

using testing_support::CSmtpTestServer;
using testing_support::CTemporaryDirectory;

namespace {

class ActivitiesEndToEnd : public testing_support::CCtlServerTest {};

std::vector<std::string> Mail(const std::string& sPort) {
    return {"--notification", "CSmtpNotification.CSmtpNotification.1",
            "--set",          "ServerHost=127.0.0.1",
            "--set",          "ServerPort=" + sPort,
            "--set",          "Sender=harkwell@localhost",
            "--set",          "ToRecipients=ops@localhost"};
}

std::vector<std::string> Join(std::vector<std::string> First, const std::vector<std::string>& Second) {
    First.insert(First.end(), Second.begin(), Second.end());
    return First;
}

// The subjects of the messages received so far.
std::vector<std::string> Subjects(const CSmtpTestServer& Smtp) {
    std::vector<std::string> Result;
    for (const auto& Message : Smtp.GetMessages()) {
        const std::size_t nStart = Message.sData.find("\r\nSubject: ");
        if (nStart == std::string::npos) continue;
        const std::size_t nEnd = Message.sData.find("\r\n", nStart + 2);
        Result.push_back(Message.sData.substr(nStart + 11, nEnd - nStart - 11));
    }
    return Result;
}

std::size_t CountStarting(const std::vector<std::string>& Subjects, const std::string& sStart) {
    std::size_t n = 0;
    for (const std::string& sSubject : Subjects) n += sSubject.find(sStart) != std::string::npos ? 1 : 0;
    return n;
}

}  // namespace

TEST_F(ActivitiesEndToEnd, EachActivityMailsItsChangeAndSurvivesARestart) {
    CSmtpTestServer Smtp;
    if (!CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "Node.js is not installed";
    ASSERT_TRUE(Smtp.Start()) << Smtp.GetError();
    const std::string sPort = std::to_string(Smtp.GetPort());
    CTemporaryDirectory Folder;
    const std::filesystem::path Watched = Folder.Path() / "incoming";
    std::filesystem::create_directory(Watched);
    const std::string sProgram = "hkw-e2e-" + std::to_string(getpid());
    const std::filesystem::path ProgramPath = Folder.Path() / sProgram;
    std::filesystem::copy_file("/bin/sleep", ProgramPath);
    StartServer();

    auto Result = Ctl(Join({"create", "--activity", "CProcessCheckActivity.CProcessCheckAc.1", "--set",
                            "ProcessNameExpressions=^" + sProgram + "$"},
                           Mail(sPort)));
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("Process Check Activity (1 patterns)")) << Result.sOutput;
    Result = Ctl(Join({"create", "--activity", "CFileSystemCheckActivity.CFileSystemC.1", "--set",
                       "DirectoryPath=" + Watched.string(), "--set", "FileNameExpression=\\.drop$", "--set",
                       "MinimalPollInterval=0", "--set", "FileSizeGranularity=1"},
                      Mail(sPort)));
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;
    Result = Ctl(Join({"create", "--activity", "CSystemPerformanceCheckActivity.CSyst.1", "--set",
                       "MaximalProcessCount=1", "--set", "PollInterval=300"},
                      Mail(sPort)));
    ASSERT_EQ(0, Result.nExitCode) << Result.sOutput;

    // The started program, the dropped file and the threshold: one message each.
    std::string sPath = ProgramPath.string();
    char* Arguments[] = {sPath.data(), const_cast<char*>("30"), nullptr};
    pid_t nProgram = 0;
    ASSERT_EQ(0, posix_spawn(&nProgram, sPath.c_str(), nullptr, nullptr, Arguments, environ));
    // Written under another name and renamed: a file created empty and then written may be seen twice,
    // as two changes, by a scan that falls between the two.
    std::ofstream(Watched / "report.part") << "data";
    std::filesystem::rename(Watched / "report.part", Watched / "report.drop");
    ASSERT_TRUE(Smtp.WaitForMessageCount(3, std::chrono::seconds(30))) << testing::PrintToString(Subjects(Smtp));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto Received = Subjects(Smtp);
    EXPECT_EQ(3u, Received.size()) << testing::PrintToString(Received);
    EXPECT_EQ(1u, CountStarting(Received, "Process Check: " + sProgram + " created on "))
        << testing::PrintToString(Received);
    EXPECT_EQ(1u, CountStarting(Received, "File System Check on ")) << testing::PrintToString(Received);
    EXPECT_EQ(1u, CountStarting(Received, "System Performance Information on ")) << testing::PrintToString(Received);
    kill(nProgram, SIGKILL);
    waitpid(nProgram, nullptr, 0);

    StopServer();
    StartServer();
    Result = Ctl({"list"});
    EXPECT_EQ(0, Result.nExitCode) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("0: Process Check Activity (1 patterns)\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos,
              Result.sOutput.find("1: File System Check Activity for \\.drop$ in " + Watched.string() + "\n"))
        << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("2: System Performance Information Check Activity\n"))
        << Result.sOutput;
    Result = Ctl({"show", "1"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("    MinimalPollInterval = 0\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    FileSizeGranularity = 1\n")) << Result.sOutput;
    Result = Ctl({"show", "2"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("    PollInterval = 300\n")) << Result.sOutput;
    EXPECT_NE(std::string::npos, Result.sOutput.find("    MaximalProcessCount = 1\n")) << Result.sOutput;
    Result = Ctl({"show", "0"});
    EXPECT_NE(std::string::npos, Result.sOutput.find("    ProcessNameExpressions = ^" + sProgram + "$\n"))
        << Result.sOutput;
}
