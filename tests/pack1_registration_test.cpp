// The plug-in library HarkwellPack1.so, registered with hkregsvr in a private store: the keys of its classes,
// the category scan finding its activities, an activity created by class identifier raising its event
// through the server's event record class, unloading once nothing of it is in use, and unregistration.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ClassesRootReader.h"
#include "HarkwellServer/Interfaces.h"
#include "Pack1Ids.h"
#include "ServerRegistration.h"
#include "TestEnvironment.h"
#include "comrt/comptr.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/ulcategories.h"
#include "corvane/ulregister.h"

using testing_support::KeyExists;
using testing_support::LibraryPath;
using testing_support::ProgramPath;
using testing_support::ReadString;
using testing_support::RunProgram;

using testing_support::kFileSystemCheckActivity;
using testing_support::kIPingActivity;
using testing_support::kPingActivity;
using testing_support::kProcessCheckActivity;
using testing_support::kSmtpNotification;
using testing_support::kSystemPerformanceCheckActivity;

namespace {

// The library's identifiers, as a client that knows only its registration sees them.
const GUID kAppId = MakeGuid("{E67DF562-1D78-4BB0-9C47-85BC3B320855}");

using PFN_DllCanUnloadNow = HRESULT (*)();
using PFN_DllGetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);

std::vector<CLSID> ClassesOf(REFGUID catid) {
    std::vector<CLSID> classes;
    CCategoryClassEnumerator enumerator(catid);
    CLSID clsid;
    while (enumerator.Next(clsid)) classes.push_back(clsid);
    return classes;
}

bool Contains(const std::vector<CLSID>& classes, REFCLSID clsid) {
    for (const CLSID& c : classes)
        if (c == clsid) return true;
    return false;
}

// Whether a library is loaded into this process (the loader's list: its file may stay mapped for other
// reasons, such as a symbol reader).
bool IsLoaded(const std::string& sPath) {
    struct Search {
        const std::string& sPath;
        bool bFound;
    } search{sPath, false};
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, size_t, void* pData) {
            auto* pSearch = static_cast<Search*>(pData);
            if (pInfo->dlpi_name != nullptr && pSearch->sPath == pInfo->dlpi_name) pSearch->bFound = true;
            return 0;
        },
        &search);
    return search.bFound;
}

bool Eventually(const std::function<bool()>& Condition) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Condition()) {
        if (std::chrono::steady_clock::now() > Deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Records the subject of each event an activity raises.
class CSubjectSink : public IDispatch {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IDispatch>, InterfaceIdEntry<_ActivityEvents::kIid, IDispatch>>;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* pParams, VARIANT*, EXCEPINFO*, UINT*) override {
        if (dispid != DISPID_ActivityEvents_Notification || pParams->cArgs != 1 || pParams->rgvarg[0].vt != VT_DISPATCH)
            return DISP_E_MEMBERNOTFOUND;
        CComQIPtr<IActivityEvent> pEvent(pParams->rgvarg[0].pdispVal);
        if (!pEvent) return E_NOINTERFACE;
        BSTR sSubject = nullptr;
        pEvent->get_Subject(&sSubject);
        std::lock_guard Lock(m_Lock);
        m_Subjects.emplace_back(sSubject ? sSubject : u"", SysStringLen(sSubject));
        SysFreeString(sSubject);
        return S_OK;
    }
    std::vector<std::u16string> Subjects() {
        std::lock_guard Lock(m_Lock);
        return m_Subjects;
    }

private:
    std::mutex m_Lock;
    std::vector<std::u16string> m_Subjects;
};

HRESULT PutProperty(IDispatch* pDispatch, DISPID dispid, VARIANT Value) {
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Params{&Value, &nNamed, 1, 1};
    return pDispatch->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr);
}
HRESULT PutLong(IDispatch* pDispatch, DISPID dispid, LONG n) {
    VARIANT Value;
    VariantInit(&Value);
    Value.vt = VT_I4;
    Value.lVal = n;
    return PutProperty(pDispatch, dispid, Value);
}

class Pack1Registration : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }

    testing_support::ProcessResult RegisterServer(bool bUnregister = false) {
        std::vector<std::string> arguments{ProgramPath("hkregsvr").string()};
        if (bUnregister) arguments.push_back("-u");
        arguments.push_back(LibraryPath("HarkwellPack1.so").string());
        return RunProgram(arguments);
    }

    testing_support::CTemporaryRegistry m_Registry;
};

}  // namespace

// Every activity class, with the ProgIDs its class name gives (cut to 37 characters before ".1"), in the
// order the category lists them.
TEST_F(Pack1Registration, EveryActivityIsRegisteredUnderActivitiesWithItsNameAndProgIds) {
    const auto result = RegisterServer();
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;
    struct Case {
        CLSID clsid;
        const char16_t* pszFriendlyName;
        const char16_t* pszProgId;
    } const Cases[] = {
        {kProcessCheckActivity, u"Process Check Activity", u"CProcessCheckActivity.CProcessCheckAc"},
        {kPingActivity, u"Ping Availabilty Activity", u"CPingActivity.CPingActivity"},
        {kFileSystemCheckActivity, u"File System Check Activity", u"CFileSystemCheckActivity.CFileSystemC"},
        {kSystemPerformanceCheckActivity, u"System Performance Information Check Activity",
         u"CSystemPerformanceCheckActivity.CSyst"},
    };
    std::vector<CLSID> Expected;
    for (const Case& c : Cases) {
        const std::u16string sClass = u"CLSID\\" + corvane::GuidText(c.clsid);
        EXPECT_EQ(c.pszFriendlyName, ReadString(sClass));
        EXPECT_EQ(std::u16string(c.pszProgId) + u".1", ReadString(sClass + u"\\ProgID"));
        EXPECT_EQ(c.pszProgId, ReadString(sClass + u"\\VersionIndependentProgID"));
        EXPECT_EQ(u"free", ReadString(sClass + u"\\InprocServer32", u"ThreadingModel"));
        CLSID clsid{};
        EXPECT_EQ(S_OK, CLSIDFromProgID(c.pszProgId, &clsid));
        EXPECT_EQ(c.clsid, clsid);
        CComPtr<IActivity> pActivity;
        EXPECT_EQ(S_OK, pActivity.CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER));
        Expected.push_back(c.clsid);
    }
    EXPECT_EQ(Expected, ClassesOf(CATID_CorvaneHarkwellActivities));
}

TEST_F(Pack1Registration, PingActivityIsRegisteredUnderActivitiesWithItsProgIds) {
    const auto result = RegisterServer();
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;

    const std::u16string sClsid = corvane::GuidText(kPingActivity);
    const std::u16string sClass = u"CLSID\\" + sClsid;
    EXPECT_EQ(u"Ping Availabilty Activity", ReadString(u"CPingActivity.CPingActivity.1"));
    EXPECT_EQ(sClsid, ReadString(u"CPingActivity.CPingActivity.1\\CLSID"));
    EXPECT_EQ(u"Ping Availabilty Activity", ReadString(u"CPingActivity.CPingActivity"));
    EXPECT_EQ(sClsid, ReadString(u"CPingActivity.CPingActivity\\CLSID"));
    EXPECT_EQ(u"CPingActivity.CPingActivity.1", ReadString(u"CPingActivity.CPingActivity\\CurVer"));
    EXPECT_EQ(u"Ping Availabilty Activity", ReadString(sClass));
    EXPECT_EQ(u"CPingActivity.CPingActivity.1", ReadString(sClass + u"\\ProgID"));
    EXPECT_EQ(u"CPingActivity.CPingActivity", ReadString(sClass + u"\\VersionIndependentProgID"));
    EXPECT_TRUE(KeyExists(sClass + u"\\Programmable"));
    EXPECT_EQ(comrt::ToUtf16(LibraryPath("HarkwellPack1.so").string()), ReadString(sClass + u"\\InprocServer32"));
    EXPECT_EQ(u"free", ReadString(sClass + u"\\InprocServer32", u"ThreadingModel"));
    EXPECT_EQ(corvane::GuidText(kAppId), ReadString(sClass, u"AppID"));
    EXPECT_EQ(corvane::GuidText(kAppId), ReadString(sClass + u"\\TypeLib"));
    EXPECT_EQ(u"HarkwellPack1", ReadString(u"AppID\\" + corvane::GuidText(kAppId)));
    EXPECT_EQ(corvane::GuidText(kAppId), ReadString(u"AppID\\HarkwellPack1.so", u"AppID"));

    EXPECT_TRUE(Contains(ClassesOf(CATID_CorvaneHarkwellActivities), kPingActivity));
    EXPECT_FALSE(Contains(ClassesOf(CATID_CorvaneHarkwellNotifications), kPingActivity));
    // The e-mail notification is found under Notifications alone.
    EXPECT_EQ(std::vector<CLSID>{kSmtpNotification}, ClassesOf(CATID_CorvaneHarkwellNotifications));
    EXPECT_FALSE(Contains(ClassesOf(CATID_CorvaneHarkwellActivities), kSmtpNotification));
    const std::u16string sSmtpClass = u"CLSID\\" + corvane::GuidText(kSmtpNotification);
    EXPECT_EQ(u"SMTP E-mail Notification", ReadString(sSmtpClass));
    EXPECT_EQ(u"CSmtpNotification.CSmtpNotification.1", ReadString(sSmtpClass + u"\\ProgID"));
    EXPECT_EQ(u"CSmtpNotification.CSmtpNotification", ReadString(sSmtpClass + u"\\VersionIndependentProgID"));
    EXPECT_EQ(u"free", ReadString(sSmtpClass + u"\\InprocServer32", u"ThreadingModel"));
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"CPingActivity.CPingActivity", &clsid));
    EXPECT_EQ(kPingActivity, clsid);

    // Registering again changes nothing; unregistering removes the class and keeps the shared parents.
    ASSERT_EQ(0, RegisterServer().nExitCode);
    EXPECT_EQ(u"Ping Availabilty Activity", ReadString(sClass));
    const auto unregistration = RegisterServer(true);
    ASSERT_EQ(0, unregistration.nExitCode) << unregistration.sOutput;
    EXPECT_FALSE(KeyExists(sClass));
    EXPECT_FALSE(KeyExists(u"CPingActivity.CPingActivity.1"));
    EXPECT_FALSE(KeyExists(u"CPingActivity.CPingActivity"));
    EXPECT_FALSE(KeyExists(u"AppID\\HarkwellPack1.so"));
    EXPECT_TRUE(KeyExists(u"CLSID"));
    EXPECT_TRUE(KeyExists(u"AppID"));
    EXPECT_FALSE(Contains(ClassesOf(CATID_CorvaneHarkwellActivities), kPingActivity));
    CComPtr<IActivity> pActivity;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, pActivity.CoCreateInstance(kPingActivity, nullptr, CLSCTX_INPROC_SERVER));
}

// Whether any Qt library is loaded into this process.
bool IsToolkitLoaded() {
    bool bFound = false;
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, size_t, void* pData) {
            if (pInfo->dlpi_name != nullptr && std::string(pInfo->dlpi_name).find("/libQt") != std::string::npos)
                *static_cast<bool*>(pData) = true;
            return 0;
        },
        &bFound);
    return bFound;
}

// The page classes: registered by the plug-in with the companion library's path, apartment-threaded, in no
// category, with the ProgIDs their names give; the plug-in itself cannot make them, and making its
// activities and its notification loads no toolkit.
TEST_F(Pack1Registration, EveryPageClassIsRegisteredWithTheCompanionLibraryAndNoCategory) {
    const auto result = RegisterServer();
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;
    const struct {
        CLSID clsid;
        const char16_t* pszClassName;
        const char16_t* pszProgId;
    } kPages[] = {
        {MakeGuid("{DC71EF88-65E2-4920-A431-916AF9A193EF}"), u"CProcessCheckActivityNameExpressionPropertyPage",
         u"CProcessCheckActivityNameExpressionPr"},
        {MakeGuid("{631C7F7A-9BF1-417D-BFCA-544D5C384463}"), u"CPingActivityGeneralPropertyPage",
         u"CPingActivityGeneralPropertyPage.CPin"},
        {MakeGuid("{BD2CD2F8-7BDA-4D1D-8018-9B592BCB351A}"), u"CFileSystemCheckActivityGeneralPropertyPage",
         u"CFileSystemCheckActivityGeneralProper"},
        {MakeGuid("{40E10CA9-FE9C-4270-928B-11576AA8D571}"), u"CSystemPerformanceCheckActivityThresholdsPropertyPage",
         u"CSystemPerformanceCheckActivityThresh"},
        {MakeGuid("{AD7077B9-7D76-40B7-B488-60F0CECB2335}"), u"CSystemPerformanceCheckActivityCurrentPropertyPage",
         u"CSystemPerformanceCheckActivityCurren"},
        {MakeGuid("{8CF46EF4-3515-4528-BA30-E232F52C0CD7}"), u"CSystemPerformanceCheckActivityPollPropertyPage",
         u"CSystemPerformanceCheckActivityPollPr"},
        {MakeGuid("{37BF8D61-FD75-4F17-BFE7-BD816EDC84CF}"), u"CConnectionPropertyPage",
         u"CConnectionPropertyPage.CConnectionPr"},
        {MakeGuid("{E7E34ECB-2400-4191-B1F2-4CE199B0CBA0}"), u"CTemplatePropertyPage",
         u"CTemplatePropertyPage.CTemplateProper"},
    };
    const std::u16string sPages = comrt::ToUtf16(LibraryPath("HarkwellPack1UI.so").string());
    const auto pfnGetClassObject = reinterpret_cast<PFN_DllGetClassObject>(
        dlsym(dlopen(LibraryPath("HarkwellPack1.so").c_str(), RTLD_NOW), "DllGetClassObject"));
    ASSERT_NE(nullptr, pfnGetClassObject);
    for (const auto& c : kPages) {
        const CLSID& clsid = c.clsid;
        const std::u16string sClass = u"CLSID\\" + corvane::GuidText(clsid);
        const std::u16string sName = c.pszClassName;
        EXPECT_EQ(sName + u" Object", ReadString(sClass));
        EXPECT_EQ(std::u16string(c.pszProgId) + u".1", ReadString(sClass + u"\\ProgID"));
        EXPECT_EQ(c.pszProgId, ReadString(sClass + u"\\VersionIndependentProgID"));
        EXPECT_EQ(sName + u" Object", ReadString(std::u16string(c.pszProgId) + u".1"));
        EXPECT_EQ(sPages, ReadString(sClass + u"\\InprocServer32"));
        EXPECT_EQ(u"apartment", ReadString(sClass + u"\\InprocServer32", u"ThreadingModel"));
        EXPECT_FALSE(KeyExists(sClass + u"\\Implemented Categories"));
        EXPECT_FALSE(Contains(ClassesOf(CATID_CorvaneHarkwellActivities), clsid));
        EXPECT_FALSE(Contains(ClassesOf(CATID_CorvaneHarkwellNotifications), clsid));
        CComPtr<IUnknown> pFactory;
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
                  pfnGetClassObject(clsid, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)));
    }
    for (const CLSID& clsid : {kProcessCheckActivity, kPingActivity, kFileSystemCheckActivity,
                               kSystemPerformanceCheckActivity, kSmtpNotification}) {
        CComPtr<IUnknown> pObject;
        EXPECT_EQ(S_OK, pObject.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER));
    }
    EXPECT_FALSE(IsLoaded(LibraryPath("HarkwellPack1UI.so").string()));
    EXPECT_FALSE(IsToolkitLoaded());

    // Unregistration takes the page classes with the rest.
    const auto Removed = RegisterServer(true);
    ASSERT_EQ(0, Removed.nExitCode) << Removed.sOutput;
    for (const auto& c : kPages) {
        EXPECT_FALSE(KeyExists(u"CLSID\\" + corvane::GuidText(c.clsid)));
        EXPECT_FALSE(KeyExists(std::u16string(c.pszProgId) + u".1"));
        EXPECT_FALSE(KeyExists(c.pszProgId));
    }
}

TEST_F(Pack1Registration, ActivityRaisesItsEventThroughTheServersRecordAndTheLibraryUnloadsWhenIdle) {
    ASSERT_EQ(0, RegisterServer().nExitCode);
    // The event record is served by this program's class object, as the server serves it.
    CComPtr<IUnknown> pFactory;
    ASSERT_EQ(S_OK, ServerClassTable().GetClassObject(CLSID_CActivityEvent, IidOf<IUnknown>(),
                                                      reinterpret_cast<void**>(&pFactory)));
    DWORD nClassCookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_CActivityEvent, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                          &nClassCookie));

    CComPtr<IActivity> pActivity;
    ASSERT_EQ(S_OK, pActivity.CoCreateInstance(kPingActivity, nullptr, CLSCTX_ALL));
    const std::string sLibrary = LibraryPath("HarkwellPack1.so").string();
    void* hLibrary = dlopen(sLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, hLibrary);
    const auto pfnCanUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(hLibrary, "DllCanUnloadNow"));
    const auto pfnGetClassObject = reinterpret_cast<PFN_DllGetClassObject>(dlsym(hLibrary, "DllGetClassObject"));
    ASSERT_NE(nullptr, pfnCanUnloadNow);
    ASSERT_NE(nullptr, pfnGetClassObject);
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow());

    // Late-bound through its own interface: an empty host fails at once without sending anything, and
    // with FailureCount 1 the first probe reports the host offline.
    CComPtr<IDispatch> pPing;
    ASSERT_EQ(S_OK, pActivity->QueryInterface(kIPingActivity, reinterpret_cast<void**>(&pPing)));
    VARIANT Host;
    VariantInit(&Host);
    Host.vt = VT_BSTR;
    Host.bstrVal = SysAllocString(u"");
    EXPECT_EQ(S_OK, PutProperty(pPing, 1, Host));
    VariantClear(&Host);
    EXPECT_EQ(S_OK, PutLong(pPing, 3, 50));
    EXPECT_EQ(S_OK, PutLong(pPing, 5, 1));
    EXPECT_EQ(E_INVALIDARG, PutLong(pPing, 2, 0));

    CComObjectT<CSubjectSink>* pSink = nullptr;
    ASSERT_EQ(S_OK, CComObjectT<CSubjectSink>::CreateInstance(&pSink));
    CComQIPtr<IConnectionPointContainer> pContainer(pActivity.p);
    ASSERT_TRUE(pContainer);
    CComPtr<IConnectionPoint> pPoint;
    ASSERT_EQ(S_OK, pContainer->FindConnectionPoint(IidOf<_ActivityEvents>(), &pPoint));
    DWORD nSinkCookie = 0;
    ASSERT_EQ(S_OK, pPoint->Advise(static_cast<IDispatch*>(pSink), &nSinkCookie));
    ASSERT_EQ(S_OK, pActivity->Start());
    ASSERT_TRUE(Eventually([&] { return !pSink->Subjects().empty(); }));
    EXPECT_EQ(0u, pSink->Subjects()[0].find(u"Ping:  is offline on ")) << comrt::ToUtf8(pSink->Subjects()[0]);
    ASSERT_EQ(S_OK, pActivity->Stop());
    EXPECT_EQ(S_OK, pPoint->Unadvise(nSinkCookie));
    pPoint.Release();
    pContainer.Release();
    pPing.Release();
    pSink->Release();

    // Still in use while the activity lives; free once it is gone, its daemon with it.
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow());
    pActivity.Release();
    EXPECT_EQ(S_OK, pfnCanUnloadNow());

    // A server lock keeps the library as an object does.
    CComPtr<IClassFactory> pClassFactory;
    ASSERT_EQ(S_OK, pfnGetClassObject(kPingActivity, IidOf<IClassFactory>(), reinterpret_cast<void**>(&pClassFactory)));
    ASSERT_EQ(S_OK, pClassFactory->LockServer(TRUE));
    pClassFactory.Release();
    EXPECT_EQ(S_FALSE, pfnCanUnloadNow());
    ASSERT_EQ(S_OK, pfnGetClassObject(kPingActivity, IidOf<IClassFactory>(), reinterpret_cast<void**>(&pClassFactory)));
    ASSERT_EQ(S_OK, pClassFactory->LockServer(FALSE));
    pClassFactory.Release();
    EXPECT_EQ(S_OK, pfnCanUnloadNow());

    dlclose(hLibrary);
    EXPECT_TRUE(IsLoaded(sLibrary));
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(sLibrary));
    EXPECT_EQ(S_OK, CoRevokeClassObject(nClassCookie));
}
