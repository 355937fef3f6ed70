// What the server program registers: its AppID, the component categories plug-ins register under, its
// class table, and the type library that describes the contract.
#pragma once

#include <string>

#include "HarkwellServer/Interfaces.h"
#include "corvane/ulregister.h"

// The service's key name and the default value of the AppID key.
inline constexpr char16_t kServiceName[] = u"Corvane Harkwell Server";

// The user-interface module beside the program at sModulePath, which serves the server's property pages.
std::u16string UserInterfaceModulePath(const std::u16string& sModulePath);

// The classes the program serves, in registration order.
const corvane::CModuleClassTable& ServerClassTable();

// The registration script of the program (AppID keys and the component categories), with its replacements
// for the program at sModulePath.
std::vector<corvane::RegistryScriptKey> ServerScript(const std::u16string& sModulePath,
                                                     corvane::Replacements& replacements);

// Every class of the table with its categories, the property pages under the user-interface module, then
// the type library; the reverse on unregistration.
HRESULT RegisterServer(const std::u16string& sModulePath);
HRESULT UnregisterServer(const std::u16string& sModulePath);
