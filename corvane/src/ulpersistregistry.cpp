// The registry property bag and binary registry values.
#include "corvane/ulpersistregistry.h"

#include <cstring>

#include "comrt/sync.h"
#include "corvane/ulguard.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulpersist.h"

namespace {

constexpr LONG kErrorInvalidDatatype = 1804;
constexpr std::size_t kPrefixLength = std::size(UL_VARIANT_VALUE_PREFIX) - 1;

void CheckRegistry(LONG nResult, const char* pszSourcePath = __builtin_FILE(), int nLine = __builtin_LINE(),
                   const char* pszFunctionName = __builtin_FUNCTION()) {
    if (nResult != ERROR_SUCCESS)
        corvane::ThrowHResult(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nResult)), pszSourcePath, nLine,
                              pszFunctionName);
}

// Whether the text begins with "variant:" in any case.
bool HasVariantPrefix(const OLECHAR* psz, std::size_t nLength) noexcept {
    if (psz == nullptr || nLength < kPrefixLength) return false;
    for (std::size_t i = 0; i < kPrefixLength; ++i) {
        OLECHAR c = psz[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<OLECHAR>(c - u'A' + u'a');
        if (c != UL_VARIANT_VALUE_PREFIX[i]) return false;
    }
    return true;
}

// "variant:" and the Base64 form of the value's variant block.
std::u16string VariantText(const VARIANT* pValue) {
    CMemoryStreamObject* pRawStream = nullptr;
    UL_CHECK(CMemoryStreamObject::CreateInstance(&pRawStream));
    CComPtr<IStream> pKeep;
    pKeep.Attach(pRawStream);
    UL_CHECK(CComVariantArray::WriteToStream(pRawStream, pValue));
    BSTR sText = nullptr;
    UL_CHECK(_MemoryStreamHelper::BstrFromMemoryStream(pRawStream, &sText));
    std::u16string sValue(UL_VARIANT_VALUE_PREFIX);
    if (sText != nullptr) sValue.append(sText, SysStringLen(sText));
    SysFreeString(sText);
    return sValue;
}

void VariantFromText(const std::u16string& sBase64, VARIANT* pValue) {
    BSTR sText = SysAllocStringLen(sBase64.data(), static_cast<UINT>(sBase64.size()));
    if (sText == nullptr) corvane::ThrowHResult(E_OUTOFMEMORY);
    CMemoryStreamObject* pRawStream = nullptr;
    const HRESULT hr = _MemoryStreamHelper::MemoryStreamFromBstr(sText, &pRawStream);
    SysFreeString(sText);
    UL_CHECK(hr);
    CComPtr<IStream> pKeep;
    pKeep.Attach(pRawStream);
    CComVariantArray Value;
    UL_CHECK(Value.ReadFromStream(pRawStream));
    VariantClear(pValue);
    *pValue = Value;
    VariantInit(&Value);
}

}  // namespace

bool _RegKeyHelper::SetBinaryValue(HKEY hKey, LPCOLESTR pszValueName, const void* pData, DWORD cbData) noexcept {
    const LONG nResult = RegSetValueExW(hKey, pszValueName, 0, REG_BINARY, static_cast<const BYTE*>(pData), cbData);
    if (nResult == ERROR_SUCCESS) return true;
    SetLastError(static_cast<DWORD>(nResult));
    return false;
}

bool _RegKeyHelper::QueryBinaryValue(HKEY hKey, LPCOLESTR pszValueName, void* pData, DWORD* pcbData) noexcept {
    if (pcbData == nullptr) {
        SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        return false;
    }
    DWORD nType = REG_NONE;
    LONG nResult = RegQueryValueExW(hKey, pszValueName, nullptr, &nType, static_cast<BYTE*>(pData), pcbData);
    if (nResult == ERROR_SUCCESS && nType != REG_BINARY) nResult = kErrorInvalidDatatype;
    if (nResult == ERROR_SUCCESS) return true;
    SetLastError(static_cast<DWORD>(nResult));
    return false;
}

CRegistryPropertyBagImpl::~CRegistryPropertyBagImpl() = default;

void CRegistryPropertyBagImpl::Initialize(std::u16string_view sKeyPath) {
    CUlCriticalSectionLock Lock(m_CriticalSection);
    UL_ASSERT(!m_ReadKey && !m_WriteKey);
    m_hRoot = HKEY_LOCAL_MACHINE;
    m_sKeyPath = sKeyPath;
}

HKEY CRegistryPropertyBagImpl::ReadKey() {
    if (!m_ReadKey) {
        const LONG nResult = m_ReadKey.Open(m_hRoot, m_sKeyPath, KEY_READ);
        if (nResult == ERROR_FILE_NOT_FOUND) return nullptr;  // looked for again next time: a write may create it
        CheckRegistry(nResult);
    }
    return m_ReadKey;
}

HKEY CRegistryPropertyBagImpl::WriteKey() {
    if (!m_WriteKey) CheckRegistry(m_WriteKey.Create(m_hRoot, m_sKeyPath, KEY_READ | KEY_WRITE));
    return m_WriteKey;
}

HRESULT CRegistryPropertyBagImpl::Write(LPCOLESTR pszPropName, VARIANT* pVar) {
    UL_GUARD_BEGIN
    corvane::CheckArgument(pszPropName != nullptr);
    corvane::CheckPointer(pVar);
    CUlCriticalSectionLock Lock(m_CriticalSection);
    const HKEY hKey = WriteKey();
    switch (pVar->vt) {
        case VT_EMPTY:
        case VT_NULL:
            RegDeleteValueW(hKey, pszPropName);
            return S_OK;
        case VT_I2: {
            const DWORD n = static_cast<DWORD>(static_cast<LONG>(pVar->iVal));
            CheckRegistry(RegSetValueExW(hKey, pszPropName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4));
            return S_OK;
        }
        case VT_I4: {
            const DWORD n = static_cast<DWORD>(pVar->lVal);
            CheckRegistry(RegSetValueExW(hKey, pszPropName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4));
            return S_OK;
        }
        case VT_BOOL: {
            const DWORD n = pVar->boolVal != VARIANT_FALSE ? 1 : 0;
            CheckRegistry(RegSetValueExW(hKey, pszPropName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4));
            return S_OK;
        }
        case VT_BSTR: {
            const UINT nLength = SysStringLen(pVar->bstrVal);
            if (HasVariantPrefix(pVar->bstrVal, nLength)) break;
            std::u16string sText(pVar->bstrVal != nullptr ? pVar->bstrVal : u"", nLength);
            CheckRegistry(RegSetValueExW(hKey, pszPropName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sText.c_str()),
                                         static_cast<DWORD>((sText.size() + 1) * sizeof(char16_t))));
            return S_OK;
        }
        case VT_ARRAY | VT_UI1: {
            SAFEARRAY* psa = pVar->parray;
            if (psa == nullptr || SafeArrayGetDim(psa) != 1) break;
            void* pvData = nullptr;
            UL_CHECK(SafeArrayAccessData(psa, &pvData));
            const bool bDone = _RegKeyHelper::SetBinaryValue(hKey, pszPropName, pvData, psa->rgsabound[0].cElements);
            SafeArrayUnaccessData(psa);
            if (!bDone) CheckRegistry(static_cast<LONG>(GetLastError()));
            return S_OK;
        }
        default:
            break;
    }
    const std::u16string sText = VariantText(pVar);
    CheckRegistry(RegSetValueExW(hKey, pszPropName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sText.c_str()),
                                 static_cast<DWORD>((sText.size() + 1) * sizeof(char16_t))));
    UL_GUARD_END
}

HRESULT CRegistryPropertyBagImpl::Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) {
    if (pszPropName == nullptr) return E_INVALIDARG;
    if (pVar == nullptr) return E_POINTER;
    const HRESULT hr = ReadValue(pszPropName, pVar);
    if (FAILED(hr) && hr != E_INVALIDARG && pErrorLog != nullptr) {
        EXCEPINFO Info{};
        Info.scode = hr;
        pErrorLog->AddError(pszPropName, &Info);
    }
    return hr;
}

HRESULT CRegistryPropertyBagImpl::ReadValue(LPCOLESTR pszPropName, VARIANT* pVar) {
    UL_GUARD_BEGIN
    CUlCriticalSectionLock Lock(m_CriticalSection);
    const HKEY hKey = ReadKey();
    if (hKey == nullptr) return E_INVALIDARG;
    DWORD nType = REG_NONE;
    DWORD cbData = 0;
    const LONG nResult = RegQueryValueExW(hKey, pszPropName, nullptr, &nType, nullptr, &cbData);
    if (nResult == ERROR_FILE_NOT_FOUND) return E_INVALIDARG;
    CheckRegistry(nResult);
    switch (nType) {
        case REG_DWORD: {
            DWORD n = 0;
            CheckRegistry(m_ReadKey.QueryDWORDValue(pszPropName, n));
            VariantClear(pVar);
            pVar->vt = VT_I4;
            pVar->lVal = static_cast<LONG>(n);
            return S_OK;
        }
        case REG_SZ: {
            std::u16string sText;
            CheckRegistry(m_ReadKey.QueryStringValue(pszPropName, sText));
            if (HasVariantPrefix(sText.data(), sText.size())) {
                VariantFromText(sText.substr(kPrefixLength), pVar);
                return S_OK;
            }
            BSTR s = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()));
            if (s == nullptr) return E_OUTOFMEMORY;
            VariantClear(pVar);
            pVar->vt = VT_BSTR;
            pVar->bstrVal = s;
            return S_OK;
        }
        case REG_BINARY: {
            SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, cbData);
            if (psa == nullptr) return E_OUTOFMEMORY;
            DWORD cbRead = cbData;
            if (!_RegKeyHelper::QueryBinaryValue(hKey, pszPropName, psa->pvData, &cbRead)) {
                SafeArrayDestroy(psa);
                CheckRegistry(static_cast<LONG>(GetLastError()));
            }
            VariantClear(pVar);
            pVar->vt = VT_ARRAY | VT_UI1;
            pVar->parray = psa;
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    UL_GUARD_END
}
