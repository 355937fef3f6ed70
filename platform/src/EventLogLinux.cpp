// The event log on the system journal, else syslog; or, for tests and machines without a journal, a file
// named by CORVANE_HARKWELL_EVENT_LOG that receives one line per entry.
#include <errno.h>
#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>

#include "ServiceInternal.h"
#include "comrt/service.h"
#include "comrt/text.h"

namespace {

using namespace comrt::internal;

struct CEventSourceObject : CServiceObject {
    static constexpr std::uint32_t kTag = kEventSourceTag;
    explicit CEventSourceObject(std::string sSource) : CServiceObject(kTag), sSource(std::move(sSource)) {}
    const std::string sSource;
};

int JournalPriority(WORD wType) {
    switch (wType) {
        case EVENTLOG_ERROR_TYPE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

bool AppendEventLine(const std::string& sFile, const std::string& sLine) {
    const int fd = open(sFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(comrt::Win32ErrorFromErrno(errno, ERROR_WRITE_FAULT));
        return false;
    }
    // One write, so that entries of several processes never interleave.
    const ssize_t n = write(fd, sLine.data(), sLine.size());
    const int nErrno = errno;
    close(fd);
    if (n != static_cast<ssize_t>(sLine.size())) {
        SetLastError(n < 0 ? comrt::Win32ErrorFromErrno(nErrno, ERROR_WRITE_FAULT) : ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

std::mutex g_SyslogLock;  // openlog's identifier is process-wide

}  // namespace

// -------------------------------------------------------------------------------------------------------------
// The event log.

HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) noexcept {
    try {
        if (lpUNCServerName != nullptr || comrt::Length(lpSourceName) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return InsertServiceObject(std::make_shared<CEventSourceObject>(comrt::ToUtf8(lpSourceName)));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) noexcept {
    try {
        std::shared_ptr<CEventSourceObject> p = LookupServiceObject<CEventSourceObject>(hEventLog);
        if (!p) return FALSE;
        if (wNumStrings != 0 && !lpStrings) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::string sText;
        for (WORD i = 0; i < wNumStrings; ++i) {
            if (i != 0) sText += '\n';
            sText += comrt::ToUtf8(lpStrings[i]);
        }

        const std::string sFile = EnvironmentValue("CORVANE_HARKWELL_EVENT_LOG");
        if (!sFile.empty()) {
            // One entry, one line: line breaks and tabs inside the text would break the line's fields.
            std::string sFlat = sText;
            for (char& c : sFlat)
                if (c == '\n' || c == '\r' || c == '\t') c = ' ';
            return AppendEventLine(sFile, p->sSource + "\t" + std::to_string(wType) + "\t" + std::to_string(dwEventID) +
                                              "\t" + sFlat + "\n")
                       ? TRUE
                       : FALSE;
        }

        const int nPriority = JournalPriority(wType);
        if (sd_journal_send("MESSAGE=%s", sText.c_str(), "PRIORITY=%d", nPriority, "SYSLOG_IDENTIFIER=%s",
                            p->sSource.c_str(), "CORVANE_EVENT_ID=%u", static_cast<unsigned>(dwEventID), nullptr) < 0) {
            std::lock_guard Lock(g_SyslogLock);
            openlog(p->sSource.c_str(), LOG_PID, LOG_DAEMON);
            syslog(nPriority, "%s", sText.c_str());
            closelog();
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL DeregisterEventSource(HANDLE hEventLog) noexcept {
    return RemoveServiceObject(hEventLog, {kEventSourceTag}) ? TRUE : FALSE;
}
