// The shared data objects on named kernel objects: the lock (a named mutex), the data object (a named file
// mapping) and the change signal (a named manual-reset event, which also tells which process made it). See
// ulshareddata.h for the protocol.
#include "corvane/ulshareddata.h"

#include <cstring>

#include "comrt/psapi.h"
#include "comrt/runtime.h"
#include "comrt/systemerrors.h"
#include "comrt/text.h"

namespace corvane {

namespace {

[[noreturn]] void ThrowLastError(const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                                 const char* pszFunctionName = __builtin_FUNCTION()) {
    ThrowHResult(HRESULT_FROM_WIN32(::GetLastError()), pszSourcePath, nLine, pszFunctionName);
}

// The handle a Create call answered, and in *pbCreated whether it made the object; raises its failure.
HANDLE Created(HANDLE hObject, bool* pbCreated, const char* pszSourcePath = __builtin_FILE(),
               int nLine = __builtin_LINE(), const char* pszFunctionName = __builtin_FUNCTION()) {
    if (hObject == nullptr) ThrowLastError(pszSourcePath, nLine, pszFunctionName);
    *pbCreated = ::GetLastError() != static_cast<DWORD>(ERROR_ALREADY_EXISTS);
    return hObject;
}

// The system's text for a Win32 error, for trace lines.
std::string ErrorText(DWORD nError) {
    return comrt::ToUtf8(FormatSystemMessage(HRESULT_FROM_WIN32(nError)));
}

void WriteLittleEndian32(void* pView, std::size_t nOffset, std::uint32_t nValue) noexcept {
    // The platform is little-endian (asserted by the template), so the bytes are the value's own.
    std::memcpy(static_cast<unsigned char*>(pView) + nOffset, &nValue, sizeof nValue);
}

std::uint32_t ReadLittleEndian32(const void* pView, std::size_t nOffset) noexcept {
    std::uint32_t nValue;
    std::memcpy(&nValue, static_cast<const unsigned char*>(pView) + nOffset, sizeof nValue);
    return nValue;
}

}  // namespace

CSharedDataObjects::~CSharedDataObjects() {
    CloseAll();
}

std::u16string CSharedDataObjects::GetKernelObjectName(const std::string& sBaseName, const char* pszSuffix) {
    return comrt::ToUtf16(sBaseName + pszSuffix);
}

std::string CSharedDataObjects::GetObjectName(const std::string& sBaseName, const char* pszSuffix) {
    return comrt::GetNamedObjectPath(GetKernelObjectName(sBaseName, pszSuffix));
}

std::uint64_t CSharedDataObjects::GetProcessStartTime(DWORD nProcess) noexcept {
    return comrt::GetProcessStartTime(nProcess);
}

bool CSharedDataObjects::ProcessRuns(DWORD nProcess, std::uint64_t nStartTime) noexcept {
    return comrt::ProcessRuns(nProcess, nStartTime);
}

void CSharedDataObjects::SetMode(HANDLE hObject, bool bCreated, unsigned nMode, const char* pszSuffix) {
    if (comrt::SetNamedObjectMode(hObject, nMode)) return;
    const DWORD nError = ::GetLastError();
    UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::ModeNotSet, m_sBaseName.c_str(), pszSuffix, nMode,
             ErrorText(nError).c_str());
    // An object this call made goes again: with the wrong mode it would only stand in the way.
    if (bCreated) comrt::RemoveNamedObject(hObject);
    ThrowHResult(HRESULT_FROM_WIN32(nError));
}

void CSharedDataObjects::Initialize(const char16_t* pszName, std::size_t nRecordSize, bool* pbExisted) {
    CheckPointer(pszName);
    UL_ASSERT(*pszName != 0);
    CheckArgument(*pszName != 0);
    CheckArgument(nRecordSize >= 3 * sizeof(std::uint32_t) && nRecordSize <= MAPPING_SIZE);
    if (IsInitialized()) ThrowHResult(E_UNEXPECTED);
    std::string sBaseName = comrt::ToUtf8(pszName);
    CheckArgument(sBaseName.find('/') == std::string::npos);
    const DWORD nStart = ::GetTickCount();

    try {
        // The lock first: whoever holds it alone makes, takes over or removes the other two objects.
        bool bLockCreated = false;
        m_hMutex =
            Created(::CreateMutexW(nullptr, TRUE, GetKernelObjectName(sBaseName, LOCK_SUFFIX).c_str()), &bLockCreated);
        if (!bLockCreated) {
            // Making or opening the lock counts into the same time.
            const DWORD nElapsed = ::GetTickCount() - nStart;
            const DWORD nResult =
                ::WaitForSingleObject(m_hMutex, nElapsed < LOCK_TIMEOUT ? LOCK_TIMEOUT - nElapsed : 0);
            if (nResult == WAIT_TIMEOUT) ThrowHResult(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
            if (nResult == WAIT_ABANDONED_0) {
                UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::MutexAbandoned, static_cast<int>(WAIT_ABANDONED_0));
            } else if (nResult != WAIT_OBJECT_0) {
                ThrowLastError();
            }
        }
        AddHold();

        bool bMappingCreated = false;
        m_hMapping = Created(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, MAPPING_SIZE,
                                                  GetKernelObjectName(sBaseName, MAPPING_SUFFIX).c_str()),
                             &bMappingCreated);
        m_pView = ::MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, MAPPING_SIZE);
        if (m_pView == nullptr) ThrowLastError();

        const std::u16string sChangeName = GetKernelObjectName(sBaseName, CHANGE_SUFFIX);
        bool bChangeCreated = false;
        m_hChange = Created(::CreateEventW(nullptr, TRUE, FALSE, sChangeName.c_str()), &bChangeCreated);
        DWORD nCreatorProcess = 0;
        std::uint64_t nCreatorStartTime = 0;
        if (!comrt::GetNamedObjectCreator(m_hChange, &nCreatorProcess, &nCreatorStartTime)) ThrowLastError();

        // The objects belong to a running instance only when all three existed and their creator runs.
        const DWORD nRecordProcess = ReadLittleEndian32(m_pView, 8);
        const bool bLive = !bLockCreated && !bMappingCreated && !bChangeCreated && nCreatorProcess == nRecordProcess &&
                           ProcessRuns(nRecordProcess, nCreatorStartTime);
        m_sBaseName = sBaseName;
        if (!bLive) {
            if (!bLockCreated || !bMappingCreated || !bChangeCreated)
                UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::TakenOver, sBaseName.c_str(),
                         static_cast<unsigned>(nRecordProcess));
            // New objects are their user's only, and objects left by another run may carry other modes: with
            // the wrong ones, other users' clients could not read the record (or could change it), so a mode
            // that cannot be set fails the start.
            SetMode(m_hMutex, bLockCreated, LOCK_MODE, LOCK_SUFFIX);
            SetMode(m_hMapping, bMappingCreated, MAPPING_MODE, MAPPING_SUFFIX);
            SetMode(m_hChange, bChangeCreated, CHANGE_MODE, CHANGE_SUFFIX);
            if (!bChangeCreated) {
                // The change signal tells who made the objects: one left by another run is made anew, so
                // that it names this process.
                comrt::RemoveNamedObject(m_hChange);
                ::CloseHandle(m_hChange);
                m_hChange = nullptr;
                m_hChange = Created(::CreateEventW(nullptr, TRUE, FALSE, sChangeName.c_str()), &bChangeCreated);
                SetMode(m_hChange, bChangeCreated, CHANGE_MODE, CHANGE_SUFFIX);
            }
            const DWORD nProcess = ::GetCurrentProcessId();
            std::memset(m_pView, 0, MAPPING_SIZE);
            WriteLittleEndian32(m_pView, 0, static_cast<std::uint32_t>(nRecordSize));
            WriteLittleEndian32(m_pView, 4, static_cast<std::uint32_t>(MAPPING_SIZE));
            WriteLittleEndian32(m_pView, 8, nProcess);
            m_bCreator = true;
            m_nCreatorProcess = nProcess;
        }
        if (pbExisted != nullptr) *pbExisted = bLive;
    } catch (...) {
        CloseAll();
        throw;
    }
}

bool CSharedDataObjects::WaitMutex(DWORD nTimeout) {
    if (!IsInitialized()) ThrowHResult(E_HANDLE);
    const DWORD nResult = ::WaitForSingleObject(m_hMutex, nTimeout);
    switch (nResult) {
        case WAIT_OBJECT_0:
            AddHold();
            return true;
        case WAIT_ABANDONED_0:
            UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::MutexAbandoned, static_cast<int>(WAIT_ABANDONED_0));
            AddHold();
            return true;
        case WAIT_TIMEOUT:
            UL_ASSERT(nTimeout != INFINITE);
            ::SetLastError(ERROR_TIMEOUT);
            return false;
        default:
            ThrowLastError();
    }
}

void CSharedDataObjects::AddHold() {
    const DWORD nThread = ::GetCurrentThreadId();
    std::lock_guard<std::mutex> Lock(m_HoldsLock);
    for (auto& Hold : m_Holds) {
        if (Hold.first == nThread) {
            ++Hold.second;
            return;
        }
    }
    m_Holds.emplace_back(nThread, 1);
}

bool CSharedDataObjects::RemoveHold() noexcept {
    const DWORD nThread = ::GetCurrentThreadId();
    std::lock_guard<std::mutex> Lock(m_HoldsLock);
    for (auto& Hold : m_Holds) {
        if (Hold.first == nThread && Hold.second > 0) {
            --Hold.second;
            return true;
        }
    }
    return false;
}

int CSharedDataObjects::TakeHolds() noexcept {
    const DWORD nThread = ::GetCurrentThreadId();
    std::lock_guard<std::mutex> Lock(m_HoldsLock);
    for (auto& Hold : m_Holds) {
        if (Hold.first == nThread) return std::exchange(Hold.second, 0);
    }
    return 0;
}

bool CSharedDataObjects::ReleaseMutex() noexcept {
    if (!IsInitialized()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!RemoveHold()) {
        ::SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    return ::ReleaseMutex(m_hMutex) != FALSE;
}

void CSharedDataObjects::RemoveNames() noexcept {
    // Each name goes only while it still names this object's object; the lock goes last, so that a process
    // that opens the lock meanwhile finds the objects of this run until the lock is gone.
    for (HANDLE hObject : {m_hMapping, m_hChange, m_hMutex})
        if (hObject != nullptr) comrt::RemoveNamedObject(hObject);
}

bool CSharedDataObjects::Terminate() {
    if (!IsInitialized()) return true;
    DWORD nResult = ::WaitForSingleObject(m_hMutex, LOCK_TIMEOUT);
    if (nResult == WAIT_ABANDONED_0) {
        UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::MutexAbandoned, static_cast<int>(WAIT_ABANDONED_0));
        nResult = WAIT_OBJECT_0;
    }
    if (nResult == WAIT_OBJECT_0) {
        AddHold();
    } else {
        UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::TerminationSkipped, m_sBaseName.c_str());
    }
    // Every hold this thread took through this object goes, so that the lock is not left taken by a
    // process that goes on.
    for (int nHolds = TakeHolds(); nHolds > 0; --nHolds) ::ReleaseMutex(m_hMutex);
    // A child process that inherited the object (fork) closes its copies but leaves the names to the
    // process that made them.
    if (m_bCreator && m_nCreatorProcess == ::GetCurrentProcessId()) RemoveNames();

    DWORD nError = 0;
    if (m_pView != nullptr && !::UnmapViewOfFile(m_pView)) nError = ::GetLastError();
    m_pView = nullptr;
    if (m_hMapping != nullptr && !::CloseHandle(m_hMapping) && nError == 0) nError = ::GetLastError();
    m_hMapping = nullptr;
    CloseAll();
    if (nError != 0) ThrowHResult(HRESULT_FROM_WIN32(nError));
    return true;
}

void CSharedDataObjects::CloseAll() noexcept {
    if (m_hMutex != nullptr) {
        for (int nHolds = TakeHolds(); nHolds > 0; --nHolds) ::ReleaseMutex(m_hMutex);
    }
    {
        std::lock_guard<std::mutex> Lock(m_HoldsLock);
        m_Holds.clear();
    }
    if (m_pView != nullptr) ::UnmapViewOfFile(m_pView);
    m_pView = nullptr;
    for (HANDLE* phObject : {&m_hMapping, &m_hChange, &m_hMutex}) {
        if (*phObject != nullptr) ::CloseHandle(*phObject);
        *phObject = nullptr;
    }
    m_bCreator = false;
    m_nCreatorProcess = 0;
    m_sBaseName.clear();
}

bool CSharedDataObjects::SetChangeEvent() noexcept {
    if (m_hChange == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::SetEvent(m_hChange) != FALSE;
}

bool CSharedDataObjects::ResetChangeEvent() noexcept {
    if (m_hChange == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::ResetEvent(m_hChange) != FALSE;
}

DWORD CSharedDataObjects::WaitChangeEvent(DWORD nTimeout) noexcept {
    if (m_hChange == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const DWORD nResult = ::WaitForSingleObject(m_hChange, nTimeout);
    if (nResult == WAIT_FAILED) {
        const DWORD nError = ::GetLastError();
        UL_CATCH_ALL_BEGIN
        UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::WaitFailed, m_sBaseName.c_str(), ErrorText(nError).c_str());
        UL_CATCH_ALL_END
        ::SetLastError(nError);
    }
    return nResult;
}

}  // namespace corvane
