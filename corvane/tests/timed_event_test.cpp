// The timed event daemon: firing order and counts, killing from inside and outside a procedure, the tick
// counter's wrap, failures. The timed event template and the module's daemons are in
// timed_event_template_test.cpp.
#include "TimedEventTestSupport.h"

namespace {

TEST_F(TimedEventTest, OneShotFiresOnceWithItsArgumentsAndStaysListedUntilKilled) {
    EventContext Context{&m_Recorder, 1, nullptr};
    const std::uintptr_t nEvent = Set(Context, 10, 0);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(1) == 1; }));
    // A later periodic event fires many times meanwhile; the one-shot one stays at one firing.
    EventContext Periodic{&m_Recorder, 2, nullptr};
    const std::uintptr_t nPeriodic = Set(Periodic, 1, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(2) >= 20; }));
    EXPECT_EQ(m_Recorder.Count(1), 1u);
    EXPECT_EQ(m_pDaemon->GetEventCount(), 2u);

    const Firing First = m_Recorder.Firings().front();
    EXPECT_EQ(First.nEvent, nEvent);
    EXPECT_EQ(First.pnArguments[0], 0u);
    EXPECT_EQ(First.pnArguments[1], 0u);
    EXPECT_EQ(First.pnArguments[2], 0u);

    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
    EXPECT_EQ(m_pDaemon->KillEvent(nPeriodic), S_OK);
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(TimedEventTest, KillingAnUnknownOrKilledEventFailsAndChangesNothing) {
    EventContext Context{&m_Recorder, 1, nullptr};
    const std::uintptr_t nEvent = Set(Context, 100000, 0);
    const std::uintptr_t nOther = Set(Context, 100000, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    EXPECT_EQ(m_pDaemon->KillEvent(nOther), S_OK);
    for (std::uintptr_t nBad : {std::uintptr_t{0}, std::uintptr_t{0x1234}, nOther, nEvent + 1})
        EXPECT_EQ(m_pDaemon->KillEvent(nBad), E_INVALIDARG);
    EXPECT_EQ(m_pDaemon->GetEventCount(), 1u);
    EXPECT_EQ(CountLines("Check failed 0x80070057 in m_TimedEventList.IsValidPosition(Position)"), 4) << ReadLog();
    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), E_INVALIDARG);
}

TEST_F(TimedEventTest, PeriodicEventOfDelayZeroFiresContinuouslyUntilKilled) {
    EventContext Context{&m_Recorder, 1, nullptr};
    const std::uintptr_t nEvent = Set(Context, 0, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(1) >= 500; }));
    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
    // KillEvent waited for a running firing, and nothing fires after it.
    const std::size_t nCount = m_Recorder.Count(1);
    Sleep(30);
    EXPECT_EQ(m_Recorder.Count(1), nCount);
}

// The daemon must be stoppable even when an event is always due and it never waits.
TEST_F(TimedEventTest, TerminateStopsADaemonThatIsAlwaysBusy) {
    EventContext Context{&m_Recorder, 1, nullptr};
    Set(Context, 0, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(1) >= 10; }));
    EXPECT_TRUE(m_pDaemon->Terminate(10000, false));
    const std::size_t nCount = m_Recorder.Count(1);
    Sleep(20);
    EXPECT_EQ(m_Recorder.Count(1), nCount);
    EXPECT_FALSE(m_pDaemon->Terminate(10000, false));
    // Records stay until the daemon goes.
    EXPECT_EQ(m_pDaemon->GetEventCount(), 1u);
}

TEST_F(TimedEventTest, EventsDueTogetherFireInTheOrderTheyWereSet) {
    EventContext Blocker{&m_Recorder, 0, nullptr};
    const HANDLE hRelease = BlockDaemon(Blocker);
    // All due at once (delay 0, set within a tick or two): only the order of setting may decide.
    std::vector<EventContext> Contexts;
    Contexts.reserve(20);
    for (int i = 1; i <= 20; ++i) Contexts.push_back({&m_Recorder, i, nullptr});
    for (EventContext& Context : Contexts) Set(Context, 0, 0);
    SetEvent(hRelease);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Firings().size() == 21; }));
    std::vector<int> Expected{0};
    for (int i = 1; i <= 20; ++i) Expected.push_back(i);
    EXPECT_EQ(m_Recorder.Tags(), Expected);
}

TEST_F(TimedEventTest, EarlierDueTimeFiresFirstWhateverTheOrderOfSetting) {
    EventContext Blocker{&m_Recorder, 0, nullptr};
    const HANDLE hRelease = BlockDaemon(Blocker);
    EventContext Late{&m_Recorder, 1, nullptr};
    EventContext Early{&m_Recorder, 2, nullptr};
    Set(Late, 60, 0);
    Set(Early, 0, 0);
    SetEvent(hRelease);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Firings().size() == 3; }));
    EXPECT_EQ(m_Recorder.Tags(), (std::vector<int>{0, 2, 1}));
}

// Events of a few due times, set in a shuffled order with some killed before any fires: they fire by due
// time, equal ones in the order they were set, and the killed ones not at all.
TEST_F(TimedEventTest, LinedUpEventsFireByDueTimeThenOrderOfSettingWithoutTheKilledOnes) {
    EventContext Blocker{&m_Recorder, 0, nullptr};
    const HANDLE hRelease = BlockDaemon(Blocker);
    constexpr int EVENT_COUNT = 120;
    // Due times 40 ms apart, far more than setting them all takes, so that only the delay and the order of
    // setting decide.
    constexpr DWORD DELAY_STEP = 40;
    std::vector<EventContext> Contexts;
    Contexts.reserve(EVENT_COUNT);
    std::vector<std::pair<DWORD, int>> Expected;  // (delay, tag) of the events that stay
    for (int i = 1; i <= EVENT_COUNT; ++i) {
        const DWORD nDelay = DELAY_STEP * static_cast<DWORD>((i * 7) % 5);
        Contexts.push_back({&m_Recorder, i, nullptr});
        const std::uintptr_t nEvent = Set(Contexts.back(), nDelay, 0);
        if (i % 3 == 0)
            EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
        else
            Expected.push_back({nDelay, i});
    }
    std::stable_sort(Expected.begin(), Expected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<int> ExpectedTags{0};
    for (const auto& e : Expected) ExpectedTags.push_back(e.second);
    SetEvent(hRelease);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Firings().size() == ExpectedTags.size(); }));
    Sleep(DELAY_STEP);
    EXPECT_EQ(m_Recorder.Tags(), ExpectedTags);
}

TEST_F(TimedEventTest, ShorterEventSetDuringALongWaitWakesTheDaemon) {
    EventContext Long{&m_Recorder, 1, nullptr};
    Set(Long, 600000, 0);
    Sleep(20);  // the daemon now waits for the long one
    EventContext Short{&m_Recorder, 2, nullptr};
    Set(Short, 10, 0);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(2) == 1; }));
    EXPECT_EQ(m_Recorder.Count(1), 0u);
}

TEST_F(TimedEventTest, OrderAndWaitsHoldAcrossTheTickCounterWrap) {
    // The events are set just before the counter wraps: the late one is due after the wrap, at a smaller
    // tick than the early one. Signed differences keep them in time order.
    EventContext Blocker{&m_Recorder, 0, nullptr};
    const HANDLE hRelease = BlockDaemon(Blocker);
    comrt::SetTickCountOrigin(0xFFFFFFFFu - 40);
    const DWORD nSetTick = GetTickCount();
    EventContext Late{&m_Recorder, 1, nullptr};
    EventContext Early{&m_Recorder, 2, nullptr};
    Set(Late, 120, 0);
    Set(Early, 10, 0);
    SetEvent(hRelease);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Firings().size() == 3; }));
    const std::vector<Firing> Firings = m_Recorder.Firings();
    EXPECT_EQ(m_Recorder.Tags(), (std::vector<int>{0, 2, 1}));
    // The late one fired after the wrap, no earlier than its delay.
    EXPECT_LT(Firings[2].nTick, 0x80000000u);
    EXPECT_GE(static_cast<LONG>(Firings[2].nTick - nSetTick), 120);

    // A periodic event keeps its period across the wrap.
    comrt::SetTickCountOrigin(0xFFFFFFFFu - 25);
    EventContext Periodic{&m_Recorder, 3, nullptr};
    const std::uintptr_t nPeriodic = Set(Periodic, 10, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(3) >= 6; }));
    EXPECT_EQ(m_pDaemon->KillEvent(nPeriodic), S_OK);
    DWORD nPrevious = 0;
    bool bFirst = true;
    for (const Firing& f : m_Recorder.Firings()) {
        if (f.nTag != 3) continue;
        // The procedure reads the counter a little after the daemon took the firing's start tick, so one
        // gap may look a millisecond short; a signed-difference mistake would show up as a huge or negative one.
        if (!bFirst) {
            EXPECT_GE(static_cast<LONG>(f.nTick - nPrevious), 9);
            EXPECT_LT(static_cast<LONG>(f.nTick - nPrevious), 10000);
        }
        nPrevious = f.nTick;
        bFirst = false;
    }
    EXPECT_LT(nPrevious, 0x80000000u);
}

TEST_F(TimedEventTest, ProcedureKillingItsOwnEventReturnsAtOnce) {
    std::atomic<HRESULT> nKillResult{E_FAIL};
    EventContext Context{&m_Recorder, 1, [&](std::uintptr_t nEvent) { nKillResult = m_pDaemon->KillEvent(nEvent); }};
    Set(Context, 0, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(1) == 1 && nKillResult == S_OK; }));
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    Sleep(20);
    EXPECT_EQ(m_Recorder.Count(1), 1u);
    // Waiting for itself would have ended in the idleness warning.
    EXPECT_EQ(ReadLog(), "");
}

TEST_F(TimedEventTest, KillingFromAnotherThreadWaitsForTheRunningProcedure) {
    CEvent Entered(true, false);
    CEvent Release(true, false);
    std::atomic<bool> bFinished{false};
    EventContext Context{&m_Recorder, 1, [&](std::uintptr_t) {
                             Entered.Set();
                             WaitForSingleObject(Release, INFINITE);
                             bFinished = true;
                         }};
    const std::uintptr_t nEvent = Set(Context, 0, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    ASSERT_EQ(WaitForSingleObject(Entered, 10000), WAIT_OBJECT_0);
    std::thread Releaser([&] {
        Sleep(50);
        Release.Set();
    });
    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
    EXPECT_TRUE(bFinished);
    Releaser.join();
    EXPECT_EQ(ReadLog(), "");
    // The procedure's last steps are done once the thread has ended.
    EXPECT_TRUE(m_pDaemon->Terminate(10000, false));
}

// Many periodic events keep the daemon busy while they are killed one by one. In each round one event's
// procedure is held: killing another event returns while it is still held, and killing the held one returns
// once its own procedure has ended, although the next procedure starts at once and blocks until the kill
// has returned. A kill that waited for the daemon to be idle rather than for its own procedure would miss
// the short moment between the two and give up only after five seconds, with the idleness warning.
TEST_F(TimedEventTest, KillWaitsForItsOwnProcedureOnlyWhileOthersKeepFiring) {
    constexpr int EVENT_COUNT = 16;
    struct State {
        std::atomic<bool> bHold{false};
        std::atomic<bool> bFinished{false};
        std::atomic<int> nFirings{0};
    };
    std::vector<State> States(EVENT_COUNT);
    CEvent Entered(true, false);
    CEvent Release(true, false);
    // Closed by a held procedure: the procedures after it wait until this thread opens it again.
    CEvent Gate(true, true);
    std::vector<EventContext> Contexts;
    Contexts.reserve(EVENT_COUNT);
    for (int i = 0; i < EVENT_COUNT; ++i)
        Contexts.push_back({&m_Recorder, i, [&, i](std::uintptr_t) {
                                ++States[i].nFirings;
                                if (States[i].bHold.exchange(false)) {
                                    Gate.Reset();
                                    Entered.Set();
                                    WaitForSingleObject(Release, 10000);
                                    States[i].bFinished = true;
                                } else {
                                    WaitForSingleObject(Gate, 10000);
                                }
                            }});
    std::vector<std::uintptr_t> Events;
    for (EventContext& Context : Contexts) Events.push_back(Set(Context, 1, CTimedEventDaemon::TIMED_EVENT_PERIODIC));

    for (int iHeld = 0, iOther = EVENT_COUNT - 1; iHeld < iOther; ++iHeld, --iOther) {
        SCOPED_TRACE(iHeld);
        States[iHeld].bHold = true;
        ASSERT_EQ(WaitForSingleObject(Entered, 10000), WAIT_OBJECT_0);
        Entered.Reset();
        // Not running: the kill does not wait for the procedure that is.
        EXPECT_EQ(m_pDaemon->KillEvent(Events[iOther]), S_OK);
        EXPECT_FALSE(States[iHeld].bFinished);
        std::thread Releaser([&] {
            Sleep(20);
            Release.Set();
        });
        EXPECT_EQ(m_pDaemon->KillEvent(Events[iHeld]), S_OK);
        EXPECT_TRUE(States[iHeld].bFinished);
        Releaser.join();
        Release.Reset();
        Gate.Set();
    }
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    // Killed events fire no more.
    std::vector<int> Firings;
    for (const State& s : States) Firings.push_back(s.nFirings);
    Sleep(20);
    for (int i = 0; i < EVENT_COUNT; ++i) EXPECT_EQ(States[i].nFirings, Firings[i]) << i;
    EXPECT_EQ(CountLines("Worker thread failed to get idle"), 0) << ReadLog();
}

// Thousands of events firing continuously, killed by two threads at once and by their own procedures.
TEST_F(TimedEventTest, ManyEventsKilledWhileFiringFromSeveralThreads) {
    constexpr int EVENT_COUNT = 2000;
    std::vector<std::atomic<bool>> Killed(EVENT_COUNT);
    std::vector<EventContext> Contexts;
    Contexts.reserve(EVENT_COUNT);
    for (int i = 0; i < EVENT_COUNT; ++i) {
        Contexts.push_back({&m_Recorder, i, nullptr});
        // Every tenth event kills itself on its third firing, unless a killer thread was first.
        if (i % 10 == 0)
            Contexts.back().Action = [&, i, nCalls = 0](std::uintptr_t nEvent) mutable {
                if (++nCalls == 3 && !Killed[i].exchange(true)) {
                    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
                }
            };
    }
    std::vector<std::uintptr_t> Events;
    for (int i = 0; i < EVENT_COUNT; ++i)
        Events.push_back(Set(Contexts[i], static_cast<DWORD>(i % 4), CTimedEventDaemon::TIMED_EVENT_PERIODIC));
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Firings().size() >= 3u * EVENT_COUNT; }));
    auto Kill = [&](int iFirst) {
        for (int i = iFirst; i < EVENT_COUNT; i += 2)
            if (!Killed[i].exchange(true)) {
                EXPECT_EQ(m_pDaemon->KillEvent(Events[i]), S_OK);
            }
    };
    std::thread Other(Kill, 1);
    Kill(0);
    Other.join();
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    const std::size_t nCount = m_Recorder.Firings().size();
    Sleep(20);
    EXPECT_EQ(m_Recorder.Firings().size(), nCount);
    EXPECT_EQ(CountLines("Worker thread failed to get idle"), 0) << ReadLog();
    EXPECT_EQ(CountLines("Check failed"), 0) << ReadLog();
}

TEST_F(TimedEventTest, KillingAProcedureThatDoesNotEndGivesUpAfterFiveSeconds) {
    CEvent Entered(true, false);
    CEvent Release(true, false);
    EventContext Context{&m_Recorder, 1, [&](std::uintptr_t) {
                             Entered.Set();
                             WaitForSingleObject(Release, INFINITE);
                         }};
    const std::uintptr_t nEvent = Set(Context, 0, 0);
    ASSERT_EQ(WaitForSingleObject(Entered, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(m_pDaemon->KillEvent(nEvent), S_OK);
    EXPECT_EQ(CountLines("Worker thread failed to get idle within reasonable time, nWaitResult 258"), 1) << ReadLog();
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    Release.Set();
    EXPECT_TRUE(m_pDaemon->Terminate(10000, false));
}

TEST_F(TimedEventTest, ThrowingProcedureDoesNotStopTheDaemon) {
    EventContext Throwing{&m_Recorder, 1, [](std::uintptr_t) { throw std::runtime_error("procedure failed"); }};
    EventContext Other{&m_Recorder, 2, nullptr};
    const std::uintptr_t nThrowing = Set(Throwing, 2, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    Set(Other, 30, 0);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(1) >= 3 && m_Recorder.Count(2) == 1; }));
    EXPECT_EQ(m_pDaemon->KillEvent(nThrowing), S_OK);
    EXPECT_GE(CountLines("An exception has been caught"), 3);
}

TEST_F(TimedEventTest, EventSetInsideAProcedureFiresLater) {
    EventContext Inner{&m_Recorder, 2, nullptr};
    EventContext Outer{
        &m_Recorder, 1, [&](std::uintptr_t) {
            std::uintptr_t nEvent = 0;
            EXPECT_EQ(m_pDaemon->SetEvent(5, &CRecorder::Proc, reinterpret_cast<std::uintptr_t>(&Inner), 0, &nEvent),
                      S_OK);
        }};
    Set(Outer, 0, 0);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(2) == 1; }));
    EXPECT_EQ(m_Recorder.Tags(), (std::vector<int>{1, 2}));
}

TEST_F(TimedEventTest, MissingPointersAreRefused) {
    EXPECT_EQ(m_pDaemon->SetEvent(10, &CRecorder::Proc, 0, 0, nullptr), E_POINTER);
    std::uintptr_t nEvent = 0;
    EXPECT_EQ(m_pDaemon->SetEvent(10, nullptr, 0, 0, &nEvent), E_POINTER);
    EXPECT_EQ(nEvent, 0u);
    EXPECT_EQ(m_pDaemon->GetEventCount(), 0u);
    EXPECT_EQ(CountLines("Assertion failed: pnEvent"), 1) << ReadLog();
    EXPECT_EQ(CountLines("Check failed 0x80004003 in Exception.m_hr"), 2) << ReadLog();
}

TEST_F(TimedEventTest, DaemonThreadHoldsTheDaemonWhileItRuns) {
    EventContext Context{&m_Recorder, 1, nullptr};
    Set(Context, 1, CTimedEventDaemon::TIMED_EVENT_PERIODIC);
    // The owner lets go of its only reference; the thread's own keeps the daemon (a use after free
    // otherwise, which the sanitizer build reports).
    CTimedEventDaemon* pDaemon = m_pDaemon.Get();
    m_pDaemon.Release();
    const std::size_t nCount = m_Recorder.Count(1);
    ASSERT_TRUE(Eventually([&] { return m_Recorder.Count(1) > nCount + 2; }));
    m_pDaemon = CObjectPtrT<CTimedEventDaemon>(pDaemon);
    EXPECT_NE(m_pDaemon->GetThreadIdentifier(), 0u);
    EXPECT_TRUE(m_pDaemon->Terminate(10000, false));
}

}  // namespace
