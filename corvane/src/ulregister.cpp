#include "corvane/ulregister.h"

#include <algorithm>
#include <charconv>

#include "comrt/text.h"
#include "corvane/ulregistry.h"

namespace corvane {

namespace {

HRESULT FromRegistry(LONG nError) {
    return nError == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nError));
}

bool IsGone(LONG nError) {
    return nError == ERROR_FILE_NOT_FOUND || nError == ERROR_KEY_DELETED;
}

HRESULT SetScriptValue(CRegKey& key, const RegistryScriptValue& value, const Replacements& replacements) {
    std::u16string sName, sData;
    HRESULT hr = ApplyReplacements(value.sName, replacements, sName);
    if (SUCCEEDED(hr)) hr = ApplyReplacements(value.sData, replacements, sData);
    if (FAILED(hr)) return hr;
    if (value.nType == REG_DWORD) {
        const std::string sNumber = comrt::ToUtf8(sData);
        DWORD nValue = 0;
        const auto [pEnd, ec] = std::from_chars(sNumber.data(), sNumber.data() + sNumber.size(), nValue);
        if (ec != std::errc() || pEnd != sNumber.data() + sNumber.size()) return E_INVALIDARG;
        return FromRegistry(key.SetDWORDValue(sName, nValue));
    }
    if (value.nType != REG_SZ) return E_INVALIDARG;
    return FromRegistry(key.SetStringValue(sName, sData));
}

HRESULT RegisterKey(HKEY hParent, const RegistryScriptKey& script, const Replacements& replacements) {
    std::u16string sName;
    HRESULT hr = ApplyReplacements(script.sName, replacements, sName);
    if (FAILED(hr)) return hr;
    if (sName.empty()) return E_INVALIDARG;
    if (script.eRemoval == KeyRemoval::ForceRemove) {
        const LONG nResult = RegDeleteTreeW(hParent, sName.c_str());
        if (nResult == ERROR_SUCCESS || IsGone(nResult)) {
            // Deleting the subtree keeps the key when it is named empty; delete the key itself too.
            const LONG nDelete = RegDeleteKeyW(hParent, sName.c_str());
            if (nDelete != ERROR_SUCCESS && !IsGone(nDelete)) return FromRegistry(nDelete);
        } else {
            return FromRegistry(nResult);
        }
    }
    CRegKey key;
    if (LONG nResult = key.Create(hParent, sName); nResult != ERROR_SUCCESS) return FromRegistry(nResult);
    for (const RegistryScriptValue& value : script.values) {
        hr = SetScriptValue(key, value, replacements);
        if (FAILED(hr)) return hr;
    }
    for (const RegistryScriptKey& subkey : script.subkeys) {
        hr = RegisterKey(key, subkey, replacements);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

bool HasSubkeys(HKEY hKey) {
    DWORD nSubkeys = 0;
    return RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &nSubkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           nSubkeys != 0;
}

HRESULT UnregisterKey(HKEY hParent, const RegistryScriptKey& script, const Replacements& replacements) {
    std::u16string sName;
    HRESULT hr = ApplyReplacements(script.sName, replacements, sName);
    if (FAILED(hr)) return hr;
    if (sName.empty()) return E_INVALIDARG;
    if (script.eRemoval == KeyRemoval::ForceRemove) {
        LONG nResult = RegDeleteTreeW(hParent, sName.c_str());
        if (nResult == ERROR_SUCCESS) nResult = RegDeleteKeyW(hParent, sName.c_str());
        return IsGone(nResult) ? S_OK : FromRegistry(nResult);
    }
    CRegKey key;
    if (LONG nResult = key.Open(hParent, sName, KEY_READ | KEY_WRITE); nResult != ERROR_SUCCESS) {
        return IsGone(nResult) ? S_OK : FromRegistry(nResult);
    }
    for (auto it = script.subkeys.rbegin(); it != script.subkeys.rend(); ++it) {
        hr = UnregisterKey(key, *it, replacements);
        if (FAILED(hr)) return hr;
    }
    if (script.eRemoval == KeyRemoval::NoRemove) return S_OK;
    for (auto it = script.values.rbegin(); it != script.values.rend(); ++it) {
        std::u16string sValueName;
        hr = ApplyReplacements(it->sName, replacements, sValueName);
        if (FAILED(hr)) return hr;
        const LONG nResult = key.DeleteValue(sValueName);
        if (nResult != ERROR_SUCCESS && !IsGone(nResult)) return FromRegistry(nResult);
    }
    // A key that still has subkeys belongs to someone else as well (another version, another module).
    if (HasSubkeys(key)) return S_OK;
    key.Close();
    const LONG nResult = RegDeleteKeyW(hParent, sName.c_str());
    return (nResult == ERROR_SUCCESS || IsGone(nResult) || nResult == ERROR_ACCESS_DENIED) ? S_OK
                                                                                           : FromRegistry(nResult);
}

std::u16string CategoryKeyPath(REFCLSID clsid) {
    return u"CLSID\\" + GuidText(clsid);
}

}  // namespace

HRESULT ApplyReplacements(std::u16string_view sText, const Replacements& replacements, std::u16string& sResult) {
    sResult.clear();
    sResult.reserve(sText.size());
    std::size_t i = 0;
    while (i < sText.size()) {
        const std::size_t nStart = sText.find(u'%', i);
        if (nStart == std::u16string_view::npos) {
            sResult.append(sText.substr(i));
            break;
        }
        sResult.append(sText.substr(i, nStart - i));
        const std::size_t nEnd = sText.find(u'%', nStart + 1);
        if (nEnd == std::u16string_view::npos) return E_INVALIDARG;
        const std::u16string_view sName = sText.substr(nStart + 1, nEnd - nStart - 1);
        if (sName.empty()) {
            sResult += u'%';
        } else {
            const auto it = std::find_if(replacements.begin(), replacements.end(),
                                         [&](const auto& entry) { return comrt::EqualsNoCase(entry.first, sName); });
            if (it == replacements.end()) return E_INVALIDARG;
            sResult += it->second;
        }
        i = nEnd + 1;
    }
    return S_OK;
}

HRESULT UpdateRegistryFromScript(HKEY hRoot, std::span<const RegistryScriptKey> keys, const Replacements& replacements,
                                 bool bRegister) {
    if (bRegister) {
        for (const RegistryScriptKey& key : keys) {
            const HRESULT hr = RegisterKey(hRoot, key, replacements);
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    }
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
        const HRESULT hr = UnregisterKey(hRoot, *it, replacements);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

std::u16string GuidText(REFGUID guid) {
    OLECHAR szText[40] = {};
    const int nLength = StringFromGUID2(guid, szText, 40);
    return nLength > 0 ? std::u16string(szText, static_cast<std::size_t>(nLength - 1)) : std::u16string();
}

HRESULT RegisterClassImplCategories(REFCLSID clsid, std::span<const CATID> categories) {
    if (categories.empty()) return S_OK;
    CRegKey key;
    LONG nResult = key.Create(HKEY_CLASSES_ROOT, CategoryKeyPath(clsid) + u"\\Implemented Categories");
    if (nResult != ERROR_SUCCESS) return FromRegistry(nResult);
    for (const CATID& catid : categories) {
        CRegKey category;
        nResult = category.Create(key, GuidText(catid));
        if (nResult != ERROR_SUCCESS) return FromRegistry(nResult);
    }
    return S_OK;
}

HRESULT UnregisterClassImplCategories(REFCLSID clsid, std::span<const CATID> categories) {
    CRegKey classKey;
    LONG nResult = classKey.Open(HKEY_CLASSES_ROOT, CategoryKeyPath(clsid), KEY_READ | KEY_WRITE);
    if (nResult != ERROR_SUCCESS) return IsGone(nResult) ? S_OK : FromRegistry(nResult);
    {
        CRegKey implemented;
        nResult = implemented.Open(classKey, u"Implemented Categories", KEY_READ | KEY_WRITE);
        if (nResult == ERROR_SUCCESS) {
            for (const CATID& catid : categories) {
                nResult = implemented.RecurseDeleteKey(GuidText(catid));
                if (nResult != ERROR_SUCCESS && !IsGone(nResult)) return FromRegistry(nResult);
            }
        } else if (!IsGone(nResult)) {
            return FromRegistry(nResult);
        }
    }
    for (const char16_t* pszKey : {u"Implemented Categories", u"Required Categories"}) {
        CRegKey key;
        nResult = key.Open(classKey, pszKey, KEY_READ);
        if (nResult == ERROR_SUCCESS && key.IsEmpty()) {
            key.Close();
            nResult = classKey.DeleteSubKey(pszKey);
            if (nResult != ERROR_SUCCESS && !IsGone(nResult)) return FromRegistry(nResult);
        }
    }
    return S_OK;
}

const char16_t* ThreadingModelText(ThreadingModel eModel) noexcept {
    switch (eModel) {
        case ThreadingModel::Apartment:
            return u"apartment";
        case ThreadingModel::Free:
            return u"free";
        case ThreadingModel::Both:
            return u"both";
    }
    return u"apartment";
}

std::u16string MakeVersionIndependentProgId(std::u16string_view sClassName) {
    std::u16string sProgId(sClassName);
    sProgId += u'.';
    sProgId += sClassName;
    if (sProgId.size() > 37) sProgId.resize(37);
    return sProgId;
}

std::u16string VersionIndependentProgIdOf(const ClassEntry& entry) {
    if (entry.pszVersionIndependentProgId != nullptr) return entry.pszVersionIndependentProgId;
    return MakeVersionIndependentProgId(entry.pszClassName ? entry.pszClassName : u"");
}

std::u16string ProgIdOf(const ClassEntry& entry) {
    if (entry.pszProgId != nullptr) return entry.pszProgId;
    return VersionIndependentProgIdOf(entry) + u".1";
}

std::u16string ServerPathOf(const ClassEntry& entry, std::u16string_view sModulePath) {
    if (entry.pszServerFileName == nullptr) return std::u16string(sModulePath);
    const size_t nSlash = sModulePath.rfind(u'/');
    std::u16string sPath(nSlash == std::u16string_view::npos ? std::u16string_view()
                                                             : sModulePath.substr(0, nSlash + 1));
    return sPath + entry.pszServerFileName;
}

std::vector<RegistryScriptKey> MakeClassScript(const ClassEntry& entry, const ModuleRegistration& module,
                                               Replacements& replacements) {
    const std::u16string sClsid = GuidText(*entry.pClsid);
    const std::u16string sProgId = ProgIdOf(entry);
    const std::u16string sVersionIndependentProgId = VersionIndependentProgIdOf(entry);
    replacements = {
        {u"FriendlyName", entry.pszFriendlyName ? entry.pszFriendlyName : u""},
        {u"MODULE", ServerPathOf(entry, module.sModulePath)},
        {u"MODULETYPE", module.pszModuleType},
        {u"APPID", module.pAppId ? GuidText(*module.pAppId) : std::u16string()},
        {u"MODULEGUID", module.pTypeLibId ? GuidText(*module.pTypeLibId) : std::u16string()},
    };

    std::vector<RegistryScriptKey> script;
    script.push_back(ScriptKey(sProgId).Default(u"%FriendlyName%").Subkey(ScriptKey(u"CLSID").Default(sClsid)));
    script.push_back(ScriptKey(sVersionIndependentProgId)
                         .Default(u"%FriendlyName%")
                         .Subkey(ScriptKey(u"CLSID").Default(sClsid))
                         .Subkey(ScriptKey(u"CurVer").Default(sProgId)));

    RegistryScriptKey classKey = ScriptKey(sClsid, KeyRemoval::ForceRemove);
    classKey.Default(u"%FriendlyName%")
        .Subkey(ScriptKey(u"ProgID").Default(sProgId))
        .Subkey(ScriptKey(u"VersionIndependentProgID").Default(sVersionIndependentProgId))
        .Subkey(ScriptKey(u"Programmable", KeyRemoval::ForceRemove))
        .Subkey(ScriptKey(u"%MODULETYPE%")
                    .Default(u"%MODULE%")
                    .Value(u"ThreadingModel", ThreadingModelText(entry.eThreadingModel)));
    if (module.pAppId != nullptr) classKey.Value(u"AppID", u"%APPID%");
    if (module.pTypeLibId != nullptr) classKey.Subkey(ScriptKey(u"TypeLib").Default(u"%MODULEGUID%"));
    script.push_back(ScriptKey(u"CLSID", KeyRemoval::NoRemove).Subkey(std::move(classKey)));
    return script;
}

const ClassEntry* CModuleClassTable::Find(REFCLSID clsid) const noexcept {
    for (const ClassEntry& entry : m_entries) {
        if (*entry.pClsid == clsid) return &entry;
    }
    return nullptr;
}

HRESULT CModuleClassTable::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    const ClassEntry* pEntry = Find(clsid);
    if (pEntry == nullptr || pEntry->pfnCreate == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    return CClassFactory::Create(pEntry->pfnCreate, riid, ppv);
}

HRESULT CModuleClassTable::RegisterServer(const ModuleRegistration& module) const {
    for (const ClassEntry& entry : m_entries) {
        Replacements replacements;
        const std::vector<RegistryScriptKey> script = MakeClassScript(entry, module, replacements);
        HRESULT hr = UpdateRegistryFromScript(HKEY_CLASSES_ROOT, script, replacements, true);
        if (SUCCEEDED(hr) && entry.pCategory != nullptr) {
            hr = RegisterClassImplCategories(*entry.pClsid, std::span<const CATID>(entry.pCategory, 1));
        }
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CModuleClassTable::UnregisterServer(const ModuleRegistration& module) const {
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        HRESULT hr = S_OK;
        if (it->pCategory != nullptr) {
            hr = UnregisterClassImplCategories(*it->pClsid, std::span<const CATID>(it->pCategory, 1));
        }
        if (SUCCEEDED(hr)) {
            Replacements replacements;
            const std::vector<RegistryScriptKey> script = MakeClassScript(*it, module, replacements);
            hr = UpdateRegistryFromScript(HKEY_CLASSES_ROOT, script, replacements, false);
        }
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RegisterTypeLibKeys(REFGUID libid, std::u16string_view sVersion, std::u16string_view sHelpText,
                            std::u16string_view sModulePath) {
    const Replacements replacements{{u"HELP", std::u16string(sHelpText)}, {u"MODULE", std::u16string(sModulePath)}};
    const std::vector<RegistryScriptKey> script{
        ScriptKey(u"TypeLib", KeyRemoval::NoRemove)
            .Subkey(ScriptKey(GuidText(libid))
                        .Subkey(ScriptKey(std::u16string(sVersion))
                                    .Default(u"%HELP%")
                                    .Subkey(ScriptKey(u"0").Subkey(ScriptKey(u"linux64").Default(u"%MODULE%")))
                                    .Subkey(ScriptKey(u"FLAGS").Default(u"0"))))};
    return UpdateRegistryFromScript(HKEY_CLASSES_ROOT, script, replacements, true);
}

HRESULT UnregisterTypeLibKeys(REFGUID libid) {
    CRegKey typeLibs;
    LONG nResult = typeLibs.Open(HKEY_CLASSES_ROOT, u"TypeLib", KEY_READ | KEY_WRITE);
    if (nResult != ERROR_SUCCESS) return IsGone(nResult) ? S_OK : FromRegistry(nResult);
    nResult = typeLibs.RecurseDeleteKey(GuidText(libid));
    return IsGone(nResult) ? S_OK : FromRegistry(nResult);
}

}  // namespace corvane
