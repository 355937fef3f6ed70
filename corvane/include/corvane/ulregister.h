// Registration of a module's classes: registry scripts (a tree of keys and values written forward and
// removed backward, with %NAME% replacements) and the module's class table, which writes for each class its
// ProgID keys, its CLSID key and its component categories, and serves its class objects.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comrt/registry.h"
#include "corvane/ulobject.h"

namespace corvane {

// What unregistration does with a key of a script.
enum class KeyRemoval {
    // Removed when nothing is left below it once its own script entries are gone.
    Normal,
    // A shared parent ("CLSID", "AppID", "Component Categories"): never removed, only the entries below it.
    NoRemove,
    // Removed whole on unregistration, and deleted whole before it is written on registration, so that
    // stale subkeys of an earlier version disappear.
    ForceRemove,
};

struct RegistryScriptValue {
    std::u16string sName;  // empty: the key's default value
    std::u16string sData;
    DWORD nType = REG_SZ;  // REG_SZ, or REG_DWORD with sData holding decimal text
};

struct RegistryScriptKey {
    std::u16string sName;
    KeyRemoval eRemoval = KeyRemoval::Normal;
    std::vector<RegistryScriptValue> values;
    std::vector<RegistryScriptKey> subkeys;

    RegistryScriptKey& Default(std::u16string sData) {
        values.push_back({u"", std::move(sData), REG_SZ});
        return *this;
    }
    RegistryScriptKey& Value(std::u16string sValueName, std::u16string sData) {
        values.push_back({std::move(sValueName), std::move(sData), REG_SZ});
        return *this;
    }
    RegistryScriptKey& Subkey(RegistryScriptKey key) {
        subkeys.push_back(std::move(key));
        return *this;
    }
};

inline RegistryScriptKey ScriptKey(std::u16string sName, KeyRemoval eRemoval = KeyRemoval::Normal) {
    return RegistryScriptKey{std::move(sName), eRemoval, {}, {}};
}

using Replacements = std::vector<std::pair<std::u16string, std::u16string>>;

// Replaces every %NAME% of sText whose NAME is in replacements (names compare without case); "%%" is one
// percent sign; an unknown name is an error (E_INVALIDARG), as a script with a typo must not register.
HRESULT ApplyReplacements(std::u16string_view sText, const Replacements& replacements, std::u16string& sResult);

// Runs a script under hRoot: forward (bRegister) creates keys and sets values in the script's order;
// backward removes what the forward run wrote, children before their parents, in reverse order. Backward
// ignores what is already gone. A registry failure gives its HRESULT (HRESULT_FROM_WIN32).
HRESULT UpdateRegistryFromScript(HKEY hRoot, std::span<const RegistryScriptKey> keys, const Replacements& replacements,
                                 bool bRegister);

// Component category membership: HKCR\CLSID\{clsid}\Implemented Categories\{catid}. Removal deletes the
// category key, then "Implemented Categories" and "Required Categories" when they are left empty.
HRESULT RegisterClassImplCategories(REFCLSID clsid, std::span<const CATID> categories);
HRESULT UnregisterClassImplCategories(REFCLSID clsid, std::span<const CATID> categories);

// The brace form of a GUID, upper case, as StringFromGUID2 writes it.
std::u16string GuidText(REFGUID guid);

enum class ThreadingModel { Apartment, Free, Both };
const char16_t* ThreadingModelText(ThreadingModel eModel) noexcept;

// One class of a module's class table.
struct ClassEntry {
    const CLSID* pClsid = nullptr;
    ObjectCreator pfnCreate = nullptr;
    // The class name ("CPingActivity"); the ProgIDs derive from it unless given explicitly.
    const char16_t* pszClassName = nullptr;
    const char16_t* pszFriendlyName = nullptr;
    ThreadingModel eThreadingModel = ThreadingModel::Apartment;
    const CATID* pCategory = nullptr;  // nullptr: implements no category
    const char16_t* pszProgId = nullptr;
    const char16_t* pszVersionIndependentProgId = nullptr;
    // The file of a companion library beside the module that serves the class instead of the module itself
    // (a plug-in's property pages, so that loading the plug-in never loads the toolkit); nullptr: the module.
    const char16_t* pszServerFileName = nullptr;
};

// The file that serves a class of the module at sModulePath: the module, or its companion in the same folder.
std::u16string ServerPathOf(const ClassEntry& entry, std::u16string_view sModulePath);

// The version-independent ProgID of a class: its name, a dot and its name again, cut to 37 characters;
// the ProgID is that followed by ".1", so that no ProgID exceeds 39 characters.
std::u16string MakeVersionIndependentProgId(std::u16string_view sClassName);
std::u16string VersionIndependentProgIdOf(const ClassEntry& entry);
std::u16string ProgIdOf(const ClassEntry& entry);

// Where a module is registered: its file, the server key it is registered under, its AppID and type library.
struct ModuleRegistration {
    std::u16string sModulePath;
    const char16_t* pszModuleType = u"InprocServer32";  // or LocalServer32
    const GUID* pAppId = nullptr;                       // the "AppID" value of each class; nullptr: none
    const GUID* pTypeLibId = nullptr;                   // the "TypeLib" subkey of each class; nullptr: none
};

// The per-class script: ProgID and version-independent ProgID keys, then the class's CLSID key.
std::vector<RegistryScriptKey> MakeClassScript(const ClassEntry& entry, const ModuleRegistration& module,
                                               Replacements& replacements);

// The classes a module serves.
class CModuleClassTable {
public:
    constexpr explicit CModuleClassTable(std::span<const ClassEntry> entries) noexcept : m_entries(entries) {}

    std::span<const ClassEntry> Entries() const noexcept { return m_entries; }
    const ClassEntry* Find(REFCLSID clsid) const noexcept;

    // A new class object of the class clsid, answering riid; CLASS_E_CLASSNOTAVAILABLE for a class not in
    // the table.
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const;

    // For every class in table order: its script, then its categories; stops at the first failure.
    // Unregistration runs the reverse: classes in reverse order, categories first.
    HRESULT RegisterServer(const ModuleRegistration& module) const;
    HRESULT UnregisterServer(const ModuleRegistration& module) const;

private:
    std::span<const ClassEntry> m_entries;
};

// The type library's registration under HKCR\TypeLib\{libid}\<version>: its help text and the module
// that carries the description. Removal takes the library's key whole.
HRESULT RegisterTypeLibKeys(REFGUID libid, std::u16string_view sVersion, std::u16string_view sHelpText,
                            std::u16string_view sModulePath);
HRESULT UnregisterTypeLibKeys(REFGUID libid);

}  // namespace corvane
