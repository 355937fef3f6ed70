// GUID text, new GUIDs and the stored form of class identifiers.
//
// The text form is the registry's: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters. We write upper-case
// hexadecimal and read either case; nothing else is tolerated inside braces (no blanks, no missing dashes,
// no trailing characters), because a class identifier that reads differently in two places is a bug that
// should show up where the text is parsed.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "comrt/runtime.h"

namespace {

constexpr int kGuidTextLength = 38;  // without the terminating NUL

int HexValue(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads nDigits hexadecimal digits at psz; false when any of them is not one.
bool ReadHex(LPCOLESTR psz, int nDigits, std::uint32_t* pnValue) {
    std::uint32_t n = 0;
    for (int i = 0; i < nDigits; ++i) {
        const int nDigit = HexValue(psz[i]);
        if (nDigit < 0) return false;
        n = (n << 4) | static_cast<std::uint32_t>(nDigit);
    }
    *pnValue = n;
    return true;
}

// Parses exactly the brace form, NUL-terminated. The string is read character by character and never past
// its terminator, so a short text cannot make us read beyond its end.
bool ParseBraceGuid(LPCOLESTR psz, GUID* pGuid) {
    for (int i = 0; i < kGuidTextLength; ++i)
        if (psz[i] == 0) return false;
    if (psz[kGuidTextLength] != 0) return false;
    if (psz[0] != u'{' || psz[37] != u'}') return false;
    if (psz[9] != u'-' || psz[14] != u'-' || psz[19] != u'-' || psz[24] != u'-') return false;

    std::uint32_t nData1 = 0, nData2 = 0, nData3 = 0, nByte = 0;
    if (!ReadHex(psz + 1, 8, &nData1) || !ReadHex(psz + 10, 4, &nData2) || !ReadHex(psz + 15, 4, &nData3)) return false;
    GUID g{};
    g.Data1 = nData1;
    g.Data2 = static_cast<std::uint16_t>(nData2);
    g.Data3 = static_cast<std::uint16_t>(nData3);
    // Data4: two bytes before the last dash, six after it.
    static constexpr int kByteOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(psz + kByteOffsets[i], 2, &nByte)) return false;
        g.Data4[i] = static_cast<std::uint8_t>(nByte);
    }
    *pGuid = g;
    return true;
}

void WriteHex(std::uint32_t nValue, int nDigits, LPOLESTR psz) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    for (int i = nDigits - 1; i >= 0; --i) {
        psz[i] = kDigits[nValue & 0xF];
        nValue >>= 4;
    }
}

void StoreLittleEndian(std::uint32_t nValue, int cb, BYTE* pb) {
    for (int i = 0; i < cb; ++i) pb[i] = static_cast<BYTE>(nValue >> (8 * i));
}

std::uint32_t LoadLittleEndian(const BYTE* pb, int cb) {
    std::uint32_t n = 0;
    for (int i = cb - 1; i >= 0; --i) n = (n << 8) | pb[i];
    return n;
}

}  // namespace

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < kGuidTextLength + 1) return 0;
    lpsz[0] = u'{';
    WriteHex(rguid.Data1, 8, lpsz + 1);
    lpsz[9] = u'-';
    WriteHex(rguid.Data2, 4, lpsz + 10);
    lpsz[14] = u'-';
    WriteHex(rguid.Data3, 4, lpsz + 15);
    lpsz[19] = u'-';
    WriteHex(rguid.Data4[0], 2, lpsz + 20);
    WriteHex(rguid.Data4[1], 2, lpsz + 22);
    lpsz[24] = u'-';
    for (int i = 0; i < 6; ++i) WriteHex(rguid.Data4[2 + i], 2, lpsz + 25 + 2 * i);
    lpsz[37] = u'}';
    lpsz[38] = 0;
    return kGuidTextLength + 1;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
    if (pclsid == nullptr) return E_INVALIDARG;
    *pclsid = GUID_NULL;
    // No text is malformed text here: a caller that passes none has lost its class identifier somewhere, and
    // answering with CLSID_NULL would hide that.
    if (lpsz == nullptr) return CO_E_CLASSSTRING;
    if (lpsz[0] == u'{') return ParseBraceGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
    return CLSIDFromProgID(lpsz, pclsid);
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    if (lpiid == nullptr) return E_INVALIDARG;
    *lpiid = GUID_NULL;
    // Interfaces have no ProgIDs: only the brace form is an interface identifier.
    if (lpsz == nullptr || !ParseBraceGuid(lpsz, lpiid)) return CO_E_IIDSTRING;
    return S_OK;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr) return E_INVALIDARG;
    *lplpsz = nullptr;
    auto* psz = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidTextLength + 1) * sizeof(OLECHAR)));
    if (psz == nullptr) return E_OUTOFMEMORY;
    StringFromGUID2(rclsid, psz, kGuidTextLength + 1);
    *lplpsz = psz;
    return S_OK;
}

HRESULT CoCreateGuid(GUID* pguid) {
    if (pguid == nullptr) return E_INVALIDARG;
    BYTE rgb[16];
    std::size_t cbDone = 0;
    while (cbDone < sizeof(rgb)) {
        const ssize_t cb = getrandom(rgb + cbDone, sizeof(rgb) - cbDone, 0);
        if (cb < 0) {
            if (errno == EINTR) continue;
            return E_FAIL;
        }
        cbDone += static_cast<std::size_t>(cb);
    }
    GUID g{};
    std::memcpy(&g.Data1, rgb, 4);
    std::memcpy(&g.Data2, rgb + 4, 2);
    std::memcpy(&g.Data3, rgb + 6, 2);
    std::memcpy(g.Data4, rgb + 8, 8);
    // A random (version 4) identifier of the standard variant: the same bits the original platform sets,
    // so our identifiers look like everyone else's in registry dumps.
    g.Data3 = static_cast<std::uint16_t>((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    *pguid = g;
    return S_OK;
}

HRESULT WriteClassStm(IStream* pStm, REFCLSID rclsid) {
    if (pStm == nullptr) return E_INVALIDARG;
    BYTE rgb[16];
    StoreLittleEndian(rclsid.Data1, 4, rgb);
    StoreLittleEndian(rclsid.Data2, 2, rgb + 4);
    StoreLittleEndian(rclsid.Data3, 2, rgb + 6);
    std::memcpy(rgb + 8, rclsid.Data4, 8);
    ULONG cbWritten = 0;
    const HRESULT hr = pStm->Write(rgb, sizeof(rgb), &cbWritten);
    if (FAILED(hr)) return hr;
    return cbWritten == sizeof(rgb) ? S_OK : STG_E_MEDIUMFULL;
}

HRESULT ReadClassStm(IStream* pStm, CLSID* pclsid) {
    if (pStm == nullptr || pclsid == nullptr) return E_INVALIDARG;
    *pclsid = GUID_NULL;
    BYTE rgb[16];
    ULONG cbDone = 0;
    // A stream may hand out fewer bytes than asked for before its end; only a read that gives nothing is the end.
    while (cbDone < sizeof(rgb)) {
        ULONG cbRead = 0;
        const HRESULT hr = pStm->Read(rgb + cbDone, static_cast<ULONG>(sizeof(rgb)) - cbDone, &cbRead);
        if (FAILED(hr)) return hr;
        if (cbRead == 0 || cbRead > sizeof(rgb) - cbDone) return STG_E_READFAULT;
        cbDone += cbRead;
    }
    CLSID clsid{};
    clsid.Data1 = LoadLittleEndian(rgb, 4);
    clsid.Data2 = static_cast<std::uint16_t>(LoadLittleEndian(rgb + 4, 2));
    clsid.Data3 = static_cast<std::uint16_t>(LoadLittleEndian(rgb + 6, 2));
    std::memcpy(clsid.Data4, rgb + 8, 8);
    *pclsid = clsid;
    return S_OK;
}
