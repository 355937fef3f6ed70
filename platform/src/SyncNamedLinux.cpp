// Named kernel objects over POSIX shared memory: a mutex is a robust, process-shared, recursive pthread
// mutex in a small shared block, an event a futex word in one, a file mapping the shared memory object
// itself. The blocks of mutexes and events begin with a header that tells their kind and the process that
// made them. Making, checking, repairing and removing an object happen under an advisory lock (flock) on its
// file, which the kernel drops with its holder.
//
// One file (about 800 lines): the three kinds share that one protocol of opening, making, repairing and
// removing named objects, and its steps and their uses read best together.
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <utility>

#include "SyncObjects.h"
#include "comrt/psapi.h"
#include "comrt/text.h"

// ThreadSanitizer intercepts neither pthread_mutex_clocklock nor an abandoned lock answered by
// pthread_mutex_timedlock; under it a bounded wait for a mutex tries it every millisecond instead, through
// pthread_mutex_trylock, which it follows in both respects.
#if defined(__SANITIZE_THREAD__)
#define COMRT_NAMED_MUTEX_POLLED_WAIT 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define COMRT_NAMED_MUTEX_POLLED_WAIT 1
#endif
#endif

using namespace comrt::internal;

namespace {

constexpr std::uint32_t MUTEX_MAGIC = 0x584D4E43;  // "CNMX"
constexpr std::uint32_t EVENT_MAGIC = 0x56454E43;  // "CNEV"
constexpr DWORD ADVISORY_LOCK_TIMEOUT = 2000;
constexpr std::uint64_t NANOSECONDS_PER_MILLISECOND = 1000000;
constexpr std::uint64_t NANOSECONDS_PER_SECOND = 1000000000;
// The longest name of a system object (NAME_MAX).
constexpr std::size_t MAX_PATH_BYTES = 255;

std::uint64_t MonotonicNow() noexcept {
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return static_cast<std::uint64_t>(Now.tv_sec) * NANOSECONDS_PER_SECOND + static_cast<std::uint64_t>(Now.tv_nsec);
}

// The deadline dwMilliseconds from now; 0 stands for no limit (INFINITE).
std::uint64_t DeadlineAfter(DWORD dwMilliseconds) noexcept {
    if (dwMilliseconds == INFINITE) return 0;
    return MonotonicNow() + static_cast<std::uint64_t>(dwMilliseconds) * NANOSECONDS_PER_MILLISECOND;
}

timespec ToTimespec(std::uint64_t nNanoseconds) noexcept {
    timespec Time{};
    Time.tv_sec = static_cast<time_t>(nNanoseconds / NANOSECONDS_PER_SECOND);
    Time.tv_nsec = static_cast<long>(nNanoseconds % NANOSECONDS_PER_SECOND);
    return Time;
}

void PauseMilliseconds(long nMilliseconds) noexcept {
    timespec Pause{0, nMilliseconds * static_cast<long>(NANOSECONDS_PER_MILLISECOND)};
    nanosleep(&Pause, nullptr);
}

DWORD Win32Error(int nErrno) noexcept {
    return comrt::Win32ErrorFromErrno(nErrno);
}

template <class T>
T Fail(DWORD dwError, T Result) noexcept {
    SetLastError(dwError);
    return Result;
}

// The header of a mutex's or an event's block.
struct CBlockHeader {
    std::uint32_t nMagic;
    std::uint32_t nBlockSize;
    std::uint32_t nCreatorProcess;
    std::uint32_t nReserved;
    std::uint64_t nCreatorStartTime;
};

struct CMutexBlock {
    CBlockHeader Header;
    pthread_mutex_t Mutex;
};

struct CEventBlock {
    CBlockHeader Header;
    std::atomic<std::uint32_t> nSignalled;
    std::uint32_t bManualReset;
};

bool HeaderValid(const CBlockHeader& Header, std::uint32_t nMagic, std::size_t cbBlock) noexcept {
    return Header.nMagic == nMagic && Header.nBlockSize == cbBlock;
}

// Writes the header last, so that a block whose making was cut short does not pass for made. Blocks are made
// and checked under their file's advisory lock only, which orders the writes before any check.
void WriteHeader(CBlockHeader* pHeader, std::uint32_t nMagic, std::size_t cbBlock) noexcept {
    const DWORD nProcess = GetCurrentProcessId();
    pHeader->nBlockSize = static_cast<std::uint32_t>(cbBlock);
    pHeader->nCreatorProcess = nProcess;
    pHeader->nReserved = 0;
    pHeader->nCreatorStartTime = comrt::GetProcessStartTime(nProcess);
    pHeader->nMagic = nMagic;
}

// The system's name for lpName, checked; 0 or the error.
DWORD PathOf(LPCWSTR lpName, std::string* psPath) noexcept {
    if (lpName == nullptr) return ERROR_INVALID_PARAMETER;
    const std::u16string_view sName(lpName);
    if (sName.empty() || sName.find(u'/') != std::u16string_view::npos) return ERROR_INVALID_NAME;
    try {
        if (comrt::ToUtf8(sName).size() > MAX_OBJECT_NAME) return ERROR_INVALID_PARAMETER;
        *psPath = comrt::GetNamedObjectPath(sName);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return psPath->size() > MAX_PATH_BYTES ? ERROR_INVALID_PARAMETER : 0;
}

// Takes the advisory lock on nFd before nDeadline (0: no limit). The kernel offers no bounded wait for
// flock, so a taken lock is tried again every few milliseconds; it is held only while an object is made,
// checked or removed. 0, ETIMEDOUT or another error number.
int LockFileUntil(int nFd, std::uint64_t nDeadline) noexcept {
    for (;;) {
        if (flock(nFd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (nDeadline != 0 && MonotonicNow() >= nDeadline) return ETIMEDOUT;
        PauseMilliseconds(2);
    }
}

void UnlockFile(int nFd) noexcept {
    flock(nFd, LOCK_UN);
}

DWORD LockFileFor(int nFd) noexcept {
    const int nLocked = LockFileUntil(nFd, DeadlineAfter(ADVISORY_LOCK_TIMEOUT));
    if (nLocked == 0) return 0;
    return nLocked == ETIMEDOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : Win32Error(nLocked);
}

// Opens the object file at sPath (bCreate: makes it, mode 0600, when there is none) and takes its advisory
// lock. 0 with the descriptor, or the error. A file another user owns is refused; one removed between the
// opening and the lock is opened (or made) again.
DWORD OpenLockedFile(const std::string& sPath, bool bCreate, int* pnFd, bool* pbCreated) noexcept {
    for (int iAttempt = 0; iAttempt < 100; ++iAttempt) {
        int nFd = -1;
        bool bCreated = false;
        if (bCreate) {
            nFd = shm_open(sPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (nFd >= 0) {
                // The umask may have narrowed the mode; the object gets its own exactly.
                if (fchmod(nFd, 0600) != 0) {
                    const int nError = errno;
                    close(nFd);
                    shm_unlink(sPath.c_str());
                    return Win32Error(nError);
                }
                bCreated = true;
            } else if (errno != EEXIST) {
                return Win32Error(errno);
            }
        }
        if (nFd < 0) {
            nFd = shm_open(sPath.c_str(), O_RDWR | O_CLOEXEC, 0);
            if (nFd < 0) {
                if (errno == ENOENT) {
                    if (bCreate) continue;  // removed in between: make it
                    return ERROR_FILE_NOT_FOUND;
                }
                return Win32Error(errno);
            }
            struct stat Status {};
            if (fstat(nFd, &Status) != 0 || Status.st_uid != geteuid()) {
                close(nFd);
                return ERROR_ACCESS_DENIED;
            }
        }
        const DWORD dwLocked = LockFileFor(nFd);
        if (dwLocked != 0) {
            close(nFd);
            return dwLocked;
        }
        struct stat Status {};
        if (fstat(nFd, &Status) != 0) {
            const int nError = errno;
            close(nFd);
            return Win32Error(nError);
        }
        if (Status.st_nlink == 0) {
            // Its name was removed while this process waited for the lock: the name is free again.
            close(nFd);
            if (!bCreate) return ERROR_FILE_NOT_FOUND;
            continue;
        }
        *pnFd = nFd;
        *pbCreated = bCreated;
        return 0;
    }
    return Win32Error(EAGAIN);
}

// The size of the file; -1 with errno on failure.
long long FileSize(int nFd) noexcept {
    struct stat Status {};
    if (fstat(nFd, &Status) != 0) return -1;
    return static_cast<long long>(Status.st_size);
}

// Maps cb bytes of nFd (-1: memory of this process and its children) read-write; nullptr with errno.
void* MapBlock(int nFd, std::size_t cb) noexcept {
    void* pView = mmap(nullptr, cb, PROT_READ | PROT_WRITE, nFd < 0 ? MAP_SHARED | MAP_ANONYMOUS : MAP_SHARED, nFd, 0);
    return pView == MAP_FAILED ? nullptr : pView;
}

long Futex(std::atomic<std::uint32_t>* pWord, int nOperation, std::uint32_t nValue, const timespec* pTimeout,
           std::uint32_t nValue3) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(pWord), nOperation, nValue, pTimeout, nullptr, nValue3);
}

// The file of a named object: its descriptor and name. The part every named object has.
class CNamedFile {
public:
    CNamedFile(int nFd, std::string sPath) noexcept : m_nFd(nFd), m_sPath(std::move(sPath)) {}
    CNamedFile(const CNamedFile&) = delete;
    CNamedFile& operator=(const CNamedFile&) = delete;
    virtual ~CNamedFile() {
        if (m_nFd >= 0) close(m_nFd);
    }

    int GetFd() const noexcept { return m_nFd; }
    bool IsNamed() const noexcept { return !m_sPath.empty(); }

    BOOL RemoveName() const noexcept {
        if (!IsNamed()) return Fail(ERROR_INVALID_HANDLE, FALSE);
        const DWORD dwLocked = LockFileFor(m_nFd);
        if (dwLocked != 0) return Fail(dwLocked, FALSE);
        BOOL bRemoved = FALSE;
        DWORD dwError = ERROR_FILE_NOT_FOUND;
        struct stat Ours {};
        if (fstat(m_nFd, &Ours) == 0) {
            const int nFd = shm_open(m_sPath.c_str(), O_RDONLY | O_CLOEXEC, 0);
            if (nFd >= 0) {
                struct stat Named {};
                if (fstat(nFd, &Named) == 0 && Named.st_dev == Ours.st_dev && Named.st_ino == Ours.st_ino) {
                    if (shm_unlink(m_sPath.c_str()) == 0)
                        bRemoved = TRUE;
                    else
                        dwError = Win32Error(errno);
                }
                close(nFd);
            }
        } else {
            dwError = Win32Error(errno);
        }
        UnlockFile(m_nFd);
        return bRemoved ? TRUE : Fail(dwError, FALSE);
    }

    BOOL SetMode(unsigned nMode) const noexcept {
        if (!IsNamed()) return Fail(ERROR_INVALID_HANDLE, FALSE);
        if (fchmod(m_nFd, static_cast<mode_t>(nMode & 07777)) != 0) return Fail(Win32Error(errno), FALSE);
        return TRUE;
    }

    // The header of the block, for the kinds that have one.
    virtual const CBlockHeader* GetHeader() const noexcept { return nullptr; }

private:
    const int m_nFd;
    const std::string m_sPath;
};

// Which mutex a hold is of: the file's device and inode, or the block's address for a mutex of this
// process alone, so that two handles of one named mutex count together.
using MutexKey = std::pair<std::uint64_t, std::uint64_t>;

// The holds of named mutexes the calling thread has taken and not released. A release without one is
// refused before it reaches the mutex (unlocking a mutex the thread does not hold is an error the
// sanitizers rightly report); a thread that ends takes its holds with it, as its mutexes are abandoned.
thread_local std::map<MutexKey, int> t_Holds;

MutexKey KeyOf(int nFd, const void* pBlock) noexcept {
    struct stat Status {};
    if (nFd >= 0 && fstat(nFd, &Status) == 0)
        return {static_cast<std::uint64_t>(Status.st_dev), static_cast<std::uint64_t>(Status.st_ino)};
    return {0, reinterpret_cast<std::uintptr_t>(pBlock)};
}

class CMutexObject final : public CWaitableObject, public CNamedFile {
public:
    CMutexObject(int nFd, std::string sPath, CMutexBlock* pBlock) noexcept
        : CNamedFile(nFd, std::move(sPath)), m_pBlock(pBlock), m_Key(KeyOf(nFd, pBlock)) {}
    ~CMutexObject() override { munmap(m_pBlock, sizeof(CMutexBlock)); }

    // Makes the mutex in pBlock (its file's advisory lock held, when it has a file). 0 or an error number.
    static int Make(CMutexBlock* pBlock) noexcept {
        pthread_mutexattr_t Attributes;
        pthread_mutexattr_init(&Attributes);
        pthread_mutexattr_setpshared(&Attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&Attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&Attributes, PTHREAD_MUTEX_RECURSIVE);
        const int nResult = pthread_mutex_init(&pBlock->Mutex, &Attributes);
        pthread_mutexattr_destroy(&Attributes);
        if (nResult == 0) WriteHeader(&pBlock->Header, MUTEX_MAGIC, sizeof(CMutexBlock));
        return nResult;
    }

    pollfd GetPollDescriptor() const noexcept override { return {-1, 0, 0}; }
    bool IsPolled() const noexcept override { return true; }
    bool IsSignaledLocked() noexcept override {
        m_bAbandoned = false;
        if (Settle(pthread_mutex_trylock(&m_pBlock->Mutex), &m_bAbandoned) != 0) return false;
        if (AddHold()) return true;
        pthread_mutex_unlock(&m_pBlock->Mutex);
        return false;
    }
    bool TakeAbandonedLocked() noexcept override { return std::exchange(m_bAbandoned, false); }

    bool WaitAlone(DWORD dwMilliseconds, DWORD* pdwResult) noexcept override {
        const std::uint64_t nDeadline = DeadlineAfter(dwMilliseconds);
        bool bAbandoned = false;
        int nResult;
        do nResult = Settle(LockUntil(dwMilliseconds, nDeadline), &bAbandoned);
        // EBUSY after a remade mutex: another thread remade it first and holds it; the wait goes on.
        while (nResult == EBUSY && dwMilliseconds != 0 && (nDeadline == 0 || MonotonicNow() < nDeadline));
        if (nResult == 0 && !AddHold()) {
            pthread_mutex_unlock(&m_pBlock->Mutex);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            *pdwResult = WAIT_FAILED;
        } else if (nResult == 0) {
            *pdwResult = bAbandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
        } else if (nResult == ETIMEDOUT || nResult == EBUSY) {
            *pdwResult = WAIT_TIMEOUT;
        } else {
            SetLastError(Win32Error(nResult));
            *pdwResult = WAIT_FAILED;
        }
        return true;
    }

    BOOL Release() noexcept {
        const auto it = t_Holds.find(m_Key);
        if (it == t_Holds.end()) return Fail(ERROR_NOT_OWNER, FALSE);
        const int nResult = pthread_mutex_unlock(&m_pBlock->Mutex);
        if (nResult != 0)
            return Fail(nResult == EPERM ? static_cast<DWORD>(ERROR_NOT_OWNER) : Win32Error(nResult), FALSE);
        if (--it->second == 0) t_Holds.erase(it);
        return TRUE;
    }

    // Counts a hold the calling thread has just taken; false when there is no memory for it.
    bool AddHold() noexcept {
        try {
            ++t_Holds[m_Key];
            return true;
        } catch (...) {
            return false;
        }
    }

    const CBlockHeader* GetHeader() const noexcept override { return &m_pBlock->Header; }

private:
    // Locks until nDeadline (0: no limit); dwMilliseconds 0 only tries. 0, EOWNERDEAD, ETIMEDOUT, EBUSY or
    // another error number.
    int LockUntil(DWORD dwMilliseconds, std::uint64_t nDeadline) noexcept {
        pthread_mutex_t* pMutex = &m_pBlock->Mutex;
        if (dwMilliseconds == 0) return pthread_mutex_trylock(pMutex);
        if (nDeadline == 0) return pthread_mutex_lock(pMutex);
#if defined(COMRT_NAMED_MUTEX_POLLED_WAIT)
        for (;;) {
            const int nResult = pthread_mutex_trylock(pMutex);
            if (nResult != EBUSY) return nResult;
            if (MonotonicNow() >= nDeadline) return ETIMEDOUT;
            PauseMilliseconds(1);
        }
#else
        const timespec Until = ToTimespec(nDeadline);
        return pthread_mutex_clocklock(pMutex, CLOCK_MONOTONIC, &Until);
#endif
    }

    // The result of an attempt to lock, made final: an abandoned mutex (the holder ended holding it) is this
    // thread's now and is marked consistent, so that it is usable again (*pbAbandoned is set); one that is
    // not recoverable any more (a process ended between finding it abandoned and marking it consistent)
    // cannot be taken by anybody, so it is made again under the advisory lock and taken, and counts as
    // abandoned too. 0 when the mutex is held, otherwise an error number (EBUSY: held by another thread).
    int Settle(int nResult, bool* pbAbandoned) noexcept {
        if (nResult == ENOTRECOVERABLE) {
            if (GetFd() >= 0 && LockFileFor(GetFd()) != 0) return ENOTRECOVERABLE;
            nResult = pthread_mutex_trylock(&m_pBlock->Mutex);
            if (nResult == ENOTRECOVERABLE) {
                nResult = Make(m_pBlock);
                if (nResult == 0) nResult = pthread_mutex_trylock(&m_pBlock->Mutex);
                if (nResult == 0) *pbAbandoned = true;
            }
            if (GetFd() >= 0) UnlockFile(GetFd());
        }
        if (nResult == EOWNERDEAD) {
            *pbAbandoned = true;
            nResult = pthread_mutex_consistent(&m_pBlock->Mutex);
            if (nResult != 0) pthread_mutex_unlock(&m_pBlock->Mutex);
        }
        return nResult;
    }

    CMutexBlock* const m_pBlock;
    const MutexKey m_Key;
    bool m_bAbandoned = false;
};

class CNamedEventObject final : public CWaitableObject, public CNamedFile {
public:
    CNamedEventObject(int nFd, std::string sPath, CEventBlock* pBlock) noexcept
        : CNamedFile(nFd, std::move(sPath)), m_pBlock(pBlock) {}
    ~CNamedEventObject() override { munmap(m_pBlock, sizeof(CEventBlock)); }

    static void Make(CEventBlock* pBlock, bool bManualReset, bool bInitialState) noexcept {
        pBlock->bManualReset = bManualReset ? 1 : 0;
        pBlock->nSignalled.store(bInitialState ? 1 : 0, std::memory_order_release);
        WriteHeader(&pBlock->Header, EVENT_MAGIC, sizeof(CEventBlock));
    }

    pollfd GetPollDescriptor() const noexcept override { return {-1, 0, 0}; }
    bool IsPolled() const noexcept override { return true; }
    bool IsSignaledLocked() noexcept override { return TryTake(); }

    bool WaitAlone(DWORD dwMilliseconds, DWORD* pdwResult) noexcept override {
        const std::uint64_t nDeadline = DeadlineAfter(dwMilliseconds);
        const timespec Until = ToTimespec(nDeadline);
        for (;;) {
            if (TryTake()) {
                *pdwResult = WAIT_OBJECT_0;
                return true;
            }
            if (dwMilliseconds == 0 || (nDeadline != 0 && MonotonicNow() >= nDeadline)) {
                *pdwResult = WAIT_TIMEOUT;
                return true;
            }
            // FUTEX_WAIT_BITSET takes an absolute time on the monotonic clock; the word is shared between
            // processes, so the operation is not the private one.
            if (Futex(&m_pBlock->nSignalled, FUTEX_WAIT_BITSET, 0, nDeadline != 0 ? &Until : nullptr,
                      FUTEX_BITSET_MATCH_ANY) == 0)
                continue;
            // Woken, signalled meanwhile, interrupted or timed out: the loop looks again. Anything else would
            // fail the same way at once, and looping on it would spin.
            const int nError = errno;
            if (nError == EAGAIN || nError == EINTR || nError == ETIMEDOUT) continue;
            SetLastError(Win32Error(nError));
            *pdwResult = WAIT_FAILED;
            return true;
        }
    }

    void Set() noexcept {
        m_pBlock->nSignalled.store(1, std::memory_order_release);
        Futex(&m_pBlock->nSignalled, FUTEX_WAKE, INT_MAX, nullptr, 0);
    }
    void Reset() noexcept { m_pBlock->nSignalled.store(0, std::memory_order_release); }

    const CBlockHeader* GetHeader() const noexcept override { return &m_pBlock->Header; }

private:
    // Whether the event is signalled; an auto-reset event's signal is taken with it.
    bool TryTake() noexcept {
        if (m_pBlock->bManualReset != 0) return m_pBlock->nSignalled.load(std::memory_order_acquire) != 0;
        std::uint32_t nExpected = 1;
        return m_pBlock->nSignalled.compare_exchange_strong(nExpected, 0, std::memory_order_acq_rel);
    }

    CEventBlock* const m_pBlock;
};

class CFileMappingObject final : public CKernelObject, public CNamedFile {
public:
    CFileMappingObject(int nFd, std::string sPath, std::size_t cbSize, bool bWritable) noexcept
        : CNamedFile(nFd, std::move(sPath)), m_cbSize(cbSize), m_bWritable(bWritable) {}

    std::size_t GetSize() const noexcept { return m_cbSize; }
    bool IsWritable() const noexcept { return m_bWritable; }

private:
    const std::size_t m_cbSize;
    const bool m_bWritable;
};

// The views MapViewOfFile made and their sizes, for UnmapViewOfFile.
struct ViewTable {
    std::mutex Lock;
    std::map<const void*, std::size_t> Views;
};

ViewTable& Views() noexcept {
    static ViewTable* pTable = new ViewTable;
    return *pTable;
}

// A block of kind TBlock for a mutex or an event: opens or makes the file at sPath (empty: a block of this
// process) under its advisory lock, checks the block and makes it when it is not made (Make(pBlock)).
// *pbMade tells whether this call made it. 0 with the descriptor and the block, or the error.
template <class TBlock, class TMake>
DWORD OpenBlock(const std::string& sPath, bool bCreate, std::uint32_t nMagic, TMake Make, int* pnFd, TBlock** ppBlock,
                bool* pbMade) noexcept {
    int nFd = -1;
    bool bCreated = false;
    if (!sPath.empty()) {
        const DWORD dwOpened = OpenLockedFile(sPath, bCreate, &nFd, &bCreated);
        if (dwOpened != 0) return dwOpened;
    }
    auto Failed = [&](DWORD dwError) {
        if (nFd >= 0) {
            UnlockFile(nFd);
            close(nFd);
        }
        return dwError;
    };
    bool bSized = false;
    if (nFd >= 0) {
        const long long cbFile = FileSize(nFd);
        if (cbFile < 0) return Failed(Win32Error(errno));
        bSized = cbFile == static_cast<long long>(sizeof(TBlock));
        if (!bSized && !bCreate) return Failed(ERROR_FILE_NOT_FOUND);
        if (!bSized && ftruncate(nFd, sizeof(TBlock)) != 0) return Failed(Win32Error(errno));
    }
    auto* pBlock = static_cast<TBlock*>(MapBlock(nFd, sizeof(TBlock)));
    if (pBlock == nullptr) return Failed(Win32Error(errno));
    const bool bValid = bSized && HeaderValid(pBlock->Header, nMagic, sizeof(TBlock));
    if (!bValid) {
        if (!bCreate) {
            munmap(pBlock, sizeof(TBlock));
            return Failed(ERROR_FILE_NOT_FOUND);
        }
        const int nMade = Make(pBlock);
        if (nMade != 0) {
            munmap(pBlock, sizeof(TBlock));
            return Failed(Win32Error(nMade));
        }
    }
    *pnFd = nFd;
    *ppBlock = pBlock;
    *pbMade = !bValid;
    return 0;
}

HANDLE OpenOrCreateMutex(LPCWSTR lpName, bool bCreate, BOOL bInitialOwner) noexcept {
    std::string sPath;
    if (lpName != nullptr || !bCreate) {
        const DWORD dwName = PathOf(lpName, &sPath);
        if (dwName != 0) return Fail(dwName, HANDLE{nullptr});
    }
    int nFd = -1;
    CMutexBlock* pBlock = nullptr;
    bool bMade = false;
    const DWORD dwOpened = OpenBlock(
        sPath, bCreate, MUTEX_MAGIC, [](CMutexBlock* p) { return CMutexObject::Make(p); }, &nFd, &pBlock, &bMade);
    if (dwOpened != 0) return Fail(dwOpened, HANDLE{nullptr});
    // Taken before the advisory lock goes, so that nobody else takes a mutex this call made first.
    const bool bOwned = bMade && bInitialOwner && pthread_mutex_lock(&pBlock->Mutex) == 0;
    if (nFd >= 0) UnlockFile(nFd);
    std::shared_ptr<CMutexObject> pMutex;
    try {
        pMutex = std::make_shared<CMutexObject>(nFd, std::move(sPath), pBlock);
    } catch (...) {
        if (bOwned) pthread_mutex_unlock(&pBlock->Mutex);
        munmap(pBlock, sizeof(CMutexBlock));
        if (nFd >= 0) close(nFd);
        return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE{nullptr});
    }
    if (bOwned && !pMutex->AddHold()) {
        pthread_mutex_unlock(&pBlock->Mutex);
        return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE{nullptr});
    }
    HANDLE hMutex = InsertHandle(pMutex);
    if (hMutex == nullptr) {
        if (bOwned) pMutex->Release();
        return nullptr;
    }
    if (bCreate) SetLastError(bMade ? static_cast<DWORD>(ERROR_SUCCESS) : static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    return hMutex;
}

HANDLE OpenOrCreateEvent(LPCWSTR lpName, bool bCreate, BOOL bManualReset, BOOL bInitialState) noexcept {
    std::string sPath;
    const DWORD dwName = PathOf(lpName, &sPath);
    if (dwName != 0) return Fail(dwName, HANDLE{nullptr});
    int nFd = -1;
    CEventBlock* pBlock = nullptr;
    bool bMade = false;
    const DWORD dwOpened = OpenBlock(
        sPath, bCreate, EVENT_MAGIC,
        [&](CEventBlock* p) {
            CNamedEventObject::Make(p, bManualReset != FALSE, bInitialState != FALSE);
            return 0;
        },
        &nFd, &pBlock, &bMade);
    if (dwOpened != 0) return Fail(dwOpened, HANDLE{nullptr});
    UnlockFile(nFd);
    std::shared_ptr<CNamedEventObject> pEvent;
    try {
        pEvent = std::make_shared<CNamedEventObject>(nFd, std::move(sPath), pBlock);
    } catch (...) {
        munmap(pBlock, sizeof(CEventBlock));
        close(nFd);
        return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE{nullptr});
    }
    HANDLE hEvent = InsertHandle(std::move(pEvent));
    if (hEvent != nullptr && bCreate)
        SetLastError(bMade ? static_cast<DWORD>(ERROR_SUCCESS) : static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    return hEvent;
}

HANDLE OpenOrCreateMapping(LPCWSTR lpName, bool bCreate, std::size_t cbSize, bool bWritable) noexcept {
    std::string sPath;
    int nFd = -1;
    bool bCreated = false;
    bool bMade = true;
    if (lpName == nullptr && bCreate) {
        nFd = memfd_create("mapping", MFD_CLOEXEC);
        if (nFd < 0) return Fail(Win32Error(errno), HANDLE{nullptr});
        if (ftruncate(nFd, static_cast<off_t>(cbSize)) != 0) {
            const int nError = errno;
            close(nFd);
            return Fail(Win32Error(nError), HANDLE{nullptr});
        }
    } else {
        const DWORD dwName = PathOf(lpName, &sPath);
        if (dwName != 0) return Fail(dwName, HANDLE{nullptr});
        const DWORD dwOpened = OpenLockedFile(sPath, bCreate, &nFd, &bCreated);
        if (dwOpened != 0) return Fail(dwOpened, HANDLE{nullptr});
        const long long cbFile = FileSize(nFd);
        DWORD dwError = cbFile < 0 ? Win32Error(errno) : 0;
        if (dwError == 0 && !bCreate) {
            // Opened: the mapping has the size it was made with; an empty one was never finished.
            if (cbFile == 0) dwError = ERROR_FILE_NOT_FOUND;
            cbSize = static_cast<std::size_t>(cbFile);
            bMade = false;
        } else if (dwError == 0) {
            bMade = cbFile != static_cast<long long>(cbSize);
            if (bMade && ftruncate(nFd, static_cast<off_t>(cbSize)) != 0) dwError = Win32Error(errno);
        }
        UnlockFile(nFd);
        if (dwError != 0) {
            close(nFd);
            return Fail(dwError, HANDLE{nullptr});
        }
    }
    std::shared_ptr<CFileMappingObject> pMapping;
    try {
        pMapping = std::make_shared<CFileMappingObject>(nFd, std::move(sPath), cbSize, bWritable);
    } catch (...) {
        close(nFd);
        return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE{nullptr});
    }
    HANDLE hMapping = InsertHandle(std::move(pMapping));
    if (hMapping != nullptr && bCreate)
        SetLastError(bMade ? static_cast<DWORD>(ERROR_SUCCESS) : static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    return hMapping;
}

std::shared_ptr<CNamedFile> LookupNamed(HANDLE hObject) noexcept {
    std::shared_ptr<CNamedFile> pNamed = std::dynamic_pointer_cast<CNamedFile>(LookupHandle(hObject));
    if (!pNamed) SetLastError(ERROR_INVALID_HANDLE);
    return pNamed;
}

}  // namespace

namespace comrt::internal {

bool SetNamedEvent(const std::shared_ptr<CKernelObject>& pObject) noexcept {
    auto* pEvent = dynamic_cast<CNamedEventObject*>(pObject.get());
    if (pEvent == nullptr) return false;
    pEvent->Set();
    return true;
}

bool ResetNamedEvent(const std::shared_ptr<CKernelObject>& pObject) noexcept {
    auto* pEvent = dynamic_cast<CNamedEventObject*>(pObject.get());
    if (pEvent == nullptr) return false;
    pEvent->Reset();
    return true;
}

HANDLE CreateNamedEvent(BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) noexcept {
    return OpenOrCreateEvent(lpName, true, bManualReset, bInitialState);
}

}  // namespace comrt::internal

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) noexcept {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    return OpenOrCreateEvent(lpName, false, FALSE, FALSE);
}

HANDLE CreateMutexW(void* lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) noexcept {
    (void)lpMutexAttributes;
    return OpenOrCreateMutex(lpName, true, bInitialOwner);
}

HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) noexcept {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    return OpenOrCreateMutex(lpName, false, FALSE);
}

BOOL ReleaseMutex(HANDLE hMutex) noexcept {
    std::shared_ptr<CMutexObject> pMutex = LookupHandleOf<CMutexObject>(hMutex);
    if (!pMutex) return FALSE;
    return pMutex->Release();
}

HANDLE CreateFileMappingW(HANDLE hFile, void* lpFileMappingAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCWSTR lpName) noexcept {
    (void)lpFileMappingAttributes;
    if (hFile != INVALID_HANDLE_VALUE) return Fail(ERROR_NOT_SUPPORTED, HANDLE{nullptr});
    if ((flProtect != PAGE_READWRITE && flProtect != PAGE_READONLY) || dwMaximumSizeHigh != 0 || dwMaximumSizeLow == 0)
        return Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
    return OpenOrCreateMapping(lpName, true, dwMaximumSizeLow, flProtect == PAGE_READWRITE);
}

HANDLE OpenFileMappingW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) noexcept {
    (void)bInheritHandle;
    return OpenOrCreateMapping(lpName, false, 0, (dwDesiredAccess & FILE_MAP_WRITE) != 0);
}

void* MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                    std::size_t dwNumberOfBytesToMap) noexcept {
    std::shared_ptr<CFileMappingObject> pMapping = LookupHandleOf<CFileMappingObject>(hFileMappingObject);
    if (!pMapping) return nullptr;
    const bool bWrite = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    if (bWrite && !pMapping->IsWritable()) return Fail(ERROR_ACCESS_DENIED, static_cast<void*>(nullptr));
    const std::uint64_t nOffset = static_cast<std::uint64_t>(dwFileOffsetHigh) << 32 | dwFileOffsetLow;
    const std::uint64_t cbSize = pMapping->GetSize();
    const long nPage = sysconf(_SC_PAGESIZE);
    if (nOffset >= cbSize || (nPage > 0 && nOffset % static_cast<std::uint64_t>(nPage) != 0) ||
        dwNumberOfBytesToMap > cbSize - nOffset)
        return Fail(ERROR_INVALID_PARAMETER, static_cast<void*>(nullptr));
    const std::size_t cbView = dwNumberOfBytesToMap != 0 ? dwNumberOfBytesToMap : cbSize - nOffset;
    void* pView = mmap(nullptr, cbView, bWrite ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, pMapping->GetFd(),
                       static_cast<off_t>(nOffset));
    if (pView == MAP_FAILED) return Fail(Win32Error(errno), static_cast<void*>(nullptr));
    ViewTable& t = Views();
    try {
        std::lock_guard Lock(t.Lock);
        t.Views[pView] = cbView;
    } catch (...) {
        munmap(pView, cbView);
        return Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<void*>(nullptr));
    }
    return pView;
}

BOOL UnmapViewOfFile(const void* lpBaseAddress) noexcept {
    ViewTable& t = Views();
    std::size_t cbView = 0;
    {
        std::lock_guard Lock(t.Lock);
        const auto it = t.Views.find(lpBaseAddress);
        if (it == t.Views.end()) return Fail(ERROR_INVALID_ADDRESS, FALSE);
        cbView = it->second;
        t.Views.erase(it);
    }
    if (munmap(const_cast<void*>(lpBaseAddress), cbView) != 0) return Fail(Win32Error(errno), FALSE);
    return TRUE;
}

namespace comrt {

std::string GetNamedObjectPath(std::u16string_view sName) {
    return "/" + ToUtf8(sName) + "." + std::to_string(static_cast<unsigned long>(geteuid()));
}

BOOL RemoveNamedObject(HANDLE hObject) noexcept {
    std::shared_ptr<CNamedFile> pNamed = LookupNamed(hObject);
    return pNamed ? pNamed->RemoveName() : FALSE;
}

BOOL SetNamedObjectMode(HANDLE hObject, unsigned nMode) noexcept {
    std::shared_ptr<CNamedFile> pNamed = LookupNamed(hObject);
    return pNamed ? pNamed->SetMode(nMode) : FALSE;
}

BOOL GetNamedObjectCreator(HANDLE hObject, DWORD* pnProcessId, std::uint64_t* pnStartTime) noexcept {
    std::shared_ptr<CNamedFile> pNamed = LookupNamed(hObject);
    if (!pNamed) return FALSE;
    const CBlockHeader* pHeader = pNamed->GetHeader();
    if (pHeader == nullptr || !pNamed->IsNamed()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (pnProcessId != nullptr) *pnProcessId = pHeader->nCreatorProcess;
    if (pnStartTime != nullptr) *pnStartTime = pHeader->nCreatorStartTime;
    return TRUE;
}

}  // namespace comrt
