// What the tests of the library's activities share: the event record the server serves (as far as activities
// see it), a sink that records each event, a harness that connects one to a new activity, and waits.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HarkwellServer/Interfaces.h"
#include "OwnedBstr.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "corvane/ulconnection.h"
#include "corvane/uldebug.h"
#include "corvane/ulobject.h"

namespace {

std::u16string Text(BSTR s) {
    return std::u16string(s ? s : u"", SysStringLen(s));
}

// The vtable slot a pointer to a virtual member designates (Itanium C++ ABI).
template <class F>
std::ptrdiff_t SlotOf(F pfn) {
    std::ptrdiff_t raw[2];
    std::memcpy(raw, &pfn, sizeof raw);
    return (raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

[[maybe_unused]] bool Eventually(const std::function<bool()>& Condition,
                                 std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (!Condition()) {
        if (std::chrono::steady_clock::now() > Deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The event record the server serves, as far as activities see it.
class CTestActivityEvent : public comrt::IDispatchImplT<IActivityEvent> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IActivityEvent>, InterfaceEntry<IDispatch, IActivityEvent>>;
    HRESULT get_Level(LONG* pnLevel) override { return *pnLevel = m_nLevel, S_OK; }
    HRESULT put_Level(LONG nLevel) override { return m_nLevel = nLevel, S_OK; }
    HRESULT get_Tags(BSTR* ps) override { return Get(m_sTags, ps); }
    HRESULT put_Tags(BSTR s) override { return m_sTags = Text(s), S_OK; }
    HRESULT get_Subject(BSTR* ps) override { return Get(m_sSubject, ps); }
    HRESULT put_Subject(BSTR s) override { return m_sSubject = Text(s), S_OK; }
    HRESULT get_Body(BSTR* ps) override { return Get(m_sBody, ps); }
    HRESULT put_Body(BSTR s) override { return m_sBody = Text(s), S_OK; }

private:
    static HRESULT Get(const std::u16string& s, BSTR* ps) {
        *ps = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return S_OK;
    }
    LONG m_nLevel = 0;
    std::u16string m_sTags, m_sSubject, m_sBody;
};

struct RecordedEvent {
    LONG nLevel;
    std::u16string sTags, sSubject, sBody;
};

// A sink of _ActivityEvents that records each event; it may run an action on the daemon thread as well.
class CEventSink : public IDispatch {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IDispatch>, InterfaceIdEntry<_ActivityEvents::kIid, IDispatch>>;

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        if (dispid != DISPID_ActivityEvents_Notification || wFlags != DISPATCH_METHOD || pParams->cArgs != 1 ||
            pParams->rgvarg[0].vt != VT_DISPATCH)
            return DISP_E_MEMBERNOTFOUND;
        CComQIPtr<IActivityEvent> pEvent(pParams->rgvarg[0].pdispVal);
        if (!pEvent) return E_NOINTERFACE;
        RecordedEvent Event{};
        BSTR s = nullptr;
        pEvent->get_Level(&Event.nLevel);
        pEvent->get_Tags(&s);
        Event.sTags = Text(s);
        SysFreeString(s);
        pEvent->get_Subject(&s);
        Event.sSubject = Text(s);
        SysFreeString(s);
        pEvent->get_Body(&s);
        Event.sBody = Text(s);
        SysFreeString(s);
        {
            std::lock_guard Lock(m_Lock);
            m_Events.push_back(Event);
        }
        if (m_OnEvent) m_OnEvent();
        return S_OK;
    }

    std::vector<RecordedEvent> Events() {
        std::lock_guard Lock(m_Lock);
        return m_Events;
    }
    std::size_t Count() { return Events().size(); }

    std::function<void()> m_OnEvent;

private:
    std::mutex m_Lock;
    std::vector<RecordedEvent> m_Events;
};

[[maybe_unused]] std::string ReadLog() {
    std::ifstream File(corvane::GetTraceLogPath(), std::ios::binary);
    std::stringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

[[maybe_unused]] std::size_t CountOccurrences(const std::string& sText, const std::string& sPart) {
    std::size_t nCount = 0;
    for (std::size_t n = sText.find(sPart); n != std::string::npos; n = sText.find(sPart, n + 1)) ++nCount;
    return nCount;
}

// Registers the event record class, makes a TActivity and connects a recording sink to it, with a log folder
// of its own; stops and releases everything when it goes.
template <class TActivity>
class CActivityHarness {
public:
    CActivityHarness() {
        setenv("CORVANE_LOG_DIR", m_Logs.Path().c_str(), 1);
        corvane::ResetTraceLog();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CComPtr<IUnknown> pFactory;
        EXPECT_EQ(S_OK, CClassFactory::Create(&CreateObjectT<CTestActivityEvent>, IidOf<IUnknown>(),
                                              reinterpret_cast<void**>(&pFactory)));
        EXPECT_EQ(S_OK, CoRegisterClassObject(CLSID_CActivityEvent, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                              &m_nClassCookie));
        EXPECT_EQ(S_OK, CComObjectT<TActivity>::CreateInstance(&m_pActivity));
        EXPECT_EQ(S_OK, CComObjectT<CEventSink>::CreateInstance(&m_pSink));
        CComQIPtr<IConnectionPointContainer> pContainer(static_cast<IActivity*>(m_pActivity));
        EXPECT_TRUE(pContainer);
        if (pContainer) {
            EXPECT_EQ(S_OK, pContainer->FindConnectionPoint(IidOf<_ActivityEvents>(), &m_pConnectionPoint));
        }
        if (m_pConnectionPoint) {
            EXPECT_EQ(S_OK, m_pConnectionPoint->Advise(static_cast<IDispatch*>(m_pSink), &m_nSinkCookie));
        }
    }
    ~CActivityHarness() {
        if (m_pActivity != nullptr) {
            m_pActivity->Stop();
            if (m_pConnectionPoint) m_pConnectionPoint->Unadvise(m_nSinkCookie);
            m_pConnectionPoint.Release();
            m_pActivity->Release();
        }
        if (m_pSink != nullptr) m_pSink->Release();
        CoRevokeClassObject(m_nClassCookie);
        CoUninitialize();
        corvane::ResetTraceLog();
        unsetenv("CORVANE_LOG_DIR");
    }
    CActivityHarness(const CActivityHarness&) = delete;
    CActivityHarness& operator=(const CActivityHarness&) = delete;

    CComObjectT<TActivity>* Activity() const { return m_pActivity; }
    CComObjectT<CEventSink>& Sink() const { return *m_pSink; }
    // Takes the event record class away, so that the activity's events cannot be made.
    void RevokeEventRecordClass() {
        CoRevokeClassObject(m_nClassCookie);
        m_nClassCookie = 0;
    }

private:
    testing_support::CTemporaryDirectory m_Logs;
    DWORD m_nClassCookie = 0;
    CComObjectT<TActivity>* m_pActivity = nullptr;
    CComObjectT<CEventSink>* m_pSink = nullptr;
    CComPtr<IConnectionPoint> m_pConnectionPoint;
    DWORD m_nSinkCookie = 0;
};

}  // namespace
