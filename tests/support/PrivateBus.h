// A session bus daemon of a test's (or benchmark's) own: DBUS_SESSION_BUS_ADDRESS points at it while the
// object lives, so the server it starts and the clients it runs (busctl, gdbus, harkwellctl) meet there and
// nowhere else.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
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

}  // namespace testing_support
