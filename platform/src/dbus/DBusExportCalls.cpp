// The calls an exported object answers over the bus: Invoke and GetIDsOfNames of the generic interface, the
// typed members of its dual interfaces and its property pages, each read from the call's message, made on
// the object and answered with a reply.
#include "DBusBridge.h"
#include "DBusHandlers.h"
#include "comrt/text.h"

namespace comrt::dbus {

namespace {

// The value a remote read of a getter that stays in the process (bLocalOnly) gets.
HRESULT EmptyValueOf(const MemberDescription& m, VARIANT* pResult) {
    VariantInit(pResult);
    // The [out,retval] value's type: a text gets "", a number 0; a variant or an object stays empty.
    const VARTYPE vt = m.nParams > 0 ? m.pParams[m.nParams - 1].vt : static_cast<VARTYPE>(VT_EMPTY);
    if (vt == VT_VARIANT || vt == VT_DISPATCH || vt == VT_UNKNOWN || (vt & VT_ARRAY) != 0) return S_OK;
    VARIANT empty;
    VariantInit(&empty);
    return VariantChangeType(pResult, &empty, 0, vt);
}

}  // namespace

HRESULT CBusBridge::InvokeMember(IUnknown* pIdentity, const InterfaceDescription& d, const MemberDescription& m,
                                 std::vector<VARIANT>& values, VARIANT* pResult) {
    // Every caller of this is on the other side of the bus.
    if (m.kind == MemberKind::PropertyGet && m.bLocalOnly) return EmptyValueOf(m, pResult);
    void* pInterface = nullptr;
    if (FAILED(pIdentity->QueryInterface(d.iid, &pInterface)) || pInterface == nullptr) return E_NOINTERFACE;
    // DISPPARAMS holds the arguments last first; [out] parameters receive their values in values.
    std::vector<VARIANT> args;
    for (unsigned i = m.nParams; i-- > 0;) {
        if (m.pParams[i].bRetval) continue;
        VARIANT arg = values[i];
        if (m.pParams[i].bOut) {
            arg.vt = VT_BYREF | VT_VARIANT;
            arg.pvarVal = &values[i];
        }
        args.push_back(arg);
    }
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    WORD wFlags = DISPATCH_METHOD;
    if (m.kind == MemberKind::PropertyGet) wFlags = DISPATCH_PROPERTYGET;
    if (m.kind == MemberKind::PropertyPut) {
        wFlags = DISPATCH_PROPERTYPUT;
        params.rgdispidNamedArgs = &nNamed;
        params.cNamedArgs = 1;
    }
    UINT nArgErr = 0;
    const HRESULT hr = DispatchInvoke(d, pInterface, m.dispid, wFlags, &params, pResult, nullptr, &nArgErr);
    static_cast<IUnknown*>(pInterface)->Release();
    return hr;
}

void CBusBridge::CallTyped(IUnknown* pIdentity, const InterfaceDescription& d, const MemberDescription& m,
                           sd_bus_message* pCall, IObjectMapper& mapper) {
    CVariants values(m.nParams);
    CVariant result;
    for (unsigned i = 0; i < m.nParams; ++i)
        if (!m.pParams[i].bOut) ThrowIfFailed(ReadTyped(pCall, m.pParams[i].vt, &values.v[i], mapper));
    ThrowIfFailed(InvokeMember(pIdentity, d, m, values.v, &result.v));
    SendReply(pCall, [&](sd_bus_message* pReply) {
        for (unsigned i = 0; i < m.nParams; ++i) {
            if (!m.pParams[i].bOut) continue;
            const VARIANT& value = m.pParams[i].bRetval ? result.v : values.v[i];
            ThrowIfFailed(WriteTyped(pReply, value, m.pParams[i].vt, mapper));
        }
    });
}

void CBusBridge::CallInvoke(IUnknown* pIdentity, sd_bus_message* pIn, IObjectMapper& mapper) {
    int32_t nDispid = 0;
    uint32_t nFlags = 0;
    if (sd_bus_message_read(pIn, "iu", &nDispid, &nFlags) <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
    if (sd_bus_message_enter_container(pIn, 'a', "v") <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
    CVariants args;
    while (sd_bus_message_at_end(pIn, 0) == 0) {
        VARIANT v;
        ThrowIfFailed(ReadVariant(pIn, &v, mapper));
        args.v.push_back(v);
    }
    sd_bus_message_exit_container(pIn);

    CComQIPtr<IDispatch> pDispatch(pIdentity);
    if (!pDispatch) throw MakeError(E_NOINTERFACE);
    // The member's description says which arguments are [out]; they are passed by reference.
    const MemberDescription* m = nullptr;
    CComPtr<ITypeInfo> pTypeInfo;
    if (SUCCEEDED(pDispatch->GetTypeInfo(0, 0, &pTypeInfo)) && pTypeInfo) {
        if (const InterfaceDescription* d = pTypeInfo->GetDescription()) {
            if (nFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
                m = d->Find(nDispid, MemberKind::PropertyPut);
            if (m == nullptr && (nFlags & DISPATCH_METHOD)) m = d->Find(nDispid, MemberKind::Method);
            if (m == nullptr && (nFlags & DISPATCH_PROPERTYGET)) m = d->Find(nDispid, MemberKind::PropertyGet);
        }
    }
    const std::size_t n = args.v.size();
    std::vector<bool> isOut(n, false);
    std::vector<VARIANT> rgvarg(n);
    for (std::size_t k = 0; k < n; ++k) {
        isOut[k] = m != nullptr && k < m->nParams && m->pParams[k].bOut && !m->pParams[k].bRetval;
        VARIANT arg = args.v[k];
        if (isOut[k]) {
            arg.vt = VT_BYREF | VT_VARIANT;
            arg.pvarVal = &args.v[k];
        }
        rgvarg[n - 1 - k] = arg;
    }
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS params{rgvarg.data(), nullptr, static_cast<UINT>(n), 0};
    if (nFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &nNamed;
        params.cNamedArgs = 1;
    }
    EXCEPINFO excepInfo{};
    UINT nArgErr = 0;
    CVariant result;
    if (m != nullptr && m->kind == MemberKind::PropertyGet && m->bLocalOnly) {
        // A value that stays in the process: the caller gets the empty value, and no [out] values.
        ThrowIfFailed(EmptyValueOf(*m, &result.v));
        SendReply(pIn, [&](sd_bus_message* pOut) {
            ThrowIfFailed(WriteVariant(pOut, result.v, mapper));
            if (sd_bus_message_open_container(pOut, 'a', "v") < 0) throw MakeError(E_OUTOFMEMORY);
            VARIANT empty;
            VariantInit(&empty);
            for (std::size_t k = 0; k < n; ++k) ThrowIfFailed(WriteVariant(pOut, empty, mapper));
            if (sd_bus_message_close_container(pOut) < 0) throw MakeError(E_OUTOFMEMORY);
        });
        return;
    }
    HRESULT hr =
        pDispatch->Invoke(nDispid, GUID_NULL, 0, static_cast<WORD>(nFlags), &params, &result.v, &excepInfo, &nArgErr);
    if (hr == DISP_E_EXCEPTION && FAILED(excepInfo.scode)) hr = excepInfo.scode;
    SysFreeString(excepInfo.bstrSource);
    SysFreeString(excepInfo.bstrDescription);
    SysFreeString(excepInfo.bstrHelpFile);
    ThrowIfFailed(hr);

    SendReply(pIn, [&](sd_bus_message* pOut) {
        ThrowIfFailed(WriteVariant(pOut, result.v, mapper));
        if (sd_bus_message_open_container(pOut, 'a', "v") < 0) throw MakeError(E_OUTOFMEMORY);
        VARIANT empty;
        VariantInit(&empty);
        for (std::size_t k = 0; k < n; ++k) ThrowIfFailed(WriteVariant(pOut, isOut[k] ? args.v[k] : empty, mapper));
        if (sd_bus_message_close_container(pOut) < 0) throw MakeError(E_OUTOFMEMORY);
    });
}

void CBusBridge::CallQueryInterface(IUnknown* pIdentity, sd_bus_message* pCall, IObjectMapper& mapper,
                                    const std::string& sOwnPath, const std::shared_ptr<CExport>& pExport) {
    const char* szIid = nullptr;
    if (sd_bus_message_read(pCall, "s", &szIid) <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
    IID iid{};
    const std::u16string sIid = ToUtf16(szIid);
    if (FAILED(IIDFromString(sIid.c_str(), &iid))) throw MakeError(E_INVALIDARG);
    CComPtr<IUnknown> pAnswer;
    std::string sPath = "/";
    const bool bAnswered = SUCCEEDED(pIdentity->QueryInterface(iid, reinterpret_cast<void**>(&pAnswer))) && pAnswer;
    if (bAnswered) {
        CComPtr<IUnknown> pAnswerIdentity;
        pAnswer->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pAnswerIdentity));
        if (pAnswerIdentity == pIdentity) {
            const InterfaceDescription* d = FindInterfaceDescription(iid);
            if (pExport && d != nullptr && d->kind == InterfaceKind::Dual) {
                std::string sWhy;
                const HRESULT hr = EnsureInterface(pExport, *d, &sWhy);
                if (FAILED(hr)) throw sdbus::Error(ErrorNameOf(hr), sWhy);
            }
            sPath = sOwnPath;
        } else {
            // The object hands out another object for this interface: that one travels as itself.
            ThrowIfFailed(mapper.PathOf(pAnswer, &sPath));
        }
    }
    SendReply(pCall, [&](sd_bus_message* pReply) {
        if (sd_bus_message_append(pReply, "bo", static_cast<int>(bAnswered), sPath.c_str()) < 0)
            throw MakeError(E_OUTOFMEMORY);
    });
}

void CBusBridge::CallGetIDsOfNames(IUnknown* pIdentity, sd_bus_message* pCall) {
    CComQIPtr<IDispatch> pDispatch(pIdentity);
    if (!pDispatch) throw MakeError(E_NOINTERFACE);
    char** ppNames = nullptr;
    if (sd_bus_message_read_strv(pCall, &ppNames) < 0) throw MakeError(DISP_E_TYPEMISMATCH);
    std::vector<std::u16string> texts;
    for (char** pp = ppNames; pp != nullptr && *pp != nullptr; ++pp) {
        texts.push_back(ToUtf16(*pp));
        free(*pp);
    }
    free(ppNames);
    if (texts.empty()) throw MakeError(E_INVALIDARG);
    std::vector<LPOLESTR> pointers;
    for (std::u16string& s : texts) pointers.push_back(s.data());
    std::vector<DISPID> ids(texts.size(), DISPID_UNKNOWN);
    ThrowIfFailed(
        pDispatch->GetIDsOfNames(GUID_NULL, pointers.data(), static_cast<UINT>(pointers.size()), 0, ids.data()));
    SendReply(pCall, [&](sd_bus_message* pReply) {
        static_assert(sizeof(DISPID) == sizeof(int32_t));
        if (sd_bus_message_append_array(pReply, 'i', ids.data(), ids.size() * sizeof(DISPID)) < 0)
            throw MakeError(E_OUTOFMEMORY);
    });
}

void CBusBridge::CallGetPages(IUnknown* pIdentity, sd_bus_message* pCall) {
    CComQIPtr<ISpecifyPropertyPages> pPages(pIdentity);
    if (!pPages) throw MakeError(E_NOINTERFACE);
    CAUUID pages{0, nullptr};
    ThrowIfFailed(pPages->GetPages(&pages));
    std::vector<std::string> texts;
    for (ULONG i = 0; i < pages.cElems; ++i) {
        OLECHAR sz[40];
        StringFromGUID2(pages.pElems[i], sz, 40);
        texts.push_back(ToUtf8(sz));
    }
    CoTaskMemFree(pages.pElems);
    SendReply(pCall, [&](sd_bus_message* pReply) {
        if (sd_bus_message_open_container(pReply, 'a', "s") < 0) throw MakeError(E_OUTOFMEMORY);
        for (const std::string& s : texts)
            if (sd_bus_message_append_basic(pReply, 's', s.c_str()) < 0) throw MakeError(E_OUTOFMEMORY);
        if (sd_bus_message_close_container(pReply) < 0) throw MakeError(E_OUTOFMEMORY);
    });
}

}  // namespace comrt::dbus
