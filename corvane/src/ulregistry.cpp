#include "corvane/ulregistry.h"

namespace {

// Registry names are NUL-terminated; string views are not.
std::u16string Terminated(std::u16string_view s) {
    return std::u16string(s);
}

}  // namespace

CRegKey& CRegKey::operator=(CRegKey&& other) noexcept {
    if (this != &other) Attach(other.Detach());
    return *this;
}

HKEY CRegKey::Detach() noexcept {
    HKEY hKey = m_hKey;
    m_hKey = nullptr;
    return hKey;
}

void CRegKey::Attach(HKEY hKey) noexcept {
    Close();
    m_hKey = hKey;
}

LONG CRegKey::Close() noexcept {
    LONG nResult = ERROR_SUCCESS;
    if (m_hKey != nullptr) {
        nResult = RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    return nResult;
}

LONG CRegKey::Open(HKEY hKeyParent, std::u16string_view sKeyName, REGSAM samDesired) noexcept {
    HKEY hKey = nullptr;
    LONG nResult = RegOpenKeyExW(hKeyParent, Terminated(sKeyName).c_str(), 0, samDesired, &hKey);
    if (nResult == ERROR_SUCCESS) Attach(hKey);
    return nResult;
}

LONG CRegKey::Create(HKEY hKeyParent, std::u16string_view sKeyName, REGSAM samDesired, bool* pbCreated) noexcept {
    HKEY hKey = nullptr;
    DWORD nDisposition = 0;
    LONG nResult = RegCreateKeyExW(hKeyParent, Terminated(sKeyName).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   samDesired, nullptr, &hKey, &nDisposition);
    if (nResult == ERROR_SUCCESS) {
        Attach(hKey);
        if (pbCreated) *pbCreated = nDisposition == REG_CREATED_NEW_KEY;
    }
    return nResult;
}

LONG CRegKey::SetStringValue(std::u16string_view sValueName, std::u16string_view sValue) noexcept {
    std::u16string sData(sValue);
    return RegSetValueExW(m_hKey, Terminated(sValueName).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(sData.c_str()),
                          static_cast<DWORD>((sData.size() + 1) * sizeof(char16_t)));
}

LONG CRegKey::QueryStringValue(std::u16string_view sValueName, std::u16string& sValue) const {
    const std::u16string sName = Terminated(sValueName);
    for (int nAttempt = 0; nAttempt < 4; ++nAttempt) {
        DWORD nType = 0;
        DWORD cbData = 0;
        LONG nResult = RegQueryValueExW(m_hKey, sName.c_str(), nullptr, &nType, nullptr, &cbData);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (nType != REG_SZ && nType != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
        std::u16string sBuffer(cbData / sizeof(char16_t) + 1, u'\0');
        cbData = static_cast<DWORD>(sBuffer.size() * sizeof(char16_t));
        nResult =
            RegQueryValueExW(m_hKey, sName.c_str(), nullptr, &nType, reinterpret_cast<BYTE*>(sBuffer.data()), &cbData);
        // Another process may have made the value longer in between; ask again.
        if (nResult == ERROR_MORE_DATA) continue;
        if (nResult != ERROR_SUCCESS) return nResult;
        sBuffer.resize(std::char_traits<char16_t>::length(sBuffer.c_str()));
        sValue = std::move(sBuffer);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

LONG CRegKey::SetDWORDValue(std::u16string_view sValueName, DWORD nValue) noexcept {
    return RegSetValueExW(m_hKey, Terminated(sValueName).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nValue),
                          sizeof(nValue));
}

LONG CRegKey::QueryDWORDValue(std::u16string_view sValueName, DWORD& nValue) const noexcept {
    DWORD nType = 0;
    DWORD nData = 0;
    DWORD cbData = sizeof(nData);
    LONG nResult = RegQueryValueExW(m_hKey, Terminated(sValueName).c_str(), nullptr, &nType,
                                    reinterpret_cast<BYTE*>(&nData), &cbData);
    if (nResult != ERROR_SUCCESS) return nResult;
    if (nType != REG_DWORD || cbData != sizeof(nData)) return ERROR_INVALID_DATA;
    nValue = nData;
    return ERROR_SUCCESS;
}

LONG CRegKey::SetBinaryValue(std::u16string_view sValueName, const void* pData, DWORD cbData) noexcept {
    return RegSetValueExW(m_hKey, Terminated(sValueName).c_str(), 0, REG_BINARY, static_cast<const BYTE*>(pData),
                          cbData);
}

LONG CRegKey::QueryBinaryValue(std::u16string_view sValueName, std::vector<BYTE>& data) const {
    const std::u16string sName = Terminated(sValueName);
    for (int nAttempt = 0; nAttempt < 4; ++nAttempt) {
        DWORD nType = 0;
        DWORD cbData = 0;
        LONG nResult = RegQueryValueExW(m_hKey, sName.c_str(), nullptr, &nType, nullptr, &cbData);
        if (nResult != ERROR_SUCCESS) return nResult;
        if (nType != REG_BINARY) return ERROR_INVALID_DATA;
        std::vector<BYTE> buffer(cbData);
        nResult = RegQueryValueExW(m_hKey, sName.c_str(), nullptr, &nType, buffer.data(), &cbData);
        if (nResult == ERROR_MORE_DATA) continue;
        if (nResult != ERROR_SUCCESS) return nResult;
        buffer.resize(cbData);
        data = std::move(buffer);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

LONG CRegKey::DeleteValue(std::u16string_view sValueName) noexcept {
    return RegDeleteValueW(m_hKey, Terminated(sValueName).c_str());
}

LONG CRegKey::DeleteSubKey(std::u16string_view sSubKey) noexcept {
    return RegDeleteKeyW(m_hKey, Terminated(sSubKey).c_str());
}

LONG CRegKey::RecurseDeleteKey(std::u16string_view sSubKey) noexcept {
    return RegDeleteTreeW(m_hKey, Terminated(sSubKey).c_str());
}

LONG CRegKey::EnumKey(DWORD nIndex, std::u16string& sName) const {
    char16_t szName[MAX_REG_NAME + 1];
    DWORD cchName = MAX_REG_NAME + 1;
    LONG nResult = RegEnumKeyExW(m_hKey, nIndex, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
    if (nResult == ERROR_SUCCESS) sName.assign(szName, cchName);
    return nResult;
}

bool CRegKey::IsEmpty() const noexcept {
    DWORD nSubKeys = 0;
    DWORD nValues = 0;
    if (RegQueryInfoKeyW(m_hKey, nullptr, nullptr, nullptr, &nSubKeys, nullptr, nullptr, &nValues, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return nSubKeys == 0 && nValues == 0;
}
