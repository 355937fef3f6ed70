// Proxies for objects a server exports: the generic IDispatch over Corvane.Dispatch and the typed proxies
// built from the interface descriptions.
//
// One proxy object stands for one exported object (one path of one server connection); it is the
// identity, implements IDispatch over Corvane.Dispatch, and hands out one typed proxy ("tear-off") per
// described dual interface. A tear-off's vtable holds the thunks COMRT_DESCRIBE_INTERFACE generated from
// the member function pointers; each packs its arguments and lands in ProxyInvoke, which calls the
// member on the typed D-Bus interface. The proxy counts the references the server handed out for this
// client and gives each back (Corvane.Dispatch.Release) when the last local reference goes.
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "../OleAutoInternal.h"
#include "DBusProxy.h"
#include "comrt/text.h"

namespace comrt::dbus {

// Keeps the failure's text for the caller's error information, as a local call's guard would.
HRESULT Failure(const sdbus::Error& e) {
    const HRESULT hr = HResultOfError(e.getName());
    CComPtr<ICreateErrorInfo> pCreate;
    if (SUCCEEDED(CreateErrorInfo(&pCreate))) {
        std::u16string sText = ToUtf16(e.getMessage());
        pCreate->SetDescription(sText.data());
        CComQIPtr<IErrorInfo> pInfo(pCreate.p);
        if (pInfo) SetErrorInfo(0, pInfo);
    }
    return hr;
}

std::string GuidText(REFGUID guid) {
    OLECHAR sz[40];
    StringFromGUID2(guid, sz, 40);
    return ToUtf8(sz);
}

namespace {

// Stores a value into the caller's [out] storage, which holds nothing yet.
HRESULT StoreOutParam(VARIANT& value, VARIANT& target, const ParamDescription& p) {
    const VARTYPE vt = static_cast<VARTYPE>(target.vt & ~VT_BYREF);
    if (vt == VT_VARIANT) {
        *target.pvarVal = value;
        VariantInit(&value);
        return S_OK;
    }
    if (p.piid != nullptr) {
        IUnknown* pObject = nullptr;
        if ((value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH) && value.punkVal != nullptr) {
            const HRESULT hr = value.punkVal->QueryInterface(*p.piid, reinterpret_cast<void**>(&pObject));
            if (FAILED(hr)) return hr;
        }
        *target.ppunkVal = pObject;
        return S_OK;
    }
    if (value.vt != vt) {
        const HRESULT hr = VariantChangeType(&value, &value, 0, vt);
        if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    }
    if (internal::StoreScalar(value, vt, target.byref)) return S_OK;
    switch (vt) {
        case VT_BSTR:
            *target.pbstrVal = value.bstrVal;
            VariantInit(&value);
            break;
        default:
            if (vt & VT_ARRAY) {
                *target.pparray = value.parray;
                VariantInit(&value);
            } else {
                *target.pllVal = value.llVal;
            }
            break;
    }
    return S_OK;
}

}  // namespace

// The tear-off's IUnknown and IDispatch slots. IDispatch runs locally from the description; its calls come
// back through the tear-off's own slots.
HRESULT TearQueryInterface(CTearOff* pThis, REFIID riid, void** ppv) {
    if (ppv != nullptr && riid == pThis->m_pDescription->iid) {
        *ppv = pThis;
        pThis->m_pOwner->AddRef();
        return S_OK;
    }
    return pThis->m_pOwner->QueryInterface(riid, ppv);
}
ULONG TearAddRef(CTearOff* pThis) {
    return pThis->m_pOwner->AddRef();
}
ULONG TearRelease(CTearOff* pThis) {
    return pThis->m_pOwner->Release();
}
HRESULT TearGetTypeInfoCount(CTearOff*, UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}
HRESULT TearGetTypeInfo(CTearOff* pThis, UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    *ppTInfo = GetTypeInfoOf(*pThis->m_pDescription);
    (*ppTInfo)->AddRef();
    return S_OK;
}
HRESULT TearGetIDsOfNames(CTearOff* pThis, REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
    return DispatchGetIDsOfNames(*pThis->m_pDescription, rgszNames, cNames, rgDispId);
}
// A member of an interface this process knows only from its server's description has no thunk to go
// through: the call goes to the typed D-Bus member directly, with its arguments laid out as a thunk lays
// them (every parameter, the [out,retval] one included, in reverse order).
HRESULT InvokeRemotelyDescribed(CTearOff* pThis, DISPID dispIdMember, WORD wFlags, DISPPARAMS* pDispParams,
                                VARIANT* pVarResult) {
    const InterfaceDescription& d = *pThis->m_pDescription;
    if (pDispParams == nullptr) return E_INVALIDARG;
    const MemberDescription* m = nullptr;
    if (const HRESULT hr = DispatchFindMember(d, dispIdMember, wFlags, pDispParams, &m); FAILED(hr)) return hr;
    unsigned nPassed = 0;
    for (unsigned i = 0; i < m->nParams; ++i)
        if (!m->pParams[i].bRetval) ++nPassed;
    if (pDispParams->cArgs != nPassed) return DISP_E_BADPARAMCOUNT;
    if (nPassed > 0 && pDispParams->rgvarg == nullptr) return E_INVALIDARG;
    VARIANT result;
    VariantInit(&result);
    // The arguments are borrowed from the caller; the [out,retval] one lands in result.
    std::vector<VARIANT> args(m->nParams);
    for (unsigned i = 0; i < m->nParams; ++i) {
        VARIANT& arg = args[m->nParams - 1 - i];
        if (m->pParams[i].bRetval) {
            arg.vt = VT_BYREF | VT_VARIANT;
            arg.pvarVal = &result;
        } else {
            arg = pDispParams->rgvarg[nPassed - 1 - i];
        }
    }
    DISPPARAMS all{args.data(), nullptr, m->nParams, 0};
    if (pVarResult != nullptr) VariantInit(pVarResult);
    const HRESULT hr = pThis->m_pOwner->CallTyped(d, *m, &all);
    if (SUCCEEDED(hr) && pVarResult != nullptr)
        *pVarResult = result;
    else
        VariantClear(&result);
    return hr;
}

HRESULT TearInvoke(CTearOff* pThis, DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (IsRemoteDescription(*pThis->m_pDescription))
        return InvokeRemotelyDescribed(pThis, dispIdMember, wFlags, pDispParams, pVarResult);
    return DispatchInvoke(*pThis->m_pDescription, pThis, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo,
                          puArgErr);
}
HRESULT TearMissingSlot(CTearOff*) {
    return E_NOTIMPL;
}

std::unique_ptr<CTearOff> CProxyObject::MakeTearOff(const InterfaceDescription& d) {
    auto pTearOff = std::make_unique<CTearOff>();
    pTearOff->m_pOwner = this;
    pTearOff->m_pDescription = &d;
    unsigned nSlots = 0;
    for (unsigned i = 0; i < d.nMembers; ++i) nSlots = std::max(nSlots, d.pMembers[i].nSlot);
    // The Itanium layout: the offset to the top of the object and the type information precede the first
    // slot, so that code that looks at the dynamic type (sanitizers, dynamic_cast) sees the interface.
    std::vector<const void*>& slots = pTearOff->m_Slots;
    slots = {nullptr,
             d.pType,
             reinterpret_cast<const void*>(&TearQueryInterface),
             reinterpret_cast<const void*>(&TearAddRef),
             reinterpret_cast<const void*>(&TearRelease),
             reinterpret_cast<const void*>(&TearGetTypeInfoCount),
             reinterpret_cast<const void*>(&TearGetTypeInfo),
             reinterpret_cast<const void*>(&TearGetIDsOfNames),
             reinterpret_cast<const void*>(&TearInvoke)};
    constexpr std::size_t kFirst = 2;
    slots.resize(kFirst + 7 + nSlots, reinterpret_cast<const void*>(&TearMissingSlot));
    for (unsigned i = 0; i < d.nMembers; ++i)
        if (d.pMembers[i].nSlot > 0 && d.pMembers[i].pfnProxy != nullptr)
            slots[kFirst + 6 + d.pMembers[i].nSlot] = reinterpret_cast<const void*>(d.pMembers[i].pfnProxy);
    pTearOff->m_pVtable = slots.data() + kFirst;
    return pTearOff;
}

HRESULT CProxyObject::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                             VARIANT* pVarResult, EXCEPINFO*, UINT*) {
    if (pDispParams == nullptr) return E_INVALIDARG;
    const bool bPut = (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    // Arguments go in declaration order; a put's value (the named DISPID_PROPERTYPUT argument) comes last,
    // which is where rgvarg[0] lands.
    if (pDispParams->cNamedArgs > (bPut ? 1u : 0u)) return DISP_E_NONAMEDARGS;
    const UINT n = pDispParams->cArgs;
    if (n > 0 && pDispParams->rgvarg == nullptr) return E_INVALIDARG;
    try {
        CClientMapper sendMapper(*m_pBus, m_sDestination, false);
        auto call = m_pProxy->createMethodCall(kDispatchInterface, "Invoke");
        sd_bus_message* pOut = RawMessage(call);
        if (sd_bus_message_append(pOut, "iu", static_cast<int32_t>(dispIdMember), static_cast<uint32_t>(wFlags)) < 0)
            return E_OUTOFMEMORY;
        if (sd_bus_message_open_container(pOut, 'a', "v") < 0) return E_OUTOFMEMORY;
        for (UINT k = 0; k < n; ++k) {
            const HRESULT hr = WriteVariant(pOut, pDispParams->rgvarg[n - 1 - k], sendMapper);
            if (FAILED(hr)) return hr;
        }
        if (sd_bus_message_close_container(pOut) < 0) return E_OUTOFMEMORY;
        auto reply = m_pProxy->callMethod(call);

        CClientMapper mapper(*m_pBus, m_sDestination, true);
        sd_bus_message* pIn = RawMessage(reply);
        VARIANT result;
        HRESULT hr = ReadVariant(pIn, &result, mapper);
        if (FAILED(hr)) return hr;
        if (pVarResult != nullptr) {
            VariantClear(pVarResult);
            *pVarResult = result;
        } else {
            VariantClear(&result);
        }
        if (sd_bus_message_enter_container(pIn, 'a', "v") <= 0) return DISP_E_TYPEMISMATCH;
        for (UINT k = 0; k < n && sd_bus_message_at_end(pIn, 0) == 0; ++k) {
            VARIANT value;
            hr = ReadVariant(pIn, &value, mapper);
            if (FAILED(hr)) return hr;
            VARIANT& target = pDispParams->rgvarg[n - 1 - k];
            if (value.vt != VT_EMPTY && (target.vt & VT_BYREF))
                hr = detail::StoreOut(&value, target);  // frees what the caller's in/out storage held
            VariantClear(&value);
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
}

HRESULT CProxyObject::CallTyped(const InterfaceDescription& d, const MemberDescription& m, DISPPARAMS* pParams) {
    if (pParams == nullptr || pParams->cArgs != m.nParams) return DISP_E_BADPARAMCOUNT;
    auto argOf = [&](unsigned i) -> VARIANT& { return pParams->rgvarg[m.nParams - 1 - i]; };
    for (unsigned i = 0; i < m.nParams; ++i)
        if (m.pParams[i].bOut && argOf(i).byref == nullptr) return E_POINTER;
    const std::string sInterface = kInterfacePrefix + std::string(d.szName);
    std::string sName;
    const BusMemberForm form = FormOf(d, m, &sName);
    try {
        CClientMapper sendMapper(*m_pBus, m_sDestination, false);
        CClientMapper mapper(*m_pBus, m_sDestination, true);
        HRESULT hr = S_OK;
        switch (form) {
            case BusMemberForm::None:
                return E_NOTIMPL;
            case BusMemberForm::Property: {
                auto call = m_pProxy->createMethodCall("org.freedesktop.DBus.Properties", "Get");
                call << sInterface << sName;
                auto reply = m_pProxy->callMethod(call);
                VARIANT value;
                hr = ReadVariant(RawMessage(reply), &value, mapper);
                if (SUCCEEDED(hr)) hr = StoreOutParam(value, argOf(0), m.pParams[0]);
                VariantClear(&value);
                return hr;
            }
            case BusMemberForm::PropertySetter: {
                auto call = m_pProxy->createMethodCall("org.freedesktop.DBus.Properties", "Set");
                call << sInterface << sName;
                sd_bus_message* pOut = RawMessage(call);
                const std::string sSignature = SignatureOf(m.pParams[0].vt);
                if (sd_bus_message_open_container(pOut, 'v', sSignature.c_str()) < 0) return E_OUTOFMEMORY;
                hr = WriteTyped(pOut, argOf(0), m.pParams[0].vt, sendMapper);
                if (FAILED(hr)) return hr;
                if (sd_bus_message_close_container(pOut) < 0) return E_OUTOFMEMORY;
                auto reply = m_pProxy->callMethod(call);
                return S_OK;
            }
            case BusMemberForm::Method:
                break;
        }
        auto call = m_pProxy->createMethodCall(sInterface, sName);
        for (unsigned i = 0; i < m.nParams; ++i) {
            if (m.pParams[i].bOut) continue;
            hr = WriteTyped(RawMessage(call), argOf(i), m.pParams[i].vt, sendMapper);
            if (FAILED(hr)) return hr;
        }
        auto reply = m_pProxy->callMethod(call);
        for (unsigned i = 0; i < m.nParams && SUCCEEDED(hr); ++i) {
            if (!m.pParams[i].bOut) continue;
            VARIANT value;
            hr = ReadTyped(RawMessage(reply), m.pParams[i].vt, &value, mapper);
            if (SUCCEEDED(hr)) hr = StoreOutParam(value, argOf(i), m.pParams[i]);
            VariantClear(&value);
        }
        return hr;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
}

namespace {

// The proxy's ISpecifyPropertyPages: its own reference count, its identity the proxy's.
class CPropertyPagesProxy final : public CRefCounted<ISpecifyPropertyPages> {
public:
    explicit CPropertyPagesProxy(CProxyObject* pOwner) : m_pOwner(pOwner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<ISpecifyPropertyPages>()) return HandOut(ppv);
        return m_pOwner->QueryInterface(riid, ppv);
    }
    HRESULT GetPages(CAUUID* pPages) override { return m_pOwner->GetPages(pPages); }

private:
    ~CPropertyPagesProxy() = default;
    CComPtr<CProxyObject> m_pOwner;
};

// The proxy's IEnumVARIANT, made like its ISpecifyPropertyPages.
class CEnumProxy final : public CRefCounted<IEnumVARIANT> {
public:
    explicit CEnumProxy(CProxyObject* pOwner) : m_pOwner(pOwner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IEnumVARIANT>()) return HandOut(ppv);
        return m_pOwner->QueryInterface(riid, ppv);
    }
    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        return m_pOwner->EnumNext(celt, rgVar, pCeltFetched);
    }
    HRESULT Skip(ULONG celt) override { return m_pOwner->EnumSkip(celt); }
    HRESULT Reset() override { return m_pOwner->EnumReset(); }
    HRESULT Clone(IEnumVARIANT** ppEnum) override { return m_pOwner->EnumClone(ppEnum); }

private:
    ~CEnumProxy() = default;
    CComPtr<CProxyObject> m_pOwner;
};

// The proxy's IProvideClassInfo, made like its ISpecifyPropertyPages.
class CClassInfoProxy final : public CRefCounted<IProvideClassInfo> {
public:
    explicit CClassInfoProxy(CProxyObject* pOwner) : m_pOwner(pOwner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IProvideClassInfo>()) return HandOut(ppv);
        return m_pOwner->QueryInterface(riid, ppv);
    }
    HRESULT GetClassInfo(ITypeInfo** ppTI) override { return m_pOwner->GetClassInfo(ppTI); }

private:
    ~CClassInfoProxy() = default;
    CComPtr<CProxyObject> m_pOwner;
};

}  // namespace

HRESULT CProxyObject::QuerySpecial(REFIID riid, void** ppv) {
    if (const HRESULT hr = RemoteQuery(riid, ppv); hr != S_FALSE) return hr;
    try {
        if (riid == IidOf<IEnumVARIANT>())
            *ppv = static_cast<IEnumVARIANT*>(new CEnumProxy(this));
        else if (riid == IidOf<IProvideClassInfo>())
            *ppv = static_cast<IProvideClassInfo*>(new CClassInfoProxy(this));
        else
            *ppv = static_cast<ISpecifyPropertyPages*>(new CPropertyPagesProxy(this));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CProxyObject::GetClassInfo(ITypeInfo** ppTI) {
    if (ppTI == nullptr) return E_POINTER;
    *ppTI = nullptr;
    if (!IsView()) {
        std::lock_guard lock(m_Lock);
        if (m_pClassInfo) {
            *ppTI = m_pClassInfo;
            (*ppTI)->AddRef();
            return S_OK;
        }
    }
    CComPtr<ITypeInfo> pClass;
    try {
        auto reply = m_pProxy->callMethod(m_pProxy->createMethodCall(kClassInfoInterface, "GetClassInfo"));
        sd_bus_message* pReply = RawMessage(reply);
        // Kept per server connection: another server under the same name may describe other classes.
        const char* szSender = sd_bus_message_get_sender(pReply);
        const HRESULT hr = ClassTypeInfoFromReply(pReply, szSender ? szSender : m_sDestination, &pClass.p);
        if (FAILED(hr)) return hr;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
    if (!IsView()) {
        std::lock_guard lock(m_Lock);
        m_pClassInfo = pClass;
    }
    *ppTI = pClass.Detach();
    return S_OK;
}

HRESULT CProxyObject::GetPages(CAUUID* pPages) {
    if (pPages == nullptr) return E_POINTER;
    *pPages = CAUUID{0, nullptr};
    std::vector<std::string> pages;
    try {
        auto reply = m_pProxy->callMethod(m_pProxy->createMethodCall(kPropertyPagesInterface, "GetPages"));
        reply >> pages;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
    std::vector<GUID> ids(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i)
        if (FAILED(CLSIDFromString(ToUtf16(pages[i]).c_str(), &ids[i]))) return DISP_E_TYPEMISMATCH;
    if (ids.empty()) return S_OK;
    pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(ids.size() * sizeof(GUID)));
    if (pPages->pElems == nullptr) return E_OUTOFMEMORY;
    std::memcpy(pPages->pElems, ids.data(), ids.size() * sizeof(GUID));
    pPages->cElems = static_cast<ULONG>(ids.size());
    return S_OK;
}

HRESULT CProxyObject::EnumNext(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
    if (pCeltFetched != nullptr) *pCeltFetched = 0;
    if (celt == 0) return S_OK;
    if (rgVar == nullptr || (celt > 1 && pCeltFetched == nullptr)) return E_POINTER;
    for (ULONG i = 0; i < celt; ++i) VariantInit(&rgVar[i]);
    // The server gives at most 4096 items a reply; more are asked for in turns.
    ULONG nFetched = 0;
    try {
        while (nFetched < celt) {
            const uint32_t nAsk = std::min<ULONG>(celt - nFetched, 4096);
            auto call = m_pProxy->createMethodCall(kEnumInterface, "Next");
            call << nAsk;
            auto reply = m_pProxy->callMethod(call);
            sd_bus_message* pReply = RawMessage(reply);
            CClientMapper mapper(*m_pBus, m_sDestination, true);
            if (sd_bus_message_enter_container(pReply, 'a', "v") <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
            ULONG nThisTurn = 0;
            while (nFetched < celt && sd_bus_message_at_end(pReply, 0) == 0) {
                const HRESULT hr = ReadVariant(pReply, &rgVar[nFetched], mapper);
                if (FAILED(hr)) throw MakeError(hr);
                ++nFetched;
                ++nThisTurn;
            }
            if (nThisTurn < nAsk) break;
        }
    } catch (const sdbus::Error& e) {
        for (ULONG i = 0; i < nFetched; ++i) VariantClear(&rgVar[i]);
        return Failure(e);
    }
    if (pCeltFetched != nullptr) *pCeltFetched = nFetched;
    return nFetched == celt ? S_OK : S_FALSE;
}

HRESULT CProxyObject::EnumSkip(ULONG celt) {
    try {
        auto call = m_pProxy->createMethodCall(kEnumInterface, "Skip");
        call << static_cast<uint32_t>(celt);
        auto reply = m_pProxy->callMethod(call);
        bool bAll = false;
        reply >> bAll;
        return bAll ? S_OK : S_FALSE;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
}

HRESULT CProxyObject::EnumReset() {
    try {
        m_pProxy->callMethod(m_pProxy->createMethodCall(kEnumInterface, "Reset"));
        return S_OK;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
}

HRESULT CProxyObject::EnumClone(IEnumVARIANT** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    sdbus::ObjectPath path;
    try {
        auto reply = m_pProxy->callMethod(m_pProxy->createMethodCall(kEnumInterface, "Clone"));
        reply >> path;
    } catch (const sdbus::Error& e) {
        return Failure(e);
    }
    CComPtr<CProxyObject> pClone;
    const HRESULT hr = m_pBus->GetProxy(m_sDestination, path, true, &pClone.p);
    return FAILED(hr) ? hr : pClone->QuerySpecial(IidOf<IEnumVARIANT>(), reinterpret_cast<void**>(ppEnum));
}

HRESULT InvokeTearOff(void* pThis, ProxyThunk pfnThunk, DISPPARAMS* pParams) {
    auto* pTearOff = static_cast<CTearOff*>(pThis);
    const InterfaceDescription& d = *pTearOff->m_pDescription;
    for (unsigned i = 0; i < d.nMembers; ++i)
        if (d.pMembers[i].pfnProxy == pfnThunk) return pTearOff->m_pOwner->CallTyped(d, d.pMembers[i], pParams);
    return E_UNEXPECTED;
}

}  // namespace comrt::dbus
