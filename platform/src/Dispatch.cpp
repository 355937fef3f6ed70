// Late binding from interface descriptions: name lookup, invocation with argument conversion, and the type
// information objects that tools read the descriptions through.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "OleAutoInternal.h"
#include "RefCounted.h"
#include "comrt/dispatch.h"
#include "comrt/runtime.h"

namespace comrt {
namespace {

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// Automation names are matched without regard to case; our names are ASCII.
bool NameEquals(const OLECHAR* psz, std::string_view name) {
    std::size_t i = 0;
    for (; psz[i] != 0; ++i) {
        if (i >= name.size()) return false;
        if (FoldAscii(psz[i]) != FoldAscii(static_cast<char16_t>(static_cast<unsigned char>(name[i])))) return false;
    }
    return i == name.size();
}

// The i-th name of a comma-separated list, or an empty view.
std::string_view ParamName(const char* szNames, unsigned nIndex) {
    std::string_view names = szNames ? szNames : "";
    for (unsigned i = 0; i < nIndex; ++i) {
        std::size_t comma = names.find(',');
        if (comma == std::string_view::npos) return {};
        names.remove_prefix(comma + 1);
    }
    return names.substr(0, names.find(','));
}

BSTR AllocAscii(std::string_view s) {
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(s.size()));
    if (b == nullptr) return nullptr;
    for (std::size_t i = 0; i < s.size(); ++i) b[i] = static_cast<unsigned char>(s[i]);
    return b;
}

const MemberDescription* FindByName(const InterfaceDescription& d, const OLECHAR* pszName) {
    for (unsigned i = 0; i < d.nMembers; ++i)
        if (NameEquals(pszName, d.pMembers[i].szName)) return &d.pMembers[i];
    return nullptr;
}

const MemberDescription* FindById(const InterfaceDescription& d, DISPID id) {
    for (unsigned i = 0; i < d.nMembers; ++i)
        if (d.pMembers[i].dispid == id) return &d.pMembers[i];
    return nullptr;
}

// One type information object per description, alive for the whole process like the description itself.
class CTypeInfo final : public ITypeInfo {
public:
    explicit CTypeInfo(const InterfaceDescription& d) : m_Description(d) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<ITypeInfo>()) {
            *ppv = static_cast<ITypeInfo*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        return DispatchGetIDsOfNames(m_Description, rgszNames, cNames, pMemId);
    }

    HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override {
        if (rgBstrNames == nullptr || pcNames == nullptr) return E_INVALIDARG;
        *pcNames = 0;
        const MemberDescription* m = FindById(m_Description, memid);
        if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
        if (cMaxNames == 0) return S_OK;
        rgBstrNames[(*pcNames)++] = AllocAscii(m->szName);
        for (unsigned i = 0; i < m->nParams && *pcNames < cMaxNames; ++i) {
            // A property put's value has no name of its own in automation.
            if (m->kind == MemberKind::PropertyPut && i + 1 == m->nParams) break;
            rgBstrNames[(*pcNames)++] = AllocAscii(ParamName(m->szParamNames, i));
        }
        return S_OK;
    }

    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                             BSTR* pBstrHelpFile) override {
        std::string_view name, doc;
        if (memid == DISPID_UNKNOWN) {
            name = m_Description.szName;
            doc = m_Description.szHelp ? m_Description.szHelp : "";
        } else {
            const MemberDescription* m = FindById(m_Description, memid);
            if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
            name = m->szName;
        }
        if (pBstrName) *pBstrName = AllocAscii(name);
        if (pBstrDocString) *pBstrDocString = AllocAscii(doc);
        if (pdwHelpContext) *pdwHelpContext = 0;
        if (pBstrHelpFile) *pBstrHelpFile = nullptr;
        return S_OK;
    }

    HRESULT GetGuid(GUID* pGuid) override {
        if (pGuid == nullptr) return E_POINTER;
        *pGuid = m_Description.iid;
        return S_OK;
    }

    const InterfaceDescription* GetDescription() override { return &m_Description; }

    HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) override {
        if (ppTypeAttr == nullptr) return E_POINTER;
        const bool bDual = m_Description.kind == InterfaceKind::Dual;
        *ppTypeAttr =
            new (std::nothrow) TYPEATTR{m_Description.iid,
                                        TKIND_DISPATCH,
                                        static_cast<WORD>(m_Description.nMembers),
                                        0,
                                        0,
                                        static_cast<WORD>(bDual ? TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE : 0)};
        return *ppTypeAttr ? S_OK : E_OUTOFMEMORY;
    }
    void ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }

    HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
        if (ppFuncDesc == nullptr) return E_POINTER;
        *ppFuncDesc = nullptr;
        if (index >= m_Description.nMembers) return TYPE_E_ELEMENTNOTFOUND;
        const MemberDescription& m = m_Description.pMembers[index];
        auto* pDesc = new (std::nothrow) FUNCDESC{};
        auto* pParams = new (std::nothrow) ELEMDESC[m.nParams > 0 ? m.nParams : 1];
        if (pDesc == nullptr || pParams == nullptr) {
            delete pDesc;
            delete[] pParams;
            return E_OUTOFMEMORY;
        }
        pDesc->memid = m.dispid;
        pDesc->invkind = m.kind == MemberKind::PropertyGet   ? INVOKE_PROPERTYGET
                         : m.kind == MemberKind::PropertyPut ? INVOKE_PROPERTYPUT
                                                             : INVOKE_FUNC;
        pDesc->elemdescFunc = ELEMDESC{{VT_VOID}, {0}};
        pDesc->wFuncFlags = m.bLocalOnly ? FUNCFLAG_FRESTRICTED : 0;
        pDesc->lprgelemdescParam = pParams;
        for (unsigned i = 0; i < m.nParams; ++i) {
            const ParamDescription& p = m.pParams[i];
            if (p.bRetval) {
                pDesc->elemdescFunc = ELEMDESC{{p.vt}, {static_cast<WORD>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)}};
                continue;
            }
            pParams[pDesc->cParams++] = ELEMDESC{{p.vt}, {p.bOut ? PARAMFLAG_FOUT : PARAMFLAG_FIN}};
        }
        *ppFuncDesc = pDesc;
        return S_OK;
    }
    void ReleaseFuncDesc(FUNCDESC* pFuncDesc) override {
        if (pFuncDesc == nullptr) return;
        delete[] pFuncDesc->lprgelemdescParam;
        delete pFuncDesc;
    }

    // An interface implements no other type.
    HRESULT GetRefTypeOfImplType(UINT, HREFTYPE* pRefType) override {
        if (pRefType == nullptr) return E_POINTER;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetImplTypeFlags(UINT, INT* pImplTypeFlags) override {
        if (pImplTypeFlags == nullptr) return E_POINTER;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetRefTypeInfo(HREFTYPE, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr) return E_POINTER;
        *ppTInfo = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }

private:
    const InterfaceDescription& m_Description;
};

// The type information of a class: the interfaces its objects answer, by reference (the index of each).
// It has no members of its own. Counted: a class's table is made when an object is asked for it.
class CClassTypeInfo final : public internal::CRefCounted<ITypeInfo> {
public:
    CClassTypeInfo(const CLSID& clsid, std::vector<const InterfaceDescription*> interfaces)
        : m_Clsid(clsid), m_Interfaces(std::move(interfaces)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<ITypeInfo>()) return HandOut(ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        if (rgszNames == nullptr || pMemId == nullptr || cNames == 0) return E_INVALIDARG;
        for (UINT i = 0; i < cNames; ++i) pMemId[i] = MEMBERID_NIL;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT GetNames(MEMBERID, BSTR* rgBstrNames, UINT, UINT* pcNames) override {
        if (rgBstrNames == nullptr || pcNames == nullptr) return E_INVALIDARG;
        *pcNames = 0;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    // The class's name is its identifier's brace text: classes carry no other name in their tables.
    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                             BSTR* pBstrHelpFile) override {
        if (memid != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
        if (pBstrName) {
            OLECHAR sz[40];
            StringFromGUID2(m_Clsid, sz, 40);
            *pBstrName = SysAllocString(sz);
        }
        if (pBstrDocString) *pBstrDocString = AllocAscii("");
        if (pdwHelpContext) *pdwHelpContext = 0;
        if (pBstrHelpFile) *pBstrHelpFile = nullptr;
        return S_OK;
    }
    HRESULT GetGuid(GUID* pGuid) override {
        if (pGuid == nullptr) return E_POINTER;
        *pGuid = m_Clsid;
        return S_OK;
    }
    const InterfaceDescription* GetDescription() override { return nullptr; }

    HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) override {
        if (ppTypeAttr == nullptr) return E_POINTER;
        *ppTypeAttr = new (std::nothrow)
            TYPEATTR{m_Clsid, TKIND_COCLASS, 0, 0, static_cast<WORD>(m_Interfaces.size()), TYPEFLAG_FCANCREATE};
        return *ppTypeAttr ? S_OK : E_OUTOFMEMORY;
    }
    void ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }
    HRESULT GetFuncDesc(UINT, FUNCDESC** ppFuncDesc) override {
        if (ppFuncDesc == nullptr) return E_POINTER;
        *ppFuncDesc = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    void ReleaseFuncDesc(FUNCDESC*) override {}

    HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override {
        if (pRefType == nullptr) return E_POINTER;
        if (index >= m_Interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
        *pRefType = index;
        return S_OK;
    }
    HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override {
        if (pImplTypeFlags == nullptr) return E_POINTER;
        if (index >= m_Interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
        *pImplTypeFlags = index == DefaultIndex() ? IMPLTYPEFLAG_FDEFAULT : 0;
        return S_OK;
    }
    HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr) return E_POINTER;
        *ppTInfo = nullptr;
        if (hRefType >= m_Interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
        *ppTInfo = GetTypeInfoOf(*m_Interfaces[hRefType]);
        (*ppTInfo)->AddRef();
        return S_OK;
    }

private:
    ~CClassTypeInfo() = default;

    // The first dual interface.
    std::size_t DefaultIndex() const {
        for (std::size_t i = 0; i < m_Interfaces.size(); ++i)
            if (m_Interfaces[i]->kind == InterfaceKind::Dual) return i;
        return m_Interfaces.size();
    }

    const CLSID m_Clsid;
    const std::vector<const InterfaceDescription*> m_Interfaces;
};

}  // namespace

HRESULT DispatchGetIDsOfNames(const InterfaceDescription& d, LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) {
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
    if (rgszNames[0] == nullptr) return DISP_E_UNKNOWNNAME;
    const MemberDescription* m = FindByName(d, rgszNames[0]);
    if (m == nullptr) return DISP_E_UNKNOWNNAME;
    rgDispId[0] = m->dispid;
    // Further names are the member's parameter names; their DISPIDs are their positions.
    HRESULT hr = S_OK;
    for (UINT i = 1; i < cNames; ++i) {
        bool bFound = false;
        for (unsigned p = 0; rgszNames[i] != nullptr && p < m->nParams; ++p) {
            if (NameEquals(rgszNames[i], ParamName(m->szParamNames, p))) {
                rgDispId[i] = static_cast<DISPID>(p);
                bFound = true;
                break;
            }
        }
        if (!bFound) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchFindMember(const InterfaceDescription& d, DISPID dispIdMember, WORD wFlags,
                           const DISPPARAMS* pDispParams, const MemberDescription** ppMember) {
    *ppMember = nullptr;
    const MemberDescription* m = nullptr;
    if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        // The new value comes as the one named argument DISPID_PROPERTYPUT, positioned first in rgvarg,
        // which is where a positional last parameter lies too.
        if (pDispParams->cNamedArgs != 1 || pDispParams->rgdispidNamedArgs == nullptr ||
            pDispParams->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return pDispParams->cNamedArgs == 0 ? DISP_E_PARAMNOTOPTIONAL : DISP_E_PARAMNOTFOUND;
        m = d.Find(dispIdMember, MemberKind::PropertyPut);
    } else {
        if (pDispParams->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        if (wFlags & DISPATCH_METHOD) m = d.Find(dispIdMember, MemberKind::Method);
        if (m == nullptr && (wFlags & DISPATCH_PROPERTYGET)) m = d.Find(dispIdMember, MemberKind::PropertyGet);
    }
    if (m == nullptr) return DISP_E_MEMBERNOTFOUND;
    *ppMember = m;
    return S_OK;
}

HRESULT DispatchInvoke(const InterfaceDescription& d, void* pInterface, DISPID dispIdMember, WORD wFlags,
                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (pDispParams == nullptr) return E_INVALIDARG;
    const MemberDescription* m = nullptr;
    if (const HRESULT hr = DispatchFindMember(d, dispIdMember, wFlags, pDispParams, &m); FAILED(hr)) return hr;
    if (m->pfnInvoke == nullptr) return DISP_E_MEMBERNOTFOUND;
    if (pDispParams->cArgs > 0 && pDispParams->rgvarg == nullptr) return E_INVALIDARG;
    if (pVarResult) VariantInit(pVarResult);
    try {
        return m->pfnInvoke(pInterface, pDispParams, pVarResult, puArgErr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        // Methods guard themselves; this only catches a fault of the conversion layer.
        return E_UNEXPECTED;
    }
}

ITypeInfo* GetTypeInfoOf(const InterfaceDescription& d) {
    // Type information objects live as long as the process: descriptions are static, and callers may
    // still hold one while static destructors run. The table is never destroyed for the same reason.
    static std::mutex s_Lock;
    static auto* s_pTypeInfos = new std::map<const InterfaceDescription*, CTypeInfo*>;
    std::lock_guard lock(s_Lock);
    CTypeInfo*& p = (*s_pTypeInfos)[&d];
    if (p == nullptr) p = new CTypeInfo(d);
    return p;
}

HRESULT CreateClassTypeInfoOf(REFCLSID clsid, const InterfaceDescription* const* rgpDescriptions,
                              unsigned nDescriptions, ITypeInfo** ppTI) {
    if (ppTI == nullptr) return E_POINTER;
    *ppTI = nullptr;
    if (rgpDescriptions == nullptr && nDescriptions > 0) return E_INVALIDARG;
    try {
        std::vector<const InterfaceDescription*> interfaces;
        for (unsigned i = 0; i < nDescriptions; ++i) {
            const InterfaceDescription* d = rgpDescriptions[i];
            if (d == nullptr) return E_INVALIDARG;
            if (std::find_if(interfaces.begin(), interfaces.end(),
                             [&](const InterfaceDescription* p) { return p->iid == d->iid; }) == interfaces.end())
                interfaces.push_back(d);
        }
        *ppTI = new CClassTypeInfo(clsid, std::move(interfaces));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CreateClassTypeInfo(REFCLSID clsid, const IID* const* rgpIids, unsigned nIids, ITypeInfo** ppTI) {
    if (ppTI == nullptr) return E_POINTER;
    *ppTI = nullptr;
    if (rgpIids == nullptr && nIids > 0) return E_INVALIDARG;
    try {
        std::vector<const InterfaceDescription*> described;
        for (unsigned i = 0; i < nIids; ++i)
            if (const InterfaceDescription* d = rgpIids[i] ? FindInterfaceDescription(*rgpIids[i]) : nullptr)
                described.push_back(d);
        return CreateClassTypeInfoOf(clsid, described.data(), static_cast<unsigned>(described.size()), ppTI);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

namespace detail {

HRESULT ConvertIn(const VARIANT& arg, VARTYPE vt, const IID* piid, VARIANT* pTarget) {
    VariantInit(pTarget);
    if (vt == VT_VARIANT) {
        HRESULT hr = VariantCopyInd(pTarget, &arg);
        return hr == E_OUTOFMEMORY ? hr : (FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK);
    }
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantCopyInd(&value, &arg);
    if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;

    if (piid != nullptr) {
        // An object parameter: null travels as null, anything else must answer the parameter's interface.
        if (value.vt == VT_EMPTY || ((value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH) && value.punkVal == nullptr)) {
            pTarget->vt = VT_UNKNOWN;
            pTarget->punkVal = nullptr;
            VariantClear(&value);
            return S_OK;
        }
        if (value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) {
            VariantClear(&value);
            return DISP_E_TYPEMISMATCH;
        }
        void* pv = nullptr;
        hr = value.punkVal->QueryInterface(*piid, &pv);
        VariantClear(&value);
        if (FAILED(hr) || pv == nullptr) return DISP_E_TYPEMISMATCH;
        pTarget->vt = VT_UNKNOWN;  // holds the parameter's interface; released through IUnknown's slots
        pTarget->punkVal = static_cast<IUnknown*>(pv);
        return S_OK;
    }

    hr = VariantChangeType(pTarget, &value, 0, vt);
    VariantClear(&value);
    if (FAILED(hr)) {
        VariantInit(pTarget);
        return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

void DiscardOut(VARIANT* pValue) {
    VariantClear(pValue);
}

HRESULT StoreOut(VARIANT* pValue, VARIANT& byrefArg) {
    if ((byrefArg.vt & VT_BYREF) == 0 || byrefArg.byref == nullptr) {
        DiscardOut(pValue);
        return DISP_E_TYPEMISMATCH;
    }
    VARTYPE vt = static_cast<VARTYPE>(byrefArg.vt & ~VT_BYREF);
    if (vt == VT_VARIANT) {
        VariantClear(byrefArg.pvarVal);
        *byrefArg.pvarVal = *pValue;
        VariantInit(pValue);
        return S_OK;
    }
    if (pValue->vt != vt) {
        HRESULT hr = VariantChangeType(pValue, pValue, 0, vt);
        if (FAILED(hr)) {
            DiscardOut(pValue);
            return DISP_E_TYPEMISMATCH;
        }
    }
    switch (vt) {
        case VT_BSTR:
            SysFreeString(*byrefArg.pbstrVal);
            *byrefArg.pbstrVal = pValue->bstrVal;
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (*byrefArg.ppunkVal) (*byrefArg.ppunkVal)->Release();
            *byrefArg.ppunkVal = pValue->punkVal;
            break;
        default:
            if (!internal::StoreScalar(*pValue, vt, byrefArg.byref)) {
                DiscardOut(pValue);
                return DISP_E_TYPEMISMATCH;
            }
            break;
    }
    VariantInit(pValue);  // ownership moved to the caller's storage
    return S_OK;
}

}  // namespace detail

namespace internal {

bool StoreScalar(const VARIANT& value, VARTYPE vt, void* pTarget) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            // Each of these lies at the start of the value union in the form it has behind a reference.
            std::memcpy(pTarget, &value.llVal, ValueSize(vt));
            return true;
        default:
            return false;
    }
}

}  // namespace internal
}  // namespace comrt
