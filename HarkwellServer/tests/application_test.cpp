// The application object: its life cycle as connected clients see it, the Enabled setting and what it
// does to the manager and the stored scenarios, the last event, Terminate by run mode, the running object
// table, and the guard against a second running instance.
// One file (about 610 lines) because every case drives the same application object through the fixture
// above its tests: a split would copy that fixture.
#include "Application.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "Manager.h"
#include "ScenarioTestObjects.h"
#include "ServerMode.h"
#include "TestEnvironment.h"
#include "comrt/messages.h"
#include "comrt/registry.h"
#include "comrt/runningobjects.h"
#include "comrt/text.h"
#include "corvane/ulguard.h"
#include "corvane/ulregistry.h"

namespace {

// Records every event it is handed as one line: the member's name, and for Event its type and text.
class CApplicationEventsSink : public _ApplicationEvents {
public:
    using Interfaces = InterfaceList<InterfaceEntry<_ApplicationEvents>, InterfaceEntry<IDispatch, _ApplicationEvents>>;

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo) *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        static const char* const kNames[] = {"", "Starting", "Started", "Stopping", "Stopped", "Event"};
        if (dispIdMember < 1 || dispIdMember > 5) return DISP_E_MEMBERNOTFOUND;
        std::string sLine = kNames[dispIdMember];
        if (dispIdMember == DISPID_ApplicationEvents_Event) {
            // Arguments arrive in reverse order: the description, then the type.
            if (pDispParams->cArgs != 2 || pDispParams->rgvarg[1].vt != VT_I4 || pDispParams->rgvarg[0].vt != VT_BSTR)
                return DISP_E_TYPEMISMATCH;
            sLine += " " + std::to_string(pDispParams->rgvarg[1].lVal) + " " +
                     comrt::ToUtf8(Text(pDispParams->rgvarg[0].bstrVal));
        } else if (pDispParams->cArgs != 0) {
            return DISP_E_BADPARAMCOUNT;
        }
        m_Seen.push_back(sLine);
        return S_OK;
    }

    std::vector<std::string> m_Seen;
};

using Lines = std::vector<std::string>;

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The shared data and its name belong to the user: application tests of all processes take turns.
        m_nLockFd = open("/tmp/corvane-application-test.lock", O_CREAT | O_RDONLY | O_CLOEXEC, 0666);
        ASSERT_GE(m_nLockFd, 0);
        ASSERT_EQ(0, flock(m_nLockFd, LOCK_EX));
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CFakeActivity::s_bFailStart = false;
        SetServiceMode(false);
    }
    void TearDown() override {
        SetServiceMode(false);
        MSG msg{};
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        if (m_nLockFd >= 0) close(m_nLockFd);
    }

    // A new application told the calling thread is its main thread, and a sink connected to it.
    CComPtr<IApplication> NewApplication(CComObjectT<CApplicationEventsSink>** ppSink = nullptr) {
        CComPtr<IApplication> pApplication;
        EXPECT_EQ(S_OK, CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pApplication)));
        if (!pApplication) return pApplication;
        Of(pApplication)->SetMainThreadIdentifier(GetCurrentThreadId());
        if (ppSink != nullptr) {
            CComObjectT<CApplicationEventsSink>* pSink = nullptr;
            EXPECT_EQ(S_OK, CComObjectT<CApplicationEventsSink>::CreateInstance(&pSink));
            CComQIPtr<IConnectionPointContainer> pContainer(pApplication);
            CComPtr<IConnectionPoint> pPoint;
            EXPECT_EQ(S_OK, pContainer->FindConnectionPoint(IidOf<_ApplicationEvents>(), &pPoint));
            DWORD nCookie = 0;
            EXPECT_EQ(S_OK, pPoint->Advise(pSink->GetUnknown(), &nCookie));
            *ppSink = pSink;  // the connection holds it; the caller borrows it
            pSink->Release();
        }
        return pApplication;
    }
    static CApplication* Of(IApplication* pApplication) { return static_cast<CApplication*>(pApplication); }
    static HRESULT Start(IApplication* pApplication) {
        return corvane::GuardedCall([&] { Of(pApplication)->Start(); });
    }
    static CComPtr<IManager> ManagerOf(IApplication* pApplication) {
        CComPtr<IManager> pManager;
        EXPECT_EQ(S_OK, pApplication->get_Manager(&pManager));
        return pManager;
    }
    static CComPtr<IActivity> FirstActivityOf(IManager* pManager) {
        CComPtr<IScenarios> pScenarios;
        EXPECT_EQ(S_OK, pManager->get_Scenarios(&pScenarios));
        VARIANT vFirst;
        VariantInit(&vFirst);
        vFirst.vt = VT_I4;
        CComPtr<IScenario> pScenario;
        EXPECT_EQ(S_OK, pScenarios->get_Item(vFirst, &pScenario));
        CComPtr<IActivity> pActivity;
        if (pScenario) {
            EXPECT_EQ(S_OK, pScenario->get_Activity(&pActivity));
        }
        return pActivity;
    }
    static bool IsInRunningObjectTable(IApplication* pApplication) {
        CComPtr<IRunningObjectTable> pTable;
        EXPECT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
        CComPtr<IMoniker> pName;
        EXPECT_EQ(S_OK, CreateItemMoniker(u"!", u"{4DBD069D-7386-42A4-9A0E-13BA54BD19F9}", &pName));
        CComPtr<IUnknown> pObject;
        const HRESULT hr = pTable->GetObject(pName, &pObject);
        EXPECT_EQ(hr == S_OK ? S_OK : S_FALSE, pTable->IsRunning(pName));
        if (hr == S_OK) {
            EXPECT_TRUE(pObject.IsEqualObject(pApplication));
        }
        return hr == S_OK;
    }

    // Stores one scenario: a fake activity named pszName with one fake notification.
    static void StoreScenario(const char16_t* pszName) {
        CComPtr<IManager> pManager;
        ASSERT_EQ(S_OK, CreateObjectT<CManager>(IidOf<IManager>(), reinterpret_cast<void**>(&pManager)));
        CComPtr<IScenarios> pScenarios;
        ASSERT_EQ(S_OK, pManager->get_Scenarios(&pScenarios));
        CComPtr<IScenario> pScenario;
        ASSERT_EQ(S_OK, pScenarios->Add(&pScenario));
        CComPtr<IActivity> pActivity;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FakeActivity, nullptr, CLSCTX_ALL, IidOf<IActivity>(),
                                         reinterpret_cast<void**>(&pActivity)));
        FakeOf<CFakeActivity>(pActivity.p)->SetName(pszName);
        ASSERT_EQ(S_OK, pScenario->put_Activity(pActivity));
        CComPtr<INotification> pNotification;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FakeNotification, nullptr, CLSCTX_ALL, IidOf<INotification>(),
                                         reinterpret_cast<void**>(&pNotification)));
        CComPtr<INotifications> pNotifications;
        ASSERT_EQ(S_OK, pScenario->get_Notifications(&pNotifications));
        ASSERT_EQ(S_OK, pNotifications->Add(pNotification));
    }  // the manager writes the list as it goes

    // The stored "Enabled" value: its type and number, or type 0 when there is none.
    static std::pair<DWORD, DWORD> StoredEnabled() {
        CRegKey Key;
        if (Key.Open(HKEY_LOCAL_MACHINE, kServerSettingsKeyPath, KEY_READ) != ERROR_SUCCESS) return {0, 0};
        DWORD nType = 0;
        DWORD nValue = 0;
        DWORD nSize = sizeof nValue;
        if (RegQueryValueExW(Key, u"Enabled", nullptr, &nType, reinterpret_cast<BYTE*>(&nValue), &nSize) !=
            ERROR_SUCCESS)
            return {0, 0};
        return {nType, nValue};
    }

    int m_nLockFd = -1;
    testing_support::CTemporaryRegistry m_Registry;
    CFakeClassRegistrations m_Classes;
};

// The last event through IDispatch, as script clients ask for it: two [out] arguments and the result.
struct DispatchedLastEvent {
    HRESULT hr;
    VARIANT vValid;
    LONG nType;
    BSTR sDescription;
};
DispatchedLastEvent QueryLastEventByDispatch(IApplication* pApplication, LONG nTypeBefore, BSTR sDescriptionBefore) {
    DispatchedLastEvent Result{S_OK, {}, nTypeBefore, sDescriptionBefore};
    VariantInit(&Result.vValid);
    LPOLESTR pszName = const_cast<LPOLESTR>(u"QueryLastEvent");
    DISPID nDispid = 0;
    Result.hr = pApplication->GetIDsOfNames(IID_NULL, &pszName, 1, 0, &nDispid);
    if (FAILED(Result.hr)) return Result;
    VARIANT Arguments[2];  // reverse order: psDescription, then pType
    VariantInit(&Arguments[0]);
    Arguments[0].vt = VT_BSTR | VT_BYREF;
    Arguments[0].pbstrVal = &Result.sDescription;
    VariantInit(&Arguments[1]);
    Arguments[1].vt = VT_I4 | VT_BYREF;
    Arguments[1].plVal = &Result.nType;
    DISPPARAMS Parameters{Arguments, nullptr, 2, 0};
    Result.hr =
        pApplication->Invoke(nDispid, IID_NULL, 0, DISPATCH_METHOD, &Parameters, &Result.vValid, nullptr, nullptr);
    return Result;
}

// Opens the running application's shared objects in a child process, as the tray helper does, and hands back
// the record it reads under the lock.
bool ReadRecordInAnotherProcess(_APPLICATIONDATA* pRecord) {
    int Channel[2];
    if (pipe(Channel) != 0) return false;
    const pid_t nChild = fork();
    if (nChild < 0) return false;
    if (nChild == 0) {
        close(Channel[0]);
        const HRESULT hr = corvane::GuardedCall([&] {
            CApplicationDataMapping Reader;
            bool bExisted = false;
            Reader.Initialize(ApplicationDataName().c_str(), &bExisted);
            if (!bExisted) corvane::ThrowHResult(E_UNEXPECTED);
            _APPLICATIONDATA Record;
            {
                CApplicationDataMapping::CAccessor Accessor(Reader, true);
                Record = *Accessor.GetData();
            }
            if (write(Channel[1], &Record, sizeof Record) != static_cast<ssize_t>(sizeof Record))
                corvane::ThrowHResult(E_FAIL);
        });
        _exit(SUCCEEDED(hr) ? 0 : 1);
    }
    close(Channel[1]);
    const bool bRead = read(Channel[0], pRecord, sizeof *pRecord) == static_cast<ssize_t>(sizeof *pRecord);
    close(Channel[0]);
    int nStatus = 0;
    return waitpid(nChild, &nStatus, 0) == nChild && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 && bRead;
}

}  // namespace

TEST_F(ApplicationTest, FreshApplication) {
    auto pApplication = NewApplication();
    ASSERT_TRUE(pApplication);
    EXPECT_EQ(Of(pApplication), g_pApplication);

    // No event yet: valid false, the other out-values untouched, through the vtable and through IDispatch.
    EVENTTYPE Type = static_cast<EVENTTYPE>(77);
    BSTR sDescription = reinterpret_cast<BSTR>(0x1234);
    VARIANT_BOOL bValid = VARIANT_TRUE;
    EXPECT_EQ(S_OK, pApplication->QueryLastEvent(&Type, &sDescription, &bValid));
    EXPECT_EQ(VARIANT_FALSE, bValid);
    EXPECT_EQ(77, Type);
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1234), sDescription);
    EXPECT_EQ(E_POINTER, pApplication->QueryLastEvent(&Type, &sDescription, nullptr));
    EXPECT_EQ(S_OK, pApplication->QueryLastEvent(nullptr, nullptr, &bValid));
    const DispatchedLastEvent Dispatched = QueryLastEventByDispatch(pApplication, 77, nullptr);
    EXPECT_EQ(S_OK, Dispatched.hr);
    EXPECT_EQ(VT_BOOL, Dispatched.vValid.vt);
    EXPECT_EQ(VARIANT_FALSE, Dispatched.vValid.boolVal);

    // Enabled by default; no manager before Start; the pages and the settings' class.
    VARIANT_BOOL bEnabled = VARIANT_FALSE;
    EXPECT_EQ(S_OK, pApplication->get_Enabled(&bEnabled));
    EXPECT_EQ(VARIANT_TRUE, bEnabled);
    EXPECT_FALSE(ManagerOf(pApplication));
    EXPECT_EQ(E_POINTER, pApplication->get_Manager(nullptr));
    CComQIPtr<ISpecifyPropertyPages> pPages(pApplication);
    ASSERT_TRUE(pPages);
    CAUUID Pages{};
    ASSERT_EQ(S_OK, pPages->GetPages(&Pages));
    ASSERT_EQ(2u, Pages.cElems);
    EXPECT_EQ(CLSID_CStatusPropertyPage, Pages.pElems[0]);
    EXPECT_EQ(CLSID_CScenariosPropertyPage, Pages.pElems[1]);
    CoTaskMemFree(Pages.pElems);
    CComQIPtr<IPersistPropertyBag> pPersist(pApplication);
    ASSERT_TRUE(pPersist);
    CLSID Clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, pPersist->GetClassID(&Clsid));
    EXPECT_EQ(CLSID_CApplication, Clsid);
    CComPtr<IScenarios> pScenarios;
    EXPECT_EQ(E_NOINTERFACE, pApplication->QueryInterface(&pScenarios));
    EXPECT_FALSE(IsInRunningObjectTable(pApplication));

    // The class gives the one instance while it lives.
    CComPtr<IApplication> pAgain;
    ASSERT_EQ(S_OK, CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pAgain)));
    EXPECT_EQ(pApplication.p, pAgain.p);
}

TEST_F(ApplicationTest, LifeCycleSeenByAClientAndTheRunningObjectTable) {
    StoreScenario(u"watched");
    CComObjectT<CApplicationEventsSink>* pSink = nullptr;
    auto pApplication = NewApplication(&pSink);
    ASSERT_EQ(S_OK, Start(pApplication));
    EXPECT_EQ((Lines{"Starting", "Started"}), pSink->m_Seen);
    EXPECT_TRUE(Of(pApplication)->IsRunning());
    EXPECT_TRUE(IsInRunningObjectTable(pApplication));

    // The stored scenario runs; the collection answers IScenarios for the application.
    auto pManager = ManagerOf(pApplication);
    ASSERT_TRUE(pManager);
    CComPtr<IActivity> pActivity = FirstActivityOf(pManager);
    ASSERT_TRUE(pActivity);
    EXPECT_EQ(u"watched", FakeOf<CFakeActivity>(pActivity.p)->GetName());
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pActivity.p)->GetStartCount());
    CComPtr<IScenarios> pDelegated;
    ASSERT_EQ(S_OK, pApplication->QueryInterface(&pDelegated));
    CComPtr<IScenarios> pOwn;
    ASSERT_EQ(S_OK, pManager->get_Scenarios(&pOwn));
    EXPECT_TRUE(pDelegated.IsEqualObject(pOwn));
    pDelegated.Release();
    pOwn.Release();
    pManager.Release();

    VARIANT_BOOL bValid = VARIANT_TRUE;
    EXPECT_EQ(S_OK, pApplication->QueryLastEvent(nullptr, nullptr, &bValid));
    EXPECT_EQ(VARIANT_FALSE, bValid);

    Of(pApplication)->Stop();
    EXPECT_EQ((Lines{"Starting", "Started", "Stopping", "Stopped"}), pSink->m_Seen);
    EXPECT_FALSE(Of(pApplication)->IsRunning());
    EXPECT_FALSE(IsInRunningObjectTable(pApplication));
    EXPECT_FALSE(ManagerOf(pApplication));
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pActivity.p)->GetStopCount());
    // Nothing changed the setting, so Stop wrote none.
    EXPECT_EQ(0u, StoredEnabled().first);
}

TEST_F(ApplicationTest, StoredScenarioThatCannotBeReadIsAWarning) {
    StoreScenario(u"watched");
    const std::vector<BYTE> Damaged{0x00, 0x08, 0x00, 0x00, 0x08, 0x00, 0xFF, 0x00};
    {
        CRegKey Key;
        ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_LOCAL_MACHINE, kScenariosKeyPath));
        ASSERT_EQ(ERROR_SUCCESS, Key.SetBinaryValue(u"Damaged", Damaged.data(), static_cast<DWORD>(Damaged.size())));
    }
    CComObjectT<CApplicationEventsSink>* pSink = nullptr;
    auto pApplication = NewApplication(&pSink);
    ASSERT_EQ(S_OK, Start(pApplication));

    // The other scenario runs; the skipped value is announced once, by name, between Starting and Started.
    const std::string sWarning =
        "The stored scenario \"Damaged\" cannot be read; it is not run and stays in the store as it is.";
    EXPECT_EQ((Lines{"Starting", "Event 1 " + sWarning, "Started"}), pSink->m_Seen);
    auto pManager = ManagerOf(pApplication);
    ASSERT_TRUE(pManager);
    CComPtr<IActivity> pActivity = FirstActivityOf(pManager);
    ASSERT_TRUE(pActivity);
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pActivity.p)->GetStartCount());
    EVENTTYPE Type = EVENTTYPE_INFORMATION;
    BSTR sDescription = nullptr;
    VARIANT_BOOL bValid = VARIANT_FALSE;
    ASSERT_EQ(S_OK, pApplication->QueryLastEvent(&Type, &sDescription, &bValid));
    EXPECT_EQ(VARIANT_TRUE, bValid);
    EXPECT_EQ(EVENTTYPE_WARNING, Type);
    EXPECT_EQ(sWarning, comrt::ToUtf8(Text(sDescription)));
    SysFreeString(sDescription);
    pActivity.Release();
    pManager.Release();

    // Saved and stopped, the value is still there as it was.
    EXPECT_EQ(S_OK, pApplication->Save());
    Of(pApplication)->Stop();
    CRegKey Key;
    ASSERT_EQ(ERROR_SUCCESS, Key.Open(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ));
    std::vector<BYTE> Stored;
    ASSERT_EQ(ERROR_SUCCESS, Key.QueryBinaryValue(u"Damaged", Stored));
    EXPECT_EQ(Damaged, Stored);
}

TEST_F(ApplicationTest, ScenarioOfAClassNoLongerRegistered) {
    StoreScenario(u"orphan");
    m_Classes.Revoke(CLSID_FakeActivity);
    CComObjectT<CApplicationEventsSink>* pSink = nullptr;
    auto pApplication = NewApplication(&pSink);
    ASSERT_EQ(S_OK, Start(pApplication));

    // Running without a manager; the failure is announced once, between Starting and Started.
    const std::u16string sClassNotRegistered = FormatSystemMessage(REGDB_E_CLASSNOTREG);
    ASSERT_FALSE(sClassNotRegistered.empty());
    EXPECT_EQ((Lines{"Starting", "Event 2 " + comrt::ToUtf8(sClassNotRegistered), "Started"}), pSink->m_Seen);
    EXPECT_TRUE(Of(pApplication)->IsRunning());
    EXPECT_FALSE(ManagerOf(pApplication));
    CComPtr<IScenarios> pScenarios;
    EXPECT_EQ(E_NOINTERFACE, pApplication->QueryInterface(&pScenarios));

    // A client that connects later asks for it; the answer stays.
    for (int nRound = 0; nRound < 2; ++nRound) {
        EVENTTYPE Type = EVENTTYPE_INFORMATION;
        BSTR sDescription = nullptr;
        VARIANT_BOOL bValid = VARIANT_FALSE;
        ASSERT_EQ(S_OK, pApplication->QueryLastEvent(&Type, &sDescription, &bValid));
        EXPECT_EQ(VARIANT_TRUE, bValid);
        EXPECT_EQ(EVENTTYPE_ERROR, Type);
        EXPECT_EQ(sClassNotRegistered, Text(sDescription));
        SysFreeString(sDescription);
    }
    EVENTTYPE Type = EVENTTYPE_INFORMATION;
    VARIANT_BOOL bValid = VARIANT_FALSE;
    EXPECT_EQ(E_POINTER, pApplication->QueryLastEvent(&Type, nullptr, &bValid));
    DispatchedLastEvent Dispatched = QueryLastEventByDispatch(pApplication, 0, nullptr);
    EXPECT_EQ(S_OK, Dispatched.hr);
    EXPECT_EQ(VARIANT_TRUE, Dispatched.vValid.boolVal);
    EXPECT_EQ(EVENTTYPE_ERROR, Dispatched.nType);
    EXPECT_EQ(sClassNotRegistered, Text(Dispatched.sDescription));
    SysFreeString(Dispatched.sDescription);

    // Stopping saves no list, as there was none: the stored scenario is kept for when the class returns.
    Of(pApplication)->Stop();
    EXPECT_EQ((Lines{"Starting", "Event 2 " + comrt::ToUtf8(sClassNotRegistered), "Started", "Stopping", "Stopped"}),
              pSink->m_Seen);
    CRegKey Key;
    ASSERT_EQ(ERROR_SUCCESS, Key.Open(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ));
    DWORD nSize = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(Key, u"1", nullptr, nullptr, nullptr, &nSize));
    EXPECT_GT(nSize, 0u);
}

TEST_F(ApplicationTest, DisablingAndEnablingWhileStartedReloadsTheScenarios) {
    StoreScenario(u"first");
    CComObjectT<CApplicationEventsSink>* pSink = nullptr;
    auto pApplication = NewApplication(&pSink);
    ASSERT_EQ(S_OK, Start(pApplication));
    CComPtr<IActivity> pFirstRun = FirstActivityOf(ManagerOf(pApplication));
    ASSERT_TRUE(pFirstRun);

    // Disabled: the manager goes (its scenarios are ended and saved) and the collection with it.
    ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_FALSE));
    VARIANT_BOOL bEnabled = VARIANT_TRUE;
    EXPECT_EQ(S_OK, pApplication->get_Enabled(&bEnabled));
    EXPECT_EQ(VARIANT_FALSE, bEnabled);
    EXPECT_FALSE(ManagerOf(pApplication));
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pFirstRun.p)->GetStopCount());
    CComPtr<IScenarios> pScenarios;
    EXPECT_EQ(E_NOINTERFACE, pApplication->QueryInterface(&pScenarios));
    ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_FALSE));  // no change: nothing happens

    // Enabled again: loaded from the store and started anew, as other objects.
    ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_TRUE));
    auto pManager = ManagerOf(pApplication);
    ASSERT_TRUE(pManager);
    CComPtr<IActivity> pSecondRun = FirstActivityOf(pManager);
    ASSERT_TRUE(pSecondRun);
    EXPECT_NE(pFirstRun.p, pSecondRun.p);
    EXPECT_EQ(u"first", FakeOf<CFakeActivity>(pSecondRun.p)->GetName());
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pSecondRun.p)->GetStartCount());
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pFirstRun.p)->GetStartCount());
    pManager.Release();

    // Through IDispatch as the Status page writes it: the same property.
    VARIANT vValue;
    VariantInit(&vValue);
    vValue.vt = VT_BOOL;
    vValue.boolVal = VARIANT_FALSE;
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Parameters{&vValue, &nNamed, 1, 1};
    ASSERT_EQ(S_OK, pApplication->Invoke(DISPID_Application_Enabled, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Parameters,
                                         nullptr, nullptr, nullptr));
    EXPECT_FALSE(ManagerOf(pApplication));
    EXPECT_EQ(1, FakeOf<CFakeActivity>(pSecondRun.p)->GetStopCount());

    Of(pApplication)->Stop();
    // No error along the way.
    EXPECT_EQ((Lines{"Starting", "Started", "Stopping", "Stopped"}), pSink->m_Seen);
}

TEST_F(ApplicationTest, EnabledWhileStoppedAndItsStoredValue) {
    StoreScenario(u"later");
    {
        auto pApplication = NewApplication();
        // Disabled and enabled again before Start: still no manager until Start makes one.
        ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_FALSE));
        ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_TRUE));
        EXPECT_FALSE(ManagerOf(pApplication));
        ASSERT_EQ(S_OK, Start(pApplication));
        EXPECT_TRUE(ManagerOf(pApplication));

        // Disabled while started: written at Stop as REG_DWORD 0.
        ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_FALSE));
        EXPECT_EQ(0u, StoredEnabled().first);
        Of(pApplication)->Stop();
        EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_DWORD), 0u), StoredEnabled());
    }
    EXPECT_EQ(nullptr, g_pApplication);
    {
        // The next run starts disabled, without touching the scenarios; Save writes at once.
        auto pApplication = NewApplication();
        ASSERT_EQ(S_OK, Start(pApplication));
        VARIANT_BOOL bEnabled = VARIANT_TRUE;
        EXPECT_EQ(S_OK, pApplication->get_Enabled(&bEnabled));
        EXPECT_EQ(VARIANT_FALSE, bEnabled);
        EXPECT_FALSE(ManagerOf(pApplication));
        ASSERT_EQ(S_OK, pApplication->put_Enabled(VARIANT_TRUE));
        auto pManager = ManagerOf(pApplication);
        ASSERT_TRUE(pManager);
        EXPECT_EQ(u"later", FakeOf<CFakeActivity>(FirstActivityOf(pManager).p)->GetName());
        pManager.Release();
        ASSERT_EQ(S_OK, pApplication->Save());
        EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_DWORD), 1u), StoredEnabled());
        Of(pApplication)->Stop();
    }
}

TEST_F(ApplicationTest, TerminateByRunMode) {
    auto pApplication = NewApplication();
    MSG msg{};
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the main thread's queue exists, as the module's does

    // Service Mode: refused, and nothing reaches the main thread.
    SetServiceMode(true);
    EXPECT_EQ(kTerminateInServiceModeResult, pApplication->Terminate());
    EXPECT_EQ(static_cast<HRESULT>(0xA7650193), kTerminateInServiceModeResult);
    EXPECT_EQ(FALSE, PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

    // Application Mode: a client's call on another thread ends the main thread's message loop.
    SetServiceMode(false);
    HRESULT hr = E_FAIL;
    std::thread Client([&] { hr = pApplication->Terminate(); });
    Client.join();
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(FALSE, GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(WM_QUIT, msg.message);
}

TEST_F(ApplicationTest, SecondInstanceInAnotherProcessIsRefused) {
    int Ready[2];
    ASSERT_EQ(0, pipe(Ready));
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0) {
        close(Ready[1]);
        char c = 0;
        if (read(Ready[0], &c, 1) != 1) _exit(3);
        RegResetStore();
        CComPtr<IApplication> pSecond;
        if (FAILED(CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pSecond)))) _exit(4);
        Of(pSecond)->SetMainThreadIdentifier(GetCurrentThreadId());
        const HRESULT hr = Start(pSecond);
        // Refused before any scenario was loaded.
        _exit(hr == static_cast<HRESULT>(0x80070420) && !ManagerOf(pSecond) && !Of(pSecond)->IsRunning() ? 0 : 1);
    }
    close(Ready[0]);
    StoreScenario(u"first instance");
    auto pApplication = NewApplication();
    ASSERT_EQ(S_OK, Start(pApplication));
    ASSERT_EQ(1, write(Ready[1], "x", 1));
    close(Ready[1]);
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    EXPECT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(0, WEXITSTATUS(nStatus));

    // The first instance runs on; once it stopped, another may start.
    EXPECT_TRUE(ManagerOf(pApplication));
    Of(pApplication)->Stop();
    pApplication.Release();
    auto pNext = NewApplication();
    EXPECT_EQ(S_OK, Start(pNext));
    Of(pNext)->Stop();
}

TEST_F(ApplicationTest, SharedRecordByRunMode) {
    for (const bool bServiceMode : {false, true}) {
        SetServiceMode(bServiceMode);
        auto pApplication = NewApplication();
        ASSERT_EQ(S_OK, Start(pApplication));
        _APPLICATIONDATA Record{};
        ASSERT_TRUE(ReadRecordInAnotherProcess(&Record));
        EXPECT_EQ(20u, Record.nSize);
        EXPECT_EQ(4096u, Record.nMappingSize);
        EXPECT_EQ(static_cast<std::uint32_t>(getpid()), Record.nProcessIdentifier);
        EXPECT_EQ(bServiceMode ? 0u : 1u, Record.bApplicationMode);
        EXPECT_EQ(0u, Record.nNotifyIconWindow);
        Of(pApplication)->Stop();
    }
}

// The user's own server (here a stand-in holding the record of the default name) does not keep an
// instance of a record name of its own from starting, nor is its record the one that instance publishes.
TEST_F(ApplicationTest, RunsBesideTheUsersOwnServer) {
    CApplicationDataMapping UsersServer;
    bool bExisted = false;
    UsersServer.Initialize(kApplicationDataName, &bExisted);
    { CApplicationDataMapping::CAccessor Release(UsersServer, true); }
    auto pApplication = NewApplication();
    EXPECT_EQ(S_OK, Start(pApplication));
    _APPLICATIONDATA Record{};
    EXPECT_TRUE(ReadRecordInAnotherProcess(&Record));
    EXPECT_EQ(static_cast<std::uint32_t>(getpid()), Record.nProcessIdentifier);
    Of(pApplication)->Stop();
    UsersServer.Terminate();
}

TEST_F(ApplicationTest, RecordNameFromTheEnvironment) {
    const std::string sPrevious = getenv(kApplicationDataNameVariable) ? getenv(kApplicationDataNameVariable) : "";
    const struct {
        const char* pszValue;
        std::u16string sName;
    } Cases[] = {{nullptr, kApplicationDataName}, {"", kApplicationDataName}, {"Own.Record", u"Own.Record"}};
    for (const auto& Case : Cases) {
        if (Case.pszValue == nullptr)
            unsetenv(kApplicationDataNameVariable);
        else
            setenv(kApplicationDataNameVariable, Case.pszValue, 1);
        EXPECT_EQ(Case.sName, ApplicationDataName()) << (Case.pszValue ? Case.pszValue : "(unset)");
    }
    setenv(kApplicationDataNameVariable, sPrevious.c_str(), 1);
}

TEST_F(ApplicationTest, InterfaceNamesForTheTrace) {
    EXPECT_EQ(u"{EFC05734-2CAD-4284-B0B2-549A4B6D9560}", GetInterfaceName(IidOf<IApplication>()));
    CRegKey Key;
    ASSERT_EQ(ERROR_SUCCESS, Key.Create(HKEY_CLASSES_ROOT, u"Interface\\{EFC05734-2CAD-4284-B0B2-549A4B6D9560}"));
    ASSERT_EQ(ERROR_SUCCESS, Key.SetStringValue(u"", u"IApplication"));
    EXPECT_EQ(u"IApplication", GetInterfaceName(IidOf<IApplication>()));
}
