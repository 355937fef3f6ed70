// The stored forms of values: string blocks, variant blocks (with arrays and objects) and the failures
// particular to them. Every number is written little-endian whatever the host, and nothing is written as
// it lies in memory: the 24-byte array header keeps the layout of the 32-bit descriptor the stored data
// was first written with.
//
//   CComVariantArray Value;
//   UL_CHECK(Value.ReadFromStream(pStream));   // the value of one variant block
//   UL_CHECK(Value.WriteToStream(pStream));
//
// Reading trusts nothing it reads: lengths and element counts larger than what the stream still holds fail
// when the stream runs out, and memory grows only with the data actually read.
#pragma once

#include "comrt/comptr.h"
#include "comrt/runtime.h"

// An array with more than one dimension cannot be stored.
constexpr HRESULT UL_E_ARRAY_DIMENSIONS = MakeCorvaneHResult(0x01FC);
// An array whose stored element size exceeds 16 bytes cannot be stored.
constexpr HRESULT UL_E_ARRAY_ELEMENT_SIZE = MakeCorvaneHResult(0x01FD);
// An array of an element type without a stored form.
constexpr HRESULT UL_E_ARRAY_ELEMENT_TYPE = MakeCorvaneHResult(0x0243);
// Stored object data whose byte array has more than one dimension.
constexpr HRESULT UL_E_OBJECT_DATA_DIMENSIONS = MakeCorvaneHResult(0x0044);

struct _PersistHelper {
    // Writes exactly cb bytes; a stream that takes fewer fails with STG_E_MEDIUMFULL.
    static HRESULT WriteBytes(IStream* pStream, const void* pv, ULONG cb) noexcept;
    // Reads exactly cb bytes; a stream that ends first fails with STG_E_READFAULT.
    static HRESULT ReadBytes(IStream* pStream, void* pv, ULONG cb) noexcept;

    static HRESULT WriteUInt16(IStream* pStream, std::uint16_t n) noexcept;
    static HRESULT WriteUInt32(IStream* pStream, std::uint32_t n) noexcept;
    static HRESULT WriteUInt64(IStream* pStream, std::uint64_t n) noexcept;
    static HRESULT ReadUInt16(IStream* pStream, std::uint16_t* pn) noexcept;
    static HRESULT ReadUInt32(IStream* pStream, std::uint32_t* pn) noexcept;
    static HRESULT ReadUInt64(IStream* pStream, std::uint64_t* pn) noexcept;

    // String block: 4 bytes of byte length including the terminating NUL (0 for a null string), then the
    // UTF-16LE text with its NUL. Embedded NULs travel with the length.
    static HRESULT WriteString(IStream* pStream, BSTR sValue) noexcept;
    // *psValue receives a new BSTR (null for length 0); on failure it is left null. An odd length, a length
    // below 2 or text that does not end in NUL fails with STG_E_DOCFILECORRUPT.
    static HRESULT ReadString(IStream* pStream, BSTR* psValue) noexcept;

    // Object block of a variant: the null class identifier for a null object, else the object's class and
    // its own stream. The object is asked for IPersistStream, then (when bAcceptStreamInit) for
    // IPersistStreamInit; neither fails with that query's code.
    static HRESULT WriteObject(IStream* pStream, IUnknown* pObject, bool bAcceptStreamInit) noexcept;
    // *ppObject receives the re-created object (riid), or null for the null class or a class that is not
    // registered.
    static HRESULT ReadObject(IStream* pStream, REFIID riid, void** ppObject) noexcept;

    // The object data of a plug-in object, as a value for a variant block: with IPersistStream (or else
    // IPersistStreamInit) a byte array of its class identifier and its own stream (saved clearing its dirty
    // state); else, with IPersist, its class identifier as brace text; else E_NOINTERFACE. Raised on failure.
    static void GetObjectData(IUnknown* pObject, VARIANT* pData);
    // A new object (riid) from object data: brace text makes an object with its default settings, a byte array
    // is loaded through the class it names (UL_E_OBJECT_DATA_DIMENSIONS for more than one dimension), other
    // types are E_INVALIDARG. A class that cannot be created or loaded is raised with its code. *ppObject may
    // be null afterwards for data naming the null class.
    static void CreateObject(const VARIANT& Data, REFIID riid, void** ppObject);
};

// A VARIANT that can write itself as a variant block and read itself back from one.
class CComVariantArray : public VARIANT {
public:
    CComVariantArray() noexcept { VariantInit(this); }
    CComVariantArray(const CComVariantArray&) = delete;
    CComVariantArray& operator=(const CComVariantArray&) = delete;
    ~CComVariantArray() { VariantClear(this); }

    HRESULT Clear() noexcept { return VariantClear(this); }
    HRESULT Copy(const VARIANT* pSource) noexcept { return VariantCopy(this, pSource); }

    HRESULT WriteToStream(IStream* pStream) const noexcept { return WriteToStream(pStream, this); }
    // Replaces the value with the one read; on failure the value is empty.
    HRESULT ReadFromStream(IStream* pStream) noexcept { return ReadFromStream(pStream, this); }

    static HRESULT WriteToStream(IStream* pStream, const VARIANT* pValue) noexcept;
    // pValue must hold a valid variant (it is cleared first).
    static HRESULT ReadFromStream(IStream* pStream, VARIANT* pValue) noexcept;
};
