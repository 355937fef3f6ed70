// The runtime proper: apartments, class objects, object creation, GUID text, task memory, error info and
// system message texts.
#pragma once

#include <string>

#include "comrt/interfaces.h"

// Apartments are bookkeeping: each thread records the apartment it entered so that code can assert where
// it runs. Calls inside the process are direct.
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

enum APTTYPE : int {
    APTTYPE_CURRENT = -1,
    APTTYPE_STA = 0,
    APTTYPE_MTA = 1,
    APTTYPE_NA = 2,
    APTTYPE_MAINSTA = 3,
};

// S_OK on the first call of a thread, S_FALSE on nested calls with the same model, RPC_E_CHANGED_MODE
// when the thread already entered the other model.
COMRT_API HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit);
COMRT_API HRESULT CoInitialize(void* pvReserved);
COMRT_API void CoUninitialize();
// Process-wide call security. Calls from other processes arrive over the bus, whose policy decides who
// may call at all; the levels set here are kept for the bridge to apply to the calls it lets through.
// Only the combinations the system uses are accepted (no descriptor, no authentication list, -1
// services): E_INVALIDARG otherwise, RPC_E_TOO_LATE on a second call.
constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_NONE = 1;
constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
constexpr DWORD RPC_C_AUTHN_LEVEL_CALL = 3;
constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;
constexpr HRESULT RPC_E_TOO_LATE = static_cast<HRESULT>(0x80010119);
COMRT_API HRESULT CoInitializeSecurity(void* pSecDesc, LONG cAuthSvc, void* asAuthSvc, void* pReserved1,
                                       DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList, DWORD dwCapabilities,
                                       void* pReserved3);
namespace comrt {
// The levels of the process's CoInitializeSecurity call; false when it was not made.
COMRT_API bool GetProcessSecurity(DWORD* pdwAuthnLevel, DWORD* pdwImpLevel);
}  // namespace comrt
// CO_E_NOTINITIALIZED when the thread entered no apartment.
COMRT_API HRESULT CoGetApartmentType(APTTYPE* pAptType);
COMRT_API bool IsSingleThreadedApartment();
COMRT_API bool IsMultiThreadedApartment();

// Class contexts.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// Registration flags of CoRegisterClassObject.
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
constexpr DWORD REGCLS_SUSPENDED = 4;
constexpr DWORD REGCLS_SURROGATE = 8;

// Creation looks, in order, at the classes registered by this process (CoRegisterClassObject), at
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 (the library is loaded and asked with DllGetClassObject),
// and, for local-server contexts, at the running server reached through the out-of-process bridge when one
// is installed (CoSetLocalServerResolver). REGDB_E_CLASSNOTREG when no source knows the class;
// CO_E_DLLNOTFOUND / CO_E_ERRORINDLL when the library cannot be loaded or lacks its entry point.
COMRT_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);
COMRT_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, void** ppv);
COMRT_API HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags,
                                        DWORD* lpdwRegister);
COMRT_API HRESULT CoRevokeClassObject(DWORD dwRegister);
COMRT_API HRESULT CoResumeClassObjects();
COMRT_API HRESULT CoSuspendClassObjects();
// Asks every loaded in-process library whether it may unload (DllCanUnloadNow) and unloads those that
// answer S_OK.
COMRT_API void CoFreeUnusedLibraries();

// The out-of-process bridge registers itself here; nullptr removes it.
using LocalServerResolver = HRESULT (*)(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, void** ppv);
COMRT_API void CoSetLocalServerResolver(LocalServerResolver pfn);

// In-process server entry points a plug-in library exports with C linkage.
using PFN_DllGetClassObject = HRESULT (*)(REFCLSID rclsid, REFIID riid, void** ppv);
using PFN_DllCanUnloadNow = HRESULT (*)();
using PFN_DllRegisterServer = HRESULT (*)();
using PFN_DllUnregisterServer = HRESULT (*)();

// Task memory.
COMRT_API void* CoTaskMemAlloc(std::size_t cb);
COMRT_API void* CoTaskMemRealloc(void* pv, std::size_t cb);
COMRT_API void CoTaskMemFree(void* pv);

// GUID text. StringFromGUID2 writes the 38-character brace form in upper-case hexadecimal and returns the
// character count including the terminating NUL, or 0 when cchMax is too small.
COMRT_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses the brace form (hexadecimal of either case). CO_E_CLASSSTRING for malformed text; text without
// braces is looked up as a ProgID (CLSIDFromProgID).
COMRT_API HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
COMRT_API HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
COMRT_API HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);  // CoTaskMemFree the result
// HKEY_CLASSES_ROOT\<ProgID>\CLSID; CO_E_CLASSSTRING when absent, as the original does.
COMRT_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
COMRT_API HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);  // CoTaskMemFree the result
COMRT_API HRESULT CoCreateGuid(GUID* pguid);

// The 16-byte stored form of a class identifier: Data1, Data2, Data3 little-endian, then the 8 bytes of
// Data4. ReadClassStm gives STG_E_READFAULT when fewer than 16 bytes remain.
COMRT_API HRESULT WriteClassStm(IStream* pStm, REFCLSID rclsid);
COMRT_API HRESULT ReadClassStm(IStream* pStm, CLSID* pclsid);

// Per-thread error information.
COMRT_API HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
COMRT_API HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);  // S_FALSE when there is none
COMRT_API HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);

// The text of a result code, from the runtime's own table (every code the system produces or reports),
// in the form the original system gives it (sentences ending in a period and CR LF). Empty when the code is
// unknown. FormatSystemMessage trims trailing tabs, line breaks, blanks and periods from it.
COMRT_API std::u16string GetSystemMessage(HRESULT hr);
COMRT_API std::u16string FormatSystemMessage(HRESULT hr);

// An object in a stream: its class identifier (WriteClassStm layout) followed by what its own Save writes
// (with clear-dirty set). A null pPStm writes the null class identifier only.
COMRT_API HRESULT OleSaveToStream(IPersistStream* pPStm, IStream* pStm);
// The reverse: reads the class identifier, creates the object (CoCreateInstance, in-process or local
// server) and loads it from the stream through IPersistStream, or IPersistStreamInit when it lacks that,
// then hands out iidInterface. The null class identifier gives *ppvObj null and S_OK; a class that cannot
// be created gives its creation failure (REGDB_E_CLASSNOTREG when no one registered it).
COMRT_API HRESULT OleLoadFromStream(IStream* pStm, REFIID iidInterface, void** ppvObj);
