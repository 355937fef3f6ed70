// The timed event tests' fixture: a daemon of the test's own, a recorder of what each procedure was passed,
// and a bounded wait for a condition.
#pragma once

#include "corvane/ultimedevent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comrt/runtime.h"
#include "corvane/ulmodule.h"
#include "tracelog.h"

namespace {

// Waits (boundedly) until predicate holds; false when it did not within 10 seconds.
template <class Predicate>
bool Eventually(Predicate predicate) {
    for (int i = 0; i < 2000; ++i) {
        if (predicate()) return true;
        Sleep(5);
    }
    return predicate();
}

// What the daemon passed to a procedure.
struct Firing {
    int nTag;
    std::uintptr_t nEvent;
    std::uintptr_t pnArguments[3];  // the three that must be 0
    DWORD nTick;
};

class CRecorder;

// The parameter of one event: whom to tell, its tag, and what else to do when it fires.
struct EventContext {
    CRecorder* pRecorder;
    int nTag;
    std::function<void(std::uintptr_t nEvent)> Action;
};

class CRecorder {
public:
    static void Proc(std::uintptr_t nEvent, std::uintptr_t n1, std::uintptr_t nParameter, std::uintptr_t n2,
                     std::uintptr_t n3) {
        auto* pContext = reinterpret_cast<EventContext*>(nParameter);
        // Once the firing is recorded the test may let go of the context.
        const std::function<void(std::uintptr_t)> Action = pContext->Action;
        CRecorder* pRecorder = pContext->pRecorder;
        {
            std::lock_guard Lock(pRecorder->m_Lock);
            pRecorder->m_Firings.push_back({pContext->nTag, nEvent, {n1, n2, n3}, GetTickCount()});
        }
        if (Action) Action(nEvent);
    }

    std::vector<Firing> Firings() {
        std::lock_guard Lock(m_Lock);
        return m_Firings;
    }
    std::size_t Count(int nTag) {
        std::lock_guard Lock(m_Lock);
        std::size_t nCount = 0;
        for (const Firing& f : m_Firings) nCount += f.nTag == nTag ? 1 : 0;
        return nCount;
    }
    std::vector<int> Tags() {
        std::lock_guard Lock(m_Lock);
        std::vector<int> Tags;
        for (const Firing& f : m_Firings) Tags.push_back(f.nTag);
        return Tags;
    }

private:
    std::mutex m_Lock;
    std::vector<Firing> m_Firings;
};

class TimedEventTest : public tracelog::CTraceTest {
protected:
    void SetUp() override {
        CTraceTest::SetUp();
        m_pDaemon.Construct();
        m_pDaemon->Initialize();
    }
    void TearDown() override {
        if (m_pDaemon) {
            m_pDaemon->Terminate(10000, false);
            m_pDaemon.Release();
        }
        CTraceTest::TearDown();
    }

    std::uintptr_t Set(EventContext& Context, DWORD nDelay, DWORD nFlags) {
        std::uintptr_t nEvent = 0;
        EXPECT_EQ(
            m_pDaemon->SetEvent(nDelay, &CRecorder::Proc, reinterpret_cast<std::uintptr_t>(&Context), nFlags, &nEvent),
            S_OK);
        EXPECT_NE(nEvent, 0u);
        return nEvent;
    }

    int CountLines(const std::string& sText) const {
        int nCount = 0;
        for (const std::string& sLine : ReadLines())
            if (sLine.find(sText) != std::string::npos) ++nCount;
        return nCount;
    }

    // Occupies the daemon thread until the returned event is set, so that events can be lined up
    // before any of them is scanned.
    HANDLE BlockDaemon(EventContext& Context) {
        m_Blocked.Create(true, false);
        m_Release.Create(true, false);
        Context.Action = [this](std::uintptr_t) {
            m_Blocked.Set();
            WaitForSingleObject(m_Release, INFINITE);
        };
        Set(Context, 0, 0);
        EXPECT_EQ(WaitForSingleObject(m_Blocked, 10000), WAIT_OBJECT_0);
        return m_Release;
    }

    CObjectPtrT<CTimedEventDaemon> m_pDaemon;
    CRecorder m_Recorder;
    CEvent m_Blocked;
    CEvent m_Release;
};

}  // namespace
