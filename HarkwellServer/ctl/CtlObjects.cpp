#include "CtlObjects.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "comrt/bus.h"
#include "comrt/oleauto.h"
#include "comrt/runtime.h"
#include "comrt/text.h"

namespace harkwellctl {
namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// What a value of the type is, for a message about text that does not convert.
const char* TypeWords(VARTYPE vt) {
    switch (vt) {
        case VT_BOOL:
            return "true or false";
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_INT:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UINT:
        case VT_UI8:
            return "an integer";
        case VT_R4:
        case VT_R8:
        case VT_CY:
            return "a number";
        case VT_DATE:
            return "a date";
        default:
            return "a value of the property's type";
    }
}

// The text as a value of type vt. Booleans also take the words people type for them; everything else goes
// through the runtime's conversion from text.
HRESULT ValueFromText(const std::string& sText, VARTYPE vt, VARIANT* pValue) {
    VariantInit(pValue);
    if (vt == VT_BOOL) {
        const std::string s = Lower(sText);
        if (s == "true" || s == "yes" || s == "on" || s == "1" || s == "-1") {
            pValue->vt = VT_BOOL;
            pValue->boolVal = VARIANT_TRUE;
            return S_OK;
        }
        if (s == "false" || s == "no" || s == "off" || s == "0") {
            pValue->vt = VT_BOOL;
            pValue->boolVal = VARIANT_FALSE;
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    VARIANT vText;
    VariantInit(&vText);
    vText.vt = VT_BSTR;
    const std::u16string sWide = comrt::ToUtf16(sText);
    vText.bstrVal = SysAllocStringLen(sWide.data(), static_cast<UINT>(sWide.size()));
    HRESULT hr = S_OK;
    if (vt == VT_BSTR || vt == VT_VARIANT)
        hr = VariantCopy(pValue, &vText);
    else
        hr = VariantChangeType(pValue, &vText, 0, vt);
    VariantClear(&vText);
    return hr;
}

HRESULT PutProperty(IDispatch* pDispatch, DISPID nDispid, VARIANT& Value) {
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Params{&Value, &nNamed, 1, 1};
    EXCEPINFO ExcepInfo{};
    UINT nArgErr = 0;
    return pDispatch->Invoke(nDispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, &ExcepInfo, &nArgErr);
}

}  // namespace

std::string DescribeResult(HRESULT nResult) {
    char szCode[16];
    std::snprintf(szCode, sizeof szCode, "0x%08X", static_cast<unsigned>(nResult));
    std::string sText = std::string(szCode) + " " + comrt::ToUtf8(FormatSystemMessage(nResult));
    // A proxy keeps the server's text of the failure as error information; it is worth showing when it is
    // more than the code's own text.
    CComPtr<IErrorInfo> pInfo;
    if (GetErrorInfo(0, &pInfo) == S_OK && pInfo) {
        CBstr sDescription;
        if (SUCCEEDED(pInfo->GetDescription(&sDescription))) {
            std::string sMore = sDescription.Utf8();
            while (!sMore.empty() && (sMore.back() == '.' || std::isspace(static_cast<unsigned char>(sMore.back()))))
                sMore.pop_back();
            if (!sMore.empty() && sText.find(sMore) == std::string::npos) sText += " (" + sMore + ")";
        }
    }
    return sText;
}

CBstr::CBstr(const std::string& sText) {
    const std::u16string sWide = comrt::ToUtf16(sText);
    m_s = SysAllocStringLen(sWide.data(), static_cast<UINT>(sWide.size()));
}
CBstr::~CBstr() {
    SysFreeString(m_s);
}
std::string CBstr::Utf8() const {
    return comrt::ToUtf8(std::u16string_view(m_s ? m_s : u"", SysStringLen(m_s)));
}

std::string GuidText(REFGUID guid) {
    OLECHAR sz[40];
    StringFromGUID2(guid, sz, 40);
    return comrt::ToUtf8(sz);
}

std::string VariantText(const VARIANT& v) {
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return "(empty)";
        case VT_BOOL:
            return v.boolVal != VARIANT_FALSE ? "true" : "false";
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return v.punkVal != nullptr ? "(object)" : "(none)";
        default:
            break;
    }
    VARIANT vText;
    VariantInit(&vText);
    if (FAILED(VariantChangeType(&vText, &v, 0, VT_BSTR))) return "(not shown)";
    std::string s =
        comrt::ToUtf8(std::u16string_view(vText.bstrVal ? vText.bstrVal : u"", SysStringLen(vText.bstrVal)));
    VariantClear(&vText);
    return s;
}

CComPtr<IApplication> ConnectApplication() {
    CComPtr<IApplication> pApplication;
    const HRESULT hr = CoCreateInstance(CLSID_CApplication, nullptr, CLSCTX_LOCAL_SERVER, IidOf<IApplication>(),
                                        reinterpret_cast<void**>(&pApplication));
    if (hr == REGDB_E_CLASSNOTREG || hr == RPC_E_DISCONNECTED || hr == CO_E_SERVER_EXEC_FAILURE)
        throw CCtlError(EXITCODE_NO_SERVER, "the server is not running (no answer on the bus)", hr);
    Check(hr, "reaching the server's application object");
    return pApplication;
}

CComPtr<IScenarios> ScenariosOf(IApplication* pApplication) {
    CComPtr<IManager> pManager;
    Check(pApplication->get_Manager(&pManager), "reaching the manager");
    if (!pManager) {
        VARIANT_BOOL bEnabled = VARIANT_FALSE;
        Check(pApplication->get_Enabled(&bEnabled), "reading Enabled");
        // A disabled server has ended its manager and with it the scenarios.
        if (bEnabled == VARIANT_FALSE)
            throw CCtlError(EXITCODE_FAILED, "the server is disabled (\"harkwellctl enable\" starts it)");
        // Enabled without a manager: making it failed, and the server recorded why.
        std::string sWhy = "see \"harkwellctl status\"";
        EVENTTYPE nType = EVENTTYPE_INFORMATION;
        CBstr sDescription;
        VARIANT_BOOL bValid = VARIANT_FALSE;
        if (SUCCEEDED(pApplication->QueryLastEvent(&nType, &sDescription, &bValid)) && bValid != VARIANT_FALSE)
            sWhy = sDescription.Utf8();
        throw CCtlError(EXITCODE_FAILED,
                        "the server is enabled but has no manager: loading its stored scenarios failed (" + sWhy + ")");
    }
    CComPtr<IScenarios> pScenarios;
    Check(pManager->get_Scenarios(&pScenarios), "reaching the scenarios");
    return pScenarios;
}

CComPtr<IScenario> ScenarioAt(IScenarios* pScenarios, const std::string& sIndex) {
    std::size_t nUsed = 0;
    long nIndex = -1;
    try {
        nIndex = std::stol(sIndex, &nUsed);
    } catch (const std::exception&) {
        nUsed = 0;
    }
    if (nUsed == 0 || nUsed != sIndex.size() || nIndex < 0) ThrowUsage("\"" + sIndex + "\" is not a scenario index");
    VARIANT vIndex;
    VariantInit(&vIndex);
    vIndex.vt = VT_I4;
    vIndex.lVal = static_cast<LONG>(nIndex);
    CComPtr<IScenario> pScenario;
    Check(pScenarios->get_Item(vIndex, &pScenario), "finding scenario " + sIndex);
    return pScenario;
}

std::string ResolveClass(const std::string& sClass) {
    const std::u16string sWide = comrt::ToUtf16(sClass);
    CLSID Clsid = CLSID_NULL;
    if (!sClass.empty() && sClass.front() == '{') {
        Check(CLSIDFromString(sWide.c_str(), &Clsid), "\"" + sClass + "\" is no class identifier");
        LPOLESTR pszProgId = nullptr;
        // Registered classes have their key; an identifier nobody registered is reported here already.
        const HRESULT hr = ProgIDFromCLSID(Clsid, &pszProgId);
        CoTaskMemFree(pszProgId);
        if (hr == REGDB_E_CLASSNOTREG) Check(hr, "no class " + sClass + " is registered");
    } else {
        Check(CLSIDFromProgID(sWide.c_str(), &Clsid), "no class has the ProgID \"" + sClass + "\"");
    }
    return GuidText(Clsid);
}

namespace {

// The members of an interface's type information.
std::vector<CPluginInterfaces::CMember> MembersOf(ITypeInfo* pInterface, unsigned nFuncs) {
    std::vector<CPluginInterfaces::CMember> Members;
    for (unsigned i = 0; i < nFuncs; ++i) {
        FUNCDESC* pFunc = nullptr;
        if (FAILED(pInterface->GetFuncDesc(i, &pFunc)) || pFunc == nullptr) continue;
        CPluginInterfaces::CMember Member;
        Member.nDispid = pFunc->memid;
        Member.nKind = pFunc->invkind;
        Member.nParams = static_cast<unsigned>(pFunc->cParams > 0 ? pFunc->cParams : 0);
        Member.vtValue = Member.nKind == INVOKE_PROPERTYPUT && Member.nParams > 0
                             ? pFunc->lprgelemdescParam[Member.nParams - 1].tdesc.vt
                             : pFunc->elemdescFunc.tdesc.vt;
        pInterface->ReleaseFuncDesc(pFunc);
        CBstr sName;
        UINT nNames = 0;
        if (FAILED(pInterface->GetNames(Member.nDispid, &sName, 1, &nNames)) || nNames == 0) continue;
        Member.sName = sName.Utf8();
        Members.push_back(std::move(Member));
    }
    return Members;
}

}  // namespace

std::vector<CPluginInterfaces::CInterface> CPluginInterfaces::InterfacesOf(IUnknown* pObject) {
    std::vector<CInterface> Result;
    CComPtr<IProvideClassInfo> pProvide;
    CComPtr<ITypeInfo> pClass;
    if (FAILED(pObject->QueryInterface(IidOf<IProvideClassInfo>(), reinterpret_cast<void**>(&pProvide))) || !pProvide ||
        FAILED(pProvide->GetClassInfo(&pClass)) || !pClass)
        return Result;
    TYPEATTR* pClassAttr = nullptr;
    if (FAILED(pClass->GetTypeAttr(&pClassAttr))) return Result;
    const unsigned nInterfaces = pClassAttr->typekind == TKIND_COCLASS ? pClassAttr->cImplTypes : 0;
    pClass->ReleaseTypeAttr(pClassAttr);
    for (unsigned i = 0; i < nInterfaces; ++i) {
        HREFTYPE hRef = 0;
        CComPtr<ITypeInfo> pInterface;
        TYPEATTR* pAttr = nullptr;
        if (FAILED(pClass->GetRefTypeOfImplType(i, &hRef)) || FAILED(pClass->GetRefTypeInfo(hRef, &pInterface)) ||
            !pInterface || FAILED(pInterface->GetTypeAttr(&pAttr)))
            continue;
        const IID iid = pAttr->guid;
        const bool bDual = pAttr->typekind == TKIND_DISPATCH && (pAttr->wTypeFlags & TYPEFLAG_FDUAL) != 0;
        const unsigned nFuncs = pAttr->cFuncs;
        pInterface->ReleaseTypeAttr(pAttr);
        // The contract's interfaces are described in this process; the commands read those themselves.
        if (!bDual || comrt::FindInterfaceDescription(iid) != nullptr) continue;
        // A dual interface starts with IDispatch's slots, so its pointer serves as one.
        IDispatch* pTyped = nullptr;
        if (FAILED(pObject->QueryInterface(iid, reinterpret_cast<void**>(&pTyped))) || !pTyped) continue;
        CInterface Interface;
        Interface.pDispatch.Attach(pTyped);
        Interface.Members = MembersOf(pInterface, nFuncs);
        Result.push_back(std::move(Interface));
    }
    return Result;
}

CComPtr<IDispatch> CPluginInterfaces::FindMethod(IUnknown* pObject, const char* pszMethod, DISPID* pnDispid) const {
    for (const CInterface& Interface : InterfacesOf(pObject)) {
        for (const CMember& m : Interface.Members) {
            if (m.nKind == INVOKE_FUNC && m.sName == pszMethod) {
                *pnDispid = m.nDispid;
                return Interface.pDispatch;
            }
        }
    }
    return {};
}

std::vector<CPluginInterfaces::CProperty> CPluginInterfaces::ReadProperties(IUnknown* pObject) const {
    std::vector<CProperty> Properties;
    for (const CInterface& Interface : InterfacesOf(pObject)) {
        for (const CMember& m : Interface.Members) {
            if (m.nKind != INVOKE_PROPERTYGET || m.nParams != 0) continue;
            VARIANT vValue;
            VariantInit(&vValue);
            DISPPARAMS NoArguments{nullptr, nullptr, 0, 0};
            const HRESULT hr = Interface.pDispatch->Invoke(m.nDispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &NoArguments,
                                                           &vValue, nullptr, nullptr);
            Properties.push_back({m.sName, SUCCEEDED(hr) ? VariantText(vValue) : "(" + DescribeResult(hr) + ")"});
            VariantClear(&vValue);
        }
    }
    return Properties;
}

CPluginInterfaces::CPreparedAssignment CPluginInterfaces::PrepareAssignment(IUnknown* pObject,
                                                                            const std::vector<CInterface>& Interfaces,
                                                                            const std::string& sItem) const {
    const std::size_t nEquals = sItem.find('=');
    if (nEquals == std::string::npos || nEquals == 0) ThrowUsage("\"" + sItem + "\" is no Name=Value assignment");
    CPreparedAssignment Prepared;
    Prepared.sItem = sItem;
    Prepared.sName = sItem.substr(0, nEquals);
    const std::string sValue = sItem.substr(nEquals + 1);
    Prepared.sWhat = "setting " + Prepared.sName + " to \"" + sValue + "\"";
    VARTYPE vt = VT_VARIANT;
    for (const CInterface& Interface : Interfaces) {
        for (const CMember& m : Interface.Members) {
            if (m.nKind == INVOKE_PROPERTYPUT && m.nParams >= 1 && SameName(m.sName, Prepared.sName)) {
                Prepared.pTarget = Interface.pDispatch;
                vt = m.vtValue;
                break;
            }
        }
        if (Prepared.pTarget) break;
    }
    // An object without class information is still reachable through its own dispatch interface; the
    // server then converts the text itself.
    if (!Prepared.pTarget)
        Check(pObject->QueryInterface(IidOf<IDispatch>(), reinterpret_cast<void**>(&Prepared.pTarget)), Prepared.sWhat);

    const std::u16string sWideName = comrt::ToUtf16(Prepared.sName);
    LPOLESTR rgszNames[] = {const_cast<LPOLESTR>(sWideName.c_str())};
    HRESULT hr = Prepared.pTarget->GetIDsOfNames(IID_NULL, rgszNames, 1, 0, &Prepared.nDispid);
    if (hr == DISP_E_UNKNOWNNAME || Prepared.nDispid == DISPID_UNKNOWN)
        throw CCtlError(EXITCODE_FAILED, "the object has no property \"" + Prepared.sName + "\"", DISP_E_UNKNOWNNAME);
    Check(hr, Prepared.sWhat);

    hr = ValueFromText(sValue, vt, &Prepared.vValue);
    if (FAILED(hr))
        throw CCtlError(EXITCODE_FAILED,
                        "\"" + sValue + "\" is no value for " + Prepared.sName + " (" + TypeWords(vt) + ")", hr);
    return Prepared;
}

void CPluginInterfaces::WriteAssignments(IUnknown* pObject, const std::vector<std::string>& Assignments,
                                         bool bTellWhatWasApplied) const {
    // Every name and every value's form is checked before the first is assigned.
    std::vector<CPreparedAssignment> Prepared;
    try {
        const std::vector<CInterface> Interfaces = InterfacesOf(pObject);
        for (const std::string& sItem : Assignments) Prepared.push_back(PrepareAssignment(pObject, Interfaces, sItem));
    } catch (const CCtlError& e) {
        if (!bTellWhatWasApplied || Assignments.size() < 2 || e.ExitCode() != EXITCODE_FAILED) throw;
        throw CCtlError(e.ExitCode(), e.What() + " (nothing was assigned)", e.Result());
    }
    // The object may still refuse a value it does not take (a number out of its range, say).
    for (std::size_t i = 0; i < Prepared.size(); ++i) {
        const HRESULT hr = PutProperty(Prepared[i].pTarget, Prepared[i].nDispid, Prepared[i].vValue);
        if (SUCCEEDED(hr)) continue;
        std::string sWhat = Prepared[i].sWhat;
        if (bTellWhatWasApplied && Prepared.size() > 1) {
            auto Join = [&](std::size_t nFrom, std::size_t nTo) {
                std::string sItems;
                for (std::size_t k = nFrom; k < nTo; ++k) sItems += (sItems.empty() ? "" : " ") + Prepared[k].sItem;
                return sItems.empty() ? std::string("none") : sItems;
            };
            sWhat += " (assigned: " + Join(0, i) + "; not assigned: " + Join(i, Prepared.size()) + ")";
        }
        Check(hr, sWhat);
    }
}

void CPropertyReads::Add(std::string sPath, const IID& iid, const char* pszProperty) {
    m_Paths.push_back(std::move(sPath));
    m_Interfaces.push_back(&iid);
    m_Properties.push_back(pszProperty);
}

void CPropertyReads::Run(const std::string& sWhat) {
    std::vector<comrt::BusPropertyRead> Reads;
    Reads.reserve(m_Paths.size());
    for (std::size_t i = 0; i < m_Paths.size(); ++i)
        Reads.push_back({m_Paths[i].c_str(), m_Interfaces[i], m_Properties[i]});
    m_Results.assign(Reads.size(), E_PENDING);
    m_Values.clear();
    m_Values.resize(Reads.size());
    Check(comrt::CoGetBusProperties(Reads.size(), Reads.data(), m_Results.data(), m_Values.data()), sWhat);
}

std::string CPropertyReads::Title(std::size_t nIndex) const {
    if (FAILED(m_Results[nIndex])) return "(" + DescribeResult(m_Results[nIndex]) + ")";
    return VariantText(m_Values[nIndex]);
}

LONG CPropertyReads::Number(std::size_t nIndex) const {
    VARIANT vNumber;
    VariantInit(&vNumber);
    if (FAILED(VariantChangeType(&vNumber, &m_Values[nIndex], 0, VT_I4))) return 0;
    return vNumber.lVal;
}

std::string TitleOf(IActivity* pActivity) {
    if (pActivity == nullptr) return "(none)";
    CBstr sTitle;
    const HRESULT hr = pActivity->get_Title(&sTitle);
    return SUCCEEDED(hr) ? sTitle.Utf8() : "(" + DescribeResult(hr) + ")";
}

std::string TitleOf(INotification* pNotification) {
    if (pNotification == nullptr) return "(none)";
    CBstr sTitle;
    const HRESULT hr = pNotification->get_Title(&sTitle);
    return SUCCEEDED(hr) ? sTitle.Utf8() : "(" + DescribeResult(hr) + ")";
}

}  // namespace harkwellctl
