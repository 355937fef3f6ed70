// The running object table and item monikers: how a process announces a running object under a name that
// other code can look up, and how that object is cut off from its remote clients.
//
// The table here is the process's own. Objects registered in it are found by this process at once; the
// out-of-process bridge makes them reachable from other processes by installing a publisher
// (CoSetRunningObjectPublisher), which the table tells of every registration and revocation, and which
// CoDisconnectObject asks to drop the remote clients of an object. Without a publisher an object has no
// remote clients, so there is nothing to disconnect.
#pragma once

#include <string>

#include "comrt/interfaces.h"

struct IBindCtx;
struct IEnumMoniker;

// Monikers: names of objects. The vtable is COM's; members the system never uses answer E_NOTIMPL.
struct IMoniker : IPersistStream {
    static constexpr IID kIid = MakeGuid("0000000F-0000-0000-C000-000000000046");
    virtual HRESULT BindToObject(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riidResult, void** ppvResult) = 0;
    virtual HRESULT BindToStorage(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riid, void** ppvObj) = 0;
    virtual HRESULT Reduce(IBindCtx* pbc, DWORD dwReduceHowFar, IMoniker** ppmkToLeft, IMoniker** ppmkReduced) = 0;
    virtual HRESULT ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric, IMoniker** ppmkComposite) = 0;
    virtual HRESULT Enum(BOOL fForward, IEnumMoniker** ppenumMoniker) = 0;
    // S_OK when pmkOtherMoniker names the same object, else S_FALSE.
    virtual HRESULT IsEqual(IMoniker* pmkOtherMoniker) = 0;
    virtual HRESULT Hash(DWORD* pdwHash) = 0;
    // S_OK when the named object is registered in the running object table, else S_FALSE.
    virtual HRESULT IsRunning(IBindCtx* pbc, IMoniker* pmkToLeft, IMoniker* pmkNewlyRunning) = 0;
    virtual HRESULT GetTimeOfLastChange(IBindCtx* pbc, IMoniker* pmkToLeft, FILETIME* pFileTime) = 0;
    virtual HRESULT Inverse(IMoniker** ppmk) = 0;
    virtual HRESULT CommonPrefixWith(IMoniker* pmkOther, IMoniker** ppmkPrefix) = 0;
    virtual HRESULT RelativePathTo(IMoniker* pmkOther, IMoniker** ppmkRelPath) = 0;
    // The display name (CoTaskMemFree it): an item moniker's is its delimiter followed by its item.
    virtual HRESULT GetDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR* ppszDisplayName) = 0;
    virtual HRESULT ParseDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR pszDisplayName, ULONG* pchEaten,
                                     IMoniker** ppmkOut) = 0;
    virtual HRESULT IsSystemMoniker(DWORD* pdwMksys) = 0;
};

constexpr CLSID CLSID_ItemMoniker = MakeGuid("00000304-0000-0000-C000-000000000046");
constexpr DWORD MKSYS_ITEMMONIKER = 4;

// The registration keeps the object alive (the table holds a reference in any case); any client may look
// the object up, not only the registering user's.
constexpr DWORD ROTFLAGS_REGISTRATIONKEEPSALIVE = 0x1;
constexpr DWORD ROTFLAGS_ALLOWANYCLIENT = 0x2;

// Register succeeded, but the name was registered already (the new registration stands beside the old one).
constexpr HRESULT MK_S_MONIKERALREADYREGISTERED = 0x000401E7;

struct IRunningObjectTable : IUnknown {
    static constexpr IID kIid = MakeGuid("00000010-0000-0000-C000-000000000046");
    // Holds a reference to punkObject under the moniker's display name until Revoke; *pdwRegister receives
    // a nonzero cookie. E_INVALIDARG for null arguments or unknown flags; a publisher's failure is returned
    // and leaves nothing registered.
    virtual HRESULT Register(DWORD grfFlags, IUnknown* punkObject, IMoniker* pmkObjectName, DWORD* pdwRegister) = 0;
    // E_INVALIDARG for a cookie that is not registered.
    virtual HRESULT Revoke(DWORD dwRegister) = 0;
    // S_OK when an object is registered under the name, else S_FALSE.
    virtual HRESULT IsRunning(IMoniker* pmkObjectName) = 0;
    // The first object registered under the name; MK_E_UNAVAILABLE when none is.
    virtual HRESULT GetObject(IMoniker* pmkObjectName, IUnknown** ppunkObject) = 0;
    virtual HRESULT NoteChangeTime(DWORD dwRegister, FILETIME* pfiletime) = 0;
    virtual HRESULT GetTimeOfLastChange(IMoniker* pmkObjectName, FILETIME* pfiletime) = 0;
    virtual HRESULT EnumRunning(IEnumMoniker** ppenumMoniker) = 0;
};

// The process's table (one instance; each call hands out a new reference). dwReserved must be 0.
COMRT_API HRESULT GetRunningObjectTable(DWORD dwReserved, IRunningObjectTable** pprot);

// An item moniker: its display name is lpszDelim followed by lpszItem; two item monikers are equal when
// their display names compare equal without regard to case. E_INVALIDARG for null arguments.
COMRT_API HRESULT CreateItemMoniker(LPCOLESTR lpszDelim, LPCOLESTR lpszItem, IMoniker** ppmk);

// Cuts every remote client off from pUnk: asks the publisher when one is installed, else S_OK (in this
// process an object has no remote clients). E_INVALIDARG for a null object.
COMRT_API HRESULT CoDisconnectObject(IUnknown* pUnk, DWORD dwReserved);

namespace comrt {

// What the out-of-process bridge supplies to publish running objects. Each function is called without the
// table's lock held, on the registering or revoking thread.
struct RunningObjectPublisher {
    // A registration was made: publish pObject under sDisplayName. A failure undoes the registration and
    // becomes Register's result.
    HRESULT (*pfnPublish)(DWORD nCookie, DWORD grfFlags, IUnknown* pObject, const std::u16string& sDisplayName);
    // The registration nCookie was revoked: stop publishing it.
    void (*pfnWithdraw)(DWORD nCookie);
    // Drop every remote client's references to pObject.
    HRESULT (*pfnDisconnect)(IUnknown* pObject);
};

// Installs the publisher (which must outlive its use); nullptr removes it. Registrations made before stay
// unpublished.
COMRT_API void CoSetRunningObjectPublisher(const RunningObjectPublisher* pPublisher);

}  // namespace comrt
