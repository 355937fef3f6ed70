// A session bus daemon of a test's (or benchmark's) own: DBUS_SESSION_BUS_ADDRESS points at it while the
// object lives, so the server it starts and the clients it runs (busctl, gdbus, harkwellctl) meet there and
// nowhere else.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

// Whether a program of that name is on the PATH.
inline bool OnPath(const std::string& sProgram) {
    const char* pszPath = getenv("PATH");
    std::stringstream Folders(pszPath ? pszPath : "");
    std::string sFolder;
    while (std::getline(Folders, sFolder, ':'))
        if (!sFolder.empty() && access((sFolder + "/" + sProgram).c_str(), X_OK) == 0) return true;
    return false;
}

class CPrivateSessionBus {
public:
    CPrivateSessionBus() = default;
    CPrivateSessionBus(const CPrivateSessionBus&) = delete;
    CPrivateSessionBus& operator=(const CPrivateSessionBus&) = delete;

    bool Start() {
        FILE* pPipe = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
        if (pPipe == nullptr) return false;
        char szAddress[1024] = {}, szPid[64] = {};
        const bool bRead = fgets(szAddress, sizeof szAddress, pPipe) && fgets(szPid, sizeof szPid, pPipe);
        pclose(pPipe);
        if (!bRead) return false;
        std::string sAddress(szAddress);
        while (!sAddress.empty() && (sAddress.back() == '\n' || sAddress.back() == '\r')) sAddress.pop_back();
        m_nPid = static_cast<pid_t>(std::atol(szPid));
        setenv("DBUS_SESSION_BUS_ADDRESS", sAddress.c_str(), 1);
        return m_nPid > 0 && !sAddress.empty();
    }
    ~CPrivateSessionBus() {
        if (m_nPid > 0) kill(m_nPid, SIGTERM);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

private:
    pid_t m_nPid = -1;
};

// A bus daemon of a test's own configured as the system bus is: nobody may own a name or call a method
// unless a policy allows it (the defaults of the system bus), and the one policy given is included.
// DBUS_SYSTEM_BUS_ADDRESS points at it while the object lives, so that a server and clients started by the
// test meet there and nowhere else.
class CPrivateSystemBus {
public:
    CPrivateSystemBus() = default;
    CPrivateSystemBus(const CPrivateSystemBus&) = delete;
    CPrivateSystemBus& operator=(const CPrivateSystemBus&) = delete;

    // The daemon's configuration and socket go into Folder; Policy is a policy file in the bus
    // configuration's form. Whether the daemon runs.
    bool Start(const std::filesystem::path& Folder, const std::filesystem::path& Policy) {
        const std::filesystem::path Config = Folder / "system-bus.conf";
        const std::string sSocket = (Folder / "system_bus_socket").string();
        std::ofstream(Config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <listen>unix:path="
            << sSocket
            << "</listen>\n"
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
               "  </policy>\n"
               "  <include>"
            << Policy.string()
            << "</include>\n"
               "</busconfig>\n";
        const std::string sCommand =
            "dbus-daemon --config-file='" + Config.string() + "' --fork --print-address=1 --print-pid=1 2>/dev/null";
        FILE* pPipe = popen(sCommand.c_str(), "r");
        if (pPipe == nullptr) return false;
        char szAddress[1024] = {}, szPid[64] = {};
        const bool bRead = fgets(szAddress, sizeof szAddress, pPipe) && fgets(szPid, sizeof szPid, pPipe);
        pclose(pPipe);
        if (!bRead) return false;
        std::string sAddress(szAddress);
        while (!sAddress.empty() && (sAddress.back() == '\n' || sAddress.back() == '\r')) sAddress.pop_back();
        m_nPid = static_cast<pid_t>(std::atol(szPid));
        setenv("DBUS_SYSTEM_BUS_ADDRESS", sAddress.c_str(), 1);
        return m_nPid > 0 && !sAddress.empty();
    }
    ~CPrivateSystemBus() {
        if (m_nPid > 0) kill(m_nPid, SIGTERM);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

private:
    pid_t m_nPid = -1;
};

}  // namespace testing_support
