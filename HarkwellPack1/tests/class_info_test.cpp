// Every class of the plug-in answers IProvideClassInfo with its class: its identifier and the automation
// interfaces of its interface table, in that order, each with the functions of its description.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "FileSystemCheckActivity.h"
#include "PingActivity.h"
#include "ProcessCheckActivity.h"
#include "SmtpNotification.h"
#include "SystemPerformanceCheckActivity.h"
#include "TestEnvironment.h"
#include "comrt/comptr.h"
#include "comrt/dispatch.h"

namespace {

struct CClassCase {
    const char* pszName;
    ObjectCreator pfnCreate;
    CLSID clsid;
    std::vector<IID> Interfaces;  // the first is the default one
};

class PluginClassInfo : public ::testing::TestWithParam<CClassCase> {
protected:
    void SetUp() override {
        setenv("CORVANE_LOG_DIR", m_Logs.Path().c_str(), 1);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        CoUninitialize();
        unsetenv("CORVANE_LOG_DIR");
    }
    testing_support::CTemporaryDirectory m_Logs;
};

TEST_P(PluginClassInfo, TheClassListsItsAutomationInterfacesWithTheirFunctions) {
    const CClassCase& c = GetParam();
    CComPtr<IProvideClassInfo> pProvide;
    ASSERT_EQ(S_OK, c.pfnCreate(IidOf<IProvideClassInfo>(), reinterpret_cast<void**>(&pProvide)));
    // One identity: the interface belongs to the object.
    CComPtr<IUnknown> pIdentity, pThroughInfo;
    ASSERT_EQ(S_OK, pProvide->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity)));
    CComPtr<ITypeInfo> pClass;
    ASSERT_EQ(S_OK, pProvide->GetClassInfo(&pClass));
    ASSERT_TRUE(pClass);
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pClass->GetTypeAttr(&pAttr));
    EXPECT_EQ(TKIND_COCLASS, pAttr->typekind);
    EXPECT_EQ(c.clsid, pAttr->guid);
    const UINT nInterfaces = pAttr->cImplTypes;
    pClass->ReleaseTypeAttr(pAttr);
    ASSERT_EQ(c.Interfaces.size(), nInterfaces);
    for (UINT i = 0; i < nInterfaces; ++i) {
        HREFTYPE hRef = 0;
        CComPtr<ITypeInfo> pInterface;
        ASSERT_EQ(S_OK, pClass->GetRefTypeOfImplType(i, &hRef));
        ASSERT_EQ(S_OK, pClass->GetRefTypeInfo(hRef, &pInterface));
        INT nFlags = 0;
        ASSERT_EQ(S_OK, pClass->GetImplTypeFlags(i, &nFlags));
        EXPECT_EQ(i == 0 ? IMPLTYPEFLAG_FDEFAULT : 0, nFlags) << i;
        TYPEATTR* pInterfaceAttr = nullptr;
        ASSERT_EQ(S_OK, pInterface->GetTypeAttr(&pInterfaceAttr));
        EXPECT_EQ(c.Interfaces[i], pInterfaceAttr->guid) << i;
        EXPECT_NE(0, pInterfaceAttr->wTypeFlags & TYPEFLAG_FDUAL) << i;
        const comrt::InterfaceDescription* d = comrt::FindInterfaceDescription(c.Interfaces[i]);
        ASSERT_NE(nullptr, d);
        EXPECT_EQ(d->nMembers, pInterfaceAttr->cFuncs) << i;
        pInterface->ReleaseTypeAttr(pInterfaceAttr);
        // The object answers every interface its class lists.
        CComPtr<IUnknown> pAnswered;
        EXPECT_EQ(S_OK, pIdentity->QueryInterface(c.Interfaces[i], reinterpret_cast<void**>(&pAnswered))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, PluginClassInfo,
    ::testing::Values(
        CClassCase{
            "Ping", &CreateObjectT<CPingActivity>, CLSID_CPingActivity, {IidOf<IActivity>(), IidOf<IPingActivity>()}},
        CClassCase{"ProcessCheck",
                   &CreateObjectT<CProcessCheckActivity>,
                   CLSID_CProcessCheckActivity,
                   {IidOf<IActivity>(), IidOf<IProcessCheckActivity>()}},
        CClassCase{"FileSystemCheck",
                   &CreateObjectT<CFileSystemCheckActivity>,
                   CLSID_CFileSystemCheckActivity,
                   {IidOf<IActivity>(), IidOf<IFileSystemCheckActivity>()}},
        CClassCase{"SystemPerformanceCheck",
                   &CreateObjectT<CSystemPerformanceCheckActivity>,
                   CLSID_CSystemPerformanceCheckActivity,
                   {IidOf<IActivity>(), IidOf<ISystemPerformanceCheckActivity>()}},
        CClassCase{"Smtp",
                   &CreateObjectT<CSmtpNotification>,
                   CLSID_CSmtpNotification,
                   {IidOf<ISmtpNotification>(), IidOf<INotification>(), IidOf<ISmtpNotificationSecurity>()}}),
    [](const ::testing::TestParamInfo<CClassCase>& info) { return std::string(info.param.pszName); });

}  // namespace
