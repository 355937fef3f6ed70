// An owning wrapper of a registry key handle with typed value access. Calls return the registry's Win32
// codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ...); nothing here throws.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "comrt/registry.h"

class CRegKey {
public:
    CRegKey() noexcept = default;
    explicit CRegKey(HKEY hKey) noexcept : m_hKey(hKey) {}
    CRegKey(CRegKey&& other) noexcept : m_hKey(other.Detach()) {}
    CRegKey& operator=(CRegKey&& other) noexcept;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() { Close(); }

    operator HKEY() const noexcept { return m_hKey; }
    explicit operator bool() const noexcept { return m_hKey != nullptr; }
    HKEY Detach() noexcept;
    void Attach(HKEY hKey) noexcept;
    LONG Close() noexcept;

    LONG Open(HKEY hKeyParent, std::u16string_view sKeyName, REGSAM samDesired = KEY_READ | KEY_WRITE) noexcept;
    // Opens the key, creating it (and missing parents) when absent; *pbCreated tells which happened.
    LONG Create(HKEY hKeyParent, std::u16string_view sKeyName, REGSAM samDesired = KEY_READ | KEY_WRITE,
                bool* pbCreated = nullptr) noexcept;

    LONG SetStringValue(std::u16string_view sValueName, std::u16string_view sValue) noexcept;
    LONG QueryStringValue(std::u16string_view sValueName, std::u16string& sValue) const;
    LONG SetDWORDValue(std::u16string_view sValueName, DWORD nValue) noexcept;
    LONG QueryDWORDValue(std::u16string_view sValueName, DWORD& nValue) const noexcept;
    LONG SetBinaryValue(std::u16string_view sValueName, const void* pData, DWORD cbData) noexcept;
    LONG QueryBinaryValue(std::u16string_view sValueName, std::vector<BYTE>& data) const;
    LONG DeleteValue(std::u16string_view sValueName) noexcept;

    // Deletes a subkey that has no subkeys of its own.
    LONG DeleteSubKey(std::u16string_view sSubKey) noexcept;
    // Deletes a subkey and everything below it.
    LONG RecurseDeleteKey(std::u16string_view sSubKey) noexcept;
    // The name of the subkey at nIndex in enumeration order; ERROR_NO_MORE_ITEMS past the end.
    LONG EnumKey(DWORD nIndex, std::u16string& sName) const;
    // True when the key has neither subkeys nor values.
    bool IsEmpty() const noexcept;

private:
    HKEY m_hKey = nullptr;
};
