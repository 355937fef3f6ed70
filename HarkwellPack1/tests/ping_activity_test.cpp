// The ping activity: its interfaces and properties, what it stores, the rules that decide its state and its
// probe period, and whole runs against the loopback of a network namespace that stops answering, and of one
// where the process may not send ICMP at all. Probes go to 127.0.0.1 or to nothing (an empty host).
#include "PingActivity.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "ActivityTestSupport.h"
#include "NetworkNamespace.h"
#include "TestEnvironment.h"
#include "comrt/icmp.h"
#include "comrt/oleauto.h"
#include "corvane/uldebug.h"
#include "corvane/ulmemorystream.h"

namespace {

using State = CPingActivity::CProbeState;

// A ping activity with a connected sink, the event record class served as the server serves it, and a log
// folder of its own.
class PingActivityTest : public ::testing::Test {
protected:
    CActivityHarness<CPingActivity> m_Harness;
    CComObjectT<CPingActivity>* const m_pActivity = m_Harness.Activity();
    CComObjectT<CEventSink>* const m_pSink = &m_Harness.Sink();

    // Small periods, so that a whole run takes a second or two.
    void Configure(const char16_t* pszHost, LONG nInterval, LONG nRetryInterval, LONG nFailureCount,
                   LONG nTimeout = 100) {
        BSTR sHost = SysAllocString(pszHost);
        ASSERT_EQ(S_OK, m_pActivity->put_Host(sHost));
        SysFreeString(sHost);
        ASSERT_EQ(S_OK, m_pActivity->put_Interval(nInterval));
        ASSERT_EQ(S_OK, m_pActivity->put_RetryInterval(nRetryInterval));
        ASSERT_EQ(S_OK, m_pActivity->put_FailureCount(nFailureCount));
        ASSERT_EQ(S_OK, m_pActivity->put_Timeout(nTimeout));
    }
    // Waits until n more probes have been made.
    bool WaitForProbes(ULONG n) {
        const ULONG nTarget = m_pActivity->GetProbeCount() + n;
        return Eventually([&] { return m_pActivity->GetProbeCount() >= nTarget; });
    }
    ULONG References() {
        const ULONG nCount = m_pActivity->AddRef();
        m_pActivity->Release();
        return nCount - 1;
    }
};

void RunInNamespace(const char* pszTest, const testing_support::NetworkNamespaceOptions& Options) {
    const auto Result = testing_support::RunTestInNetworkNamespace(pszTest, Options);
    if (Result.bSkipped) GTEST_SKIP() << Result.sOutput;
    EXPECT_TRUE(Result.bPassed) << Result.sOutput;
}

}  // namespace

TEST(PingActivityContract, InterfaceFollowsItsDescription) {
    EXPECT_EQ(MakeGuid("{D649853E-DDD6-4ED1-BEEB-7374056DB95A}"), IidOf<IPingActivity>());
    EXPECT_EQ(MakeGuid("{C7F52DB5-970B-4B5E-BF37-71D8CDCD3147}"), CLSID_CPingActivity);
    const comrt::InterfaceDescription& d = comrt::DescriptionOf<IPingActivity>();
    const char* pszNames[] = {"Host", "Timeout", "Interval", "RetryInterval", "FailureCount"};
    ASSERT_EQ(10u, d.nMembers);
    for (unsigned i = 0; i < d.nMembers; ++i) {
        EXPECT_STREQ(pszNames[i / 2], d.pMembers[i].szName);
        EXPECT_EQ(static_cast<DISPID>(i / 2 + 1), d.pMembers[i].dispid);
        EXPECT_EQ(i % 2 == 0 ? comrt::MemberKind::PropertyGet : comrt::MemberKind::PropertyPut, d.pMembers[i].kind);
        EXPECT_EQ(i + 1, d.pMembers[i].nSlot);
    }
    EXPECT_EQ(7, SlotOf(&IPingActivity::get_Host));
    EXPECT_EQ(12, SlotOf(&IPingActivity::put_Interval));
    EXPECT_EQ(16, SlotOf(&IPingActivity::put_FailureCount));
}

TEST_F(PingActivityTest, AnswersItsInterfacesWithOneIdentity) {
    IUnknown* pIdentity = nullptr;
    ASSERT_EQ(S_OK, m_pActivity->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity)));
    for (const IID& iid : {IidOf<IPersist>(), IidOf<IPersistStream>(), IidOf<IPersistStreamInit>(),
                           IidOf<IPersistStorage>(), IidOf<IPersistPropertyBag>(), IidOf<ISpecifyPropertyPages>(),
                           IidOf<IConnectionPointContainer>(), IidOf<IActivity>(), IidOf<IDispatch>(),
                           IidOf<IPingActivity>(), IidOf<IProvideClassInfo>(), IidOf<ISupportErrorInfo>()}) {
        IUnknown* p = nullptr;
        ASSERT_EQ(S_OK, m_pActivity->QueryInterface(iid, reinterpret_cast<void**>(&p)));
        IUnknown* pSame = nullptr;
        ASSERT_EQ(S_OK, p->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pSame)));
        EXPECT_EQ(pIdentity, pSame);
        pSame->Release();
        p->Release();
    }
    // IDispatch is the activity's: late-bound Title answers through it.
    CComQIPtr<IDispatch> pDispatch(static_cast<IActivity*>(m_pActivity));
    EXPECT_EQ(static_cast<IDispatch*>(static_cast<IActivity*>(m_pActivity)), pDispatch.p);
    IUnknown* pNone = nullptr;
    EXPECT_EQ(E_NOINTERFACE, m_pActivity->QueryInterface(IidOf<INotification>(), reinterpret_cast<void**>(&pNone)));
    pIdentity->Release();
}

TEST_F(PingActivityTest, PropertiesRefuseNonPositiveNumbersAndTrackChanges) {
    LONG n = 0;
    EXPECT_EQ(S_OK, m_pActivity->get_Timeout(&n));
    EXPECT_EQ(1000, n);
    EXPECT_EQ(S_OK, m_pActivity->get_Interval(&n));
    EXPECT_EQ(60000, n);
    EXPECT_EQ(S_OK, m_pActivity->get_RetryInterval(&n));
    EXPECT_EQ(5000, n);
    EXPECT_EQ(S_OK, m_pActivity->get_FailureCount(&n));
    EXPECT_EQ(3, n);
    BSTR sHost = nullptr;
    EXPECT_EQ(S_OK, m_pActivity->get_Host(&sHost));
    EXPECT_FALSE(Text(sHost).empty());
    SysFreeString(sHost);

    using Put = HRESULT (CPingActivity::*)(LONG);
    using Get = HRESULT (CPingActivity::*)(LONG*);
    const std::pair<Put, Get> numbers[] = {{&CPingActivity::put_Timeout, &CPingActivity::get_Timeout},
                                           {&CPingActivity::put_Interval, &CPingActivity::get_Interval},
                                           {&CPingActivity::put_RetryInterval, &CPingActivity::get_RetryInterval},
                                           {&CPingActivity::put_FailureCount, &CPingActivity::get_FailureCount}};
    for (const auto& [pfnPut, pfnGet] : numbers) {
        ASSERT_EQ(S_OK, (m_pActivity->*pfnPut)(7));
        m_pActivity->SetClean();
        EXPECT_EQ(E_INVALIDARG, (m_pActivity->*pfnPut)(0));
        EXPECT_EQ(E_INVALIDARG, (m_pActivity->*pfnPut)(-5));
        EXPECT_EQ(S_OK, (m_pActivity->*pfnGet)(&n));
        EXPECT_EQ(7, n);  // the stored value stays
        EXPECT_EQ(S_OK, (m_pActivity->*pfnPut)(7));
        EXPECT_FALSE(m_pActivity->IsDirtyState());  // the same value changes nothing
        EXPECT_EQ(S_OK, (m_pActivity->*pfnPut)(8));
        EXPECT_TRUE(m_pActivity->IsDirtyState());
        EXPECT_EQ(E_POINTER, (m_pActivity->*pfnGet)(nullptr));
    }
    EXPECT_NE(std::string::npos, ReadLog().find("Exception 0x80070057")) << ReadLog();

    // Host takes any text, a null string as empty.
    m_pActivity->SetClean();
    EXPECT_EQ(S_OK, m_pActivity->put_Host(nullptr));
    EXPECT_TRUE(m_pActivity->IsDirtyState());
    EXPECT_EQ(S_OK, m_pActivity->get_Host(&sHost));
    EXPECT_EQ(u"", Text(sHost));
    SysFreeString(sHost);
    EXPECT_EQ(E_POINTER, m_pActivity->get_Host(nullptr));

    // Late-bound through IPingActivity's own IDispatch, with the conversions of the description.
    CComQIPtr<IPingActivity> pPing(static_cast<IActivity*>(m_pActivity));
    VARIANT Value;
    VariantInit(&Value);
    Value.vt = VT_BSTR;
    Value.bstrVal = SysAllocString(u"250");
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Params{&Value, &nNamed, 1, 1};
    EXPECT_EQ(S_OK, pPing->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr));
    VariantClear(&Value);
    EXPECT_EQ(S_OK, m_pActivity->get_Interval(&n));
    EXPECT_EQ(250, n);
}

TEST_F(PingActivityTest, TitleNamesTheHost) {
    BSTR sTitle = nullptr;
    Configure(u"", 60000, 5000, 3);
    ASSERT_EQ(S_OK, m_pActivity->get_Title(&sTitle));
    EXPECT_EQ(u"Ping Remote Host", Text(sTitle));
    SysFreeString(sTitle);
    Configure(u"gateway.example", 60000, 5000, 3);
    ASSERT_EQ(S_OK, m_pActivity->get_Title(&sTitle));
    EXPECT_EQ(u"Ping Remote Host gateway.example", Text(sTitle));
    SysFreeString(sTitle);
    EXPECT_EQ(E_POINTER, m_pActivity->get_Title(nullptr));
}

TEST_F(PingActivityTest, SettingsRoundTripThroughStreamBagAndStorage) {
    Configure(u"10.1.2.3", 30000, 2000, 4, 750);
    // The stream: the version word, then one variant block per property in map order.
    CMemoryStreamObject* pMemoryStream = nullptr;
    ASSERT_EQ(S_OK, CMemoryStreamObject::CreateInstance(&pMemoryStream));
    CComPtr<IStream> pStream(static_cast<IStream*>(pMemoryStream));
    pMemoryStream->Release();
    CComQIPtr<IPersistStream> pPersist(static_cast<IActivity*>(m_pActivity));
    ASSERT_EQ(S_OK, pPersist->Save(pStream, TRUE));
    EXPECT_EQ(S_FALSE, pPersist->IsDirty());
    const BYTE* pBytes = pMemoryStream->GetData();
    ASSERT_GE(pMemoryStream->GetSize(), 10u);
    EXPECT_EQ(0, std::memcmp(pBytes, "\x00\x08\x00\x00\x08\x00", 6));  // version, then the host as VT_BSTR
    // The version, the host's block (type, byte length, 8 characters, terminator), four VT_I4 blocks.
    EXPECT_EQ(4u + (2u + 4u + 16u + 2u) + 4u * (2u + 4u), pMemoryStream->GetSize());

    CComObjectT<CPingActivity>* pCopy = nullptr;
    ASSERT_EQ(S_OK, CComObjectT<CPingActivity>::CreateInstance(&pCopy));
    ASSERT_EQ(S_OK, pStream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr));
    CComQIPtr<IPersistStreamInit> pCopyPersist(static_cast<IActivity*>(pCopy));
    ASSERT_EQ(S_OK, pCopyPersist->Load(pStream));
    LONG n = 0;
    pCopy->get_Interval(&n);
    EXPECT_EQ(30000, n);
    pCopy->get_RetryInterval(&n);
    EXPECT_EQ(2000, n);
    pCopy->get_FailureCount(&n);
    EXPECT_EQ(4, n);
    pCopy->get_Timeout(&n);
    EXPECT_EQ(750, n);
    BSTR sHost = nullptr;
    pCopy->get_Host(&sHost);
    EXPECT_EQ(u"10.1.2.3", Text(sHost));
    SysFreeString(sHost);
    EXPECT_EQ(S_FALSE, pCopyPersist->IsDirty());

    // The storage form holds the same stream.
    CComObjectT<CUlMemoryStorage>* pStorage = nullptr;
    ASSERT_EQ(S_OK, CComObjectT<CUlMemoryStorage>::CreateInstance(&pStorage));
    CComQIPtr<IPersistStorage> pPersistStorage(static_cast<IActivity*>(m_pActivity));
    ASSERT_EQ(S_OK, pPersistStorage->Save(pStorage, TRUE));
    ASSERT_EQ(S_OK, pCopy->put_Interval(99));
    CComQIPtr<IPersistStorage> pCopyStorage(static_cast<IActivity*>(pCopy));
    ASSERT_EQ(S_OK, pCopyStorage->Load(pStorage));
    pCopy->get_Interval(&n);
    EXPECT_EQ(30000, n);
    pStorage->Release();
    pCopy->Release();

    // One page, the general one, for all five properties.
    CComQIPtr<ISpecifyPropertyPages> pPages(static_cast<IActivity*>(m_pActivity));
    CAUUID Pages{};
    ASSERT_EQ(S_OK, pPages->GetPages(&Pages));
    ASSERT_EQ(1u, Pages.cElems);
    EXPECT_EQ(CLSID_CPingActivityGeneralPropertyPage, Pages.pElems[0]);
    CoTaskMemFree(Pages.pElems);
}

TEST(PingActivityRules, FirstDelayIsSpreadAndItsDivisorGuarded) {
    // Between Interval/32 and about 3*Interval/32 (1875 to 5624 ms for the default).
    for (std::uintptr_t nAddress :
         {std::uintptr_t{0}, std::uintptr_t{0x10}, std::uintptr_t{0x7F3A12345670}, ~std::uintptr_t{0}}) {
        const DWORD nDelay = CPingActivity::GetFirstDelay(nAddress, 60000);
        EXPECT_GE(nDelay, 1875u);
        EXPECT_LE(nDelay, 5624u);
    }
    EXPECT_EQ(1875u + 0x100u, CPingActivity::GetFirstDelay(0x1000, 60000));
    // Intervals below 16 ms would divide by zero.
    EXPECT_EQ(0u, CPingActivity::GetFirstDelay(0x7F3A12345670, 15));
    EXPECT_EQ(0u, CPingActivity::GetFirstDelay(0x7F3A12345670, 1));
    EXPECT_EQ(2u, CPingActivity::GetFirstDelay(0x7F3A12345670, 32));
    EXPECT_EQ(1u, CPingActivity::GetFirstDelay(0x7F3A12345600, 32));
}

TEST(PingActivityRules, StateAndPeriodFollowTheProbes) {
    const LONG I = 60000, R = 5000, F = 3;
    State s{CPingActivity::STATE_ONLINE, 0, 0, false};
    // A host that answers from the start: the first answer sets the normal period, later ones keep it.
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(s, true, I, R, F));
    EXPECT_EQ(0, CPingActivity::TakeProbeResult(s, true, I, R, F));
    EXPECT_EQ(CPingActivity::STATE_ONLINE, s.nState);

    // Unreachable: retry after the first failure, keep retrying, offline at the third with the normal period.
    EXPECT_EQ(R, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(0, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(CPingActivity::STATE_ONLINE, s.nState);
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, s.nState);
    // Staying unreachable repeats the rhythm without leaving offline.
    EXPECT_EQ(R, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(0, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, s.nState);
    // One answer right after going offline: online, and the period is already the normal one.
    EXPECT_EQ(0, CPingActivity::TakeProbeResult(s, true, I, R, F));
    EXPECT_EQ(CPingActivity::STATE_ONLINE, s.nState);

    // A short run of failures that ends with an answer returns to the normal period.
    EXPECT_EQ(R, CPingActivity::TakeProbeResult(s, false, I, R, F));
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(s, true, I, R, F));
    EXPECT_EQ(0, CPingActivity::TakeProbeResult(s, true, I, R, F));
    // So does an answer while offline in the retry rhythm.
    for (int i = 0; i < 4; ++i) CPingActivity::TakeProbeResult(s, false, I, R, F);
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, s.nState);
    EXPECT_TRUE(s.bRetrying);
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(s, true, I, R, F));
    EXPECT_EQ(CPingActivity::STATE_ONLINE, s.nState);

    // A host that never answers, with FailureCount 1: offline at once, then every probe at the normal period.
    State t{CPingActivity::STATE_ONLINE, 0, 0, false};
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(t, false, I, R, 1));
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, t.nState);
    EXPECT_EQ(I, CPingActivity::TakeProbeResult(t, false, I, R, 1));
}

TEST(PingActivityProbe, DottedAddressAnswersAndAnEmptyHostFails) {
    SetLastError(0);
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAEADDRNOTAVAIL), CPingActivity::Ping(u"", 100));
    EXPECT_EQ(static_cast<DWORD>(WSAEADDRNOTAVAIL), GetLastError());
    const HRESULT hr = CPingActivity::Ping(u"127.0.0.1", 2000);
    if (hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) GTEST_SKIP() << "no ICMP socket here";
    EXPECT_EQ(S_OK, hr);
}

TEST_F(PingActivityTest, HostThatNeverAnswersRaisesOneOfflineEvent) {
    // An empty host fails every probe at once, without sending anything.
    Configure(u"", 40, 10, 3);
    const ULONG nStopped = References();
    ASSERT_EQ(S_OK, m_pActivity->Start());
    EXPECT_EQ(CPingActivity::STATE_ONLINE, m_pActivity->GetState());
    ASSERT_TRUE(Eventually([&] { return m_pSink->Count() >= 1; }));
    ASSERT_TRUE(WaitForProbes(9));  // three more offline rhythms
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, m_pActivity->GetState());
    const auto Events = m_pSink->Events();
    ASSERT_EQ(1u, Events.size());
    EXPECT_EQ(0, Events[0].nLevel);
    EXPECT_EQ(u"", Events[0].sTags);
    EXPECT_EQ(0u, Events[0].sSubject.find(u"Ping:  is offline on "));
    EXPECT_EQ(
        0u, Events[0].sBody.find(u"Ping remote host failed, host went offline:\r\n\tRemote Host: \r\n\tLocal Time: "));
    EXPECT_EQ(u"\r\n", Events[0].sBody.substr(Events[0].sBody.size() - 2));

    // Start while running changes nothing; Stop ends the probing and lets go of the activity.
    EXPECT_EQ(S_OK, m_pActivity->Start());
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, m_pActivity->GetState());
    EXPECT_GT(References(), nStopped);  // the running probe holds it
    ASSERT_EQ(S_OK, m_pActivity->Stop());
    EXPECT_EQ(CPingActivity::STATE_UNKNOWN, m_pActivity->GetState());
    EXPECT_EQ(nStopped, References());
    const ULONG nProbes = m_pActivity->GetProbeCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(nProbes, m_pActivity->GetProbeCount());

    // Started again: online with cleared counts, so the host goes offline (and is reported) once more.
    ASSERT_EQ(S_OK, m_pActivity->Start());
    EXPECT_EQ(CPingActivity::STATE_ONLINE, m_pActivity->GetState());
    ASSERT_TRUE(Eventually([&] { return m_pSink->Count() >= 2; }));
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, m_pActivity->GetState());
}

TEST_F(PingActivityTest, SinkMayStopTheActivityFromItsNotification) {
    Configure(u"", 20, 10, 1);
    m_pSink->m_OnEvent = [this] { EXPECT_EQ(S_OK, m_pActivity->Stop()); };
    const ULONG nStopped = References();
    ASSERT_EQ(S_OK, m_pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return m_pSink->Count() >= 1; }));
    // The timed event is let go once the probe that stopped it has returned, without a wait for itself.
    ASSERT_TRUE(Eventually([&] { return References() == nStopped; }));
    EXPECT_EQ(CPingActivity::STATE_UNKNOWN, m_pActivity->GetState());
    EXPECT_EQ(std::string::npos, ReadLog().find("failed to get idle")) << ReadLog();
    m_pSink->m_OnEvent = nullptr;
    EXPECT_EQ(1u, m_pSink->Count());
}

TEST_F(PingActivityTest, FailingEventRecordDoesNotStopTheProbing) {
    m_Harness.RevokeEventRecordClass();
    Configure(u"", 20, 10, 1);
    ASSERT_EQ(S_OK, m_pActivity->Start());
    ASSERT_TRUE(WaitForProbes(4));
    EXPECT_EQ(0u, m_pSink->Count());
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, m_pActivity->GetState());
    EXPECT_NE(std::string::npos, ReadLog().find("An exception 0x80040154 (")) << ReadLog();
}

// Runs against the loopback of a namespace of its own, which is made to stop answering and to answer again.
TEST(PingActivityRun, HostThatStopsAndResumesAnswering) {
    RunInNamespace("PingActivityTest.InNamespace_StopsAndResumesAnswering", {});
}
TEST_F(PingActivityTest, InNamespace_StopsAndResumesAnswering) {
    if (!testing_support::IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in a network namespace of its own";
    ASSERT_TRUE(testing_support::SetLoopbackUp(true));
    Configure(u"127.0.0.1", 200, 50, 3, 100);
    ASSERT_EQ(S_OK, m_pActivity->Start());
    ASSERT_TRUE(WaitForProbes(3));
    EXPECT_EQ(0u, m_pSink->Count());  // answering from the start raises nothing

    ASSERT_TRUE(testing_support::WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1"));
    ASSERT_TRUE(Eventually([&] { return m_pSink->Count() >= 1; }));
    EXPECT_EQ(0u, m_pSink->Events()[0].sSubject.find(u"Ping: 127.0.0.1 is offline on "));
    ASSERT_TRUE(WaitForProbes(6));
    EXPECT_EQ(1u, m_pSink->Count());  // staying silent raises nothing more

    ASSERT_TRUE(testing_support::WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "0"));
    ASSERT_TRUE(Eventually([&] { return m_pSink->Count() >= 2; }));
    const auto Events = m_pSink->Events();
    EXPECT_EQ(0u, Events[1].sSubject.find(u"Ping: 127.0.0.1 is online on "));
    EXPECT_EQ(0u, Events[1].sBody.find(
                      u"Ping remote host succeeded, host went online:\r\n\tRemote Host: 127.0.0.1\r\n\tLocal Time: "));
    EXPECT_EQ(CPingActivity::STATE_ONLINE, m_pActivity->GetState());

    // A single missed answer is not an event.
    ASSERT_TRUE(testing_support::WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1"));
    ASSERT_TRUE(WaitForProbes(1));
    ASSERT_TRUE(testing_support::WriteProcSys("/proc/sys/net/ipv4/icmp_echo_ignore_all", "0"));
    ASSERT_TRUE(WaitForProbes(3));
    EXPECT_EQ(2u, m_pSink->Count());
}

// Runs where the process may open neither kind of ICMP socket.
TEST(PingActivityRun, WithoutIcmpPermissionEveryProbeFailsWithOneTraceLine) {
    RunInNamespace("PingActivityTest.InNamespace_WithoutIcmpPermission", {false, true});
}
TEST_F(PingActivityTest, InNamespace_WithoutIcmpPermission) {
    if (!testing_support::IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in a network namespace of its own";
    ASSERT_TRUE(testing_support::SetLoopbackUp(true));
    Configure(u"127.0.0.1", 40, 10, 2, 100);
    ASSERT_EQ(S_OK, m_pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return m_pSink->Count() >= 1; }));
    ASSERT_TRUE(WaitForProbes(8));
    EXPECT_EQ(1u, m_pSink->Count());
    EXPECT_EQ(CPingActivity::STATE_OFFLINE, m_pActivity->GetState());
    const std::string sLog = ReadLog();
    EXPECT_EQ(1u, CountOccurrences(sLog, "Ping probes cannot be sent")) << sLog;
    EXPECT_NE(std::string::npos, sLog.find("net.ipv4.ping_group_range")) << sLog;
    EXPECT_NE(std::string::npos, sLog.find("CAP_NET_RAW")) << sLog;
}
