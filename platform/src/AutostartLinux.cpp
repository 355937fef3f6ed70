// XDG autostart entries: "<name>.desktop" files in the user's and the system's autostart folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SyncObjects.h"
#include "comrt/autostart.h"
#include "comrt/systemerrors.h"
#include "comrt/text.h"

namespace {

std::string EntryPath(AutostartScope Scope, const std::u16string& sName) {
    return GetAutostartFolder(Scope) + "/" + comrt::ToUtf8(sName) + ".desktop";
}

// A value of a desktop entry is one line.
std::string OneLine(const std::u16string& sText) {
    std::string sLine = comrt::ToUtf8(sText);
    for (char& c : sLine)
        if (c == '\n' || c == '\r') c = ' ';
    return sLine;
}

LONG LastErrno() {
    return static_cast<LONG>(comrt::Win32ErrorFromErrno(errno));
}

}  // namespace

std::string GetAutostartFolder(AutostartScope Scope) {
    if (Scope == AutostartScope::User) {
        const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
        if (pszConfig != nullptr && pszConfig[0] == '/') return std::string(pszConfig) + "/autostart";
        const char* pszHome = std::getenv("HOME");
        return std::string(pszHome != nullptr ? pszHome : "") + "/.config/autostart";
    }
    const char* pszDirs = std::getenv("XDG_CONFIG_DIRS");
    std::string sFirst = pszDirs != nullptr ? std::string(pszDirs).substr(0, std::string(pszDirs).find(':')) : "";
    if (sFirst.empty() || sFirst[0] != '/') sFirst = "/etc/xdg";
    return sFirst + "/autostart";
}

LONG ReadAutostartEntry(AutostartScope Scope, const std::u16string& sName, std::u16string& sCommand) {
    try {
        sCommand.clear();
        const std::string sPath = EntryPath(Scope, sName);
        std::ifstream File(sPath);
        if (!File) return errno == ENOENT || errno == 0 ? ERROR_FILE_NOT_FOUND : LastErrno();
        std::string sLine;
        bool bInEntry = false;
        while (std::getline(File, sLine)) {
            if (!sLine.empty() && sLine[0] == '[') bInEntry = sLine == "[Desktop Entry]";
            if (bInEntry && sLine.rfind("Exec=", 0) == 0) {
                sCommand = comrt::ToUtf16(sLine.substr(5));
                return sCommand.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WriteAutostartEntry(AutostartScope Scope, const std::u16string& sName, const std::u16string& sDisplayName,
                         const std::u16string& sCommand) {
    try {
        const std::string sFolder = GetAutostartFolder(Scope);
        std::error_code Error;
        std::filesystem::create_directories(sFolder, Error);
        if (Error) return static_cast<LONG>(comrt::Win32ErrorFromErrno(Error.value()));
        const std::string sPath = EntryPath(Scope, sName);
        const std::string sTemporary = sPath + ".new";
        const std::string sText = "[Desktop Entry]\nType=Application\nName=" + OneLine(sDisplayName) +
                                  "\nExec=" + OneLine(sCommand) + "\nTerminal=false\n";
        const int nFd = open(sTemporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (nFd < 0) return LastErrno();
        const bool bWritten = write(nFd, sText.data(), sText.size()) == static_cast<ssize_t>(sText.size());
        const LONG nWriteError = bWritten ? ERROR_SUCCESS : LastErrno();
        const bool bClosed = close(nFd) == 0;
        if (!bWritten || !bClosed) {
            const LONG nError = !bWritten ? nWriteError : LastErrno();
            unlink(sTemporary.c_str());
            return nError;
        }
        if (rename(sTemporary.c_str(), sPath.c_str()) != 0) {
            const LONG nError = LastErrno();
            unlink(sTemporary.c_str());
            return nError;
        }
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG DeleteAutostartEntry(AutostartScope Scope, const std::u16string& sName) {
    try {
        if (unlink(EntryPath(Scope, sName).c_str()) == 0) return ERROR_SUCCESS;
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : LastErrno();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
