#include "ServerRegistration.h"

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
    if (SUCCEEDED(hr)) {
        hr = corvane::RegisterTypeLibKeys(LIBID_CorvaneHarkwellServer, u"1.0",
                                          u"Corvane Harkwell Server 1.0 Type Library", sModulePath);
    }
    return hr;
}

HRESULT UnregisterServer(const std::u16string& sModulePath) {
    HRESULT hr = corvane::UnregisterTypeLibKeys(LIBID_CorvaneHarkwellServer);
    if (SUCCEEDED(hr)) hr = kServerClassTable.UnregisterServer(Registration(sModulePath));
    return hr;
}
