// A D-Bus daemon of a test's own, and the configuration of one that behaves as the system bus does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ServerProcess.h"

namespace testing_support {

// A bus daemon of the test, ended with the object (and with the test program, however that ends). Its
// address comes on a pipe; its own output goes to a file.
class CBusDaemon {
public:
    // Starts Command (the daemon, or a program that ends by executing it) with "--print-address=3" added.
    bool Start(std::vector<std::string> Command, const std::filesystem::path& OutputPath) {
        Command.emplace_back("--print-address=3");
        int Pipe[2];
        if (pipe2(Pipe, O_CLOEXEC) != 0) return false;
        m_nProcess = fork();
        if (m_nProcess == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            // The daemon must see SIGTERM and SIGCHLD, whichever signals this program's thread blocks.
            sigset_t Signals;
            sigemptyset(&Signals);
            sigprocmask(SIG_SETMASK, &Signals, nullptr);
            const int fdOutput = open(OutputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            dup2(fdOutput, 1);
            dup2(fdOutput, 2);
            dup2(Pipe[1], 3);
            std::vector<char*> Argv;
            for (std::string& sItem : Command) Argv.push_back(sItem.data());
            Argv.push_back(nullptr);
            execvp(Argv[0], Argv.data());
            _exit(127);
        }
        close(Pipe[1]);
        m_sAddress.clear();
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        for (;;) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            pollfd Poll{Pipe[0], POLLIN, 0};
            char c = 0;
            if (Left.count() <= 0 || poll(&Poll, 1, static_cast<int>(Left.count())) <= 0 || read(Pipe[0], &c, 1) != 1)
                break;
            if (c == '\n') break;
            m_sAddress += c;
        }
        close(Pipe[0]);
        if (m_sAddress.empty()) Stop();
        return !m_sAddress.empty();
    }
    ~CBusDaemon() { Stop(); }
    void Stop() {
        if (m_nProcess <= 0) return;
        kill(m_nProcess, SIGTERM);
        WaitForExit(m_nProcess, std::chrono::seconds(10));
        m_nProcess = -1;
    }
    const std::string& Address() const { return m_sAddress; }

private:
    pid_t m_nProcess = -1;
    std::string m_sAddress;
};

// A bus configured as the system bus is, listening in ListenFolder: everything not allowed is refused, and
// the policy folders are included (the folders a machine's system bus reads from).
inline void WriteSystemBusConfig(const std::filesystem::path& Config, const std::filesystem::path& ListenFolder,
                                 const std::vector<std::filesystem::path>& PolicyFolders) {
    std::ofstream Out(Config);
    Out << "<busconfig>\n  <type>system</type>\n  <listen>unix:dir=" << ListenFolder.string()
        << "</listen>\n  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <deny own=\"*\"/>\n"
           "    <deny send_type=\"method_call\"/>\n"
           "    <allow send_type=\"signal\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
           "    <allow receive_type=\"method_call\"/>\n"
           "    <allow receive_type=\"method_return\"/>\n"
           "    <allow receive_type=\"error\"/>\n"
           "    <allow receive_type=\"signal\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus.Properties\"/>\n"
           "  </policy>\n";
    for (const std::filesystem::path& Folder : PolicyFolders)
        Out << "  <includedir>" << Folder.string() << "</includedir>\n";
    Out << "</busconfig>\n";
}

}  // namespace testing_support
