// Finds the classes that implement a component category by scanning the class registrations under
// HKEY_CLASSES_ROOT\CLSID: a class belongs when its key has the subkey
// "Implemented Categories\{CATID}". Resumable: each call yields the next matching class in the registry's
// enumeration order.
#pragma once

#include <string>

#include "comrt/types.h"
#include "corvane/ulregistry.h"

class CCategoryClassEnumerator {
public:
    // Opens HKEY_CLASSES_ROOT\CLSID for reading; a failure is raised as its HRESULT.
    explicit CCategoryClassEnumerator(REFGUID catid);

    // The next class of the category in clsid; false when the registrations are exhausted.
    bool Next(CLSID& clsid);
    // Starts again from the first registration.
    void Reset() noexcept { m_nIndex = 0; }

private:
    CRegKey m_ClassesKey;
    std::u16string m_sCategoryPath;  // "\Implemented Categories\{CATID}"
    DWORD m_nIndex = 0;
};
