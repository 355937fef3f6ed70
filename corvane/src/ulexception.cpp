// The exception filter: installing and removing it, and the filter of the fatal-signal handlers that reports
// crashes.
#include "corvane/ulexception.h"

#include <time.h>

#include <algorithm>
#include <atomic>

#include "comrt/exceptions.h"
#include "comrt/sync.h"
#include "corvane/ulmodule.h"
#include "ulexceptionstate.h"

namespace corvane {

constinit CExceptionFilterLock g_CriticalSection;

void CExceptionFilterLock::Lock() noexcept {
    m_Mutex.lock();
    m_nOwner.store(::GetCurrentThreadId());
}

bool CExceptionFilterLock::LockInSignalHandler() noexcept {
    if (IsLockedByCallingThread()) return false;
    for (int i = 0; i < 1000; ++i) {
        if (m_Mutex.try_lock()) {
            m_nOwner.store(::GetCurrentThreadId());
            return true;
        }
        const timespec Pause{0, 1000000};
        nanosleep(&Pause, nullptr);
    }
    return false;
}

void CExceptionFilterLock::Unlock() noexcept {
    m_nOwner.store(0);
    m_Mutex.unlock();
}

bool CExceptionFilterLock::IsLockedByCallingThread() const noexcept {
    return m_nOwner.load() == ::GetCurrentThreadId();
}

}  // namespace corvane

using namespace corvane;

namespace {

// The module's filter while it is installed: the handlers then report.
constinit std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_pExceptionFilter{nullptr};

// The last fault reported, so that a fault a previous handler returned from is not reported again when the
// instruction faults anew.
struct LastFault {
    std::atomic<DWORD> nCode;
    std::atomic<DWORD> nThread;
    std::atomic<std::uintptr_t> nAddress;
    std::atomic<std::uintptr_t> nFaultAddress;
};

constinit LastFault g_LastFault{};

// The address a memory fault touched; the instruction's own for any other exception.
std::uintptr_t FaultAddressOf(const CExceptionFilter::CRecord& Record) noexcept {
    return Record.nParameterCount >= 2 ? Record.pnParameters[1] : Record.nAddress;
}

bool IsRepeatedFault(const CExceptionFilter::CRecord& Record) noexcept {
    return g_LastFault.nCode.load() == Record.nCode && g_LastFault.nThread.load() == ::GetCurrentThreadId() &&
           g_LastFault.nAddress.load() == Record.nAddress && g_LastFault.nFaultAddress.load() == FaultAddressOf(Record);
}

void RememberFault(const CExceptionFilter::CRecord& Record) noexcept {
    g_LastFault.nCode.store(Record.nCode);
    g_LastFault.nThread.store(::GetCurrentThreadId());
    g_LastFault.nAddress.store(Record.nAddress);
    g_LastFault.nFaultAddress.store(FaultAddressOf(Record));
}

// The alternate stack this thread made for itself. A plain pointer: a thread-local object with a destructor
// would tie the module to the thread's very end (the loader does not unload a module while a thread that
// registered such a destructor runs on), and a thread's handle is signalled before that end.
thread_local void* t_pvThreadSignalStack = nullptr;

// Stops using this thread's own alternate stack and frees it.
void ReleaseThreadSignalStack() noexcept {
    void* const pvStack = t_pvThreadSignalStack;
    if (pvStack == nullptr) return;
    t_pvThreadSignalStack = nullptr;
    comrt::DeleteThreadSignalStack(pvStack);
}

// Makes and uses a stack for this thread unless it has one; false when none could be made.
bool MakeThreadSignalStack() noexcept {
    if (comrt::HasThreadSignalStack()) return true;
    void* pvStack = comrt::CreateThreadSignalStack();
    if (pvStack == nullptr) return false;
    ReleaseThreadSignalStack();
    t_pvThreadSignalStack = pvStack;
    return true;
}

// Releases the stack of a thread that installed it without a scope, when the thread ends.
struct ThreadSignalStackRelease {
    bool bArmed = false;
    ~ThreadSignalStackRelease() {
        if (bArmed) ReleaseThreadSignalStack();
    }
};

thread_local ThreadSignalStackRelease t_SignalStackRelease;

}  // namespace

LONG CExceptionFilter::UnhandledExceptionFilter(EXCEPTION_POINTERS* pExceptionInfo) noexcept {
    if (pExceptionInfo == nullptr || pExceptionInfo->ExceptionRecord == nullptr) {
        // Only a direct call passes no information; the handlers always do.
        UL_ASSERT(pExceptionInfo);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (g_pExceptionFilter.load() == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD& Exception = *pExceptionInfo->ExceptionRecord;
    CRecord Record;
    Record.nCode = Exception.ExceptionCode;
    Record.nFlags = Exception.ExceptionFlags;
    Record.nAddress = Exception.ExceptionAddress;
    Record.nParameterCount = std::min(Exception.NumberParameters, MAXIMUM_PARAMETERS);
    for (DWORD i = 0; i < Record.nParameterCount; ++i) Record.pnParameters[i] = Exception.ExceptionInformation[i];
    if (IsRepeatedFault(Record)) return EXCEPTION_CONTINUE_SEARCH;
    RememberFault(Record);
    CDebugTraceCallStack::CContext Stack;
    CDebugTraceCallStack::CaptureContext(Stack, pExceptionInfo->ContextRecord);
    const bool bLocked = g_CriticalSection.LockInSignalHandler();
    CIssue(KIND_UNHANDLED_EXCEPTION, Record, Stack, true).Trace();
    if (bLocked) g_CriticalSection.Unlock();
    return EXCEPTION_CONTINUE_SEARCH;
}

bool CExceptionFilter::Initialize() noexcept {
    CExceptionFilterLockScope Lock(g_CriticalSection);
    if (g_pExceptionFilter.load() != nullptr) {
        UL_ASSERT(!g_pExceptionFilter);
        return false;
    }
    // Everything the handlers need is made now, outside any handler.
    PrepareTraceForSignalHandlers();
    if (!comrt::InstallUnhandledExceptionFilter(&UnhandledExceptionFilter)) return false;
    g_pExceptionFilter.store(&UnhandledExceptionFilter);
    return HookCxxFrameHandler();
}

void CExceptionFilter::Terminate() noexcept {
    CExceptionFilterLockScope Lock(g_CriticalSection);
    UnhookCxxFrameHandler();
    if (g_pExceptionFilter.exchange(nullptr) == nullptr) return;
    comrt::RemoveUnhandledExceptionFilter();
}

bool CExceptionFilter::IsInstalled() noexcept {
    return g_pExceptionFilter.load() != nullptr;
}

bool CExceptionFilter::InstallThreadSignalStack() noexcept {
    if (!MakeThreadSignalStack()) return false;
    t_SignalStackRelease.bArmed = true;
    return true;
}

CExceptionFilter::CThreadSignalStackScope::CThreadSignalStackScope() noexcept
    : m_bMade(!comrt::HasThreadSignalStack() && MakeThreadSignalStack()) {}

CExceptionFilter::CThreadSignalStackScope::~CThreadSignalStackScope() {
    if (m_bMade) ReleaseThreadSignalStack();
}
