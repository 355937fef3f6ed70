// The client connection of the process, the mapping of paths to proxies, the local-server resolver behind
// CoCreateInstance(CLSCTX_LOCAL_SERVER) and the client functions of comrt/bus.h.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "DBusProxy.h"
#include "DBusSessionBus.h"
#include "comrt/text.h"

namespace comrt::dbus {
namespace {

std::mutex g_ClientLock;
std::shared_ptr<CClientBus> g_pClientBus;
int g_nClientBus = -1;  // -1: decided by the environment

BusKind ClientBusKind() {
    if (g_nClientBus >= 0) return static_cast<BusKind>(g_nClientBus);
    const char* szBus = std::getenv(kClientBusVariable);
    return szBus != nullptr && std::strcmp(szBus, "system") == 0 ? BusKind::System : BusKind::Session;
}

}  // namespace

std::shared_ptr<CClientBus> ClientBus() {
    std::lock_guard lock(g_ClientLock);
    // "none" keeps the process off the buses (tests that must not meet a real server).
    const char* szBus = std::getenv(kClientBusVariable);
    if (g_nClientBus < 0 && szBus != nullptr && std::strcmp(szBus, "none") == 0) return nullptr;
    if (!g_pClientBus) {
        try {
            auto pConnection =
                ClientBusKind() == BusKind::System ? sdbus::createSystemBusConnection() : OpenSessionBus();
            g_pClientBus = std::make_shared<CClientBus>(std::move(pConnection));
        } catch (const sdbus::Error&) {
            return nullptr;
        }
    }
    return g_pClientBus;
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
    m_EventLoop = std::thread([this] { RunEventLoop(*m_pConnection); });
}

CClientBus::~CClientBus() {
    m_pConnection->leaveEventLoop();
    m_EventLoop.join();
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
class CRemoteClassFactory final : public CRefCounted<IClassFactory> {
public:
    CRemoteClassFactory(std::shared_ptr<CClientBus> pBus, std::string sServer, REFCLSID clsid)
        : m_pBus(std::move(pBus)), m_sServer(std::move(sServer)), m_Clsid(clsid) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IClassFactory>()) return HandOut(ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
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

// Installed when the runtime loads: every process can reach the running server, and typed proxies reach
// their members.
[[maybe_unused]] const bool g_bInstalled =
    (CoSetLocalServerResolver(&dbus::ResolveLocalServer), SetProxyInvokeHandler(&dbus::InvokeTearOff), true);

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

HRESULT CoSetBusCallTimeout(DWORD nMilliseconds) {
    auto pBus = dbus::ClientBus();
    if (!pBus) return RPC_E_DISCONNECTED;
    try {
        pBus->Connection().setMethodCallTimeout(std::chrono::milliseconds(nMilliseconds));
    } catch (const sdbus::Error&) {
        return E_FAIL;
    }
    return S_OK;
}

namespace {

// The reads of CoGetBusProperties answer with values; an object among them has no proxy to become.
class CNoObjectsMapper final : public dbus::IObjectMapper {
public:
    HRESULT PathOf(IUnknown*, std::string*) override { return E_NOTIMPL; }
    HRESULT ObjectOf(const std::string&, IUnknown**) override { return E_NOTIMPL; }
};

// At most this many reads wait for their answers at once: the bus daemon limits the replies a connection may
// be owed (the system bus's default is 128).
constexpr std::size_t kReadsInFlight = 100;

struct CPropertyReads {
    const BusPropertyRead* pReads;
    HRESULT* pResults;
    VARIANT* pValues;
    std::size_t nWaiting = 0;
};

struct CPendingRead {
    CPropertyReads* pReads;
    std::size_t nIndex;
};

int OnPropertyReply(sd_bus_message* pReply, void* pUserData, sd_bus_error*) {
    auto* pPending = static_cast<CPendingRead*>(pUserData);
    CPropertyReads& Reads = *pPending->pReads;
    const std::size_t i = pPending->nIndex;
    --Reads.nWaiting;
    if (sd_bus_message_is_method_error(pReply, nullptr)) {
        const sd_bus_error* pError = sd_bus_message_get_error(pReply);
        Reads.pResults[i] = dbus::HResultOfError(pError && pError->name ? pError->name : "");
        return 0;
    }
    CNoObjectsMapper Mapper;
    Reads.pResults[i] = dbus::ReadVariant(pReply, &Reads.pValues[i], Mapper);
    return 0;
}

}  // namespace

namespace {

// A connection of its own to the bus the client connection uses: the system bus, the session bus, or the
// private bus a run of the server recorded where the session has none.
bool OpenReadBus(bool bSystem, sd_bus** ppBus) {
    *ppBus = nullptr;
    if (bSystem) return sd_bus_open_system(ppBus) >= 0;
    const std::string sAddress = dbus::RecordedBusAddress();
    if (sAddress.empty()) return sd_bus_open_user(ppBus) >= 0;
    sd_bus* pBus = nullptr;
    if (sd_bus_new(&pBus) < 0) return false;
    if (sd_bus_set_address(pBus, sAddress.c_str()) < 0 || sd_bus_set_bus_client(pBus, 1) < 0 ||
        sd_bus_start(pBus) < 0) {
        sd_bus_unref(pBus);
        return false;
    }
    *ppBus = pBus;
    return true;
}

}  // namespace

HRESULT CoGetBusProperties(std::size_t nCount, const BusPropertyRead* pReads, HRESULT* pResults, VARIANT* pValues) {
    if (nCount == 0) return S_OK;
    if (pReads == nullptr || pResults == nullptr || pValues == nullptr) return E_POINTER;
    for (std::size_t i = 0; i < nCount; ++i) {
        VariantInit(&pValues[i]);
        pResults[i] = E_PENDING;
    }
    // The process's client connection decides the bus (and "none"); the reads go over a connection of their
    // own, because the client connection's messages are read by its event loop thread.
    if (!dbus::ClientBus()) return RPC_E_DISCONNECTED;
    const bool bSystem = CoGetClientBus() == BusKind::System;
    sd_bus* pBus = nullptr;
    if (!OpenReadBus(bSystem, &pBus)) return RPC_E_DISCONNECTED;
    struct CBusCloser {
        sd_bus* p;
        ~CBusCloser() { sd_bus_flush_close_unref(p); }
    } Closer{pBus};
    // The server's unique name: the reads must not start a server that does not run.
    sd_bus_error Error = SD_BUS_ERROR_NULL;
    sd_bus_message* pOwnerReply = nullptr;
    int nResult = sd_bus_call_method(pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "GetNameOwner", &Error, &pOwnerReply, "s", kServerBusName);
    sd_bus_error_free(&Error);
    const char* szOwner = nullptr;
    std::string sServer;
    if (nResult >= 0 && sd_bus_message_read(pOwnerReply, "s", &szOwner) > 0 && szOwner != nullptr) sServer = szOwner;
    sd_bus_message_unref(pOwnerReply);
    if (sServer.empty()) return RPC_E_DISCONNECTED;

    CPropertyReads Reads{pReads, pResults, pValues};
    std::vector<CPendingRead> Pending(nCount);
    std::vector<sd_bus_slot*> Slots;
    struct CSlotReleaser {
        std::vector<sd_bus_slot*>& Slots;
        ~CSlotReleaser() {
            for (sd_bus_slot* p : Slots) sd_bus_slot_unref(p);
        }
    } Releaser{Slots};
    Slots.reserve(nCount);
    std::size_t nNext = 0;
    while (nNext < nCount || Reads.nWaiting > 0) {
        while (nNext < nCount && Reads.nWaiting < kReadsInFlight) {
            const std::size_t i = nNext++;
            const BusPropertyRead& Read = pReads[i];
            const InterfaceDescription* d = Read.piid ? FindInterfaceDescription(*Read.piid) : nullptr;
            if (Read.szPath == nullptr || !sd_bus_object_path_is_valid(Read.szPath) || Read.szProperty == nullptr ||
                d == nullptr) {
                pResults[i] = E_INVALIDARG;
                continue;
            }
            const std::string sInterface = dbus::kInterfacePrefix + std::string(d->szName);
            Pending[i] = {&Reads, i};
            sd_bus_slot* pSlot = nullptr;
            nResult = sd_bus_call_method_async(pBus, &pSlot, sServer.c_str(), Read.szPath,
                                               "org.freedesktop.DBus.Properties", "Get", &OnPropertyReply, &Pending[i],
                                               "ss", sInterface.c_str(), Read.szProperty);
            if (nResult < 0) {
                pResults[i] = nResult == -ENOMEM ? E_OUTOFMEMORY : RPC_E_DISCONNECTED;
                continue;
            }
            Slots.push_back(pSlot);
            ++Reads.nWaiting;
        }
        nResult = sd_bus_process(pBus, nullptr);
        if (nResult < 0) break;
        if (nResult == 0 && sd_bus_wait(pBus, UINT64_MAX) < 0) break;
    }
    // A connection that failed leaves its reads without an answer.
    for (std::size_t i = 0; i < nCount; ++i)
        if (pResults[i] == E_PENDING) pResults[i] = RPC_E_DISCONNECTED;
    return S_OK;
}

}  // namespace comrt
