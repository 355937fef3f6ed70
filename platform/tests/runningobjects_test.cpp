// The running object table and item monikers: names, registration and revocation, lookups, the
// references the table holds, and the publisher the out-of-process bridge installs.
#include "comrt/runningobjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/runtime.h"

namespace {

// Counts its references; answers IUnknown only.
class CCountedObject final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = riid == IidOf<IUnknown>() ? this : nullptr;
        if (*ppv == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }
    ULONG References() const { return m_nReferences; }

private:
    std::atomic<ULONG> m_nReferences{1};
};

CComPtr<IMoniker> ItemMoniker(const char16_t* pszDelimiter, const char16_t* pszItem) {
    CComPtr<IMoniker> pMoniker;
    EXPECT_EQ(S_OK, CreateItemMoniker(pszDelimiter, pszItem, &pMoniker));
    return pMoniker;
}

std::u16string DisplayName(IMoniker* pMoniker) {
    LPOLESTR pszName = nullptr;
    EXPECT_EQ(S_OK, pMoniker->GetDisplayName(nullptr, nullptr, &pszName));
    std::u16string sName = pszName ? pszName : u"";
    CoTaskMemFree(pszName);
    return sName;
}

CComPtr<IRunningObjectTable> Table() {
    CComPtr<IRunningObjectTable> pTable;
    EXPECT_EQ(S_OK, GetRunningObjectTable(0, &pTable));
    return pTable;
}

constexpr char16_t kItem[] = u"{4DBD069D-7386-42A4-9A0E-13BA54BD19F9}";

}  // namespace

TEST(RunningObjectTableTest, ItemMonikerNamesAndEquality) {
    auto pMoniker = ItemMoniker(u"!", kItem);
    EXPECT_EQ(std::u16string(u"!") + kItem, DisplayName(pMoniker));
    CLSID Clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, pMoniker->GetClassID(&Clsid));
    EXPECT_EQ(CLSID_ItemMoniker, Clsid);
    DWORD nSystem = 0;
    EXPECT_EQ(S_OK, pMoniker->IsSystemMoniker(&nSystem));
    EXPECT_EQ(MKSYS_ITEMMONIKER, nSystem);

    // Equal by display name without regard to case; the delimiter is part of the name.
    auto pLower = ItemMoniker(u"!", u"{4dbd069d-7386-42a4-9a0e-13ba54bd19f9}");
    EXPECT_EQ(S_OK, pMoniker->IsEqual(pLower));
    DWORD nHash = 0;
    DWORD nLowerHash = 1;
    EXPECT_EQ(S_OK, pMoniker->Hash(&nHash));
    EXPECT_EQ(S_OK, pLower->Hash(&nLowerHash));
    EXPECT_EQ(nHash, nLowerHash);
    EXPECT_EQ(S_FALSE, pMoniker->IsEqual(ItemMoniker(u"/", kItem)));
    EXPECT_EQ(S_FALSE, pMoniker->IsEqual(ItemMoniker(u"!", u"{4DBD069D}")));
    EXPECT_EQ(E_INVALIDARG, pMoniker->IsEqual(nullptr));

    IMoniker* pNone = reinterpret_cast<IMoniker*>(0x1);
    EXPECT_EQ(E_INVALIDARG, CreateItemMoniker(nullptr, kItem, &pNone));
    EXPECT_EQ(nullptr, pNone);
    EXPECT_EQ(E_INVALIDARG, CreateItemMoniker(u"!", nullptr, &pNone));
    EXPECT_EQ(E_INVALIDARG, CreateItemMoniker(u"!", kItem, nullptr));
    EXPECT_EQ(E_POINTER, pMoniker->GetDisplayName(nullptr, nullptr, nullptr));

    CComQIPtr<IPersistStream> pPersist(pMoniker);
    EXPECT_TRUE(pPersist);
}

TEST(RunningObjectTableTest, RegistrationLookupAndRevocation) {
    auto pTable = Table();
    CCountedObject Object;
    auto pName = ItemMoniker(u"!", kItem);
    EXPECT_EQ(S_FALSE, pTable->IsRunning(pName));
    CComPtr<IUnknown> pFound;
    EXPECT_EQ(MK_E_UNAVAILABLE, pTable->GetObject(pName, &pFound));
    EXPECT_EQ(S_FALSE, pName->IsRunning(nullptr, nullptr, nullptr));

    DWORD nCookie = 0;
    ASSERT_EQ(S_OK,
              pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE | ROTFLAGS_ALLOWANYCLIENT, &Object, pName, &nCookie));
    EXPECT_NE(0u, nCookie);
    EXPECT_EQ(2u, Object.References());  // the table holds the object

    // Found through any moniker of the same name, and through the moniker itself.
    auto pSameName = ItemMoniker(u"!", u"{4dbd069d-7386-42a4-9a0e-13ba54bd19f9}");
    EXPECT_EQ(S_OK, pTable->IsRunning(pSameName));
    EXPECT_EQ(S_OK, pName->IsRunning(nullptr, nullptr, nullptr));
    ASSERT_EQ(S_OK, pTable->GetObject(pSameName, &pFound));
    EXPECT_EQ(&Object, pFound.p);
    pFound.Release();
    CComPtr<IUnknown> pBound;
    ASSERT_EQ(S_OK, pSameName->BindToObject(nullptr, nullptr, IidOf<IUnknown>(), reinterpret_cast<void**>(&pBound)));
    EXPECT_EQ(&Object, pBound.p);
    pBound.Release();

    // A second registration under the same name stands beside the first; revoking it leaves the first.
    CCountedObject Second;
    DWORD nSecondCookie = 0;
    EXPECT_EQ(MK_S_MONIKERALREADYREGISTERED, pTable->Register(0, &Second, pSameName, &nSecondCookie));
    EXPECT_NE(nCookie, nSecondCookie);
    EXPECT_EQ(S_OK, pTable->Revoke(nSecondCookie));
    EXPECT_EQ(1u, Second.References());
    ASSERT_EQ(S_OK, pTable->GetObject(pName, &pFound));
    EXPECT_EQ(&Object, pFound.p);
    pFound.Release();

    EXPECT_EQ(S_OK, pTable->Revoke(nCookie));
    EXPECT_EQ(1u, Object.References());
    EXPECT_EQ(S_FALSE, pTable->IsRunning(pName));
    EXPECT_EQ(E_INVALIDARG, pTable->Revoke(nCookie));
    EXPECT_EQ(E_INVALIDARG, pTable->Revoke(0));
}

TEST(RunningObjectTableTest, BadArgumentsRegisterNothing) {
    auto pTable = Table();
    CCountedObject Object;
    auto pName = ItemMoniker(u"!", u"bad-arguments");
    DWORD nCookie = 7;
    EXPECT_EQ(E_INVALIDARG, pTable->Register(0, nullptr, pName, &nCookie));
    EXPECT_EQ(0u, nCookie);
    EXPECT_EQ(E_INVALIDARG, pTable->Register(0, &Object, nullptr, &nCookie));
    EXPECT_EQ(E_INVALIDARG, pTable->Register(0x10, &Object, pName, &nCookie));
    EXPECT_EQ(E_INVALIDARG, pTable->Register(0, &Object, pName, nullptr));
    EXPECT_EQ(S_FALSE, pTable->IsRunning(pName));
    EXPECT_EQ(1u, Object.References());
    EXPECT_EQ(E_INVALIDARG, pTable->IsRunning(nullptr));
    EXPECT_EQ(E_POINTER, pTable->GetObject(pName, nullptr));
    IRunningObjectTable* pNone = nullptr;
    EXPECT_EQ(E_INVALIDARG, GetRunningObjectTable(1, &pNone));
    EXPECT_EQ(E_INVALIDARG, GetRunningObjectTable(0, nullptr));
    EXPECT_EQ(E_INVALIDARG, CoDisconnectObject(nullptr, 0));
    EXPECT_EQ(S_OK, CoDisconnectObject(&Object, 0));  // nothing outside the process to cut off
}

namespace {

struct PublisherLog {
    std::vector<std::u16string> Published;
    std::vector<DWORD> Withdrawn;
    std::vector<IUnknown*> Disconnected;
    HRESULT hrPublish = S_OK;
};
PublisherLog g_Log;

HRESULT Publish(DWORD, DWORD grfFlags, IUnknown*, const std::u16string& sDisplayName) {
    g_Log.Published.push_back(sDisplayName + u"|" + static_cast<char16_t>(u'0' + grfFlags));
    return g_Log.hrPublish;
}
void Withdraw(DWORD nCookie) {
    g_Log.Withdrawn.push_back(nCookie);
}
HRESULT Disconnect(IUnknown* pObject) {
    g_Log.Disconnected.push_back(pObject);
    return S_OK;
}

constexpr comrt::RunningObjectPublisher kPublisher{&Publish, &Withdraw, &Disconnect};

}  // namespace

TEST(RunningObjectTableTest, PublisherSeesRegistrationsAndItsFailureUndoesThem) {
    g_Log = {};
    comrt::CoSetRunningObjectPublisher(&kPublisher);
    auto pTable = Table();
    CCountedObject Object;
    auto pName = ItemMoniker(u"!", u"published");
    DWORD nCookie = 0;
    ASSERT_EQ(S_OK, pTable->Register(3, &Object, pName, &nCookie));
    EXPECT_EQ(std::vector<std::u16string>{u"!published|3"}, g_Log.Published);
    EXPECT_EQ(S_OK, CoDisconnectObject(&Object, 0));
    EXPECT_EQ(std::vector<IUnknown*>{&Object}, g_Log.Disconnected);
    EXPECT_EQ(S_OK, pTable->Revoke(nCookie));
    EXPECT_EQ(std::vector<DWORD>{nCookie}, g_Log.Withdrawn);

    // The bridge could not publish: nothing stays registered, and the failure is the caller's.
    g_Log.hrPublish = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, pTable->Register(3, &Object, pName, &nCookie));
    EXPECT_EQ(0u, nCookie);
    EXPECT_EQ(S_FALSE, pTable->IsRunning(pName));
    EXPECT_EQ(1u, Object.References());

    comrt::CoSetRunningObjectPublisher(nullptr);
    ASSERT_EQ(S_OK, pTable->Register(0, &Object, pName, &nCookie));
    EXPECT_EQ(S_OK, pTable->Revoke(nCookie));
    EXPECT_EQ(2u, g_Log.Published.size());
    EXPECT_EQ(1u, g_Log.Withdrawn.size());
}
