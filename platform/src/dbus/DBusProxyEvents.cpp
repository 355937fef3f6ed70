// Connection points of proxies: an Advise subscribes to the signals of the outgoing interface on the
// object's path and hands each signal to the sink as the event's Invoke, with the arguments the description
// gives. Subscriptions live until Unadvise, whatever happens to the connection point object itself, as a
// remote object's connection points do.
#include <atomic>
#include <new>

#include "DBusProxy.h"

namespace comrt::dbus {
namespace {

std::mutex g_SubscriptionLock;
// One Advise: the bus proxy that carries the signal handlers is destroyed later, on the client bus's worker,
// so the subscription is switched off at once by its flag.
struct CSubscription {
    std::shared_ptr<CClientBus> pBus;
    std::unique_ptr<sdbus::IProxy> pProxy;
    std::shared_ptr<std::atomic<bool>> pActive;
};
std::map<DWORD, CSubscription> g_Subscriptions;
DWORD g_nNextCookie = 0;

// Whether the object at sPath sends the signals of sInterface, from its introspection data.
bool Offers(CClientBus& bus, const std::string& sDestination, const std::string& sPath, const std::string& sInterface) {
    try {
        auto pProxy = sdbus::createProxy(bus.Connection(), sDestination, sPath);
        auto call = pProxy->createMethodCall("org.freedesktop.DBus.Introspectable", "Introspect");
        auto reply = pProxy->callMethod(call);
        std::string sXml;
        reply >> sXml;
        return sXml.find("<interface name=\"" + sInterface + "\">") != std::string::npos;
    } catch (const sdbus::Error&) {
        return false;
    }
}

void Deliver(sdbus::Signal& signal, CClientBus& bus, const std::string& sDestination, const MemberDescription& m,
             IDispatch* pSink) {
    CClientMapper mapper(bus, sDestination, false);
    std::vector<VARIANT> args(m.nParams);
    for (VARIANT& v : args) VariantInit(&v);
    bool bComplete = true;
    for (unsigned i = 0; i < m.nParams && bComplete; ++i)
        bComplete = SUCCEEDED(ReadTyped(RawMessage(signal), m.pParams[i].vt, &args[m.nParams - 1 - i], mapper));
    // An event whose arguments do not read as described is not delivered half.
    if (bComplete) {
        DISPPARAMS params{args.data(), nullptr, m.nParams, 0};
        pSink->Invoke(m.dispid, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
    for (VARIANT& v : args) VariantClear(&v);
}

class CProxyConnectionPoint final : public CRefCounted<IConnectionPoint> {
public:
    CProxyConnectionPoint(std::shared_ptr<CClientBus> pBus, std::string sDestination, std::string sPath,
                          IConnectionPointContainer* pContainer, const InterfaceDescription& d)
        : m_pBus(std::move(pBus)),
          m_sDestination(std::move(sDestination)),
          m_sPath(std::move(sPath)),
          m_pContainer(pContainer),
          m_Description(d) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IConnectionPoint>()) return HandOut(ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT GetConnectionInterface(IID* pIID) override {
        if (pIID == nullptr) return E_POINTER;
        *pIID = m_Description.iid;
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (ppCPC == nullptr) return E_POINTER;
        return m_pContainer.CopyTo(ppCPC);
    }
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        if (pdwCookie == nullptr) return E_POINTER;
        *pdwCookie = 0;
        if (pUnkSink == nullptr) return E_POINTER;
        CComPtr<IDispatch> pSink;
        if (FAILED(pUnkSink->QueryInterface(m_Description.iid, reinterpret_cast<void**>(&pSink))) &&
            FAILED(pUnkSink->QueryInterface(IidOf<IDispatch>(), reinterpret_cast<void**>(&pSink))))
            return CONNECT_E_CANNOTCONNECT;
        const std::string sInterface = kInterfacePrefix + std::string(m_Description.szName);
        std::unique_ptr<sdbus::IProxy> pProxy;
        auto pActive = std::make_shared<std::atomic<bool>>(true);
        try {
            pProxy = sdbus::createProxy(m_pBus->Connection(), m_sDestination, m_sPath);
            for (unsigned i = 0; i < m_Description.nMembers; ++i) {
                const MemberDescription& m = m_Description.pMembers[i];
                CClientBus* pBus = m_pBus.get();  // the subscription holds the bus
                pProxy->registerSignalHandler(
                    sInterface, m.szName,
                    [pBus, sDestination = m_sDestination, &m, pSink, pActive](sdbus::Signal& signal) {
                        if (!*pActive) return;
                        try {
                            Deliver(signal, *pBus, sDestination, m, pSink);
                        } catch (...) {
                            // A sink's failure ends that event only.
                        }
                    });
            }
            pProxy->finishRegistration();
        } catch (const sdbus::Error&) {
            return CONNECT_E_CANNOTCONNECT;
        }
        std::lock_guard lock(g_SubscriptionLock);
        if (++g_nNextCookie == 0) ++g_nNextCookie;
        *pdwCookie = g_nNextCookie;
        g_Subscriptions[*pdwCookie] = CSubscription{m_pBus, std::move(pProxy), pActive};
        return S_OK;
    }
    HRESULT Unadvise(DWORD dwCookie) override {
        CSubscription subscription;
        {
            std::lock_guard lock(g_SubscriptionLock);
            auto it = g_Subscriptions.find(dwCookie);
            if (it == g_Subscriptions.end()) return CONNECT_E_NOCONNECTION;
            subscription = std::move(it->second);
            g_Subscriptions.erase(it);
        }
        // The sink may be unsubscribing from inside one of the handlers being removed.
        *subscription.pActive = false;
        subscription.pBus->DestroyLater(std::move(subscription.pProxy));
        return S_OK;
    }
    HRESULT EnumConnections(IEnumConnections** ppEnum) override {
        if (ppEnum != nullptr) *ppEnum = nullptr;
        return E_NOTIMPL;
    }

private:
    ~CProxyConnectionPoint() = default;
    std::shared_ptr<CClientBus> m_pBus;
    std::string m_sDestination;
    std::string m_sPath;
    CComPtr<IConnectionPointContainer> m_pContainer;
    const InterfaceDescription& m_Description;
};

// Answers for the proxy's identity in everything but IConnectionPointContainer.
class CProxyEvents final : public CRefCounted<IConnectionPointContainer> {
public:
    CProxyEvents(std::shared_ptr<CClientBus> pBus, std::string sDestination, std::string sPath, IUnknown* pOwner)
        : m_pBus(std::move(pBus)),
          m_sDestination(std::move(sDestination)),
          m_sPath(std::move(sPath)),
          m_pOwner(pOwner) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IConnectionPointContainer>()) return HandOut(ppv);
        return m_pOwner->QueryInterface(riid, ppv);
    }
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        if (ppEnum != nullptr) *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        if (ppCP == nullptr) return E_POINTER;
        *ppCP = nullptr;
        const InterfaceDescription* d = FindInterfaceDescription(riid);
        if (d == nullptr || d->kind != InterfaceKind::DispatchOnly) return CONNECT_E_NOCONNECTION;
        if (!Offers(*m_pBus, m_sDestination, m_sPath, kInterfacePrefix + std::string(d->szName)))
            return CONNECT_E_NOCONNECTION;
        *ppCP = new (std::nothrow) CProxyConnectionPoint(m_pBus, m_sDestination, m_sPath, this, *d);
        return *ppCP != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~CProxyEvents() = default;
    std::shared_ptr<CClientBus> m_pBus;
    std::string m_sDestination;
    std::string m_sPath;
    CComPtr<IUnknown> m_pOwner;
};

}  // namespace

HRESULT CreateProxyEvents(const std::shared_ptr<CClientBus>& pBus, const std::string& sDestination,
                          const std::string& sPath, IUnknown* pOwner, void** ppv) {
    auto* pEvents = new (std::nothrow) CProxyEvents(pBus, sDestination, sPath, pOwner);
    *ppv = pEvents ? static_cast<IConnectionPointContainer*>(pEvents) : nullptr;
    return pEvents ? S_OK : E_OUTOFMEMORY;
}

}  // namespace comrt::dbus
