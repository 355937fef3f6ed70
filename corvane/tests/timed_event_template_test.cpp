// The timed event template over the daemon: binding, replacing and destroying an event, handlers that
// throw or destroy their own event, counted owners; and the module's daemons.
#include "TimedEventTestSupport.h"

namespace {

class COwner {
public:
    using CTimedEvent = CSimpleTimedEventT<COwner>;

    void OnTimedEvent(CTimedEvent* pTimedEvent) {
        m_pLastTimedEvent = pTimedEvent;
        ++m_nCalls;
        if (m_Action) m_Action(pTimedEvent);
    }
    void OnOtherTimedEvent(CTimedEvent*) { ++m_nOtherCalls; }

    std::atomic<int> m_nCalls{0};
    std::atomic<int> m_nOtherCalls{0};
    std::atomic<CTimedEvent*> m_pLastTimedEvent{nullptr};
    std::function<void(CTimedEvent*)> m_Action;
};

TEST_F(TimedEventTest, TimedEventDoesNothingBeforeInitializeThenCallsItsHandler) {
    COwner Owner;
    COwner::CTimedEvent TimedEvent;
    TimedEvent.Create(&Owner, 1, &COwner::OnTimedEvent);
    EXPECT_EQ(TimedEvent.GetEvent(), 0u);
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);

    TimedEvent.Initialize(m_pDaemon);
    TimedEvent.Create(&Owner, 1, &COwner::OnTimedEvent);
    EXPECT_NE(TimedEvent.GetEvent(), 0u);
    ASSERT_TRUE(Eventually([&] { return Owner.m_nCalls >= 3; }));
    EXPECT_EQ(Owner.m_pLastTimedEvent.load(), &TimedEvent);

    // Binding another daemon is a mistake that is reported.
    CObjectPtrT<CTimedEventDaemon> pOther;
    pOther.Construct();
    TimedEvent.Initialize(pOther);
    EXPECT_EQ(CountLines("Assertion failed: !m_pTimedEventDaemon || m_pTimedEventDaemon == pTimedEventDaemon"), 1);
    TimedEvent.Initialize(m_pDaemon);
}

TEST_F(TimedEventTest, ReplacedOrDestroyedEventNoLongerReachesTheHandler) {
    COwner Owner;
    {
        COwner::CTimedEvent TimedEvent;
        TimedEvent.Initialize(m_pDaemon);
        TimedEvent.Create(&Owner, 0, &COwner::OnTimedEvent);
        ASSERT_TRUE(Eventually([&] { return Owner.m_nCalls >= 50; }));
        const std::uintptr_t nOld = TimedEvent.GetEvent();
        // The replacement is due far away; after Create the fast old one must be gone for good.
        TimedEvent.Create(&Owner, 600000, &COwner::OnOtherTimedEvent);
        const int nCalls = Owner.m_nCalls;
        EXPECT_NE(TimedEvent.GetEvent(), nOld);
        EXPECT_EQ(m_pDaemon->KillEvent(nOld), E_INVALIDARG);
        EXPECT_EQ(m_pDaemon->GetEventCount(), 1u);
        Sleep(30);
        EXPECT_EQ(Owner.m_nCalls, nCalls);

        TimedEvent.Destroy();
        EXPECT_EQ(TimedEvent.GetEvent(), 0u);
        EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
        TimedEvent.Destroy();
        // Created again after Destroy.
        TimedEvent.Create(&Owner, 1, &COwner::OnOtherTimedEvent);
        ASSERT_TRUE(Eventually([&] { return Owner.m_nOtherCalls >= 2; }));
    }
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    EXPECT_EQ(CountLines("Assertion failed"), 0) << ReadLog();
}

TEST_F(TimedEventTest, HandlerMayDestroyOrRecreateItsOwnEvent) {
    COwner Owner;
    COwner::CTimedEvent TimedEvent;
    TimedEvent.Initialize(m_pDaemon);
    Owner.m_Action = [&](COwner::CTimedEvent* pTimedEvent) {
        if (Owner.m_nCalls == 1)
            pTimedEvent->Create(&Owner, 1, &COwner::OnTimedEvent);
        else
            pTimedEvent->Destroy();
    };
    TimedEvent.Create(&Owner, 1, &COwner::OnTimedEvent);
    ASSERT_TRUE(Eventually([&] { return Owner.m_nCalls == 2 && TimedEvent.GetEvent() == 0; }));
    Sleep(20);
    EXPECT_EQ(Owner.m_nCalls, 2);
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(TimedEventTest, DestroyingTheTimedEventWaitsForItsRunningHandler) {
    COwner Owner;
    CEvent Entered(true, false);
    CEvent Release(true, false);
    std::atomic<bool> bFinished{false};
    Owner.m_Action = [&](COwner::CTimedEvent*) {
        Entered.Set();
        WaitForSingleObject(Release, INFINITE);
        bFinished = true;
    };
    std::thread Releaser;
    {
        COwner::CTimedEvent TimedEvent;
        TimedEvent.Initialize(m_pDaemon);
        TimedEvent.Create(&Owner, 0, &COwner::OnTimedEvent);
        ASSERT_EQ(WaitForSingleObject(Entered, 10000), WAIT_OBJECT_0);
        Releaser = std::thread([&] {
            Sleep(50);
            Release.Set();
        });
    }
    EXPECT_TRUE(bFinished);
    EXPECT_EQ(Owner.m_nCalls, 1);
    Releaser.join();
    EXPECT_EQ(ReadLog(), "");
    EXPECT_TRUE(m_pDaemon->Terminate(10000, false));
}

TEST_F(TimedEventTest, ThrowingHandlerIsCaughtAndLeavesTheEventIdle) {
    COwner Owner;
    Owner.m_Action = [](COwner::CTimedEvent*) { corvane::ThrowHResult(E_ACCESSDENIED); };
    {
        COwner::CTimedEvent TimedEvent;
        TimedEvent.Initialize(m_pDaemon);
        TimedEvent.Create(&Owner, 1, &COwner::OnTimedEvent);
        ASSERT_TRUE(Eventually([&] { return Owner.m_nCalls >= 3; }));
    }
    EXPECT_GE(CountLines("An exception has been caught"), 3) << ReadLog();
    EXPECT_EQ(CountLines("Worker thread failed to get idle"), 0) << ReadLog();
}

// An owner that is a COM object, held by the timed event through its own reference count.
struct ITicking : IUnknown {
    static constexpr IID kIid = MakeGuid("8C1D2E3F-4A5B-4C6D-8E7F-901A2B3C4D5E");
};
class CTicking : public ITicking {
public:
    using Interfaces = InterfaceList<InterfaceEntry<ITicking>>;
    class CTimedEvent : public CTimedEventT<CTimedEvent, CTicking, CObjectPtr<CTicking>> {};

    void OnTimedEvent(CTimedEvent*) { ++m_nCalls; }
    std::atomic<int> m_nCalls{0};
};

TEST_F(TimedEventTest, CountedOwnerIsHeldWhileTheEventIsBound) {
    CComObjectT<CTicking>* pOwner = nullptr;
    ASSERT_EQ(CComObjectT<CTicking>::CreateInstance(&pOwner), S_OK);
    {
        CTicking::CTimedEvent TimedEvent;
        TimedEvent.Initialize(m_pDaemon);
        TimedEvent.Create(pOwner, 1, &CTicking::OnTimedEvent);
        ASSERT_TRUE(Eventually([&] { return pOwner->m_nCalls >= 2; }));
        TimedEvent.Destroy();
        // Held until the timed event goes, even after Destroy.
        EXPECT_EQ(pOwner->AddRef(), 3u);
        pOwner->Release();
    }
    EXPECT_EQ(pOwner->AddRef(), 2u);
    pOwner->Release();
    pOwner->Release();
}

// The module's daemons (each case in a process of its own under CTest; run alone they still hold, as the
// default daemon is destroyed last).

TEST(ModuleTimedEventDaemonTest, CriticalSectionsDaemonIsSharedAndCreatedAgainAfterDestruction) {
    const LONG nLocks = GetModuleLockCount();
    CObjectPtrT<CTimedEventDaemon> pDaemon = CTimedEventDaemon::GetCriticalSectionsTimedEventDaemon();
    ASSERT_TRUE(pDaemon);
    EXPECT_TRUE(CTimedEventDaemon::GetCriticalSectionsTimedEventDaemon() == pDaemon);
    EXPECT_NE(pDaemon->GetThreadIdentifier(), 0u);
    // It does not keep the module locked.
    EXPECT_EQ(GetModuleLockCount(), nLocks);
    const std::uintptr_t nParameter = reinterpret_cast<std::uintptr_t>(pDaemon.Get());
    pDaemon.Release();

    CTimedEventDaemon::DestroyCriticalSectionsTimedEventDaemon(nParameter);
    EXPECT_EQ(GetModuleLockCount(), nLocks);
    pDaemon = CTimedEventDaemon::GetCriticalSectionsTimedEventDaemon();
    ASSERT_TRUE(pDaemon);
    CRecorder Recorder;
    EventContext Context{&Recorder, 1, nullptr};
    std::uintptr_t nEvent = 0;
    EXPECT_EQ(pDaemon->SetEvent(1, &CRecorder::Proc, reinterpret_cast<std::uintptr_t>(&Context), 0, &nEvent), S_OK);
    ASSERT_TRUE(Eventually([&] { return Recorder.Count(1) == 1; }));
    EXPECT_EQ(pDaemon->KillEvent(nEvent), S_OK);
    pDaemon.Release();
}

TEST(ModuleTimedEventDaemonTest, DefaultDaemonIsGoneForGoodOnceDestroyed) {
    const LONG nLocks = GetModuleLockCount();
    CObjectPtrT<CTimedEventDaemon> pDaemon = CTimedEventDaemon::GetDefaultTimedEventDaemon();
    if (!pDaemon) GTEST_SKIP() << "an earlier run in this process destroyed the default daemon";
    EXPECT_TRUE(CTimedEventDaemon::GetDefaultTimedEventDaemon() == pDaemon);
    EXPECT_EQ(GetModuleLockCount(), nLocks);
    CRecorder Recorder;
    EventContext Context{&Recorder, 1, nullptr};
    std::uintptr_t nEvent = 0;
    EXPECT_EQ(pDaemon->SetEvent(1, &CRecorder::Proc, reinterpret_cast<std::uintptr_t>(&Context),
                                CTimedEventDaemon::TIMED_EVENT_PERIODIC, &nEvent),
              S_OK);
    ASSERT_TRUE(Eventually([&] { return Recorder.Count(1) >= 2; }));

    const std::uintptr_t nParameter = reinterpret_cast<std::uintptr_t>(pDaemon.Get());
    CTimedEventDaemon::DestroyDefaultTimedEventDaemon(nParameter);
    EXPECT_FALSE(CTimedEventDaemon::GetDefaultTimedEventDaemon());
    // The thread has ended; the daemon itself goes with this last reference.
    EXPECT_EQ(pDaemon->GetThreadIdentifier(), 0u);
    const std::size_t nCount = Recorder.Count(1);
    Sleep(20);
    EXPECT_EQ(Recorder.Count(1), nCount);
    // The daemon's lock is back with the module while this last reference holds it.
    EXPECT_EQ(GetModuleLockCount(), nLocks + 1);
    pDaemon.Release();
    EXPECT_EQ(GetModuleLockCount(), nLocks);
    // A second destruction (the module's own at its end) finds nothing to do.
    CTimedEventDaemon::DestroyDefaultTimedEventDaemon(nParameter);
    EXPECT_FALSE(CTimedEventDaemon::GetDefaultTimedEventDaemon());
}

}  // namespace
