#include "ActivityEvent.h"

#include "comrt/oleauto.h"
#include "corvane/ulguard.h"

HRESULT CActivityEvent::get_Level(LONG* pnLevel) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(pnLevel);
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        *pnLevel = m_nLevel;
    });
}

HRESULT CActivityEvent::put_Level(LONG nLevel) {
    return corvane::GuardedCall([&] {
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        m_nLevel = nLevel;
    });
}

HRESULT CActivityEvent::GetText(const std::u16string& sField, BSTR* psValue) {
    return corvane::GuardedCall([&] {
        corvane::CheckPointer(psValue);
        *psValue = nullptr;
        BSTR sValue;
        {
            CUlCriticalSectionLock DataLock(m_DataCriticalSection);
            sValue = SysAllocStringLen(sField.data(), static_cast<UINT>(sField.size()));
        }
        if (sValue == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
        *psValue = sValue;
    });
}

HRESULT CActivityEvent::PutText(std::u16string& sField, BSTR sValue) {
    return corvane::GuardedCall([&] {
        // A null BSTR is the empty string; the copy is made before the lock is taken.
        std::u16string sCopy(sValue ? sValue : u"", SysStringLen(sValue));
        CUlCriticalSectionLock DataLock(m_DataCriticalSection);
        sField.swap(sCopy);
    });
}

HRESULT CActivityEvent::get_Tags(BSTR* psTags) {
    return GetText(m_sTags, psTags);
}
HRESULT CActivityEvent::put_Tags(BSTR sTags) {
    return PutText(m_sTags, sTags);
}
HRESULT CActivityEvent::get_Subject(BSTR* psSubject) {
    return GetText(m_sSubject, psSubject);
}
HRESULT CActivityEvent::put_Subject(BSTR sSubject) {
    return PutText(m_sSubject, sSubject);
}
HRESULT CActivityEvent::get_Body(BSTR* psBody) {
    return GetText(m_sBody, psBody);
}
HRESULT CActivityEvent::put_Body(BSTR sBody) {
    return PutText(m_sBody, sBody);
}
