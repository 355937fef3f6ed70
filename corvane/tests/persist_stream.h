// A byte-vector IStream for the persistence tests and fuzz targets: it can hand out reads in small pieces
// and refuse writes past a capacity, to exercise callers that must cope with both.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "comrt/interfaces.h"

class CTestStream : public IStream {
public:
    CTestStream() = default;
    explicit CTestStream(std::vector<BYTE> data) : m_Data(std::move(data)) {}
    virtual ~CTestStream() = default;

    std::vector<BYTE> m_Data;
    std::size_t m_nPosition = 0;
    ULONG m_nMaxRead = 0xFFFFFFFFu;      // at most this many bytes per Read
    std::size_t m_nCapacity = SIZE_MAX;  // writes beyond this are cut short
    bool m_bFailSeek = false;

    void Rewind() { m_nPosition = 0; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IidOf<IUnknown>() || riid == IidOf<ISequentialStream>() || riid == IidOf<IStream>()) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_nReferences; }
    ULONG Release() override { return --m_nReferences; }  // lives on the test's stack

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        const std::size_t nLeft = m_nPosition < m_Data.size() ? m_Data.size() - m_nPosition : 0;
        const ULONG n = static_cast<ULONG>(std::min<std::size_t>({cb, nLeft, m_nMaxRead}));
        if (n != 0) std::memcpy(pv, m_Data.data() + m_nPosition, n);
        m_nPosition += n;
        if (pcbRead) *pcbRead = n;
        return n == cb ? S_OK : S_FALSE;
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        const std::size_t nRoom = m_nCapacity > m_nPosition ? m_nCapacity - m_nPosition : 0;
        const ULONG n = static_cast<ULONG>(std::min<std::size_t>(cb, nRoom));
        if (m_Data.size() < m_nPosition + n) m_Data.resize(m_nPosition + n);
        if (n != 0) std::memcpy(m_Data.data() + m_nPosition, pv, n);
        m_nPosition += n;
        if (pcbWritten) *pcbWritten = n;
        return n == cb ? S_OK : STG_E_MEDIUMFULL;
    }
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        if (m_bFailSeek) return STG_E_INVALIDFUNCTION;
        std::int64_t nBase = 0;
        if (dwOrigin == STREAM_SEEK_CUR) nBase = static_cast<std::int64_t>(m_nPosition);
        if (dwOrigin == STREAM_SEEK_END) nBase = static_cast<std::int64_t>(m_Data.size());
        const std::int64_t nNew = nBase + dlibMove.QuadPart;
        if (nNew < 0) return STG_E_INVALIDFUNCTION;
        m_nPosition = static_cast<std::size_t>(nNew);
        if (plibNewPosition) plibNewPosition->QuadPart = m_nPosition;
        return S_OK;
    }
    HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
        m_Data.resize(static_cast<std::size_t>(libNewSize.QuadPart));
        return S_OK;
    }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG* pstatstg, DWORD) override {
        if (pstatstg == nullptr) return E_POINTER;
        *pstatstg = STATSTG{};
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = m_Data.size();
        return S_OK;
    }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::atomic<ULONG> m_nReferences{1};
};
