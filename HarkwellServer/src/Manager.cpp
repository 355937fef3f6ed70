#include "Manager.h"

#include "CollectionSupport.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "corvane/uldebug.h"
#include "corvane/ulenum.h"
#include "corvane/ulguard.h"
#include "corvane/ulregistry.h"

namespace {

// A plug-in object by the class identifier in vClass (brace text); other variant types are E_INVALIDARG.
template <class I>
HRESULT CreatePluginObject(const VARIANT& vClass, I** ppObject) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(ppObject != nullptr);
    *ppObject = nullptr;
    corvane::CheckArgument(vClass.vt == VT_BSTR);
    CLSID Clsid = CLSID_NULL;
    if (vClass.bstrVal == nullptr || FAILED(CLSIDFromString(vClass.bstrVal, &Clsid))) Clsid = CLSID_NULL;
    return CoCreateInstance(Clsid, nullptr, CLSCTX_ALL, IidOf<I>(), reinterpret_cast<void**>(ppObject));
    UL_GUARD_END
}

}  // namespace

// CScenarios

void CScenarios::FinalRelease() {
    std::vector<CComPtr<CScenarioObject>> List;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        List.swap(m_ScenarioList);
    }
    for (const auto& pScenario : List) pScenario->Terminate();
    // Lets event calls that were already on their way into the scenarios run out.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

HRESULT CScenarios::get_Item(VARIANT vIndex, IScenario** ppScenario) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppScenario);
    *ppScenario = nullptr;
    const LONG nIndex = IndexFromVariant(vIndex);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    corvane::CheckArgument(nIndex >= 0 && static_cast<size_t>(nIndex) < m_ScenarioList.size());
    *ppScenario = CComPtr<IScenario>(m_ScenarioList[static_cast<size_t>(nIndex)]).Detach();
    UL_GUARD_END
}

HRESULT CScenarios::get__NewEnum(IUnknown** ppEnum) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppEnum);
    *ppEnum = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    std::vector<IDispatch*> Objects;
    Objects.reserve(m_ScenarioList.size());
    for (const auto& pScenario : m_ScenarioList) Objects.push_back(static_cast<IScenario*>(pScenario.p));
    CreateDispatchEnumerator(Objects, ppEnum);
    UL_GUARD_END
}

HRESULT CScenarios::get_Count(LONG* pnCount) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(pnCount);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *pnCount = static_cast<LONG>(m_ScenarioList.size());
    UL_GUARD_END
}

HRESULT CScenarios::Add(IScenario** ppScenario) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppScenario);
    *ppScenario = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    CComPtr<CScenarioObject> pScenario = NewScenario();
    AddScenario(pScenario);
    SetDirty();
    // A new scenario has no activity yet; whoever configures it starts the activity it sets.
    corvane::GuardedOperation([&] { pScenario->StartActivity(); });
    *ppScenario = CComPtr<IScenario>(pScenario).Detach();
    UL_GUARD_END
}

HRESULT CScenarios::Remove(IScenario* pScenario) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(pScenario != nullptr);
    CComPtr<CScenarioObject> pRemoved;  // released after the lock
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    auto Position = std::find_if(m_ScenarioList.begin(), m_ScenarioList.end(), [&](const auto& pElement) {
        return static_cast<IScenario*>(pElement.p) == pScenario;
    });
    corvane::CheckArgument(Position != m_ScenarioList.end());
    pRemoved = std::move(*Position);
    m_ScenarioList.erase(Position);
    SetDirty();
    DataLock.Unlock();
    UL_GUARD_END
}

HRESULT CScenarios::CreateActivity(VARIANT vClass, IActivity** ppActivity) {
    return CreatePluginObject(vClass, ppActivity);
}

HRESULT CScenarios::CreateNotification(VARIANT vClass, INotification** ppNotification) {
    return CreatePluginObject(vClass, ppNotification);
}

bool CScenarios::IsDirty() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return IsDirtyState() || HasChangedScenario();
}

bool CScenarios::HasChangedScenario() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return std::any_of(m_ScenarioList.begin(), m_ScenarioList.end(),
                       [](const auto& pScenario) { return pScenario->IsDirty() != S_FALSE; });
}

std::vector<std::u16string> CScenarios::GetUnreadableValueNames() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_UnreadableValueNames;
}

void CScenarios::AddScenario(CScenarioObject* pScenario) {
    UL_ASSERT(VerifyCriticalSectionLocked(m_DataCriticalSection));
    UL_ASSERT(pScenario);
    m_ScenarioList.emplace_back(pScenario);
}

CComPtr<CScenarioObject> CScenarios::NewScenario() {
    CScenarioObject* pScenario = nullptr;
    UL_CHECK(CScenarioObject::CreateInstance(&pScenario));
    CComPtr<CScenarioObject> pResult;
    pResult.Attach(pScenario);
    return pResult;
}

// CManager

HRESULT CManager::FinalConstruct() {
    UL_GUARD_BEGIN
    CScenariosObject* pScenarios = nullptr;
    UL_CHECK(CScenariosObject::CreateInstance(&pScenarios));
    m_pScenarios.Attach(pScenarios);
    m_pScenarios->LoadFromRegistry();
    m_bLoaded = true;
    // An object that counts as changed as soon as it is loaded (an e-mail notification that had to take a
    // new outbox identity) is written back now rather than when the manager goes, which a process that is
    // killed never reaches. The list is loaded all the same when the store refuses.
    UL_CATCH_ALL_BEGIN
    if (m_pScenarios->HasChangedScenario()) m_pScenarios->SaveToRegistry();
    UL_CATCH_ALL_END
    UL_GUARD_END
}

void CManager::FinalRelease() {
    UL_CATCH_ALL_BEGIN
    // A manager whose load failed goes without saving: its partial list would replace the stored one.
    if (m_bLoaded && m_pScenarios->IsDirty()) m_pScenarios->SaveToRegistry();
    UL_CATCH_ALL_END
    m_pScenarios.Release();
}

HRESULT CManager::get_Scenarios(IScenarios** ppScenarios) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppScenarios);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *ppScenarios = CComPtr<IScenarios>(m_pScenarios).Detach();
    UL_GUARD_END
}
