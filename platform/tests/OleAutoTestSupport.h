// Helpers shared by the automation type tests: a reference-counting object and VARIANT makers.
#pragma once

#include <cstdint>
#include <string_view>

#include "comrt/interfaces.h"

namespace oleauto_test {

inline std::u16string_view View(BSTR bstr) {
    return std::u16string_view(bstr ? bstr : u"", SysStringLen(bstr));
}

// An object that counts its references and never frees itself, so a test can check that every AddRef met its
// Release. With bDispatch it also answers IDispatch and has a value property giving nValue.
class CCountingObject final : public IDispatch {
public:
    explicit CCountingObject(bool bDispatch = true, LONG nValue = 7) : m_bDispatch(bDispatch), m_nValue(nValue) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IUnknown::kIid || (m_bDispatch && riid == IDispatch::kIid)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nRefs; }
    ULONG Release() override { return --m_nRefs; }
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams, VARIANT* pResult, EXCEPINFO*,
                   UINT*) override {
        ++m_nInvokes;
        if (dispIdMember != DISPID_VALUE || (wFlags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
        if (pParams == nullptr || pParams->cArgs != 0 || pResult == nullptr) return DISP_E_BADPARAMCOUNT;
        pResult->vt = VT_I4;
        pResult->lVal = m_nValue;
        return S_OK;
    }

    ULONG Refs() const { return m_nRefs; }
    int Invokes() const { return m_nInvokes; }

private:
    bool m_bDispatch;
    LONG m_nValue;
    ULONG m_nRefs = 1;
    int m_nInvokes = 0;
};

inline VARIANT MakeI4(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

inline VARIANT MakeR8(double d) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

// A VARIANT holding its own copy of the text (embedded NULs included).
inline VARIANT MakeText(std::u16string_view text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

inline VARIANT Make(VARTYPE vt, std::int64_t nBits) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = nBits;
    return v;
}
inline VARIANT MakeR4(float f) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = f;
    return v;
}
inline VARIANT MakeDate(double d) {
    VARIANT v = MakeR8(d);
    v.vt = VT_DATE;
    return v;
}
inline VARIANT MakeBool(bool b) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

}  // namespace oleauto_test
