// Scenarios and their notification lists: the State record, the event fan-out, the list rules and the
// subscription's life.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "Scenario.h"
#include "ScenarioTestObjects.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "corvane/ulmemorystream.h"

namespace {

class ScenarioTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CFakeNotification::s_HandledOrder.clear();
    }

    static CComPtr<CComObjectT<CScenario>> NewScenario() {
        CComObjectT<CScenario>* p = nullptr;
        EXPECT_EQ(S_OK, CComObjectT<CScenario>::CreateInstance(&p));
        CComPtr<CComObjectT<CScenario>> pScenario;
        pScenario.Attach(p);
        return pScenario;
    }
    static CComPtr<IActivity> NewActivity(const char16_t* pszName) {
        CComPtr<IActivity> pActivity;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FakeActivity, nullptr, CLSCTX_ALL, IidOf<IActivity>(),
                                         reinterpret_cast<void**>(&pActivity)));
        FakeOf<CFakeActivity>(pActivity.p)->SetName(pszName);
        return pActivity;
    }
    static CComPtr<INotification> NewNotification(LONG nLabel) {
        CComPtr<INotification> pNotification;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FakeNotification, nullptr, CLSCTX_ALL, IidOf<INotification>(),
                                         reinterpret_cast<void**>(&pNotification)));
        FakeOf<CFakeNotification>(pNotification.p)->SetLabel(nLabel);
        return pNotification;
    }
    static CComPtr<INotifications> NotificationsOf(IScenario* pScenario) {
        CComPtr<INotifications> pNotifications;
        EXPECT_EQ(S_OK, pScenario->get_Notifications(&pNotifications));
        return pNotifications;
    }
    static std::u16string StateOf(IScenario* pScenario) {
        BSTR sState = nullptr;
        EXPECT_EQ(S_OK, pScenario->get_State(&sState));
        std::u16string sText = Text(sState);
        SysFreeString(sState);
        return sText;
    }
    static HRESULT PutState(IScenario* pScenario, const std::u16string& sState) {
        BSTR s = SysAllocStringLen(sState.data(), static_cast<UINT>(sState.size()));
        const HRESULT hr = pScenario->put_State(s);
        SysFreeString(s);
        return hr;
    }

    testing_support::CTemporaryRegistry m_Registry;
    CFakeClassRegistrations m_Classes;
};

VARIANT Int(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

}  // namespace

TEST_F(ScenarioTest, EmptyScenarioStateAndBadRecords) {
    auto pScenario = NewScenario();
    EXPECT_EQ(u"AQAAAAAAAA", StateOf(pScenario));
    EXPECT_EQ(E_POINTER, pScenario->get_State(nullptr));
    EXPECT_EQ(S_OK, PutState(pScenario, u"AQAAAAAAAA"));

    // Version byte 2: AgAAAAAAAA. Truncated: the count is missing. Garbage text decodes to nothing.
    EXPECT_EQ(E_INVALIDARG, PutState(pScenario, u"AgAAAAAAAA"));
    EXPECT_TRUE(FAILED(PutState(pScenario, u"AQAA")));
    EXPECT_TRUE(FAILED(PutState(pScenario, u"***")));
    EXPECT_TRUE(FAILED(PutState(pScenario, u"")));
    // An activity block of a type that holds no object.
    EXPECT_EQ(E_INVALIDARG, PutState(pScenario, u"AQMABwAAAAAAAA"));
}

TEST_F(ScenarioTest, StateCarriesActivityAndNotificationsWithTheirSettings) {
    auto pScenario = NewScenario();
    ASSERT_EQ(S_OK, pScenario->put_Activity(NewActivity(u"watched")));
    auto pNotifications = NotificationsOf(pScenario);
    ASSERT_EQ(S_OK, pNotifications->Add(NewNotification(7)));
    ASSERT_EQ(S_OK, pNotifications->Add(NewNotification(9)));
    CComPtr<INotification> pPersistOnly;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FakePersistOnly, nullptr, CLSCTX_ALL, IidOf<INotification>(),
                                     reinterpret_cast<void**>(&pPersistOnly)));
    ASSERT_EQ(S_OK, pNotifications->Add(pPersistOnly));
    const std::u16string sState = StateOf(pScenario);

    auto pCopy = NewScenario();
    ASSERT_EQ(S_OK, PutState(pCopy, sState));
    CComPtr<IActivity> pActivity;
    ASSERT_EQ(S_OK, pCopy->get_Activity(&pActivity));
    ASSERT_TRUE(pActivity);
    EXPECT_EQ(u"watched", FakeOf<CFakeActivity>(pActivity.p)->GetName());
    auto pCopied = NotificationsOf(pCopy);
    LONG nCount = 0;
    ASSERT_EQ(S_OK, pCopied->get_Count(&nCount));
    ASSERT_EQ(3, nCount);
    for (LONG nIndex = 0; nIndex < 2; ++nIndex) {
        CComPtr<INotification> pNotification;
        ASSERT_EQ(S_OK, pCopied->get_Item(Int(nIndex), &pNotification));
        EXPECT_EQ(nIndex == 0 ? 7 : 9, FakeOf<CFakeNotification>(pNotification.p)->GetLabel());
    }
    EXPECT_EQ(sState, StateOf(pCopy));

    // The copy is subscribed: an event of its activity reaches its notifications in order.
    FakeOf<CFakeActivity>(pActivity.p)->Fire(u"subject");
    EXPECT_EQ((std::vector<LONG>{7, 9}), CFakeNotification::s_HandledOrder);

    // A state naming a class that is no longer registered fails with the runtime's code.
    m_Classes.Revoke(CLSID_FakeActivity);
    auto pThird = NewScenario();
    EXPECT_EQ(REGDB_E_CLASSNOTREG, PutState(pThird, sState));
}

TEST_F(ScenarioTest, NotificationListRules) {
    auto pScenario = NewScenario();
    auto pNotifications = NotificationsOf(pScenario);
    auto pFirst = NewNotification(1);
    ASSERT_EQ(S_OK, pNotifications->Add(pFirst));
    EXPECT_EQ(E_INVALIDARG, pNotifications->Add(pFirst));
    EXPECT_EQ(E_INVALIDARG, pNotifications->Add(nullptr));
    LONG nCount = 0;
    ASSERT_EQ(S_OK, pNotifications->get_Count(&nCount));
    EXPECT_EQ(1, nCount);

    CComPtr<INotification> pItem;
    EXPECT_EQ(E_INVALIDARG, pNotifications->get_Item(Int(1), &pItem));
    EXPECT_EQ(E_INVALIDARG, pNotifications->get_Item(Int(-1), &pItem));
    VARIANT vText;
    VariantInit(&vText);
    vText.vt = VT_BSTR;
    vText.bstrVal = SysAllocString(u"0");
    EXPECT_EQ(S_OK, pNotifications->get_Item(vText, &pItem));
    EXPECT_EQ(pFirst.p, pItem.p);
    pItem.Release();
    SysFreeString(vText.bstrVal);
    vText.bstrVal = SysAllocString(u"first");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, pNotifications->get_Item(vText, &pItem));
    VariantClear(&vText);
    EXPECT_EQ(E_POINTER, pNotifications->get_Item(Int(0), nullptr));

    // The enumerator works on a snapshot: later changes do not show.
    CComPtr<IUnknown> pEnumUnknown;
    ASSERT_EQ(S_OK, pNotifications->get__NewEnum(&pEnumUnknown));
    CComQIPtr<IEnumVARIANT> pEnum(pEnumUnknown);
    ASSERT_TRUE(pEnum);
    EXPECT_EQ(E_INVALIDARG, pNotifications->Remove(NewNotification(2)));
    ASSERT_EQ(S_OK, pNotifications->Remove(pFirst));
    VARIANT Item;
    VariantInit(&Item);
    ULONG nFetched = 0;
    ASSERT_EQ(S_OK, pEnum->Next(1, &Item, &nFetched));
    EXPECT_EQ(VT_DISPATCH, Item.vt);
    EXPECT_EQ(static_cast<IDispatch*>(pFirst.p), Item.pdispVal);
    VariantClear(&Item);
    EXPECT_EQ(S_FALSE, pEnum->Next(1, &Item, &nFetched));
}

TEST_F(ScenarioTest, EventsReachEveryNotificationInOrderDespiteFailures) {
    auto pScenario = NewScenario();
    auto pNotifications = NotificationsOf(pScenario);
    std::vector<CComPtr<INotification>> List{NewNotification(1), NewNotification(2), NewNotification(3)};
    FakeOf<CFakeNotification>(List[1].p)->SetFail(true);
    for (auto& pNotification : List) ASSERT_EQ(S_OK, pNotifications->Add(pNotification));

    // Without an activity nothing is subscribed; an event of an activity not set reaches nobody.
    auto pActivity = NewActivity(u"a");
    FakeOf<CFakeActivity>(pActivity.p)->Fire(u"dropped");
    EXPECT_TRUE(CFakeNotification::s_HandledOrder.empty());

    ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    FakeOf<CFakeActivity>(pActivity.p)->Fire(u"one");
    FakeOf<CFakeActivity>(pActivity.p)->Fire(u"two");
    EXPECT_EQ((std::vector<LONG>{1, 2, 3, 1, 2, 3}), CFakeNotification::s_HandledOrder);
    EXPECT_EQ((std::vector<std::u16string>{u"one", u"two"}), FakeOf<CFakeNotification>(List[2].p)->Subjects());

    // Replacing the activity moves the subscription.
    auto pOther = NewActivity(u"b");
    ASSERT_EQ(S_OK, pScenario->put_Activity(pOther));
    EXPECT_FALSE(FakeOf<CFakeActivity>(pActivity.p)->HasConnections());
    EXPECT_TRUE(FakeOf<CFakeActivity>(pOther.p)->HasConnections());
    // The activity let go of is stopped: nobody else could.
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pActivity.p)->GetStopCount());
    EXPECT_EQ(0, FakeOf<CFakeActivity>(pOther.p)->GetStopCount());

    // Terminate lets go of the activity, and stops it.
    pScenario->Terminate();
    EXPECT_FALSE(FakeOf<CFakeActivity>(pOther.p)->HasConnections());
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pOther.p)->GetStopCount());
    CComPtr<IActivity> pNone;
    ASSERT_EQ(S_OK, pScenario->get_Activity(&pNone));
    EXPECT_FALSE(pNone);
}

TEST_F(ScenarioTest, ChangeTracking) {
    auto pScenario = NewScenario();
    EXPECT_EQ(S_OK, pScenario->IsDirty());  // a new scenario is dirty
    auto pActivity = NewActivity(u"a");
    ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    const DWORD nChange = pScenario->GetChangeCounter();
    ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    EXPECT_EQ(nChange, pScenario->GetChangeCounter());

    // Saved clean, then dirty again through the activity's own settings.
    CComPtr<IStream> pStream;
    CMemoryStreamObject* pStreamObject = nullptr;
    ASSERT_EQ(S_OK, CMemoryStreamObject::CreateInstance(&pStreamObject));
    pStream.Attach(pStreamObject);
    ASSERT_EQ(S_OK, static_cast<IPersistStreamInit*>(pScenario.p)->Save(pStream, TRUE));
    EXPECT_EQ(S_FALSE, pScenario->IsDirty());
    FakeOf<CFakeActivity>(pActivity.p)->SetName(u"renamed");
    EXPECT_EQ(S_OK, pScenario->IsDirty());
}

TEST_F(ScenarioTest, ScenarioReleasedWhileItsActivityFiresFromAnotherThread) {
    auto pActivity = NewActivity(u"busy");
    std::atomic<bool> bStop{false};
    std::thread Firing([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        while (!bStop) FakeOf<CFakeActivity>(pActivity.p)->Fire(u"tick");
    });
    for (int nRound = 0; nRound < 200; ++nRound) {
        auto pScenario = NewScenario();
        ASSERT_EQ(S_OK, NotificationsOf(pScenario)->Add(NewNotification(nRound)));
        ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
        std::this_thread::yield();
    }  // each scenario goes while events may be on their way into it
    bStop = true;
    Firing.join();
    EXPECT_FALSE(FakeOf<CFakeActivity>(pActivity.p)->HasConnections());
    EXPECT_EQ(200, FakeOf<CFakeActivity>(pActivity.p)->GetStopCount());  // each scenario stopped it as it went
}

// A delivery keeps its scenario: a notification that drops the last reference during Handle leaves the
// scenario whole until the event has reached the whole list (the scenario stops its activity as it ends).
TEST_F(ScenarioTest, NotificationReleasingItsOwnScenarioDuringHandle) {
    auto pActivity = NewActivity(u"source");
    CFakeActivity* pFake = FakeOf<CFakeActivity>(pActivity.p);
    auto pScenario = NewScenario();
    auto pFirst = NewNotification(1);
    auto pSecond = NewNotification(2);
    int nStopsSeenBySecond = -1;
    FakeOf<CFakeNotification>(pFirst.p)->SetOnHandle([&] { pScenario.Release(); });
    FakeOf<CFakeNotification>(pSecond.p)->SetOnHandle([&] { nStopsSeenBySecond = pFake->GetStopCount(); });
    ASSERT_EQ(S_OK, NotificationsOf(pScenario)->Add(pFirst));
    ASSERT_EQ(S_OK, NotificationsOf(pScenario)->Add(pSecond));
    ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    pFake->Fire(u"last");
    EXPECT_FALSE(pScenario);
    EXPECT_EQ(0, nStopsSeenBySecond);  // still alive while the list was handed the event
    EXPECT_EQ(1, pFake->GetStopCount());
    EXPECT_FALSE(pFake->HasConnections());
}

// A thread delivering for one scenario that lets go of another scenario, whose delivery runs on a second
// thread, does not end that scenario under the second delivery: the second delivery ends it.
TEST_F(ScenarioTest, ScenarioReleasedFromAnotherScenariosDeliveryWhileItDelivers) {
    auto pActivityA = NewActivity(u"a");
    auto pActivityB = NewActivity(u"b");
    auto pScenarioA = NewScenario();
    auto pScenarioB = NewScenario();
    std::promise<void> BEntered, BMayLeave;
    std::shared_future<void> MayLeave = BMayLeave.get_future().share();
    auto pNotificationB = NewNotification(2);
    FakeOf<CFakeNotification>(pNotificationB.p)->SetOnHandle([&] {
        BEntered.set_value();
        MayLeave.wait();
    });
    int nStopsOfB = -1;
    auto pNotificationA = NewNotification(1);
    FakeOf<CFakeNotification>(pNotificationA.p)->SetOnHandle([&] {
        pScenarioB.Release();
        nStopsOfB = FakeOf<CFakeActivity>(pActivityB.p)->GetStopCount();
    });
    ASSERT_EQ(S_OK, NotificationsOf(pScenarioA)->Add(pNotificationA));
    ASSERT_EQ(S_OK, NotificationsOf(pScenarioB)->Add(pNotificationB));
    ASSERT_EQ(S_OK, pScenarioA->put_Activity(pActivityA));
    ASSERT_EQ(S_OK, pScenarioB->put_Activity(pActivityB));
    std::thread DeliveringB([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        FakeOf<CFakeActivity>(pActivityB.p)->Fire(u"b");
    });
    BEntered.get_future().wait();
    FakeOf<CFakeActivity>(pActivityA.p)->Fire(u"a");
    EXPECT_EQ(0, nStopsOfB);  // B lives on under its delivery
    BMayLeave.set_value();
    DeliveringB.join();
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pActivityB.p)->GetStopCount());
    EXPECT_FALSE(FakeOf<CFakeActivity>(pActivityB.p)->HasConnections());
}

// Terminate stops the activity without the scenario's lock: an activity's Stop waits for the event it is
// firing, and that event may need the lock.
TEST_F(ScenarioTest, TerminateStopsTheActivityOutsideTheScenariosLock) {
    auto pActivity = NewActivity(u"probe");
    auto pScenario = NewScenario();
    ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
    bool bLockFree = false;
    FakeOf<CFakeActivity>(pActivity.p)->SetOnStop([&] {
        auto Probe = std::async(std::launch::async, [&] {
            CComPtr<INotifications> pNotifications;
            return pScenario->get_Notifications(&pNotifications);  // takes the scenario's lock
        });
        bLockFree = Probe.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    });
    pScenario->Terminate();
    EXPECT_TRUE(bLockFree);
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pActivity.p)->GetStopCount());
}
