// An IStream over one heap buffer, and the Base64 text form of such a stream.
//
// The stream keeps a size and a current position; its buffer is the size rounded up to the allocation step.
// Seeking past the end is allowed, and a write there fills the gap with zero bytes. Setting a size below the
// position moves the position to the new size. All calls hold the stream's own critical section; GetData and
// GetSize give the registry code direct access to the bytes (hold GetCriticalSection() while using them when
// other threads may write).
//
// Beyond Read, Write, Seek, SetSize and Stat: CopyTo copies like a read followed by a write; Commit and
// Revert have nothing to do; region locks are not supported (STG_E_INVALIDFUNCTION); Clone gives a new
// stream holding a copy of the content at the same position, which does not share later changes.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "comrt/interfaces.h"
#include "comrt/oleauto.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"

template <class T, std::size_t nAllocationStep = 4096>
class CBaseMemoryStreamT : public IStream {
    static_assert(nAllocationStep != 0 && (nAllocationStep & (nAllocationStep - 1)) == 0,
                  "the allocation step is a power of two");

public:
    // The largest size the stream takes; larger sizes and writes beyond it fail with STG_E_MEDIUMFULL.
    static constexpr std::size_t MAXIMUM_SIZE = 0x7FFFFFFF;

    CBaseMemoryStreamT() noexcept = default;
    CBaseMemoryStreamT(const CBaseMemoryStreamT&) = delete;
    CBaseMemoryStreamT& operator=(const CBaseMemoryStreamT&) = delete;
    virtual ~CBaseMemoryStreamT() { std::free(m_pData); }

    BYTE* GetData() noexcept { return m_pData; }
    const BYTE* GetData() const noexcept { return m_pData; }
    std::size_t GetSize() const noexcept { return m_nSize; }
    std::size_t GetPosition() const noexcept { return m_nPosition; }
    std::size_t GetCapacity() const noexcept { return m_nCapacity; }
    CUlCriticalSection& GetCriticalSection() noexcept { return m_DataCriticalSection; }

    // ISequentialStream
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead != nullptr) *pcbRead = 0;
        if (pv == nullptr && cb != 0) return STG_E_INVALIDPOINTER;
        if (cb == 0) return S_OK;
        CLock Lock(m_DataCriticalSection);
        if (FAILED(Lock.m_nResult)) return Lock.m_nResult;
        const std::size_t nAvailable = m_nPosition < m_nSize ? m_nSize - m_nPosition : 0;
        const auto nRead = static_cast<ULONG>(std::min<std::size_t>(cb, nAvailable));
        if (nRead != 0) std::memcpy(pv, m_pData + m_nPosition, nRead);
        m_nPosition += nRead;
        if (pcbRead != nullptr) *pcbRead = nRead;
        return S_OK;
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten != nullptr) *pcbWritten = 0;
        if (pv == nullptr && cb != 0) return STG_E_INVALIDPOINTER;
        if (cb == 0) return S_OK;
        CLock Lock(m_DataCriticalSection);
        if (FAILED(Lock.m_nResult)) return Lock.m_nResult;
        if (m_nPosition > MAXIMUM_SIZE || cb > MAXIMUM_SIZE - m_nPosition) return STG_E_MEDIUMFULL;
        const std::size_t nEnd = m_nPosition + cb;
        if (nEnd > m_nSize && !Resize(nEnd)) return STG_E_MEDIUMFULL;
        std::memmove(m_pData + m_nPosition, pv, cb);
        m_nPosition = nEnd;
        if (pcbWritten != nullptr) *pcbWritten = cb;
        return S_OK;
    }

    // IStream
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        CLock Lock(m_DataCriticalSection);
        if (FAILED(Lock.m_nResult)) return Lock.m_nResult;
        LONGLONG nBase = 0;
        switch (dwOrigin) {
            case STREAM_SEEK_SET:
                break;
            case STREAM_SEEK_CUR:
                nBase = static_cast<LONGLONG>(m_nPosition);
                break;
            case STREAM_SEEK_END:
                nBase = static_cast<LONGLONG>(m_nSize);
                break;
            default:
                return STG_E_INVALIDFUNCTION;
        }
        LONGLONG nNew = 0;
        if (__builtin_add_overflow(nBase, dlibMove.QuadPart, &nNew) || nNew < 0) return STG_E_INVALIDFUNCTION;
        m_nPosition = static_cast<std::size_t>(nNew);
        if (plibNewPosition != nullptr) plibNewPosition->QuadPart = static_cast<ULONGLONG>(nNew);
        return S_OK;
    }
    HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
        if (libNewSize.QuadPart > MAXIMUM_SIZE) return STG_E_MEDIUMFULL;
        CLock Lock(m_DataCriticalSection);
        if (FAILED(Lock.m_nResult)) return Lock.m_nResult;
        const auto nSize = static_cast<std::size_t>(libNewSize.QuadPart);
        if (!Resize(nSize)) return STG_E_MEDIUMFULL;
        if (m_nPosition > nSize) m_nPosition = nSize;
        return S_OK;
    }
    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
        if (pcbRead != nullptr) pcbRead->QuadPart = 0;
        if (pcbWritten != nullptr) pcbWritten->QuadPart = 0;
        if (pstm == nullptr) return STG_E_INVALIDPOINTER;
        // The bytes are taken out first: the target may be this stream, whose buffer a write may move.
        std::vector<BYTE> bytes;
        {
            CLock Lock(m_DataCriticalSection);
            if (FAILED(Lock.m_nResult)) return Lock.m_nResult;
            const std::size_t nAvailable = m_nPosition < m_nSize ? m_nSize - m_nPosition : 0;
            const auto nCopy = static_cast<std::size_t>(std::min<ULONGLONG>(cb.QuadPart, nAvailable));
            try {
                bytes.assign(m_pData + m_nPosition, m_pData + m_nPosition + nCopy);
            } catch (...) {
                return E_OUTOFMEMORY;
            }
            m_nPosition += nCopy;
        }
        if (pcbRead != nullptr) pcbRead->QuadPart = bytes.size();
        ULONG nWritten = 0;
        const HRESULT hr =
            bytes.empty() ? S_OK : pstm->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &nWritten);
        if (pcbWritten != nullptr) pcbWritten->QuadPart = nWritten;
        return hr;
    }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT Stat(STATSTG* pstatstg, DWORD) override {
        if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
        CLock Lock(m_DataCriticalSection);
        if (FAILED(Lock.m_nResult)) return Lock.m_nResult;
        std::memset(pstatstg, 0, sizeof *pstatstg);
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = m_nSize;
        pstatstg->grfMode = STGM_READWRITE;
        return S_OK;
    }
    HRESULT Clone(IStream** ppstm) override {
        if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        CComObjectT<T>* pClone = nullptr;
        HRESULT hr = CComObjectT<T>::CreateInstance(&pClone);
        if (FAILED(hr)) return hr;
        {
            CLock Lock(m_DataCriticalSection);
            hr = Lock.m_nResult;
            if (SUCCEEDED(hr) && !pClone->Resize(m_nSize)) hr = E_OUTOFMEMORY;
            if (SUCCEEDED(hr)) {
                if (m_nSize != 0) std::memcpy(pClone->m_pData, m_pData, m_nSize);
                pClone->m_nPosition = m_nPosition;
            }
        }
        if (SUCCEEDED(hr)) hr = pClone->QueryInterface(IidOf<IStream>(), reinterpret_cast<void**>(ppstm));
        pClone->Release();
        return hr;
    }

private:
    // Holds the section when it could be entered; m_nResult is the failure otherwise.
    struct CLock {
        explicit CLock(CUlCriticalSection& Section) noexcept : m_Section(Section), m_nResult(Section.Lock()) {}
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;
        ~CLock() {
            if (SUCCEEDED(m_nResult)) m_Section.Unlock();
        }
        CUlCriticalSection& m_Section;
        const HRESULT m_nResult;
    };

    // Sets the size, keeping the capacity at the size rounded up to the allocation step; bytes beyond the old
    // size read as zero. False, with nothing changed, when the memory cannot be had.
    bool Resize(std::size_t nSize) noexcept {
        const std::size_t nCapacity = (nSize + nAllocationStep - 1) & ~(nAllocationStep - 1);
        if (nCapacity != m_nCapacity) {
            if (nCapacity == 0) {
                std::free(m_pData);
                m_pData = nullptr;
            } else {
                void* pNew = std::realloc(m_pData, nCapacity);
                if (pNew == nullptr) return false;
                m_pData = static_cast<BYTE*>(pNew);
            }
            m_nCapacity = nCapacity;
        }
        if (nSize > m_nSize) std::memset(m_pData + m_nSize, 0, nSize - m_nSize);
        m_nSize = nSize;
        return true;
    }

    CUlCriticalSection m_DataCriticalSection;
    BYTE* m_pData = nullptr;
    std::size_t m_nSize = 0;
    std::size_t m_nCapacity = 0;
    std::size_t m_nPosition = 0;

    template <class, std::size_t>
    friend class CBaseMemoryStreamT;
};

template <std::size_t nAllocationStep = 4096>
class CMemoryStreamT : public CBaseMemoryStreamT<CMemoryStreamT<nAllocationStep>, nAllocationStep> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IStream>, InterfaceEntry<ISequentialStream, IStream>>;
};

using CMemoryStream = CMemoryStreamT<>;
using CMemoryStreamObject = CComObjectT<CMemoryStream>;

// The stream's text form. The persistence helpers of the property maps and the registry bag reach it from
// here; this header declares nothing else under their names.
struct _MemoryStreamHelper {
    // The whole content of pStream (its position does not matter and is kept) as Base64 text without padding
    // and without line breaks. E_POINTER for missing arguments, E_OUTOFMEMORY when the text cannot be had.
    static HRESULT BstrFromMemoryStream(CMemoryStream* pStream, BSTR* pbstrText);
    // A new stream, positioned at 0, holding the bytes decoded from bstrText. A text whose byte length is 0,
    // or above 1 with a second byte of 0, is wide text (characters above 0x7F stand for a character outside
    // the alphabet); any other text is taken byte by byte. Characters outside the alphabet are skipped and a
    // NUL ends the text. E_POINTER for a missing ppStream, E_OUTOFMEMORY when the stream cannot be had.
    static HRESULT MemoryStreamFromBstr(BSTR bstrText, CMemoryStreamObject** ppStream);
};
