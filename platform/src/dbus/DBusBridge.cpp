// The bridge's tables: which objects are exported where, who holds them, and when they go.
#include "DBusBridge.h"

#include <sdbus-c++/IProxy.h>

#include <algorithm>

#include "comrt/text.h"

namespace comrt::dbus {
namespace {

thread_local int t_nHandlerDepth = 0;

// The name under which objects sent in signals are held: the most recent object of each signal of each
// exported object stays reachable until the next one replaces it.
std::string SignalHolder(const std::string& sPath, const std::string& sSignal) {
    return "!" + sPath + "/" + sSignal;
}

}  // namespace

void RunEventLoop(sdbus::IConnection& connection) {
    try {
        connection.enterEventLoop();
    } catch (const sdbus::Error&) {
        // The connection broke; calls made on it from now on fail with the bus's error.
    }
}

bool InBridgeHandler() {
    return t_nHandlerDepth > 0;
}

CHandlerScope::CHandlerScope() {
    ++t_nHandlerDepth;
}

CHandlerScope::~CHandlerScope() {
    --t_nHandlerDepth;
}

CBusBridge::CBusBridge(std::unique_ptr<sdbus::IConnection> pConnection, BusKind kind)
    : m_pConnection(std::move(pConnection)), m_Kind(kind) {
    // A client that leaves the bus drops every reference it held.
    m_pConnection->addMatch(
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged'",
        [this](sdbus::Message& message) {
            CHandlerScope scope;
            try {
                std::string sName, sOldOwner, sNewOwner;
                message >> sName >> sOldOwner >> sNewOwner;
                if (!sName.empty() && sName[0] == ':' && sNewOwner.empty()) ClientGone(sName);
            } catch (...) {
                // A malformed signal from the bus daemon changes nothing.
            }
        },
        sdbus::floating_slot);
    m_pClassFactory = BuildClassFactory();
    AttachViews();
    InsertRelay();
    // The threads start last: a constructor that throws before them leaves nothing running.
    m_Worker = std::thread([this] { WorkerMain(); });
    m_EventLoop = std::thread([this] { RunEventLoop(*m_pConnection); });
}

CBusBridge::~CBusBridge() {
    // No handler runs after this; then everything exported is taken down on the worker, which ends last.
    m_pConnection->leaveEventLoop();
    m_EventLoop.join();
    {
        std::lock_guard lock(m_Lock);
        std::vector<std::shared_ptr<CExport>> exports;
        for (auto& [sPath, pExport] : m_ByPath) exports.push_back(pExport);
        for (auto& pExport : exports) UnexportLocked(pExport);
        m_Publications.clear();
    }
    if (m_bNameOwned) {
        try {
            m_pConnection->releaseName(kServerBusName);
        } catch (const sdbus::Error&) {
        }
    }
    Post([this] {
        DetachViews();
        m_pClassFactory.reset();
    });
    {
        std::lock_guard lock(m_WorkLock);
        m_bStopping = true;
    }
    m_WorkReady.notify_all();
    m_Worker.join();
    m_pConnection.reset();
}

void CBusBridge::WakeEventLoop() {
    // A call waited for outside the event loop (the name's request or release) reads whatever else arrives
    // meanwhile into the connection's queue. The loop waits on the socket, so a client's call queued that
    // way (the very call that made the bus start this program, say) would wait for the next message to
    // come. A ping to ourselves is that message.
    try {
        auto pSelf = sdbus::createProxy(*m_pConnection, m_pConnection->getUniqueName(), "/");
        pSelf->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer").dontExpectReply();
    } catch (const sdbus::Error&) {
        // A broken connection has nothing queued worth waking for.
    }
}

void CBusBridge::Post(std::function<void()> task) {
    {
        std::lock_guard lock(m_WorkLock);
        m_Work.push_back(std::move(task));
    }
    m_WorkReady.notify_one();
}

void CBusBridge::WorkerMain() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_WorkLock);
            m_WorkReady.wait(lock, [this] { return m_bStopping || !m_Work.empty(); });
            if (m_Work.empty()) return;
            task = std::move(m_Work.front());
            m_Work.pop_front();
        }
        try {
            task();
        } catch (...) {
            // A failed signal or unregistration leaves the rest of the work to do.
        }
    }
}

std::shared_ptr<CExport> CBusBridge::ExportLocked(IUnknown* pIdentity, const char* szFixedPath, bool* pbNew) {
    *pbNew = false;
    if (szFixedPath != nullptr) {
        auto it = m_ByPath.find(szFixedPath);
        if (it != m_ByPath.end()) return it->second;
    } else {
        auto it = m_ByIdentity.lower_bound(pIdentity);
        if (it != m_ByIdentity.end() && it->first == pIdentity) return it->second;
    }
    auto pExport = std::make_shared<CExport>();
    pExport->sPath = szFixedPath ? szFixedPath : kObjectPathPrefix + std::to_string(m_nNextObject++);
    pExport->pIdentity = pIdentity;
    m_ByPath[pExport->sPath] = pExport;
    // An identity published at a fixed path and handed out later is handed out under that path.
    m_ByIdentity.emplace_hint(m_ByIdentity.upper_bound(pIdentity), pIdentity, pExport);
    *pbNew = true;
    return pExport;
}

HRESULT CBusBridge::ExportFor(IUnknown* pObject, const std::string& sClient, std::string* psPath) {
    CComPtr<IUnknown> pIdentity;
    HRESULT hr = pObject->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity));
    if (FAILED(hr)) return hr;
    bool bNew = false;
    std::shared_ptr<CExport> pExport;
    {
        std::lock_guard lock(m_Lock);
        pExport = ExportLocked(pIdentity, nullptr, &bNew);
        if (!sClient.empty()) ++pExport->Holds[sClient];
        *psPath = pExport->sPath;
    }
    return bNew ? Register(pExport) : S_OK;
}

std::shared_ptr<CExport> CBusBridge::Find(const std::string& sPath) {
    std::lock_guard lock(m_Lock);
    auto it = m_ByPath.find(sPath);
    return it != m_ByPath.end() ? it->second : nullptr;
}

HRESULT CBusBridge::ObjectAt(const std::string& sPath, IUnknown** ppObject) {
    *ppObject = nullptr;
    const std::size_t nRoot = std::char_traits<char>::length(kApplicationPath);
    if (sPath.size() > nRoot && sPath.compare(0, nRoot, kApplicationPath) == 0 && sPath[nRoot] == '/')
        return ResolveView(sPath, ppObject);
    std::lock_guard lock(m_Lock);
    auto it = m_ByPath.find(sPath);
    if (it == m_ByPath.end() || !it->second->pIdentity) return RPC_E_DISCONNECTED;
    *ppObject = it->second->pIdentity;
    (*ppObject)->AddRef();
    return S_OK;
}

std::size_t CBusBridge::ExportedCount() {
    std::lock_guard lock(m_Lock);
    return m_ByPath.size();
}

void CBusBridge::Release(const std::shared_ptr<CExport>& pExport, const std::string& sClient) {
    std::lock_guard lock(m_Lock);
    auto it = pExport->Holds.find(sClient);
    if (pExport->bGone || it == pExport->Holds.end()) return;
    if (--it->second == 0) pExport->Holds.erase(it);
    if (pExport->Holds.empty() && pExport->nPublications == 0) UnexportLocked(pExport);
}

void CBusBridge::ClientGone(const std::string& sClient) {
    std::lock_guard lock(m_Lock);
    std::vector<std::shared_ptr<CExport>> drop;
    for (auto& [sPath, pExport] : m_ByPath) {
        if (pExport->Holds.erase(sClient) > 0 && pExport->Holds.empty() && pExport->nPublications == 0)
            drop.push_back(pExport);
    }
    for (auto& pExport : drop) UnexportLocked(pExport);
}

void CBusBridge::UnexportLocked(const std::shared_ptr<CExport>& pExport) {
    if (pExport->bGone) return;
    pExport->bGone = true;
    m_Going.insert(pExport->sPath);
    auto itPath = m_ByPath.find(pExport->sPath);
    if (itPath != m_ByPath.end() && itPath->second == pExport) m_ByPath.erase(itPath);
    // Another export of the same identity (a publication beside a hand-out), if any, takes its place.
    const auto [itFirst, itEnd] = m_ByIdentity.equal_range(pExport->pIdentity);
    for (auto it = itFirst; it != itEnd; ++it) {
        if (it->second != pExport) continue;
        m_ByIdentity.erase(it);
        break;
    }
    Post([this, pExport] {
        std::vector<std::pair<CComPtr<IConnectionPoint>, DWORD>> advises;
        std::vector<std::unique_ptr<sdbus::IObject>> objects;
        std::map<std::string, std::string> lastSignals;
        {
            std::lock_guard lock(m_Lock);
            advises.swap(pExport->Advises);
            objects.swap(pExport->Objects);
            lastSignals.swap(pExport->LastSignalObjects);
        }
        for (auto& [pPoint, nCookie] : advises) pPoint->Unadvise(nCookie);
        objects.clear();
        {
            std::lock_guard lock(m_Lock);
            m_Going.erase(pExport->sPath);
        }
        for (auto& [sSignal, sHeld] : lastSignals)
            if (auto pHeld = Find(sHeld)) Release(pHeld, SignalHolder(pExport->sPath, sSignal));
        pExport->pIdentity.Release();
    });
}

HRESULT CBusBridge::Publish(DWORD nCookie, IUnknown* pObject, const std::u16string& sName) {
    CComPtr<IUnknown> pIdentity;
    HRESULT hr = pObject->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity));
    if (FAILED(hr)) return hr;
    const bool bApplication = EqualsNoCase(sName, kApplicationMonikerName);
    bool bNew = false;
    std::shared_ptr<CExport> pExport;
    bool bRequestName = false;
    {
        std::lock_guard lock(m_Lock);
        pExport = ExportLocked(pIdentity, bApplication ? kApplicationPath : nullptr, &bNew);
        ++pExport->nPublications;
        m_Publications[nCookie] = pExport;
        bRequestName = bApplication && !m_bNameOwned;
        if (bRequestName) m_bNameOwned = true;
    }
    if (bNew) hr = Register(pExport);
    if (SUCCEEDED(hr) && bRequestName) {
        try {
            m_pConnection->requestName(kServerBusName);
            WakeEventLoop();
        } catch (const sdbus::Error& e) {
            hr = e.getName() == "System.Error.EEXIST" ? HRESULT_FROM_WIN32(183) : E_ACCESSDENIED;
            std::lock_guard lock(m_Lock);
            m_bNameOwned = false;
        }
    }
    if (FAILED(hr)) Withdraw(nCookie);
    return hr;
}

void CBusBridge::Withdraw(DWORD nCookie) {
    bool bReleaseName = false;
    {
        std::lock_guard lock(m_Lock);
        auto it = m_Publications.find(nCookie);
        if (it == m_Publications.end()) return;
        std::shared_ptr<CExport> pExport = it->second;
        m_Publications.erase(it);
        if (pExport->nPublications > 0) --pExport->nPublications;
        if (pExport->sPath == kApplicationPath && pExport->nPublications == 0 && m_bNameOwned) {
            m_bNameOwned = false;
            bReleaseName = true;
        }
        if (pExport->nPublications == 0 && pExport->Holds.empty()) UnexportLocked(pExport);
    }
    if (bReleaseName) {
        // After the signals already queued: an event fired before the revocation (Stopping) still goes out
        // under the name its listeners match on.
        Post([this] {
            {
                // Published again in the meantime: the name stays.
                std::lock_guard lock(m_Lock);
                if (m_bNameOwned) return;
            }
            try {
                m_pConnection->releaseName(kServerBusName);
                WakeEventLoop();
            } catch (const sdbus::Error&) {
                // The bus forgets the name with the connection in any case.
            }
        });
    }
}

HRESULT CBusBridge::Disconnect(IUnknown* pObject) {
    CComPtr<IUnknown> pIdentity;
    HRESULT hr = pObject->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity));
    if (FAILED(hr)) return hr;
    std::lock_guard lock(m_Lock);
    std::vector<std::shared_ptr<CExport>> drop;
    const auto [itFirst, itEnd] = m_ByIdentity.equal_range(pIdentity);
    for (auto it = itFirst; it != itEnd; ++it) {
        it->second->Holds.clear();
        if (it->second->nPublications == 0) drop.push_back(it->second);
    }
    for (auto& pExport : drop) UnexportLocked(pExport);
    return S_OK;
}

void CBusBridge::QueueSignal(const std::weak_ptr<CExport>& pWeak, const InterfaceDescription& d,
                             const MemberDescription& m, DISPPARAMS* pParams) {
    // The arguments are copied (and their objects referenced) now: the firing thread does not wait for
    // the bus, and the event's objects may be released as soon as the firing returns.
    auto pArgs = std::make_shared<std::vector<VARIANT>>();
    const UINT nArgs = pParams ? pParams->cArgs : 0;
    for (UINT i = 0; i < nArgs; ++i) {
        VARIANT v;
        VariantInit(&v);
        VariantCopyInd(&v, &pParams->rgvarg[nArgs - 1 - i]);
        pArgs->push_back(v);
    }
    const std::string sInterface = kInterfacePrefix + std::string(d.szName);
    Post([this, pWeak, sInterface, &m, pArgs] {
        if (auto pExport = pWeak.lock()) SendSignal(pExport, sInterface, m, *pArgs);
        for (VARIANT& v : *pArgs) VariantClear(&v);
    });
}

void CBusBridge::SendSignal(const std::shared_ptr<CExport>& pExport, const std::string& sInterface,
                            const MemberDescription& m, std::vector<VARIANT>& args) {
    sdbus::IObject* pObject = nullptr;
    {
        std::lock_guard lock(m_Lock);
        // An export that is going still sends what was queued before it went: its objects leave the bus
        // only in the task queued after them.
        if (pExport->Objects.empty()) return;
        pObject = pExport->Objects.front().get();  // destroyed only on this thread
    }
    const std::string sHolder = SignalHolder(pExport->sPath, m.szName);
    CServerMapper mapper(*this, sHolder);
    sdbus::Signal signal = pObject->createSignal(sInterface, m.szName);
    for (unsigned i = 0; i < m.nParams && i < args.size(); ++i)
        if (FAILED(WriteTyped(RawMessage(signal), args[i], m.pParams[i].vt, mapper))) return;
    pObject->emitSignal(signal);

    std::string sPrevious;
    {
        std::lock_guard lock(m_Lock);
        std::string& sLast = pExport->LastSignalObjects[m.szName];
        sPrevious = sLast;
        sLast = mapper.Paths().empty() ? std::string() : mapper.Paths().front();
        if (sLast.empty()) pExport->LastSignalObjects.erase(m.szName);
    }
    // Further objects of the same signal are held only while it is sent.
    for (std::size_t i = 1; i < mapper.Paths().size(); ++i)
        if (auto pHeld = Find(mapper.Paths()[i])) Release(pHeld, sHolder);
    if (!sPrevious.empty())
        if (auto pHeld = Find(sPrevious)) Release(pHeld, sHolder);
}

HRESULT CServerMapper::PathOf(IUnknown* pObject, std::string* psPath) {
    HRESULT hr = m_Bridge.ExportFor(pObject, m_sClient, psPath);
    if (SUCCEEDED(hr)) m_Paths.push_back(*psPath);
    return hr;
}

HRESULT CServerMapper::ObjectOf(const std::string& sPath, IUnknown** ppObject) {
    return m_Bridge.ObjectAt(sPath, ppObject);
}

}  // namespace comrt::dbus
