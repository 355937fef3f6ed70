// The D-Bus face of an exported object: the generic Corvane.Dispatch interface, one typed interface per
// described dual interface the object answers, signals for its outgoing interfaces, and the class factory.
// The calls these interfaces carry into the object are in DBusExportCalls.cpp.
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "DBusBridge.h"
#include "DBusClassInfo.h"
#include "DBusHandlers.h"
#include "comrt/text.h"

namespace comrt::dbus {

std::vector<std::string> ParamNames(const MemberDescription& m) {
    std::vector<std::string> names;
    std::string_view list = m.szParamNames ? m.szParamNames : "";
    while (!list.empty() && names.size() < m.nParams) {
        const std::size_t comma = list.find(',');
        names.emplace_back(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    while (names.size() < m.nParams) names.push_back("arg" + std::to_string(names.size()));
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i].empty()) names[i] = "arg" + std::to_string(i);
    return names;
}

bool AnswersItself(IUnknown* pIdentity, REFIID riid) {
    CComPtr<IUnknown> pInterface, pInterfaceIdentity;
    if (FAILED(pIdentity->QueryInterface(riid, reinterpret_cast<void**>(&pInterface))) || !pInterface) return false;
    pInterface->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pInterfaceIdentity));
    // An interface the object hands to another object is that object's, not this one's.
    return pInterfaceIdentity == pIdentity;
}

std::vector<const InterfaceDescription*> DualInterfacesOf(IUnknown* pIdentity) {
    std::vector<const InterfaceDescription*> typed;
    for (const InterfaceDescription* d : GetInterfaceDescriptions())
        if (d->kind == InterfaceKind::Dual && AnswersItself(pIdentity, d->iid)) typed.push_back(d);
    return typed;
}

namespace {

// The sender of the call a property handler serves.
std::string CurrentSender(const sdbus::Message& message) {
    sd_bus_message* pCall = sd_bus_get_current_message(sd_bus_message_get_bus(RawMessage(message)));
    const char* szSender = pCall ? sd_bus_message_get_sender(pCall) : nullptr;
    return szSender ? szSender : "";
}

// sd-bus runs a property's getter again, for the same call, when objects were exported while it ran (it then
// looks the path up anew): a getter whose value is an object that the first run exported for the caller would
// export one more object on every run, and the call would never end. The paths the first run handed out for
// the call being served are kept here (on the connection's thread, which runs the getters; paths only, so no
// object outlives the call): a getter run again for that call writes its value with those paths, exporting
// nothing and holding nothing once more for the caller.
struct CPropertyGetRuns {
    sd_bus_message* pCall = nullptr;
    std::uint64_t nCookie = 0;
    std::string sSender;
    std::vector<std::pair<std::pair<const void*, const MemberDescription*>, std::vector<std::string>>> Paths;
};
thread_local CPropertyGetRuns t_PropertyGetRuns;

// The runs of the call that reply answers, begun afresh when it is another call than the last one.
CPropertyGetRuns& PropertyGetRunsOf(const sdbus::Message& reply, const std::string& sSender) {
    sd_bus_message* pCall = sd_bus_get_current_message(sd_bus_message_get_bus(RawMessage(reply)));
    std::uint64_t nCookie = 0;
    if (pCall != nullptr) sd_bus_message_get_cookie(pCall, &nCookie);
    CPropertyGetRuns& runs = t_PropertyGetRuns;
    if (runs.pCall != pCall || runs.nCookie != nCookie || runs.sSender != sSender) {
        runs.Paths.clear();
        runs.pCall = pCall;
        runs.nCookie = nCookie;
        runs.sSender = sSender;
    }
    return runs;
}

// Hands out the paths a first run handed out, in their order, for a getter run again.
class CReplayMapper final : public IObjectMapper {
public:
    explicit CReplayMapper(const std::vector<std::string>& paths) : m_Paths(paths) {}
    HRESULT PathOf(IUnknown*, std::string* psPath) override {
        if (m_nNext >= m_Paths.size()) return E_UNEXPECTED;
        *psPath = m_Paths[m_nNext++];
        return S_OK;
    }
    HRESULT ObjectOf(const std::string&, IUnknown** ppObject) override {
        *ppObject = nullptr;
        return E_NOTIMPL;
    }

private:
    const std::vector<std::string>& m_Paths;
    std::size_t m_nNext = 0;
};

// Receives the events of one outgoing interface of an exported object and sends them as signals.
class CEventSink final : public CRefCounted<IDispatch> {
public:
    CEventSink(std::weak_ptr<CBusBridge> pBridge, std::weak_ptr<CExport> pExport, const InterfaceDescription& d)
        : m_pBridge(std::move(pBridge)), m_pExport(std::move(pExport)), m_Description(d) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<IDispatch>() || riid == m_Description.iid) return HandOut(ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo) *ppTInfo = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        return DispatchGetIDsOfNames(m_Description, rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        const MemberDescription* m = m_Description.Find(dispIdMember, MemberKind::Method);
        if (m == nullptr) return DISP_E_MEMBERNOTFOUND;
        try {
            if (auto pBridge = m_pBridge.lock()) pBridge->QueueSignal(m_pExport, m_Description, *m, pDispParams);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    ~CEventSink() = default;
    std::weak_ptr<CBusBridge> m_pBridge;
    std::weak_ptr<CExport> m_pExport;
    const InterfaceDescription& m_Description;
};

}  // namespace

namespace {

CComPtr<IUnknown> IdentityOf(std::mutex& lock, const std::shared_ptr<CExport>& pExport) {
    std::lock_guard guard(lock);
    if (pExport->bGone || !pExport->pIdentity) throw MakeError(RPC_E_DISCONNECTED);
    return pExport->pIdentity;
}

}  // namespace

void CBusBridge::AddDispatchInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak) {
    auto locked = [pWeak] {
        auto p = pWeak.lock();
        if (!p) throw MakeError(RPC_E_DISCONNECTED);
        return p;
    };
    object.registerMethod(kDispatchInterface, "Invoke", "iuav", {"dispid", "flags", "args"}, "vav", {"result", "outs"},
                          [this, locked](sdbus::MethodCall call) {
                              Guarded([&] {
                                  CServerMapper mapper(*this, call.getSender());
                                  CallInvoke(IdentityOf(m_Lock, locked()), RawMessage(call), mapper);
                              });
                          });
    object.registerMethod(kDispatchInterface, "GetIDsOfNames", "as", {"names"}, "ai", {"dispids"},
                          [this, locked](sdbus::MethodCall call) {
                              Guarded([&] { CallGetIDsOfNames(IdentityOf(m_Lock, locked()), RawMessage(call)); });
                          });
    object.registerMethod(kDispatchInterface, "QueryInterface", "s", {"iid"}, "bo", {"answered", "object"},
                          [this, locked](sdbus::MethodCall call) {
                              Guarded([&] {
                                  auto pExport = locked();
                                  CServerMapper mapper(*this, call.getSender());
                                  CallQueryInterface(IdentityOf(m_Lock, pExport), RawMessage(call), mapper,
                                                     pExport->sPath, pExport);
                              });
                          });
    object.registerMethod(kDispatchInterface, "Release", "", {}, "", {}, [this, locked](sdbus::MethodCall call) {
        Guarded([&] {
            Release(locked(), call.getSender());
            call.createReply().send();
        });
    });
}

void CBusBridge::AddTypedInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak,
                                   const InterfaceDescription& d) {
    const std::string sInterface = kInterfacePrefix + std::string(d.szName);
    auto locked = [pWeak] {
        auto p = pWeak.lock();
        if (!p) throw MakeError(RPC_E_DISCONNECTED);
        return p;
    };
    std::set<std::string> used;
    for (unsigned i = 0; i < d.nMembers; ++i) {
        const MemberDescription& m = d.pMembers[i];
        std::string sName;
        const BusMemberForm form = FormOf(d, m, &sName);
        if (form == BusMemberForm::None || form == BusMemberForm::PropertySetter) continue;
        if (!used.insert(sName).second) continue;
        if (form == BusMemberForm::Property) {
            const MemberDescription* pPut = d.Find(m.dispid, MemberKind::PropertyPut);
            std::string sPutName;
            if (pPut != nullptr && FormOf(d, *pPut, &sPutName) != BusMemberForm::PropertySetter) pPut = nullptr;
            auto getter = [this, locked, &d, &m](sdbus::PropertyGetReply& reply) {
                Guarded([&] {
                    auto pExport = locked();
                    const std::string sSender = CurrentSender(reply);
                    CPropertyGetRuns& runs = PropertyGetRunsOf(reply, sSender);
                    const auto key = std::make_pair(static_cast<const void*>(pExport.get()), &m);
                    const std::vector<std::string>* pFirstRun = nullptr;
                    for (const auto& [runKey, paths] : runs.Paths)
                        if (runKey == key) pFirstRun = &paths;
                    CComPtr<IUnknown> pIdentity = IdentityOf(m_Lock, pExport);
                    CVariants values(m.nParams);
                    CVariant result;
                    ThrowIfFailed(InvokeMember(pIdentity, d, m, values.v, &result.v));
                    if (pFirstRun != nullptr) {
                        // Run again for the same call: its objects are exported and held for the caller.
                        CReplayMapper replay(*pFirstRun);
                        ThrowIfFailed(WriteTyped(RawMessage(reply), result.v, m.pParams[0].vt, replay));
                        return;
                    }
                    CServerMapper mapper(*this, sSender);
                    ThrowIfFailed(WriteTyped(RawMessage(reply), result.v, m.pParams[0].vt, mapper));
                    runs.Paths.emplace_back(key, mapper.Paths());
                });
            };
            const std::string sSignature = SignatureOf(m.pParams[0].vt);
            // Objects tell their clients of changes through their own events, never PropertiesChanged.
            sdbus::Flags flags;
            flags.set(sdbus::Flags::EMITS_NO_SIGNAL);
            if (pPut != nullptr) {
                auto setter = [this, locked, &d, pPut](sdbus::PropertySetCall& value) {
                    Guarded([&] {
                        auto pExport = locked();
                        CComPtr<IUnknown> pIdentity = IdentityOf(m_Lock, pExport);
                        CServerMapper mapper(*this, CurrentSender(value));
                        CVariants values(1);
                        CVariant result;
                        ThrowIfFailed(ReadTyped(RawMessage(value), pPut->pParams[0].vt, &values.v[0], mapper));
                        ThrowIfFailed(InvokeMember(pIdentity, d, *pPut, values.v, &result.v));
                    });
                };
                object.registerProperty(sInterface, sName, sSignature, getter, setter, flags);
            } else {
                object.registerProperty(sInterface, sName, sSignature, getter, flags);
            }
            continue;
        }
        std::string sIn, sOut;
        std::vector<std::string> inNames, outNames;
        const std::vector<std::string> names = ParamNames(m);
        for (unsigned p = 0; p < m.nParams; ++p) {
            (m.pParams[p].bOut ? sOut : sIn) += SignatureOf(m.pParams[p].vt);
            (m.pParams[p].bOut ? outNames : inNames).push_back(names[p]);
        }
        object.registerMethod(sInterface, sName, sIn, inNames, sOut, outNames,
                              [this, locked, &d, &m](sdbus::MethodCall call) {
                                  Guarded([&] {
                                      CServerMapper mapper(*this, call.getSender());
                                      CallTyped(IdentityOf(m_Lock, locked()), d, m, RawMessage(call), mapper);
                                  });
                              });
    }
}

void CBusBridge::AddSignals(sdbus::IObject& object, const InterfaceDescription& d) {
    const std::string sInterface = kInterfacePrefix + std::string(d.szName);
    for (unsigned i = 0; i < d.nMembers; ++i) {
        const MemberDescription& m = d.pMembers[i];
        std::string sSignature;
        for (unsigned p = 0; p < m.nParams; ++p) sSignature += SignatureOf(m.pParams[p].vt);
        object.registerSignal(sInterface, m.szName, sSignature, ParamNames(m));
    }
}

void CBusBridge::AddPropertyPagesInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak) {
    object.registerMethod(kPropertyPagesInterface, "GetPages", "", {}, "as", {"pages"},
                          [this, pWeak](sdbus::MethodCall call) {
                              Guarded([&] {
                                  auto pExport = pWeak.lock();
                                  if (!pExport) throw MakeError(RPC_E_DISCONNECTED);
                                  CallGetPages(IdentityOf(m_Lock, pExport), RawMessage(call));
                              });
                          });
}

void CBusBridge::AddClassInfoInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak) {
    object.registerMethod(kClassInfoInterface, "GetClassInfo", "", {}, kClassInfoSignature, {"clsid", "interfaces"},
                          [this, pWeak](sdbus::MethodCall call) {
                              Guarded([&] {
                                  auto pExport = pWeak.lock();
                                  if (!pExport) throw MakeError(RPC_E_DISCONNECTED);
                                  CallGetClassInfo(IdentityOf(m_Lock, pExport), RawMessage(call));
                              });
                          });
}

void CBusBridge::AddEnumInterface(sdbus::IObject& object, const std::weak_ptr<CExport>& pWeak) {
    // Next gives at most this many items in one reply, so a client cannot make one reply of any size.
    constexpr uint32_t kMaxItems = 4096;
    auto enumerator = [this, pWeak] {
        auto pExport = pWeak.lock();
        if (!pExport) throw MakeError(RPC_E_DISCONNECTED);
        CComQIPtr<IEnumVARIANT> pEnum(IdentityOf(m_Lock, pExport).p);
        if (!pEnum) throw MakeError(E_NOINTERFACE);
        return pEnum;
    };
    object.registerMethod(kEnumInterface, "Next", "u", {"count"}, "av", {"items"},
                          [this, enumerator](sdbus::MethodCall call) {
                              Guarded([&] {
                                  CComPtr<IEnumVARIANT> pEnum = enumerator();
                                  uint32_t nCount = 0;
                                  call >> nCount;
                                  if (nCount > kMaxItems) throw MakeError(E_INVALIDARG);
                                  CVariants items(nCount);
                                  ULONG nFetched = 0;
                                  ThrowIfFailed(pEnum->Next(nCount, items.v.data(), &nFetched));
                                  CServerMapper mapper(*this, call.getSender());
                                  SendReply(RawMessage(call), [&](sd_bus_message* pReply) {
                                      if (sd_bus_message_open_container(pReply, 'a', "v") < 0)
                                          throw MakeError(E_OUTOFMEMORY);
                                      for (ULONG i = 0; i < nFetched && i < nCount; ++i)
                                          ThrowIfFailed(WriteVariant(pReply, items.v[i], mapper));
                                      if (sd_bus_message_close_container(pReply) < 0) throw MakeError(E_OUTOFMEMORY);
                                  });
                              });
                          });
    object.registerMethod(kEnumInterface, "Skip", "u", {"count"}, "b", {"all"}, [enumerator](sdbus::MethodCall call) {
        Guarded([&] {
            uint32_t nCount = 0;
            call >> nCount;
            const HRESULT hr = enumerator()->Skip(nCount);
            ThrowIfFailed(hr);
            auto reply = call.createReply();
            reply << (hr == S_OK);
            reply.send();
        });
    });
    object.registerMethod(kEnumInterface, "Reset", "", {}, "", {}, [enumerator](sdbus::MethodCall call) {
        Guarded([&] {
            ThrowIfFailed(enumerator()->Reset());
            call.createReply().send();
        });
    });
    object.registerMethod(kEnumInterface, "Clone", "", {}, "o", {"clone"}, [this, enumerator](sdbus::MethodCall call) {
        Guarded([&] {
            CComPtr<IEnumVARIANT> pClone;
            ThrowIfFailed(enumerator()->Clone(&pClone));
            if (!pClone) throw MakeError(E_UNEXPECTED);
            CServerMapper mapper(*this, call.getSender());
            std::string sPath;
            ThrowIfFailed(mapper.PathOf(pClone, &sPath));
            auto reply = call.createReply();
            reply << sdbus::ObjectPath(sPath);
            reply.send();
        });
    });
}

HRESULT CBusBridge::Register(const std::shared_ptr<CExport>& pExport) {
    CComPtr<IUnknown> pIdentity;
    {
        std::lock_guard lock(m_Lock);
        if (pExport->bGone) return RPC_E_DISCONNECTED;
        pIdentity = pExport->pIdentity;
    }
    const std::vector<const InterfaceDescription*> typed = DualInterfacesOf(pIdentity);
    std::vector<std::pair<const InterfaceDescription*, CComPtr<IConnectionPoint>>> outgoing;
    if (CComQIPtr<IConnectionPointContainer> pContainer(pIdentity.p); pContainer) {
        for (const InterfaceDescription* d : GetInterfaceDescriptions()) {
            CComPtr<IConnectionPoint> pPoint;
            if (d->kind != InterfaceKind::Dual && SUCCEEDED(pContainer->FindConnectionPoint(d->iid, &pPoint)) && pPoint)
                outgoing.emplace_back(d, pPoint);
        }
    }
    std::unique_ptr<sdbus::IObject> pObject;
    std::set<std::string> interfaces{kDispatchInterface};
    try {
        pObject = sdbus::createObject(*m_pConnection, pExport->sPath);
        AddDispatchInterface(*pObject, pExport);
        for (const InterfaceDescription* d : typed) {
            AddTypedInterface(*pObject, pExport, *d);
            interfaces.insert(kInterfacePrefix + std::string(d->szName));
        }
        for (auto& [d, pPoint] : outgoing) AddSignals(*pObject, *d);
        if (AnswersItself<ISpecifyPropertyPages>(pIdentity)) {
            AddPropertyPagesInterface(*pObject, pExport);
            interfaces.insert(kPropertyPagesInterface);
        }
        if (AnswersItself<IProvideClassInfo>(pIdentity)) {
            AddClassInfoInterface(*pObject, pExport);
            interfaces.insert(kClassInfoInterface);
        }
        if (AnswersItself<IEnumVARIANT>(pIdentity)) {
            AddEnumInterface(*pObject, pExport);
            interfaces.insert(kEnumInterface);
        }
        pObject->finishRegistration();
    } catch (const sdbus::Error&) {
        std::lock_guard lock(m_Lock);
        UnexportLocked(pExport);
        return CO_E_OBJNOTCONNECTED;
    }
    {
        std::lock_guard lock(m_Lock);
        if (pExport->bGone) {
            auto pHolder = std::make_shared<std::unique_ptr<sdbus::IObject>>(std::move(pObject));
            Post([pHolder] { pHolder->reset(); });
            return RPC_E_DISCONNECTED;
        }
        pExport->Objects.push_back(std::move(pObject));
        pExport->Interfaces.insert(interfaces.begin(), interfaces.end());
    }
    for (auto& [d, pPoint] : outgoing) {
        CComPtr<IDispatch> pSink;
        pSink.Attach(new CEventSink(weak_from_this(), pExport, *d));
        DWORD nCookie = 0;
        if (FAILED(pPoint->Advise(pSink, &nCookie))) continue;
        std::lock_guard lock(m_Lock);
        if (pExport->bGone) {
            CComPtr<IConnectionPoint> pLate = pPoint;
            Post([pLate, nCookie] { pLate->Unadvise(nCookie); });
        } else {
            pExport->Advises.emplace_back(pPoint, nCookie);
        }
    }
    return S_OK;
}

HRESULT CBusBridge::EnsureInterface(const std::shared_ptr<CExport>& pExport, const InterfaceDescription& d,
                                    std::string* psWhy) {
    const std::string sInterface = kInterfacePrefix + std::string(d.szName);
    {
        std::lock_guard lock(m_Lock);
        if (pExport->bGone || pExport->Interfaces.count(sInterface) > 0) return S_OK;
    }
    // A registered D-Bus object cannot take another interface: a second object on the same path serves it.
    // Handlers run one at a time on the event loop, so no other call registers the same interface meanwhile;
    // a registration the library refuses is recorded nowhere, and the next QueryInterface tries again.
    std::unique_ptr<sdbus::IObject> pObject;
    try {
        pObject = sdbus::createObject(*m_pConnection, pExport->sPath);
        AddTypedInterface(*pObject, pExport, d);
        pObject->finishRegistration();
    } catch (const sdbus::Error& e) {
        if (psWhy != nullptr)
            *psWhy = "The interface " + sInterface + " could not be served at " + pExport->sPath + ": " +
                     e.getMessage() + " (" + e.getName() + ").";
        return CO_E_OBJNOTCONNECTED;
    }
    std::lock_guard lock(m_Lock);
    if (pExport->bGone) {
        auto pHolder = std::make_shared<std::unique_ptr<sdbus::IObject>>(std::move(pObject));
        Post([pHolder] { pHolder->reset(); });
        return S_OK;
    }
    pExport->Objects.push_back(std::move(pObject));
    pExport->Interfaces.insert(sInterface);
    return S_OK;
}

std::unique_ptr<sdbus::IObject> CBusBridge::BuildClassFactory() {
    auto pObject = sdbus::createObject(*m_pConnection, kServerRootPath);
    pObject->registerMethod(
        kClassFactoryInterface, "CreateInstance", "ss", {"clsid", "iid"}, "o", {"object"},
        [this](sdbus::MethodCall call) {
            Guarded([&] {
                const char* szClsid = nullptr;
                const char* szIid = nullptr;
                if (sd_bus_message_read(RawMessage(call), "ss", &szClsid, &szIid) <= 0)
                    throw MakeError(DISP_E_TYPEMISMATCH);
                CLSID clsid{};
                IID iid{};
                const std::u16string sClsid = ToUtf16(szClsid), sIid = ToUtf16(szIid);
                if (sClsid.empty() || sClsid[0] != u'{') throw MakeError(CO_E_CLASSSTRING);
                ThrowIfFailed(CLSIDFromString(sClsid.c_str(), &clsid));
                if (FAILED(IIDFromString(sIid.c_str(), &iid))) throw MakeError(E_INVALIDARG);
                // Only the classes this process registered answer: the handler scope keeps the runtime
                // from asking the bus, which would be this very handler.
                CComPtr<IClassFactory> pFactory;
                ThrowIfFailed(CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IidOf<IClassFactory>(),
                                               reinterpret_cast<void**>(&pFactory)));
                CComPtr<IUnknown> pObject;
                ThrowIfFailed(pFactory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&pObject)));
                if (!pObject) throw MakeError(E_UNEXPECTED);
                CServerMapper mapper(*this, call.getSender());
                std::string sPath;
                ThrowIfFailed(mapper.PathOf(pObject, &sPath));
                sdbus::MethodReply reply = call.createReply();
                reply << sdbus::ObjectPath(sPath);
                reply.send();
            });
        });
    pObject->finishRegistration();
    return pObject;
}

}  // namespace comrt::dbus
