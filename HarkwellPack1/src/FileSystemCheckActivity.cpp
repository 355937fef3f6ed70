#include "FileSystemCheckActivity.h"

#include <utility>

#include "Common.h"
#include "comrt/fileapi.h"
#include "comrt/text.h"
#include "corvane/ulguard.h"
#include "corvane/ulresource.h"

namespace {

const corvane::StringResource kFileSystemCheckStrings[] = {
    {1300, u"File System Check Activity"},
    {1301, u"File System Check Activity\nFile System Check Activity for %s in %s\n"},
    {1302, u"File System Check on %s in %s"},
    {1303, u"File System Check details:\r\n\tLocal Time: %s\r\n\tDirectory Path: %s\r\n"},
    {1304, u"\r\nDeleted File:\r\n\tName: %s\r\n"},
    {1305, u"\r\nUpdated File:\r\n\tName: %s\r\n\tSize: %s\r\n"},
};
const corvane::CStringTableRegistration g_FileSystemCheckStrings(kFileSystemCheckStrings);

// File name changes and size changes of the directory's own entries.
constexpr DWORD NOTIFY_FILTER = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE;
// Sizes above this are written in kibibytes.
constexpr std::uint64_t LARGEST_BYTE_SIZE = 0x3FFFFFFF;

std::u16string Text(BSTR s) {
    return std::u16string(s ? s : u"", SysStringLen(s));
}

// Closes a change notification handle when it goes.
class CChangeNotification {
public:
    explicit CChangeNotification(HANDLE hNotification) noexcept : m_hNotification(hNotification) {}
    ~CChangeNotification() {
        if (IsValid()) UL_ASSERT(FindCloseChangeNotification(m_hNotification));
    }
    CChangeNotification(const CChangeNotification&) = delete;
    CChangeNotification& operator=(const CChangeNotification&) = delete;
    bool IsValid() const noexcept { return m_hNotification != INVALID_HANDLE_VALUE && m_hNotification != nullptr; }
    operator HANDLE() const noexcept { return m_hNotification; }

private:
    HANDLE m_hNotification;
};

bool IsMissingDirectoryError(DWORD nError) noexcept {
    return nError == static_cast<DWORD>(ERROR_PATH_NOT_FOUND) || nError == static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
}

}  // namespace

CFileSystemCheckActivity::CChanges CFileSystemCheckActivity::Compare(const CFileDataMap& Known,
                                                                     const CFileDataMap& Listing,
                                                                     std::uint64_t nGranularity) {
    CChanges Changes;
    for (const auto& [sFileName, Data] : Known)
        if (Listing.find(sFileName) == Listing.end()) Changes.DeletedFileNameList.push_back(Data.sFileName);
    for (const auto& [sFileName, Data] : Listing) {
        const auto Position = Known.find(sFileName);
        // A granularity of 0 asks for every size change; dividing by it has no meaning.
        const bool bUpdated =
            Position == Known.end() ||
            (nGranularity == 0 ? Data.nFileSize != Position->second.nFileSize
                               : Data.nFileSize / nGranularity != Position->second.nFileSize / nGranularity);
        if (bUpdated) Changes.UpdatedFileDataMap.emplace(sFileName, Data);
    }
    return Changes;
}

std::u16string CFileSystemCheckActivity::FormatFileSize(std::uint64_t nFileSize) {
    if (nFileSize <= LARGEST_BYTE_SIZE) return FormatInteger(static_cast<std::int64_t>(nFileSize));
    return FormatInteger(static_cast<std::int32_t>(nFileSize >> 10)) + u" K";
}

CFileSystemCheckActivity::CFileSystemCheckActivity()
    : CBasePersistT<CFileSystemCheckActivity>(&m_DataCriticalSection),
      m_ActivityEventsConnectionPoint(static_cast<IConnectionPointContainer*>(this), IidOf<_ActivityEvents>()) {}

void CFileSystemCheckActivity::FinalRelease() {
    UL_CATCH_ALL_BEGIN
    CObjectPtrT<CThreadT<CFileSystemCheckActivity>> pThread;
    {
        CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
        pThread = std::move(m_pThread);
    }
    pThread.Release();
    UL_CATCH_ALL_END
}

// IActivity

HRESULT CFileSystemCheckActivity::get_Title(BSTR* psTitle) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psTitle);
    *psTitle = nullptr;
    std::u16string sDirectoryPath, sFileNameExpression;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        sDirectoryPath = m_sDirectoryPath;
        sFileNameExpression = m_sFileNameExpression;
    }
    *psTitle = AllocateString(
        sDirectoryPath.empty() || sFileNameExpression.empty()
            ? corvane::LoadStringResourceLine(1301, 0)
            : corvane::FormatString(corvane::LoadStringResourceLine(1301, 1), {sFileNameExpression, sDirectoryPath}));
    UL_GUARD_END
}

void CFileSystemCheckActivity::StartThread() {
    CObjectPtrT<CThreadT<CFileSystemCheckActivity>> pThread;
    pThread.Construct();
    if (!pThread->Initialize(this, &CFileSystemCheckActivity::ThreadProc))
        corvane::ThrowHResult(static_cast<HRESULT>(pThread->GetThreadExitCode()));
    m_pThread = std::move(pThread);
}

HRESULT CFileSystemCheckActivity::Start() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (m_sDirectoryPath.empty() || m_sFileNameExpression.empty()) return S_FALSE;
    }
    if (!m_pThread) StartThread();
    UL_GUARD_END
}

HRESULT CFileSystemCheckActivity::Stop() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    m_pThread.Release();
    UL_GUARD_END
}

// IFileSystemCheckActivity

HRESULT CFileSystemCheckActivity::get_DirectoryPath(BSTR* psDirectoryPath) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psDirectoryPath);
    *psDirectoryPath = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *psDirectoryPath = AllocateString(m_sDirectoryPath);
    UL_GUARD_END
}

// A running watcher moves to the new directory at once; the known listing stays, so the first scan there
// reports against the old directory's files.
HRESULT CFileSystemCheckActivity::put_DirectoryPath(BSTR sDirectoryPath) {
    UL_GUARD_BEGIN
    std::u16string sValue = Text(sDirectoryPath);
    CUlCriticalSectionLock ThreadLock(m_ThreadCriticalSection);
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (sValue == m_sDirectoryPath) return S_OK;
        m_sDirectoryPath.swap(sValue);
        SetDirty();
    }
    if (!m_pThread) return S_OK;
    m_pThread.Release();
    StartThread();
    UL_GUARD_END
}

HRESULT CFileSystemCheckActivity::get_FileNameExpression(BSTR* psFileNameExpression) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psFileNameExpression);
    *psFileNameExpression = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *psFileNameExpression = AllocateString(m_sFileNameExpression);
    UL_GUARD_END
}

HRESULT CFileSystemCheckActivity::put_FileNameExpression(BSTR sFileNameExpression) {
    UL_GUARD_BEGIN
    std::u16string sValue = Text(sFileNameExpression);
    std::shared_ptr<CRegExp> pRegExp;
    if (!sValue.empty()) {
        pRegExp = std::make_shared<CRegExp>();
        if (pRegExp->Parse(std::u16string_view(sValue), true) != REPARSE_ERROR_OK) corvane::ThrowHResult(E_INVALIDARG);
    }
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (sValue == m_sFileNameExpression) return S_OK;
    m_sFileNameExpression.swap(sValue);
    m_pFileNameRegExp = std::move(pRegExp);
    SetDirty();
    UL_GUARD_END
}

HRESULT CFileSystemCheckActivity::GetNumber(const LONG& nValue, LONG* pnValue) {
    return GetNumberProperty(m_DataCriticalSection, nValue, pnValue);
}

HRESULT CFileSystemCheckActivity::PutNumber(LONG& nValue, LONG nNewValue) {
    return PutNumberProperty(*this, m_DataCriticalSection, nValue, nNewValue, 0);
}

HRESULT CFileSystemCheckActivity::get_FileSizeGranularity(LONG* pnFileSizeGranularity) {
    return GetNumber(m_nFileSizeGranularity, pnFileSizeGranularity);
}
HRESULT CFileSystemCheckActivity::put_FileSizeGranularity(LONG nFileSizeGranularity) {
    return PutNumber(m_nFileSizeGranularity, nFileSizeGranularity);
}
HRESULT CFileSystemCheckActivity::get_MinimalPollInterval(LONG* pnMinimalPollInterval) {
    return GetNumber(m_nMinimalPollInterval, pnMinimalPollInterval);
}
HRESULT CFileSystemCheckActivity::put_MinimalPollInterval(LONG nMinimalPollInterval) {
    return PutNumber(m_nMinimalPollInterval, nMinimalPollInterval);
}

ULONG CFileSystemCheckActivity::GetScanCount() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_nScanCount;
}

// The watcher

bool CFileSystemCheckActivity::GetFileDataMap(const std::u16string& sDirectoryPath, CFileDataMap& FileDataMap) {
    UL_ASSERT(FileDataMap.empty());
    std::shared_ptr<const CRegExp> pRegExp;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        pRegExp = m_pFileNameRegExp;
    }
    WCHAR szPattern[MAX_PATH];
    if (!PathCombineW(szPattern, sDirectoryPath.c_str(), u"*.*"))
        corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    WIN32_FIND_DATAW FindData;
    const HANDLE hFind = FindFirstFileW(szPattern, &FindData);
    if (hFind == INVALID_HANDLE_VALUE) {
        const DWORD nError = GetLastError();
        if (nError == static_cast<DWORD>(ERROR_NO_MORE_FILES)) return true;
        if (IsMissingDirectoryError(nError)) return false;
        corvane::ThrowHResult(HRESULT_FROM_WIN32(nError));
    }
    CRegExpMatchContext Context;
    do {
        if ((FindData.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
        const std::u16string_view sFileName(FindData.cFileName);
        if (!pRegExp || !pRegExp->Match(sFileName, &Context)) continue;
        const std::uint64_t nFileSize =
            (static_cast<std::uint64_t>(FindData.nFileSizeHigh) << 32) | FindData.nFileSizeLow;
        FileDataMap.emplace(std::u16string(sFileName), CFileData{std::u16string(sFileName), nFileSize});
    } while (FindNextFileW(hFind, &FindData));
    const DWORD nError = GetLastError();
    UL_ASSERT(FindClose(hFind));
    if (nError != static_cast<DWORD>(ERROR_NO_MORE_FILES)) corvane::ThrowHResult(HRESULT_FROM_WIN32(nError));
    return true;
}

bool CFileSystemCheckActivity::Scan(const std::u16string& sDirectoryPath) {
    const std::u16string sLocalTime = GetLocalTimeText();
    CFileDataMap Listing;
    // A directory that is gone lists as empty: its files are reported deleted, once.
    const bool bPresent = GetFileDataMap(sDirectoryPath, Listing);
    CChanges Changes;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        // Without an expression nothing is watched; the known files stay known until one is set again.
        if (!m_pFileNameRegExp) return bPresent;
        Changes = Compare(m_KnownFileDataMap, Listing, static_cast<std::uint64_t>(m_nFileSizeGranularity));
        m_KnownFileDataMap = std::move(Listing);
        ++m_nScanCount;
    }
    if (!Changes.IsEmpty()) RaiseEvent(sDirectoryPath, Changes);
    return bPresent;
}

void CFileSystemCheckActivity::RaiseEvent(const std::u16string& sDirectoryPath, const CChanges& Changes) {
    const std::u16string sLocalTime = GetLocalTimeText();
    std::u16string sBody = corvane::FormatResourceString(1303, {sLocalTime, sDirectoryPath});
    const std::u16string sDeletedFormat = corvane::LoadStringResource(1304);
    for (const std::u16string& sFileName : Changes.DeletedFileNameList)
        sBody += corvane::FormatString(sDeletedFormat, {sFileName});
    const std::u16string sUpdatedFormat = corvane::LoadStringResource(1305);
    for (const auto& [sFileName, Data] : Changes.UpdatedFileDataMap)
        sBody += corvane::FormatString(sUpdatedFormat, {Data.sFileName, FormatFileSize(Data.nFileSize)});
    FireActivityEvent(m_ActivityEventsConnectionPoint,
                      corvane::FormatResourceString(1302, {sLocalTime, sDirectoryPath}), sBody);
}

DWORD CFileSystemCheckActivity::ThreadProc(CThreadT<CFileSystemCheckActivity>* /*pThread*/, CEvent& InitializationEvent,
                                           CEvent& TerminationEvent) {
    CMultiThreadedApartment Apartment;
    std::u16string sDirectoryPath;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        sDirectoryPath = m_sDirectoryPath;
    }
    const auto GetMinimalPollInterval = [this] {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        return static_cast<DWORD>(m_nMinimalPollInterval);
    };
    UL_ASSERT(InitializationEvent.Set());

    // A scan whose listing or event fails is written to the trace; the known listing then stays as it was
    // (or is already the new one, when only the event failed), and the watcher goes on with the next change.
    // A sink may let go of the last reference to this activity while it is told: the reference taken
    // around each scan keeps the activity, and the thread ends at once when it was the last.
    bool bLastReference = false;
    const auto ScanGuarded = [&] {
        static_cast<IActivity*>(this)->AddRef();
        bool bPresent = true;
        try {
            bPresent = Scan(sDirectoryPath);
        } catch (...) {
            corvane::CatchException(UL_CONTEXT, corvane::TRACE_LEVEL_FAILURE);
        }
        bLastReference = static_cast<IActivity*>(this)->Release() == 0;
        return bPresent;
    };

    DWORD nReportedError = ERROR_SUCCESS;
    for (;;) {
        CChangeNotification Notification(FindFirstChangeNotificationW(sDirectoryPath.c_str(), FALSE, NOTIFY_FILTER));
        if (!Notification.IsValid()) {
            // Not there (yet, or any more), or not readable: one line says so, and the watcher looks again
            // until it can watch, or until it is stopped.
            const DWORD nError = GetLastError();
            if (nError != nReportedError) {
                nReportedError = nError;
                UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                         "The directory \"%s\" cannot be watched (0x%08x); looking for it again until it can be\n",
                         comrt::ToUtf8(sDirectoryPath).c_str(), static_cast<unsigned>(HRESULT_FROM_WIN32(nError)));
                // The files known from before are reported deleted when the directory has gone.
                if (IsMissingDirectoryError(nError)) ScanGuarded();
                if (bLastReference) return 0;
            }
            DWORD nRetry = GetMinimalPollInterval();
            if (nRetry > MISSING_DIRECTORY_INTERVAL) nRetry = MISSING_DIRECTORY_INTERVAL;
            if (nRetry < MISSING_DIRECTORY_MINIMAL_INTERVAL) nRetry = MISSING_DIRECTORY_MINIMAL_INTERVAL;
            if (WaitForSingleObject(TerminationEvent, nRetry) != WAIT_TIMEOUT) return 0;
            continue;
        }
        if (nReportedError != ERROR_SUCCESS) {
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "The directory \"%s\" is watched again\n",
                     comrt::ToUtf8(sDirectoryPath).c_str());
            nReportedError = ERROR_SUCCESS;
        }

        bool bPresent = ScanGuarded();
        if (bLastReference) return 0;
        while (bPresent) {
            const DWORD nTick = GetTickCount();
            const HANDLE phObjects[] = {TerminationEvent, Notification};
            if (WaitForMultipleObjects(2, phObjects, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
            // Changes that come soon after the last scan wait out the minimal interval, so that a burst of
            // them is one scan and one event.
            const DWORD nMinimalPollInterval = GetMinimalPollInterval();
            if (GetTickCount() - nTick < nMinimalPollInterval &&
                WaitForSingleObject(TerminationEvent, nMinimalPollInterval) != WAIT_TIMEOUT)
                return 0;
            // Re-armed before the scan, so that a change made while the scan runs signals again.
            if (!FindNextChangeNotification(Notification)) {
                // The directory itself has gone (or the watch broke): what it held is reported, and the
                // watcher starts over.
                ScanGuarded();
                break;
            }
            bPresent = ScanGuarded();
            if (bLastReference) return 0;
        }
        if (bLastReference) return 0;
    }
}
