// Class information on the bus. An exported object that answers IProvideClassInfo serves
// Corvane.IProvideClassInfo.GetClassInfo: its class identifier and the descriptions of its class's
// interfaces (members, DISPIDs, kinds, parameter types and names). A client reads them into descriptions of
// its own, so that it can drive an interface no module of its process describes (a plug-in's, whose library
// only the server loads).
//
// The reply's signature is kClassInfoSignature:
//   s                  the class identifier in brace form
//   a(sssya(...))      per interface: name, identifier, help text, kind (0 dual, 1 dispatch only), members
//     (siybusa(qbbs))  per member: name, DISPID, kind (0 method, 1 property get, 2 property put), local only,
//                      vtable slot, comma-separated parameter names, parameters
//       (qbbs)         per parameter: automation type, [out], [out,retval], interface identifier or ""
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>
#include <vector>

#include "comrt/dispatch.h"

namespace comrt::dbus {

inline constexpr const char* kClassInfoInterface = "Corvane.IProvideClassInfo";
inline constexpr const char* kClassInfoSignature = "sa(sssya(siybusa(qbbs)))";

// What a reply may hold at most; more is refused as malformed.
inline constexpr unsigned kMaxClassInterfaces = 64;
inline constexpr unsigned kMaxInterfaceMembers = 1024;
inline constexpr unsigned kMaxMemberParams = 32;
inline constexpr unsigned kMaxMemberSlot = 4096;

// Appends the class pClass describes (a coclass type information) with the descriptions of its
// interfaces; interfaces without a description are left out.
HRESULT WriteClassInfo(sd_bus_message* pReply, ITypeInfo* pClass);

// One interface read from a reply: a description with the storage it points into.
struct CRemoteInterface {
    InterfaceDescription d{};
    std::string sName;
    std::string sHelp;
    std::vector<std::string> MemberNames;
    std::vector<std::string> ParamNames;
    std::vector<std::vector<ParamDescription>> Params;
    std::vector<std::unique_ptr<IID>> ParamIids;
    std::vector<MemberDescription> Members;
};

struct CRemoteClass {
    CLSID clsid{};
    std::vector<std::unique_ptr<CRemoteInterface>> Interfaces;
};

// Reads what WriteClassInfo wrote. A reply that is not of that form, or whose descriptions are not sound
// (an unnamed member, an unknown kind, an [out,retval] parameter that is not the last [out] one, more than
// the limits above) gives DISP_E_TYPEMISMATCH and leaves *pClass empty. The members of dual interfaces
// read carry RemoteMemberInvoke as their invoke function: the process has no code of theirs.
HRESULT ReadClassInfo(sd_bus_message* pReply, CRemoteClass* pClass);

// The invoke function of members described by another process; it is never called through (E_NOTIMPL).
HRESULT RemoteMemberInvoke(void* pInterface, DISPPARAMS* pParams, VARIANT* pVarResult, UINT* puArgErr);
// Whether the description was read from another process.
bool IsRemoteDescription(const InterfaceDescription& d);

// The class type information of a reply from sSender, with its interfaces: those the process describes
// itself are used as they are, the others kept for the life of the process (one description per
// interface identifier). Kept per sender and class, so that a class is read once per server.
HRESULT ClassTypeInfoFromReply(sd_bus_message* pReply, const std::string& sSender, ITypeInfo** ppTI);
// A description of riid read from a server's class information, or null.
const InterfaceDescription* FindRemoteDescription(REFIID riid);

// The reply to Corvane.IProvideClassInfo.GetClassInfo on pIdentity.
void CallGetClassInfo(IUnknown* pIdentity, sd_bus_message* pCall);

}  // namespace comrt::dbus
