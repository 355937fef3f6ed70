#include "corvane/ulinproc.h"

#include "comrt/text.h"
#include "corvane/ulmodule.h"

namespace corvane {

HRESULT CInprocServerModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
    try {
        return m_classTable.GetClassObject(clsid, riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

std::u16string CInprocServerModule::ModulePath() {
    return comrt::ToUtf16(GetModulePath());
}

HRESULT CInprocServerModule::CanUnloadNow() const noexcept {
    return GetModuleLockCount() == 0 ? S_OK : S_FALSE;
}

ModuleRegistration CInprocServerModule::Registration() const {
    ModuleRegistration module;
    module.sModulePath = ModulePath();
    module.pszModuleType = u"InprocServer32";
    module.pAppId = m_description.pAppId;
    module.pTypeLibId = m_description.pTypeLibId;
    return module;
}

std::vector<RegistryScriptKey> CInprocServerModule::AppIdScript(Replacements& replacements) const {
    std::vector<RegistryScriptKey> script;
    if (m_description.pAppId == nullptr) return script;
    replacements = {{u"APPID", GuidText(*m_description.pAppId)},
                    {u"APPNAME", m_description.pszAppName ? m_description.pszAppName : u""}};
    RegistryScriptKey appIds = ScriptKey(u"AppID", KeyRemoval::NoRemove);
    appIds.Subkey(ScriptKey(u"%APPID%").Default(u"%APPNAME%"));
    if (m_description.pszFileName != nullptr) {
        appIds.Subkey(ScriptKey(m_description.pszFileName).Value(u"AppID", u"%APPID%"));
    }
    script.push_back(std::move(appIds));
    return script;
}

HRESULT CInprocServerModule::RegisterServer() const {
    try {
        const ModuleRegistration module = Registration();
        if (module.sModulePath.empty()) return E_UNEXPECTED;
        Replacements replacements;
        const std::vector<RegistryScriptKey> appIdScript = AppIdScript(replacements);
        HRESULT hr = UpdateRegistryFromScript(HKEY_CLASSES_ROOT, appIdScript, replacements, true);
        if (SUCCEEDED(hr)) hr = m_classTable.RegisterServer(module);
        if (SUCCEEDED(hr) && m_description.pTypeLibId != nullptr) {
            hr = RegisterTypeLibKeys(*m_description.pTypeLibId, m_description.pszTypeLibVersion,
                                     m_description.pszTypeLibHelp ? m_description.pszTypeLibHelp : u"",
                                     module.sModulePath);
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT CInprocServerModule::UnregisterServer() const {
    try {
        const ModuleRegistration module = Registration();
        HRESULT hr = S_OK;
        if (m_description.pTypeLibId != nullptr) hr = UnregisterTypeLibKeys(*m_description.pTypeLibId);
        if (SUCCEEDED(hr)) hr = m_classTable.UnregisterServer(module);
        if (SUCCEEDED(hr)) {
            Replacements replacements;
            const std::vector<RegistryScriptKey> appIdScript = AppIdScript(replacements);
            hr = UpdateRegistryFromScript(HKEY_CLASSES_ROOT, appIdScript, replacements, false);
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace corvane
