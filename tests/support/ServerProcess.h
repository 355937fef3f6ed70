// The server program as a child process of a test: start it with extra environment, wait for its end with
// a limit, own it so that it does not outlive a test that fails early, and take turns with other tests that
// run an application (the shared application data belongs to the user, so two of them at once would refuse
// each other).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestEnvironment.h"

extern char** environ;

namespace testing_support {

// Holds the lock that tests starting an application take turns with, for the object's lifetime.
class CApplicationTestTurn {
public:
    CApplicationTestTurn() {
        m_nFd = open("/tmp/corvane-application-test.lock", O_CREAT | O_RDONLY | O_CLOEXEC, 0666);
        if (m_nFd >= 0 && flock(m_nFd, LOCK_EX) != 0) {
            close(m_nFd);
            m_nFd = -1;
        }
    }
    ~CApplicationTestTurn() {
        if (m_nFd >= 0) close(m_nFd);
    }
    CApplicationTestTurn(const CApplicationTestTurn&) = delete;
    CApplicationTestTurn& operator=(const CApplicationTestTurn&) = delete;
    bool IsHeld() const { return m_nFd >= 0; }

private:
    int m_nFd = -1;
};

// Starts the server program with the arguments, its environment being this process's plus Extra
// ("NAME=value" items, which win); standard output and error go to sOutputPath when given. The process
// identifier, or -1.
inline pid_t StartServerProcess(const std::vector<std::string>& Arguments = {},
                                const std::vector<std::string>& Extra = {}, const std::string& sOutputPath = {}) {
    const std::string sProgram = ProgramPath("HarkwellServer").string();
    std::vector<char*> Argv{const_cast<char*>(sProgram.c_str())};
    for (const std::string& sArgument : Arguments) Argv.push_back(const_cast<char*>(sArgument.c_str()));
    Argv.push_back(nullptr);
    std::vector<char*> Environment;
    for (char** pp = environ; *pp != nullptr; ++pp) {
        const std::string sItem(*pp);
        bool bReplaced = false;
        for (const std::string& sExtra : Extra)
            bReplaced = bReplaced || sItem.substr(0, sItem.find('=') + 1) == sExtra.substr(0, sExtra.find('=') + 1);
        if (!bReplaced) Environment.push_back(*pp);
    }
    for (const std::string& sExtra : Extra) Environment.push_back(const_cast<char*>(sExtra.c_str()));
    Environment.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    if (!sOutputPath.empty()) {
        posix_spawn_file_actions_addopen(&Actions, 1, sOutputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    }
    pid_t nProcess = -1;
    const int nSpawn = posix_spawn(&nProcess, sProgram.c_str(), &Actions, nullptr, Argv.data(), Environment.data());
    posix_spawn_file_actions_destroy(&Actions);
    return nSpawn == 0 ? nProcess : -1;
}

// The exit status of a process that ends within the limit (256 when a signal ended it); -1 when it does
// not end in time (it is then killed).
inline int WaitForExit(pid_t nProcess, std::chrono::milliseconds Limit) {
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

// The server program as a child process owned by an object: killed when the object goes while it still runs,
// so that a test that stops early leaves no server behind to hold the shared application data.
class CServerProcess {
public:
    CServerProcess() = default;
    ~CServerProcess() {
        if (m_nProcess > 0) {
            kill(m_nProcess, SIGKILL);
            waitpid(m_nProcess, nullptr, 0);
        }
    }
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    // Starts the program as StartServerProcess does; whether it started.
    bool Start(const std::vector<std::string>& Arguments = {}, const std::vector<std::string>& Extra = {},
               const std::string& sOutputPath = {}) {
        m_nProcess = StartServerProcess(Arguments, Extra, sOutputPath);
        return m_nProcess > 0;
    }

    // Still running: it has not ended by itself.
    bool IsRunning() {
        if (m_nProcess <= 0) return false;
        int nStatus = 0;
        if (waitpid(m_nProcess, &nStatus, WNOHANG) != m_nProcess) return true;
        m_nProcess = -1;
        return false;
    }

    // Sends SIGTERM and waits for the end as WaitForExit does; -1 as well when the signal cannot be sent.
    int Terminate(std::chrono::milliseconds Limit) {
        if (m_nProcess <= 0) return -1;
        const pid_t nProcess = m_nProcess;
        m_nProcess = -1;
        if (kill(nProcess, SIGTERM) != 0) return -1;
        return WaitForExit(nProcess, Limit);
    }

private:
    pid_t m_nProcess = -1;
};

}  // namespace testing_support
