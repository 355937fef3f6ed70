// Worker threads: start-up and its failures, termination with and without time limit, abandoned threads,
// self-termination; the counted object pointers and the apartment guard.
#include "corvane/ulthread.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comrt/runtime.h"
#include "tracelog.h"

// The threads that registered a destructor of a thread-local object of this program. The loader keeps a
// module loaded until every thread that registered one has run it, which happens after the thread's handle
// is signalled: a library whose worker thread did so could not be unloaded when its last thread was seen
// to end.
static std::mutex g_RegistrationsLock;
static std::vector<DWORD> g_RegisteringThreads;

extern "C" int __cxa_thread_atexit(void (*pfnDestructor)(void*), void* pvObject, void* pvModule) noexcept {
    using Register = int (*)(void (*)(void*), void*, void*);
    static const auto pfnRegister = reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_thread_atexit"));
    {
        std::lock_guard Guard(g_RegistrationsLock);
        g_RegisteringThreads.push_back(GetCurrentThreadId());
    }
    return pfnRegister(pfnDestructor, pvObject, pvModule);
}

namespace {

class ThreadTest : public tracelog::CTraceTest {
protected:
    // The number of log lines that contain sText.
    int CountLines(const std::string& sText) const {
        int nCount = 0;
        for (const std::string& sLine : ReadLines())
            if (sLine.find(sText) != std::string::npos) ++nCount;
        return nCount;
    }
};

// What the owner's procedure does.
enum class Behaviour {
    WaitForTermination,     // sets the initialization event, ends when asked
    ReturnFive,             // returns 5 before the initialization event
    ThrowResult,            // raises E_INVALIDARG before the initialization event
    ThrowOther,             // throws a std::runtime_error before the initialization event
    ThrowAfterTermination,  // sets the initialization event, raises E_OUTOFMEMORY when asked to end
    IgnoreTermination,      // sets the initialization event, then waits for the test's Release event only
    TerminateItself,        // sets the initialization event, waits for Release, terminates its own thread object
};

class COwner {
public:
    explicit COwner(Behaviour Kind) : m_Kind(Kind) {}

    DWORD ThreadProc(CThreadT<COwner>* pThread, CEvent& InitializationEvent, CEvent& TerminationEvent) {
        m_nThreadIdentifier = GetCurrentThreadId();
        m_pThread = pThread;
        DWORD nResult = 0;
        switch (m_Kind) {
            case Behaviour::WaitForTermination:
                UL_ASSERT(InitializationEvent.Set());
                m_bSawTermination = WaitForSingleObject(TerminationEvent, INFINITE) == WAIT_OBJECT_0;
                break;
            case Behaviour::ReturnFive:
                nResult = 5;
                break;
            case Behaviour::ThrowResult:
                corvane::ThrowHResult(E_INVALIDARG);
            case Behaviour::ThrowOther:
                throw std::runtime_error("start-up failed");
            case Behaviour::ThrowAfterTermination:
                UL_ASSERT(InitializationEvent.Set());
                WaitForSingleObject(TerminationEvent, INFINITE);
                corvane::ThrowHResult(E_OUTOFMEMORY);
            case Behaviour::IgnoreTermination:
                UL_ASSERT(InitializationEvent.Set());
                WaitForSingleObject(m_Release, INFINITE);
                // By now the thread object may be gone; the events handed in must still work.
                m_bSawTermination = WaitForSingleObject(TerminationEvent, 0) == WAIT_OBJECT_0;
                break;
            case Behaviour::TerminateItself:
                UL_ASSERT(InitializationEvent.Set());
                // The thread object belongs to the starter until Initialize has returned.
                WaitForSingleObject(m_Release, INFINITE);
                m_bSelfTerminateResult = pThread->Terminate(INFINITE, false);
                m_bSawTermination = WaitForSingleObject(TerminationEvent, 0) == WAIT_OBJECT_0;
                break;
        }
        m_Finished.Set();
        return nResult;
    }

    const Behaviour m_Kind;
    CEvent m_Release{true, false};
    CEvent m_Finished{true, false};
    std::atomic<DWORD> m_nThreadIdentifier{0};
    std::atomic<CThreadT<COwner>*> m_pThread{nullptr};
    std::atomic<bool> m_bSawTermination{false};
    std::atomic<bool> m_bSelfTerminateResult{false};
};

using CThread = CThreadT<COwner>;

// A second handle to the running thread, to read its exit code after the thread object has let go.
HANDLE DuplicateThreadHandle(const CObjectPtrT<CThread>& pThread) {
    HANDLE h = nullptr;
    EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), pThread->GetThreadHandle(), GetCurrentProcess(), &h, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    return h;
}

TEST_F(ThreadTest, ProcedureWaitingForTerminationEndsWithinTheTimeout) {
    COwner Owner(Behaviour::WaitForTermination);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    EXPECT_NE(pThread->GetThreadHandle(), nullptr);
    EXPECT_EQ(pThread->GetThreadIdentifier(), Owner.m_nThreadIdentifier.load());
    EXPECT_NE(pThread->GetThreadIdentifier(), GetCurrentThreadId());
    EXPECT_EQ(Owner.m_pThread.load(), pThread.Get());
    CHandle Thread(DuplicateThreadHandle(pThread));

    EXPECT_TRUE(pThread->Terminate(10000, false));
    EXPECT_TRUE(Owner.m_bSawTermination);
    EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
    EXPECT_EQ(WaitForSingleObject(Thread, 0), WAIT_OBJECT_0);
    DWORD nExitCode = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(Thread, &nExitCode));
    EXPECT_EQ(nExitCode, 0u);
    // Once ended, there is nothing left to terminate.
    EXPECT_FALSE(pThread->Terminate(10000, false));
    EXPECT_FALSE(pThread->Terminate(0, true));
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(ThreadTest, ProcedureReturningBeforeInitializationFailsTheStartWithItsResult) {
    COwner Owner(Behaviour::ReturnFive);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    SetLastError(0);
    EXPECT_FALSE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(pThread->GetThreadExitCode(), 5u);
    EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
    EXPECT_FALSE(pThread->Terminate(INFINITE, false));
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(ThreadTest, ExceptionsNeverLeaveTheThreadAndBecomeItsExitCode) {
    {
        COwner Owner(Behaviour::ThrowResult);
        CObjectPtrT<CThread> pThread;
        pThread.Construct();
        EXPECT_FALSE(pThread->Initialize(&Owner, &COwner::ThreadProc));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
        const std::string sCaught =
            "An exception 0x80070057 has been caught in thread " + std::to_string(Owner.m_nThreadIdentifier.load());
        EXPECT_EQ(CountLines(sCaught), 1) << ReadLog();
    }
    {
        COwner Owner(Behaviour::ThrowOther);
        CObjectPtrT<CThread> pThread;
        pThread.Construct();
        EXPECT_FALSE(pThread->Initialize(&Owner, &COwner::ThreadProc));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_FAIL));
        const std::string sCaught =
            "An exception has been caught in thread " + std::to_string(Owner.m_nThreadIdentifier.load());
        EXPECT_EQ(CountLines(sCaught), 1) << ReadLog();
    }
    {
        // After a successful start the exception still ends up as the exit code.
        COwner Owner(Behaviour::ThrowAfterTermination);
        CObjectPtrT<CThread> pThread;
        pThread.Construct();
        ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
        CHandle Thread(DuplicateThreadHandle(pThread));
        EXPECT_TRUE(pThread->Terminate(INFINITE, false));
        DWORD nExitCode = 0;
        EXPECT_TRUE(GetExitCodeThread(Thread, &nExitCode));
        EXPECT_EQ(nExitCode, static_cast<DWORD>(E_OUTOFMEMORY));
    }
}

TEST_F(ThreadTest, NeverStartedObjectHasNothingToTerminate) {
    {
        CObjectPtrT<CThread> pThread;
        pThread.Construct();
        EXPECT_FALSE(pThread->Terminate(INFINITE, false));
        EXPECT_FALSE(pThread->Terminate(0, true));
        EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
    }
    // A plain object (not through the pointer) behaves the same, and its destruction does not wait.
    { CThread Thread; }
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(ThreadTest, ZeroTimeoutWithoutForceOnABusyThreadKeepsTheHandle) {
    COwner Owner(Behaviour::IgnoreTermination);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    EXPECT_FALSE(pThread->Terminate(0, false));
    EXPECT_NE(pThread->GetThreadHandle(), nullptr);
    EXPECT_FALSE(pThread->Terminate(20, false));
    EXPECT_NE(pThread->GetThreadHandle(), nullptr);
    EXPECT_EQ(WaitForSingleObject(Owner.m_Finished, 0), WAIT_TIMEOUT);

    EXPECT_TRUE(Owner.m_Release.Set());
    EXPECT_TRUE(pThread->Terminate(INFINITE, false));
    EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
    EXPECT_TRUE(Owner.m_bSawTermination);
    // Without force nothing is reported: the caller decides what a late thread means.
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(ThreadTest, ForcedTerminationAbandonsTheThreadWhichRunsOnSafely) {
    COwner Owner(Behaviour::IgnoreTermination);
    {
        CObjectPtrT<CThread> pThread;
        pThread.Construct();
        ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
        EXPECT_TRUE(pThread->Terminate(30, true));
        EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
        const std::string sThread = std::to_string(Owner.m_nThreadIdentifier.load());
        EXPECT_EQ(CountLines("Thread " + sThread), 2) << ReadLog();
        EXPECT_EQ(CountLines(" is being forcefully terminated from thread " + std::to_string(GetCurrentThreadId())), 1)
            << ReadLog();
        EXPECT_EQ(CountLines(" cannot be killed and is left running detached"), 1) << ReadLog();
        // The last reference goes while the thread still runs; this does not wait for it.
    }
    EXPECT_EQ(WaitForSingleObject(Owner.m_Finished, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(Owner.m_Release.Set());
    EXPECT_EQ(WaitForSingleObject(Owner.m_Finished, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(Owner.m_bSawTermination);
}

TEST_F(ThreadTest, ThreadMayTerminateItselfWithoutWaiting) {
    COwner Owner(Behaviour::TerminateItself);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    EXPECT_TRUE(Owner.m_Release.Set());
    EXPECT_EQ(WaitForSingleObject(Owner.m_Finished, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(Owner.m_bSelfTerminateResult);
    EXPECT_TRUE(Owner.m_bSawTermination);
    EXPECT_EQ(pThread->GetThreadHandle(), nullptr);
    EXPECT_FALSE(pThread->Terminate(INFINITE, false));
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(ThreadTest, ReleasingTheLastReferenceWaitsForTheThread) {
    COwner Owner(Behaviour::WaitForTermination);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    pThread.Release();
    EXPECT_EQ(WaitForSingleObject(Owner.m_Finished, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(Owner.m_bSawTermination);
}

TEST_F(ThreadTest, StartingAgainWhileRunningIsRefused) {
    COwner Owner(Behaviour::WaitForTermination);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    try {
        pThread->Initialize(&Owner, &COwner::ThreadProc);
        ADD_FAILURE() << "a second start was accepted";
    } catch (const corvane::CHResultException& Exception) {
        EXPECT_EQ(Exception.GetResult(), E_UNEXPECTED);
    }
    EXPECT_EQ(CountLines("Assertion failed: !m_pOwner && pOwner"), 1) << ReadLog();
    EXPECT_TRUE(pThread->Terminate(INFINITE, false));
    // A null owner gives a failed start, not a crash.
    CObjectPtrT<CThread> pOther;
    pOther.Construct();
    EXPECT_FALSE(pOther->Initialize(nullptr, &COwner::ThreadProc));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_POINTER));
    EXPECT_EQ(CountLines("Assertion failed: m_pOwner && m_pOwnerThreadProc"), 1) << ReadLog();
}

// Counts its constructions and destructions; its destructor takes and drops a reference to itself.
class CCounted {
public:
    static inline std::atomic<int> s_nConstructed{0};
    static inline std::atomic<int> s_nDestroyed{0};

    explicit CCounted(int nValue = 0) : m_nValue(nValue) {
        if (nValue < 0) corvane::ThrowHResult(E_INVALIDARG);
        ++s_nConstructed;
    }
    ~CCounted() {
        CObjectPtrT<CCounted> pSelf(this);
        pSelf.Release();
        ++s_nDestroyed;
    }
    int m_nValue;
};

TEST_F(ThreadTest, ObjectPtrHoldsAModuleLockPerObjectAndDestroysOnce) {
    const LONG nLocks = GetModuleLockCount();
    const int nDestroyed = CCounted::s_nDestroyed;
    {
        CObjectPtrT<CCounted> p;
        EXPECT_FALSE(p);
        p.Construct(7);
        EXPECT_EQ(GetModuleLockCount(), nLocks + 1);
        EXPECT_EQ(p->m_nValue, 7);
        CObjectPtrT<CCounted> pCopy(p);
        CObjectPtrT<CCounted> pOther;
        pOther.Construct(8);
        EXPECT_EQ(GetModuleLockCount(), nLocks + 2);
        pCopy.Swap(&pOther);
        EXPECT_EQ(pCopy->m_nValue, 8);
        EXPECT_EQ(pOther->m_nValue, 7);
        pCopy.Release();
        EXPECT_FALSE(pCopy);
        EXPECT_EQ(CCounted::s_nDestroyed, nDestroyed + 1);
        EXPECT_EQ(GetModuleLockCount(), nLocks + 1);
        pOther = p;
        p.Release();
        EXPECT_EQ(CCounted::s_nDestroyed, nDestroyed + 1);
    }
    EXPECT_EQ(CCounted::s_nDestroyed, nDestroyed + 2);
    EXPECT_EQ(GetModuleLockCount(), nLocks);
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(ThreadTest, FailedConstructionRaisesAndLeavesNothingBehind) {
    const LONG nLocks = GetModuleLockCount();
    CObjectPtrT<CCounted> p;
    try {
        p.Construct(-1);
        ADD_FAILURE() << "the construction did not fail";
    } catch (const corvane::CHResultException& Exception) {
        EXPECT_EQ(Exception.GetResult(), E_INVALIDARG);
    }
    EXPECT_FALSE(p);
    EXPECT_EQ(GetModuleLockCount(), nLocks);
    // Once from the constructor, once from Construct passing the failure on.
    EXPECT_EQ(CountLines("Exception 0x80070057"), 2) << ReadLog();

    // Misuse is reported: an empty pointer dereferenced, a second Construct, a missing Swap partner.
    EXPECT_EQ(p.operator->(), nullptr);
    EXPECT_EQ(CountLines("Assertion failed: m_pObject"), 1);
    p.Construct(1);
    p.Construct(2);
    EXPECT_EQ(CountLines("Assertion failed: !m_pObject"), 1);
    EXPECT_EQ(p->m_nValue, 2);
    EXPECT_EQ(GetModuleLockCount(), nLocks + 1);
    p.Swap(nullptr);
    EXPECT_EQ(CountLines("Assertion failed: ppObject"), 1);
    EXPECT_EQ(p->m_nValue, 2);
}

// A COM object counting through its own AddRef and Release.
struct ICounted : IUnknown {
    static constexpr IID kIid = MakeGuid("5B0C3A51-7E2D-4C8F-9A61-0D4E3F2A1B77");
};
class CComCounted : public ICounted {
public:
    using Interfaces = InterfaceList<InterfaceEntry<ICounted>>;
    static inline std::atomic<int> s_nDestroyed{0};
    ~CComCounted() { ++s_nDestroyed; }
};

TEST_F(ThreadTest, ObjectPtrToComObjectCountsThroughTheObject) {
    CComObjectT<CComCounted>* pObject = nullptr;
    ASSERT_EQ(CComObjectT<CComCounted>::CreateInstance(&pObject), S_OK);
    const int nDestroyed = CComCounted::s_nDestroyed;
    {
        CObjectPtr<CComCounted> p(pObject);
        pObject->Release();  // p holds the only reference now
        CObjectPtr<CComCounted> pCopy = p;
        p.Release();
        EXPECT_EQ(CComCounted::s_nDestroyed, nDestroyed);
        EXPECT_TRUE(pCopy == pObject);
    }
    EXPECT_EQ(CComCounted::s_nDestroyed, nDestroyed + 1);
}

TEST_F(ThreadTest, ApartmentGuardEntersAndLeavesTheMultithreadedApartment) {
    std::thread([] {
        EXPECT_FALSE(IsMultiThreadedApartment());
        {
            CMultiThreadedApartment Apartment;
            EXPECT_TRUE(IsMultiThreadedApartment());
            {
                CMultiThreadedApartment Nested;
                EXPECT_TRUE(IsMultiThreadedApartment());
            }
            EXPECT_TRUE(IsMultiThreadedApartment());
        }
        EXPECT_FALSE(IsMultiThreadedApartment());
    }).join();
    EXPECT_EQ(ReadLog(), "");

    // A thread that is in the single-threaded apartment stays there.
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        { CMultiThreadedApartment Apartment; }
        EXPECT_TRUE(IsSingleThreadedApartment());
        CoUninitialize();
        EXPECT_FALSE(IsSingleThreadedApartment());
    }).join();
    EXPECT_EQ(CountLines("Assertion failed: SUCCEEDED(CoInitializeEx(0, COINIT_MULTITHREADED))"), 1) << ReadLog();
}

TEST_F(ThreadTest, ThreadLeavesNothingToRunAfterItsHandleIsSignalled) {
    COwner Owner(Behaviour::WaitForTermination);
    CObjectPtrT<CThread> pThread;
    pThread.Construct();
    ASSERT_TRUE(pThread->Initialize(&Owner, &COwner::ThreadProc));
    EXPECT_TRUE(pThread->Terminate(INFINITE, false));
    std::lock_guard Guard(g_RegistrationsLock);
    for (DWORD nThread : g_RegisteringThreads) EXPECT_NE(nThread, Owner.m_nThreadIdentifier.load());
}

}  // namespace
