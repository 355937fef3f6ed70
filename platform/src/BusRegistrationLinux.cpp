// The bus daemons' registration files of the server and the group its policy names: written whole, removed
// when the other mode registers, and the group made with groupadd when root registers the service.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "comrt/bus.h"
#include "comrt/busregistration.h"
#include "comrt/files.h"
#include "comrt/systemerrors.h"
#include "comrt/text.h"

extern char** environ;

namespace comrt {
namespace {

// Formats one line for the caller's trace writer; nothing when there is none.
__attribute__((format(printf, 2, 3))) void Trace(BusRegistrationTraceWriter pfnTrace, const char* pszFormat, ...) {
    if (pfnTrace == nullptr) return;
    char szLine[1024];
    va_list Arguments;
    va_start(Arguments, pszFormat);
    std::vsnprintf(szLine, sizeof szLine, pszFormat, Arguments);
    va_end(Arguments);
    pfnTrace(szLine);
}

std::string EnvironmentValue(const char* pszName) {
    const char* pszValue = getenv(pszName);
    return pszValue != nullptr ? std::string(pszValue) : std::string();
}

std::string HomeFolder() {
    std::string sHome = EnvironmentValue("HOME");
    if (!sHome.empty()) return sHome;
    std::vector<char> Buffer(16384);
    passwd Entry{};
    passwd* pEntry = nullptr;
    if (getpwuid_r(getuid(), &Entry, Buffer.data(), Buffer.size(), &pEntry) == 0 && pEntry != nullptr &&
        pEntry->pw_dir != nullptr)
        return pEntry->pw_dir;
    return "/";
}

// A failed write or removal of a bus file: the system's error, ERROR_WRITE_FAULT where it has none closer.
HRESULT ResultOfErrno(int nErrno) {
    return HRESULT_FROM_WIN32(Win32ErrorFromErrno(nErrno, ERROR_WRITE_FAULT));
}

// Writes the file whole or not at all: a temporary file in the same folder, renamed over the old one. The
// folder is made when it is missing (a user's dbus-1/services usually is).
HRESULT WriteWholeFile(const std::string& sFolder, const char* pszName, const std::string& sText) {
    std::error_code Error;
    std::filesystem::create_directories(sFolder, Error);
    if (Error) return ResultOfErrno(Error.value());
    const std::string sPath = sFolder + "/" + pszName;
    // The bus daemons read these files with their own identity: readable by everyone, like any other
    // service or policy file.
    std::string sTemporary;
    if (const int nErrno = WriteTemporaryFile(sFolder, pszName, sText, 0644, &sTemporary)) {
        return ResultOfErrno(nErrno);
    }
    if (rename(sTemporary.c_str(), sPath.c_str()) != 0) {
        const int nErrno = errno;
        unlink(sTemporary.c_str());
        return ResultOfErrno(nErrno);
    }
    return S_OK;
}

// S_FALSE when the file was not there.
HRESULT RemoveFile(const std::string& sFolder, const char* pszName, BusRegistrationTraceWriter pfnTrace) {
    const std::string sPath = sFolder + "/" + pszName;
    if (unlink(sPath.c_str()) == 0) return S_OK;
    if (errno == ENOENT || errno == ENOTDIR) return S_FALSE;
    const HRESULT hr = ResultOfErrno(errno);
    Trace(pfnTrace, "Cannot remove %s (0x%08x)\n", sPath.c_str(), static_cast<unsigned>(hr));
    return hr;
}

bool GroupExists(const char* pszGroup) {
    std::vector<char> Buffer(16384);
    group Entry{};
    group* pEntry = nullptr;
    while (getgrnam_r(pszGroup, &Entry, Buffer.data(), Buffer.size(), &pEntry) == ERANGE)
        Buffer.resize(Buffer.size() * 2);
    return pEntry != nullptr;
}

// The policy names the group; without it the daemon skips the group's rule and only root may call. root
// creates it as a system group; anyone else leaves that to the administrator.
void EnsurePolicyGroup(BusRegistrationTraceWriter pfnTrace) {
    if (geteuid() != 0 || GroupExists(kBusPolicyGroup)) return;
    std::string sProgram = EnvironmentValue("CORVANE_HARKWELL_GROUPADD");
    if (sProgram.empty()) sProgram = "groupadd";
    std::string sSystem = "--system";
    std::string sGroup = kBusPolicyGroup;
    char* Argv[] = {sProgram.data(), sSystem.data(), sGroup.data(), nullptr};
    pid_t nProcess = -1;
    const int nSpawn = posix_spawnp(&nProcess, sProgram.c_str(), nullptr, nullptr, Argv, environ);
    if (nSpawn != 0) {
        Trace(pfnTrace, "Cannot run %s to create the group %s (errno %d)\n", sProgram.c_str(), kBusPolicyGroup, nSpawn);
        return;
    }
    int nStatus = 0;
    while (waitpid(nProcess, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        Trace(pfnTrace,
              "%s could not create the group %s (status %d): only root may call the server on the system bus\n",
              sProgram.c_str(), kBusPolicyGroup, nStatus);
    }
}

}  // namespace

std::string BusActivationFolder() {
    std::string sFolder = EnvironmentValue("CORVANE_HARKWELL_DBUS_SERVICES_DIR");
    if (!sFolder.empty()) return sFolder;
    const std::string sData = EnvironmentValue("XDG_DATA_HOME");
    if (!sData.empty() && sData.front() == '/') return sData + "/dbus-1/services";
    return HomeFolder() + "/.local/share/dbus-1/services";
}

std::string BusPolicyFolder() {
    std::string sFolder = EnvironmentValue("CORVANE_HARKWELL_DBUS_SYSTEM_DIR");
    return sFolder.empty() ? "/etc/dbus-1/system.d" : sFolder;
}

bool BuildBusActivationFile(const std::string& sProgramPath, std::string* psText) {
    // Two layers read the line. The daemon splits Exec as a shell would, without expanding anything:
    // inside double quotes a backslash keeps '"' and '\' literal ('$' and '`' are literal already). Before
    // that, the file's own reading turns "\\" into one backslash (and refuses a backslash before '"', '$',
    // '`' or a blank), so every backslash of the quoted text is written twice. A line break would end the line.
    std::string sExec = "\"";
    for (char c : sProgramPath) {
        if (c == '\n' || c == '\r' || c == '\0') return false;
        if (c == '"') sExec += "\\\\";
        if (c == '\\') sExec += "\\\\\\";
        sExec += c;
    }
    sExec += '"';
    *psText = std::string(
                  "# Corvane Harkwell Server (Application Mode): written when the program registers itself "
                  "for Application Mode, removed when it registers as a service or unregisters.\n"
                  "[D-BUS Service]\n"
                  "Name=") +
              kServerBusName + "\nExec=" + sExec + "\n";
    return true;
}

std::string BuildBusPolicyFile() {
    const std::string sName = kServerBusName;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<!-- Corvane Harkwell Server (Service Mode): written when the program registers itself as a service,\n"
           "     removed when it registers for Application Mode or unregisters. -->\n"
           "<busconfig>\n"
           "  <!-- The service runs as root and owns the name. -->\n"
           "  <policy user=\"root\">\n"
           "    <allow own=\"" +
           sName +
           "\"/>\n"
           "    <allow send_destination=\"" +
           sName +
           "\"/>\n"
           "  </policy>\n"
           "  <!-- Besides root only the members of this group may call it; the default policy refuses everyone "
           "else. -->\n"
           "  <policy group=\"" +
           kBusPolicyGroup +
           "\">\n"
           "    <allow send_destination=\"" +
           sName +
           "\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

HRESULT WriteBusFiles(bool bServiceMode, const std::u16string& sProgramPath, BusRegistrationTraceWriter pfnTrace) {
    HRESULT hr = S_OK;
    if (bServiceMode) {
        // The group first: the daemon reads the policy again as soon as the file appears, and resolves the
        // group's name then.
        EnsurePolicyGroup(pfnTrace);
        hr = WriteWholeFile(BusPolicyFolder(), kBusPolicyFileName, BuildBusPolicyFile());
        if (SUCCEEDED(hr)) RemoveFile(BusActivationFolder(), kBusActivationFileName, pfnTrace);
    } else {
        std::string sText;
        if (!BuildBusActivationFile(ToUtf8(sProgramPath), &sText)) return E_INVALIDARG;
        hr = WriteWholeFile(BusActivationFolder(), kBusActivationFileName, sText);
        if (SUCCEEDED(hr)) RemoveFile(BusPolicyFolder(), kBusPolicyFileName, pfnTrace);
    }
    if (FAILED(hr)) {
        Trace(pfnTrace, "Cannot write the %s file of the bus (0x%08x)\n", bServiceMode ? "policy" : "activation",
              static_cast<unsigned>(hr));
    }
    return hr;
}

HRESULT RemoveBusFiles(BusRegistrationTraceWriter pfnTrace) {
    const HRESULT hrActivation = RemoveFile(BusActivationFolder(), kBusActivationFileName, pfnTrace);
    const HRESULT hrPolicy = RemoveFile(BusPolicyFolder(), kBusPolicyFileName, pfnTrace);
    if (FAILED(hrActivation)) return hrActivation;
    return FAILED(hrPolicy) ? hrPolicy : S_OK;
}

}  // namespace comrt
