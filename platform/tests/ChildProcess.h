// A program copied under a name of its own into a temporary folder and run there, so that the process list
// shows a name no other process has.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TestEnvironment.h"

namespace testing_support {

class CChildProcess {
public:
    // Copies /bin/sleep to <Folder>/<sName> (once: a running program cannot be overwritten).
    static std::filesystem::path CopyProgram(const std::filesystem::path& Folder, const std::string& sName) {
        const std::filesystem::path Program = Folder / sName;
        if (!std::filesystem::exists(Program)) std::filesystem::copy_file("/bin/sleep", Program);
        return Program;
    }

    // Runs a copy of /bin/sleep named <Folder>/<sName> for nSeconds.
    CChildProcess(const std::filesystem::path& Folder, const std::string& sName, int nSeconds = 60)
        : m_Program(CopyProgram(Folder, sName)) {
        const std::string sSeconds = std::to_string(nSeconds);
        m_nPid = fork();
        if (m_nPid == 0) {
            execl(m_Program.c_str(), m_Program.c_str(), sSeconds.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~CChildProcess() { End(); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    pid_t Pid() const { return m_nPid; }
    const std::filesystem::path& Program() const { return m_Program; }

    // Ends the process and waits for it, so that it has left the process list.
    void End() {
        if (m_nPid <= 0) return;
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
    }

private:
    std::filesystem::path m_Program;
    pid_t m_nPid = -1;
};

}  // namespace testing_support
