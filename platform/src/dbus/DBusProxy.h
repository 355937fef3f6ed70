// The client side's shared parts: the process's client connection and the mapping of paths to proxies
// (DBusClient.cpp), the proxy objects with their typed tear-offs (DBusProxy.cpp), and the connection points
// of proxies (DBusProxyEvents.cpp).
#pragma once

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DBusBridge.h"
#include "DBusClassInfo.h"
#include "comrt/text.h"

namespace comrt::dbus {

// Answered only by our proxies, with the proxy object itself (not AddRef'ed); never leaves the process.
inline constexpr IID kProxyIdentityIid = MakeGuid("{6C0B2D31-8E0F-4C53-A1D5-0C0B5E7A9B01}");

class CProxyObject;

// The client connection of the process. Signal handlers run on its event loop thread; sdbus-c++ proxies
// that carry handlers are destroyed on its worker thread, because a handler may end its own subscription.
class CClientBus : public std::enable_shared_from_this<CClientBus> {
public:
    explicit CClientBus(std::unique_ptr<sdbus::IConnection> pConnection);
    ~CClientBus();

    sdbus::IConnection& Connection() { return *m_pConnection; }

    // The proxy for sPath on sDestination, AddRef'ed; bHeld counts one more reference the server holds
    // for this client.
    HRESULT GetProxy(const std::string& sDestination, const std::string& sPath, bool bHeld, CProxyObject** ppProxy);
    void Forget(CProxyObject* pProxy, const std::string& sDestination, const std::string& sPath);
    // The unique name that owns sName now, or empty.
    std::string OwnerOf(const std::string& sName);
    // Destroys the proxy on the worker thread.
    void DestroyLater(std::unique_ptr<sdbus::IProxy> pProxy);

private:
    std::unique_ptr<sdbus::IConnection> m_pConnection;
    std::mutex m_Lock;
    std::map<std::pair<std::string, std::string>, CProxyObject*> m_Proxies;

    std::mutex m_WorkLock;
    std::condition_variable m_WorkReady;
    std::deque<std::unique_ptr<sdbus::IProxy>> m_Doomed;
    bool m_bStopping = false;
    std::thread m_Worker;
    std::thread m_EventLoop;
};

// Paths a server sends are proxies of that server; objects sent to it must be its own. bHeld: the
// server counted a reference for this client with each path it sent (replies do, signals do not).
class CClientMapper final : public IObjectMapper {
public:
    CClientMapper(CClientBus& bus, std::string sDestination, bool bHeld)
        : m_Bus(bus), m_sDestination(std::move(sDestination)), m_bHeld(bHeld) {}
    HRESULT PathOf(IUnknown* pObject, std::string* psPath) override;
    HRESULT ObjectOf(const std::string& sPath, IUnknown** ppObject) override;

private:
    CClientBus& m_Bus;
    std::string m_sDestination;
    bool m_bHeld;
};

// The IConnectionPointContainer of the proxy pOwner: its connection points subscribe to the signals of the
// object's outgoing interfaces and call the sinks' Invoke with the events' arguments.
HRESULT CreateProxyEvents(const std::shared_ptr<CClientBus>& pBus, const std::string& sDestination,
                          const std::string& sPath, IUnknown* pOwner, void** ppv);

// The client connection of the process, made at first use; null when the bus cannot be reached or the
// environment says "none".
std::shared_ptr<CClientBus> ClientBus();
// The HRESULT of a failed call, with the error's message kept as the caller's error information.
HRESULT Failure(const sdbus::Error& e);
// The brace form of a GUID.
std::string GuidText(REFGUID guid);
// The member of a typed proxy whose thunk is pfnThunk, called on its object (ProxyInvoke's handler).
HRESULT InvokeTearOff(void* pThis, ProxyThunk pfnThunk, DISPPARAMS* pParams);

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
        if (riid == IidOf<ISpecifyPropertyPages>() || riid == IidOf<IEnumVARIANT>() ||
            riid == IidOf<IProvideClassInfo>())
            return QuerySpecial(riid, ppv);
        // An interface no module of this process describes is known once a server's class information
        // described it (IProvideClassInfo of this object or of another of the server's).
        const InterfaceDescription* d = FindInterfaceDescription(riid);
        if (d == nullptr) d = FindRemoteDescription(riid);
        if (d == nullptr || d->kind != InterfaceKind::Dual) return E_NOINTERFACE;
        if (const HRESULT hr = RemoteQuery(riid, ppv); hr != S_FALSE) return hr;
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
    // A page that writes ten properties by name would otherwise wait for twenty round trips instead of ten.
    // The identifiers an object answers stay the same for its lifetime, and an exported path names one object
    // for as long as its server runs, so the answers are kept per proxy. A view's path names whatever object
    // is there now, so its answers are asked for each time.
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
        try {
            std::vector<std::string> names;
            for (UINT i = 0; i < cNames; ++i) names.push_back(ToUtf8(rgszNames[i]));
            {
                std::lock_guard lock(m_Lock);
                const auto it = m_KnownIds.find(names);
                if (it != m_KnownIds.end()) {
                    std::copy(it->second.begin(), it->second.end(), rgDispId);
                    return S_OK;
                }
            }
            auto call = m_pProxy->createMethodCall(kDispatchInterface, "GetIDsOfNames");
            call << names;
            auto reply = m_pProxy->callMethod(call);
            std::vector<int32_t> ids;
            reply >> ids;
            for (UINT i = 0; i < cNames; ++i) rgDispId[i] = i < ids.size() ? ids[i] : DISPID_UNKNOWN;
            if (!IsView()) {
                std::lock_guard lock(m_Lock);
                m_KnownIds.emplace(std::move(names), std::vector<DISPID>(rgDispId, rgDispId + cNames));
            }
            return S_OK;
        } catch (const sdbus::Error& e) {
            for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
            return Failure(e);
        }
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO*, UINT*) override;

    // ISpecifyPropertyPages::GetPages of the object: the class identifiers of its pages.
    HRESULT GetPages(CAUUID* pPages);
    // IEnumVARIANT of the object, for its enumerator proxy.
    HRESULT EnumNext(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched);
    HRESULT EnumSkip(ULONG celt);
    HRESULT EnumReset();
    HRESULT EnumClone(IEnumVARIANT** ppEnum);

    // IProvideClassInfo::GetClassInfo of the object: its class as its server describes it. An exported
    // object's class is asked for once; a view's each time (its path may name another object by then).
    HRESULT GetClassInfo(ITypeInfo** ppTI);

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

    // Asks the object for riid. When another object answers, *ppv is that object's proxy for riid; S_FALSE
    // (nothing in *ppv) when the object answers with itself, whose proxy the caller then makes.
    HRESULT RemoteQuery(REFIID riid, void** ppv) {
        std::string sPath;
        HRESULT hr = RemoteQueryInterface(riid, &sPath);
        if (FAILED(hr) || sPath == m_sPath) return FAILED(hr) ? hr : S_FALSE;
        // The object hands out another object for this interface.
        CComPtr<CProxyObject> pOther;
        hr = m_pBus->GetProxy(m_sDestination, sPath, true, &pOther.p);
        return FAILED(hr) ? hr : pOther->QueryInterface(riid, ppv);
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

    // A path below the application's: a view, walked from the application on every call.
    bool IsView() const {
        const std::string_view sApplication = kApplicationPath;
        return m_sPath.size() > sApplication.size() && m_sPath.compare(0, sApplication.size(), sApplication) == 0 &&
               m_sPath[sApplication.size()] == '/';
    }

    std::unique_ptr<CTearOff> MakeTearOff(const InterfaceDescription& d);
    // ISpecifyPropertyPages and IEnumVARIANT, which are no automation interfaces: each has a small proxy
    // of its own.
    HRESULT QuerySpecial(REFIID riid, void** ppv);

    std::atomic<ULONG> m_nReferences{1};
    std::atomic<unsigned> m_nHolds{0};
    std::shared_ptr<CClientBus> m_pBus;
    const std::string m_sDestination;
    const std::string m_sPath;
    std::unique_ptr<sdbus::IProxy> m_pProxy;
    std::mutex m_Lock;
    std::map<IID, std::unique_ptr<CTearOff>, bool (*)(const IID&, const IID&)> m_TearOffs{
        [](const IID& a, const IID& b) { return std::memcmp(&a, &b, sizeof(IID)) < 0; }};
    // The identifiers the object answered, by the names asked for (GetIDsOfNames).
    std::map<std::vector<std::string>, std::vector<DISPID>> m_KnownIds;
    CComPtr<ITypeInfo> m_pClassInfo;
};

}  // namespace comrt::dbus
