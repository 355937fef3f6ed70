// What the bridge's method handlers share: the guard that turns failures into D-Bus errors, owned
// variants for the length of a call, the parameter names of a member, and raw replies.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "DBusBridge.h"

namespace comrt::dbus {

// Every handler runs inside this guard: failures leave as D-Bus errors carrying their HRESULT, and no
// exception of ours crosses into the bus library.
template <class F>
void Guarded(F&& f) {
    CHandlerScope scope;
    try {
        f();
    } catch (const sdbus::Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw MakeError(E_OUTOFMEMORY);
    } catch (...) {
        throw MakeError(E_UNEXPECTED);
    }
}

inline void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw MakeError(hr);
}

// Owns a list of variants for the length of a call.
struct CVariants {
    std::vector<VARIANT> v;
    explicit CVariants(std::size_t n = 0) : v(n) {
        for (VARIANT& x : v) VariantInit(&x);
    }
    ~CVariants() {
        for (VARIANT& x : v) VariantClear(&x);
    }
    CVariants(const CVariants&) = delete;
    CVariants& operator=(const CVariants&) = delete;
};

struct CVariant {
    VARIANT v;
    CVariant() { VariantInit(&v); }
    ~CVariant() { VariantClear(&v); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
};

// The names of m's parameters in declaration order; "arg<n>" where the description has none.
std::vector<std::string> ParamNames(const MemberDescription& m);

// Whether pIdentity (an object's IUnknown) answers riid with itself rather than with another object.
bool AnswersItself(IUnknown* pIdentity, REFIID riid);
template <class I>
bool AnswersItself(IUnknown* pIdentity) {
    return AnswersItself(pIdentity, IidOf<I>());
}

// The described dual interfaces pIdentity (an object's IUnknown) answers with itself, which its path serves
// as typed D-Bus interfaces.
std::vector<const InterfaceDescription*> DualInterfacesOf(IUnknown* pIdentity);

// Builds the reply to pCall with fill (which appends the output values) and sends it on the call's bus.
template <class F>
void SendReply(sd_bus_message* pCall, F&& fill) {
    sd_bus_message* pRaw = nullptr;
    if (sd_bus_message_new_method_return(pCall, &pRaw) < 0) throw MakeError(E_OUTOFMEMORY);
    std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> pReply(pRaw, &sd_bus_message_unref);
    fill(pReply.get());
    if (sd_bus_send(nullptr, pReply.get(), nullptr) < 0) throw MakeError(RPC_E_DISCONNECTED);
}

}  // namespace comrt::dbus
