// A plug-in library, built like HarkwellPack1, registered with hkregsvr in a private store, created by class
// identifier from this test program, found by the category scan, and unregistered again; the server
// program's own registration switches; libraries that cannot serve.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "ActivityEvent.h"
#include "ClassesRootReader.h"
#include "HarkwellServer/Interfaces.h"
#include "ServerRegistration.h"
#include "TestEnvironment.h"
#include "TestPluginIds.h"
#include "comrt/comptr.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/ulcategories.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulregister.h"
#include "corvane/ulregistry.h"

using testing_support::KeyExists;
using testing_support::LibraryPath;
using testing_support::ProgramPath;
using testing_support::ReadString;
using testing_support::RunProgram;

namespace {

std::vector<CLSID> ClassesOf(REFGUID catid) {
    std::vector<CLSID> classes;
    CCategoryClassEnumerator enumerator(catid);
    CLSID clsid;
    while (enumerator.Next(clsid)) classes.push_back(clsid);
    return classes;
}

class PluginRegistration : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override {
        CoFreeUnusedLibraries();
        CoUninitialize();
    }

    testing_support::ProcessResult RegisterServer(const std::string& sLibrary, bool bUnregister = false) {
        std::vector<std::string> arguments{ProgramPath("hkregsvr").string()};
        if (bUnregister) arguments.push_back("-u");
        arguments.push_back(LibraryPath(sLibrary).string());
        return RunProgram(arguments);
    }

    testing_support::CTemporaryRegistry m_Registry;
};

}  // namespace

TEST_F(PluginRegistration, RegisteredLibraryIsCreatedByClassIdentifierAndFoundByCategory) {
    const auto result = RegisterServer("TestPlugin.so");
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;

    const std::u16string sClass = u"CLSID\\" + corvane::GuidText(CLSID_CTestActivity);
    EXPECT_EQ(comrt::ToUtf16(LibraryPath("TestPlugin.so").string()), ReadString(sClass + u"\\InprocServer32"));
    EXPECT_EQ(u"Test Activity", ReadString(u"CTestActivity.CTestActivity.1"));
    EXPECT_EQ(u"TestPlugin", ReadString(u"AppID\\" + corvane::GuidText(CLSID_TestPluginAppId)));
    EXPECT_EQ(corvane::GuidText(CLSID_TestPluginAppId), ReadString(u"AppID\\TestPlugin.so", u"AppID"));

    EXPECT_EQ(std::vector<CLSID>{CLSID_CTestActivity}, ClassesOf(CATID_CorvaneHarkwellActivities));
    EXPECT_EQ(std::vector<CLSID>{CLSID_CTestNotification}, ClassesOf(CATID_CorvaneHarkwellNotifications));

    // Created by class identifier: the library is loaded into this process and serves its class.
    CComPtr<IActivity> pActivity;
    ASSERT_EQ(S_OK, pActivity.CoCreateInstance(CLSID_CTestActivity, nullptr, CLSCTX_ALL));
    BSTR sTitle = nullptr;
    ASSERT_EQ(S_OK, pActivity->get_Title(&sTitle));
    EXPECT_EQ(u"Test Activity", std::u16string(sTitle));
    SysFreeString(sTitle);
    ASSERT_EQ(S_OK, pActivity->Start());

    // Through the ProgID as well.
    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"CTestNotification.CTestNotification", &clsid));
    EXPECT_EQ(CLSID_CTestNotification, clsid);

    // The notification reads an event record made by this program's CActivityEvent class: objects of two
    // modules, each with its own copy of the foundation library, meet through the contract alone.
    CComPtr<INotification> pNotification;
    ASSERT_EQ(S_OK, pNotification.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER));
    CComPtr<IActivityEvent> pEvent;
    ASSERT_EQ(S_OK, CreateObjectT<CActivityEvent>(IidOf<IActivityEvent>(), reinterpret_cast<void**>(&pEvent)));
    BSTR sSubject = SysAllocString(u"Host \"alpha\" is offline");
    pEvent->put_Subject(sSubject);
    SysFreeString(sSubject);
    ASSERT_EQ(S_OK, pNotification->Handle(pActivity, pEvent));
    ASSERT_EQ(S_OK, pNotification->get_Title(&sTitle));
    EXPECT_EQ(u"Host \"alpha\" is offline", std::u16string(sTitle));
    SysFreeString(sTitle);

    // While objects of the library live it must stay loaded; after they go it may be unloaded.
    CoFreeUnusedLibraries();
    ASSERT_EQ(S_OK, pActivity->Stop());
    pActivity.Release();
    pNotification.Release();
    CoFreeUnusedLibraries();
}

TEST_F(PluginRegistration, UnregistrationRemovesTheKeysAndKeepsSharedParents) {
    ASSERT_EQ(0, RegisterServer("TestPlugin.so").nExitCode);
    ASSERT_EQ(0, RegisterServer("TestPlugin.so").nExitCode);  // twice is the same as once
    {
        CRegKey other;
        ASSERT_EQ(ERROR_SUCCESS, other.Create(HKEY_CLASSES_ROOT, u"AppID\\{99999999-0000-0000-0000-000000000000}"));
    }
    const auto result = RegisterServer("TestPlugin.so", true);
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;
    EXPECT_FALSE(KeyExists(u"CLSID\\" + corvane::GuidText(CLSID_CTestActivity)));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + corvane::GuidText(CLSID_CTestNotification)));
    EXPECT_FALSE(KeyExists(u"CTestActivity.CTestActivity.1"));
    EXPECT_FALSE(KeyExists(u"CTestActivity.CTestActivity"));
    EXPECT_FALSE(KeyExists(u"AppID\\TestPlugin.so"));
    EXPECT_FALSE(KeyExists(u"TypeLib\\" + corvane::GuidText(CLSID_TestPluginAppId)));
    EXPECT_TRUE(KeyExists(u"CLSID"));
    EXPECT_TRUE(KeyExists(u"AppID"));
    EXPECT_TRUE(KeyExists(u"AppID\\{99999999-0000-0000-0000-000000000000}"));
    EXPECT_TRUE(ClassesOf(CATID_CorvaneHarkwellActivities).empty());

    CComPtr<IActivity> pActivity;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, pActivity.CoCreateInstance(CLSID_CTestActivity, nullptr, CLSCTX_INPROC_SERVER));
}

TEST_F(PluginRegistration, LibrariesThatCannotServeGiveClearErrors) {
    auto result = RegisterServer("TestPluginNoEntryPoints.so");
    EXPECT_EQ(4, result.nExitCode);
    EXPECT_NE(std::string::npos, result.sOutput.find("DllRegisterServer was not found")) << result.sOutput;

    result = RegisterServer("NoSuchLibrary.so");
    EXPECT_EQ(3, result.nExitCode);
    EXPECT_NE(std::string::npos, result.sOutput.find("failed to load")) << result.sOutput;

    result = RunProgram({ProgramPath("hkregsvr").string()});
    EXPECT_EQ(1, result.nExitCode);

    // A class registered with a library that lacks DllGetClassObject, and one whose library is gone.
    const CLSID kBroken = MakeGuid("{6B0F6D4F-31C2-4E59-9A43-2B8C0C7D2E11}");
    const CLSID kMissing = MakeGuid("{6B0F6D4E-31C2-4E59-9A43-2B8C0C7D2E11}");
    {
        CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  key.Create(HKEY_CLASSES_ROOT, u"CLSID\\" + corvane::GuidText(kBroken) + u"\\InprocServer32"));
        key.SetStringValue(u"", comrt::ToUtf16(LibraryPath("TestPluginNoEntryPoints.so").string()));
        ASSERT_EQ(ERROR_SUCCESS,
                  key.Create(HKEY_CLASSES_ROOT, u"CLSID\\" + corvane::GuidText(kMissing) + u"\\InprocServer32"));
        key.SetStringValue(u"", u"/nonexistent/Missing.so");
    }
    CComPtr<IUnknown> pUnknown;
    EXPECT_EQ(CO_E_ERRORINDLL, pUnknown.CoCreateInstance(kBroken, nullptr, CLSCTX_INPROC_SERVER));
    EXPECT_EQ(CO_E_DLLNOTFOUND, pUnknown.CoCreateInstance(kMissing, nullptr, CLSCTX_INPROC_SERVER));
    // The failure carries a description a person can read.
    CComPtr<IErrorInfo> pErrorInfo;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &pErrorInfo));
    BSTR sDescription = nullptr;
    ASSERT_EQ(S_OK, pErrorInfo->GetDescription(&sDescription));
    EXPECT_NE(std::u16string::npos, std::u16string(sDescription).find(u"Missing.so"));
    SysFreeString(sDescription);
}

TEST_F(PluginRegistration, ServerProgramRegistersItsAppIdCategoriesAndClasses) {
    const std::string sProgram = ProgramPath("HarkwellServer").string();
    auto result = RunProgram({sProgram, "/RegServer"});
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;

    const std::u16string sAppId = u"AppID\\{E9DD5B21-0728-430C-B8F0-375FF814CCC7}";
    EXPECT_EQ(u"Corvane Harkwell Server", ReadString(sAppId));
    EXPECT_EQ(u"Interactive User", ReadString(sAppId, u"RunAs"));
    EXPECT_EQ(u"{E9DD5B21-0728-430C-B8F0-375FF814CCC7}", ReadString(u"AppID\\HarkwellServer", u"AppID"));
    EXPECT_EQ(u"Corvane Harkwell Activities",
              ReadString(u"Component Categories\\{0D143C68-02B2-4F47-898B-CF1312E4E501}", u"409"));
    EXPECT_EQ(u"Corvane Harkwell Notifications",
              ReadString(u"Component Categories\\{33065B4E-FCD1-4DBA-8451-FD4542C19C03}", u"409"));
    const std::u16string sClass = u"CLSID\\{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}";
    EXPECT_EQ(u"CActivityEvent Object", ReadString(sClass));
    EXPECT_EQ(u"CActivityEvent.CActivityEvent.1", ReadString(sClass + u"\\ProgID"));
    EXPECT_EQ(u"CActivityEvent.CActivityEvent", ReadString(sClass + u"\\VersionIndependentProgID"));
    EXPECT_EQ(u"free", ReadString(sClass + u"\\LocalServer32", u"ThreadingModel"));
    EXPECT_EQ(comrt::ToUtf16(std::filesystem::canonical(sProgram).string()), ReadString(sClass + u"\\LocalServer32"));

    // A "RunAs" chosen by an administrator survives re-registration.
    {
        CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CLASSES_ROOT, sAppId));
        key.SetStringValue(u"RunAs", u"harkwell");
    }
    ASSERT_EQ(0, RunProgram({sProgram, "-regserver"}).nExitCode);
    EXPECT_EQ(u"harkwell", ReadString(sAppId, u"RunAs"));

    result = RunProgram({sProgram, "/UnregServer"});
    ASSERT_EQ(0, result.nExitCode) << result.sOutput;
    EXPECT_FALSE(KeyExists(sClass));
    EXPECT_FALSE(KeyExists(u"CActivityEvent.CActivityEvent.1"));
    EXPECT_FALSE(KeyExists(u"AppID\\HarkwellServer"));
    EXPECT_FALSE(KeyExists(u"Component Categories\\{0D143C68-02B2-4F47-898B-CF1312E4E501}"));
    EXPECT_TRUE(KeyExists(u"Component Categories"));
    EXPECT_TRUE(KeyExists(u"AppID"));
    EXPECT_TRUE(KeyExists(u"CLSID"));
}

// A stream saved by one process is loaded by another: the object comes back from its stored class
// identifier, created through the registry from the plug-in library, with its settings.
TEST_F(PluginRegistration, StreamSavedByOneProcessIsLoadedByAnother) {
    ASSERT_EQ(0, RegisterServer("TestPlugin.so").nExitCode);
    testing_support::CTemporaryDirectory folder;
    const std::filesystem::path file = folder.Path() / "activity.stream";

    const pid_t nChild = fork();
    ASSERT_NE(-1, nChild);
    if (nChild == 0) {
        // The writing process: anything but a clean exit code 0 fails the test below.
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int nExitCode = 1;
        {
            CComPtr<IActivity> pActivity;
            CComObjectT<CMemoryStream>* pStream = nullptr;
            if (SUCCEEDED(pActivity.CoCreateInstance(CLSID_CTestActivity, nullptr, CLSCTX_INPROC_SERVER)) &&
                SUCCEEDED(pActivity->Start()) && SUCCEEDED(pActivity->Start()) &&
                SUCCEEDED(CComObjectT<CMemoryStream>::CreateInstance(&pStream))) {
                CComQIPtr<IPersistStream> pPersist(pActivity.p);
                STATSTG stat{};
                if (pPersist && SUCCEEDED(OleSaveToStream(pPersist, pStream)) &&
                    SUCCEEDED(pStream->Stat(&stat, STATFLAG_NONAME))) {
                    std::vector<char> bytes(static_cast<std::size_t>(stat.cbSize.QuadPart));
                    ULARGE_INTEGER nIgnored{};
                    ULONG nRead = 0;
                    pStream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &nIgnored);
                    pStream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &nRead);
                    std::ofstream out(file, std::ios::binary);
                    out.write(bytes.data(), nRead);
                    nExitCode = (out && nRead == bytes.size()) ? 0 : 2;
                }
            }
            if (pStream) pStream->Release();
        }
        _exit(nExitCode);
    }
    int nStatus = 0;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    ASSERT_TRUE(WIFEXITED(nStatus));
    ASSERT_EQ(0, WEXITSTATUS(nStatus));

    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 16u);
    CComObjectT<CMemoryStream>* pStream = nullptr;
    ASSERT_EQ(S_OK, CComObjectT<CMemoryStream>::CreateInstance(&pStream));
    CComPtr<IStream> pStreamHolder;
    pStreamHolder.Attach(pStream);
    ULONG nWritten = 0;
    ASSERT_EQ(S_OK, pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &nWritten));
    ULARGE_INTEGER nIgnored{};
    ASSERT_EQ(S_OK, pStream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &nIgnored));

    CComPtr<IActivity> pActivity;
    ASSERT_EQ(S_OK, OleLoadFromStream(pStream, IidOf<IActivity>(), reinterpret_cast<void**>(&pActivity)));
    BSTR sTitle = nullptr;
    ASSERT_EQ(S_OK, pActivity->get_Title(&sTitle));
    EXPECT_EQ(u"Test Activity (started 2)", std::u16string(sTitle));
    SysFreeString(sTitle);

    // Once the class is no longer registered, the same stream loads as no object.
    pActivity.Release();
    ASSERT_EQ(0, RegisterServer("TestPlugin.so", true).nExitCode);
    ASSERT_EQ(S_OK, pStream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &nIgnored));
    void* pv = reinterpret_cast<void*>(1);
    const HRESULT hr = OleLoadFromStream(pStream, IidOf<IActivity>(), &pv);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);
    EXPECT_EQ(nullptr, pv);
}
