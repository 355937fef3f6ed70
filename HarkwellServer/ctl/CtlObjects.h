// What harkwellctl's commands share: failures that carry an HRESULT and an exit code, the connection to the
// running server's application object, text conversions, and reading and writing a plug-in object's
// properties by name through the descriptions of its dual interfaces.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "HarkwellServer/ServerInterfaces.h"
#include "comrt/comptr.h"
#include "comrt/dispatch.h"

namespace harkwellctl {

// The program's exit codes.
enum EXITCODE : int {
    EXITCODE_OK = 0,
    EXITCODE_FAILED = 1,    // the operation failed; its HRESULT and text were printed
    EXITCODE_USAGE = 2,     // the command line is wrong
    EXITCODE_NO_SERVER = 3  // no server answers on the bus
};

// A failure of a command: what was being done, its HRESULT (S_OK for usage errors) and the exit code.
class CCtlError {
public:
    CCtlError(EXITCODE nExitCode, std::string sWhat, HRESULT nResult = S_OK)
        : m_nExitCode(nExitCode), m_sWhat(std::move(sWhat)), m_nResult(nResult) {}
    EXITCODE ExitCode() const { return m_nExitCode; }
    const std::string& What() const { return m_sWhat; }
    HRESULT Result() const { return m_nResult; }

private:
    EXITCODE m_nExitCode;
    std::string m_sWhat;
    HRESULT m_nResult;
};

[[noreturn]] inline void ThrowUsage(std::string sWhat) {
    throw CCtlError(EXITCODE_USAGE, std::move(sWhat));
}
// Raises a failed HRESULT as an operation failure described by sWhat.
inline void Check(HRESULT nResult, const std::string& sWhat) {
    if (FAILED(nResult)) throw CCtlError(EXITCODE_FAILED, sWhat, nResult);
}
// "0x80070057 The parameter is incorrect", with the server's own description when it says more.
std::string DescribeResult(HRESULT nResult);

// A BSTR owned by the holder.
class CBstr {
public:
    CBstr() = default;
    explicit CBstr(const std::string& sText);
    ~CBstr();
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR* operator&() { return &m_s; }
    operator BSTR() const { return m_s; }
    std::string Utf8() const;

private:
    BSTR m_s = nullptr;
};

// A VARIANT owned by the holder; moving hands the value on.
class CVariantValue : public VARIANT {
public:
    CVariantValue() { VariantInit(this); }
    CVariantValue(CVariantValue&& Other) noexcept : VARIANT(Other) { VariantInit(&Other); }
    CVariantValue& operator=(CVariantValue&&) = delete;
    CVariantValue(const CVariantValue&) = delete;
    ~CVariantValue() { VariantClear(this); }
};

std::string GuidText(REFGUID guid);
// The variant as display text ("true"/"false" for booleans, "(empty)" for nothing).
std::string VariantText(const VARIANT& v);

// The application object of the server running on the client's bus; EXITCODE_NO_SERVER when none runs.
CComPtr<IApplication> ConnectApplication();
// The scenario collection of the application's manager.
CComPtr<IScenarios> ScenariosOf(IApplication* pApplication);
// The scenario at the 0-based index written in sIndex (a usage error when it is no number).
CComPtr<IScenario> ScenarioAt(IScenarios* pScenarios, const std::string& sIndex);

// The class identifier in brace text for a ProgID or a class identifier (which must be registered).
std::string ResolveClass(const std::string& sClass);

// The dual interfaces of a plug-in object, learnt from the object itself: its class information
// (IProvideClassInfo) lists the interfaces of its class with their members, so that its properties are found
// by name and read and written through the proxy without the plug-in's library in this process. The
// contract's own interfaces (IActivity, INotification) are left to the commands that know them.
class CPluginInterfaces {
public:
    CPluginInterfaces() = default;
    CPluginInterfaces(const CPluginInterfaces&) = delete;
    CPluginInterfaces& operator=(const CPluginInterfaces&) = delete;

    // One property value of an object.
    struct CProperty {
        std::string sName;
        std::string sValue;
    };
    // The readable properties (getters without arguments) of every plug-in interface the object answers, in
    // the order of their descriptions; a getter that fails shows its failure as the value.
    std::vector<CProperty> ReadProperties(IUnknown* pObject) const;
    // Every "Name=Value" item in order, each value text converted to its property's type; a usage error
    // when an item has no '='. Every name and value is checked before the first is assigned, so that a name
    // the object lacks or text that does not convert assigns nothing. A value the object refuses ends the
    // assignments there; with bTellWhatWasApplied the failure names the items assigned before it and those
    // not assigned.
    void WriteAssignments(IUnknown* pObject, const std::vector<std::string>& Assignments,
                          bool bTellWhatWasApplied = false) const;

    // The proxy of the plug-in interface of pObject that has the method named pszMethod, and the method's
    // DISPID in *pnDispid; null when none of the object's interfaces has it.
    CComPtr<IDispatch> FindMethod(IUnknown* pObject, const char* pszMethod, DISPID* pnDispid) const;

    // One member of an interface as its type information gives it.
    struct CMember {
        std::string sName;
        DISPID nDispid = DISPID_UNKNOWN;
        INVOKEKIND nKind = INVOKE_FUNC;
        unsigned nParams = 0;       // without the result
        VARTYPE vtValue = VT_VOID;  // a getter's result, a putter's value
    };
    // One plug-in interface of an object: its members and the proxy that reaches them.
    struct CInterface {
        CComPtr<IDispatch> pDispatch;
        std::vector<CMember> Members;
    };
    // The plug-in interfaces of pObject in the order of its class's table; none when it gives no class
    // information.
    static std::vector<CInterface> InterfacesOf(IUnknown* pObject);

private:
    // One assignment, checked and ready: its target, its member and its value in the property's type.
    struct CPreparedAssignment {
        std::string sItem;
        std::string sName;
        std::string sWhat;
        CComPtr<IDispatch> pTarget;
        DISPID nDispid = DISPID_UNKNOWN;
        CVariantValue vValue;
    };
    CPreparedAssignment PrepareAssignment(IUnknown* pObject, const std::vector<CInterface>& Interfaces,
                                          const std::string& sItem) const;
};

// Properties of the running server's objects read by their paths, every read sent before the first answer
// is awaited (comrt::CoGetBusProperties): one round trip of waiting for them all.
static_assert(sizeof(CVariantValue) == sizeof(VARIANT), "an array of values is an array of VARIANTs");

class CPropertyReads {
public:
    void Add(std::string sPath, const IID& iid, const char* pszProperty);
    // Reads them; a failure of the whole (no server) is raised with sWhat.
    void Run(const std::string& sWhat);
    HRESULT Result(std::size_t nIndex) const { return m_Results[nIndex]; }
    // The value as a title: its text, or its failure as TitleOf shows one.
    std::string Title(std::size_t nIndex) const;
    // The value as a number; 0 when it is none.
    LONG Number(std::size_t nIndex) const;

private:
    std::vector<std::string> m_Paths;
    std::vector<const IID*> m_Interfaces;
    std::vector<const char*> m_Properties;
    std::vector<HRESULT> m_Results;
    std::vector<CVariantValue> m_Values;
};

// The title of an activity or notification proxy, "(none)" for a null one.
std::string TitleOf(IActivity* pActivity);
std::string TitleOf(INotification* pNotification);

}  // namespace harkwellctl
