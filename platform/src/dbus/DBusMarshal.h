// Values and failures on the bus: the one mapping between automation values and D-Bus values that the
// export side and the proxies share (docs/dbus.md lists it), and the error names that carry HRESULTs.
//
// The functions work on sd-bus messages directly, because the signatures are only known at run time from
// the interface descriptions; sdbus-c++ carries the connections, objects and calls around them.
#pragma once

#include <systemd/sd-bus.h>

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>
#include <string>

#include "comrt/dispatch.h"
#include "comrt/interfaces.h"

namespace comrt::dbus {

// The sd-bus message inside an sdbus-c++ message (the wrapper keeps it in a protected member).
sd_bus_message* RawMessage(const sdbus::Message& message);

// Failures travel as errors named "Corvane.Error.HRESULT_0x" followed by the HRESULT in 8 upper-case hexadecimal
// digits; the message is the code's system text.
std::string ErrorNameOf(HRESULT hr);
sdbus::Error MakeError(HRESULT hr);
// The HRESULT of an error reply: ours give their code back, the bus's own errors map onto the code a
// COM caller expects (docs/dbus.md), anything else is E_FAIL.
HRESULT HResultOfError(const std::string& sName);

// The D-Bus signature of a value of automation type vt in a typed position ("i" for VT_I4, "o" for objects,
// "ay" for VT_ARRAY | VT_UI1, "v" for VT_VARIANT ...); empty when the type has no mapping.
std::string SignatureOf(VARTYPE vt);

// How a member of a dual interface appears on its typed D-Bus interface "Corvane.<InterfaceName>":
// a property getter without arguments is the D-Bus property of its name (read-write when the matching
// putter takes only the value, which is then its setter); any other putter is the method "Set<Name>";
// everything else is the method of its own name, [in] parameters as inputs and [out] ones (the
// [out,retval] one included) as outputs in declaration order. Members with a type the mapping lacks are
// not on the typed interface (Corvane.Dispatch still reaches them).
enum class BusMemberForm { None, Property, PropertySetter, Method };
BusMemberForm FormOf(const InterfaceDescription& d, const MemberDescription& m, std::string* psName);

// Objects travel as object paths. The side that reads or writes them says what a path means.
class IObjectMapper {
public:
    // The path under which pObject (not null) is reachable by the peer; holds it for the peer as needed.
    virtual HRESULT PathOf(IUnknown* pObject, std::string* psPath) = 0;
    // The object behind a path the peer sent (not "/"), AddRef'ed.
    virtual HRESULT ObjectOf(const std::string& sPath, IUnknown** ppObject) = 0;

protected:
    ~IObjectMapper() = default;
};

// Appends value converted to vt in vt's typed form. DISP_E_TYPEMISMATCH when it does not convert,
// DISP_E_BADVARTYPE when vt has no mapping.
HRESULT WriteTyped(sd_bus_message* pMessage, const VARIANT& value, VARTYPE vt, IObjectMapper& mapper);
// Appends a D-Bus variant holding value in the form of its own type.
HRESULT WriteVariant(sd_bus_message* pMessage, const VARIANT& value, IObjectMapper& mapper);
// Reads the typed form of vt into *pValue (which receives a value of type vt).
HRESULT ReadTyped(sd_bus_message* pMessage, VARTYPE vt, VARIANT* pValue, IObjectMapper& mapper);
// Reads a D-Bus variant into *pValue, the type chosen by the variant's contents.
HRESULT ReadVariant(sd_bus_message* pMessage, VARIANT* pValue, IObjectMapper& mapper);

}  // namespace comrt::dbus
