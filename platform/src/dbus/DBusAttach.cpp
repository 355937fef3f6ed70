// Attaching the bridge to a bus: the one bridge of the process and the running object table publisher
// that feeds it.
#include <mutex>

#include "DBusBridge.h"
#include "DBusSessionBus.h"
#include "comrt/runningobjects.h"

namespace comrt::dbus {
namespace {

std::mutex g_BridgeLock;
std::shared_ptr<CBusBridge> g_pBridge;

HRESULT PublishRunningObject(DWORD nCookie, DWORD, IUnknown* pObject, const std::u16string& sDisplayName) {
    auto pBridge = CurrentBridge();
    return pBridge ? pBridge->Publish(nCookie, pObject, sDisplayName) : S_OK;
}

void WithdrawRunningObject(DWORD nCookie) {
    if (auto pBridge = CurrentBridge()) pBridge->Withdraw(nCookie);
}

HRESULT DisconnectObject(IUnknown* pObject) {
    auto pBridge = CurrentBridge();
    return pBridge ? pBridge->Disconnect(pObject) : S_OK;
}

const RunningObjectPublisher kPublisher{&PublishRunningObject, &WithdrawRunningObject, &DisconnectObject};

}  // namespace

std::shared_ptr<CBusBridge> CurrentBridge() {
    std::lock_guard lock(g_BridgeLock);
    return g_pBridge;
}

}  // namespace comrt::dbus

namespace comrt {

HRESULT CoAttachBus(BusKind kind) {
    using namespace comrt::dbus;
    std::lock_guard lock(g_BridgeLock);
    if (g_pBridge) return S_FALSE;
    try {
        std::unique_ptr<sdbus::IConnection> pConnection =
            kind == BusKind::System ? sdbus::createSystemBusConnection() : OpenSessionBus();
        g_pBridge = std::make_shared<CBusBridge>(std::move(pConnection), kind);
    } catch (const sdbus::Error&) {
        return CO_E_SERVER_EXEC_FAILURE;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    CoSetRunningObjectPublisher(&kPublisher);
    return S_OK;
}

void CoDetachBus() {
    using namespace comrt::dbus;
    std::shared_ptr<CBusBridge> pBridge;
    {
        std::lock_guard lock(g_BridgeLock);
        pBridge = std::move(g_pBridge);
        if (pBridge) CoSetRunningObjectPublisher(nullptr);
    }
    // The bridge ends here unless a firing thread holds it for a moment; its destructor waits for its
    // own threads, never for the caller's.
    pBridge.reset();
}

std::size_t CoGetExportedObjectCount() {
    auto pBridge = comrt::dbus::CurrentBridge();
    return pBridge ? pBridge->ExportedCount() : 0;
}

}  // namespace comrt
