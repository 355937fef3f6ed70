// A real SMTP server for delivery tests: the npm package smtp-server run by tests/tools/smtp-server/server.js
// on 127.0.0.1, with AUTH LOGIN, CRAM-MD5 and PLAIN for one fixed user, in plain text, with STARTTLS or with
// TLS from the connect on ("--starttls" / "--tls" with "--cert" and "--key"), each message it receives kept
// as a file.
//
//   testing_support::CSmtpTestServer Server;
//   if (!testing_support::CSmtpTestServer::IsNodeAvailable()) GTEST_SKIP() << "...";
//   ASSERT_TRUE(Server.Start()) << Server.GetError();
//   ... deliver to 127.0.0.1:Server.GetPort() as CSmtpTestServer::USER / PASSWORD ...
//   ASSERT_TRUE(Server.WaitForMessageCount(1));
//   const auto Messages = Server.GetMessages();   // envelope, user, method, data
//
// The packages are installed by scripts/install-test-tools.sh (make deps). Without Node.js the tests skip;
// with Node.js but without the packages Start fails and says what to run. The server ends when the object
// goes (its standard input closes), and never outlives the test process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestEnvironment.h"

extern char** environ;

namespace testing_support {

// One message as the server stored it.
struct CReceivedMessage {
    std::string sMailFrom;
    std::vector<std::string> RcptTo;
    std::string sUser;        // empty without authentication
    std::string sAuthMethod;  // "LOGIN", "CRAM-MD5", "PLAIN", or empty
    bool bSecure = false;     // the session was encrypted (STARTTLS or TLS from the connect on)
    std::string sSession;     // the server's name for the connection the message came on
    std::string sData;        // as received, the transparency dots removed
};

class CSmtpTestServer {
public:
    static constexpr char USER[] = "harkwell";
    static constexpr char PASSWORD[] = "secret";

    CSmtpTestServer() = default;
    ~CSmtpTestServer() { Stop(); }
    CSmtpTestServer(const CSmtpTestServer&) = delete;
    CSmtpTestServer& operator=(const CSmtpTestServer&) = delete;

    // The node program: $NODE when set, else "node" found on PATH; empty when there is none.
    static std::string FindNode() {
        if (const char* pszNode = getenv("NODE"); pszNode != nullptr && *pszNode != '\0') return pszNode;
        const char* pszPath = getenv("PATH");
        std::stringstream Path(pszPath != nullptr ? pszPath : "");
        for (std::string sFolder; std::getline(Path, sFolder, ':');) {
            const std::filesystem::path Candidate = std::filesystem::path(sFolder.empty() ? "." : sFolder) / "node";
            if (access(Candidate.c_str(), X_OK) == 0) return Candidate.string();
        }
        return {};
    }
    static bool IsNodeAvailable() { return !FindNode().empty(); }

    // The launcher's folder: $CORVANE_SMTP_TEST_SERVER_DIR, else tests/tools/smtp-server of this source tree.
    static std::filesystem::path GetToolDirectory() {
        if (const char* pszFolder = getenv("CORVANE_SMTP_TEST_SERVER_DIR")) return pszFolder;
        return std::filesystem::path(__FILE__).parent_path().parent_path() / "tools" / "smtp-server";
    }

    // Starts the server on nPort (0: an ephemeral port) and waits until it accepts connections. Extra
    // launcher arguments (for example "--auth-required") may be given. False, with GetError, when it did not
    // start within 20 seconds.
    bool Start(unsigned short nPort = 0, const std::vector<std::string>& ExtraArguments = {}) {
        Stop();
        m_sError.clear();
        const std::string sNode = FindNode();
        const std::filesystem::path Tool = GetToolDirectory();
        if (sNode.empty()) return Failed("node was not found on PATH");
        if (!std::filesystem::exists(Tool / "node_modules" / "smtp-server"))
            return Failed("the npm packages of " + Tool.string() + " are missing: run scripts/install-test-tools.sh");
        if (m_MailDirectory.Path().empty()) return Failed("no temporary folder for the messages");

        int pnInput[2] = {-1, -1};
        int pnOutput[2] = {-1, -1};
        if (pipe2(pnInput, O_CLOEXEC) != 0 || pipe2(pnOutput, O_CLOEXEC) != 0) return Failed("pipe failed");
        std::vector<std::string> Arguments = {sNode,        (Tool / "server.js").string(),
                                              "--port",     std::to_string(nPort),
                                              "--mail-dir", m_MailDirectory.Path().string(),
                                              "--user",     USER,
                                              "--password", PASSWORD};
        Arguments.insert(Arguments.end(), ExtraArguments.begin(), ExtraArguments.end());
        std::vector<char*> Argv;
        for (std::string& sArgument : Arguments) Argv.push_back(sArgument.data());
        Argv.push_back(nullptr);

        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, pnInput[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&Actions, pnOutput[1], STDOUT_FILENO);
        const int nSpawn = posix_spawn(&m_nProcess, sNode.c_str(), &Actions, nullptr, Argv.data(), environ);
        posix_spawn_file_actions_destroy(&Actions);
        close(pnInput[0]);
        close(pnOutput[1]);
        m_hInput = pnInput[1];
        if (nSpawn != 0) {
            m_nProcess = -1;
            close(pnOutput[0]);
            return Failed("node could not be started");
        }

        // The launcher prints "PORT <n>" once it listens.
        std::string sOutput;
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sOutput.find('\n') == std::string::npos && std::chrono::steady_clock::now() < Deadline) {
            pollfd PollDescriptor{pnOutput[0], POLLIN, 0};
            if (poll(&PollDescriptor, 1, 100) <= 0) continue;
            char pBuffer[256];
            const ssize_t nRead = read(pnOutput[0], pBuffer, sizeof pBuffer);
            if (nRead <= 0) break;
            sOutput.append(pBuffer, static_cast<std::size_t>(nRead));
        }
        close(pnOutput[0]);
        if (sOutput.rfind("PORT ", 0) != 0) {
            Stop();
            return Failed("the SMTP test server did not start (it printed \"" + sOutput + "\")");
        }
        m_nPort = static_cast<unsigned short>(std::stoi(sOutput.substr(5)));
        return true;
    }

    // Ends the server: its standard input closes, and it is killed when it has not gone within 3 seconds.
    void Stop() {
        if (m_hInput >= 0) close(m_hInput);
        m_hInput = -1;
        if (m_nProcess <= 0) return;
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        int nStatus = 0;
        while (waitpid(m_nProcess, &nStatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= Deadline) {
                kill(m_nProcess, SIGKILL);
                waitpid(m_nProcess, &nStatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_nProcess = -1;
        m_nPort = 0;
    }

    unsigned short GetPort() const { return m_nPort; }
    const std::string& GetError() const { return m_sError; }
    const std::filesystem::path& GetMailDirectory() const { return m_MailDirectory.Path(); }

    // The messages received so far, in the order they came.
    std::vector<CReceivedMessage> GetMessages() const {
        std::vector<std::filesystem::path> Files;
        std::error_code ec;
        for (const auto& Entry : std::filesystem::directory_iterator(m_MailDirectory.Path(), ec)) {
            const std::string sName = Entry.path().filename().string();
            if (sName.rfind("message-", 0) == 0 && Entry.path().extension() == ".txt") Files.push_back(Entry.path());
        }
        std::sort(Files.begin(), Files.end());
        std::vector<CReceivedMessage> Messages;
        for (const auto& File : Files) Messages.push_back(ReadMessage(File));
        return Messages;
    }

    // Waits until at least nCount messages have been received; false when they did not come in time.
    bool WaitForMessageCount(std::size_t nCount, std::chrono::milliseconds Timeout = std::chrono::seconds(10)) const {
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        while (GetMessages().size() < nCount) {
            if (std::chrono::steady_clock::now() >= Deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    bool Failed(std::string sError) {
        m_sError = std::move(sError);
        return false;
    }

    static CReceivedMessage ReadMessage(const std::filesystem::path& File) {
        std::ifstream Input(File, std::ios::binary);
        std::stringstream Content;
        Content << Input.rdbuf();
        const std::string sContent = Content.str();
        CReceivedMessage Message;
        const std::size_t nHeaderEnd = sContent.find("\n\n");
        std::stringstream Header(sContent.substr(0, nHeaderEnd));
        for (std::string sLine; std::getline(Header, sLine);) {
            const std::size_t nColon = sLine.find(": ");
            if (nColon == std::string::npos) continue;
            const std::string sName = sLine.substr(0, nColon);
            std::string sValue = sLine.substr(nColon + 2);
            if (sName == "mail-from") Message.sMailFrom = sValue;
            if (sName == "rcpt-to") Message.RcptTo.push_back(sValue);
            if (sName == "user") Message.sUser = sValue;
            if (sName == "auth-method") Message.sAuthMethod = sValue;
            if (sName == "secure") Message.bSecure = sValue == "yes";
            if (sName == "session") Message.sSession = sValue;
        }
        if (nHeaderEnd != std::string::npos) Message.sData = sContent.substr(nHeaderEnd + 2);
        return Message;
    }

    CTemporaryDirectory m_MailDirectory;
    pid_t m_nProcess = -1;
    int m_hInput = -1;
    unsigned short m_nPort = 0;
    std::string m_sError;
};

}  // namespace testing_support
