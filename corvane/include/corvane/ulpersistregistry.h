// A property bag over one registry key of HKEY_LOCAL_MACHINE, and binary registry values read and written
// in a caller's buffer.
//
//   CComObjectT<CRegistryPropertyBag>* pBag = nullptr;
//   UL_CHECK(CComObjectT<CRegistryPropertyBag>::CreateInstance(&pBag));
//   pBag->Initialize(u"SOFTWARE\\Corvane Harkwell\\Settings");
//   UL_CHECK(pPersistPropertyBag->Save(pBag, TRUE, TRUE));
//
// Values by type: VT_I2, VT_I4 and VT_BOOL (1 or 0) as REG_DWORD; text as REG_SZ; a one-dimensional byte
// array as REG_BINARY; VT_EMPTY and VT_NULL delete the value; everything else, and text that itself begins
// with "variant:", as REG_SZ "variant:" followed by the Base64 form of its variant block. REG_DWORD reads
// back as VT_I4.
#pragma once

#include <string>

#include "comrt/registry.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulregistry.h"

struct _RegKeyHelper {
    // Writes cbData bytes as REG_BINARY. False on failure, with the registry's code as the thread's last error.
    static bool SetBinaryValue(HKEY hKey, LPCOLESTR pszValueName, const void* pData, DWORD cbData) noexcept;
    // Reads a REG_BINARY value into pData (*pcbData: in, the buffer size; out, the value's size). pData null
    // asks for the size only. False on failure (ERROR_MORE_DATA for a small buffer, ERROR_INVALID_DATATYPE for
    // a value of another type), with the code as the thread's last error.
    static bool QueryBinaryValue(HKEY hKey, LPCOLESTR pszValueName, void* pData, DWORD* pcbData) noexcept;
};

// The prefix of text values that hold a variant block.
inline constexpr char16_t UL_VARIANT_VALUE_PREFIX[] = u"variant:";

class CRegistryPropertyBagImpl : public IPropertyBag {
public:
    CRegistryPropertyBagImpl() = default;
    ~CRegistryPropertyBagImpl();

    // The key below HKEY_LOCAL_MACHINE; before the first read or write.
    void Initialize(std::u16string_view sKeyPath);

    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) override;
    HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) override;

private:
    HKEY ReadKey();   // null when the key does not exist
    HKEY WriteKey();  // created on first use
    HRESULT ReadValue(LPCOLESTR pszPropName, VARIANT* pVar);

    CUlCriticalSection m_CriticalSection;
    HKEY m_hRoot = HKEY_LOCAL_MACHINE;
    std::u16string m_sKeyPath;
    CRegKey m_ReadKey;
    CRegKey m_WriteKey;
};

template <class T>
class CRegistryPropertyBagT : public CRegistryPropertyBagImpl {};

class CRegistryPropertyBag : public CRegistryPropertyBagT<CRegistryPropertyBag> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyBag>>;
};
