// Class information on the bus: written from a class's type information, read into descriptions of the
// reader's own (DBusClassInfo.h has the form).
#include "DBusClassInfo.h"

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "DBusHandlers.h"
#include "comrt/text.h"

namespace comrt::dbus {
namespace {

constexpr const char* kInterfaceType = "(sssya(siybusa(qbbs)))";
constexpr const char* kInterfaceContents = "sssya(siybusa(qbbs))";
constexpr const char* kMemberType = "(siybusa(qbbs))";
constexpr const char* kMemberContents = "siybusa(qbbs)";

std::string GuidString(REFGUID guid) {
    OLECHAR sz[40];
    StringFromGUID2(guid, sz, 40);
    return ToUtf8(sz);
}

bool ParseGuid(const char* sz, GUID* pGuid) {
    const std::u16string s = ToUtf16(sz ? sz : "");
    // A class or interface identifier in brace form only: text without braces would be looked up as a ProgID.
    return !s.empty() && s.front() == u'{' && SUCCEEDED(IIDFromString(s.c_str(), pGuid));
}

HRESULT Ok(int r) {
    return r < 0 ? E_OUTOFMEMORY : S_OK;
}

HRESULT WriteInterface(sd_bus_message* m, const InterfaceDescription& d) {
    HRESULT hr = Ok(sd_bus_message_open_container(m, 'r', kInterfaceContents));
    const std::string sIid = GuidString(d.iid);
    if (SUCCEEDED(hr))
        hr = Ok(sd_bus_message_append(m, "sssy", d.szName, sIid.c_str(), d.szHelp ? d.szHelp : "",
                                      static_cast<std::uint8_t>(d.kind == InterfaceKind::Dual ? 0 : 1)));
    if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_open_container(m, 'a', kMemberType));
    for (unsigned i = 0; SUCCEEDED(hr) && i < d.nMembers; ++i) {
        const MemberDescription& mb = d.pMembers[i];
        const std::uint8_t nKind = mb.kind == MemberKind::Method ? 0 : mb.kind == MemberKind::PropertyGet ? 1 : 2;
        hr = Ok(sd_bus_message_open_container(m, 'r', kMemberContents));
        if (SUCCEEDED(hr))
            hr = Ok(sd_bus_message_append(m, "siybus", mb.szName, static_cast<std::int32_t>(mb.dispid), nKind,
                                          static_cast<int>(mb.bLocalOnly), static_cast<std::uint32_t>(mb.nSlot),
                                          mb.szParamNames ? mb.szParamNames : ""));
        if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_open_container(m, 'a', "(qbbs)"));
        for (unsigned p = 0; SUCCEEDED(hr) && p < mb.nParams; ++p) {
            const ParamDescription& pd = mb.pParams[p];
            const std::string sParamIid = pd.piid ? GuidString(*pd.piid) : std::string();
            hr = Ok(sd_bus_message_append(m, "(qbbs)", static_cast<std::uint16_t>(pd.vt), static_cast<int>(pd.bOut),
                                          static_cast<int>(pd.bRetval), sParamIid.c_str()));
        }
        if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_close_container(m));
        if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_close_container(m));
    }
    if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_close_container(m));
    if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_close_container(m));
    return hr;
}

// Reads one parameter list; false when it is malformed.
bool ReadParams(sd_bus_message* m, CRemoteInterface& ri, std::vector<ParamDescription>& params) {
    if (sd_bus_message_enter_container(m, 'a', "(qbbs)") <= 0) return false;
    for (;;) {
        std::uint16_t vt = 0;
        int bOut = 0, bRetval = 0;
        const char* szIid = nullptr;
        const int r = sd_bus_message_read(m, "(qbbs)", &vt, &bOut, &bRetval, &szIid);
        if (r < 0) return false;
        if (r == 0) break;
        if (params.size() >= kMaxMemberParams) return false;
        // Types travel without VT_BYREF; [out,retval] is an [out] parameter.
        if ((vt & VT_BYREF) != 0 || (bRetval && !bOut)) return false;
        ParamDescription pd{vt, bOut != 0, bRetval != 0, nullptr};
        if (szIid != nullptr && *szIid != 0) {
            auto pIid = std::make_unique<IID>();
            if (!ParseGuid(szIid, pIid.get())) return false;
            pd.piid = pIid.get();
            ri.ParamIids.push_back(std::move(pIid));
        }
        params.push_back(pd);
    }
    // Only the last parameter can be the [out,retval] one.
    for (std::size_t i = 0; i + 1 < params.size(); ++i)
        if (params[i].bRetval) return false;
    return sd_bus_message_exit_container(m) >= 0;
}

bool ReadMembers(sd_bus_message* m, CRemoteInterface& ri, bool bDual) {
    if (sd_bus_message_enter_container(m, 'a', kMemberType) <= 0) return false;
    struct CRead {
        std::int32_t nDispid;
        std::uint8_t nKind;
        bool bLocalOnly;
        std::uint32_t nSlot;
    };
    std::vector<CRead> reads;
    for (;;) {
        const int r = sd_bus_message_enter_container(m, 'r', kMemberContents);
        if (r < 0) return false;
        if (r == 0) break;
        if (reads.size() >= kMaxInterfaceMembers) return false;
        const char* szName = nullptr;
        const char* szParamNames = nullptr;
        CRead read{};
        int bLocalOnly = 0;
        if (sd_bus_message_read(m, "siybus", &szName, &read.nDispid, &read.nKind, &bLocalOnly, &read.nSlot,
                                &szParamNames) <= 0)
            return false;
        read.bLocalOnly = bLocalOnly != 0;
        if (szName == nullptr || *szName == 0 || read.nKind > 2 || read.nSlot > kMaxMemberSlot) return false;
        // Outgoing interfaces have methods only, and no vtable.
        if (!bDual && (read.nKind != 0 || read.nSlot != 0)) return false;
        ri.Params.emplace_back();
        if (!ReadParams(m, ri, ri.Params.back())) return false;
        const std::vector<ParamDescription>& params = ri.Params.back();
        // A getter gives its value as [out,retval]; a putter takes it as its last [in] parameter.
        if (read.nKind == 1 && (params.empty() || !params.back().bRetval)) return false;
        if (read.nKind == 2 && (params.empty() || params.back().bOut)) return false;
        if (sd_bus_message_exit_container(m) < 0) return false;
        ri.MemberNames.emplace_back(szName);
        ri.ParamNames.emplace_back(szParamNames ? szParamNames : "");
        reads.push_back(read);
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
    // The storage is complete: the members can point into it now.
    ri.Members.reserve(reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const CRead& read = reads[i];
        const std::vector<ParamDescription>& params = ri.Params[i];
        ri.Members.push_back(MemberDescription{
            ri.MemberNames[i].c_str(), read.nDispid,
            read.nKind == 0   ? MemberKind::Method
            : read.nKind == 1 ? MemberKind::PropertyGet
                              : MemberKind::PropertyPut,
            read.bLocalOnly, read.nSlot, ri.ParamNames[i].c_str(), params.empty() ? nullptr : params.data(),
            static_cast<unsigned>(params.size()), bDual ? &RemoteMemberInvoke : nullptr, nullptr});
    }
    return true;
}

bool ReadInterfaces(sd_bus_message* m, CRemoteClass* pClass) {
    if (sd_bus_message_enter_container(m, 'a', kInterfaceType) <= 0) return false;
    for (;;) {
        const int r = sd_bus_message_enter_container(m, 'r', kInterfaceContents);
        if (r < 0) return false;
        if (r == 0) break;
        if (pClass->Interfaces.size() >= kMaxClassInterfaces) return false;
        const char* szName = nullptr;
        const char* szIid = nullptr;
        const char* szHelp = nullptr;
        std::uint8_t nKind = 0;
        if (sd_bus_message_read(m, "sssy", &szName, &szIid, &szHelp, &nKind) <= 0) return false;
        auto pInterface = std::make_unique<CRemoteInterface>();
        if (szName == nullptr || *szName == 0 || nKind > 1 || !ParseGuid(szIid, &pInterface->d.iid)) return false;
        pInterface->sName = szName;
        pInterface->sHelp = szHelp ? szHelp : "";
        const bool bDual = nKind == 0;
        if (!ReadMembers(m, *pInterface, bDual)) return false;
        if (sd_bus_message_exit_container(m) < 0) return false;
        CRemoteInterface& ri = *pInterface;
        ri.d.szName = ri.sName.c_str();
        ri.d.szHelp = ri.sHelp.c_str();
        ri.d.kind = bDual ? InterfaceKind::Dual : InterfaceKind::DispatchOnly;
        ri.d.pMembers = ri.Members.empty() ? nullptr : ri.Members.data();
        ri.d.nMembers = static_cast<unsigned>(ri.Members.size());
        // A typed proxy's vtable names its type; this process knows the interface only as a dispatch one.
        ri.d.pType = &typeid(IDispatch);
        pClass->Interfaces.push_back(std::move(pInterface));
    }
    return sd_bus_message_exit_container(m) >= 0;
}

HRESULT ReadClassIdentifier(sd_bus_message* m, CLSID* pClsid) {
    const char* szClsid = nullptr;
    if (sd_bus_message_read(m, "s", &szClsid) <= 0 || !ParseGuid(szClsid, pClsid)) return DISP_E_TYPEMISMATCH;
    return S_OK;
}

// The classes and interfaces read from servers, for the life of the process (type information handed out
// points into them).
struct CRemoteTables {
    std::mutex Lock;
    std::map<std::pair<std::string, std::string>, ITypeInfo*> Classes;    // (sender, class) -> type information
    std::map<std::string, std::unique_ptr<CRemoteInterface>> Interfaces;  // by identifier text
};

CRemoteTables& Tables() {
    static auto* s_pTables = new CRemoteTables;
    return *s_pTables;
}

}  // namespace

HRESULT RemoteMemberInvoke(void*, DISPPARAMS*, VARIANT*, UINT*) {
    return E_NOTIMPL;
}

bool IsRemoteDescription(const InterfaceDescription& d) {
    for (unsigned i = 0; i < d.nMembers; ++i)
        if (d.pMembers[i].pfnInvoke == &RemoteMemberInvoke) return true;
    return false;
}

HRESULT WriteClassInfo(sd_bus_message* pReply, ITypeInfo* pClass) {
    if (pClass == nullptr) return E_POINTER;
    TYPEATTR* pAttr = nullptr;
    HRESULT hr = pClass->GetTypeAttr(&pAttr);
    if (FAILED(hr)) return hr;
    const CLSID clsid = pAttr->guid;
    const bool bClass = pAttr->typekind == TKIND_COCLASS;
    const unsigned nImplTypes = pAttr->cImplTypes;
    pClass->ReleaseTypeAttr(pAttr);
    if (!bClass) return E_INVALIDARG;
    std::vector<CComPtr<ITypeInfo>> interfaces;
    for (unsigned i = 0; i < nImplTypes; ++i) {
        HREFTYPE hRef = 0;
        CComPtr<ITypeInfo> pInterface;
        if (FAILED(pClass->GetRefTypeOfImplType(i, &hRef)) || FAILED(pClass->GetRefTypeInfo(hRef, &pInterface)) ||
            !pInterface || pInterface->GetDescription() == nullptr)
            continue;
        interfaces.push_back(pInterface);
    }
    const std::string sClsid = GuidString(clsid);
    hr = Ok(sd_bus_message_append(pReply, "s", sClsid.c_str()));
    if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_open_container(pReply, 'a', kInterfaceType));
    for (std::size_t i = 0; SUCCEEDED(hr) && i < interfaces.size(); ++i)
        hr = WriteInterface(pReply, *interfaces[i]->GetDescription());
    if (SUCCEEDED(hr)) hr = Ok(sd_bus_message_close_container(pReply));
    return hr;
}

HRESULT ReadClassInfo(sd_bus_message* pReply, CRemoteClass* pClass) {
    if (pReply == nullptr || pClass == nullptr) return E_POINTER;
    *pClass = CRemoteClass{};
    HRESULT hr = ReadClassIdentifier(pReply, &pClass->clsid);
    if (SUCCEEDED(hr) && !ReadInterfaces(pReply, pClass)) hr = DISP_E_TYPEMISMATCH;
    if (FAILED(hr)) *pClass = CRemoteClass{};
    return hr;
}

HRESULT ClassTypeInfoFromReply(sd_bus_message* pReply, const std::string& sSender, ITypeInfo** ppTI) {
    if (ppTI == nullptr) return E_POINTER;
    *ppTI = nullptr;
    CRemoteClass remote;
    HRESULT hr = ReadClassIdentifier(pReply, &remote.clsid);
    if (FAILED(hr)) return hr;
    CRemoteTables& tables = Tables();
    const auto key = std::make_pair(sSender, GuidString(remote.clsid));
    {
        std::lock_guard lock(tables.Lock);
        const auto it = tables.Classes.find(key);
        if (it != tables.Classes.end()) {
            *ppTI = it->second;
            (*ppTI)->AddRef();
            return S_OK;
        }
    }
    if (!ReadInterfaces(pReply, &remote)) return DISP_E_TYPEMISMATCH;
    std::lock_guard lock(tables.Lock);
    std::vector<const InterfaceDescription*> described;
    for (std::unique_ptr<CRemoteInterface>& pInterface : remote.Interfaces) {
        // An interface identifier names one interface: the process's own description of it serves, or the
        // one a server gave first.
        if (const InterfaceDescription* d = FindInterfaceDescription(pInterface->d.iid)) {
            described.push_back(d);
            continue;
        }
        std::unique_ptr<CRemoteInterface>& pKept = tables.Interfaces[GuidString(pInterface->d.iid)];
        if (!pKept) pKept = std::move(pInterface);
        described.push_back(&pKept->d);
    }
    ITypeInfo* pClass = nullptr;
    hr = CreateClassTypeInfoOf(remote.clsid, described.data(), static_cast<unsigned>(described.size()), &pClass);
    if (FAILED(hr)) return hr;
    tables.Classes.emplace(key, pClass);  // the table's reference
    pClass->AddRef();
    *ppTI = pClass;
    return S_OK;
}

const InterfaceDescription* FindRemoteDescription(REFIID riid) {
    CRemoteTables& tables = Tables();
    std::lock_guard lock(tables.Lock);
    const auto it = tables.Interfaces.find(GuidString(riid));
    return it == tables.Interfaces.end() ? nullptr : &it->second->d;
}

void CallGetClassInfo(IUnknown* pIdentity, sd_bus_message* pCall) {
    CComQIPtr<IProvideClassInfo> pProvide(pIdentity);
    if (!pProvide) throw MakeError(E_NOINTERFACE);
    CComPtr<ITypeInfo> pClass;
    ThrowIfFailed(pProvide->GetClassInfo(&pClass));
    if (!pClass) throw MakeError(E_UNEXPECTED);
    SendReply(pCall, [&](sd_bus_message* pReply) { ThrowIfFailed(WriteClassInfo(pReply, pClass)); });
}

}  // namespace comrt::dbus
