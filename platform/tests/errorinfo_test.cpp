// Per-thread error information and the error info object.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/runtime.h"

namespace {

std::u16string TextOf(BSTR bstr) {
    std::u16string s(bstr ? bstr : u"", SysStringLen(bstr));
    SysFreeString(bstr);
    return s;
}

// An error info that counts its references, to see when the per-thread slot lets go of it.
class CCountingErrorInfo final : public IErrorInfo {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IUnknown::kIid || riid == IErrorInfo::kIid) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nRefs; }
    ULONG Release() override { return --m_nRefs; }
    HRESULT GetGUID(GUID* pGuid) override {
        *pGuid = GUID_NULL;
        return S_OK;
    }
    HRESULT GetSource(BSTR* p) override { return (*p = nullptr, S_OK); }
    HRESULT GetDescription(BSTR* p) override { return (*p = nullptr, S_OK); }
    HRESULT GetHelpFile(BSTR* p) override { return (*p = nullptr, S_OK); }
    HRESULT GetHelpContext(DWORD* p) override { return (*p = 0, S_OK); }
    ULONG Refs() const { return m_nRefs.load(); }

private:
    std::atomic<ULONG> m_nRefs{1};
};

CComPtr<IErrorInfo> MakeErrorInfo(const char16_t* pszDescription) {
    CComPtr<ICreateErrorInfo> pCreate;
    EXPECT_EQ(CreateErrorInfo(&pCreate.p), S_OK);
    std::u16string sText = pszDescription;
    pCreate->SetDescription(sText.data());
    CComQIPtr<IErrorInfo> pInfo(pCreate);
    return CComPtr<IErrorInfo>(pInfo.p);
}

TEST(ErrorInfo, NoneSetGivesFalseAndNull) {
    IErrorInfo* pInfo = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &pInfo), S_FALSE);
    EXPECT_EQ(pInfo, nullptr);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
}

TEST(ErrorInfo, GetHandsOverTheObjectAndClearsTheSlot) {
    CComPtr<IErrorInfo> pSet = MakeErrorInfo(u"The store is locked.");
    ASSERT_EQ(SetErrorInfo(0, pSet), S_OK);
    CComPtr<IErrorInfo> pGot;
    ASSERT_EQ(GetErrorInfo(0, &pGot.p), S_OK);
    EXPECT_EQ(pGot.p, pSet.p);
    BSTR bstr = nullptr;
    ASSERT_EQ(pGot->GetDescription(&bstr), S_OK);
    EXPECT_EQ(TextOf(bstr), u"The store is locked.");

    IErrorInfo* pAgain = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &pAgain), S_FALSE);
    EXPECT_EQ(pAgain, nullptr);
}

TEST(ErrorInfo, SetReplacesAndReleasesThePreviousObject) {
    CCountingErrorInfo first, second;
    ASSERT_EQ(SetErrorInfo(0, &first), S_OK);
    EXPECT_EQ(first.Refs(), 2u);
    ASSERT_EQ(SetErrorInfo(0, &second), S_OK);
    EXPECT_EQ(first.Refs(), 1u);
    EXPECT_EQ(second.Refs(), 2u);
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);  // clears
    EXPECT_EQ(second.Refs(), 1u);
    IErrorInfo* pInfo = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &pInfo), S_FALSE);
}

TEST(ErrorInfo, EachThreadHasItsOwnSlot) {
    CComPtr<IErrorInfo> pMain = MakeErrorInfo(u"main");
    ASSERT_EQ(SetErrorInfo(0, pMain), S_OK);

    CCountingErrorInfo left;
    HRESULT hrOtherBefore = E_FAIL;
    HRESULT hrOtherAfter = E_FAIL;
    IErrorInfo* pOtherGot = nullptr;
    std::thread other([&] {
        IErrorInfo* pInfo = nullptr;
        hrOtherBefore = GetErrorInfo(0, &pInfo);  // the main thread's info is not visible here
        SetErrorInfo(0, pMain);
        hrOtherAfter = GetErrorInfo(0, &pOtherGot);
        SetErrorInfo(0, &left);  // left behind: released when the thread ends
    });
    other.join();
    EXPECT_EQ(hrOtherBefore, S_FALSE);
    EXPECT_EQ(hrOtherAfter, S_OK);
    EXPECT_EQ(pOtherGot, pMain.p);
    pOtherGot->Release();
    EXPECT_EQ(left.Refs(), 1u);

    // The main thread's own info is still there, untouched by the other thread's Get.
    CComPtr<IErrorInfo> pGot;
    ASSERT_EQ(GetErrorInfo(0, &pGot.p), S_OK);
    BSTR bstr = nullptr;
    ASSERT_EQ(pGot->GetDescription(&bstr), S_OK);
    EXPECT_EQ(TextOf(bstr), u"main");
}

TEST(ErrorInfo, ManyThreadsKeepTheirOwnInfo) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> nMismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &nMismatches] {
            const std::u16string sMine = u"thread " + std::u16string(1, static_cast<char16_t>(u'A' + t));
            for (int i = 0; i < kRounds; ++i) {
                SetErrorInfo(0, MakeErrorInfo(sMine.c_str()));
                CComPtr<IErrorInfo> pGot;
                BSTR bstr = nullptr;
                if (GetErrorInfo(0, &pGot.p) != S_OK || FAILED(pGot->GetDescription(&bstr)) || TextOf(bstr) != sMine)
                    ++nMismatches;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(nMismatches.load(), 0);
}

TEST(ErrorInfo, CreatedObjectRecordsEveryField) {
    CComPtr<ICreateErrorInfo> pCreate;
    ASSERT_EQ(CreateErrorInfo(&pCreate.p), S_OK);
    constexpr GUID kInterface = MakeGuid("{7F1D6A3E-5B2C-4E8A-9D0F-1A2B3C4D5E6F}");
    std::u16string sSource = u"Corvane.Harkwell", sDescription = u"Could not reach the host.",
                   sHelpFile = u"harkwell.hlp";
    ASSERT_EQ(pCreate->SetGUID(kInterface), S_OK);
    ASSERT_EQ(pCreate->SetSource(sSource.data()), S_OK);
    ASSERT_EQ(pCreate->SetDescription(sDescription.data()), S_OK);
    ASSERT_EQ(pCreate->SetHelpFile(sHelpFile.data()), S_OK);
    ASSERT_EQ(pCreate->SetHelpContext(1234), S_OK);

    CComQIPtr<IErrorInfo> pInfo(pCreate);
    ASSERT_TRUE(pInfo);
    GUID guid{};
    DWORD dwContext = 0;
    BSTR bstr = nullptr;
    ASSERT_EQ(pInfo->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, kInterface);
    ASSERT_EQ(pInfo->GetSource(&bstr), S_OK);
    EXPECT_EQ(TextOf(bstr), sSource);
    ASSERT_EQ(pInfo->GetDescription(&bstr), S_OK);
    EXPECT_EQ(TextOf(bstr), sDescription);
    ASSERT_EQ(pInfo->GetHelpFile(&bstr), S_OK);
    EXPECT_EQ(TextOf(bstr), sHelpFile);
    ASSERT_EQ(pInfo->GetHelpContext(&dwContext), S_OK);
    EXPECT_EQ(dwContext, 1234u);

    // Fields can be reset; null text is empty text.
    ASSERT_EQ(pCreate->SetSource(nullptr), S_OK);
    ASSERT_EQ(pInfo->GetSource(&bstr), S_OK);
    EXPECT_EQ(bstr, nullptr);
}

TEST(ErrorInfo, UnsetFieldsAreEmptyAndNullOutputsRefused) {
    CComPtr<ICreateErrorInfo> pCreate;
    ASSERT_EQ(CreateErrorInfo(&pCreate.p), S_OK);
    CComQIPtr<IErrorInfo> pInfo(pCreate);
    ASSERT_TRUE(pInfo);
    BSTR bstr = reinterpret_cast<BSTR>(1);
    ASSERT_EQ(pInfo->GetDescription(&bstr), S_OK);
    EXPECT_EQ(bstr, nullptr);
    GUID guid = IUnknown::kIid;
    ASSERT_EQ(pInfo->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, GUID_NULL);
    EXPECT_EQ(pInfo->GetDescription(nullptr), E_INVALIDARG);
    EXPECT_EQ(pInfo->GetGUID(nullptr), E_INVALIDARG);
    EXPECT_EQ(pInfo->GetHelpContext(nullptr), E_INVALIDARG);
    EXPECT_EQ(CreateErrorInfo(nullptr), E_INVALIDARG);
}

TEST(ErrorInfo, InterfacesShareOneIdentityAndCount) {
    ICreateErrorInfo* pCreate = nullptr;
    ASSERT_EQ(CreateErrorInfo(&pCreate), S_OK);
    IErrorInfo* pInfo = nullptr;
    ASSERT_EQ(pCreate->QueryInterface(&pInfo), S_OK);
    IUnknown* pFromCreate = nullptr;
    IUnknown* pFromInfo = nullptr;
    ASSERT_EQ(pCreate->QueryInterface(&pFromCreate), S_OK);
    ASSERT_EQ(pInfo->QueryInterface(&pFromInfo), S_OK);
    EXPECT_EQ(pFromCreate, pFromInfo);
    ICreateErrorInfo* pBack = nullptr;
    ASSERT_EQ(pInfo->QueryInterface(&pBack), S_OK);
    EXPECT_EQ(pBack, pCreate);

    IDispatch* pDispatch = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(pInfo->QueryInterface(&pDispatch), E_NOINTERFACE);
    EXPECT_EQ(pDispatch, nullptr);

    // Five references were handed out; the object lives until the last goes.
    EXPECT_EQ(pBack->Release(), 4u);
    EXPECT_EQ(pFromInfo->Release(), 3u);
    EXPECT_EQ(pFromCreate->Release(), 2u);
    EXPECT_EQ(pCreate->Release(), 1u);
    EXPECT_EQ(pInfo->Release(), 0u);
}

}  // namespace
