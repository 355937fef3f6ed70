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

#include "BusDaemon.h"

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

    // The daemon's configuration, socket and output go into Folder; Policy is a policy file in the bus
    // configuration's form, read from a folder of its own. Whether the daemon runs.
    bool Start(const std::filesystem::path& Folder, const std::filesystem::path& Policy) {
        const std::filesystem::path PolicyFolder = Folder / "system.d";
        std::error_code Error;
        std::filesystem::create_directories(PolicyFolder, Error);
        std::filesystem::copy_file(Policy, PolicyFolder / Policy.filename(),
                                   std::filesystem::copy_options::overwrite_existing, Error);
        if (Error) return false;
        const std::filesystem::path Config = Folder / "system-bus.conf";
        WriteSystemBusConfig(Config, Folder, {PolicyFolder});
        if (!m_Daemon.Start({"dbus-daemon", "--nofork", "--config-file=" + Config.string()}, Folder / "system-bus.log"))
            return false;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", m_Daemon.Address().c_str(), 1);
        return true;
    }
    ~CPrivateSystemBus() { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

private:
    CBusDaemon m_Daemon;
};

}  // namespace testing_support
