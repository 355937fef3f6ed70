#include "DBusSessionBus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace comrt::dbus {
namespace {

std::string EnvironmentValue(const char* pszName) {
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr ? std::string(pszValue) : std::string();
}

// What sd-bus itself connects to without an address: the user's bus socket in the runtime folder.
bool HasSessionBus() {
    if (!EnvironmentValue("DBUS_SESSION_BUS_ADDRESS").empty()) return true;
    const std::string sRuntime = EnvironmentValue("XDG_RUNTIME_DIR");
    struct stat Status {};
    return !sRuntime.empty() && stat((sRuntime + "/bus").c_str(), &Status) == 0 && S_ISSOCK(Status.st_mode);
}

}  // namespace

std::string RecordedBusPath() {
    if (std::string sRuntime = EnvironmentValue("XDG_RUNTIME_DIR"); !sRuntime.empty())
        return sRuntime + "/corvane-harkwell/bus";
    std::string sCache = EnvironmentValue("XDG_CACHE_HOME");
    if (sCache.empty()) {
        const std::string sHome = EnvironmentValue("HOME");
        if (sHome.empty()) return {};
        sCache = sHome + "/.cache";
    }
    return sCache + "/corvane-harkwell/bus";
}

std::string RecordedBusAddress() {
    if (HasSessionBus()) return {};
    const std::string sPath = RecordedBusPath();
    if (sPath.empty()) return {};
    const int nFd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (nFd < 0) return {};
    // Only the user's own record, which nobody else may have written: another user's address would hand
    // the user's calls (and the e-mail passwords in them) to that user's bus.
    struct stat Status {};
    char szText[1024];
    ssize_t nRead = -1;
    if (fstat(nFd, &Status) == 0 && S_ISREG(Status.st_mode) && Status.st_uid == geteuid() &&
        (Status.st_mode & 022) == 0)
        nRead = read(nFd, szText, sizeof szText);
    close(nFd);
    if (nRead <= 0 || nRead == static_cast<ssize_t>(sizeof szText)) return {};
    std::string sAddress(szText, static_cast<std::size_t>(nRead));
    sAddress.erase(std::min(sAddress.find('\n'), sAddress.size()));
    for (char c : sAddress)
        if (static_cast<unsigned char>(c) < 0x20) return {};
    return sAddress;
}

std::unique_ptr<sdbus::IConnection> OpenSessionBus() {
    const std::string sAddress = RecordedBusAddress();
    return sAddress.empty() ? sdbus::createSessionBusConnection()
                            : sdbus::createSessionBusConnectionWithAddress(sAddress);
}

}  // namespace comrt::dbus
