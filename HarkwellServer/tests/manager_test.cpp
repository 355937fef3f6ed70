// The scenario collection, the manager and the stored list: creation of plug-in objects by class, the list
// rules, value naming, the "//" rule, failed loads that change nothing, and the list surviving a restart.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "Manager.h"
#include "ManagerClient.h"
#include "ScenarioTestObjects.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulregistry.h"

namespace {

using testing_support::AddScenarioParts;
using testing_support::ClassText;
using testing_support::IndexVariant;
using testing_support::JoinScenarioParts;
using testing_support::NewManager;
using testing_support::ScenarioParts;
using testing_support::ScenariosOf;

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CFakeActivity::s_bFailStart = false;
        CFakeNotification::s_bChangedByLoad = false;
    }

    static LONG CountOf(IScenarios* pScenarios) {
        LONG nCount = -1;
        EXPECT_EQ(S_OK, pScenarios->get_Count(&nCount));
        return nCount;
    }
    // Adds a scenario with a fake activity named sName and one fake notification labelled nLabel.
    static CComPtr<IScenario> AddScenario(IScenarios* pScenarios, const char16_t* pszName, LONG nLabel) {
        ScenarioParts Parts;
        EXPECT_EQ(S_OK, AddScenarioParts(pScenarios, CLSID_FakeActivity, CLSID_FakeNotification, Parts));
        FakeOf<CFakeActivity>(Parts.pActivity.p)->SetName(pszName);
        FakeOf<CFakeNotification>(Parts.pNotification.p)->SetLabel(nLabel);
        EXPECT_EQ(S_OK, JoinScenarioParts(Parts));
        return Parts.pScenario;
    }
    static CFakeActivity* ActivityOf(IScenarios* pScenarios, LONG nIndex) {
        CComPtr<IScenario> pScenario;
        EXPECT_EQ(S_OK, pScenarios->get_Item(IndexVariant(nIndex), &pScenario));
        CComPtr<IActivity> pActivity;
        if (pScenario) {
            EXPECT_EQ(S_OK, pScenario->get_Activity(&pActivity));
        }
        return pActivity ? FakeOf<CFakeActivity>(pActivity.p) : nullptr;
    }

    // The stored values: name, type and bytes, in enumeration order.
    struct StoredValue {
        std::u16string sName;
        DWORD nType;
        std::vector<BYTE> Data;
        bool operator==(const StoredValue&) const = default;
    };
    static std::vector<StoredValue> StoredValues() {
        std::vector<StoredValue> Values;
        CRegKey Key;
        if (Key.Open(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ) != ERROR_SUCCESS) return Values;
        for (DWORD nIndex = 0;; ++nIndex) {
            char16_t szName[256];
            DWORD nNameLength = 256;
            DWORD nType = 0;
            BYTE Data[8192];
            DWORD nSize = sizeof Data;
            if (RegEnumValueW(Key, nIndex, szName, &nNameLength, nullptr, &nType, Data, &nSize) != ERROR_SUCCESS) break;
            Values.push_back({std::u16string(szName, nNameLength), nType, std::vector<BYTE>(Data, Data + nSize)});
        }
        return Values;
    }
    static std::vector<std::u16string> StoredNames() {
        std::vector<std::u16string> Names;
        for (const auto& Value : StoredValues()) Names.push_back(Value.sName);
        return Names;
    }
    static void Store(const std::u16string& sName, DWORD nType, const std::vector<BYTE>& Data) {
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_LOCAL_MACHINE, kScenariosKeyPath));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(Key, sName.c_str(), 0, nType, Data.data(), static_cast<DWORD>(Data.size())));
    }

    testing_support::CTemporaryRegistry m_Registry;
    CFakeClassRegistrations m_Classes;
};

using Names = std::vector<std::u16string>;

}  // namespace

TEST_F(ManagerTest, CollectionRules) {
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    auto pScenarios = ScenariosOf(pManager);
    EXPECT_EQ(0, CountOf(pScenarios));

    CComPtr<IScenario> pScenario;
    ASSERT_EQ(S_OK, pScenarios->Add(&pScenario));
    EXPECT_EQ(1, CountOf(pScenarios));
    CComPtr<IActivity> pActivity;
    ASSERT_EQ(S_OK, pScenario->get_Activity(&pActivity));
    EXPECT_FALSE(pActivity);
    CComPtr<INotifications> pNotifications;
    ASSERT_EQ(S_OK, pScenario->get_Notifications(&pNotifications));
    LONG nCount = -1;
    ASSERT_EQ(S_OK, pNotifications->get_Count(&nCount));
    EXPECT_EQ(0, nCount);

    // Plug-in objects by class identifier text only.
    VARIANT vNumber;
    VariantInit(&vNumber);
    vNumber.vt = VT_I4;
    EXPECT_EQ(E_INVALIDARG, pScenarios->CreateActivity(vNumber, &pActivity));
    VARIANT vUnknown = ClassText(MakeGuid("{00000000-1111-2222-3333-444444444444}"));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, pScenarios->CreateActivity(vUnknown, &pActivity));
    VariantClear(&vUnknown);
    VARIANT vNotAClass;
    VariantInit(&vNotAClass);
    vNotAClass.vt = VT_BSTR;
    vNotAClass.bstrVal = SysAllocString(u"not a class");
    EXPECT_EQ(E_INVALIDARG, pScenarios->CreateNotification(vNotAClass, nullptr));
    CComPtr<INotification> pNotification;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, pScenarios->CreateNotification(vNotAClass, &pNotification));
    VariantClear(&vNotAClass);

    // Remove: only members, by identity.
    CComPtr<IManager> pOtherManager;
    ASSERT_EQ(S_OK, NewManager(pOtherManager));
    CComPtr<IScenario> pForeign;
    ASSERT_EQ(S_OK, ScenariosOf(pOtherManager)->Add(&pForeign));
    EXPECT_EQ(E_INVALIDARG, pScenarios->Remove(pForeign));
    EXPECT_EQ(E_INVALIDARG, pScenarios->Remove(nullptr));
    ASSERT_EQ(S_OK, pScenarios->Remove(pScenario));
    EXPECT_EQ(0, CountOf(pScenarios));
    // The removed scenario lives on for whoever holds it.
    CComPtr<INotifications> pStillThere;
    EXPECT_EQ(S_OK, pScenario->get_Notifications(&pStillThere));
    pOtherManager.Release();
}

TEST_F(ManagerTest, ListSurvivesRestartWithSettingsAndStarts) {
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        AddScenario(pScenarios, u"first", 1);
        AddScenario(pScenarios, u"second", 2);
        CComPtr<IScenario> pEmpty;
        ASSERT_EQ(S_OK, pScenarios->Add(&pEmpty));
    }  // released: saved
    EXPECT_EQ((Names{u"1", u"2", u"3"}), StoredNames());
    const auto Stored = StoredValues();

    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    auto pScenarios = ScenariosOf(pManager);
    ASSERT_EQ(3, CountOf(pScenarios));
    ASSERT_TRUE(ActivityOf(pScenarios, 0));
    EXPECT_EQ(u"first", ActivityOf(pScenarios, 0)->GetName());
    EXPECT_EQ(1, ActivityOf(pScenarios, 0)->GetStartCount());
    EXPECT_EQ(u"second", ActivityOf(pScenarios, 1)->GetName());
    EXPECT_EQ(nullptr, ActivityOf(pScenarios, 2));

    // Released again without any change: written back all the same, byte for byte; the activities it
    // started are stopped.
    CComPtr<IActivity> pFirstActivity(ActivityOf(pScenarios, 0));
    pScenarios.Release();
    pManager.Release();
    EXPECT_EQ(Stored, StoredValues());
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pFirstActivity.p)->GetStopCount());
}

// A list whose objects count as changed once loaded is written back by the load itself, not only when the
// manager goes (a process that is killed never gets there); an unchanged list is not written.
TEST_F(ManagerTest, ObjectsChangedByTheirLoadAreStoredAtOnce) {
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        AddScenario(ScenariosOf(pManager), u"first", 1);
    }
    // A value of another type is not loaded and goes with the next write of the list.
    Store(u"stray", REG_SZ, {'x', 0, 0, 0});
    const auto Stored = StoredValues();
    for (const bool bChanged : {false, true}) {
        SCOPED_TRACE(bChanged);
        CFakeNotification::s_bChangedByLoad = bChanged;
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        EXPECT_EQ(Stored == StoredValues(), !bChanged);
        EXPECT_EQ(StoredNames(), bChanged ? Names{u"1"} : (Names{u"1", u"stray"}));
        CFakeNotification::s_bChangedByLoad = false;
        pManager.Release();
    }
    // What was written is the changed object: loaded again, it has the label its load gave it.
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    CComPtr<IScenario> pScenario;
    ASSERT_EQ(S_OK, ScenariosOf(pManager)->get_Item(IndexVariant(0), &pScenario));
    CComPtr<INotifications> pNotifications;
    ASSERT_EQ(S_OK, pScenario->get_Notifications(&pNotifications));
    CComPtr<INotification> pNotification;
    ASSERT_EQ(S_OK, pNotifications->get_Item(IndexVariant(0), &pNotification));
    EXPECT_EQ(101, FakeOf<CFakeNotification>(pNotification.p)->GetLabel());
}

// A notification that writes to the store while it handles an event (under its scenario's lock) is not
// held up by a save of the list that waits for that lock: the save's transaction, which every other
// registry call of the process waits for, begins only once the scenarios are saved.
TEST_F(ManagerTest, StoreWritesUnderAScenarioLockDuringASaveOfTheList) {
    CComPtr<IManager> pManager;
    ASSERT_EQ(S_OK, NewManager(pManager));
    auto pScenarios = ScenariosOf(pManager);
    ScenarioParts Parts;
    ASSERT_EQ(S_OK, AddScenarioParts(pScenarios, CLSID_FakeActivity, CLSID_FakeNotification, Parts));
    ASSERT_EQ(S_OK, JoinScenarioParts(Parts));
    std::thread Saver;
    std::thread Writer;
    bool bWritten = false;
    FakeOf<CFakeNotification>(Parts.pNotification.p)->SetOnHandle([&] {
        Saver = std::thread([&] { static_cast<CScenariosObject*>(pScenarios.p)->SaveToRegistry(); });
        // The saver now waits for this scenario's lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // On a thread of its own, so that a write held up ends the wait and lets the saver go on.
        std::promise<bool> Done;
        std::future<bool> Written = Done.get_future();
        Writer = std::thread([Done = std::move(Done)]() mutable {
            CRegKey Key;
            Done.set_value(Key.Create(HKEY_CURRENT_USER, u"SOFTWARE\\Corvane\\Harkwell\\Test") == ERROR_SUCCESS &&
                           Key.SetDWORDValue(u"Handled", 1) == ERROR_SUCCESS);
        });
        bWritten = Written.wait_for(std::chrono::seconds(5)) == std::future_status::ready && Written.get();
    });
    FakeOf<CFakeActivity>(Parts.pActivity.p)->Fire(u"subject");
    Saver.join();
    Writer.join();
    EXPECT_TRUE(bWritten);
    EXPECT_EQ(Names{u"1"}, StoredNames());
}

TEST_F(ManagerTest, ValueNamingAndEntriesKeptAside) {
    // An empty scenario's stream: version, VT_BSTR, byte length 22, "AQAAAAAAAA" and its NUL.
    std::vector<BYTE> Empty{0x00, 0x08, 0x00, 0x00, 0x08, 0x00, 22, 0, 0, 0};
    for (char c : std::string("AQAAAAAAAA")) Empty.insert(Empty.end(), {static_cast<BYTE>(c), 0});
    Empty.insert(Empty.end(), {0, 0});
    Store(u"1", REG_BINARY, Empty);
    Store(u"//3", REG_BINARY, {0xDE, 0xAD});  // kept aside by hand, not even a scenario
    Store(u"3", REG_BINARY, {});              // length 0: a scenario without anything
    Store(u"text", REG_SZ, {'x', 0, 0, 0});   // another type: ignored, then deleted

    for (int nRound = 0; nRound < 2; ++nRound) {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        ASSERT_EQ(nRound == 0 ? 2 : 4, CountOf(pScenarios));
        if (nRound == 0) {
            AddScenario(pScenarios, u"new", 5);
            CComPtr<IScenario> pAnother;
            ASSERT_EQ(S_OK, pScenarios->Add(&pAnother));
        }
    }
    const auto Values = StoredValues();
    EXPECT_EQ((Names{u"1", u"//3", u"3", u"2", u"4"}), StoredNames());
    EXPECT_EQ((std::vector<BYTE>{0xDE, 0xAD}), Values[1].Data);

    // Removing every scenario deletes every value but the one kept aside.
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        auto pScenarios = ScenariosOf(pManager);
        while (CountOf(pScenarios) > 0) {
            CComPtr<IScenario> pScenario;
            ASSERT_EQ(S_OK, pScenarios->get_Item(IndexVariant(0), &pScenario));
            ASSERT_EQ(S_OK, pScenarios->Remove(pScenario));
        }
    }
    EXPECT_EQ((Names{u"//3"}), StoredNames());
}

TEST_F(ManagerTest, FailedLoadsLeaveTheStoreAsItWas) {
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        AddScenario(ScenariosOf(pManager), u"kept", 1);
    }
    const auto Good = StoredValues();
    ASSERT_EQ(1u, Good.size());

    // A class that is no longer registered.
    m_Classes.Revoke(CLSID_FakeActivity);
    CComPtr<IManager> pManager;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, NewManager(pManager));
    EXPECT_FALSE(pManager);
    EXPECT_EQ(Good, StoredValues());
}

// Stored bytes that are no scenario: each is skipped, the other scenarios load and start, and saving the list
// (with a scenario added, which takes the next free name) leaves the damaged value bit for bit as it was,
// also through a second load and save.
TEST_F(ManagerTest, DamagedValuesAreSkippedAndKeptAsTheyAre) {
    constexpr LONG kGood = 51;
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        for (LONG n = 0; n < kGood; ++n)
            AddScenario(ScenariosOf(pManager), comrt::ToUtf16("good " + std::to_string(n)).c_str(), n);
    }
    const auto Good = StoredValues();
    ASSERT_EQ(static_cast<size_t>(kGood), Good.size());
    const std::vector<BYTE>& Sample = Good[0].Data;
    ASSERT_GT(Sample.size(), 40u);

    // A stream around a State text (Base64 of the record bytes).
    auto StreamOfRecord = [](const std::vector<BYTE>& Record) {
        BSTR sState = nullptr;
        CMemoryStreamObject* pStream = nullptr;
        EXPECT_EQ(S_OK, CMemoryStreamObject::CreateInstance(&pStream));
        EXPECT_EQ(S_OK, _PersistHelper::WriteBytes(pStream, Record.data(), static_cast<ULONG>(Record.size())));
        EXPECT_EQ(S_OK, _MemoryStreamHelper::BstrFromMemoryStream(pStream, &sState));
        pStream->Release();
        std::vector<BYTE> Data{0x00, 0x08, 0x00, 0x00, 0x08, 0x00};
        const DWORD nLength = (SysStringLen(sState) + 1) * 2;
        for (int i = 0; i < 4; ++i) Data.push_back(static_cast<BYTE>(nLength >> (8 * i)));
        for (UINT i = 0; i <= SysStringLen(sState); ++i) Data.insert(Data.end(), {static_cast<BYTE>(sState[i]), 0});
        SysFreeString(sState);
        return Data;
    };
    std::vector<BYTE> Random(300);
    unsigned nSeed = 19;
    for (BYTE& b : Random) b = static_cast<BYTE>((nSeed = nSeed * 1103515245u + 12345u) >> 16);
    const struct {
        const char* pszWhat;
        std::vector<BYTE> Data;
    } Damaged[] = {
        {"random bytes", Random},
        {"cut short", std::vector<BYTE>(Sample.begin(), Sample.begin() + static_cast<long>(Sample.size() / 2))},
        {"cut in its header", std::vector<BYTE>(Sample.begin(), Sample.begin() + 7)},
        {"a newer stream format", {0x00, 0x09, 0x00, 0x00, 0x08, 0x00, 2, 0, 0, 0, 0, 0}},
        {"State of another type", {0x00, 0x08, 0x00, 0x00, 0x03, 0x00, 7, 0, 0, 0}},
        {"a record of another version", StreamOfRecord({0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
        {"more notifications than stored", StreamOfRecord({0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00})},
        {"an activity of no object form", StreamOfRecord({0x01, 0x03, 0x00, 7, 0, 0, 0, 0, 0, 0, 0})},
        {"a class that is no class identifier",
         StreamOfRecord({0x01, 0x08, 0x00, 6, 0, 0, 0, 'x', 0, 'y', 0, 0, 0, 0x00, 0x00, 0x00, 0x00})},
    };
    for (const auto& Case : Damaged) {
        SCOPED_TRACE(Case.pszWhat);
        // Named as the next new scenario would be, so that neither reusing nor deleting the name goes unseen.
        Store(u"52", REG_BINARY, Case.Data);
        for (int nRound = 0; nRound < 2; ++nRound) {
            CComPtr<IManager> pManager;
            ASSERT_EQ(S_OK, NewManager(pManager));
            auto pScenarios = ScenariosOf(pManager);
            ASSERT_EQ(kGood + nRound, CountOf(pScenarios));
            for (LONG n = 0; n < kGood + nRound; ++n) {
                CFakeActivity* pActivity = ActivityOf(pScenarios, n);
                ASSERT_TRUE(pActivity);
                EXPECT_EQ(1, pActivity->GetStartCount());
            }
            EXPECT_EQ((Names{u"52"}), static_cast<CScenariosObject*>(pScenarios.p)->GetUnreadableValueNames());
            if (nRound == 0) AddScenario(pScenarios, u"new", 99);
        }
        const auto Values = StoredValues();
        ASSERT_EQ(Good.size() + 2, Values.size());
        auto Find = [&](const std::u16string& sName) {
            return std::find_if(Values.begin(), Values.end(), [&](const StoredValue& v) { return v.sName == sName; });
        };
        ASSERT_NE(Values.end(), Find(u"52"));
        EXPECT_EQ(REG_BINARY, Find(u"52")->nType);
        EXPECT_EQ(Case.Data, Find(u"52")->Data);
        EXPECT_NE(Values.end(), Find(u"53"));  // the new scenario's
        for (const auto& Value : Good) {
            ASSERT_NE(Values.end(), Find(Value.sName));
            EXPECT_EQ(Value.Data, Find(Value.sName)->Data);
        }
        // Back to the good list for the next case.
        {
            CRegKey Key;
            ASSERT_EQ(ERROR_SUCCESS, Key.Open(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ | KEY_WRITE));
            ASSERT_EQ(ERROR_SUCCESS, Key.DeleteValue(u"52"));
            ASSERT_EQ(ERROR_SUCCESS, Key.DeleteValue(u"53"));
        }
        ASSERT_EQ(Good, StoredValues());
    }
}

TEST_F(ManagerTest, ActivityThatFailsToStartFailsTheLoad) {
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        AddScenario(ScenariosOf(pManager), u"stubborn", 1);
    }
    const auto Stored = StoredValues();
    CFakeActivity::s_bFailStart = true;
    CComPtr<IManager> pManager;
    EXPECT_EQ(E_FAIL, NewManager(pManager));
    CFakeActivity::s_bFailStart = false;
    EXPECT_EQ(Stored, StoredValues());
}

TEST_F(ManagerTest, AnotherProcessLoadsAndStartsTheSavedList) {
    {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, NewManager(pManager));
        AddScenario(ScenariosOf(pManager), u"across", 4);
    }
    RegResetStore();
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        CComPtr<IManager> pManager;
        if (FAILED(NewManager(pManager))) _exit(2);
        auto pScenarios = ScenariosOf(pManager);
        CFakeActivity* pActivity = ActivityOf(pScenarios, 0);
        _exit(CountOf(pScenarios) == 1 && pActivity && pActivity->GetName() == u"across" &&
                      pActivity->GetStartCount() == 1
                  ? 0
                  : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    EXPECT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(0, WEXITSTATUS(nStatus));
}
