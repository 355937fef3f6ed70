#include "corvane/ulcategories.h"

#include "comrt/runtime.h"
#include "corvane/ulguard.h"
#include "corvane/ulregister.h"

namespace {

// Class identifier keys are 38 characters; anything longer than the buffer is not one.
constexpr DWORD kNameBufferLength = 64;

}  // namespace

CCategoryClassEnumerator::CCategoryClassEnumerator(REFGUID catid)
    : m_sCategoryPath(u"\\Implemented Categories\\" + corvane::GuidText(catid)) {
    const LONG nResult = m_ClassesKey.Open(HKEY_CLASSES_ROOT, u"CLSID", KEY_READ);
    if (nResult != ERROR_SUCCESS) corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nResult)));
}

bool CCategoryClassEnumerator::Next(CLSID& clsid) {
    for (;; ++m_nIndex) {
        OLECHAR szName[kNameBufferLength];
        DWORD nNameLength = kNameBufferLength;
        const LONG nResult =
            RegEnumKeyExW(m_ClassesKey, m_nIndex, szName, &nNameLength, nullptr, nullptr, nullptr, nullptr);
        if (nResult == ERROR_NO_MORE_ITEMS) return false;
        if (nResult != ERROR_SUCCESS) continue;
        CRegKey categoryKey;
        if (categoryKey.Open(m_ClassesKey, std::u16string(szName, nNameLength) + m_sCategoryPath, KEY_READ) !=
            ERROR_SUCCESS) {
            continue;
        }
        if (FAILED(CLSIDFromString(szName, &clsid))) continue;
        ++m_nIndex;
        return true;
    }
}
