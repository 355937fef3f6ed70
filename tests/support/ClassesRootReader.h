// Reading HKEY_CLASSES_ROOT in tests: whether a key exists, a string value (or a marker saying what is
// missing), and a key's subkeys in enumeration order.
#pragma once

#include <string>
#include <vector>

#include "corvane/ulregistry.h"

namespace testing_support {

inline bool KeyExists(const std::u16string& sPath) {
    CRegKey key;
    return key.Open(HKEY_CLASSES_ROOT, sPath, KEY_READ) == ERROR_SUCCESS;
}

// The value, "<no key>" or "<no value>".
inline std::u16string ReadString(const std::u16string& sPath, const std::u16string& sName = u"") {
    CRegKey key;
    std::u16string sValue;
    if (key.Open(HKEY_CLASSES_ROOT, sPath, KEY_READ) != ERROR_SUCCESS) return u"<no key>";
    if (key.QueryStringValue(sName, sValue) != ERROR_SUCCESS) return u"<no value>";
    return sValue;
}

inline std::vector<std::u16string> Subkeys(const std::u16string& sPath) {
    CRegKey key;
    std::vector<std::u16string> names;
    if (key.Open(HKEY_CLASSES_ROOT, sPath, KEY_READ) != ERROR_SUCCESS) return names;
    std::u16string sName;
    for (DWORD i = 0; key.EnumKey(i, sName) == ERROR_SUCCESS; ++i) names.push_back(sName);
    return names;
}

}  // namespace testing_support
