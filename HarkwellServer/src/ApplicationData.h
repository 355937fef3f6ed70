// The record the running application publishes in shared memory (corvane/ulshareddata.h): who runs it, in
// which mode, and the token of its tray icon window. Only the owning process writes it, under the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "comrt/text.h"
#include "comrt/types.h"
#include "corvane/ulshareddata.h"

// The base name of the three shared objects: the application's programmatic identifier.
constexpr const char16_t* kApplicationDataName = u"Corvane.HarkwellServer.Application";

// The environment variable that gives the record a base name of its own, so that an instance run beside the
// user's own server (a test, a second store) neither refuses to start nor reads the other's record.
constexpr const char* kApplicationDataNameVariable = "CORVANE_HARKWELL_RECORD";

// The base name every process of this system opens the record by: the variable's value when it is set and
// not empty, else kApplicationDataName. A value with a '/' is refused when the record is opened.
inline std::u16string ApplicationDataName() {
    const char* pszName = std::getenv(kApplicationDataNameVariable);
    if (pszName == nullptr || *pszName == '\0') return kApplicationDataName;
    return comrt::ToUtf16(pszName);
}

// Little-endian 32-bit fields without padding, at the start of the 4096-byte mapping.
struct _APPLICATIONDATA {
    std::uint32_t nSize;               // 0: the size of this record, 20
    std::uint32_t nMappingSize;        // 4: the size of the mapping, 4096
    std::uint32_t nProcessIdentifier;  // 8: the process that made the mapping
    std::uint32_t bApplicationMode;    // 12: 1 in Application Mode, 0 in Service Mode
    std::uint32_t nNotifyIconWindow;   // 16: nonzero token of the tray icon window while one exists, else 0
};
static_assert(sizeof(_APPLICATIONDATA) == 20);
static_assert(offsetof(_APPLICATIONDATA, nProcessIdentifier) == 8);
static_assert(offsetof(_APPLICATIONDATA, bApplicationMode) == 12);
static_assert(offsetof(_APPLICATIONDATA, nNotifyIconWindow) == 16);

class CApplicationDataMapping : public CSharedDataMappingT<CApplicationDataMapping, _APPLICATIONDATA> {};
