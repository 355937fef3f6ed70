// The variant block tests' helpers: saving a variant into bytes and loading it back from them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "comrt/comptr.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersist.h"
#include "persist_stream.h"

namespace {

using Bytes = std::vector<BYTE>;

inline Bytes Save(const VARIANT& v, HRESULT* phr = nullptr) {
    CTestStream Stream;
    const HRESULT hr = CComVariantArray::WriteToStream(&Stream, &v);
    if (phr)
        *phr = hr;
    else
        EXPECT_EQ(hr, S_OK);
    return Stream.m_Data;
}

inline HRESULT Load(const Bytes& data, VARIANT* pv, std::size_t* pnConsumed = nullptr, ULONG nMaxRead = 0xFFFFFFFFu) {
    CTestStream Stream(data);
    Stream.m_nMaxRead = nMaxRead;
    const HRESULT hr = CComVariantArray::ReadFromStream(&Stream, pv);
    if (pnConsumed) *pnConsumed = Stream.m_nPosition;
    return hr;
}

inline ULONG StoredSize(VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
            return 1;
        case VT_VARIANT:
            return 16;
        default:
            return 4;
    }
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace
