#include "Scenario.h"

#include "CollectionSupport.h"

#include <thread>

#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulenum.h"
#include "corvane/ulguard.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulpersist.h"

namespace {

// The version byte that starts every State record.
constexpr BYTE kStateVersion = 0x01;

// The event deliveries the calling thread is inside, innermost first: a sink closed on a thread that delivers
// through it (the delivery's own reference to its scenario was the last) must not wait for its own calls,
// while it still waits for its calls on other threads.
struct Delivery {
    const void* pSink;
    const Delivery* pOuter;
};
thread_local const Delivery* t_pDelivery = nullptr;

unsigned DeliveriesOnThisThread(const void* pSink) noexcept {
    unsigned nCount = 0;
    for (const Delivery* p = t_pDelivery; p != nullptr; p = p->pOuter)
        if (p->pSink == pSink) ++nCount;
    return nCount;
}

// The identity of an object, for comparing two references to it.
bool IsSameObject(IUnknown* pFirst, IUnknown* pSecond) {
    return pFirst == pSecond;
}

}  // namespace

// CNotifications

HRESULT CNotifications::get_Item(VARIANT vIndex, INotification** ppNotification) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppNotification);
    *ppNotification = nullptr;
    const LONG nIndex = IndexFromVariant(vIndex);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    corvane::CheckArgument(nIndex >= 0 && static_cast<size_t>(nIndex) < m_NotificationList.size());
    *ppNotification = CComPtr<INotification>(m_NotificationList[static_cast<size_t>(nIndex)]).Detach();
    UL_GUARD_END
}

HRESULT CNotifications::get__NewEnum(IUnknown** ppEnum) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppEnum);
    *ppEnum = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    std::vector<IDispatch*> Objects(m_NotificationList.begin(), m_NotificationList.end());
    CreateDispatchEnumerator(Objects, ppEnum);
    UL_GUARD_END
}

HRESULT CNotifications::get_Count(LONG* pnCount) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(pnCount);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *pnCount = static_cast<LONG>(m_NotificationList.size());
    UL_GUARD_END
}

HRESULT CNotifications::Add(INotification* pNotification) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(pNotification != nullptr);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    for (const auto& pElement : m_NotificationList) corvane::CheckArgument(!IsSameObject(pElement, pNotification));
    m_NotificationList.emplace_back(pNotification);
    SetDirty();
    UL_GUARD_END
}

HRESULT CNotifications::Remove(INotification* pNotification) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(pNotification != nullptr);
    CComPtr<INotification> pRemoved;  // released after the lock
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    auto Position = std::find_if(m_NotificationList.begin(), m_NotificationList.end(),
                                 [&](const auto& pElement) { return IsSameObject(pElement, pNotification); });
    corvane::CheckArgument(Position != m_NotificationList.end());
    pRemoved = std::move(*Position);
    m_NotificationList.erase(Position);
    SetDirty();
    UL_GUARD_END
}

void CNotifications::GetList(NotificationList& List) {
    UL_ASSERT(List.empty() && "NotificationList.IsEmpty()");
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    List.insert(List.end(), m_NotificationList.begin(), m_NotificationList.end());
}

bool CNotifications::IsDirty() {
    NotificationList List;
    {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        if (IsDirtyState()) return true;
        List = m_NotificationList;
    }
    for (const auto& pNotification : List) {
        CComQIPtr<IPersistStreamInit> pPersist(pNotification);
        if (pPersist && pPersist->IsDirty() != S_FALSE) return true;
    }
    return false;
}

// CScenario

CScenario::CScenario() : CBasePersistT<CScenario>(&m_DataCriticalSection) {}

HRESULT CScenario::FinalConstruct() {
    UL_GUARD_BEGIN
    CComObjectT<CActivityData>* pActivityData = nullptr;
    UL_CHECK(CComObjectT<CActivityData>::CreateInstance(&pActivityData, this));
    m_pActivityData.Attach(pActivityData);
    UL_GUARD_END
}

void CScenario::FinalRelease() {
    if (m_pActivityData) m_pActivityData->Close();
    m_pActivityData.Release();
}

HRESULT CScenario::get_State(BSTR* psState) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(psState);
    *psState = nullptr;
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    CMemoryStreamObject* pStreamObject = nullptr;
    UL_CHECK(CMemoryStreamObject::CreateInstance(&pStreamObject));
    CComPtr<CMemoryStreamObject> pStream;
    pStream.Attach(pStreamObject);

    UL_CHECK(_PersistHelper::WriteBytes(pStream, &kStateVersion, 1));
    CComVariantArray Data;
    if (CComPtr<IActivity> pActivity = m_pActivityData->GetActivity()) _PersistHelper::GetObjectData(pActivity, &Data);
    UL_CHECK(Data.WriteToStream(pStream));

    CNotifications::NotificationList List;
    if (m_pNotifications) m_pNotifications->GetList(List);
    UL_CHECK(_PersistHelper::WriteUInt32(pStream, static_cast<std::uint32_t>(List.size())));
    for (const auto& pNotification : List) {
        _PersistHelper::GetObjectData(pNotification, &Data);
        UL_CHECK(Data.WriteToStream(pStream));
    }
    UL_CHECK(_MemoryStreamHelper::BstrFromMemoryStream(pStream, psState));
    UL_GUARD_END
}

HRESULT CScenario::put_State(BSTR sState) {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    CMemoryStreamObject* pStreamObject = nullptr;
    UL_CHECK(_MemoryStreamHelper::MemoryStreamFromBstr(sState, &pStreamObject));
    CComPtr<CMemoryStreamObject> pStream;
    pStream.Attach(pStreamObject);

    BYTE nVersion = 0;
    UL_CHECK(_PersistHelper::ReadBytes(pStream, &nVersion, 1));
    if (nVersion != kStateVersion) corvane::ThrowHResult(E_INVALIDARG);

    CComVariantArray Data;
    UL_CHECK(Data.ReadFromStream(pStream));
    CComPtr<IActivity> pActivity;
    if (Data.vt != VT_EMPTY && Data.vt != VT_NULL)
        _PersistHelper::CreateObject(Data, IidOf<IActivity>(), reinterpret_cast<void**>(&pActivity));
    SetActivity(pActivity);

    std::uint32_t nCount = 0;
    UL_CHECK(_PersistHelper::ReadUInt32(pStream, &nCount));
    m_pNotifications.Release();
    if (nCount != 0) {
        CNotificationsObject* pNotifications = GetNotifications();
        for (std::uint32_t nIndex = 0; nIndex < nCount; ++nIndex) {
            UL_CHECK(Data.ReadFromStream(pStream));
            CComPtr<INotification> pNotification;
            _PersistHelper::CreateObject(Data, IidOf<INotification>(), reinterpret_cast<void**>(&pNotification));
            UL_ASSERT(pNotification);
            UL_CHECK(pNotifications->Add(pNotification));
        }
        // The list is what the record holds: the scenario's own change counter below stands for the change,
        // so that a loaded scenario counts as changed only when one of its objects does.
        pNotifications->SetClean();
    }
    SetDirty();
    UL_GUARD_END
}

namespace {

// Reads one object datum of a State record and checks it has a form that an object can be made from: brace
// text naming a class, or a one-dimensional byte array that holds at least a class identifier. An empty
// variant is the form of "no object" and passes where bEmptyAllowed.
HRESULT CheckObjectData(IStream* pStream, bool bEmptyAllowed) {
    CComVariantArray Data;
    if (const HRESULT hr = Data.ReadFromStream(pStream); FAILED(hr)) return hr;
    if (Data.vt == VT_EMPTY || Data.vt == VT_NULL) return bEmptyAllowed ? S_OK : E_INVALIDARG;
    if (Data.vt == VT_BSTR) {
        CLSID Clsid = CLSID_NULL;
        return Data.bstrVal != nullptr && SUCCEEDED(CLSIDFromString(Data.bstrVal, &Clsid)) ? S_OK : CO_E_CLASSSTRING;
    }
    if (Data.vt != (VT_ARRAY | VT_UI1) || Data.parray == nullptr) return E_INVALIDARG;
    if (SafeArrayGetDim(Data.parray) != 1) return UL_E_OBJECT_DATA_DIMENSIONS;
    LONG nLower = 0;
    LONG nUpper = -1;
    if (FAILED(SafeArrayGetLBound(Data.parray, 1, &nLower)) || FAILED(SafeArrayGetUBound(Data.parray, 1, &nUpper)))
        return E_INVALIDARG;
    const LONGLONG nSize = static_cast<LONGLONG>(nUpper) - nLower + 1;
    return nSize >= static_cast<LONGLONG>(sizeof(CLSID)) ? S_OK : STG_E_READFAULT;
}

}  // namespace

HRESULT CScenario::CheckStoredForm(IStream* pStream) noexcept {
    try {
        std::uint32_t nVersion = 0;
        if (const HRESULT hr = _PersistHelper::ReadUInt32(pStream, &nVersion); FAILED(hr)) return hr;
        if (nVersion > UL_PERSIST_STREAM_VERSION) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        // A stream that ends after its version holds no State, as streams of older versions may.
        ULARGE_INTEGER nPosition{};
        ULARGE_INTEGER nEnd{};
        HRESULT hr = pStream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &nPosition);
        if (SUCCEEDED(hr)) hr = pStream->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &nEnd);
        if (SUCCEEDED(hr))
            hr = pStream->Seek(LARGE_INTEGER{static_cast<LONGLONG>(nPosition.QuadPart)}, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) return hr;
        if (nPosition.QuadPart >= nEnd.QuadPart) return S_OK;

        CComVariantArray State;
        if (hr = State.ReadFromStream(pStream); FAILED(hr)) return hr;
        if (State.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        CMemoryStreamObject* pStreamObject = nullptr;
        if (hr = _MemoryStreamHelper::MemoryStreamFromBstr(State.bstrVal, &pStreamObject); FAILED(hr)) return hr;
        CComPtr<CMemoryStreamObject> pRecord;
        pRecord.Attach(pStreamObject);
        BYTE nStateVersion = 0;
        if (hr = _PersistHelper::ReadBytes(pRecord, &nStateVersion, 1); FAILED(hr)) return hr;
        if (nStateVersion != kStateVersion) return E_INVALIDARG;
        if (hr = CheckObjectData(pRecord, true); FAILED(hr)) return hr;
        std::uint32_t nCount = 0;
        if (hr = _PersistHelper::ReadUInt32(pRecord, &nCount); FAILED(hr)) return hr;
        // A count larger than the record holds ends at the first block that is not there.
        for (std::uint32_t nIndex = 0; nIndex < nCount; ++nIndex)
            if (hr = CheckObjectData(pRecord, false); FAILED(hr)) return hr;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CScenario::get_Activity(IActivity** ppActivity) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppActivity);
    *ppActivity = m_pActivityData->GetActivity().Detach();
    UL_GUARD_END
}

HRESULT CScenario::put_Activity(IActivity* pActivity) {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (IsSameObject(m_pActivityData->GetActivity(), pActivity)) return S_OK;
    SetActivity(pActivity);
    SetDirty();
    UL_GUARD_END
}

HRESULT CScenario::get_Notifications(INotifications** ppNotifications) {
    UL_GUARD_BEGIN
    corvane::CheckPointer(ppNotifications);
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    *ppNotifications = CComPtr<INotifications>(GetNotifications()).Detach();
    UL_GUARD_END
}

HRESULT CScenario::IsDirty() {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    if (IsDirtyState()) return S_OK;
    CComQIPtr<IPersistStreamInit> pActivityPersist(m_pActivityData->GetActivity());
    if (pActivityPersist && pActivityPersist->IsDirty() != S_FALSE) return S_OK;
    if (m_pNotifications && m_pNotifications->IsDirty()) return S_OK;
    return S_FALSE;
    UL_GUARD_END
}

std::u16string CScenario::GetRegistryValueName() {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    return m_sRegistryValueName;
}

void CScenario::SetRegistryValueName(const std::u16string& sValueName) {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    UL_ASSERT(m_sRegistryValueName.empty() && "m_sRegistryValueName.IsEmpty()");
    m_sRegistryValueName = sValueName;
}

bool CScenario::StartActivity() {
    CComPtr<IActivity> pActivity = m_pActivityData->GetActivity();
    if (!pActivity) return false;
    UL_CHECK(pActivity->Start());
    return true;
}

void CScenario::Terminate() {
    UL_CATCH_ALL_BEGIN
    // Not under the data lock: stopping an activity waits for an event it is firing, and that event may be
    // waiting for the data lock in Fire.
    SetActivity(nullptr);
    UL_CATCH_ALL_END
}

void CScenario::Fire(IActivity* pActivity, IActivityEvent* pActivityEvent) {
    CUlCriticalSectionLock DataLock(m_DataCriticalSection);
    CNotifications::NotificationList List;
    if (m_pNotifications) m_pNotifications->GetList(List);
    // A notification's failure is its own: the others still get the event.
    for (const auto& pNotification : List) pNotification->Handle(pActivity, pActivityEvent);
}

CNotificationsObject* CScenario::GetNotifications() {
    UL_ASSERT(VerifyCriticalSectionLocked(m_DataCriticalSection));
    if (!m_pNotifications) {
        CNotificationsObject* pNotifications = nullptr;
        UL_CHECK(CNotificationsObject::CreateInstance(&pNotifications));
        m_pNotifications.Attach(pNotifications);
    }
    return m_pNotifications;
}

void CScenario::SetActivity(IActivity* pActivity) {
    m_pActivityData->SetActivity(pActivity);
}

// CScenario::CActivityData

CScenario::CActivityData::CActivityData(CScenario* pScenario) : m_pScenario(pScenario) {
    UL_ASSERT(pScenario);
}

HRESULT CScenario::CActivityData::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

HRESULT CScenario::CActivityData::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT CScenario::CActivityData::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
    if (rgszNames == nullptr || rgDispId == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT nIndex = 0; nIndex < cNames; ++nIndex) {
        const bool bKnown = nIndex == 0 && rgszNames[0] && comrt::CompareNoCase(rgszNames[0], u"Notification") == 0;
        rgDispId[nIndex] = bKnown ? DISPID_ActivityEvents_Notification : DISPID_UNKNOWN;
        if (!bKnown) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT CScenario::CActivityData::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                         VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) {
    if (dispIdMember != DISPID_ActivityEvents_Notification) return DISP_E_MEMBERNOTFOUND;
    if ((wFlags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (pDispParams == nullptr || pDispParams->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    CComQIPtr<IActivityEvent> pActivityEvent;
    const VARIANT& Argument = pDispParams->rgvarg[0];
    const VARTYPE vt = Argument.vt & ~VT_BYREF;
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        IUnknown* pUnknown = (Argument.vt & VT_BYREF) != 0 ? *Argument.ppunkVal : Argument.punkVal;
        pActivityEvent = pUnknown;
    } else if (vt != VT_EMPTY && vt != VT_NULL) {
        if (puArgErr != nullptr) *puArgErr = 0;
        return DISP_E_TYPEMISMATCH;
    }
    if (pVarResult != nullptr) VariantInit(pVarResult);
    Notification(pActivityEvent);
    return S_OK;
}

void CScenario::CActivityData::SetActivity(IActivity* pActivity) {
    CUlCriticalSectionLock Lock(m_CriticalSection);
    if (m_pActivity) {
        CComPtr<IActivity> pCurrentActivity = std::move(m_pActivity);
        const DWORD nCookie = std::exchange(m_nCookie, 0);
        // An event call in progress needs this lock to finish; unsubscribing may wait for it.
        Lock.Unlock();
        HRESULT hr = E_NOINTERFACE;
        CComPtr<IConnectionPoint> pConnectionPoint;
        if (CComQIPtr<IConnectionPointContainer> pContainer{pCurrentActivity}) {
            hr = pContainer->FindConnectionPoint(IidOf<_ActivityEvents>(), &pConnectionPoint);
            if (SUCCEEDED(hr)) hr = pConnectionPoint->Unadvise(nCookie);
        }
        if (FAILED(hr)) corvane::AssertionFailed(UL_CONTEXT, "SUCCEEDED(DispEventUnadvise(pCurrentActivity))");
        // An activity the scenario lets go of is stopped: nobody could stop it later, and a started activity
        // keeps itself alive through its own timer, watching for no one.
        pCurrentActivity->Stop();
        Lock.Lock();
    }
    if (pActivity != nullptr) {
        CComQIPtr<IConnectionPointContainer> pContainer(pActivity);
        if (!pContainer) corvane::ThrowHResult(E_NOINTERFACE);
        CComPtr<IConnectionPoint> pConnectionPoint;
        UL_CHECK(pContainer->FindConnectionPoint(IidOf<_ActivityEvents>(), &pConnectionPoint));
        DWORD nCookie = 0;
        UL_CHECK(pConnectionPoint->Advise(static_cast<_ActivityEvents*>(this), &nCookie));
        m_nCookie = nCookie;
    }
    m_pActivity = pActivity;
}

CComPtr<IActivity> CScenario::CActivityData::GetActivity() {
    CUlCriticalSectionLock Lock(m_CriticalSection);
    return m_pActivity;
}

void CScenario::CActivityData::Notification(IActivityEvent* pActivityEvent) {
    UL_TRACE(corvane::TRACE_LEVEL_VERBOSE, "...\n");
    CComPtr<_ActivityEvents> pThis(this);  // the gate below outlives the scenario
    CComPtr<IScenario> pScenarioReference;
    CScenario* pScenario = nullptr;
    {
        std::lock_guard Gate(m_GateMutex);
        if (m_pScenario == nullptr) return;  // closed: the scenario is going
        // The delivery keeps its scenario alive: a notification that lets go of it during Handle leaves it
        // to this delivery to end. A scenario whose last reference is gone already gets no more events.
        if (!static_cast<CComObjectT<CScenario>*>(m_pScenario)->TryAddRef()) return;
        pScenario = m_pScenario;
        pScenarioReference.Attach(static_cast<IScenario*>(pScenario));
        ++m_nCallsInProgress;
    }
    const Delivery ThisDelivery{this, t_pDelivery};
    t_pDelivery = &ThisDelivery;
    UL_CATCH_ALL_BEGIN
    corvane::CheckArgument(pActivityEvent != nullptr);
    if (CComPtr<IActivity> pActivity = GetActivity()) pScenario->Fire(pActivity, pActivityEvent);
    UL_CATCH_ALL_END
    // When this was the last reference, the scenario ends here, and its Close does not wait for this call.
    UL_CATCH_ALL_BEGIN
    pScenarioReference.Release();
    UL_CATCH_ALL_END
    t_pDelivery = ThisDelivery.pOuter;
    {
        std::lock_guard Gate(m_GateMutex);
        --m_nCallsInProgress;
    }
    m_GateCondition.notify_all();
}

void CScenario::CActivityData::Close() {
    UL_CATCH_ALL_BEGIN
    SetActivity(nullptr);
    UL_CATCH_ALL_END
    const unsigned nOwnCalls = DeliveriesOnThisThread(this);
    std::unique_lock Gate(m_GateMutex);
    m_pScenario = nullptr;
    m_GateCondition.wait(Gate, [&] { return m_nCallsInProgress == nOwnCalls; });
}
