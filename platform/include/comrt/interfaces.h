// The standard COM interfaces the system uses. Each is an abstract class with pure virtual methods in COM's
// slot order and no data and no virtual destructor, so its vtable is COM's. Each carries its interface
// identifier as kIid, which IidOf<T>() reads.
#pragma once

#include "comrt/oleauto.h"

template <class T>
constexpr const IID& IidOf() noexcept {
    return T::kIid;
}

struct IUnknown {
    static constexpr IID kIid = MakeGuid("00000000-0000-0000-C000-000000000046");
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

    template <class Q>
    HRESULT QueryInterface(Q** pp) {
        return QueryInterface(IidOf<Q>(), reinterpret_cast<void**>(pp));
    }
};

struct IClassFactory : IUnknown {
    static constexpr IID kIid = MakeGuid("00000001-0000-0000-C000-000000000046");
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};

struct DISPPARAMS {
    VARIANTARG* rgvarg;  // arguments in reverse order, as COM passes them
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;

namespace comrt {
struct InterfaceDescription;
}

// What a type information object describes, its attributes and its functions.
enum TYPEKIND : int {
    TKIND_ENUM = 0,
    TKIND_RECORD = 1,
    TKIND_MODULE = 2,
    TKIND_INTERFACE = 3,
    TKIND_DISPATCH = 4,
    TKIND_COCLASS = 5,
    TKIND_ALIAS = 6,
    TKIND_UNION = 7,
};
enum INVOKEKIND : int {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};
constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
constexpr WORD TYPEFLAG_FDUAL = 0x40;
constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;
constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;
constexpr WORD PARAMFLAG_FIN = 0x1;
constexpr WORD PARAMFLAG_FOUT = 0x2;
constexpr WORD PARAMFLAG_FRETVAL = 0x8;
// A member whose value stays in its process: read from another process it is empty.
constexpr WORD FUNCFLAG_FRESTRICTED = 0x1;
constexpr MEMBERID MEMBERID_NIL = -1;
using HREFTYPE = DWORD;

// The type of a value: an automation type, without VT_BYREF (an [out] parameter says so in its flags).
struct TYPEDESC {
    VARTYPE vt;
};
struct PARAMDESC {
    WORD wParamFlags;
};
struct ELEMDESC {
    TYPEDESC tdesc;
    PARAMDESC paramdesc;
};
struct TYPEATTR {
    GUID guid;  // the interface identifier, or the class identifier of a coclass
    TYPEKIND typekind;
    WORD cFuncs;
    WORD cVars;
    WORD cImplTypes;
    WORD wTypeFlags;
};
// One function as IDispatch sees it: the [out,retval] parameter is the function's result (elemdescFunc,
// VT_VOID when there is none) and is not among the cParams parameters; a property put's value is its last.
struct FUNCDESC {
    MEMBERID memid;
    INVOKEKIND invkind;
    SHORT cParams;
    SHORT cParamsOpt;
    ELEMDESC* lprgelemdescParam;
    ELEMDESC elemdescFunc;
    WORD wFuncFlags;
};

// Type information of one interface, or of a class (a coclass: the interfaces its objects answer). The
// runtime's implementation is generated from the interfaces' declarative descriptions; GetDescription gives
// an interface's description to tools (the bus export, proxies) and null for a class.
struct ITypeInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("00020401-0000-0000-C000-000000000046");
    virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
    virtual HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
    virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                     BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetGuid(GUID* pGuid) = 0;
    virtual const comrt::InterfaceDescription* GetDescription() = 0;
    // The attributes; ReleaseTypeAttr frees them.
    virtual HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
    virtual void ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
    // The index-th function (0 .. cFuncs - 1); ReleaseFuncDesc frees it.
    virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
    virtual void ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;
    // A class's index-th interface (0 .. cImplTypes - 1): its reference, its flags and its type information.
    virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) = 0;
    virtual HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) = 0;
    virtual HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
};

// The type information of an object's class.
struct IProvideClassInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B283-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;
};

struct IDispatch : IUnknown {
    static constexpr IID kIid = MakeGuid("00020400-0000-0000-C000-000000000046");
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                           VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};

struct IEnumVARIANT : IUnknown {
    static constexpr IID kIid = MakeGuid("00020404-0000-0000-C000-000000000046");
    virtual HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumVARIANT** ppEnum) = 0;
};

struct IEnumGUID : IUnknown {
    static constexpr IID kIid = MakeGuid("0002E000-0000-0000-C000-000000000046");
    virtual HRESULT Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumGUID** ppenum) = 0;
};
using IEnumCLSID = IEnumGUID;

struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};

struct IConnectionPointContainer;

struct IEnumConnections : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B287-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cConnections) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnections** ppEnum) = 0;
};

struct IConnectionPoint : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B286-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    virtual HRESULT Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;
};

struct IEnumConnectionPoints : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B285-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cConnections) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;
};

struct IConnectionPointContainer : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B284-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

struct ISupportErrorInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("DF0B3D60-548F-101B-8E65-08002B2BD119");
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IErrorInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("1CF2B120-547D-101B-8E65-08002B2BD119");
    virtual HRESULT GetGUID(GUID* pGUID) = 0;
    virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;
};

struct ICreateErrorInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("22F03340-547D-101B-8E65-08002B2BD119");
    virtual HRESULT SetGUID(REFGUID rguid) = 0;
    virtual HRESULT SetSource(LPOLESTR szSource) = 0;
    virtual HRESULT SetDescription(LPOLESTR szDescription) = 0;
    virtual HRESULT SetHelpFile(LPOLESTR szHelpFile) = 0;
    virtual HRESULT SetHelpContext(DWORD dwHelpContext) = 0;
};

// Streams.
union LARGE_INTEGER {
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    ULONGLONG QuadPart;
};
struct STATSTG {
    LPOLESTR pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};
constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;
constexpr DWORD STATFLAG_DEFAULT = 0;
constexpr DWORD STATFLAG_NONAME = 1;
constexpr DWORD STGTY_STREAM = 2;
constexpr DWORD STGM_READ = 0x0;
constexpr DWORD STGM_WRITE = 0x1;
constexpr DWORD STGM_READWRITE = 0x2;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x10;
constexpr DWORD STGM_CREATE = 0x1000;

struct ISequentialStream : IUnknown {
    static constexpr IID kIid = MakeGuid("0C733A30-2A1C-11CE-ADE5-00AA0044773D");
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : ISequentialStream {
    static constexpr IID kIid = MakeGuid("0000000C-0000-0000-C000-000000000046");
    virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
    virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT Clone(IStream** ppstm) = 0;
};

struct IPersist : IUnknown {
    static constexpr IID kIid = MakeGuid("0000010C-0000-0000-C000-000000000046");
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};

struct IPersistStream : IPersist {
    static constexpr IID kIid = MakeGuid("00000109-0000-0000-C000-000000000046");
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(IStream* pStm) = 0;
    virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
    virtual HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;
};

struct IPersistStreamInit : IPersist {
    static constexpr IID kIid = MakeGuid("7FD52380-4E07-101B-AE2D-08002B2EC713");
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(IStream* pStm) = 0;
    virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
    virtual HRESULT GetSizeMax(ULARGE_INTEGER* pCbSize) = 0;
    virtual HRESULT InitNew() = 0;
};

struct IErrorLog : IUnknown {
    static constexpr IID kIid = MakeGuid("3127CA40-446E-11CE-8135-00AA004BB851");
    virtual HRESULT AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;
};

struct IPropertyBag : IUnknown {
    static constexpr IID kIid = MakeGuid("55272A00-42CB-11CE-8135-00AA004BB851");
    virtual HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;
};

struct IPersistPropertyBag : IPersist {
    static constexpr IID kIid = MakeGuid("37D84F60-42CB-11CE-8135-00AA004BB851");
    virtual HRESULT InitNew() = 0;
    virtual HRESULT Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) = 0;
};

struct CAUUID {
    ULONG cElems;
    GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
    static constexpr IID kIid = MakeGuid("B196B28B-BAB4-101A-B69C-00AA00341D07");
    virtual HRESULT GetPages(CAUUID* pPages) = 0;
};

// Structured storage, as far as objects that persist into a storage's streams need it.
using SNB = LPOLESTR*;
struct IEnumSTATSTG;

struct IStorage : IUnknown {
    static constexpr IID kIid = MakeGuid("0000000B-0000-0000-C000-000000000046");
    virtual HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                 IStream** ppstm) = 0;
    virtual HRESULT OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                               IStream** ppstm) = 0;
    virtual HRESULT CreateStorage(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                  IStorage** ppstg) = 0;
    virtual HRESULT OpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                                DWORD reserved, IStorage** ppstg) = 0;
    virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* pstgDest) = 0;
    virtual HRESULT MoveElementTo(LPCOLESTR pwcsName, IStorage* pstgDest, LPCOLESTR pwcsNewName, DWORD grfFlags) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) = 0;
    virtual HRESULT DestroyElement(LPCOLESTR pwcsName) = 0;
    virtual HRESULT RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) = 0;
    virtual HRESULT SetElementTimes(LPCOLESTR pwcsName, const FILETIME* pctime, const FILETIME* patime,
                                    const FILETIME* pmtime) = 0;
    virtual HRESULT SetClass(REFCLSID clsid) = 0;
    virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};

struct IPersistStorage : IPersist {
    static constexpr IID kIid = MakeGuid("0000010A-0000-0000-C000-000000000046");
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT InitNew(IStorage* pStg) = 0;
    virtual HRESULT Load(IStorage* pStg) = 0;
    virtual HRESULT Save(IStorage* pStgSave, BOOL fSameAsLoad) = 0;
    virtual HRESULT SaveCompleted(IStorage* pStgNew) = 0;
    virtual HRESULT HandsOffStorage() = 0;
};
