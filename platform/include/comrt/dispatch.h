// One declarative description per dispatch interface.
//
// Each dual or outgoing interface is described once: its members with their DISPIDs, kinds (method,
// property get, property put), vtable slots, parameter names and automation types. That single table drives
// IDispatch::Invoke and GetIDsOfNames (IDispatchImplT below), the type information (ITypeInfo), connection
// point firing, and the out-of-process bridge. The types of a member's parameters are read from its member
// function pointer, so the table cannot drift from the C++ declaration:
//
//   COMRT_DESCRIBE_INTERFACE(IActivityEvent, "IActivityEvent Interface", comrt::InterfaceKind::Dual,
//       comrt::PropGet<&IActivityEvent::get_Level>(1, "Level", 1, "pnLevel"),
//       comrt::PropPut<&IActivityEvent::put_Level>(1, "Level", 2, "nLevel"), ...);
//
// Outgoing (pure dispatch) interfaces describe their methods with comrt::Event(dispid, name, params...).
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "comrt/interfaces.h"

namespace comrt {

enum class MemberKind : std::uint8_t { Method, PropertyGet, PropertyPut };
enum class InterfaceKind : std::uint8_t { Dual, DispatchOnly };

// One parameter. vt is the automation type of the value (VT_I4, VT_BSTR, VT_BOOL, VT_VARIANT, VT_DISPATCH,
// VT_UNKNOWN, ...), without VT_BYREF; bOut marks an [out] parameter, bRetval the [out,retval] one.
struct ParamDescription {
    VARTYPE vt;
    bool bOut;
    bool bRetval;
    const IID* piid;  // the interface of an object parameter, else null
};

// Calls the member on pInterface (the interface pointer the description belongs to) with arguments from
// DISPPARAMS (reverse order, VT_BYREF for [out] parameters) and stores the [out,retval] value in
// pVarResult. Conversions use VariantChangeType; a failed one gives DISP_E_TYPEMISMATCH and *puArgErr.
using InvokeThunk = HRESULT (*)(void* pInterface, DISPPARAMS* pParams, VARIANT* pVarResult, UINT* puArgErr);

// A vtable slot of a typed proxy: a function with the member's own signature (the interface pointer first),
// generated from the member function pointer. It packs its arguments into DISPPARAMS (every parameter, the
// [out,retval] one included, in reverse order; [out] parameters as VT_BYREF pointing at the caller's
// storage) and hands them to ProxyInvoke together with its own address, by which the member is found.
using ProxyThunk = void (*)();

struct MemberDescription {
    const char* szName;
    DISPID dispid;
    MemberKind kind;
    // A getter whose value never leaves the process (LocalPropGet: a password). Callers in the process read
    // it as usual; the bus bridge answers every read from another process with the empty value of its type,
    // so that over the bus the property is write-only. It takes what was padding, so that descriptions
    // compiled before it existed read false.
    bool bLocalOnly;
    unsigned nSlot;            // 1-based slot after IDispatch's seven; 0 for outgoing interfaces
    const char* szParamNames;  // comma-separated, in declaration order ("pType,psDescription,pbValid")
    const ParamDescription* pParams;
    unsigned nParams;
    InvokeThunk pfnInvoke;  // null for outgoing interfaces
    ProxyThunk pfnProxy;    // null for outgoing interfaces
};

// Plug-ins compiled against the description without bLocalOnly keep working: the layout is unchanged.
static_assert(offsetof(MemberDescription, nSlot) == 16 && sizeof(MemberDescription) == 64);

struct InterfaceDescription {
    const char* szName;
    IID iid;
    const char* szHelp;
    InterfaceKind kind;
    const MemberDescription* pMembers;
    unsigned nMembers;
    // The C++ type of the interface; a typed proxy's vtable names it, as a compiler-made vtable would.
    const std::type_info* pType;

    // The member with this DISPID and kind, or null.
    const MemberDescription* Find(DISPID dispid, MemberKind kind) const noexcept {
        for (unsigned i = 0; i < nMembers; ++i)
            if (pMembers[i].dispid == dispid && pMembers[i].kind == kind) return &pMembers[i];
        return nullptr;
    }
};

// Every described interface specialises this (through COMRT_DESCRIBE_INTERFACE).
template <class I>
struct InterfaceTraits;

template <class I>
const InterfaceDescription& DescriptionOf() {
    return InterfaceTraits<I>::Get();
}

// The process's table of described interfaces. Every COMRT_DESCRIBE_INTERFACE registers its description
// while its module initialises and withdraws it when the module unloads, so the bus bridge and the proxies
// find any described interface by identifier without a list of their own. When several modules describe
// the same interface, the latest registration still present answers.
COMRT_API void RegisterInterfaceDescription(const InterfaceDescription& d);
COMRT_API void UnregisterInterfaceDescription(const InterfaceDescription& d);
// Null when no module describes the interface.
COMRT_API const InterfaceDescription* FindInterfaceDescription(REFIID iid);
COMRT_API const InterfaceDescription* FindInterfaceDescription(std::string_view sName);
// One entry per described interface identifier, in the order of first registration.
COMRT_API std::vector<const InterfaceDescription*> GetInterfaceDescriptions();

// The proxy half of ProxyThunk: pThis is the typed proxy's interface pointer, pfnThunk the slot's thunk.
// The bus bridge installs the handler; E_UNEXPECTED without one (no typed proxy can exist then).
COMRT_API HRESULT ProxyInvoke(void* pThis, ProxyThunk pfnThunk, DISPPARAMS* pParams);
using ProxyInvokeHandler = HRESULT (*)(void* pThis, ProxyThunk pfnThunk, DISPPARAMS* pParams);
COMRT_API void SetProxyInvokeHandler(ProxyInvokeHandler pfn);

// Generic parts of IDispatch, implemented once in the runtime.
COMRT_API HRESULT DispatchGetIDsOfNames(const InterfaceDescription& d, LPOLESTR* rgszNames, UINT cNames,
                                        DISPID* rgDispId);
COMRT_API HRESULT DispatchInvoke(const InterfaceDescription& d, void* pInterface, DISPID dispIdMember, WORD wFlags,
                                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
// The member of d an Invoke with these flags and named arguments calls, in *ppMember; the error Invoke
// answers when there is none (DISP_E_MEMBERNOTFOUND) or the named arguments do not fit the call.
COMRT_API HRESULT DispatchFindMember(const InterfaceDescription& d, DISPID dispIdMember, WORD wFlags,
                                     const DISPPARAMS* pDispParams, const MemberDescription** ppMember);
// The runtime's ITypeInfo for a description (one shared instance per description, never freed).
COMRT_API ITypeInfo* GetTypeInfoOf(const InterfaceDescription& d);
// The type information of the class clsid, whose objects answer the interfaces rgpIids in that order (a
// class's interface table): a coclass whose interfaces are the described ones among them, each once, the
// first dual one its default. Interfaces without a description (IUnknown, IPersist, ...) are no automation
// interfaces and are left out. *ppTI holds one reference.
COMRT_API HRESULT CreateClassTypeInfo(REFCLSID clsid, const IID* const* rgpIids, unsigned nIids, ITypeInfo** ppTI);
// The same from the descriptions themselves (a proxy's class, described by its server); they must outlive
// the type information.
COMRT_API HRESULT CreateClassTypeInfoOf(REFCLSID clsid, const InterfaceDescription* const* rgpDescriptions,
                                        unsigned nDescriptions, ITypeInfo** ppTI);

namespace detail {

// ---- Mapping C++ parameter types onto automation types ----

template <class T>
struct InTraits {
    static constexpr bool kSupported = false;
};

template <class T, VARTYPE VT>
struct ScalarIn {
    static constexpr bool kSupported = true;
    static constexpr VARTYPE vt = VT;
    static constexpr const IID* piid = nullptr;
};

template <>
struct InTraits<LONG> : ScalarIn<LONG, VT_I4> {
    static LONG From(const VARIANT& v) { return v.lVal; }
};
template <>
struct InTraits<ULONG> : ScalarIn<ULONG, VT_UI4> {
    static ULONG From(const VARIANT& v) { return v.ulVal; }
};
template <>
struct InTraits<SHORT> : ScalarIn<SHORT, VT_I2> {
    static SHORT From(const VARIANT& v) { return v.iVal; }
};
template <>
struct InTraits<BYTE> : ScalarIn<BYTE, VT_UI1> {
    static BYTE From(const VARIANT& v) { return v.bVal; }
};
template <>
struct InTraits<double> : ScalarIn<double, VT_R8> {
    static double From(const VARIANT& v) { return v.dblVal; }
};
template <>
struct InTraits<float> : ScalarIn<float, VT_R4> {
    static float From(const VARIANT& v) { return v.fltVal; }
};
template <>
struct InTraits<LONGLONG> : ScalarIn<LONGLONG, VT_I8> {
    static LONGLONG From(const VARIANT& v) { return v.llVal; }
};
template <>
struct InTraits<VARIANT_BOOL> : ScalarIn<VARIANT_BOOL, VT_BOOL> {
    static VARIANT_BOOL From(const VARIANT& v) { return v.boolVal; }
};
template <>
struct InTraits<BSTR> : ScalarIn<BSTR, VT_BSTR> {
    static BSTR From(const VARIANT& v) { return v.bstrVal; }
};
template <>
struct InTraits<VARIANT> : ScalarIn<VARIANT, VT_VARIANT> {
    static VARIANT From(const VARIANT& v) { return v; }
};

// Enumerations travel as VT_I4 (EVENTTYPE and friends).
template <class E>
requires std::is_enum_v<E> &&(!std::is_same_v<E, VARIANT_BOOL>)struct InTraits<E> : ScalarIn<E, VT_I4> {
    static E From(const VARIANT& v) { return static_cast<E>(v.lVal); }
};

// Object parameters: VT_DISPATCH when the interface derives from IDispatch, else VT_UNKNOWN. The value is
// queried for the parameter's own interface by the thunk.
template <class I>
requires std::is_base_of_v<IUnknown, I>
struct InTraits<I*> {
    static constexpr bool kSupported = true;
    static constexpr VARTYPE vt = std::is_base_of_v<IDispatch, I> ? VT_DISPATCH : VT_UNKNOWN;
    static constexpr const IID* piid = &I::kIid;
};

template <class T>
struct OutTraits {
    static constexpr bool kSupported = false;
};
template <class T>
requires InTraits<T>::kSupported struct OutTraits<T*> {
    static constexpr bool kSupported = true;
    using Value = T;
    static constexpr VARTYPE vt = InTraits<T>::vt;
    static constexpr const IID* piid = InTraits<T>::piid;
};

template <class T>
constexpr ParamDescription Describe(bool bRetvalCandidate) {
    if constexpr (OutTraits<T>::kSupported) {
        return ParamDescription{OutTraits<T>::vt, true, bRetvalCandidate, OutTraits<T>::piid};
    } else {
        static_assert(InTraits<T>::kSupported, "parameter type has no automation mapping");
        return ParamDescription{InTraits<T>::vt, false, false, InTraits<T>::piid};
    }
}

// The runtime's half of the thunks: argument conversion and result storing, written once.
// ConvertIn fills *pTarget (VariantInit'ed by the caller) with the argument converted to vt; for objects
// it queries *piid. Returns DISP_E_TYPEMISMATCH (and sets *puArgErr) on failure.
COMRT_API HRESULT ConvertIn(const VARIANT& arg, VARTYPE vt, const IID* piid, VARIANT* pTarget);
// Stores an out value (given as a variant that owns it) into a VT_BYREF argument, converting as needed.
COMRT_API HRESULT StoreOut(VARIANT* pValue, VARIANT& byrefArg);
// Releases an owned out value that nobody asked for.
COMRT_API void DiscardOut(VARIANT* pValue);

template <class T>
VARIANT ToVariant(const T& value) {
    VARIANT v{};
    v.vt = InTraits<T>::vt;
    if constexpr (std::is_same_v<T, VARIANT>) {
        v = value;
    } else if constexpr (std::is_same_v<T, LONG> || std::is_enum_v<T>) {
        if constexpr (std::is_same_v<T, VARIANT_BOOL>)
            v.boolVal = value;
        else
            v.lVal = static_cast<LONG>(value);
    } else if constexpr (std::is_same_v<T, ULONG>) {
        v.ulVal = value;
    } else if constexpr (std::is_same_v<T, SHORT>) {
        v.iVal = value;
    } else if constexpr (std::is_same_v<T, BYTE>) {
        v.bVal = value;
    } else if constexpr (std::is_same_v<T, double>) {
        v.dblVal = value;
    } else if constexpr (std::is_same_v<T, float>) {
        v.fltVal = value;
    } else if constexpr (std::is_same_v<T, LONGLONG>) {
        v.llVal = value;
    } else if constexpr (std::is_same_v<T, BSTR>) {
        v.bstrVal = value;
    } else if constexpr (std::is_pointer_v<T>) {
        // An interface that derives from IDispatch starts with IDispatch's vtable; others with IUnknown's.
        v.punkVal = reinterpret_cast<IUnknown*>(value);
    }
    return v;
}

// Holds one converted argument for the duration of the call, and releases what conversion made.
struct ArgSlot {
    VARIANT v{};
    ~ArgSlot() { VariantClear(&v); }
};

template <class T>
struct OutSlot {
    T value{};
};

// Storage for each parameter's out value; in-parameters get a placeholder.
template <class T>
struct OutStorage {
    using type = int;
};
template <class T>
requires OutTraits<T>::kSupported struct OutStorage<T> {
    using type = OutSlot<typename OutTraits<T>::Value>;
};

template <class I, class... A, std::size_t... N>
HRESULT InvokeWith(HRESULT (I::*pfn)(A...), void* pInterface, DISPPARAMS* pParams, VARIANT* pVarResult, UINT* puArgErr,
                   const ParamDescription* pDesc, std::index_sequence<N...>) {
    constexpr unsigned nParams = sizeof...(A);
    unsigned nPassed = 0;
    for (unsigned i = 0; i < nParams; ++i)
        if (!pDesc[i].bRetval) ++nPassed;
    if (pParams == nullptr || pParams->cArgs != nPassed) return DISP_E_BADPARAMCOUNT;

    ArgSlot in[nParams > 0 ? nParams : 1];
    // The k-th passed argument is rgvarg[cArgs - 1 - k]; the retval parameter is not passed.
    auto argIndex = [&](unsigned nParam) { return pParams->cArgs - 1 - nParam; };
    for (unsigned i = 0; i < nParams; ++i) {
        if (pDesc[i].bOut) continue;
        HRESULT hr = ConvertIn(pParams->rgvarg[argIndex(i)], pDesc[i].vt, pDesc[i].piid, &in[i].v);
        if (FAILED(hr)) {
            if (puArgErr) *puArgErr = argIndex(i);
            return hr;
        }
    }
    std::tuple<typename OutStorage<A>::type...> outs{};

    [[maybe_unused]] auto arg = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) -> decltype(auto) {
        using T = std::tuple_element_t<K, std::tuple<A...>>;
        if constexpr (OutTraits<T>::kSupported) {
            return &std::get<K>(outs).value;
        } else if constexpr (std::is_pointer_v<T>) {
            return reinterpret_cast<T>(in[K].v.punkVal);
        } else {
            return InTraits<T>::From(in[K].v);
        }
    };
    HRESULT hr = (static_cast<I*>(pInterface)->*pfn)(arg(std::integral_constant<std::size_t, N>{})...);
    if (FAILED(hr)) return hr;

    [[maybe_unused]] auto store = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        using T = std::tuple_element_t<K, std::tuple<A...>>;
        if constexpr (OutTraits<T>::kSupported) {
            VARIANT v = ToVariant(std::get<K>(outs).value);
            if (pDesc[K].bRetval) {
                if (pVarResult) {
                    VariantClear(pVarResult);
                    *pVarResult = v;
                } else {
                    DiscardOut(&v);
                }
            } else {
                HRESULT hrStore = StoreOut(&v, pParams->rgvarg[argIndex(K)]);
                if (FAILED(hrStore) && SUCCEEDED(hr)) {
                    hr = hrStore;
                    if (puArgErr) *puArgErr = argIndex(K);
                }
            }
        }
    };
    (store(std::integral_constant<std::size_t, N>{}), ...);
    return hr;
}

// Registers a description for the lifetime of the module that holds it.
class DescriptionRegistrar {
public:
    explicit DescriptionRegistrar(const InterfaceDescription& (*pfnGet)()) : m_pDescription(&pfnGet()) {
        RegisterInterfaceDescription(*m_pDescription);
    }
    ~DescriptionRegistrar() { UnregisterInterfaceDescription(*m_pDescription); }
    DescriptionRegistrar(const DescriptionRegistrar&) = delete;
    DescriptionRegistrar& operator=(const DescriptionRegistrar&) = delete;

private:
    const InterfaceDescription* m_pDescription;
};

// One argument of a proxy call: in-values are borrowed (no copy, no reference), out-parameters point at
// the caller's storage.
template <class T>
void PackProxyArg(VARIANT& v, T value) {
    if constexpr (OutTraits<T>::kSupported) {
        v.vt = static_cast<VARTYPE>(VT_BYREF | OutTraits<T>::vt);
        v.byref = reinterpret_cast<void*>(value);
    } else {
        v = ToVariant<T>(value);
    }
}

template <auto Pfn>
struct MemberInfo;

template <class I, class... A, HRESULT (I::*Pfn)(A...)>
struct MemberInfo<Pfn> {
    using Interface = I;
    static constexpr unsigned nParams = sizeof...(A);

    // The last parameter is the [out,retval] one when it is an out parameter and the member says so.
    template <bool bRetval>
    static constexpr auto MakeParams() {
        std::array<ParamDescription, nParams> a{};
        unsigned i = 0;
        ((a[i] = Describe<A>(bRetval && i + 1 == nParams), ++i), ...);
        return a;
    }
    template <bool bRetval>
    static constexpr auto kParams = MakeParams<bRetval>();

    template <bool bRetval>
    static HRESULT Invoke(void* pInterface, DISPPARAMS* pParams, VARIANT* pVarResult, UINT* puArgErr) {
        return InvokeWith(Pfn, pInterface, pParams, pVarResult, puArgErr, kParams<bRetval>.data(),
                          std::index_sequence_for<A...>{});
    }

    // Called through a proxy's vtable in place of I::*Pfn (the Itanium ABI passes this first).
    static HRESULT Proxy(void* pThis, A... args) {
        VARIANT rgArgs[nParams > 0 ? nParams : 1] = {};
        unsigned i = nParams;
        // Reverse order, as DISPPARAMS holds them.
        ((PackProxyArg<A>(rgArgs[--i], args)), ...);
        DISPPARAMS params{rgArgs, nullptr, nParams, 0};
        return ProxyInvoke(pThis, reinterpret_cast<ProxyThunk>(&Proxy), &params);
    }
};

}  // namespace detail

// A method; bRetval marks its last parameter [out,retval].
template <auto Pfn, bool bRetval = false>
constexpr MemberDescription Method(DISPID dispid, const char* szName, unsigned nSlot, const char* szParamNames = "") {
    using Info = detail::MemberInfo<Pfn>;
    return MemberDescription{szName,
                             dispid,
                             MemberKind::Method,
                             false,
                             nSlot,
                             szParamNames,
                             Info::template kParams<bRetval>.data(),
                             Info::nParams,
                             &Info::template Invoke<bRetval>,
                             reinterpret_cast<ProxyThunk>(&Info::Proxy)};
}

// A property getter: one [out,retval] parameter.
template <auto Pfn>
constexpr MemberDescription PropGet(DISPID dispid, const char* szName, unsigned nSlot, const char* szParamNames = "") {
    using Info = detail::MemberInfo<Pfn>;
    static_assert(Info::nParams >= 1, "a property getter returns its value through its last parameter");
    return MemberDescription{szName,
                             dispid,
                             MemberKind::PropertyGet,
                             false,
                             nSlot,
                             szParamNames,
                             Info::template kParams<true>.data(),
                             Info::nParams,
                             &Info::template Invoke<true>,
                             reinterpret_cast<ProxyThunk>(&Info::Proxy)};
}

// A property getter whose value stays in the process (see MemberDescription::bLocalOnly).
template <auto Pfn>
constexpr MemberDescription LocalPropGet(DISPID dispid, const char* szName, unsigned nSlot,
                                         const char* szParamNames = "") {
    MemberDescription m = PropGet<Pfn>(dispid, szName, nSlot, szParamNames);
    m.bLocalOnly = true;
    return m;
}

// A property putter: its last parameter is the new value.
template <auto Pfn>
constexpr MemberDescription PropPut(DISPID dispid, const char* szName, unsigned nSlot, const char* szParamNames = "") {
    using Info = detail::MemberInfo<Pfn>;
    return MemberDescription{szName,
                             dispid,
                             MemberKind::PropertyPut,
                             false,
                             nSlot,
                             szParamNames,
                             Info::template kParams<false>.data(),
                             Info::nParams,
                             &Info::template Invoke<false>,
                             reinterpret_cast<ProxyThunk>(&Info::Proxy)};
}

// A method of an outgoing interface: no vtable, parameters given by type.
template <VARTYPE... Vts>
struct EventParams {
    static constexpr ParamDescription kParams[sizeof...(Vts) > 0 ? sizeof...(Vts) : 1] = {
        ParamDescription{Vts, false, false, nullptr}...};
};
template <VARTYPE... Vts>
constexpr MemberDescription Event(DISPID dispid, const char* szName, const char* szParamNames = "") {
    return MemberDescription{szName,  dispid,       MemberKind::Method,           false,
                             0,       szParamNames, EventParams<Vts...>::kParams, sizeof...(Vts),
                             nullptr, nullptr};
}

// IDispatch for a dual interface, from its description. Derive the class from IDispatchImplT<IFoo>.
template <class Base>
class IDispatchImplT : public Base {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr) return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0) return DISP_E_BADINDEX;
        *ppTInfo = GetTypeInfoOf(DescriptionOf<Base>());
        (*ppTInfo)->AddRef();
        return S_OK;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        return DispatchGetIDsOfNames(DescriptionOf<Base>(), rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return DispatchInvoke(DescriptionOf<Base>(), static_cast<Base*>(this), dispIdMember, wFlags, pDispParams,
                              pVarResult, pExcepInfo, puArgErr);
    }
};

}  // namespace comrt

// Declares the description of interface I and registers it in the process's table of descriptions while
// the module that includes the header is loaded. Use at namespace scope in the interface's header.
#define COMRT_DESCRIBE_INTERFACE(I, help, kind, ...)                                                           \
    template <>                                                                                                \
    struct comrt::InterfaceTraits<I> {                                                                         \
        static const comrt::InterfaceDescription& Get() {                                                      \
            static const comrt::MemberDescription kMembers[] = {__VA_ARGS__};                                  \
            static const comrt::InterfaceDescription kDescription{                                             \
                #I, IidOf<I>(), help, kind, kMembers, static_cast<unsigned>(std::size(kMembers)), &typeid(I)}; \
            return kDescription;                                                                               \
        }                                                                                                      \
        static inline const comrt::detail::DescriptionRegistrar s_Registrar{&Get};                             \
    }
