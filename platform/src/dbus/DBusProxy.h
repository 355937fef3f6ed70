// The client side's shared parts: the process's client connection, the mapping of paths to proxies, and
// the connection points of proxies (DBusProxyEvents.cpp).
#pragma once

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "DBusBridge.h"

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

}  // namespace comrt::dbus
