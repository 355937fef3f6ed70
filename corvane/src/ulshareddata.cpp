// The shared data objects on POSIX shared memory: the lock block (a robust process-shared mutex), the data
// object and the change block (a futex word and the creator's identity). See ulshareddata.h for the
// protocol.
//
// One file (about 600 lines): making, taking over and removing the three objects is one protocol under one
// advisory lock, and its steps are read best together.
#include "corvane/ulshareddata.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "comrt/systemerrors.h"
#include "comrt/text.h"

// ThreadSanitizer intercepts neither pthread_mutex_clocklock nor an abandoned lock answered by
// pthread_mutex_timedlock; under it a bounded wait tries the lock every millisecond instead, through
// pthread_mutex_trylock, which it follows in both respects.
#if defined(__SANITIZE_THREAD__)
#define CORVANE_SHARED_DATA_POLLED_WAIT 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVANE_SHARED_DATA_POLLED_WAIT 1
#endif
#endif

namespace corvane {

namespace {

constexpr DWORD ERROR_NOT_OWNER_CODE = 288;

constexpr std::uint32_t LOCK_BLOCK_MAGIC = 0x4C565343;    // "CSVL"
constexpr std::uint32_t CHANGE_BLOCK_MAGIC = 0x45565343;  // "CSVE"

constexpr std::uint64_t NANOSECONDS_PER_MILLISECOND = 1000000;
constexpr std::uint64_t NANOSECONDS_PER_SECOND = 1000000000;

[[noreturn]] void ThrowErrno(int nError, const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                             const char* pszFunctionName = __builtin_FUNCTION()) {
    ThrowHResult(HRESULT_FROM_WIN32(comrt::Win32ErrorFromErrno(nError)), pszSourcePath, nLine, pszFunctionName);
}

std::uint64_t MonotonicNow() noexcept {
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return static_cast<std::uint64_t>(Now.tv_sec) * NANOSECONDS_PER_SECOND + static_cast<std::uint64_t>(Now.tv_nsec);
}

// The deadline nMilliseconds from now; 0 stands for no limit (INFINITE).
std::uint64_t DeadlineAfter(DWORD nMilliseconds) noexcept {
    if (nMilliseconds == INFINITE) return 0;
    return MonotonicNow() + static_cast<std::uint64_t>(nMilliseconds) * NANOSECONDS_PER_MILLISECOND;
}

timespec ToTimespec(std::uint64_t nNanoseconds) noexcept {
    timespec Time{};
    Time.tv_sec = static_cast<time_t>(nNanoseconds / NANOSECONDS_PER_SECOND);
    Time.tv_nsec = static_cast<long>(nNanoseconds % NANOSECONDS_PER_SECOND);
    return Time;
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

// Opens the object, creating it when it does not exist. *pbCreated tells which; -1 with errno on failure.
// An object owned by another user is refused with EACCES: its contents cannot be trusted.
int OpenObject(const std::string& sName, unsigned nMode, bool* pbCreated) noexcept {
    for (int iAttempt = 0; iAttempt < 100; ++iAttempt) {
        int nFd = shm_open(sName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(nMode));
        if (nFd >= 0) {
            // The umask narrowed the mode; the objects get theirs exactly.
            if (fchmod(nFd, static_cast<mode_t>(nMode)) != 0) {
                const int nError = errno;
                close(nFd);
                shm_unlink(sName.c_str());
                errno = nError;
                return -1;
            }
            *pbCreated = true;
            return nFd;
        }
        if (errno != EEXIST) return -1;
        nFd = shm_open(sName.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (nFd < 0) {
            if (errno == ENOENT) continue;  // removed in between: make it
            return -1;
        }
        struct stat Status {};
        if (fstat(nFd, &Status) != 0 || Status.st_uid != geteuid()) {
            close(nFd);
            errno = EACCES;
            return -1;
        }
        *pbCreated = false;
        return nFd;
    }
    errno = EAGAIN;
    return -1;
}

// Takes the advisory lock on nFd before nDeadline (0: no limit). The kernel offers no bounded wait for
// flock, so a taken lock is tried again every few milliseconds; it is held only while objects are made,
// taken over or removed. 0, ETIMEDOUT or another error number.
int LockFileUntil(int nFd, std::uint64_t nDeadline) noexcept {
    for (;;) {
        if (flock(nFd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (nDeadline != 0 && MonotonicNow() >= nDeadline) return ETIMEDOUT;
        timespec Pause{0, 2 * static_cast<long>(NANOSECONDS_PER_MILLISECOND)};
        nanosleep(&Pause, nullptr);
    }
}

void UnlockFile(int nFd) noexcept {
    flock(nFd, LOCK_UN);
}

// Maps nSize bytes of nFd read-write; nullptr with errno on failure.
void* MapObject(int nFd, std::size_t nSize) noexcept {
    void* pView = mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_SHARED, nFd, 0);
    return pView == MAP_FAILED ? nullptr : pView;
}

long Futex(std::atomic<std::uint32_t>* pWord, int nOperation, std::uint32_t nValue, const timespec* pTimeout,
           std::uint32_t nValue3) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(pWord), nOperation, nValue, pTimeout, nullptr, nValue3);
}

// The state (field 3) and start time (field 22) of /proc/<pid>/stat. False when the file cannot be read
// (errno tells why) or does not have that form.
bool ReadProcessStat(DWORD nProcess, char* pcState, std::uint64_t* pnStartTime) noexcept {
    char szPath[64];
    std::snprintf(szPath, sizeof szPath, "/proc/%u/stat", static_cast<unsigned>(nProcess));
    FILE* pFile = std::fopen(szPath, "re");
    if (pFile == nullptr) return false;
    char szLine[1024];
    const std::size_t nLength = std::fread(szLine, 1, sizeof szLine - 1, pFile);
    std::fclose(pFile);
    szLine[nLength] = 0;
    // The command name (field 2) is in parentheses and may hold anything, parentheses included.
    const char* pszRest = std::strrchr(szLine, ')');
    if (pszRest == nullptr) {
        errno = EINVAL;
        return false;
    }
    ++pszRest;
    unsigned long long nStartTime = 0;
    char cState = 0;
    // Fields 3 to 22: state, then 18 numbers to skip, then the start time.
    if (std::sscanf(pszRest, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                    &cState, &nStartTime) != 2) {
        errno = EINVAL;
        return false;
    }
    *pcState = cState;
    *pnStartTime = nStartTime;
    return true;
}

}  // namespace

// The lock object's contents. Made and checked under the advisory lock only.
struct CSharedDataObjects::CLockBlock {
    std::uint32_t nMagic;
    std::uint32_t nBlockSize;
    pthread_mutex_t Mutex;
};

// The change signal's contents: the event's futex word and the identity of the process that made the
// objects. Only the owner's user may write it.
struct CSharedDataObjects::CChangeBlock {
    std::uint32_t nMagic;
    std::uint32_t nBlockSize;
    std::atomic<std::uint32_t> nSignalled;
    std::uint32_t nCreatorProcess;
    std::uint64_t nCreatorStartTime;
};

CSharedDataObjects::~CSharedDataObjects() {
    CloseAll();
}

std::string CSharedDataObjects::GetObjectName(const std::string& sBaseName, const char* pszSuffix) {
    return "/" + sBaseName + pszSuffix + "." + std::to_string(static_cast<unsigned long>(geteuid()));
}

std::uint64_t CSharedDataObjects::GetProcessStartTime(DWORD nProcess) noexcept {
    char cState = 0;
    std::uint64_t nStartTime = 0;
    return ReadProcessStat(nProcess, &cState, &nStartTime) ? nStartTime : 0;
}

bool CSharedDataObjects::ProcessRuns(DWORD nProcess, std::uint64_t nStartTime) noexcept {
    if (nProcess == 0 || nProcess > static_cast<DWORD>(INT_MAX)) return false;
    char cState = 0;
    std::uint64_t nRunningStartTime = 0;
    if (!ReadProcessStat(nProcess, &cState, &nRunningStartTime)) {
        if (errno == ENOENT || errno == ESRCH) return false;
        // Without a readable /proc, a signal test is the best there is (EPERM: it runs as another user).
        return kill(static_cast<pid_t>(nProcess), 0) == 0 || errno == EPERM;
    }
    if (cState == 'Z' || cState == 'X' || cState == 'x') return false;
    // Another process that got the same identifier later started later.
    return nStartTime == 0 || nRunningStartTime == nStartTime;
}

int CSharedDataObjects::LockUntil(std::uint64_t nDeadline) noexcept {
    pthread_mutex_t* pMutex = &GetLockBlock()->Mutex;
    int nResult;
    if (nDeadline == 0) {
        nResult = pthread_mutex_lock(pMutex);
    } else {
#if defined(CORVANE_SHARED_DATA_POLLED_WAIT)
        for (;;) {
            nResult = pthread_mutex_trylock(pMutex);
            if (nResult != EBUSY) break;
            if (MonotonicNow() >= nDeadline) {
                nResult = ETIMEDOUT;
                break;
            }
            timespec Pause{0, static_cast<long>(NANOSECONDS_PER_MILLISECOND)};
            nanosleep(&Pause, nullptr);
        }
#else
        const timespec Until = ToTimespec(nDeadline);
        nResult = pthread_mutex_clocklock(pMutex, CLOCK_MONOTONIC, &Until);
#endif
    }
    if (nResult == EOWNERDEAD) {
        // The holder ended holding it: the lock is ours, and usable again once marked consistent.
        const int nConsistent = pthread_mutex_consistent(pMutex);
        if (nConsistent != 0) {
            pthread_mutex_unlock(pMutex);
            return nConsistent;
        }
    }
    return nResult;
}

void CSharedDataObjects::Initialize(const char16_t* pszName, std::size_t nRecordSize, bool* pbExisted) {
    CheckPointer(pszName);
    UL_ASSERT(*pszName != 0);
    CheckArgument(*pszName != 0);
    CheckArgument(nRecordSize >= 3 * sizeof(std::uint32_t) && nRecordSize <= MAPPING_SIZE);
    if (IsInitialized()) ThrowHResult(E_UNEXPECTED);
    std::string sBaseName = comrt::ToUtf8(pszName);
    CheckArgument(sBaseName.find('/') == std::string::npos);

    const std::string sLockName = GetObjectName(sBaseName, LOCK_SUFFIX);
    const std::string sMappingName = GetObjectName(sBaseName, MAPPING_SUFFIX);
    const std::string sChangeName = GetObjectName(sBaseName, CHANGE_SUFFIX);
    const std::uint64_t nDeadline = DeadlineAfter(LOCK_TIMEOUT);
    bool bFileLocked = false;

    try {
        // The lock object, under its advisory lock; names removed meanwhile by an ending owner are made anew.
        bool bLockCreated = false;
        for (;;) {
            m_nLockFd = OpenObject(sLockName, LOCK_MODE, &bLockCreated);
            if (m_nLockFd < 0) ThrowErrno(errno);
            const int nLocked = LockFileUntil(m_nLockFd, nDeadline);
            if (nLocked == ETIMEDOUT) ThrowHResult(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
            if (nLocked != 0) ThrowErrno(nLocked);
            bFileLocked = true;
            struct stat Status {};
            if (fstat(m_nLockFd, &Status) != 0) ThrowErrno(errno);
            if (Status.st_nlink > 0) break;
            bFileLocked = false;
            close(m_nLockFd);
            m_nLockFd = -1;
        }

        struct stat LockStatus {};
        if (fstat(m_nLockFd, &LockStatus) != 0) ThrowErrno(errno);
        const bool bLockSized = LockStatus.st_size == static_cast<off_t>(sizeof(CLockBlock));
        if (!bLockSized && ftruncate(m_nLockFd, sizeof(CLockBlock)) != 0) ThrowErrno(errno);
        m_pLockView = MapObject(m_nLockFd, sizeof(CLockBlock));
        if (m_pLockView == nullptr) ThrowErrno(errno);
        CLockBlock* pLock = GetLockBlock();
        bool bLockExisted = bLockSized && pLock->nMagic == LOCK_BLOCK_MAGIC && pLock->nBlockSize == sizeof(CLockBlock);

        auto MakeMutex = [&] {
            pthread_mutexattr_t Attributes;
            pthread_mutexattr_init(&Attributes);
            pthread_mutexattr_setpshared(&Attributes, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&Attributes, PTHREAD_MUTEX_ROBUST);
            pthread_mutexattr_settype(&Attributes, PTHREAD_MUTEX_RECURSIVE);
            const int nResult = pthread_mutex_init(&pLock->Mutex, &Attributes);
            pthread_mutexattr_destroy(&Attributes);
            if (nResult != 0) ThrowErrno(nResult);
            pLock->nBlockSize = sizeof(CLockBlock);
            pLock->nMagic = LOCK_BLOCK_MAGIC;
            const int nLocked = LockUntil(0);
            if (nLocked != 0) ThrowErrno(nLocked);
        };

        if (!bLockExisted) {
            MakeMutex();
        } else {
            const int nLocked = LockUntil(nDeadline);
            if (nLocked == ETIMEDOUT) ThrowHResult(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
            if (nLocked == EOWNERDEAD) {
                UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::MutexAbandoned, static_cast<int>(WAIT_ABANDONED_0));
            } else if (nLocked == ENOTRECOVERABLE) {
                // Nobody can take this lock any more; while the advisory lock is held nobody else may make
                // it, so it is made again.
                MakeMutex();
                bLockExisted = false;
            } else if (nLocked != 0) {
                ThrowErrno(nLocked);
            }
        }
        AddHold();

        bool bMappingCreated = false;
        m_nMappingFd = OpenObject(sMappingName, MAPPING_MODE, &bMappingCreated);
        if (m_nMappingFd < 0) ThrowErrno(errno);
        struct stat MappingStatus {};
        if (fstat(m_nMappingFd, &MappingStatus) != 0) ThrowErrno(errno);
        const bool bMappingExisted = MappingStatus.st_size == static_cast<off_t>(MAPPING_SIZE);
        if (!bMappingExisted && ftruncate(m_nMappingFd, MAPPING_SIZE) != 0) ThrowErrno(errno);
        m_pView = MapObject(m_nMappingFd, MAPPING_SIZE);
        if (m_pView == nullptr) ThrowErrno(errno);

        bool bChangeCreated = false;
        m_nChangeFd = OpenObject(sChangeName, CHANGE_MODE, &bChangeCreated);
        if (m_nChangeFd < 0) ThrowErrno(errno);
        struct stat ChangeStatus {};
        if (fstat(m_nChangeFd, &ChangeStatus) != 0) ThrowErrno(errno);
        const bool bChangeSized = ChangeStatus.st_size == static_cast<off_t>(sizeof(CChangeBlock));
        if (!bChangeSized && ftruncate(m_nChangeFd, sizeof(CChangeBlock)) != 0) ThrowErrno(errno);
        m_pChangeView = MapObject(m_nChangeFd, sizeof(CChangeBlock));
        if (m_pChangeView == nullptr) ThrowErrno(errno);
        CChangeBlock* pChange = GetChangeBlock();
        const bool bChangeExisted =
            bChangeSized && pChange->nMagic == CHANGE_BLOCK_MAGIC && pChange->nBlockSize == sizeof(CChangeBlock);

        // The objects belong to a running instance only when all three are complete and their creator runs.
        const DWORD nRecordProcess = ReadLittleEndian32(m_pView, 8);
        const bool bLive = bLockExisted && bMappingExisted && bChangeExisted &&
                           pChange->nCreatorProcess == nRecordProcess &&
                           ProcessRuns(nRecordProcess, pChange->nCreatorStartTime);
        if (bLive) {
            UL_ASSERT(bLockExisted == bMappingExisted);
        } else {
            if (!bLockCreated || !bMappingCreated || !bChangeCreated)
                UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::TakenOver, sBaseName.c_str(),
                         static_cast<unsigned>(nRecordProcess));
            // Objects left by another run may carry other modes.
            // Objects left by another run may carry other modes: with the wrong ones, other users' clients
            // could not read the record (or could change it), so a mode that cannot be set fails the start.
            const struct {
                bool bCreated;
                int nFd;
                unsigned nMode;
                const char* pszSuffix;
            } Objects[] = {{bLockCreated, m_nLockFd, LOCK_MODE, LOCK_SUFFIX},
                           {bMappingCreated, m_nMappingFd, MAPPING_MODE, MAPPING_SUFFIX},
                           {bChangeCreated, m_nChangeFd, CHANGE_MODE, CHANGE_SUFFIX}};
            for (const auto& Object : Objects) {
                if (Object.bCreated || fchmod(Object.nFd, static_cast<mode_t>(Object.nMode)) == 0) continue;
                const int nError = errno;
                UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::ModeNotSet, sBaseName.c_str(), Object.pszSuffix,
                         Object.nMode, std::strerror(nError));
                ThrowErrno(nError);
            }
            const DWORD nProcess = static_cast<DWORD>(getpid());
            std::memset(m_pView, 0, MAPPING_SIZE);
            WriteLittleEndian32(m_pView, 0, static_cast<std::uint32_t>(nRecordSize));
            WriteLittleEndian32(m_pView, 4, static_cast<std::uint32_t>(MAPPING_SIZE));
            WriteLittleEndian32(m_pView, 8, nProcess);
            pChange->nBlockSize = sizeof(CChangeBlock);
            pChange->nSignalled.store(0, std::memory_order_release);
            pChange->nCreatorProcess = nProcess;
            pChange->nCreatorStartTime = GetProcessStartTime(nProcess);
            pChange->nMagic = CHANGE_BLOCK_MAGIC;
            m_bCreator = true;
            m_nCreatorProcess = nProcess;
        }

        UnlockFile(m_nLockFd);
        bFileLocked = false;
        m_sBaseName = std::move(sBaseName);
        if (pbExisted != nullptr) *pbExisted = bLive;
    } catch (...) {
        if (bFileLocked) UnlockFile(m_nLockFd);
        CloseAll();
        throw;
    }
}

bool CSharedDataObjects::WaitMutex(DWORD nTimeout) {
    if (!IsInitialized()) ThrowHResult(E_HANDLE);
    const int nResult = LockUntil(DeadlineAfter(nTimeout));
    switch (nResult) {
        case 0:
            AddHold();
            return true;
        case EOWNERDEAD:
            UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::MutexAbandoned, static_cast<int>(WAIT_ABANDONED_0));
            AddHold();
            return true;
        case ETIMEDOUT:
            UL_ASSERT(nTimeout != INFINITE);
            ::SetLastError(ERROR_TIMEOUT);
            return false;
        default:
            ThrowErrno(nResult);
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
        ::SetLastError(ERROR_NOT_OWNER_CODE);
        return false;
    }
    const int nResult = pthread_mutex_unlock(&GetLockBlock()->Mutex);
    if (nResult != 0) {
        ::SetLastError(nResult == EPERM ? ERROR_NOT_OWNER_CODE : comrt::Win32ErrorFromErrno(nResult));
        return false;
    }
    return true;
}

void CSharedDataObjects::RemoveNames() noexcept {
    if (LockFileUntil(m_nLockFd, DeadlineAfter(LOCK_TIMEOUT)) != 0) return;
    // The names are removed only while they still name this object's objects; the lock goes last, so that
    // a process waiting for its advisory lock finds it removed and starts afresh.
    const struct {
        const char* pszSuffix;
        int nFd;
    } Objects[] = {{MAPPING_SUFFIX, m_nMappingFd}, {CHANGE_SUFFIX, m_nChangeFd}, {LOCK_SUFFIX, m_nLockFd}};
    for (const auto& Object : Objects) {
        const std::string sName = GetObjectName(m_sBaseName, Object.pszSuffix);
        struct stat Ours {};
        if (fstat(Object.nFd, &Ours) != 0) continue;
        const int nFd = shm_open(sName.c_str(), O_RDONLY | O_CLOEXEC, 0);
        if (nFd < 0) continue;
        struct stat Named {};
        if (fstat(nFd, &Named) == 0 && Named.st_dev == Ours.st_dev && Named.st_ino == Ours.st_ino)
            shm_unlink(sName.c_str());
        close(nFd);
    }
    UnlockFile(m_nLockFd);
}

bool CSharedDataObjects::Terminate() {
    if (!IsInitialized()) return true;
    int nResult = LockUntil(DeadlineAfter(LOCK_TIMEOUT));
    if (nResult == EOWNERDEAD) {
        UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::MutexAbandoned, static_cast<int>(WAIT_ABANDONED_0));
        nResult = 0;
    }
    if (nResult == 0) {
        AddHold();
    } else {
        UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::TerminationSkipped, m_sBaseName.c_str());
    }
    // Every hold this thread took through this object goes, so that the lock is not left taken by a
    // process that goes on.
    for (int nHolds = TakeHolds(); nHolds > 0; --nHolds) pthread_mutex_unlock(&GetLockBlock()->Mutex);
    // A child process that inherited the object (fork) closes its copies but leaves the names to the
    // process that made them.
    if (m_bCreator && m_nCreatorProcess == static_cast<DWORD>(getpid())) RemoveNames();

    int nError = 0;
    if (m_pView != nullptr && munmap(m_pView, MAPPING_SIZE) != 0) nError = errno;
    m_pView = nullptr;
    if (m_nMappingFd >= 0 && close(m_nMappingFd) != 0 && nError == 0) nError = errno;
    m_nMappingFd = -1;
    CloseAll();
    if (nError != 0) ThrowErrno(nError);
    return true;
}

void CSharedDataObjects::CloseAll() noexcept {
    if (m_pLockView != nullptr) {
        for (int nHolds = TakeHolds(); nHolds > 0; --nHolds) pthread_mutex_unlock(&GetLockBlock()->Mutex);
    }
    {
        std::lock_guard<std::mutex> Lock(m_HoldsLock);
        m_Holds.clear();
    }
    if (m_pView != nullptr) munmap(m_pView, MAPPING_SIZE);
    if (m_pChangeView != nullptr) munmap(m_pChangeView, sizeof(CChangeBlock));
    if (m_pLockView != nullptr) munmap(m_pLockView, sizeof(CLockBlock));
    m_pView = m_pChangeView = m_pLockView = nullptr;
    for (int* pnFd : {&m_nMappingFd, &m_nChangeFd, &m_nLockFd}) {
        if (*pnFd >= 0) close(*pnFd);
        *pnFd = -1;
    }
    m_bCreator = false;
    m_nCreatorProcess = 0;
    m_sBaseName.clear();
}

bool CSharedDataObjects::SetChangeEvent() noexcept {
    if (m_pChangeView == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    CChangeBlock* pChange = GetChangeBlock();
    pChange->nSignalled.store(1, std::memory_order_release);
    Futex(&pChange->nSignalled, FUTEX_WAKE, INT_MAX, nullptr, 0);
    return true;
}

bool CSharedDataObjects::ResetChangeEvent() noexcept {
    if (m_pChangeView == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    GetChangeBlock()->nSignalled.store(0, std::memory_order_release);
    return true;
}

DWORD CSharedDataObjects::WaitChangeEvent(DWORD nTimeout) noexcept {
    if (m_pChangeView == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    CChangeBlock* pChange = GetChangeBlock();
    const std::uint64_t nDeadline = DeadlineAfter(nTimeout);
    const timespec Until = ToTimespec(nDeadline);
    for (;;) {
        if (pChange->nSignalled.load(std::memory_order_acquire) != 0) return WAIT_OBJECT_0;
        if (nDeadline != 0 && MonotonicNow() >= nDeadline) return WAIT_TIMEOUT;
        // FUTEX_WAIT_BITSET takes an absolute time on the monotonic clock; the word is shared between
        // processes, so the operation is not the private one.
        if (Futex(&pChange->nSignalled, FUTEX_WAIT_BITSET, 0, nDeadline != 0 ? &Until : nullptr,
                  FUTEX_BITSET_MATCH_ANY) == 0)
            continue;
        // Woken, signalled meanwhile, interrupted or timed out: the loop looks again. Anything else would
        // fail the same way at once, and looping on it would spin.
        const int nError = errno;
        if (nError == EAGAIN || nError == EINTR || nError == ETIMEDOUT) continue;
        UL_TRACE(TRACE_LEVEL_ERROR, SharedDataText::WaitFailed, m_sBaseName.c_str(), std::strerror(nError));
        ::SetLastError(comrt::Win32ErrorFromErrno(nError));
        return WAIT_FAILED;
    }
}

}  // namespace corvane
