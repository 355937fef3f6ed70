// Directory listings over opendir/readdir and change notifications over inotify (comrt/fileapi.h).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "SyncObjects.h"
#include "comrt/fileapi.h"
#include "comrt/text.h"

namespace {

// Find handles and change notifications are looked up in tables of their own, so that a handle of another
// kind, or one closed already, is refused rather than followed.
template <class T>
class CHandleTable {
public:
    HANDLE Add(std::unique_ptr<T> pObject) {
        std::lock_guard Lock(m_Lock);
        const HANDLE h = reinterpret_cast<HANDLE>(m_nNext);
        m_nNext += 16;
        m_Objects.emplace(h, std::move(pObject));
        return h;
    }
    // Files the object under a handle made elsewhere.
    void AddAs(HANDLE h, std::unique_ptr<T> pObject) {
        std::lock_guard Lock(m_Lock);
        m_Objects[h] = std::move(pObject);
    }
    // Runs Action on the object under the table's lock; false when h names none.
    template <class F>
    bool With(HANDLE h, F&& Action) {
        std::lock_guard Lock(m_Lock);
        const auto Position = m_Objects.find(h);
        if (Position == m_Objects.end()) return false;
        Action(*Position->second);
        return true;
    }
    std::unique_ptr<T> Remove(HANDLE h) {
        std::lock_guard Lock(m_Lock);
        const auto Position = m_Objects.find(h);
        if (Position == m_Objects.end()) return nullptr;
        std::unique_ptr<T> pObject = std::move(Position->second);
        m_Objects.erase(Position);
        return pObject;
    }

private:
    std::mutex m_Lock;
    std::uintptr_t m_nNext;
    std::unordered_map<HANDLE, std::unique_ptr<T>> m_Objects;

public:
    explicit CHandleTable(std::uintptr_t nFirst) : m_nNext(nFirst) {}
};

struct CFind {
    DIR* pDirectory = nullptr;
    std::string sDirectory;
    ~CFind() {
        if (pDirectory != nullptr) closedir(pDirectory);
    }
};

struct CChangeNotification {
    int nFd = -1;  // owned by the waitable object
    HANDLE hWaitable = nullptr;
    bool bGone = false;
};

CHandleTable<CFind>& FindTable() {
    static CHandleTable<CFind> Table(0x46000000);
    return Table;
}
CHandleTable<CChangeNotification>& NotificationTable() {
    static CHandleTable<CChangeNotification> Table(0x43000000);
    return Table;
}

DWORD ErrorOfPath(int nErrno) noexcept {
    if (nErrno == ENOENT || nErrno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
    return comrt::Win32ErrorFromErrno(nErrno);
}

FILETIME FileTimeOf(const timespec& Time) noexcept {
    // 100 ns units since 1601-01-01.
    const std::uint64_t nTicks = (static_cast<std::uint64_t>(Time.tv_sec) + 11644473600ULL) * 10000000ULL +
                                 static_cast<std::uint64_t>(Time.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(nTicks), static_cast<DWORD>(nTicks >> 32)};
}

// Fills FindData from the next entry whose name fits; false at the end (errno 0) or on a failure.
bool ReadEntry(CFind& Find, WIN32_FIND_DATAW* pFindData) {
    for (;;) {
        errno = 0;
        const dirent* pEntry = readdir(Find.pDirectory);
        if (pEntry == nullptr) return false;
        const std::u16string sName = comrt::ToUtf16(pEntry->d_name);
        if (sName.size() >= MAX_PATH) continue;
        struct stat Status {};
        const std::string sPath = Find.sDirectory + "/" + pEntry->d_name;
        if (lstat(sPath.c_str(), &Status) != 0) continue;  // gone since the directory was read
        std::memset(pFindData, 0, sizeof *pFindData);
        DWORD nAttributes = 0;
        if (S_ISLNK(Status.st_mode)) {
            nAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            struct stat Target {};
            if (stat(sPath.c_str(), &Target) == 0 && S_ISDIR(Target.st_mode)) nAttributes |= FILE_ATTRIBUTE_DIRECTORY;
        } else if (S_ISDIR(Status.st_mode)) {
            nAttributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
        pFindData->dwFileAttributes = nAttributes != 0 ? nAttributes : FILE_ATTRIBUTE_NORMAL;
        const std::uint64_t nSize = S_ISREG(Status.st_mode) ? static_cast<std::uint64_t>(Status.st_size) : 0;
        pFindData->nFileSizeHigh = static_cast<DWORD>(nSize >> 32);
        pFindData->nFileSizeLow = static_cast<DWORD>(nSize);
        pFindData->ftCreationTime = FileTimeOf(Status.st_ctim);
        pFindData->ftLastAccessTime = FileTimeOf(Status.st_atim);
        pFindData->ftLastWriteTime = FileTimeOf(Status.st_mtim);
        std::memcpy(pFindData->cFileName, sName.c_str(), (sName.size() + 1) * sizeof(WCHAR));
        return true;
    }
}

// The inotify events a filter watches for; the watch's own end is always reported.
std::uint32_t MaskOf(DWORD dwNotifyFilter) noexcept {
    std::uint32_t nMask = 0;
    if (dwNotifyFilter & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME))
        nMask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (dwNotifyFilter & FILE_NOTIFY_CHANGE_ATTRIBUTES) nMask |= IN_ATTRIB;
    if (dwNotifyFilter & FILE_NOTIFY_CHANGE_SIZE) nMask |= IN_MODIFY;
    if (dwNotifyFilter & FILE_NOTIFY_CHANGE_LAST_WRITE) nMask |= IN_MODIFY | IN_CLOSE_WRITE;
    return nMask;
}

constexpr DWORD KNOWN_FILTER_BITS = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                    FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                    FILE_NOTIFY_CHANGE_LAST_WRITE;

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, WIN32_FIND_DATAW* lpFindFileData) noexcept {
    try {
        if (lpFileName == nullptr || lpFindFileData == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        std::string sPattern = comrt::ToUtf8(lpFileName);
        const std::size_t nSlash = sPattern.rfind('/');
        const std::string sLast = nSlash == std::string::npos ? sPattern : sPattern.substr(nSlash + 1);
        if (sLast != "*" && sLast != "*.*") {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        auto pFind = std::make_unique<CFind>();
        pFind->sDirectory = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : sPattern.substr(0, nSlash);
        pFind->pDirectory = opendir(pFind->sDirectory.c_str());
        if (pFind->pDirectory == nullptr) {
            SetLastError(ErrorOfPath(errno));
            return INVALID_HANDLE_VALUE;
        }
        if (!ReadEntry(*pFind, lpFindFileData)) {
            SetLastError(errno != 0 ? ErrorOfPath(errno) : static_cast<DWORD>(ERROR_NO_MORE_FILES));
            return INVALID_HANDLE_VALUE;
        }
        return FindTable().Add(std::move(pFind));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL FindNextFileW(HANDLE hFindFile, WIN32_FIND_DATAW* lpFindFileData) noexcept {
    if (lpFindFileData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool bRead = false;
    int nErrno = 0;
    try {
        const bool bFound = FindTable().With(hFindFile, [&](CFind& Find) {
            bRead = ReadEntry(Find, lpFindFileData);
            nErrno = errno;
        });
        if (!bFound) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (bRead) return TRUE;
    SetLastError(nErrno != 0 ? ErrorOfPath(nErrno) : static_cast<DWORD>(ERROR_NO_MORE_FILES));
    return FALSE;
}

BOOL FindClose(HANDLE hFindFile) noexcept {
    if (!FindTable().Remove(hFindFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) noexcept {
    if (pszDest == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string_view sDir(pszDir ? pszDir : u""), sFile(pszFile ? pszFile : u"");
    std::u16string sResult;
    try {
        if (sFile.empty() || sDir.empty() || sFile.front() == u'/')
            sResult = sFile.empty() ? sDir : sFile;
        else
            sResult = std::u16string(sDir) + (sDir.back() == u'/' ? u"" : u"/") + std::u16string(sFile);
    } catch (...) {
        sResult.assign(MAX_PATH, u' ');
    }
    if (sResult.size() >= MAX_PATH) {
        pszDest[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(pszDest, sResult.c_str(), (sResult.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

HANDLE FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter) noexcept {
    if (bWatchSubtree) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (lpPathName == nullptr || dwNotifyFilter == 0 || (dwNotifyFilter & ~KNOWN_FILTER_BITS) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        const std::string sPath = comrt::ToUtf8(lpPathName);
        struct stat Status {};
        if (stat(sPath.c_str(), &Status) != 0 || !S_ISDIR(Status.st_mode)) {
            SetLastError(errno != 0 && errno != EEXIST ? ErrorOfPath(errno) : static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
            if (S_ISREG(Status.st_mode)) SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const int nFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (nFd < 0) {
            SetLastError(comrt::Win32ErrorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        if (inotify_add_watch(nFd, sPath.c_str(), MaskOf(dwNotifyFilter) | IN_ONLYDIR) < 0) {
            const int nErrno = errno;
            close(nFd);
            SetLastError(ErrorOfPath(nErrno));
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE hWaitable = comrt::CreateFdWaitable(nFd, POLLIN, true);
        if (hWaitable == nullptr) {
            const DWORD nError = GetLastError();
            close(nFd);
            SetLastError(nError);
            return INVALID_HANDLE_VALUE;
        }
        auto pNotification = std::make_unique<CChangeNotification>();
        pNotification->nFd = nFd;
        pNotification->hWaitable = hWaitable;
        // The waitable object is the handle itself, so that the waits of comrt/sync.h take it as it is.
        NotificationTable().AddAs(hWaitable, std::move(pNotification));
        return hWaitable;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL FindNextChangeNotification(HANDLE hChangeHandle) noexcept {
    bool bGone = false;
    const bool bFound = NotificationTable().With(hChangeHandle, [&](CChangeNotification& Notification) {
        // Everything pending is taken back; the end of the watch is remembered for good.
        alignas(inotify_event) char Buffer[4096];
        for (;;) {
            const ssize_t nRead = read(Notification.nFd, Buffer, sizeof Buffer);
            if (nRead <= 0) break;
            for (ssize_t nOffset = 0; nOffset + static_cast<ssize_t>(sizeof(inotify_event)) <= nRead;) {
                inotify_event Event;
                std::memcpy(&Event, Buffer + nOffset, sizeof Event);
                if (Event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) Notification.bGone = true;
                nOffset += static_cast<ssize_t>(sizeof(inotify_event) + Event.len);
            }
        }
        bGone = Notification.bGone;
    });
    if (!bFound) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (bGone) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE hChangeHandle) noexcept {
    if (!NotificationTable().Remove(hChangeHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(hChangeHandle);
}
