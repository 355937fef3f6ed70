// An event record with fixed texts, as an activity hands it to its notifications: tests and benchmarks of
// notifications make one instead of the server's record. A read of the subject can be made to fail.
#pragma once

#include <string>
#include <string_view>

#include "HarkwellServer/Interfaces.h"
#include "comrt/oleauto.h"
#include "corvane/ulobject.h"

namespace testing_support {

class CFixedActivityEvent : public comrt::IDispatchImplT<IActivityEvent> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IActivityEvent>, InterfaceEntry<IDispatch, IActivityEvent>>;

    LONG m_nLevel = 0;
    std::u16string m_sTags;
    std::u16string m_sSubject;
    std::u16string m_sBody;
    HRESULT m_nSubjectResult = S_OK;

    // A new record with these texts, holding one reference; null when it cannot be made.
    static CComPtr<IActivityEvent> Create(std::u16string_view sSubject, std::u16string_view sBody,
                                          HRESULT nSubjectResult = S_OK) {
        CComObjectT<CFixedActivityEvent>* pEvent = nullptr;
        if (FAILED(CComObjectT<CFixedActivityEvent>::CreateInstance(&pEvent))) return nullptr;
        pEvent->m_sSubject = sSubject;
        pEvent->m_sBody = sBody;
        pEvent->m_nSubjectResult = nSubjectResult;
        CComPtr<IActivityEvent> pResult;
        pResult.Attach(pEvent);
        return pResult;
    }

    HRESULT get_Level(LONG* pnLevel) override {
        if (pnLevel == nullptr) return E_POINTER;
        *pnLevel = m_nLevel;
        return S_OK;
    }
    HRESULT put_Level(LONG) override { return E_NOTIMPL; }
    HRESULT get_Tags(BSTR* psTags) override { return Text(m_sTags, psTags); }
    HRESULT put_Tags(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Subject(BSTR* psSubject) override {
        return FAILED(m_nSubjectResult) ? m_nSubjectResult : Text(m_sSubject, psSubject);
    }
    HRESULT put_Subject(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Body(BSTR* psBody) override { return Text(m_sBody, psBody); }
    HRESULT put_Body(BSTR) override { return E_NOTIMPL; }

private:
    static HRESULT Text(std::u16string_view sText, BSTR* ps) {
        if (ps == nullptr) return E_POINTER;
        *ps = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()));
        return *ps ? S_OK : E_OUTOFMEMORY;
    }
};

}  // namespace testing_support
