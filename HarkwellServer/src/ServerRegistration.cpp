#include "ServerRegistration.h"

#include <filesystem>

#include "ActivityEvent.h"
#include "Application.h"
#include "HarkwellServer/Interfaces.h"
#include "Manager.h"
#include "comrt/text.h"
#include "corvane/ulregistry.h"

namespace {

using corvane::KeyRemoval;
using corvane::ScriptKey;

const corvane::ClassEntry kServerClasses[] = {
    {&CLSID_CActivityEvent, &CreateObjectT<CActivityEvent>, u"CActivityEvent", u"CActivityEvent Object",
     corvane::ThreadingModel::Free, nullptr},
    {&CLSID_CManager, &CreateObjectT<CManager>, u"CManager", u"CManager Object", corvane::ThreadingModel::Free, nullptr,
     u"Corvane.HarkwellServer.Manager.1", u"Corvane.HarkwellServer.Manager"},
    {&CLSID_CApplication, &CApplication::CreateInstance, u"CApplication", u"CApplication Object",
     corvane::ThreadingModel::Free, nullptr, u"Corvane.HarkwellServer.Application.1",
     u"Corvane.HarkwellServer.Application"},
};

const corvane::CModuleClassTable kServerClassTable{kServerClasses};

// The server's property pages live in its user-interface module, so that a process that only runs the
// engine never maps the toolkit: their keys name that module as the in-process server. Objects are made by
// the module's own class objects, never from this table.
const corvane::ClassEntry kPageClasses[] = {
    {&CLSID_CStatusPropertyPage, nullptr, u"CStatusPropertyPage", u"CStatusPropertyPage Object"},
    {&CLSID_CScenariosPropertyPage, nullptr, u"CScenariosPropertyPage", u"CScenariosPropertyPage Object"},
    {&CLSID_CScenarioPropertyPage, nullptr, u"CScenarioPropertyPage", u"CScenarioPropertyPage Object"},
};
const corvane::CModuleClassTable kPageClassTable{kPageClasses};

corvane::ModuleRegistration PageRegistration(const std::u16string& sModulePath) {
    corvane::ModuleRegistration module;
    module.sModulePath = UserInterfaceModulePath(sModulePath);
    module.pszModuleType = u"InprocServer32";
    return module;
}

corvane::ModuleRegistration Registration(const std::u16string& sModulePath) {
    corvane::ModuleRegistration module;
    module.sModulePath = sModulePath;
    module.pszModuleType = u"LocalServer32";
    module.pAppId = &APPID_HarkwellServer;
    module.pTypeLibId = &LIBID_CorvaneHarkwellServer;
    return module;
}

std::u16string FileNameOf(const std::u16string& sPath) {
    const std::size_t nSlash = sPath.rfind(u'/');
    return nSlash == std::u16string::npos ? sPath : sPath.substr(nSlash + 1);
}

}  // namespace

std::u16string UserInterfaceModulePath(const std::u16string& sModulePath) {
    // The program's modules are built and installed in the library folder beside the program's folder
    // (bin/ and lib/); a module right beside the program is taken when there is no such folder.
    const std::filesystem::path Program(comrt::ToUtf8(sModulePath));
    const std::filesystem::path InLibraries =
        (Program.parent_path().parent_path() / "lib" / "HarkwellServerUI.so").lexically_normal();
    const std::filesystem::path Beside = Program.parent_path() / "HarkwellServerUI.so";
    std::error_code Error;
    const bool bBeside = !std::filesystem::exists(InLibraries, Error) && std::filesystem::exists(Beside, Error);
    return comrt::ToUtf16((bBeside ? Beside : InLibraries).string());
}

const corvane::CModuleClassTable& ServerClassTable() {
    return kServerClassTable;
}

std::vector<corvane::RegistryScriptKey> ServerScript(const std::u16string& sModulePath,
                                                     corvane::Replacements& replacements) {
    replacements = {{u"APPID", corvane::GuidText(APPID_HarkwellServer)},
                    {u"ModuleName", FileNameOf(sModulePath)},
                    {u"ServiceName", kServiceName}};
    std::vector<corvane::RegistryScriptKey> script;
    script.push_back(ScriptKey(u"AppID", KeyRemoval::NoRemove)
                         .Subkey(ScriptKey(u"%APPID%").Default(u"%ServiceName%"))
                         .Subkey(ScriptKey(u"%ModuleName%").Value(u"AppID", u"%APPID%")));
    script.push_back(ScriptKey(u"Component Categories", KeyRemoval::NoRemove)
                         .Subkey(ScriptKey(corvane::GuidText(CATID_CorvaneHarkwellActivities))
                                     .Value(u"409", kActivitiesCategoryDescription))
                         .Subkey(ScriptKey(corvane::GuidText(CATID_CorvaneHarkwellNotifications))
                                     .Value(u"409", kNotificationsCategoryDescription)));
    return script;
}

HRESULT RegisterServer(const std::u16string& sModulePath) {
    HRESULT hr = kServerClassTable.RegisterServer(Registration(sModulePath));
    if (SUCCEEDED(hr)) hr = kPageClassTable.RegisterServer(PageRegistration(sModulePath));
    if (SUCCEEDED(hr)) {
        hr = corvane::RegisterTypeLibKeys(LIBID_CorvaneHarkwellServer, u"1.0",
                                          u"Corvane Harkwell Server 1.0 Type Library", sModulePath);
    }
    return hr;
}

HRESULT UnregisterServer(const std::u16string& sModulePath) {
    HRESULT hr = corvane::UnregisterTypeLibKeys(LIBID_CorvaneHarkwellServer);
    if (SUCCEEDED(hr)) hr = kPageClassTable.UnregisterServer(PageRegistration(sModulePath));
    if (SUCCEEDED(hr)) hr = kServerClassTable.UnregisterServer(Registration(sModulePath));
    return hr;
}
