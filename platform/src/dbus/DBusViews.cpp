// Views: the objects reachable from the application object by its object-valued properties and, in a
// collection, by position, addressed by paths below the application's:
//
//   /Corvane/HarkwellServer/Application/Manager/Scenarios/0/Activity
//
// A view is looked up again on every call and holds nothing between calls. A client that makes one call
// per process (busctl, gdbus) can walk the object model that way, while references handed out in replies
// would go with the process that received them; and a view shows exactly what the objects show now (once
// the application drops its manager, the manager's views are gone too), because it keeps nothing alive.
//
// sdbus-c++ has no fallback objects, so the views are served through sd-bus's own fallback handler on the
// application's path; it runs on the bridge's event loop like every other handler.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "DBusClassInfo.h"
#include "DBusFrame.h"
#include "DBusHandlers.h"
#include "comrt/text.h"

namespace comrt::dbus {
namespace {

constexpr const char* kIntrospectableInterface = "org.freedesktop.DBus.Introspectable";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
// Position numbers up to this many digits; more cannot fit a collection's LONG index.
constexpr std::size_t kMaxIndexDigits = 9;

bool IsIndex(std::string_view sSegment) {
    return !sSegment.empty() && sSegment.size() <= kMaxIndexDigits &&
           sSegment.find_first_not_of("0123456789") == std::string_view::npos;
}

// A property get through IDispatch, with one argument (a collection's position) or none.
HRESULT GetThroughDispatch(IDispatch* pDispatch, DISPID dispid, VARIANT* pArgument, VARIANT* pResult) {
    DISPPARAMS params{pArgument, nullptr, pArgument ? 1u : 0u, 0};
    EXCEPINFO excepInfo{};
    UINT nArgErr = 0;
    HRESULT hr = pDispatch->Invoke(dispid, GUID_NULL, 0, DISPATCH_PROPERTYGET, &params, pResult, &excepInfo, &nArgErr);
    if (hr == DISP_E_EXCEPTION && FAILED(excepInfo.scode)) hr = excepInfo.scode;
    SysFreeString(excepInfo.bstrSource);
    SysFreeString(excepInfo.bstrDescription);
    SysFreeString(excepInfo.bstrHelpFile);
    return hr;
}

bool IsObjectType(VARTYPE vt) {
    return vt == VT_DISPATCH || vt == VT_UNKNOWN;
}

// An object-valued property without arguments that names a lasting object. An enumerator is made anew
// for each call and is left to the ordinary hand-out.
bool IsChildProperty(const InterfaceDescription& d, const MemberDescription& m, std::string* psName) {
    return FormOf(d, m, psName) == BusMemberForm::Property && IsObjectType(m.pParams[0].vt) &&
           m.dispid != DISPID_NEWENUM;
}

// The object a property value holds, by its identity; RPC_E_DISCONNECTED when it holds none.
HRESULT ObjectIn(const VARIANT& value, IUnknown** ppObject) {
    if (value.vt != VT_DISPATCH && value.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    if (value.punkVal == nullptr) return RPC_E_DISCONNECTED;
    return value.punkVal->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(ppObject));
}

}  // namespace

HRESULT CBusBridge::Step(IUnknown* pObject, const std::vector<const InterfaceDescription*>& typed,
                         std::string_view sSegment, IUnknown** ppChild) {
    *ppChild = nullptr;
    CVariant result;
    if (IsIndex(sSegment)) {
        // The collection's default member, through IDispatch: positions count from 0 as the collections do.
        CComQIPtr<IDispatch> pDispatch(pObject);
        if (!pDispatch) return E_NOINTERFACE;
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = static_cast<LONG>(std::stol(std::string(sSegment)));
        const HRESULT hr = GetThroughDispatch(pDispatch, DISPID_VALUE, &index, &result.v);
        return FAILED(hr) ? hr : ObjectIn(result.v, ppChild);
    }
    const HRESULT hr = GetPropertyByName(pObject, typed, sSegment, &result.v);
    return FAILED(hr) ? hr : ObjectIn(result.v, ppChild);
}

HRESULT CBusBridge::GetPropertyByName(IUnknown* pObject, const std::vector<const InterfaceDescription*>& typed,
                                      std::string_view sName, VARIANT* pResult) {
    // The property as the typed interfaces put it on the bus, in any of the interfaces the path serves (a
    // plug-in object's IDispatch knows only the plug-in contract's members).
    for (const InterfaceDescription* d : typed) {
        for (unsigned i = 0; i < d->nMembers; ++i) {
            std::string sMember;
            if (FormOf(*d, d->pMembers[i], &sMember) != BusMemberForm::Property || sMember != sName) continue;
            CVariants values(d->pMembers[i].nParams);
            return InvokeMember(pObject, *d, d->pMembers[i], values.v, pResult);
        }
    }
    return DISP_E_UNKNOWNNAME;
}

std::vector<std::string> CBusBridge::ChildrenOf(IUnknown* pObject,
                                                const std::vector<const InterfaceDescription*>& typed) {
    std::vector<std::string> children;
    bool bCollection = false;
    for (const InterfaceDescription* d : typed) {
        for (unsigned i = 0; i < d->nMembers; ++i) {
            const MemberDescription& m = d->pMembers[i];
            std::string sName;
            if (m.kind == MemberKind::PropertyGet && m.dispid == DISPID_VALUE && m.nParams == 2 && !m.pParams[0].bOut &&
                IsObjectType(m.pParams[1].vt))
                bCollection = true;
            if (!IsChildProperty(*d, m, &sName)) continue;
            if (std::find(children.begin(), children.end(), sName) != children.end()) continue;
            CComPtr<IUnknown> pChild;
            if (SUCCEEDED(Step(pObject, typed, sName, &pChild))) children.push_back(sName);
        }
    }
    CVariant count;
    if (bCollection && SUCCEEDED(GetPropertyByName(pObject, typed, "Count", &count.v)) &&
        SUCCEEDED(VariantChangeType(&count.v, &count.v, 0, VT_I4))) {
        for (LONG n = 0; n < count.v.lVal; ++n) children.push_back(std::to_string(n));
    }
    return children;
}

namespace {

// One typed interface in introspection form, with the members as AddTypedInterface puts them on the bus.
void IntrospectInterface(std::string& sXml, const InterfaceDescription& d) {
    sXml += " <interface name=\"" + std::string(kInterfacePrefix) + d.szName + "\">\n";
    std::vector<std::string> used;
    for (unsigned i = 0; i < d.nMembers; ++i) {
        const MemberDescription& m = d.pMembers[i];
        std::string sName;
        const BusMemberForm form = FormOf(d, m, &sName);
        if (form == BusMemberForm::None || form == BusMemberForm::PropertySetter) continue;
        if (std::find(used.begin(), used.end(), sName) != used.end()) continue;
        used.push_back(sName);
        if (form == BusMemberForm::Property) {
            const MemberDescription* pPut = d.Find(m.dispid, MemberKind::PropertyPut);
            std::string sPutName;
            const bool bWritable = pPut != nullptr && FormOf(d, *pPut, &sPutName) == BusMemberForm::PropertySetter;
            sXml += "  <property name=\"" + sName + "\" type=\"" + SignatureOf(m.pParams[0].vt) + "\" access=\"" +
                    (bWritable ? "readwrite" : "read") + "\">\n";
            sXml += "   <annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" value=\"false\"/>\n";
            sXml += "  </property>\n";
            continue;
        }
        sXml += "  <method name=\"" + sName + "\">\n";
        const std::vector<std::string> names = ParamNames(m);
        for (unsigned p = 0; p < m.nParams; ++p)
            sXml += "   <arg name=\"" + names[p] + "\" type=\"" + SignatureOf(m.pParams[p].vt) + "\" direction=\"" +
                    (m.pParams[p].bOut ? "out" : "in") + "\"/>\n";
        sXml += "  </method>\n";
    }
    sXml += " </interface>\n";
}

constexpr const char* kStandardInterfaces =
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\">\n"
    "   <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"value\" type=\"v\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"GetAll\">\n"
    "   <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"props\" type=\"a{sv}\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"Set\">\n"
    "   <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"value\" type=\"v\" direction=\"in\"/>\n"
    "  </method>\n"
    "  <signal name=\"PropertiesChanged\">\n"
    "   <arg type=\"s\" name=\"interface_name\"/>\n"
    "   <arg type=\"a{sv}\" name=\"changed_properties\"/>\n"
    "   <arg type=\"as\" name=\"invalidated_properties\"/>\n"
    "  </signal>\n"
    " </interface>\n"
    " <interface name=\"Corvane.Dispatch\">\n"
    "  <method name=\"Invoke\">\n"
    "   <arg name=\"dispid\" type=\"i\" direction=\"in\"/>\n"
    "   <arg name=\"flags\" type=\"u\" direction=\"in\"/>\n"
    "   <arg name=\"args\" type=\"av\" direction=\"in\"/>\n"
    "   <arg name=\"result\" type=\"v\" direction=\"out\"/>\n"
    "   <arg name=\"outs\" type=\"av\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"GetIDsOfNames\">\n"
    "   <arg name=\"names\" type=\"as\" direction=\"in\"/>\n"
    "   <arg name=\"dispids\" type=\"ai\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"QueryInterface\">\n"
    "   <arg name=\"iid\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"answered\" type=\"b\" direction=\"out\"/>\n"
    "   <arg name=\"object\" type=\"o\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"Release\"/>\n"
    " </interface>\n";

constexpr const char* kPropertyPagesIntrospection =
    " <interface name=\"Corvane.ISpecifyPropertyPages\">\n"
    "  <method name=\"GetPages\">\n"
    "   <arg name=\"pages\" type=\"as\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

constexpr const char* kClassInfoIntrospection =
    " <interface name=\"Corvane.IProvideClassInfo\">\n"
    "  <method name=\"GetClassInfo\">\n"
    "   <arg name=\"clsid\" type=\"s\" direction=\"out\"/>\n"
    "   <arg name=\"interfaces\" type=\"a(sssya(siybusa(qbbs)))\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

// The property sName of the typed interface sInterface among typed, or null.
struct CPropertyRef {
    const InterfaceDescription* d = nullptr;
    const MemberDescription* pGet = nullptr;
};

CPropertyRef FindProperty(const std::vector<const InterfaceDescription*>& typed, std::string_view sInterface,
                          std::string_view sName) {
    for (const InterfaceDescription* d : typed) {
        if (kInterfacePrefix + std::string(d->szName) != sInterface) continue;
        for (unsigned i = 0; i < d->nMembers; ++i) {
            std::string sMember;
            if (FormOf(*d, d->pMembers[i], &sMember) == BusMemberForm::Property && sMember == sName)
                return {d, &d->pMembers[i]};
        }
        throw sdbus::Error("org.freedesktop.DBus.Error.UnknownProperty",
                           "The interface has no property " + std::string(sName) + ".");
    }
    throw sdbus::Error("org.freedesktop.DBus.Error.UnknownInterface",
                       "The object does not serve " + std::string(sInterface) + ".");
}

std::string ChildPath(const std::string& sPath, const std::string& sSegment) {
    return sPath + "/" + sSegment;
}

}  // namespace

void CBusBridge::AttachViews() {
    // sdbus-c++ keeps its sd-bus connection to itself; any message made on the connection names it.
    sdbus::Signal probe = m_pClassFactory->createSignal(kClassFactoryInterface, "Probe");
    sd_bus* pBus = sd_bus_message_get_bus(RawMessage(probe));
    const std::string sObjects(kObjectPathPrefix, std::strlen(kObjectPathPrefix) - 1);  // without the '/'
    if (pBus == nullptr || sd_bus_add_fallback(pBus, &m_pViewSlot, kApplicationPath, &OnViewCall, this) < 0 ||
        sd_bus_add_node_enumerator(pBus, &m_pViewEnumerator, kApplicationPath, &OnEnumerateViews, this) < 0 ||
        sd_bus_add_fallback(pBus, &m_pGoingSlot, sObjects.c_str(), &OnGoingCall, this) < 0 ||
        sd_bus_add_filter(pBus, &m_pFilter, &OnFilter, this) < 0)
        throw MakeError(E_OUTOFMEMORY);
}

void CBusBridge::DetachViews() {
    m_pViewSlot = sd_bus_slot_unref(m_pViewSlot);
    m_pViewEnumerator = sd_bus_slot_unref(m_pViewEnumerator);
    m_pGoingSlot = sd_bus_slot_unref(m_pGoingSlot);
    m_pFilter = sd_bus_slot_unref(m_pFilter);
}

int CBusBridge::OnFilter(sd_bus_message* pMessage, void*, sd_bus_error* pError) {
    uint8_t nType = 0;
    if (sd_bus_message_get_type(pMessage, &nType) < 0 || nType != SD_BUS_MESSAGE_METHOD_CALL) return 0;
    const char* szPath = sd_bus_message_get_path(pMessage);
    if (szPath == nullptr || std::strlen(szPath) <= kMaxObjectPathLength) return 0;
    // The library sends the error (unless the caller asked for no reply) and the call ends here.
    return sd_bus_error_set(pError, ErrorNameOf(E_INVALIDARG).c_str(),
                            OverlongPathText(std::strlen(szPath), kMaxObjectPathLength).c_str());
}

void CBusBridge::InsertRelay() {
    sdbus::Signal probe = m_pClassFactory->createSignal(kClassFactoryInterface, "Probe");
    sd_bus* pBus = sd_bus_message_get_bus(RawMessage(probe));
    // The relay must start between two messages: a blocking call returns once the library has written all
    // it had queued before it and has read its reply to the end, and nothing else uses the connection yet.
    sd_bus_message* pReply = nullptr;
    const int nCall = pBus == nullptr ? -1
                                      : sd_bus_call_method(pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                           "org.freedesktop.DBus", "GetId", nullptr, &pReply, "");
    sd_bus_message_unref(pReply);
    const int nSocket = nCall >= 0 ? sd_bus_get_fd(pBus) : -1;
    if (nSocket >= 0) m_pRelay = CBusRelay::Insert(nSocket, kMaxObjectPathLength, ErrorNameOf(E_INVALIDARG));
}

int CBusBridge::OnGoingCall(sd_bus_message* pCall, void* pUserData, sd_bus_error* pError) {
    // sd-bus asks fallbacks only when the path's own objects did not answer the call. A fallback counts as
    // an object to sd-bus, so a path nobody exports is answered here as sd-bus would answer it.
    auto* pBridge = static_cast<CBusBridge*>(pUserData);
    const char* szPath = sd_bus_message_get_path(pCall);
    if (szPath == nullptr) return 0;
    // The folder of the handed-out objects is a node of its own: the library introspects it (listing
    // the objects exported now) and answers its other calls.
    if (std::strlen(szPath) + 1 == std::strlen(kObjectPathPrefix)) return 0;
    bool bGoing = false;
    {
        std::lock_guard lock(pBridge->m_Lock);
        bGoing = pBridge->m_Going.count(szPath) > 0;
        if (!bGoing && pBridge->m_ByPath.count(szPath) > 0) return 0;
    }
    if (!bGoing) return sd_bus_error_setf(pError, SD_BUS_ERROR_UNKNOWN_OBJECT, "Unknown object '%s'.", szPath);
    const sdbus::Error error = MakeError(RPC_E_DISCONNECTED);
    return sd_bus_error_set(pError, error.getName().c_str(), error.getMessage().c_str());
}

HRESULT CBusBridge::ResolveView(std::string_view sPath, IUnknown** ppObject) {
    *ppObject = nullptr;
    const std::string_view sRoot = kApplicationPath;
    if (sPath.size() <= sRoot.size() + 1 || sPath.substr(0, sRoot.size()) != sRoot || sPath[sRoot.size()] != '/')
        return RPC_E_DISCONNECTED;
    CComPtr<IUnknown> pObject;
    HRESULT hr = ObjectAt(kApplicationPath, &pObject);
    std::string_view sRest = sPath.substr(sRoot.size() + 1);
    while (SUCCEEDED(hr) && !sRest.empty()) {
        const std::size_t slash = sRest.find('/');
        CComPtr<IUnknown> pChild;
        hr = Step(pObject, DualInterfacesOf(pObject), sRest.substr(0, slash), &pChild);
        pObject = pChild;
        sRest = slash == std::string_view::npos ? std::string_view() : sRest.substr(slash + 1);
    }
    if (SUCCEEDED(hr)) *ppObject = pObject.Detach();
    return hr;
}

int CBusBridge::OnEnumerateViews(sd_bus*, const char*, void* pUserData, char*** pppNodes, sd_bus_error*) {
    // The application's own children; sd-bus asks each view below them through the fallback handler.
    auto* pBridge = static_cast<CBusBridge*>(pUserData);
    *pppNodes = nullptr;
    try {
        CHandlerScope scope;
        CComPtr<IUnknown> pApplication;
        if (FAILED(pBridge->ObjectAt(kApplicationPath, &pApplication))) return 0;
        const std::vector<std::string> children = pBridge->ChildrenOf(pApplication, DualInterfacesOf(pApplication));
        char** ppNodes = static_cast<char**>(calloc(children.size() + 1, sizeof(char*)));
        if (ppNodes == nullptr) return -ENOMEM;
        for (std::size_t i = 0; i < children.size(); ++i) {
            ppNodes[i] = strdup(ChildPath(kApplicationPath, children[i]).c_str());
            if (ppNodes[i] == nullptr) {
                for (std::size_t k = 0; k < i; ++k) free(ppNodes[k]);
                free(ppNodes);
                return -ENOMEM;
            }
        }
        *pppNodes = ppNodes;
        return 0;
    } catch (...) {
        return -ENOMEM;
    }
}

int CBusBridge::OnViewCall(sd_bus_message* pCall, void* pUserData, sd_bus_error* pError) {
    const char* szPath = sd_bus_message_get_path(pCall);
    // The application itself is an exported object with handlers of its own.
    if (szPath == nullptr || std::strcmp(szPath, kApplicationPath) == 0) return 0;
    try {
        Guarded([&] { static_cast<CBusBridge*>(pUserData)->ServeView(pCall); });
        return 1;
    } catch (const sdbus::Error& e) {
        return sd_bus_error_set(pError, e.getName().c_str(), e.getMessage().c_str());
    }
}

void CBusBridge::ServeView(sd_bus_message* pCall) {
    const std::string sPath = sd_bus_message_get_path(pCall);
    const char* szInterface = sd_bus_message_get_interface(pCall);
    const char* szMember = sd_bus_message_get_member(pCall);
    const char* szSender = sd_bus_message_get_sender(pCall);
    const std::string_view sInterface = szInterface ? szInterface : "";
    const std::string_view sMember = szMember ? szMember : "";

    CComPtr<IUnknown> pObject;
    ThrowIfFailed(ResolveView(sPath, &pObject));
    const std::vector<const InterfaceDescription*> typed = DualInterfacesOf(pObject);
    CServerMapper mapper(*this, szSender ? szSender : "");

    if (sInterface == kIntrospectableInterface && sMember == "Introspect") {
        std::string sXml =
            "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
            "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n";
        sXml += kStandardInterfaces;
        for (const InterfaceDescription* d : typed) IntrospectInterface(sXml, *d);
        if (AnswersItself<ISpecifyPropertyPages>(pObject)) sXml += kPropertyPagesIntrospection;
        if (AnswersItself<IProvideClassInfo>(pObject)) sXml += kClassInfoIntrospection;
        for (const std::string& sChild : ChildrenOf(pObject, typed)) sXml += " <node name=\"" + sChild + "\"/>\n";
        sXml += "</node>\n";
        SendReply(pCall, [&](sd_bus_message* pReply) {
            if (sd_bus_message_append(pReply, "s", sXml.c_str()) < 0) throw MakeError(E_OUTOFMEMORY);
        });
        return;
    }

    if (sInterface == kPropertiesInterface) {
        // An object-valued property answers with the view of its object, which stays reachable.
        auto writeProperty = [&](sd_bus_message* pReply, const CPropertyRef& property) {
            const VARTYPE vt = property.pGet->pParams[0].vt;
            CVariants values(property.pGet->nParams);
            CVariant result;
            ThrowIfFailed(InvokeMember(pObject, *property.d, *property.pGet, values.v, &result.v));
            const std::string sSignature = SignatureOf(vt);
            if (sd_bus_message_open_container(pReply, 'v', sSignature.c_str()) < 0) throw MakeError(E_OUTOFMEMORY);
            std::string sName;
            if (IsChildProperty(*property.d, *property.pGet, &sName)) {
                const bool bNull = (result.v.vt != VT_DISPATCH && result.v.vt != VT_UNKNOWN) || !result.v.punkVal;
                const std::string sChild = bNull ? "/" : ChildPath(sPath, sName);
                if (sd_bus_message_append_basic(pReply, 'o', sChild.c_str()) < 0) throw MakeError(E_OUTOFMEMORY);
            } else {
                ThrowIfFailed(WriteTyped(pReply, result.v, vt, mapper));
            }
            if (sd_bus_message_close_container(pReply) < 0) throw MakeError(E_OUTOFMEMORY);
        };
        const char* szName = nullptr;
        const char* szProperty = nullptr;
        if (sMember == "Get") {
            if (sd_bus_message_read(pCall, "ss", &szName, &szProperty) <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
            const CPropertyRef property = FindProperty(typed, szName, szProperty);
            SendReply(pCall, [&](sd_bus_message* pReply) { writeProperty(pReply, property); });
            return;
        }
        if (sMember == "GetAll") {
            if (sd_bus_message_read(pCall, "s", &szName) <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
            const InterfaceDescription* d = nullptr;
            for (const InterfaceDescription* p : typed)
                if (kInterfacePrefix + std::string(p->szName) == szName) d = p;
            SendReply(pCall, [&](sd_bus_message* pReply) {
                if (sd_bus_message_open_container(pReply, 'a', "{sv}") < 0) throw MakeError(E_OUTOFMEMORY);
                for (unsigned i = 0; d != nullptr && i < d->nMembers; ++i) {
                    std::string sMemberName;
                    if (FormOf(*d, d->pMembers[i], &sMemberName) != BusMemberForm::Property) continue;
                    if (sd_bus_message_open_container(pReply, 'e', "sv") < 0 ||
                        sd_bus_message_append(pReply, "s", sMemberName.c_str()) < 0)
                        throw MakeError(E_OUTOFMEMORY);
                    writeProperty(pReply, {d, &d->pMembers[i]});
                    if (sd_bus_message_close_container(pReply) < 0) throw MakeError(E_OUTOFMEMORY);
                }
                if (sd_bus_message_close_container(pReply) < 0) throw MakeError(E_OUTOFMEMORY);
            });
            return;
        }
        if (sMember == "Set") {
            if (sd_bus_message_read(pCall, "ss", &szName, &szProperty) <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
            const CPropertyRef property = FindProperty(typed, szName, szProperty);
            const MemberDescription* pPut = property.d->Find(property.pGet->dispid, MemberKind::PropertyPut);
            std::string sPutName;
            if (pPut == nullptr || FormOf(*property.d, *pPut, &sPutName) != BusMemberForm::PropertySetter)
                throw sdbus::Error("org.freedesktop.DBus.Error.PropertyReadOnly",
                                   "The property " + std::string(szProperty) + " is read-only.");
            const VARTYPE vt = pPut->pParams[0].vt;
            CVariants values(1);
            CVariant result;
            if (sd_bus_message_enter_container(pCall, 'v', SignatureOf(vt).c_str()) <= 0)
                throw MakeError(DISP_E_TYPEMISMATCH);
            ThrowIfFailed(ReadTyped(pCall, vt, &values.v[0], mapper));
            ThrowIfFailed(InvokeMember(pObject, *property.d, *pPut, values.v, &result.v));
            SendReply(pCall, [](sd_bus_message*) {});
            return;
        }
    }

    if (sInterface == kPropertyPagesInterface && sMember == "GetPages") return CallGetPages(pObject, pCall);
    if (sInterface == kClassInfoInterface && sMember == "GetClassInfo") return CallGetClassInfo(pObject, pCall);

    if (sInterface == kDispatchInterface) {
        if (sMember == "Invoke") return CallInvoke(pObject, pCall, mapper);
        if (sMember == "GetIDsOfNames") return CallGetIDsOfNames(pObject, pCall);
        if (sMember == "QueryInterface") return CallQueryInterface(pObject, pCall, mapper, sPath, nullptr);
        // A view holds nothing for its callers: there is nothing to give back.
        if (sMember == "Release") return SendReply(pCall, [](sd_bus_message*) {});
    }

    for (const InterfaceDescription* d : typed) {
        if (kInterfacePrefix + std::string(d->szName) != sInterface) continue;
        for (unsigned i = 0; i < d->nMembers; ++i) {
            const MemberDescription& m = d->pMembers[i];
            std::string sName;
            if (FormOf(*d, m, &sName) != BusMemberForm::Method || sName != sMember) continue;
            std::string sIn;
            for (unsigned p = 0; p < m.nParams; ++p)
                if (!m.pParams[p].bOut) sIn += SignatureOf(m.pParams[p].vt);
            if (sd_bus_message_has_signature(pCall, sIn.c_str()) <= 0) throw MakeError(DISP_E_TYPEMISMATCH);
            return CallTyped(pObject, *d, m, pCall, mapper);
        }
    }
    throw sdbus::Error("org.freedesktop.DBus.Error.UnknownMethod",
                       "The object has no method " + std::string(sMember) + " in " + std::string(sInterface) + ".");
}

}  // namespace comrt::dbus
