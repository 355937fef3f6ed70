#include "corvane/ulcriticalsection.h"

#include "comrt/forkhandlers.h"
#include "comrt/runtime.h"
#include "comrt/sync.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ultimedevent.h"

namespace {

// The calling thread's identifier, asked once per thread and kept in the module's own thread-local
// storage: Lock and Unlock need it on every call, and a call into the runtime each time would cost more than
// the lock itself. A child process's only thread is the one that forked, whose identifier changed: the fork
// handler forgets the old one.
thread_local DWORD t_nThreadIdentifier = 0;

void ForgetThreadIdentifier() noexcept {
    t_nThreadIdentifier = 0;
}

[[gnu::noinline]] DWORD AskThreadIdentifier() noexcept {
    static const bool s_bForkHandler = comrt::AddForkChildHandler(&ForgetThreadIdentifier);
    (void)s_bForkHandler;
    t_nThreadIdentifier = GetCurrentThreadId();
    return t_nThreadIdentifier;
}

inline DWORD CurrentThreadIdentifier() noexcept {
    const DWORD nThreadIdentifier = t_nThreadIdentifier;
    return nThreadIdentifier != 0 ? nThreadIdentifier : AskThreadIdentifier();
}

// Addresses are written in full: "0x%08x" of the original texts widened to the pointer's size.
unsigned long long AddressOf(const void* p) noexcept {
    return reinterpret_cast<std::uintptr_t>(p);
}

void TraceCaughtResult(HRESULT nResult) noexcept {
    std::string sMessage;
    try {
        sMessage = comrt::ToUtf8(FormatSystemMessage(nResult));
    } catch (...) {
    }
    UL_TRACE(corvane::TRACE_LEVEL_ERROR, "An exception 0x%08x (%s) has been caught\n", static_cast<unsigned>(nResult),
             sMessage.c_str());
}

// Writes one frame line, as call stacks are written.
void TraceFrame(std::uintptr_t nAddress) noexcept {
    try {
        const std::string sFrame = CDebugTraceCallStack::DescribeFrame(nAddress).Format();
        CDebugTraceLocalContext(nullptr, 0, nullptr).Write(corvane::TRACE_LEVEL_ERROR, "  %s\n", sFrame.c_str());
    } catch (...) {
    }
}

// The address of the first frame of a capture, 0 when it has none.
std::uintptr_t TopFrameOf(const CDebugTraceCallStack::CContext& Context) noexcept {
    return Context.nFrameCount > 0 ? Context.pnFrames[0] : 0;
}

}  // namespace

// One waiting Lock call: lives on the waiter's stack until its watch event is killed.
struct CUlCriticalSection::CLockContext {
    CUlCriticalSection* pSection;
    DWORD nThreadIdentifier;
    const CDebugTraceCallStack::CContext* pWaiterContext;
    DWORD nPeriod;
    std::atomic<DWORD> nElapsed;
};

CUlCriticalSection::~CUlCriticalSection() {
    if (m_nHoldingThread.load(std::memory_order_relaxed) != 0) {
        corvane::AssertionFailed(UL_CONTEXT, "m_sec.LockCount < 0");
        // A section still held by the destroying thread is left first; destroying a locked mutex is undefined.
        if (IsLockedByCurrentThread()) {
            m_nHoldingThread.store(0, std::memory_order_relaxed);
            m_nRecursionCount = 0;
            m_sec.unlock();
        }
    }
}

bool CUlCriticalSection::IsLockedByCurrentThread() const noexcept {
    return m_nHoldingThread.load(std::memory_order_relaxed) == CurrentThreadIdentifier();
}

HRESULT CUlCriticalSection::Lock() noexcept {
    const DWORD nThreadIdentifier = CurrentThreadIdentifier();
    // Only this thread can have stored its own identifier, so a relaxed read that finds it is exact.
    if (m_nHoldingThread.load(std::memory_order_relaxed) == nThreadIdentifier) {
        ++m_nRecursionCount;
        return S_OK;
    }
    const auto nCallSite = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    if (m_sec.try_lock()) {
        Enter(nThreadIdentifier, nCallSite);
        return S_OK;
    }
    return LockContended(nThreadIdentifier, nCallSite);
}

void CUlCriticalSection::Enter(DWORD nThreadIdentifier, std::uintptr_t nCallSite) noexcept {
    m_nHoldingThread.store(nThreadIdentifier, std::memory_order_relaxed);
    m_nRecursionCount = 1;
    m_nOwnerThread.store(nThreadIdentifier, std::memory_order_relaxed);
    m_nOwnerCallSite.store(nCallSite, std::memory_order_relaxed);
}

HRESULT CUlCriticalSection::LockContended(DWORD nThreadIdentifier, std::uintptr_t nCallSite) noexcept {
    CDebugTraceCallStack::CContext WaiterContext;
    CDebugTraceCallStack::CaptureCurrentThread(WaiterContext, 1);
    CLockContext LockContext{this, nThreadIdentifier, &WaiterContext, CUlCriticalSections::GetWatchPeriod(), {0}};

    // Without a daemon (the module is terminating) the section is entered unwatched.
    CObjectPtrT<CTimedEventDaemon> pDaemon = CUlCriticalSections::GetTimedEventDaemon();
    std::uintptr_t nEvent = 0;
    if (pDaemon) {
        const HRESULT nResult =
            pDaemon->SetEvent(LockContext.nPeriod, &LockTimeout, reinterpret_cast<std::uintptr_t>(&LockContext),
                              CTimedEventDaemon::TIMED_EVENT_PERIODIC, &nEvent);
        if (FAILED(nResult)) {
            TraceCaughtResult(nResult);
            return nResult;
        }
    }

    m_sec.lock();

    if (pDaemon) {
        // Returns once a running watch procedure has finished, so LockContext is ours alone from here. A
        // failure cannot leave the section held by a caller told that locking failed: it is written, and
        // the section counts as locked.
        const HRESULT nResult = pDaemon->KillEvent(nEvent);
        if (FAILED(nResult)) TraceCaughtResult(nResult);
    }
    Enter(nThreadIdentifier, nCallSite);

    const DWORD nElapsed = LockContext.nElapsed.load(std::memory_order_relaxed);
    if (nElapsed != 0) {
        UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                 "Critical section 0x%08llx deadlock suspicion: entered in thread %u after timeout %u ms\n",
                 AddressOf(this), nThreadIdentifier, nElapsed);
    }
    return S_OK;
}

HRESULT CUlCriticalSection::Unlock() noexcept {
    if (!IsLockedByCurrentThread()) {
        // Leaving a lock this thread does not hold would corrupt it for its real holder.
        UL_ASSERT(VerifyCriticalSectionLocked(*this));
        return S_OK;
    }
    m_nOwnerThread.store(0, std::memory_order_relaxed);
    m_nOwnerCallSite.store(0, std::memory_order_relaxed);
    if (--m_nRecursionCount == 0) {
        m_nHoldingThread.store(0, std::memory_order_relaxed);
        m_sec.unlock();
    }
    return S_OK;
}

void CUlCriticalSection::LockTimeout(std::uintptr_t, std::uintptr_t, std::uintptr_t nParameter, std::uintptr_t,
                                     std::uintptr_t) noexcept {
    auto* pLockContext = reinterpret_cast<CLockContext*>(nParameter);
    CUlCriticalSection* pSection = pLockContext->pSection;
    const DWORD nElapsed = pLockContext->nElapsed.fetch_add(pLockContext->nPeriod) + pLockContext->nPeriod;

    std::lock_guard ModuleLock(CUlCriticalSections::GetModuleLock());
    const DWORD nOwnerThread = pSection->m_nOwnerThread.load(std::memory_order_relaxed);
    const std::uintptr_t nOwnerCallSite = pSection->m_nOwnerCallSite.load(std::memory_order_relaxed);
    UL_TRACE(corvane::TRACE_LEVEL_FAILURE,
             "Critical section 0x%08llx deadlock suspicion: locked in thread %u, trying to lock in thread %u, "
             "timeout %u ms\n",
             AddressOf(pSection), nOwnerThread, pLockContext->nThreadIdentifier, nElapsed);
    if ((nElapsed / pLockContext->nPeriod) % CALL_STACK_REPORT_PERIODS != CALL_STACK_REPORT_FIRST_PERIOD) return;

    // Each block names the top frame of the stack it introduces as its source location.
    CDebugTraceLocalContext(nOwnerCallSite)
        .Write(corvane::TRACE_LEVEL_ERROR,
               "Thread %u locked the critical section 0x%08llx, lock time call stack follows:\n", nOwnerThread,
               AddressOf(pSection));
    if (nOwnerCallSite != 0) TraceFrame(nOwnerCallSite);

    CDebugTraceCallStack::CContext OwnerContext;
    const bool bOwnerCaptured = nOwnerThread != 0 && CDebugTraceCallStack::CaptureThread(nOwnerThread, OwnerContext);
    CDebugTraceLocalContext(bOwnerCaptured ? TopFrameOf(OwnerContext) : 0)
        .Write(corvane::TRACE_LEVEL_ERROR, "Thread %u current stack follows:\n", nOwnerThread);
    if (bOwnerCaptured) CDebugTraceCallStack::TraceCallStack(OwnerContext, CDebugTraceCallStack::DEADLOCK_FRAMES);

    const CDebugTraceCallStack::CContext& WaiterContext = *pLockContext->pWaiterContext;
    CDebugTraceLocalContext(TopFrameOf(WaiterContext))
        .Write(corvane::TRACE_LEVEL_ERROR,
               "Thread %u is trying to lock the critical section 0x%08llx, call stack follows:\n",
               pLockContext->nThreadIdentifier, AddressOf(pSection));
    CDebugTraceCallStack::TraceCallStack(WaiterContext, CDebugTraceCallStack::DEADLOCK_FRAMES);
}

CUlCriticalSectionLock::CUlCriticalSectionLock(CUlCriticalSection& Section) : m_Section(Section) {
    const HRESULT nResult = m_Section.Lock();
    if (FAILED(nResult)) corvane::ThrowHResult(nResult);
    m_bLocked = true;
}

void CUlCriticalSectionLock::Lock() {
    if (m_bLocked) return;
    const HRESULT nResult = m_Section.Lock();
    if (FAILED(nResult)) corvane::ThrowHResult(nResult);
    m_bLocked = true;
}

std::mutex& CUlCriticalSections::GetModuleLock() noexcept {
    static constinit std::mutex s_ModuleLock;
    return s_ModuleLock;
}

namespace {
constinit std::atomic<DWORD> g_nWatchPeriod{CUlCriticalSection::LOCK_TIMEOUT_PERIOD};
}

DWORD CUlCriticalSections::GetWatchPeriod() noexcept {
    return g_nWatchPeriod.load(std::memory_order_relaxed);
}

void CUlCriticalSections::SetWatchPeriod(DWORD nPeriod) noexcept {
    g_nWatchPeriod.store(nPeriod != 0 ? nPeriod : CUlCriticalSection::LOCK_TIMEOUT_PERIOD, std::memory_order_relaxed);
}

CObjectPtrT<CTimedEventDaemon> CUlCriticalSections::GetTimedEventDaemon() noexcept {
    return CTimedEventDaemon::GetCriticalSectionsTimedEventDaemon();
}
