// The unit file of a service: systemd reads it, the manager calls write and edit it.
#include "ServiceUnitFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "ServiceInternal.h"
#include "comrt/files.h"
#include "comrt/sync.h"
#include "comrt/text.h"

namespace comrt::internal {

std::string UnitFolder() {
    std::string s = EnvironmentValue("CORVANE_HARKWELL_UNIT_DIR");
    return s.empty() ? "/etc/systemd/system" : s;
}

// "Corvane Harkwell Server" -> "corvane-harkwell-server.service". Only the characters systemd allows in a
// unit name pass, so a service name can never reach outside the unit folder.
bool UnitNameOf(std::u16string_view sName, std::string* psUnit) {
    std::string s;
    for (char16_t c : sName) {
        if (c == u' ') {
            s += '-';
        } else if (c >= u'A' && c <= u'Z') {
            s += static_cast<char>(c - u'A' + 'a');
        } else if ((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.' ||
                   c == u':') {
            s += static_cast<char>(c);
        } else {
            return false;
        }
    }
    if (s.empty() || s.size() > 240) return false;
    *psUnit = s + ".service";
    return true;
}

std::string UnitPath(const std::string& sUnit) {
    return UnitFolder() + "/" + sUnit;
}

bool UnitFileExists(const std::string& sUnit) {
    struct stat st;
    return stat(UnitPath(sUnit).c_str(), &st) == 0;
}

// One line of the unit file: line breaks would end the setting early.
std::string OneLine(std::u16string_view s) {
    std::string sLine = comrt::ToUtf8(s);
    for (char& c : sLine)
        if (c == '\r' || c == '\n') c = ' ';
    return sLine;
}

// systemd expands "%x" specifiers in most settings; a literal percent sign is written twice.
std::string KeepPercent(std::string_view s) {
    std::string sOut;
    for (char c : s) {
        sOut += c;
        if (c == '%') sOut += '%';
    }
    return sOut;
}

namespace {

constexpr std::string_view kCommentTail =
    ": written when the program registers itself as a service, removed when it unregisters.";

std::string EnvironmentAssignment(const char* szName, const std::string& sValue) {
    std::string s = KeepPercent(std::string(szName) + "=" + sValue);
    if (s.find_first_of(" \t\"'\\") == std::string::npos) return s;
    std::string sQuoted = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') sQuoted += '\\';
        sQuoted += c;
    }
    return sQuoted + "\"";
}

}  // namespace

std::string CommentLine(const std::string& sDisplayName) {
    return "# " + sDisplayName + std::string(kCommentTail);
}

bool IsCommentLine(const std::string& sLine) {
    return sLine.starts_with("# ") && sLine.ends_with(kCommentTail);
}

std::string BuildUnitFile(const std::string& sDisplayName, const std::string& sBinaryPath,
                          const std::string& sDependencies) {
    std::string s = CommentLine(sDisplayName) + "\n[Unit]\n";
    if (!sDisplayName.empty()) s += "Description=" + KeepPercent(sDisplayName) + "\n";
    if (!sDependencies.empty()) s += "Requires=" + sDependencies + "\nAfter=" + sDependencies + "\n";
    s += "[Service]\nType=notify\nNotifyAccess=main\n";
    s += "ExecStart=" + KeepPercent(sBinaryPath) + "\n";
    // The service finds the same store and log folder as the program that registered it.
    for (const char* szName : {"CORVANE_REGISTRY_DIR", "CORVANE_LOG_DIR"}) {
        const std::string sValue = EnvironmentValue(szName);
        if (!sValue.empty()) s += "Environment=" + EnvironmentAssignment(szName, sValue) + "\n";
    }
    s += "[Install]\nWantedBy=multi-user.target\n";
    return s;
}

std::vector<std::string> SplitLines(const std::string& sText) {
    std::vector<std::string> Lines;
    std::size_t nStart = 0;
    while (nStart < sText.size()) {
        std::size_t nEnd = sText.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = sText.size();
        Lines.push_back(sText.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return Lines;
}

std::string JoinLines(const std::vector<std::string>& Lines) {
    std::string s;
    for (const std::string& sLine : Lines) s += sLine + "\n";
    return s;
}

namespace {

bool IsSetting(const std::string& sLine, std::string_view sKey) {
    return sLine.size() > sKey.size() && sLine.compare(0, sKey.size(), sKey) == 0 && sLine[sKey.size()] == '=';
}

}  // namespace

void SetSetting(std::vector<std::string>& Lines, std::string_view sKey, const std::string& sValue,
                std::string_view sAfterKey) {
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        if (!IsSetting(Lines[i], sKey)) continue;
        if (sValue.empty()) {
            Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            Lines[i] = std::string(sKey) + "=" + sValue;
        }
        return;
    }
    if (sValue.empty()) return;
    std::size_t nAt = Lines.size();
    for (std::size_t i = 0; i < Lines.size() && nAt == Lines.size(); ++i)
        if (IsSetting(Lines[i], sAfterKey)) nAt = i + 1;
    for (std::size_t i = 0; i < Lines.size() && nAt == Lines.size(); ++i)
        if (Lines[i] == "[Unit]") nAt = i + 1;
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(nAt), std::string(sKey) + "=" + sValue);
}

bool ReadUnitFile(const std::string& sUnit, std::string* psText) {
    const int fd = open(UnitPath(sUnit).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : Win32ErrorFromErrno(errno, ERROR_READ_FAULT));
        return false;
    }
    std::string s;
    char Buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, Buffer, sizeof Buffer);
        if (n > 0) {
            s.append(Buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int nErrno = errno;
            close(fd);
            SetLastError(Win32ErrorFromErrno(nErrno, ERROR_READ_FAULT));
            return false;
        }
    }
    close(fd);
    *psText = std::move(s);
    return true;
}

// Writes the unit file whole or not at all: a temporary file in the same folder, then linked into place
// (bCreate: fails with ERROR_SERVICE_EXISTS when the unit is there already) or renamed over the old one.
bool WriteUnitFile(const std::string& sUnit, const std::string& sText, bool bCreate) {
    const std::string sPath = UnitPath(sUnit);
    std::string sTemporary;
    if (const int nErrno = comrt::WriteTemporaryFile(UnitFolder(), sUnit, sText, 0644, &sTemporary)) {
        SetLastError(Win32ErrorFromErrno(nErrno, ERROR_WRITE_FAULT));
        return false;
    }
    const int nPlaced = bCreate ? link(sTemporary.c_str(), sPath.c_str()) : rename(sTemporary.c_str(), sPath.c_str());
    const int nPlaceErrno = errno;
    if (bCreate || nPlaced != 0) unlink(sTemporary.c_str());
    if (nPlaced != 0) {
        SetLastError(nPlaceErrno == EEXIST ? ERROR_SERVICE_EXISTS
                                           : Win32ErrorFromErrno(nPlaceErrno, ERROR_WRITE_FAULT));
        return false;
    }
    return true;
}

// The dependency list: NUL-separated names ending with an empty one. "RPCSS", the object services the
// program needs, is the D-Bus daemon here.
bool MapDependencies(LPCWSTR pszDependencies, std::string* psUnits) {
    std::string sUnits;
    for (LPCWSTR p = pszDependencies; p && *p; p += comrt::Length(p) + 1) {
        const std::u16string_view sName(p, comrt::Length(p));
        std::string sUnit;
        if (comrt::EqualsNoCase(sName, u"RPCSS")) {
            sUnit = "dbus.service";
        } else if (!UnitNameOf(sName, &sUnit)) {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        if (!sUnits.empty()) sUnits += ' ';
        sUnits += sUnit;
    }
    *psUnits = std::move(sUnits);
    return true;
}

}  // namespace comrt::internal
