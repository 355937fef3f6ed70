// The client half of the bridge: proxies for objects a server exports, the typed proxies built from the
// interface descriptions, and the local-server resolver behind CoCreateInstance(CLSCTX_LOCAL_SERVER).
//
// One proxy object stands for one exported object (one path of one server connection); it is the
// identity, implements IDispatch over Corvane.Dispatch, and hands out one typed proxy ("tear-off") per
// described dual interface. A tear-off's vtable holds the thunks COMRT_DESCRIBE_INTERFACE generated from
// the member function pointers; each packs its arguments and lands in ProxyInvoke, which calls the
// member on the typed D-Bus interface. The proxy counts the references the server handed out for this
// client and gives each back (Corvane.Dispatch.Release) when the last local reference goes.
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "DBusProxy.h"
#include "comrt/text.h"

namespace comrt::dbus {

std::mutex g_ClientLock;
std::shared_ptr<CClientBus> g_pClientBus;
int g_nClientBus = -1;  // -1: decided by the environment

BusKind ClientBusKind() {
    if (g_nClientBus >= 0) return static_cast<BusKind>(g_nClientBus);
    const char* szBus = std::getenv(kClientBusVariable);
    return szBus != nullptr && std::strcmp(szBus, "system") == 0 ? BusKind::System : BusKind::Session;
}

std::shared_ptr<CClientBus> ClientBus() {
    std::lock_guard lock(g_ClientLock);
    // "none" keeps the process off the buses (tests that must not meet a real server).
    const char* szBus = std::getenv(kClientBusVariable);
    if (g_nClientBus < 0 && szBus != nullptr && std::strcmp(szBus, "none") == 0) return nullptr;
    if (!g_pClientBus) {
        try {
            auto pConnection = ClientBusKind() == BusKind::System ? sdbus::createSystemBusConnection()
                                                                  : sdbus::createSessionBusConnection();
            g_pClientBus = std::make_shared<CClientBus>(std::move(pConnection));
        } catch (const sdbus::Error&) {
            return nullptr;
        }
    }
    return g_pClientBus;
}

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
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            *target.pbVal = value.bVal;
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            *target.piVal = value.iVal;
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_R4:
            *target.plVal = value.lVal;
            break;
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

class CProxyObject;

// One typed proxy: the interface pointer handed out points at m_pVtable.
struct CTearOff {
    const void* const* m_pVtable;
    CProxyObject* m_pOwner;
    const InterfaceDescription* m_pDescription;
    std::vector<const void*> m_Slots;
};

class CProxyObject final : public IDispatch {
public:
    CProxyObject(std::shared_ptr<CClientBus> pBus, std::string sDestination, std::string sPath)
        : m_pBus(std::move(pBus)), m_sDestination(std::move(sDestination)), m_sPath(std::move(sPath)) {
        m_pProxy = sdbus::createProxy(m_pBus->Connection(), m_sDestination, m_sPath);
    }

    const std::string& Path() const { return m_sPath; }
    const std::string& Destination() const { return m_sDestination; }
    void AddHold() { ++m_nHolds; }

    // AddRef unless the proxy is already on its way out (the cache looks proxies up under its lock).
    bool TryAddRef() {
        ULONG n = m_nReferences.load();
        while (n != 0)
            if (m_nReferences.compare_exchange_weak(n, n + 1)) return true;
        return false;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == kProxyIdentityIid) {
            *ppv = this;
            return S_OK;
        }
        if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>()) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        if (riid == IidOf<IConnectionPointContainer>())
            return CreateProxyEvents(m_pBus, m_sDestination, m_sPath, static_cast<IDispatch*>(this), ppv);
        {
            std::lock_guard lock(m_Lock);
            auto it = m_TearOffs.find(riid);
            if (it != m_TearOffs.end()) {
                *ppv = it->second.get();
                AddRef();
                return S_OK;
            }
        }
        const InterfaceDescription* d = FindInterfaceDescription(riid);
        if (d == nullptr || d->kind != InterfaceKind::Dual) return E_NOINTERFACE;
        std::string sPath;
        HRESULT hr = RemoteQueryInterface(riid, &sPath);
        if (FAILED(hr)) return hr;
        if (sPath != m_sPath) {
            // The object hands out another object for this interface.
            CComPtr<CProxyObject> pOther;
            hr = m_pBus->GetProxy(m_sDestination, sPath, true, &pOther.p);
            return FAILED(hr) ? hr : pOther->QueryInterface(riid, ppv);
        }
        std::lock_guard lock(m_Lock);
        std::unique_ptr<CTearOff>& pTearOff = m_TearOffs[riid];
        if (!pTearOff) pTearOff = MakeTearOff(*d);
        *ppv = pTearOff.get();
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG n = --m_nReferences;
        if (n == 0) {
            m_pBus->Forget(this, m_sDestination, m_sPath);
            GiveBackHolds();
            delete this;
        }
        return n;
    }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr) return E_POINTER;
        *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
        try {
            std::vector<std::string> names;
            for (UINT i = 0; i < cNames; ++i) names.push_back(ToUtf8(rgszNames[i]));
            auto call = m_pProxy->createMethodCall(kDispatchInterface, "GetIDsOfNames");
            call << names;
            auto reply = m_pProxy->callMethod(call);
            std::vector<int32_t> ids;
            reply >> ids;
            for (UINT i = 0; i < cNames; ++i) rgDispId[i] = i < ids.size() ? ids[i] : DISPID_UNKNOWN;
            return S_OK;
        } catch (const sdbus::Error& e) {
            for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
            return Failure(e);
        }
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO*, UINT*) override;

    // A member of a typed interface, called through a tear-off's thunk.
    HRESULT CallTyped(const InterfaceDescription& d, const MemberDescription& m, DISPPARAMS* pParams);

private:
    ~CProxyObject() = default;

    HRESULT RemoteQueryInterface(REFIID riid, std::string* psPath) {
        try {
            auto call = m_pProxy->createMethodCall(kDispatchInterface, "QueryInterface");
            call << GuidText(riid);
            auto reply = m_pProxy->callMethod(call);
            bool bAnswered = false;
            sdbus::ObjectPath path;
            reply >> bAnswered >> path;
            if (!bAnswered) return E_NOINTERFACE;
            *psPath = path;
            return S_OK;
        } catch (const sdbus::Error& e) {
            return Failure(e);
        }
    }

    void GiveBackHolds() {
        for (unsigned n = m_nHolds.exchange(0); n > 0; --n) {
            try {
                auto call = m_pProxy->createMethodCall(kDispatchInterface, "Release");
                call.dontExpectReply();
                m_pProxy->callMethod(call);
            } catch (const sdbus::Error&) {
                return;  // the server is gone, and with it what it held
            }
        }
    }

    std::unique_ptr<CTearOff> MakeTearOff(const InterfaceDescription& d);

    std::atomic<ULONG> m_nReferences{1};
    std::atomic<unsigned> m_nHolds{0};
    std::shared_ptr<CClientBus> m_pBus;
    const std::string m_sDestination;
    const std::string m_sPath;
    std::unique_ptr<sdbus::IProxy> m_pProxy;
    std::mutex m_Lock;
    std::map<IID, std::unique_ptr<CTearOff>, bool (*)(const IID&, const IID&)> m_TearOffs{
        [](const IID& a, const IID& b) { return std::memcmp(&a, &b, sizeof(IID)) < 0; }};
};

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
HRESULT TearInvoke(CTearOff* pThis, DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
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

HRESULT CClientMapper::PathOf(IUnknown* pObject, std::string* psPath) {
    void* pv = nullptr;
    if (FAILED(pObject->QueryInterface(kProxyIdentityIid, &pv)) || pv == nullptr) return E_NOTIMPL;
    auto* pProxy = static_cast<CProxyObject*>(pv);
    if (pProxy->Destination() != m_sDestination) return E_INVALIDARG;
    *psPath = pProxy->Path();
    return S_OK;
}

HRESULT CClientMapper::ObjectOf(const std::string& sPath, IUnknown** ppObject) {
    CProxyObject* pProxy = nullptr;
    const HRESULT hr = m_Bus.GetProxy(m_sDestination, sPath, m_bHeld, &pProxy);
    *ppObject = pProxy;
    return hr;
}

CClientBus::CClientBus(std::unique_ptr<sdbus::IConnection> pConnection) : m_pConnection(std::move(pConnection)) {
    m_Worker = std::thread([this] {
        std::unique_lock lock(m_WorkLock);
        for (;;) {
            m_WorkReady.wait(lock, [this] { return m_bStopping || !m_Doomed.empty(); });
            if (m_Doomed.empty()) return;
            std::unique_ptr<sdbus::IProxy> pProxy = std::move(m_Doomed.front());
            m_Doomed.pop_front();
            lock.unlock();
            pProxy.reset();  // waits for a handler of its own that runs now
            lock.lock();
        }
    });
    m_pConnection->enterEventLoopAsync();
}

CClientBus::~CClientBus() {
    m_pConnection->leaveEventLoop();
    {
        std::lock_guard lock(m_WorkLock);
        m_bStopping = true;
    }
    m_WorkReady.notify_all();
    m_Worker.join();
}

void CClientBus::DestroyLater(std::unique_ptr<sdbus::IProxy> pProxy) {
    {
        std::lock_guard lock(m_WorkLock);
        m_Doomed.push_back(std::move(pProxy));
    }
    m_WorkReady.notify_one();
}

HRESULT CClientBus::GetProxy(const std::string& sDestination, const std::string& sPath, bool bHeld,
                             CProxyObject** ppProxy) {
    *ppProxy = nullptr;
    std::lock_guard lock(m_Lock);
    CProxyObject*& pEntry = m_Proxies[{sDestination, sPath}];
    if (pEntry != nullptr && pEntry->TryAddRef()) {
        if (bHeld) pEntry->AddHold();
        *ppProxy = pEntry;
        return S_OK;
    }
    try {
        pEntry = new CProxyObject(shared_from_this(), sDestination, sPath);
    } catch (const sdbus::Error&) {
        m_Proxies.erase({sDestination, sPath});
        return E_OUTOFMEMORY;
    }
    if (bHeld) pEntry->AddHold();
    *ppProxy = pEntry;
    return S_OK;
}

void CClientBus::Forget(CProxyObject* pProxy, const std::string& sDestination, const std::string& sPath) {
    std::lock_guard lock(m_Lock);
    auto it = m_Proxies.find({sDestination, sPath});
    if (it != m_Proxies.end() && it->second == pProxy) m_Proxies.erase(it);
}

std::string CClientBus::OwnerOf(const std::string& sName) {
    try {
        auto pDaemon = sdbus::createProxy(*m_pConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        auto call = pDaemon->createMethodCall("org.freedesktop.DBus", "GetNameOwner");
        call << sName;
        auto reply = pDaemon->callMethod(call);
        std::string sOwner;
        reply >> sOwner;
        return sOwner;
    } catch (const sdbus::Error&) {
        return {};
    }
}

// The class object CoGetClassObject hands out for a class of the running server.
class CRemoteClassFactory final : public IClassFactory {
public:
    CRemoteClassFactory(std::shared_ptr<CClientBus> pBus, std::string sServer, REFCLSID clsid)
        : m_pBus(std::move(pBus)), m_sServer(std::move(sServer)), m_Clsid(clsid) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IClassFactory>()) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override {
        const ULONG n = --m_nReferences;
        if (n == 0) delete this;
        return n;
    }
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        std::string sPath;
        try {
            auto pFactory = sdbus::createProxy(m_pBus->Connection(), m_sServer, kServerRootPath);
            auto call = pFactory->createMethodCall(kClassFactoryInterface, "CreateInstance");
            // The server is asked for IUnknown: the proxy asks for the typed interface itself.
            call << GuidText(m_Clsid) << GuidText(riid);
            auto reply = pFactory->callMethod(call);
            sdbus::ObjectPath path;
            reply >> path;
            sPath = path;
        } catch (const sdbus::Error& e) {
            const HRESULT hr = Failure(e);
            return hr == RPC_E_DISCONNECTED ? REGDB_E_CLASSNOTREG : hr;
        }
        if (sPath == "/") return E_NOINTERFACE;
        CComPtr<CProxyObject> pProxy;
        HRESULT hr = m_pBus->GetProxy(m_sServer, sPath, true, &pProxy.p);
        return FAILED(hr) ? hr : pProxy->QueryInterface(riid, ppvObject);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    ~CRemoteClassFactory() = default;
    std::atomic<ULONG> m_nReferences{1};
    std::shared_ptr<CClientBus> m_pBus;
    std::string m_sServer;
    CLSID m_Clsid;
};

HRESULT ResolveLocalServer(REFCLSID rclsid, DWORD, REFIID riid, void** ppv) {
    *ppv = nullptr;
    // A handler of this process's bridge that asked its own bus would wait for itself.
    if (InBridgeHandler()) return REGDB_E_CLASSNOTREG;
    auto pBus = ClientBus();
    if (!pBus) return REGDB_E_CLASSNOTREG;
    std::string sServer = pBus->OwnerOf(kServerBusName);
    if (sServer.empty()) return REGDB_E_CLASSNOTREG;
    CComPtr<IClassFactory> pFactory;
    pFactory.Attach(new (std::nothrow) CRemoteClassFactory(pBus, std::move(sServer), rclsid));
    if (!pFactory) return E_OUTOFMEMORY;
    return pFactory->QueryInterface(riid, ppv);
}

}  // namespace comrt::dbus

namespace comrt {
namespace {

HRESULT InvokeTearOff(void* pThis, ProxyThunk pfnThunk, DISPPARAMS* pParams) {
    auto* pTearOff = static_cast<dbus::CTearOff*>(pThis);
    const InterfaceDescription& d = *pTearOff->m_pDescription;
    for (unsigned i = 0; i < d.nMembers; ++i)
        if (d.pMembers[i].pfnProxy == pfnThunk) return pTearOff->m_pOwner->CallTyped(d, d.pMembers[i], pParams);
    return E_UNEXPECTED;
}

// Installed when the runtime loads: every process can reach the running server, and typed proxies reach
// their members.
[[maybe_unused]] const bool g_bInstalled =
    (CoSetLocalServerResolver(&dbus::ResolveLocalServer), SetProxyInvokeHandler(&InvokeTearOff), true);

}  // namespace

BusKind CoGetClientBus() {
    std::lock_guard lock(dbus::g_ClientLock);
    return dbus::ClientBusKind();
}

void CoSetClientBus(BusKind kind) {
    std::lock_guard lock(dbus::g_ClientLock);
    if (dbus::g_pClientBus && dbus::ClientBusKind() != kind) dbus::g_pClientBus.reset();
    dbus::g_nClientBus = static_cast<int>(kind);
}

HRESULT CoGetBusObject(const char* szPath, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (szPath == nullptr || !sd_bus_object_path_is_valid(szPath)) return E_INVALIDARG;
    auto pBus = dbus::ClientBus();
    if (!pBus) return RPC_E_DISCONNECTED;
    const std::string sServer = pBus->OwnerOf(kServerBusName);
    if (sServer.empty()) return RPC_E_DISCONNECTED;
    CComPtr<dbus::CProxyObject> pProxy;
    HRESULT hr = pBus->GetProxy(sServer, szPath, false, &pProxy.p);
    if (FAILED(hr)) return hr;
    // One round trip proves the object is there, whatever the interface asked for.
    if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>()) {
        DISPID nId = 0;
        LPOLESTR pszName = const_cast<LPOLESTR>(u"");
        hr = pProxy->GetIDsOfNames(GUID_NULL, &pszName, 1, 0, &nId);
        if (hr == RPC_E_DISCONNECTED || hr == E_NOINTERFACE) return hr;
    }
    return pProxy->QueryInterface(riid, ppv);
}

}  // namespace comrt
