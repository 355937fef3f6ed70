// Worker threads and the counted objects that hold them.
//
// CObjectPtrT<T> holds one counted reference to a T that it constructed itself; every such object holds one
// module lock while it exists, so a library with live objects is not unloaded. CObjectPtr<T> is the same
// kind of pointer to a COM object of the module, counting through the object's own AddRef and Release.
//
// CThreadT<TOwner> runs one member function of its owner on a thread of its own:
//
//   DWORD CSender::ThreadProc(CThreadT<CSender>* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent) {
//       CMultiThreadedApartment Apartment;
//       ... start-up; return an error code (or throw) to make Initialize fail ...
//       UL_ASSERT(InitializationEvent.Set());
//       while (WaitForSingleObject(TerminationEvent, 500) == WAIT_TIMEOUT) ... work ...
//       return 0;
//   }
//
//   m_pThread.Construct();
//   if (!m_pThread->Initialize(this, &CSender::ThreadProc)) ... GetLastError() is the thread's exit code ...
//   ...
//   m_pThread->Terminate(5000, false);
//   m_pThread.Release();   // waits for good when the thread is still running
//
// Initialize returns once the procedure has set its initialization event (true) or has ended (false).
// Terminate sets the termination event and waits up to nTimeout for the thread; a procedure must therefore
// watch the termination event in every wait it makes. Destroying a thread object waits without limit.
//
// Forced termination: a thread of a Linux process cannot be killed safely (cancellation unwinds only at
// cancellation points, collides with catch-all handlers and noexcept frames and may leave locks held), so
// Terminate with bForceTermination abandons a thread that did not end in time instead of killing it. It
// writes the "being forcefully terminated" line and a line saying the thread is left running, closes the
// handle and returns true, as after a kill. The abandoned thread runs on detached: it keeps handles of its
// own to both events, so the thread object may go, but the owner must outlive its procedure. An owner whose
// procedure may be abandoned holds a counted reference to itself in that procedure, as the timed event
// daemon does.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <cstddef>
#include <iterator>
#include <new>
#include <utility>

#include "comrt/interfaces.h"
#include "comrt/sync.h"
#include "corvane/uldebug.h"
#include "corvane/ulexception.h"
#include "corvane/ulguard.h"
#include "corvane/ulhandle.h"
#include "corvane/ulobject.h"

namespace corvane::detail {
// The HRESULT of the exception being handled: its own for CHResultException, E_OUTOFMEMORY for
// std::bad_alloc, E_UNEXPECTED for anything else. Call only inside a catch block.
HRESULT ResultOfCurrentException() noexcept;
// The line written when a thread that did not end in time is left running.
void TraceAbandonedThread(const CDebugTraceLocalContext& Context, DWORD nThreadIdentifier) noexcept;
}  // namespace corvane::detail

// T with a reference count and IUnknown's three operations (it answers IUnknown only). It holds one module
// lock from before T is constructed until after T is gone. While it is being destroyed its count reads
// 0xC0000001, so a reference taken and dropped by T's destructor does not destroy it a second time.
template <class T>
class CObjectT final : private CModuleLockHolder, public T, public IUnknown {
public:
    template <class... Args>
    explicit CObjectT(Args&&... args) : T(std::forward<Args>(args)...) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid != IidOf<IUnknown>()) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    // Not inlined: a reference taken from a T* (CObjectPtrT's constructor) reaches the count through a
    // cast to this class, and GCC's object size checks would take the inlined increment for a write past T.
    [[gnu::noinline]] ULONG AddRef() override { return static_cast<ULONG>(++m_nReferenceCount); }
    [[gnu::noinline]] ULONG Release() override {
        const LONG nCount = --m_nReferenceCount;
        if (nCount == 0) {
            m_nReferenceCount = -1073741823;
            delete this;
        }
        return static_cast<ULONG>(nCount);
    }

private:
    ~CObjectT() = default;
    std::atomic<LONG> m_nReferenceCount{0};
};

// A counted reference to a T living in a CObjectT<T>.
template <class T>
class CObjectPtrT {
public:
    using Object = CObjectT<T>;

    CObjectPtrT() noexcept = default;
    CObjectPtrT(std::nullptr_t) noexcept {}
    // A further reference to an object that Construct made; pObject must live inside a CObjectT<T>.
    explicit CObjectPtrT(T* pObject) noexcept : m_pObject(static_cast<Object*>(pObject)) {
        if (m_pObject != nullptr) m_pObject->AddRef();
    }
    CObjectPtrT(const CObjectPtrT& Other) noexcept : m_pObject(Other.m_pObject) {
        if (m_pObject != nullptr) m_pObject->AddRef();
    }
    CObjectPtrT(CObjectPtrT&& Other) noexcept : m_pObject(std::exchange(Other.m_pObject, nullptr)) {}
    CObjectPtrT& operator=(const CObjectPtrT& Other) noexcept {
        CObjectPtrT Copy(Other);
        Swap(&Copy);
        return *this;
    }
    CObjectPtrT& operator=(CObjectPtrT&& Other) noexcept {
        CObjectPtrT Moved(std::move(Other));
        Swap(&Moved);
        return *this;
    }
    ~CObjectPtrT() { Release(); }

    // Creates a new T from args and holds it. A failure (no memory, or the constructor raised) writes
    // "Exception 0x%08x" and raises the HRESULT; the pointer then stays as it was.
    template <class... Args>
    void Construct(Args&&... args) {
        UL_ASSERT(!m_pObject);
        Object* pObject = nullptr;
        HRESULT nResult = S_OK;
        try {
            pObject = new Object(std::forward<Args>(args)...);
        } catch (...) {
            nResult = corvane::detail::ResultOfCurrentException();
        }
        if (FAILED(nResult)) corvane::ThrowHResult(nResult);
        pObject->AddRef();
        Release();
        m_pObject = pObject;
        UL_ASSERT(m_pObject);
    }

    T* operator->() const noexcept {
        UL_ASSERT(m_pObject);
        return m_pObject;
    }
    T& operator*() const noexcept {
        UL_ASSERT(m_pObject);
        return *m_pObject;
    }
    T* Get() const noexcept { return m_pObject; }
    explicit operator bool() const noexcept { return m_pObject != nullptr; }
    bool operator==(const CObjectPtrT& Other) const noexcept { return m_pObject == Other.m_pObject; }
    bool operator==(const T* pObject) const noexcept { return Get() == pObject; }

    void Swap(CObjectPtrT* ppObject) noexcept {
        UL_ASSERT(ppObject);
        if (ppObject != nullptr) std::swap(m_pObject, ppObject->m_pObject);
    }
    void Release() noexcept {
        if (Object* pObject = std::exchange(m_pObject, nullptr)) pObject->Release();
    }
    // Takes over the reference the caller holds on pObject (which Construct made), releasing the one held.
    void Attach(T* pObject) noexcept {
        Release();
        m_pObject = static_cast<Object*>(pObject);
    }
    // Hands the held reference to the caller and empties the pointer.
    T* Detach() noexcept { return std::exchange(m_pObject, nullptr); }

private:
    Object* m_pObject = nullptr;
};

// A counted reference to a COM object of the module, through the object's own AddRef and Release.
template <class T>
class CObjectPtr {
public:
    CObjectPtr() noexcept = default;
    CObjectPtr(std::nullptr_t) noexcept {}
    CObjectPtr(T* pObject) noexcept : m_pObject(pObject) {
        if (m_pObject != nullptr) m_pObject->AddRef();
    }
    CObjectPtr(const CObjectPtr& Other) noexcept : CObjectPtr(Other.m_pObject) {}
    CObjectPtr(CObjectPtr&& Other) noexcept : m_pObject(std::exchange(Other.m_pObject, nullptr)) {}
    CObjectPtr& operator=(const CObjectPtr& Other) noexcept {
        CObjectPtr Copy(Other);
        Swap(&Copy);
        return *this;
    }
    CObjectPtr& operator=(CObjectPtr&& Other) noexcept {
        CObjectPtr Moved(std::move(Other));
        Swap(&Moved);
        return *this;
    }
    ~CObjectPtr() { Release(); }

    T* operator->() const noexcept {
        UL_ASSERT(m_pObject);
        return m_pObject;
    }
    T& operator*() const noexcept {
        UL_ASSERT(m_pObject);
        return *m_pObject;
    }
    T* Get() const noexcept { return m_pObject; }
    explicit operator bool() const noexcept { return m_pObject != nullptr; }
    bool operator==(const CObjectPtr& Other) const noexcept { return m_pObject == Other.m_pObject; }
    bool operator==(const T* pObject) const noexcept { return m_pObject == pObject; }

    void Swap(CObjectPtr* ppObject) noexcept {
        UL_ASSERT(ppObject);
        if (ppObject != nullptr) std::swap(m_pObject, ppObject->m_pObject);
    }
    void Release() noexcept {
        if (T* pObject = std::exchange(m_pObject, nullptr)) pObject->Release();
    }

private:
    T* m_pObject = nullptr;
};

// Enters the multithreaded apartment for its scope. A failure is asserted and otherwise ignored; the
// apartment is left only when it was entered.
class CMultiThreadedApartment {
public:
    CMultiThreadedApartment() noexcept;
    CMultiThreadedApartment(const CMultiThreadedApartment&) = delete;
    CMultiThreadedApartment& operator=(const CMultiThreadedApartment&) = delete;
    ~CMultiThreadedApartment();

private:
    bool m_bInitialized = false;
};

template <class TOwner>
class CThreadT {
public:
    using OwnerThreadProc = DWORD (TOwner::*)(CThreadT* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent);

    // Creates both events; a failure raises the HRESULT of the system error.
    CThreadT() : m_InitializationEvent(true, false), m_TerminationEvent(true, false) {
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "this 0x%08x\n", Address(this));
    }
    CThreadT(const CThreadT&) = delete;
    CThreadT& operator=(const CThreadT&) = delete;
    // Waits without limit for a running thread.
    ~CThreadT() {
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "this 0x%08x\n", Address(this));
        Terminate(INFINITE, true);
        m_ThreadHandle.Close();
    }

    // Starts the thread and waits until the owner's procedure has set its initialization event (true) or
    // the thread has ended (false; the calling thread's last error is then the thread's exit code). A
    // thread object is started once. Raises the HRESULT of the system error when no thread can be made,
    // E_UNEXPECTED when its thread is still running.
    bool Initialize(TOwner* pOwner, OwnerThreadProc pOwnerThreadProc) {
        UL_ASSERT(!m_pOwner && pOwner);
        if (m_ThreadHandle != nullptr) corvane::ThrowHResult(E_UNEXPECTED);
        m_nThreadExitCode = 0;
        m_pOwner = pOwner;
        m_pOwnerThreadProc = pOwnerThreadProc;
        UL_ASSERT(WaitForSingleObject(m_TerminationEvent, 0) == WAIT_TIMEOUT);

        HANDLE hThread = CreateThread(nullptr, 0, &ThreadProc, this, CREATE_SUSPENDED, &m_nThreadIdentifier);
        if (hThread == nullptr) corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
        m_ThreadHandle.Attach(hThread);
        UL_ASSERT(m_nThreadIdentifier);
        UL_TRACE(corvane::TRACE_LEVEL_THREAD, "Thread %d (0x%x) has been started from thread %d\n",
                 static_cast<int>(m_nThreadIdentifier), m_nThreadIdentifier, static_cast<int>(GetCurrentThreadId()));
        ResumeThread(m_ThreadHandle);

        const HANDLE phObjects[] = {m_InitializationEvent, m_ThreadHandle};
        const DWORD nWaitResult = WaitForMultipleObjects(2, phObjects, FALSE, INFINITE);
        if (!((nWaitResult - WAIT_OBJECT_0) < std::size(phObjects)))
            corvane::AssertionFailed(UL_CONTEXT, "(nWaitResult - WAIT_OBJECT_0) < _countof(phObjects)");
        if (nWaitResult == WAIT_OBJECT_0) return true;
        UL_ASSERT(GetExitCodeThread(m_ThreadHandle, &m_nThreadExitCode));
        m_ThreadHandle.Close();
        SetLastError(m_nThreadExitCode);
        return false;
    }

    // Asks the thread to end and waits up to nTimeout (INFINITE: without limit). True when the thread has
    // ended, was abandoned (bForceTermination), or is the calling thread itself (which ends by itself once it
    // sees the termination event); false without a thread, or when the time ran out without
    // bForceTermination (the handle is kept, so a later call or the destructor waits again).
    bool Terminate(DWORD nTimeout = INFINITE, bool bForceTermination = false) {
        if (m_ThreadHandle == nullptr) return false;
        const DWORD nCurrentThreadIdentifier = GetCurrentThreadId();
        UL_TRACE(corvane::TRACE_LEVEL_THREAD,
                 "Thread %d (0x%x) is being terminated from thread %d, nTimeout %d, bForceTermination %d\n",
                 static_cast<int>(m_nThreadIdentifier), m_nThreadIdentifier, static_cast<int>(nCurrentThreadIdentifier),
                 static_cast<int>(nTimeout), bForceTermination ? 1 : 0);
        UL_ASSERT(m_TerminationEvent.Set());
        if (nCurrentThreadIdentifier == m_nThreadIdentifier) {
            UL_TRACE(corvane::TRACE_LEVEL_THREAD, "Thread %d is self-terminated, no need to synchronize\n",
                     static_cast<int>(m_nThreadIdentifier));
            m_ThreadHandle.Close();
            return true;
        }
        const DWORD nWaitResult = WaitForSingleObject(m_ThreadHandle, nTimeout);
        UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "m_nThreadIdentifier %d, nWaitResult %d\n",
                 static_cast<int>(m_nThreadIdentifier), static_cast<int>(nWaitResult));
        if (!(nWaitResult == WAIT_OBJECT_0 || (nWaitResult == WAIT_TIMEOUT && nTimeout != INFINITE)))
            corvane::AssertionFailed(
                UL_CONTEXT, "nWaitResult == WAIT_OBJECT_0 || nWaitResult == WAIT_TIMEOUT && nTimeout != INFINITE");
        if (nWaitResult != WAIT_OBJECT_0) {
            if (!bForceTermination) return false;
            UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Thread %d (0x%x) is being forcefully terminated from thread %d\n",
                     static_cast<int>(m_nThreadIdentifier), m_nThreadIdentifier,
                     static_cast<int>(nCurrentThreadIdentifier));
            // No kill: the thread is abandoned (see the top of this file).
            corvane::detail::TraceAbandonedThread(UL_CONTEXT, m_nThreadIdentifier);
        }
        UL_TRACE(corvane::TRACE_LEVEL_THREAD, "Thread %d (0x%x) has been terminated from thread %d\n",
                 static_cast<int>(m_nThreadIdentifier), m_nThreadIdentifier,
                 static_cast<int>(nCurrentThreadIdentifier));
        m_ThreadHandle.Close();
        return true;
    }

    TOwner* GetOwner() const noexcept { return m_pOwner; }
    // The running thread's handle; null before the start and after the end.
    HANDLE GetThreadHandle() const noexcept { return m_ThreadHandle; }
    DWORD GetThreadIdentifier() const noexcept { return m_nThreadIdentifier; }
    // The exit code of a thread that ended during start-up.
    DWORD GetThreadExitCode() const noexcept { return m_nThreadExitCode; }

private:
    static unsigned Address(const void* p) noexcept {
        return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
    }

    // The body of the system thread. It takes what it needs from the thread object before the procedure
    // can set the initialization event (Initialize waits until then, so the object is there), and it works
    // on handles of its own to both events, so that an abandoned thread never reaches a thread object that
    // has gone.
    static DWORD ThreadProc(void* pParameter) {
        auto* pThread = static_cast<CThreadT*>(pParameter);
        // A stack overflow on this thread is reported only from a signal stack of its own.
        const CExceptionFilter::CThreadSignalStackScope SignalStack;
        const DWORD nThreadIdentifier = GetCurrentThreadId();
        UL_TRACE(corvane::TRACE_LEVEL_THREAD, "Thread %d (0x%x) has been started\n",
                 static_cast<int>(nThreadIdentifier), nThreadIdentifier);
        DWORD nResult = 0;
        try {
            TOwner* const pOwner = pThread->m_pOwner;
            const OwnerThreadProc pOwnerThreadProc = pThread->m_pOwnerThreadProc;
            if (pOwner == nullptr || pOwnerThreadProc == nullptr)
                corvane::AssertionFailed(UL_CONTEXT, "m_pOwner && m_pOwnerThreadProc");
            if (pOwner == nullptr || pOwnerThreadProc == nullptr) corvane::ThrowHResult(E_POINTER);
            CEvent InitializationEvent;
            CEvent TerminationEvent;
            if (!DuplicateHandle(GetCurrentProcess(), pThread->m_InitializationEvent, GetCurrentProcess(),
                                 &InitializationEvent.m_h, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
                !DuplicateHandle(GetCurrentProcess(), pThread->m_TerminationEvent, GetCurrentProcess(),
                                 &TerminationEvent.m_h, 0, FALSE, DUPLICATE_SAME_ACCESS))
                corvane::ThrowHResult(HRESULT_FROM_WIN32(GetLastError()));
            nResult = (pOwner->*pOwnerThreadProc)(pThread, InitializationEvent, TerminationEvent);
            UL_TRACE(corvane::TRACE_LEVEL_THREAD, "Thread %d (0x%x) is being completed with result %d\n",
                     static_cast<int>(nThreadIdentifier), nThreadIdentifier, static_cast<int>(nResult));
        } catch (const abi::__forced_unwind&) {
            // pthread_exit unwinds with this; it must pass through.
            throw;
        } catch (const corvane::CHResultException& Exception) {
            UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception 0x%08x has been caught in thread %d\n",
                     static_cast<unsigned>(Exception.GetResult()), static_cast<int>(nThreadIdentifier));
            nResult = static_cast<DWORD>(Exception.GetResult());
        } catch (...) {
            UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "An exception has been caught in thread %d\n",
                     static_cast<int>(nThreadIdentifier));
            nResult = static_cast<DWORD>(E_FAIL);
        }
        return nResult;
    }

    TOwner* m_pOwner = nullptr;
    OwnerThreadProc m_pOwnerThreadProc = nullptr;
    CEvent m_InitializationEvent;
    CEvent m_TerminationEvent;
    CHandle m_ThreadHandle;
    DWORD m_nThreadIdentifier = 0;
    DWORD m_nThreadExitCode = 0;
};
