// Registration scripts and the class table: what registration writes, in which order, and what
// unregistration leaves behind.
#include <gtest/gtest.h>

#include "ClassesRootReader.h"
#include "TestEnvironment.h"
#include "corvane/ulregister.h"
#include "corvane/ulregistry.h"

using namespace corvane;
using testing_support::KeyExists;
using testing_support::ReadString;
using testing_support::Subkeys;

namespace {

constexpr CLSID kClass = MakeGuid("{0A0B0C0D-1111-2222-3333-444455556666}");
constexpr CLSID kOtherClass = MakeGuid("{0A0B0C0D-1111-2222-3333-444455556667}");
constexpr GUID kAppId = MakeGuid("{E67DF562-1D78-4BB0-9C47-85BC3B320855}");
constexpr CATID kCategory = MakeGuid("{0D143C68-02B2-4f47-898B-CF1312E4E501}");
constexpr CATID kOtherCategory = MakeGuid("{33065B4E-FCD1-4dba-8451-FD4542C19C03}");

HRESULT DummyCreate(REFIID, void** ppv) {
    *ppv = nullptr;
    return E_NOTIMPL;
}

const ClassEntry kEntries[] = {
    {&kClass, &DummyCreate, u"CProcessCheckActivity", u"Process Check Activity", ThreadingModel::Free, &kCategory},
    {&kOtherClass, &DummyCreate, u"CPingActivityGeneralPropertyPage", u"CPingActivityGeneralPropertyPage Object",
     ThreadingModel::Apartment, nullptr},
};

ModuleRegistration Module() {
    ModuleRegistration module;
    module.sModulePath = u"/opt/corvane/lib/HarkwellPack1.so";
    module.pAppId = &kAppId;
    module.pTypeLibId = &kAppId;
    return module;
}

}  // namespace

TEST(ProgIds, FollowTheThirtySevenCharacterRule) {
    EXPECT_EQ(u"CProcessCheckActivity.CProcessCheckAc", MakeVersionIndependentProgId(u"CProcessCheckActivity"));
    EXPECT_EQ(u"CSystemPerformanceCheckActivity.CSyst",
              MakeVersionIndependentProgId(u"CSystemPerformanceCheckActivity"));
    EXPECT_EQ(u"CActivityEvent.CActivityEvent", MakeVersionIndependentProgId(u"CActivityEvent"));
    EXPECT_EQ(u"CPingActivityGeneralPropertyPage.CPin.1", ProgIdOf(kEntries[1]));
    ClassEntry explicitIds = kEntries[0];
    explicitIds.pszProgId = u"Corvane.HarkwellServer.Manager.1";
    explicitIds.pszVersionIndependentProgId = u"Corvane.HarkwellServer.Manager";
    EXPECT_EQ(u"Corvane.HarkwellServer.Manager.1", ProgIdOf(explicitIds));
    EXPECT_EQ(u"Corvane.HarkwellServer.Manager", VersionIndependentProgIdOf(explicitIds));
}

TEST(Replacements, ReplaceNamesWithoutCaseAndRefuseUnknownOnes) {
    std::u16string sResult;
    const Replacements replacements{{u"MODULE", u"/lib/x.so"}, {u"APPID", u"{A}"}};
    EXPECT_EQ(S_OK, ApplyReplacements(u"%module% and %APPID%, 100%%", replacements, sResult));
    EXPECT_EQ(u"/lib/x.so and {A}, 100%", sResult);
    EXPECT_EQ(E_INVALIDARG, ApplyReplacements(u"%MODUEL%", replacements, sResult));
    EXPECT_EQ(E_INVALIDARG, ApplyReplacements(u"50% off", replacements, sResult));
    // A replaced text is not scanned again.
    EXPECT_EQ(S_OK, ApplyReplacements(u"%MODULE%", {{u"MODULE", u"%APPID%"}}, sResult));
    EXPECT_EQ(u"%APPID%", sResult);
}

TEST(ClassTable, RegistrationWritesTheClassKeysInOrder) {
    testing_support::CTemporaryRegistry registry;
    const CModuleClassTable table(kEntries);
    ASSERT_EQ(S_OK, table.RegisterServer(Module()));

    const std::u16string sClass = u"CLSID\\" + GuidText(kClass);
    EXPECT_EQ(u"Process Check Activity", ReadString(u"CProcessCheckActivity.CProcessCheckAc.1"));
    EXPECT_EQ(GuidText(kClass), ReadString(u"CProcessCheckActivity.CProcessCheckAc.1\\CLSID"));
    EXPECT_EQ(GuidText(kClass), ReadString(u"CProcessCheckActivity.CProcessCheckAc\\CLSID"));
    EXPECT_EQ(u"CProcessCheckActivity.CProcessCheckAc.1", ReadString(u"CProcessCheckActivity.CProcessCheckAc\\CurVer"));
    EXPECT_EQ(u"Process Check Activity", ReadString(sClass));
    EXPECT_EQ(GuidText(kAppId), ReadString(sClass, u"AppID"));
    EXPECT_EQ(u"/opt/corvane/lib/HarkwellPack1.so", ReadString(sClass + u"\\InprocServer32"));
    EXPECT_EQ(u"free", ReadString(sClass + u"\\InprocServer32", u"ThreadingModel"));
    EXPECT_EQ(u"apartment", ReadString(u"CLSID\\" + GuidText(kOtherClass) + u"\\InprocServer32", u"ThreadingModel"));
    EXPECT_EQ(GuidText(kAppId), ReadString(sClass + u"\\TypeLib"));
    EXPECT_EQ((std::vector<std::u16string>{u"ProgID", u"VersionIndependentProgID", u"Programmable", u"InprocServer32",
                                           u"TypeLib", u"Implemented Categories"}),
              Subkeys(sClass));
    EXPECT_EQ((std::vector<std::u16string>{GuidText(kCategory)}), Subkeys(sClass + u"\\Implemented Categories"));
    EXPECT_TRUE(Subkeys(u"CLSID\\" + GuidText(kOtherClass) + u"\\Implemented Categories").empty());
}

TEST(ClassTable, ReRegistrationReplacesTheClassKeyWhole) {
    testing_support::CTemporaryRegistry registry;
    const CModuleClassTable table(kEntries);
    ASSERT_EQ(S_OK, table.RegisterServer(Module()));
    const std::u16string sClass = u"CLSID\\" + GuidText(kClass);
    {
        CRegKey stale;
        ASSERT_EQ(ERROR_SUCCESS, stale.Create(HKEY_CLASSES_ROOT, sClass + u"\\LocalServer32"));
    }
    ASSERT_EQ(S_OK, table.RegisterServer(Module()));
    EXPECT_FALSE(KeyExists(sClass + u"\\LocalServer32"));
    EXPECT_TRUE(KeyExists(sClass + u"\\InprocServer32"));
    EXPECT_TRUE(KeyExists(sClass + u"\\Implemented Categories\\" + GuidText(kCategory)));
}

TEST(ClassTable, UnregistrationRemovesTheClassesAndKeepsSharedParents) {
    testing_support::CTemporaryRegistry registry;
    {
        // Somebody else's class under the shared CLSID key.
        CRegKey other;
        ASSERT_EQ(ERROR_SUCCESS, other.Create(HKEY_CLASSES_ROOT, u"CLSID\\{99999999-0000-0000-0000-000000000000}"));
    }
    const CModuleClassTable table(kEntries);
    ASSERT_EQ(S_OK, table.RegisterServer(Module()));
    ASSERT_EQ(S_OK, table.UnregisterServer(Module()));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + GuidText(kClass)));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + GuidText(kOtherClass)));
    EXPECT_FALSE(KeyExists(u"CProcessCheckActivity.CProcessCheckAc.1"));
    EXPECT_FALSE(KeyExists(u"CProcessCheckActivity.CProcessCheckAc"));
    EXPECT_TRUE(KeyExists(u"CLSID\\{99999999-0000-0000-0000-000000000000}"));
    // Unregistering what is not registered is no error.
    EXPECT_EQ(S_OK, table.UnregisterServer(Module()));
}

TEST(ClassTable, ClassObjectsAreServedForTableClassesOnly) {
    const CModuleClassTable table(kEntries);
    CComPtr<IClassFactory> pFactory;
    ASSERT_EQ(S_OK, table.GetClassObject(kClass, IidOf<IClassFactory>(), reinterpret_cast<void**>(&pFactory)));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOTIMPL, pFactory->CreateInstance(nullptr, IidOf<IUnknown>(), &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, pFactory->CreateInstance(pFactory, IidOf<IUnknown>(), &pv));
    CComPtr<IClassFactory> pNone;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              table.GetClassObject(kCategory, IidOf<IClassFactory>(), reinterpret_cast<void**>(&pNone)));
    EXPECT_FALSE(pNone);
    EXPECT_EQ(E_POINTER, table.GetClassObject(kClass, IidOf<IClassFactory>(), nullptr));
}

TEST(Categories, RemovalKeepsOtherCategoriesAndDropsEmptyParents) {
    testing_support::CTemporaryRegistry registry;
    const CATID both[] = {kCategory, kOtherCategory};
    ASSERT_EQ(S_OK, RegisterClassImplCategories(kClass, both));
    {
        CRegKey required;
        ASSERT_EQ(ERROR_SUCCESS,
                  required.Create(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidText(kClass) + u"\\Required Categories"));
    }
    const std::u16string sImplemented = u"CLSID\\" + GuidText(kClass) + u"\\Implemented Categories";
    ASSERT_EQ(S_OK, UnregisterClassImplCategories(kClass, std::span<const CATID>(&kCategory, 1)));
    EXPECT_EQ((std::vector<std::u16string>{GuidText(kOtherCategory)}), Subkeys(sImplemented));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + GuidText(kClass) + u"\\Required Categories"));
    ASSERT_EQ(S_OK, UnregisterClassImplCategories(kClass, std::span<const CATID>(&kOtherCategory, 1)));
    EXPECT_FALSE(KeyExists(sImplemented));
    EXPECT_TRUE(KeyExists(u"CLSID\\" + GuidText(kClass)));
}

TEST(Scripts, NormalKeysStayWhileOthersStillUseThem) {
    testing_support::CTemporaryRegistry registry;
    std::vector<RegistryScriptKey> script;
    script.push_back(ScriptKey(u"AppID", KeyRemoval::NoRemove)
                         .Subkey(ScriptKey(u"%APPID%").Default(u"HarkwellPack1"))
                         .Subkey(ScriptKey(u"HarkwellPack1.so").Value(u"AppID", u"%APPID%")));
    const Replacements replacements{{u"APPID", GuidText(kAppId)}};
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(HKEY_CLASSES_ROOT, script, replacements, true));
    EXPECT_EQ(u"HarkwellPack1", ReadString(u"AppID\\" + GuidText(kAppId)));
    EXPECT_EQ(GuidText(kAppId), ReadString(u"AppID\\HarkwellPack1.so", u"AppID"));
    {
        // Another program added a subkey under our AppID key: the key must survive unregistration.
        CRegKey foreign;
        ASSERT_EQ(ERROR_SUCCESS, foreign.Create(HKEY_CLASSES_ROOT, u"AppID\\" + GuidText(kAppId) + u"\\Foreign"));
    }
    ASSERT_EQ(S_OK, UpdateRegistryFromScript(HKEY_CLASSES_ROOT, script, replacements, false));
    EXPECT_TRUE(KeyExists(u"AppID\\" + GuidText(kAppId) + u"\\Foreign"));
    EXPECT_EQ(u"<no value>", ReadString(u"AppID\\" + GuidText(kAppId)));
    EXPECT_FALSE(KeyExists(u"AppID\\HarkwellPack1.so"));
    EXPECT_TRUE(KeyExists(u"AppID"));

    // A script naming an unknown replacement writes nothing past the failure and reports it.
    std::vector<RegistryScriptKey> bad;
    bad.push_back(ScriptKey(u"%TYPO%"));
    EXPECT_EQ(E_INVALIDARG, UpdateRegistryFromScript(HKEY_CLASSES_ROOT, bad, replacements, true));
}

TEST(TypeLib, RegistrationAndRemoval) {
    testing_support::CTemporaryRegistry registry;
    ASSERT_EQ(S_OK, RegisterTypeLibKeys(kAppId, u"1.0", u"Pack 100% Type Library", u"/lib/with%percent.so"));
    const std::u16string sVersion = u"TypeLib\\" + GuidText(kAppId) + u"\\1.0";
    EXPECT_EQ(u"Pack 100% Type Library", ReadString(sVersion));
    EXPECT_EQ(u"/lib/with%percent.so", ReadString(sVersion + u"\\0\\linux64"));
    ASSERT_EQ(S_OK, UnregisterTypeLibKeys(kAppId));
    EXPECT_FALSE(KeyExists(u"TypeLib\\" + GuidText(kAppId)));
    EXPECT_TRUE(KeyExists(u"TypeLib"));
}
