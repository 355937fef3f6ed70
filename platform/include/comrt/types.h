// Basic types of the COM-compatible runtime: the integer and text types, GUID, HRESULT and the result
// codes the system produces or reports. Sizes and layouts are the ones COM clients expect, so that a
// plug-in compiled by anyone against these headers agrees with us byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comrt/export.h"

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using INT = int;
using UINT = unsigned int;
using CHAR = char;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using DISPID = LONG;
using MEMBERID = DISPID;
using VARTYPE = std::uint16_t;
// A distinct type (not a plain short) so that automation type descriptions can tell VT_BOOL from VT_I2.
enum VARIANT_BOOL : std::int16_t { VARIANT_FALSE = 0, VARIANT_TRUE = -1 };
using DATE = double;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Text is UTF-16 throughout, as on the original platform.
using WCHAR = char16_t;
using OLECHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A BSTR points at the first character of a length-prefixed, NUL-terminated UTF-16 buffer.
using BSTR = OLECHAR*;

union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    } s;
    LONGLONG int64;
};

// The 16-byte decimal of automation; kept for layout and conversions, not for arithmetic.
struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;
    ULONG Hi32;
    ULONGLONG Lo64;
};

// A point in time in 100-nanosecond intervals since 1601-01-01 UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
constexpr bool operator!=(const GUID& a, const GUID& b) noexcept {
    return !(a == b);
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept {
    return a == b;
}
inline bool IsEqualIID(REFIID a, REFIID b) noexcept {
    return a == b;
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept {
    return a == b;
}
constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL

namespace comrt::detail {
constexpr int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : throw "bad hexadecimal digit in GUID literal";
}
constexpr std::uint32_t HexValue(const char* s, int nDigits) {
    std::uint32_t n = 0;
    for (int i = 0; i < nDigits; ++i) n = n * 16 + static_cast<std::uint32_t>(HexDigit(s[i]));
    return n;
}
}  // namespace comrt::detail

// A GUID from its registry text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (with or without braces), at compile time:
// constexpr GUID CLSID_X = MakeGuid("{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}");
template <std::size_t N>
consteval GUID MakeGuid(const char (&s)[N]) {
    static_assert(N == 37 || N == 39, "GUID text has 36 characters, 38 with braces");
    const char* p = (N == 39) ? s + 1 : s;
    using comrt::detail::HexValue;
    GUID g{};
    g.Data1 = HexValue(p, 8);
    g.Data2 = static_cast<std::uint16_t>(HexValue(p + 9, 4));
    g.Data3 = static_cast<std::uint16_t>(HexValue(p + 14, 4));
    g.Data4[0] = static_cast<std::uint8_t>(HexValue(p + 19, 2));
    g.Data4[1] = static_cast<std::uint8_t>(HexValue(p + 21, 2));
    for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<std::uint8_t>(HexValue(p + 24 + 2 * i, 2));
    return g;
}

// Result codes.
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) (static_cast<HRESULT>(hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) ((static_cast<HRESULT>(hr) >> 16) & 0x1FFF)
#define HRESULT_SEVERITY(hr) ((static_cast<std::uint32_t>(hr) >> 31) & 0x1)
constexpr HRESULT MakeHResult(std::uint32_t n) {
    return static_cast<HRESULT>(n);
}
#define MAKE_HRESULT(sev, fac, code)                                                                         \
    static_cast<HRESULT>((static_cast<std::uint32_t>(sev) << 31) | (static_cast<std::uint32_t>(fac) << 16) | \
                         static_cast<std::uint32_t>(code))

constexpr std::uint32_t FACILITY_WIN32 = 7;
constexpr std::uint32_t FACILITY_ITF = 4;
constexpr std::uint32_t FACILITY_DISPATCH = 2;
// The system's own failures: severity error, customer bit, facility 0x765.
constexpr std::uint32_t FACILITY_CORVANE = 0x765;
constexpr HRESULT MakeCorvaneHResult(std::uint16_t nCode) {
    return static_cast<HRESULT>(0xA7650000u | nCode);
}

constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t x) {
    return static_cast<HRESULT>(x) <= 0
               ? static_cast<HRESULT>(x)
               : static_cast<HRESULT>((x & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
constexpr HRESULT E_HANDLE = MakeHResult(0x80070006);
constexpr HRESULT E_ABORT = MakeHResult(0x80004004);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005);
constexpr HRESULT E_PENDING = MakeHResult(0x8000000A);
constexpr HRESULT E_BOUNDS = MakeHResult(0x8000000B);

constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111);
constexpr HRESULT REGDB_E_READREGDB = MakeHResult(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = MakeHResult(0x80040151);
constexpr HRESULT REGDB_E_KEYMISSING = MakeHResult(0x80040152);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
constexpr HRESULT REGDB_E_IIDNOTREG = MakeHResult(0x80040155);
constexpr HRESULT CO_E_NOTINITIALIZED = MakeHResult(0x800401F0);
constexpr HRESULT CO_E_ALREADYINITIALIZED = MakeHResult(0x800401F1);
constexpr HRESULT CO_E_CLASSSTRING = MakeHResult(0x800401F3);
constexpr HRESULT CO_E_IIDSTRING = MakeHResult(0x800401F4);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHResult(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = MakeHResult(0x800401F9);
constexpr HRESULT CO_E_OBJNOTCONNECTED = MakeHResult(0x800401FD);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHResult(0x80080005);
constexpr HRESULT RPC_E_CHANGED_MODE = MakeHResult(0x80010106);
constexpr HRESULT RPC_E_DISCONNECTED = MakeHResult(0x80010108);
constexpr HRESULT RPC_E_SERVERFAULT = MakeHResult(0x80010105);
constexpr HRESULT MK_E_UNAVAILABLE = MakeHResult(0x800401E3);
constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHResult(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHResult(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHResult(0x80040202);
constexpr HRESULT CONNECT_E_OVERRIDDEN = MakeHResult(0x80040203);
constexpr HRESULT SELFREG_E_CLASS = MakeHResult(0x80040201);
constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHResult(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = MakeHResult(0x80030002);
constexpr HRESULT STG_E_ACCESSDENIED = MakeHResult(0x80030005);
constexpr HRESULT STG_E_INSUFFICIENTMEMORY = MakeHResult(0x80030008);
constexpr HRESULT STG_E_INVALIDPOINTER = MakeHResult(0x80030009);
constexpr HRESULT STG_E_READFAULT = MakeHResult(0x8003001E);
constexpr HRESULT STG_E_WRITEFAULT = MakeHResult(0x8003001D);
constexpr HRESULT STG_E_MEDIUMFULL = MakeHResult(0x80030070);
constexpr HRESULT STG_E_INVALIDPARAMETER = MakeHResult(0x80030057);
constexpr HRESULT STG_E_INVALIDHEADER = MakeHResult(0x800300FB);
constexpr HRESULT STG_E_INVALIDNAME = MakeHResult(0x800300FC);
constexpr HRESULT STG_E_UNKNOWN = MakeHResult(0x800300FD);
constexpr HRESULT STG_E_DOCFILECORRUPT = MakeHResult(0x80030109);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHResult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHResult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHResult(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHResult(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000B);
constexpr HRESULT DISP_E_UNKNOWNLCID = MakeHResult(0x8002000C);
constexpr HRESULT DISP_E_ARRAYISLOCKED = MakeHResult(0x8002000D);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHResult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHResult(0x8002000F);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHResult(0x8002802B);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHResult(0x8002801D);

// Win32 error codes (registry calls return these; HRESULT_FROM_WIN32 lifts them).
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_OUTOFMEMORY = 14;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_DISK_FULL = 112;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_MOD_NOT_FOUND = 126;
constexpr LONG ERROR_PROC_NOT_FOUND = 127;
constexpr LONG ERROR_NO_MORE_FILES = 18;
constexpr LONG ERROR_BAD_LENGTH = 24;
constexpr LONG ERROR_DIR_NOT_EMPTY = 145;
constexpr LONG ERROR_BUSY = 170;
constexpr LONG ERROR_FILE_TOO_LARGE = 223;
constexpr LONG ERROR_ALREADY_EXISTS = 183;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_TIMEOUT = 1460;
constexpr LONG ERROR_INVALID_FLAGS = 1004;
constexpr LONG ERROR_BADDB = 1009;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_CANTOPEN = 1011;
constexpr LONG ERROR_CANTREAD = 1012;
constexpr LONG ERROR_CANTWRITE = 1013;
constexpr LONG ERROR_REGISTRY_CORRUPT = 1015;
constexpr LONG ERROR_KEY_DELETED = 1018;
constexpr LONG ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr LONG ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr LONG ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr LONG ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr LONG ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr LONG ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr LONG ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr LONG ERROR_SERVICE_EXISTS = 1073;
constexpr LONG RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr LONG ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr LONG ERROR_INVALID_SERVICE_CONTROL = 1052;
// Winsock codes the socket layer reports.
constexpr LONG WSAEINTR = 10004;
constexpr LONG WSAEBADF = 10009;
constexpr LONG WSAEACCES = 10013;
constexpr LONG WSAEFAULT = 10014;
constexpr LONG WSAEINVAL = 10022;
constexpr LONG WSAEMFILE = 10024;
constexpr LONG WSAEWOULDBLOCK = 10035;
constexpr LONG WSAEALREADY = 10037;
constexpr LONG WSAENOTSOCK = 10038;
constexpr LONG WSAEMSGSIZE = 10040;
constexpr LONG WSAEAFNOSUPPORT = 10047;
constexpr LONG WSAEADDRINUSE = 10048;
constexpr LONG WSAEADDRNOTAVAIL = 10049;
constexpr LONG WSAENETDOWN = 10050;
constexpr LONG WSAENETUNREACH = 10051;
constexpr LONG WSAENETRESET = 10052;
constexpr LONG WSAECONNABORTED = 10053;
constexpr LONG WSAECONNRESET = 10054;
constexpr LONG WSAENOBUFS = 10055;
constexpr LONG WSAEISCONN = 10056;
constexpr LONG WSAENOTCONN = 10057;
constexpr LONG WSAESHUTDOWN = 10058;
constexpr LONG WSAETIMEDOUT = 10060;
constexpr LONG WSAECONNREFUSED = 10061;
constexpr LONG WSAEHOSTDOWN = 10064;
constexpr LONG WSAEHOSTUNREACH = 10065;
constexpr LONG WSASYSCALLFAILURE = 10107;
constexpr LONG WSAHOST_NOT_FOUND = 11001;
constexpr LONG WSATRY_AGAIN = 11002;
constexpr LONG WSANO_DATA = 11004;
