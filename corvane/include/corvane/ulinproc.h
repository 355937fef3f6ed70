// The module object of an in-process server library: serves the class objects of its class table,
// answers whether the library may unload, and registers its AppID, classes, categories and type library.
//
// A library defines one instance and forwards its entry points to it:
//
//   const CInprocServerModule g_Module({kClasses, &kAppId, u"HarkwellPack1", ...});
//   CORVANE_INPROC_SERVER_ENTRY_POINTS(g_Module)
#pragma once

#include <span>
#include <string>

#include "comrt/runtime.h"
#include "corvane/ulregister.h"

namespace corvane {

struct InprocServerDescription {
    std::span<const ClassEntry> classes;
    // The library's AppID: HKCR\AppID\{appid} with the library's name as its default value, and
    // HKCR\AppID\<file name> with the value "AppID" naming it.
    const GUID* pAppId = nullptr;
    const char16_t* pszAppName = nullptr;
    const char16_t* pszFileName = nullptr;
    // The type library registered with the library (HKCR\TypeLib), when there is one.
    const GUID* pTypeLibId = nullptr;
    const char16_t* pszTypeLibVersion = u"1.0";
    const char16_t* pszTypeLibHelp = nullptr;
};

class CInprocServerModule {
public:
    explicit CInprocServerModule(const InprocServerDescription& description) noexcept
        : m_description(description), m_classTable(description.classes) {}

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const;
    // S_OK when no object and no server lock is outstanding.
    HRESULT CanUnloadNow() const noexcept;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

    // The library's file, as the module's trace knows it.
    static std::u16string ModulePath();
    const CModuleClassTable& ClassTable() const noexcept { return m_classTable; }
    std::vector<RegistryScriptKey> AppIdScript(Replacements& replacements) const;

private:
    ModuleRegistration Registration() const;

    InprocServerDescription m_description;
    CModuleClassTable m_classTable;
};

}  // namespace corvane

// The four in-process server entry points of a library, forwarding to its module object.
#define CORVANE_INPROC_SERVER_ENTRY_POINTS(module)                                    \
    COMRT_ENTRY HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) { \
        return (module).GetClassObject(rclsid, riid, ppv);                            \
    }                                                                                 \
    COMRT_ENTRY HRESULT DllCanUnloadNow() {                                           \
        return (module).CanUnloadNow();                                               \
    }                                                                                 \
    COMRT_ENTRY HRESULT DllRegisterServer() {                                         \
        return (module).RegisterServer();                                             \
    }                                                                                 \
    COMRT_ENTRY HRESULT DllUnregisterServer() {                                       \
        return (module).UnregisterServer();                                           \
    }
