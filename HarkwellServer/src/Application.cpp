#include "Application.h"

#include <cinttypes>
#include <mutex>
#include <new>

#include "Manager.h"
#include "ServerMode.h"
#include "comrt/messages.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "comrt/runningobjects.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulguard.h"
#include "corvane/ulregistry.h"

CApplication* g_pApplication = nullptr;

namespace {

// Guards g_pApplication: creation reads it and takes a reference under this lock, and the last release
// clears it under the same lock before the object goes, so no creator can reach an object being destroyed.
std::mutex g_ApplicationLock;

std::u16string GuidText(REFGUID Guid) {
    OLECHAR szText[40];
    StringFromGUID2(Guid, szText, 40);
    return szText;
}

// The name the application is known by in the running object table: "!" followed by its class.
CComPtr<IMoniker> RunningObjectName() {
    CComPtr<IMoniker> pMoniker;
    UL_CHECK(CreateItemMoniker(u"!", GuidText(CLSID_CApplication).c_str(), &pMoniker));
    return pMoniker;
}

}  // namespace

std::u16string GetInterfaceName(REFIID riid) {
    const std::u16string sIid = GuidText(riid);
    CRegKey Key;
    std::u16string sName;
    if (Key.Open(HKEY_CLASSES_ROOT, u"Interface\\" + sIid, KEY_READ) == ERROR_SUCCESS &&
        Key.QueryStringValue(u"", sName) == ERROR_SUCCESS && !sName.empty())
        return sName;
    return sIid;
}

// CApplication::CApplicationEventRaiser

CApplication::CApplicationEventRaiser::CApplicationEventRaiser(CApplication* pApplication)
    : m_pApplication(pApplication), m_nEventCount(0) {
    UL_ASSERT(pApplication);
    if (m_pApplication == nullptr) return;
    CUlCriticalSectionLock DataLock(m_pApplication->m_DataCriticalSection);
    m_nEventCount = m_pApplication->m_ApplicationEventList.size();
}

CApplication::CApplicationEventRaiser::~CApplicationEventRaiser() {
    if (m_pApplication == nullptr) return;
    UL_CATCH_ALL_BEGIN
    bool bChanged;
    {
        CUlCriticalSectionLock DataLock(m_pApplication->m_DataCriticalSection);
        // Events are only ever appended, so a longer list has a new last event.
        bChanged = m_pApplication->m_ApplicationEventList.size() != m_nEventCount;
    }
    if (bChanged) m_pApplication->RaiseLastEvent();
    UL_CATCH_ALL_END
}

// CApplication

CApplication::CApplication()
    : CBasePersistT<CApplication>(&m_DataCriticalSection), m_EventsPoint(this, IidOf<_ApplicationEvents>()) {
    m_ApplicationEventList.reserve(10);
}

// The last release has cleared g_pApplication (under its lock) before this runs.
CApplication::~CApplication() = default;

HRESULT CApplication::CreateInstance(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    CApplication* pApplication = nullptr;
    {
        std::lock_guard Lock(g_ApplicationLock);
        // An instance whose last reference is gone is on its way out: it is not handed out again, a new
        // one takes its place (the old one only finishes its destruction).
        if (g_pApplication != nullptr && g_pApplication->TryAddRef()) {
            pApplication = g_pApplication;
        } else {
            pApplication = new (std::nothrow) CApplication;
            if (pApplication == nullptr) return E_OUTOFMEMORY;
            pApplication->AddRef();
            g_pApplication = pApplication;
        }
    }
    // Outside the lock: a failed query drops the last reference, and the last release takes the lock.
    const HRESULT hr = pApplication->QueryInterface(riid, ppv);
    pApplication->Release();
    return hr;
}

HRESULT CApplication::QueryInterface(REFIID riid, void** ppv) {
    const HRESULT hr = InternalQueryInterface(riid, ppv);
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "0x%08" PRIxPTR ", Interface %s, Result 0x%08x\n",
             reinterpret_cast<std::uintptr_t>(this), comrt::ToUtf8(GetInterfaceName(riid)).c_str(),
             static_cast<unsigned>(hr));
    return hr;
}

HRESULT CApplication::InternalQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IidOf<IScenarios>()) {
        // The collection answers for itself, so the caller holds the collection and not the application.
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (!m_pManager) return E_NOINTERFACE;
        CComPtr<IScenarios> pScenarios;
        const HRESULT hr = m_pManager->get_Scenarios(&pScenarios);
        if (FAILED(hr)) return hr;
        return pScenarios->QueryInterface(riid, ppv);
    }
    *ppv = Interfaces::Find(this, riid);
    if (*ppv == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CApplication::AddRef() {
    return ++m_nReferenceCount;
}

bool CApplication::TryAddRef() noexcept {
    ULONG nCount = m_nReferenceCount.load();
    while (nCount != 0)
        if (m_nReferenceCount.compare_exchange_weak(nCount, nCount + 1)) return true;
    return false;
}

ULONG CApplication::Release() {
    const ULONG nCount = --m_nReferenceCount;
    if (nCount == 0) {
        {
            std::lock_guard Lock(g_ApplicationLock);
            if (g_pApplication == this) g_pApplication = nullptr;
        }
        // Guards against a reference taken and dropped during the destruction destroying us twice.
        m_nReferenceCount = 1;
        delete this;
    }
    return nCount;
}

// IApplication

HRESULT CApplication::Terminate() {
    UL_GUARD_BEGIN
    if (IsServiceMode()) corvane::ThrowHResult(kTerminateInServiceModeResult);
    PostQuitMessage(0);
    UL_ASSERT(PostThreadMessageW(m_nMainThreadIdentifier, 0x0012, 0, 0));
    UL_GUARD_END
}

HRESULT CApplication::QueryLastEvent(EVENTTYPE* pType, BSTR* psDescription, VARIANT_BOOL* pbValid) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(pbValid);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (m_ApplicationEventList.empty()) {
        *pbValid = VARIANT_FALSE;
        return S_OK;
    }
    corvane::CheckPointer(pType);
    corvane::CheckPointer(psDescription);
    const CApplicationEvent& Event = m_ApplicationEventList.back();
    BSTR sDescription = SysAllocStringLen(Event.sDescription.data(), static_cast<UINT>(Event.sDescription.size()));
    if (sDescription == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    *pType = Event.Type;
    *psDescription = sDescription;
    *pbValid = VARIANT_TRUE;
    UL_GUARD_END
}

HRESULT CApplication::Save() {
    UL_GUARD_BEGIN
    SaveSettings();
    UL_GUARD_END
}

HRESULT CApplication::get_Enabled(VARIANT_BOOL* pbEnabled) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(pbEnabled);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *pbEnabled = m_bEnabled ? VARIANT_TRUE : VARIANT_FALSE;
    UL_GUARD_END
}

HRESULT CApplication::put_Enabled(VARIANT_BOOL bEnabled) {
    UL_GUARD_BEGIN
    CApplicationEventRaiser Raiser(this);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    const bool bNewEnabled = bEnabled != VARIANT_FALSE;
    if (bNewEnabled != m_bEnabled) {
        // When no client holds the manager any more, it writes its list and ends its scenarios here, so a
        // manager made next reads what this one wrote.
        m_pManager.Release();
        m_bEnabled = bNewEnabled;
        SetDirty();
        if (m_bEnabled && IsRunning()) CreateManager();
    }
    DataLock.Unlock();  // before the raiser announces an error
    UL_GUARD_END
}

HRESULT CApplication::get_Manager(IManager** ppManager) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppManager);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *ppManager = CComPtr<IManager>(m_pManager).Detach();
    UL_GUARD_END
}

// The module's operations

void CApplication::SetMainThreadIdentifier(DWORD nThreadIdentifier) {
    UL_ASSERT(!m_nMainThreadIdentifier);
    m_nMainThreadIdentifier = nThreadIdentifier;
}

void CApplication::Start() {
    UL_ASSERT(IsSingleThreadedApartment());
    Fire(DISPID_ApplicationEvents_Starting);
    RegisterSharedData();
    InitializeApplication();
    RegisterRunningObject();
    m_nRunning.exchange(1);
    Fire(DISPID_ApplicationEvents_Started);
}

void CApplication::Stop() {
    UL_ASSERT(IsSingleThreadedApartment());
    corvane::GuardedOperation([&] {
        Fire(DISPID_ApplicationEvents_Stopping);
        m_nRunning.exchange(0);
        RevokeRunningObject();
    });
    corvane::GuardedOperation([&] { TerminateApplication(); });
    corvane::GuardedOperation([&] { UnregisterSharedData(); });
    Fire(DISPID_ApplicationEvents_Stopped);
}

bool CApplication::IsRunning() const noexcept {
    LONG nExpected = 1;
    // A compare-exchange that writes back what it finds: a plain interlocked read.
    return m_nRunning.compare_exchange_strong(nExpected, 1);
}

void CApplication::RaiseLastEvent() {
    UL_ASSERT(GetCurrentThreadId() == m_nMainThreadIdentifier);
    UL_ASSERT(VerifyCriticalSectionUnlocked(m_DataCriticalSection));
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (m_ApplicationEventList.empty()) return;
    const EVENTTYPE Type = m_ApplicationEventList.back().Type;
    BSTR sDescription = SysAllocStringLen(m_ApplicationEventList.back().sDescription.data(),
                                          static_cast<UINT>(m_ApplicationEventList.back().sDescription.size()));
    DataLock.Unlock();
    if (sDescription == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    VARIANT vType;
    VariantInit(&vType);
    vType.vt = VT_I4;
    vType.lVal = Type;
    VARIANT vDescription;
    VariantInit(&vDescription);
    vDescription.vt = VT_BSTR;
    vDescription.bstrVal = sDescription;
    m_EventsPoint.FireDispatch(DISPID_ApplicationEvents_Event, {vType, vDescription});
    SysFreeString(sDescription);
}

// Internal operations

void CApplication::RegisterSharedData() {
    bool bExisted = false;
    m_DataMapping.Initialize(ApplicationDataName().c_str(), &bExisted);
    if (bExisted) {
        // Another instance owns the record; let go of its lock and leave the record as it is.
        m_DataMapping.Terminate();
        corvane::ThrowHResult(HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING));
    }
    CApplicationDataMapping::CAccessor Accessor(m_DataMapping, true, true);
    _APPLICATIONDATA* pData = Accessor.GetData();
    pData->bApplicationMode = IsServiceMode() ? 0 : 1;
    // The tray window writes its own token once it exists.
    pData->nNotifyIconWindow = 0;
}

void CApplication::UnregisterSharedData() {
    UL_ASSERT(m_DataMapping.Terminate());
}

void CApplication::RegisterRunningObject() {
    UL_ASSERT(m_nCookie == 0);
    CComPtr<IRunningObjectTable> pTable;
    UL_CHECK(GetRunningObjectTable(0, &pTable));
    CComPtr<IMoniker> pName = RunningObjectName();
    DWORD nCookie = 0;
    UL_CHECK(pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE | ROTFLAGS_ALLOWANYCLIENT,
                              static_cast<IApplication*>(this), pName, &nCookie));
    m_nCookie = nCookie;
    UL_ASSERT(m_nCookie);
}

void CApplication::RevokeRunningObject() {
    if (m_nCookie == 0) return;
    CComPtr<IRunningObjectTable> pTable;
    UL_CHECK(GetRunningObjectTable(0, &pTable));
    const DWORD nCookie = m_nCookie;
    m_nCookie = 0;
    UL_CHECK(pTable->Revoke(nCookie));
    UL_ASSERT(((HRESULT)(CoDisconnectObject((IApplication*)this, 0)) >= 0));
}

void CApplication::InitializeApplication() {
    UL_ASSERT(m_ApplicationEventList.empty());
    CApplicationEventRaiser Raiser(this);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    corvane::GuardedOperation([&] { UL_CHECK(Load(GetSettingsBag(), nullptr)); });
    if (m_bEnabled) CreateManager();
    DataLock.Unlock();
}

void CApplication::CreateManager() {
    UL_ASSERT(VerifyCriticalSectionLocked(m_DataCriticalSection));
    UL_ASSERT(!m_pManager);
    // Making the manager loads and starts every stored scenario; a manager that fails is gone already.
    CComPtr<IManager> pManager;
    const HRESULT hr = CreateObjectT<CManager>(IidOf<IManager>(), reinterpret_cast<void**>(&pManager));
    if (SUCCEEDED(hr)) {
        m_pManager = std::move(pManager);
        corvane::GuardedOperation([&] { RecordUnreadableScenarios(); });
        return;
    }
    UL_TRACE(corvane::TRACE_LEVEL_FAILURE, corvane::TraceText::ResultExceptionCaught, static_cast<unsigned>(hr),
             comrt::ToUtf8(FormatSystemMessage(hr)).c_str());
    m_ApplicationEventList.push_back(CApplicationEvent{GetTickCount(), EVENTTYPE_ERROR, FormatSystemMessage(hr)});
}

void CApplication::RecordUnreadableScenarios() {
    CComPtr<IScenarios> pScenarios;
    UL_CHECK(m_pManager->get_Scenarios(&pScenarios));
    // The manager is always this module's own, made by CreateManager.
    const std::vector<std::u16string> Names = static_cast<CScenariosObject*>(pScenarios.p)->GetUnreadableValueNames();
    if (Names.empty()) return;
    std::u16string sNames;
    for (const auto& sName : Names) sNames += (sNames.empty() ? u"\"" : u", \"") + sName + u"\"";
    const std::u16string sDescription =
        Names.size() == 1
            ? u"The stored scenario " + sNames + u" cannot be read; it is not run and stays in the store as it is."
            : u"The stored scenarios " + sNames +
                  u" cannot be read; they are not run and stay in the store as they are.";
    m_ApplicationEventList.push_back(CApplicationEvent{GetTickCount(), EVENTTYPE_WARNING, sDescription});
}

void CApplication::TerminateApplication() {
    UL_CATCH_ALL_BEGIN
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    // When no client holds the manager any more, it writes its list and ends its scenarios here.
    m_pManager.Release();
    if (IsDirtyState()) SaveSettings();
    UL_CATCH_ALL_END
}

void CApplication::SaveSettings() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    UL_CHECK(IUlPersistPropertyBagT<CApplication>::Save(GetSettingsBag(), TRUE, TRUE));
    if (m_pManager) {
        CComPtr<IScenarios> pScenarios;
        UL_CHECK(m_pManager->get_Scenarios(&pScenarios));
        // The manager is always this module's own, made by CreateManager.
        static_cast<CScenariosObject*>(pScenarios.p)->SaveToRegistry();
    }
}

IPropertyBag* CApplication::GetSettingsBag() {
    if (!m_pSettingsBag) {
        CComObjectT<CRegistryPropertyBag>* pBag = nullptr;
        UL_CHECK(CComObjectT<CRegistryPropertyBag>::CreateInstance(&pBag));
        pBag->Initialize(kServerSettingsKeyPath);
        m_pSettingsBag.Attach(pBag);
    }
    return m_pSettingsBag;
}

void CApplication::Fire(DISPID nDispid) {
    UL_CATCH_ALL_BEGIN
    m_EventsPoint.FireDispatch(nDispid);
    UL_CATCH_ALL_END
}
