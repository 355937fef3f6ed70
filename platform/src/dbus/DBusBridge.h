// The export side of the bridge: one CBusBridge per bus connection keeps the table of exported objects,
// the references held for each client and the D-Bus objects that serve them.
//
// Locking: m_Lock guards the tables only. Nothing calls into sdbus-c++ while holding it, because the
// connection's event loop holds the library's own lock while a handler runs, and handlers take m_Lock.
// For the same reason D-Bus objects are destroyed and signals sent on the bridge's worker thread: a handler
// may drop the last reference of the very object it serves, and a thread that fires an event must never
// wait for the event loop.
#pragma once

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../RefCounted.h"
#include "DBusMarshal.h"
#include "DBusRelay.h"
#include "comrt/bus.h"
#include "comrt/comptr.h"
#include "comrt/dispatch.h"

namespace comrt::dbus {

inline constexpr const char* kDispatchInterface = "Corvane.Dispatch";
// ISpecifyPropertyPages is no automation interface: its one member has a D-Bus form of its own.
inline constexpr const char* kPropertyPagesInterface = "Corvane.ISpecifyPropertyPages";
// Nor is IEnumVARIANT, the enumerator of a collection's _NewEnum.
inline constexpr const char* kEnumInterface = "Corvane.IEnumVARIANT";
inline constexpr const char* kClassFactoryInterface = "Corvane.ClassFactory";
inline constexpr const char* kInterfacePrefix = "Corvane.";
// The longest object path a call may name, in bytes; the deepest view path is far shorter. Longer ones are
// refused before the library looks for an object: it walks every prefix of the path (time growing with the
// square of its length) and gives paths over 64 KiB no answer at all.
inline constexpr std::size_t kMaxObjectPathLength = 4096;

// Runs the connection's event loop until leaveEventLoop. A bus that goes away ends the loop quietly: the
// library's own loop thread would end the process with the exception.
void RunEventLoop(sdbus::IConnection& connection);

// True while the current thread runs a handler of the bridge; the local-server resolver refuses then, as
// a handler that asked the bus for a class would wait for its own event loop.
bool InBridgeHandler();

// The bridge's small helper objects are counted as the runtime's are.
using internal::CRefCounted;

class CBusBridge;

// One exported object identity.
struct CExport {
    std::string sPath;
    CComPtr<IUnknown> pIdentity;
    // Guarded by the bridge's m_Lock:
    std::map<std::string, unsigned> Holds;  // client unique name -> references handed to it
    unsigned nPublications = 0;             // running object table registrations exported here
    bool bGone = false;
    std::set<std::string> Interfaces;                      // D-Bus interface names served
    std::vector<std::unique_ptr<sdbus::IObject>> Objects;  // one per registration round
    std::vector<std::pair<CComPtr<IConnectionPoint>, DWORD>> Advises;
    std::map<std::string, std::string> LastSignalObjects;  // signal -> path held for the last one sent
};

class CBusBridge : public std::enable_shared_from_this<CBusBridge> {
public:
    CBusBridge(std::unique_ptr<sdbus::IConnection> pConnection, BusKind kind);
    ~CBusBridge();
    CBusBridge(const CBusBridge&) = delete;
    CBusBridge& operator=(const CBusBridge&) = delete;

    BusKind Kind() const { return m_Kind; }
    sdbus::IConnection& Connection() { return *m_pConnection; }

    // The running object table publisher's three operations.
    HRESULT Publish(DWORD nCookie, IUnknown* pObject, const std::u16string& sName);
    void Withdraw(DWORD nCookie);
    HRESULT Disconnect(IUnknown* pObject);

    // Exports pObject (once per identity) and holds one reference for sClient (none when empty).
    HRESULT ExportFor(IUnknown* pObject, const std::string& sClient, std::string* psPath);
    // The exported object at sPath, or null.
    std::shared_ptr<CExport> Find(const std::string& sPath);
    // The object exported at sPath, or the object a view path below the application names, AddRef'ed;
    // RPC_E_DISCONNECTED when nothing is exported there.
    HRESULT ObjectAt(const std::string& sPath, IUnknown** ppObject);
    // Drops one of sClient's references; the object goes when nobody holds or publishes it.
    void Release(const std::shared_ptr<CExport>& pExport, const std::string& sClient);
    std::size_t ExportedCount();

    // Adds the typed D-Bus interface of d to an exported object when it is not served yet. The interface
    // counts as served only once the library has registered it: a refusal gives CO_E_OBJNOTCONNECTED with
    // the library's reason in *psWhy, and the next call tries again.
    HRESULT EnsureInterface(const std::shared_ptr<CExport>& pExport, const InterfaceDescription& d, std::string* psWhy);
    // Sends a signal on the worker thread; the arguments are copied now.
    void QueueSignal(const std::weak_ptr<CExport>& pExport, const InterfaceDescription& d, const MemberDescription& m,
                     DISPPARAMS* pParams);

private:
    std::shared_ptr<CExport> ExportLocked(IUnknown* pIdentity, const char* szFixedPath, bool* pbNew);
    HRESULT Register(const std::shared_ptr<CExport>& pExport);
    // Takes the object off the tables and leaves its D-Bus objects, subscriptions and reference to the
    // worker. Called with m_Lock held.
    void UnexportLocked(const std::shared_ptr<CExport>& pExport);
    void ClientGone(const std::string& sClient);
    void WakeEventLoop();
    void Post(std::function<void()> task);
    void WorkerMain();
    void SendSignal(const std::shared_ptr<CExport>& pExport, const std::string& sInterface, const MemberDescription& m,
                    std::vector<VARIANT>& args);
    // Calls member m of d on the exported object: values holds every parameter in declaration order
    // ([out] ones receive their results there), the [out,retval] value goes to *pResult.
    HRESULT InvokeMember(IUnknown* pIdentity, const InterfaceDescription& d, const MemberDescription& m,
                         std::vector<VARIANT>& values, VARIANT* pResult);
    // The handlers shared by exported objects and views: pCall is the method call, answered here.
    void CallTyped(IUnknown* pIdentity, const InterfaceDescription& d, const MemberDescription& m,
                   sd_bus_message* pCall, IObjectMapper& mapper);
    void CallInvoke(IUnknown* pIdentity, sd_bus_message* pCall, IObjectMapper& mapper);
    void CallGetIDsOfNames(IUnknown* pIdentity, sd_bus_message* pCall);
    // sOwnPath answers for the object itself; the typed interface asked for is added to pExport (when
    // there is one) if it was not served yet.
    void CallQueryInterface(IUnknown* pIdentity, sd_bus_message* pCall, IObjectMapper& mapper,
                            const std::string& sOwnPath, const std::shared_ptr<CExport>& pExport);

    // Views (DBusViews.cpp): the objects reachable from the application object, looked up by path on
    // every call and held by nobody. Attached before the event loop starts, detached on the worker.
    void AttachViews();
    void DetachViews();
    HRESULT ResolveView(std::string_view sPath, IUnknown** ppObject);
    // The object one path segment names below pObject, whose typed interfaces are typed: the object-valued
    // property of that name, or the item at that position of a collection.
    HRESULT Step(IUnknown* pObject, const std::vector<const InterfaceDescription*>& typed, std::string_view sSegment,
                 IUnknown** ppChild);
    // The property sName (its name on the bus) of one of the typed interfaces of pObject.
    HRESULT GetPropertyByName(IUnknown* pObject, const std::vector<const InterfaceDescription*>& typed,
                              std::string_view sName, VARIANT* pResult);
    // The segments below an object: its object-valued properties that hold an object now and, for a
    // collection (an indexed default property and a Count), its positions.
    std::vector<std::string> ChildrenOf(IUnknown* pObject, const std::vector<const InterfaceDescription*>& typed);
    static int OnViewCall(sd_bus_message* pCall, void* pUserData, sd_bus_error* pError);
    // Calls on an object that is being taken down: its D-Bus object leaves one interface at a time, and a
    // call in between would find the object without the interface it calls.
    static int OnGoingCall(sd_bus_message* pCall, void* pUserData, sd_bus_error* pError);
    // Sees every message before any object does: a call on a path longer than kMaxObjectPathLength is
    // refused at once.
    static int OnFilter(sd_bus_message* pMessage, void* pUserData, sd_bus_error* pError);
    // Puts the relay in front of the library (DBusRelay.h), so that calls on paths too long for the
    // library are answered too; without one the bridge works on, and those callers wait for their time-out.
    void InsertRelay();
    static int OnEnumerateViews(sd_bus* pBus, const char* szPrefix, void* pUserData, char*** pppNodes,
                                sd_bus_error* pError);
    void ServeView(sd_bus_message* pCall);

    // The D-Bus side of one object (DBusExport.cpp).
    std::unique_ptr<sdbus::IObject> BuildObject(const std::shared_ptr<CExport>& pExport,
                                                const std::vector<const InterfaceDescription*>& typed,
                                                bool bWithDispatch);
    void AddDispatchInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak);
    void AddTypedInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak, const InterfaceDescription& d);
    void AddSignals(sdbus::IObject& object, const InterfaceDescription& d);
    void AddPropertyPagesInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak);
    void AddClassInfoInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak);
    void CallGetPages(IUnknown* pIdentity, sd_bus_message* pCall);
    void AddEnumInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak);
    void Subscribe(const std::shared_ptr<CExport>& pExport, const InterfaceDescription& d);
    std::unique_ptr<sdbus::IObject> BuildClassFactory();

    // Declared before the connection so that it ends after it, whichever way the bridge ends.
    std::unique_ptr<CBusRelay> m_pRelay;
    std::unique_ptr<sdbus::IConnection> m_pConnection;
    const BusKind m_Kind;

    std::mutex m_Lock;
    // Every export of each identity, the first made first: a hand-out names the first (a publication beside
    // a hand-out makes a second), and when one goes the next takes its place without a walk over all paths.
    std::multimap<IUnknown*, std::shared_ptr<CExport>> m_ByIdentity;
    std::map<std::string, std::shared_ptr<CExport>> m_ByPath;
    std::map<DWORD, std::shared_ptr<CExport>> m_Publications;
    std::set<std::string> m_Going;  // paths unexported whose D-Bus objects are not destroyed yet
    unsigned long long m_nNextObject = 1;
    bool m_bNameOwned = false;

    std::mutex m_WorkLock;
    std::condition_variable m_WorkReady;
    std::deque<std::function<void()>> m_Work;
    bool m_bStopping = false;
    std::thread m_Worker;
    std::thread m_EventLoop;

    std::unique_ptr<sdbus::IObject> m_pClassFactory;
    sd_bus_slot* m_pViewSlot = nullptr;
    sd_bus_slot* m_pGoingSlot = nullptr;
    sd_bus_slot* m_pViewEnumerator = nullptr;
    sd_bus_slot* m_pFilter = nullptr;
};

// The bridge of this process, or null (DBusAttach.cpp).
std::shared_ptr<CBusBridge> CurrentBridge();

// Marks the current thread as running a bridge handler for the lifetime of the guard.
class CHandlerScope {
public:
    CHandlerScope();
    ~CHandlerScope();
    CHandlerScope(const CHandlerScope&) = delete;
    CHandlerScope& operator=(const CHandlerScope&) = delete;
};

// Objects written to a reply are exported and held for the caller; paths read from a call are the
// bridge's own objects.
class CServerMapper final : public IObjectMapper {
public:
    CServerMapper(CBusBridge& bridge, std::string sClient) : m_Bridge(bridge), m_sClient(std::move(sClient)) {}
    HRESULT PathOf(IUnknown* pObject, std::string* psPath) override;
    HRESULT ObjectOf(const std::string& sPath, IUnknown** ppObject) override;
    const std::vector<std::string>& Paths() const { return m_Paths; }

private:
    CBusBridge& m_Bridge;
    std::string m_sClient;
    std::vector<std::string> m_Paths;
};

}  // namespace comrt::dbus
