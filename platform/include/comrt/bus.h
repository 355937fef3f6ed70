// The out-of-process bridge over D-Bus: what the server calls to make its objects reachable from other
// processes, and what clients use to reach them. docs/dbus.md describes the shape on the bus (names, paths,
// interfaces, the value mapping and the error names).
//
// Server side: CoAttachBus connects the bridge to a bus. From then on a registration in the running object
// table under the application's item moniker name exports that object at kApplicationPath and owns
// kServerBusName (revoking reverses both), class objects registered with the runtime are served through
// the class factory at kServerRootPath, and every object handed to a client is exported at a path of its
// own and held for that client until it releases it or leaves the bus.
//
// Client side: CoCreateInstance with CLSCTX_LOCAL_SERVER asks the running server when no class of this
// process or library answers; the objects come back as proxies, whose IConnectionPointContainer turns the
// object's signals into events on the sinks advised to it. The client's bus is the session bus unless
// CORVANE_HARKWELL_BUS=system (or CoSetClientBus) says otherwise.
#pragma once

#include <cstddef>

#include "comrt/interfaces.h"

namespace comrt {

enum class BusKind { Session, System };

inline constexpr const char* kServerBusName = "Corvane.HarkwellServer";
inline constexpr const char* kServerRootPath = "/Corvane/HarkwellServer";
inline constexpr const char* kApplicationPath = "/Corvane/HarkwellServer/Application";
inline constexpr const char* kObjectPathPrefix = "/Corvane/HarkwellServer/Objects/";
// The running object table name (an item moniker's display name) that is published at kApplicationPath.
inline constexpr const char16_t* kApplicationMonikerName = u"!{4DBD069D-7386-42A4-9A0E-13BA54BD19F9}";
// The environment variable that chooses the client's bus: "system", "session" (the default), or "none",
// which keeps the process's clients off the buses (local-server creation then finds no server).
inline constexpr const char* kClientBusVariable = "CORVANE_HARKWELL_BUS";

// Connects the bridge to the bus (one bridge per process) and starts serving. S_FALSE when the bridge was
// attached already (to the bus it is on); CO_E_SERVER_EXEC_FAILURE when the bus cannot be reached.
COMRT_API HRESULT CoAttachBus(BusKind kind);
// Withdraws everything the bridge exports, releases every reference it holds for clients and the bus name,
// and closes its connection. Nothing happens when no bridge is attached.
COMRT_API void CoDetachBus();
// The number of objects the bridge exports now (the class factory not counted); 0 without a bridge.
COMRT_API std::size_t CoGetExportedObjectCount();

// The bus clients use; the environment decides until this is called.
COMRT_API BusKind CoGetClientBus();
COMRT_API void CoSetClientBus(BusKind kind);
// A proxy for the object the server (kServerBusName) exports at szPath, for riid. RPC_E_DISCONNECTED when no
// server runs or nothing is exported there; E_NOINTERFACE when the object does not answer riid.
COMRT_API HRESULT CoGetBusObject(const char* szPath, REFIID riid, void** ppv);
// How long the client's calls over the bus wait for their answer, in milliseconds (the bus's default of 25
// seconds until this is called), for a call known to run longer; RPC_E_DISCONNECTED without a bus.
COMRT_API HRESULT CoSetBusCallTimeout(DWORD nMilliseconds);

// One property read of CoGetBusProperties: the object's path (an exported object or a view), the described
// dual interface the property belongs to, and the property's name on the bus.
struct BusPropertyRead {
    const char* szPath;
    const IID* piid;
    const char* szProperty;
};
// Reads nCount properties of objects of the running server with every read sent before the first answer is
// awaited, so that many reads cost the server's and the bus's work for them and about one round trip of
// waiting, where one call after the other waits a round trip each. pResults[i] receives each read's result
// and pValues[i] its value (initialised here, cleared by the caller); object-valued properties are not read
// (E_NOTIMPL). RPC_E_DISCONNECTED when no server runs; S_OK once every read has its result.
COMRT_API HRESULT CoGetBusProperties(std::size_t nCount, const BusPropertyRead* pReads, HRESULT* pResults,
                                     VARIANT* pValues);

}  // namespace comrt
