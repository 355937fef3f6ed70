// The Base64 text form of a memory stream, as the persisted settings and the registry property bag keep
// binary data in text values.
#include "corvane/ulmemorystream.h"

#include <string>

#include "corvane/ulbase64.h"
#include "corvane/uldebug.h"

namespace {

// Holds a section when it could be entered.
class CSectionHold {
public:
    explicit CSectionHold(CUlCriticalSection& Section) noexcept : m_Section(Section), m_nResult(Section.Lock()) {}
    CSectionHold(const CSectionHold&) = delete;
    CSectionHold& operator=(const CSectionHold&) = delete;
    ~CSectionHold() {
        if (SUCCEEDED(m_nResult)) m_Section.Unlock();
    }
    HRESULT Result() const noexcept { return m_nResult; }

private:
    CUlCriticalSection& m_Section;
    const HRESULT m_nResult;
};

constexpr DWORD kTextFlags = _Base64Helper::BASE64_FLAG_NOPAD | _Base64Helper::BASE64_FLAG_NOCRLF;

}  // namespace

HRESULT _MemoryStreamHelper::BstrFromMemoryStream(CMemoryStream* pStream, BSTR* pbstrText) {
    if (pbstrText == nullptr) return E_POINTER;
    *pbstrText = nullptr;
    if (pStream == nullptr) return E_POINTER;
    CSectionHold Hold(pStream->GetCriticalSection());
    if (FAILED(Hold.Result())) return Hold.Result();

    const std::size_t nSize = pStream->GetSize();
    const std::size_t nBound = _Base64Helper::GetEncodeOutputSize(nSize, kTextFlags);
    if (nBound > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return E_OUTOFMEMORY;
    std::string sText;
    try {
        sText.resize(nBound);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    const std::size_t nLength = _Base64Helper::Encode(pStream->GetData(), nSize, sText.data(), nBound, kTextFlags);
    UL_ASSERT(nLength == (4 * nSize + 2) / 3);

    BSTR bstrText = SysAllocStringLen(nullptr, static_cast<UINT>(nLength));
    if (bstrText == nullptr) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < nLength; ++i) bstrText[i] = static_cast<OLECHAR>(sText[i]);
    bstrText[nLength] = 0;
    *pbstrText = bstrText;
    return S_OK;
}

HRESULT _MemoryStreamHelper::MemoryStreamFromBstr(BSTR bstrText, CMemoryStreamObject** ppStream) {
    if (ppStream == nullptr) return E_POINTER;
    *ppStream = nullptr;

    const std::size_t nByteLength = SysStringByteLen(bstrText);
    const auto* pBytes = reinterpret_cast<const char*>(bstrText);
    const bool bWide = nByteLength == 0 || (nByteLength > 1 && pBytes[1] == 0);
    std::string sNarrowed;
    const char* pszText = pBytes;
    std::size_t nLength = nByteLength;
    if (bWide) {
        // Characters outside ASCII become '?', which the decoder skips like any character outside the
        // alphabet; a NUL stays a NUL and ends the text.
        nLength = SysStringLen(bstrText);
        try {
            sNarrowed.resize(nLength);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        for (std::size_t i = 0; i < nLength; ++i)
            sNarrowed[i] = bstrText[i] < 0x80 ? static_cast<char>(bstrText[i]) : '?';
        pszText = sNarrowed.data();
    }

    CMemoryStreamObject* pStream = nullptr;
    HRESULT hr = CMemoryStreamObject::CreateInstance(&pStream);
    if (FAILED(hr)) return hr;
    ULARGE_INTEGER nSize;
    nSize.QuadPart = _Base64Helper::GetDecodeOutputSize(nLength);
    hr = pStream->SetSize(nSize);
    if (FAILED(hr)) {
        pStream->Release();
        return hr == STG_E_MEDIUMFULL ? E_OUTOFMEMORY : hr;
    }
    if (nSize.QuadPart != 0) {
        nSize.QuadPart = _Base64Helper::Decode(pszText, nLength, pStream->GetData(), pStream->GetSize());
        hr = pStream->SetSize(nSize);
        UL_ASSERT(SUCCEEDED(hr));
    }
    *ppStream = pStream;
    return S_OK;
}
