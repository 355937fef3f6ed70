// The scenario list in the registry: one REG_BINARY value per scenario under kScenariosKeyPath, holding the
// scenario's persisted stream. Values whose name begins with "//" are entries kept aside by hand: never
// loaded, never deleted. A value whose bytes are no scenario (damaged, cut short, of a newer format) is
// skipped when loading and left as it is by every save of that list, so that nothing stored is lost and the
// other scenarios run.
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Manager.h"
#include "comrt/registry.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulregistry.h"

namespace {

// Value names are read into a buffer of this many characters (terminator included): longer names are
// skipped when loading and left alone when saving.
constexpr DWORD kValueNameBufferLength = 64;

void CheckRegistryResult(LONG nResult) {
    if (nResult != ERROR_SUCCESS) corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(nResult)));
}

bool IsKeptAside(std::u16string_view sValueName) {
    return sValueName.size() >= 2 && comrt::CompareNoCase(sValueName.substr(0, 2), u"//") == 0;
}

// Registry value names compare without regard to case; the set holds them folded.
std::u16string FoldValueName(std::u16string_view sValueName) {
    std::u16string sFolded(sValueName);
    for (char16_t& c : sFolded) {
        if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c = static_cast<char16_t>(c + 0x20);
    }
    return sFolded;
}

// Keeps a registry transaction open for its lifetime; rolled back unless committed.
class CRegistryTransaction {
public:
    explicit CRegistryTransaction(HKEY hKey) { CheckRegistryResult(RegBeginTransaction(hKey)); }
    CRegistryTransaction(const CRegistryTransaction&) = delete;
    CRegistryTransaction& operator=(const CRegistryTransaction&) = delete;
    ~CRegistryTransaction() {
        if (!m_bEnded) RegEndTransaction(FALSE);
    }
    void Commit() {
        m_bEnded = true;
        CheckRegistryResult(RegEndTransaction(TRUE));
    }

private:
    bool m_bEnded = false;
};

}  // namespace

void CScenarios::LoadFromRegistry() {
    CRegKey Key;
    const LONG nOpen = Key.Open(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ);
    if (nOpen == ERROR_FILE_NOT_FOUND) return;
    CheckRegistryResult(nOpen);

    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    m_ScenarioList.clear();
    m_UnreadableValueNames.clear();
    for (DWORD nIndex = 0;; ++nIndex) {
        char16_t szValueName[kValueNameBufferLength];
        DWORD nValueNameLength = kValueNameBufferLength;
        DWORD nType = 0;
        DWORD nDataSize = 0;
        const LONG nResult =
            RegEnumValueW(Key, nIndex, szValueName, &nValueNameLength, nullptr, &nType, nullptr, &nDataSize);
        if (nResult == ERROR_NO_MORE_ITEMS) break;
        if (nResult != ERROR_SUCCESS || nType != REG_BINARY) continue;
        const std::u16string sValueName(szValueName, nValueNameLength);
        if (IsKeptAside(sValueName)) continue;

        CComPtr<CScenarioObject> pScenario = NewScenario();
        pScenario->SetRegistryValueName(sValueName);
        if (nDataSize != 0) {
            std::vector<BYTE> Data;
            CheckRegistryResult(Key.QueryBinaryValue(sValueName, Data));
            CMemoryStreamObject* pStreamObject = nullptr;
            UL_CHECK(CMemoryStreamObject::CreateInstance(&pStreamObject));
            CComPtr<CMemoryStreamObject> pStream;
            pStream.Attach(pStreamObject);
            UL_CHECK(_PersistHelper::WriteBytes(pStream, Data.data(), static_cast<ULONG>(Data.size())));
            LARGE_INTEGER Start{};
            UL_CHECK(pStream->Seek(Start, STREAM_SEEK_SET, nullptr));
            // Damaged bytes are told from a class that cannot be made (which fails the load) before any
            // object is made from them.
            if (const HRESULT hr = CScenario::CheckStoredForm(pStream); FAILED(hr)) {
                UL_TRACE(corvane::TRACE_LEVEL_ERROR,
                         "Stored scenario \"%s\" cannot be read (0x%08x): skipped, and kept in the store as it is\n",
                         comrt::ToUtf8(sValueName).c_str(), static_cast<unsigned>(hr));
                m_UnreadableValueNames.push_back(sValueName);
                continue;
            }
            UL_CHECK(pStream->Seek(Start, STREAM_SEEK_SET, nullptr));
            UL_CHECK(static_cast<IPersistStreamInit*>(pScenario.p)->Load(pStream));
        }
        AddScenario(pScenario);
        pScenario->StartActivity();
    }
}

void CScenarios::SaveToRegistry() {
    CRegKey Key;
    CheckRegistryResult(Key.Create(HKEY_LOCAL_MACHINE, kScenariosKeyPath, KEY_READ | KEY_WRITE));
    // The streams are made first, under the locks of the list and of each scenario, and written afterwards
    // in one transaction. While a transaction lasts every other registry call of the process waits for it,
    // so no lock may be awaited inside it: a notification that handles an event under its scenario's lock
    // writes to the store.
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);

    std::unordered_set<std::u16string> KnownValueNames;
    for (const auto& pScenario : m_ScenarioList) {
        const std::u16string sValueName = pScenario->GetRegistryValueName();
        if (sValueName.empty()) continue;
        if (!KnownValueNames.insert(FoldValueName(sValueName)).second)
            corvane::AssertionFailed(UL_CONTEXT, "!KnownValueNameList.Find(sValueName)");
    }
    // The values that could not be read stay as they are: their names are neither given to a new scenario
    // nor deleted, and they are not written.
    for (const auto& sValueName : m_UnreadableValueNames) KnownValueNames.insert(FoldValueName(sValueName));

    std::vector<std::pair<std::u16string, CComPtr<CMemoryStreamObject>>> Streams;
    unsigned nNextNumber = 1;
    for (const auto& pScenario : m_ScenarioList) {
        std::u16string sValueName = pScenario->GetRegistryValueName();
        if (sValueName.empty()) {
            do {
                sValueName = comrt::ToUtf16(std::to_string(nNextNumber++));
            } while (KnownValueNames.count(FoldValueName(sValueName)) != 0);
            pScenario->SetRegistryValueName(sValueName);
            KnownValueNames.insert(sValueName);
        }
        CMemoryStreamObject* pStreamObject = nullptr;
        UL_CHECK(CMemoryStreamObject::CreateInstance(&pStreamObject));
        CComPtr<CMemoryStreamObject> pStream;
        pStream.Attach(pStreamObject);
        UL_CHECK(static_cast<IPersistStreamInit*>(pScenario.p)->Save(pStream, TRUE));
        Streams.emplace_back(std::move(sValueName), std::move(pStream));
    }
    DataLock.Unlock();

    // All of it or nothing: a process that ends in the middle leaves the previous list whole.
    CRegistryTransaction Transaction(Key);
    for (const auto& [sValueName, pStream] : Streams)
        CheckRegistryResult(Key.SetBinaryValue(sValueName, pStream->GetData(), static_cast<DWORD>(pStream->GetSize())));

    std::vector<std::u16string> UnownedValueNames;
    for (DWORD nIndex = 0;; ++nIndex) {
        char16_t szValueName[kValueNameBufferLength];
        DWORD nValueNameLength = kValueNameBufferLength;
        const LONG nResult =
            RegEnumValueW(Key, nIndex, szValueName, &nValueNameLength, nullptr, nullptr, nullptr, nullptr);
        if (nResult == ERROR_NO_MORE_ITEMS) break;
        if (nResult != ERROR_SUCCESS) continue;
        const std::u16string_view sValueName(szValueName, nValueNameLength);
        if (IsKeptAside(sValueName) || KnownValueNames.count(FoldValueName(sValueName)) != 0) continue;
        UnownedValueNames.emplace_back(sValueName);
    }
    for (const auto& sValueName : UnownedValueNames) CheckRegistryResult(Key.DeleteValue(sValueName));
    Transaction.Commit();
}
