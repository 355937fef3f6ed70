// The value mapping between automation and D-Bus (docs/dbus.md has the table) and the error names.
#include "DBusMarshal.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "comrt/comptr.h"
#include "comrt/runtime.h"
#include "comrt/text.h"

namespace comrt::dbus {
namespace {

// Reads the protected message pointer of sdbus::Message through a member pointer formed in a derived
// class, which the language allows without an object of that class.
struct CMessageAccess : sdbus::Message {
    static constexpr void* sdbus::Message::*kMessage = &CMessageAccess::msg_;
};

constexpr const char* kErrorPrefix = "Corvane.Error.HRESULT_0x";

// The basic D-Bus types of the scalar automation types. Each D-Bus type's natural automation type, the one
// a value takes when nothing else asks for a type, comes first among the rows of its D-Bus type.
struct WireType {
    VARTYPE vt;
    char c;
};
constexpr WireType kWireTypes[] = {
    // The natural types.
    {VT_I2, 'n'},
    {VT_UI1, 'y'},
    {VT_UI2, 'q'},
    {VT_I4, 'i'},
    {VT_UI4, 'u'},
    {VT_I8, 'x'},
    {VT_UI8, 't'},
    {VT_R8, 'd'},
    {VT_BOOL, 'b'},
    {VT_BSTR, 's'},
    {VT_DISPATCH, 'o'},
    {VT_VARIANT, 'v'},
    // The types that travel as one of the above.
    {VT_I1, 'n'},
    {VT_INT, 'i'},
    {VT_ERROR, 'i'},
    {VT_UINT, 'u'},
    {VT_CY, 'x'},
    {VT_R4, 'd'},
    {VT_DATE, 'd'},
    {VT_UNKNOWN, 'o'}};

// The basic D-Bus type of a scalar automation type, or 0.
char WireOf(VARTYPE vt) {
    for (const WireType& w : kWireTypes)
        if (w.vt == vt) return w.c;
    return 0;
}

// The automation type a D-Bus value of basic type c takes when nothing else asks for a type.
VARTYPE NaturalTypeOf(char c) {
    for (const WireType& w : kWireTypes)
        if (w.c == c) return w.vt;
    return VT_EMPTY;
}

// VT_EMPTY and VT_NULL have no D-Bus type: inside a variant they travel as a signature value, "" for
// VT_EMPTY and "v" for VT_NULL (no other value of ours uses the signature type).
constexpr const char* kEmptyMark = "";
constexpr const char* kNullMark = "v";

HRESULT Check(int r) {
    if (r == -ENOMEM) return E_OUTOFMEMORY;
    return r < 0 ? DISP_E_TYPEMISMATCH : S_OK;
}

// Reading at the end of the arguments is a missing argument, which is a wrong signature as well.
HRESULT CheckRead(int r) {
    if (r == 0) return DISP_E_TYPEMISMATCH;
    return Check(r);
}

// Appends one value whose automation type is already exactly vt.
HRESULT AppendExact(sd_bus_message* m, const VARIANT& v, VARTYPE vt, IObjectMapper& mapper) {
    switch (vt) {
        case VT_I1: {
            int16_t n = v.cVal;
            return Check(sd_bus_message_append_basic(m, 'n', &n));
        }
        case VT_I2:
        case VT_UI1:
        case VT_UI2:
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
        case VT_UI4:
        case VT_UINT:
        case VT_I8:
        case VT_CY:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
            // The value lies at the start of the variant's value union in the wire type's own form.
            return Check(sd_bus_message_append_basic(m, WireOf(vt), &v.llVal));
        case VT_R4: {
            double d = v.fltVal;
            return Check(sd_bus_message_append_basic(m, 'd', &d));
        }
        case VT_BOOL: {
            int b = v.boolVal != VARIANT_FALSE;
            return Check(sd_bus_message_append_basic(m, 'b', &b));
        }
        case VT_BSTR: {
            const std::string s = ToUtf8(std::u16string_view(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)));
            return Check(sd_bus_message_append_basic(m, 's', s.c_str()));
        }
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            std::string sPath = "/";
            if (v.punkVal != nullptr) {
                HRESULT hr = mapper.PathOf(v.punkVal, &sPath);
                if (FAILED(hr)) return hr;
            }
            return Check(sd_bus_message_append_basic(m, 'o', sPath.c_str()));
        }
        default:
            return DISP_E_BADVARTYPE;
    }
}

HRESULT WriteArray(sd_bus_message* m, SAFEARRAY* psa, VARTYPE vtElement, IObjectMapper& mapper) {
    const std::string sElement = SignatureOf(vtElement);
    if (sElement.empty() || (vtElement & VT_ARRAY)) return DISP_E_BADVARTYPE;
    LONG nLower = 0, nUpper = -1;
    if (psa != nullptr && (FAILED(SafeArrayGetLBound(psa, 1, &nLower)) || FAILED(SafeArrayGetUBound(psa, 1, &nUpper))))
        return DISP_E_TYPEMISMATCH;
    if (vtElement == VT_UI1) {
        void* pData = nullptr;
        const std::size_t cb = static_cast<std::size_t>(nUpper - nLower + 1);
        if (cb > 0 && FAILED(SafeArrayAccessData(psa, &pData))) return DISP_E_TYPEMISMATCH;
        const int r = sd_bus_message_append_array(m, 'y', cb > 0 ? pData : "", cb);
        if (cb > 0) SafeArrayUnaccessData(psa);
        return Check(r);
    }
    HRESULT hr = Check(sd_bus_message_open_container(m, 'a', sElement.c_str()));
    for (LONG i = nLower; SUCCEEDED(hr) && i <= nUpper; ++i) {
        VARIANT element;
        VariantInit(&element);
        if (vtElement == VT_VARIANT) {
            hr = SafeArrayGetElement(psa, &i, &element);
            if (SUCCEEDED(hr)) hr = WriteVariant(m, element, mapper);
        } else {
            // Every element type's value lies at the start of the variant's value union.
            hr = SafeArrayGetElement(psa, &i, &element.llVal);
            element.vt = vtElement;
            if (SUCCEEDED(hr)) hr = AppendExact(m, element, vtElement, mapper);
        }
        VariantClear(&element);
    }
    if (SUCCEEDED(hr)) hr = Check(sd_bus_message_close_container(m));
    return hr;
}

// Reads one basic value of D-Bus type c into its natural automation type.
HRESULT ReadNatural(sd_bus_message* m, char c, VARIANT* pValue, IObjectMapper& mapper) {
    VariantInit(pValue);
    union {
        int16_t n;
        uint8_t y;
        uint16_t q;
        int32_t i;
        uint32_t u;
        int64_t x;
        uint64_t t;
        double d;
        int b;
        const char* s;
    } value{};
    HRESULT hr = CheckRead(sd_bus_message_read_basic(m, c, &value));
    if (FAILED(hr)) return hr;
    switch (c) {
        case 'n':
        case 'y':
        case 'q':
        case 'i':
        case 'u':
        case 'x':
        case 't':
        case 'd':
            // The natural type keeps the value at the start of the variant's value union in the D-Bus type's
            // own form, so the read bytes carry straight over.
            static_assert(sizeof value == sizeof pValue->llVal);
            std::memcpy(&pValue->llVal, &value, sizeof pValue->llVal);
            pValue->vt = NaturalTypeOf(c);
            return S_OK;
        case 'b':
            pValue->vt = VT_BOOL;
            pValue->boolVal = value.b ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case 's': {
            const std::u16string s = ToUtf16(value.s ? value.s : "");
            pValue->bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
            if (pValue->bstrVal == nullptr) return E_OUTOFMEMORY;
            pValue->vt = VT_BSTR;
            return S_OK;
        }
        case 'o': {
            pValue->vt = VT_DISPATCH;
            if (value.s == nullptr || std::strcmp(value.s, "/") == 0) return S_OK;
            CComPtr<IUnknown> pObject;
            hr = mapper.ObjectOf(value.s, &pObject);
            if (FAILED(hr)) {
                pValue->vt = VT_EMPTY;
                return hr;
            }
            // An object that answers IDispatch travels as VT_DISPATCH, as automation expects.
            if (SUCCEEDED(pObject->QueryInterface(IidOf<IDispatch>(), reinterpret_cast<void**>(&pValue->pdispVal))))
                return S_OK;
            pValue->vt = VT_UNKNOWN;
            pValue->punkVal = pObject.Detach();
            return S_OK;
        }
        case 'g':
            if (std::strcmp(value.s, kEmptyMark) == 0) return S_OK;
            if (std::strcmp(value.s, kNullMark) == 0) {
                pValue->vt = VT_NULL;
                return S_OK;
            }
            return DISP_E_TYPEMISMATCH;
        default:
            return DISP_E_BADVARTYPE;
    }
}

HRESULT ReadArray(sd_bus_message* m, VARTYPE vtElement, VARIANT* pValue, IObjectMapper& mapper) {
    VariantInit(pValue);
    const std::string sElement = SignatureOf(vtElement);
    if (sElement.empty() || (vtElement & VT_ARRAY)) return DISP_E_BADVARTYPE;
    if (vtElement == VT_UI1) {
        const void* pData = nullptr;
        size_t cb = 0;
        HRESULT hr = Check(sd_bus_message_read_array(m, 'y', &pData, &cb));
        if (FAILED(hr)) return hr;
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(cb));
        if (psa == nullptr) return E_OUTOFMEMORY;
        if (cb > 0) std::memcpy(psa->pvData, pData, cb);
        pValue->vt = VT_ARRAY | VT_UI1;
        pValue->parray = psa;
        return S_OK;
    }
    HRESULT hr = CheckRead(sd_bus_message_enter_container(m, 'a', sElement.c_str()));
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> elements;
    auto clear = [&] {
        for (VARIANT& v : elements) VariantClear(&v);
    };
    while (SUCCEEDED(hr)) {
        const int r = sd_bus_message_at_end(m, 0);
        if (r != 0) {
            hr = Check(r);
            break;
        }
        VARIANT element;
        hr = ReadTyped(m, vtElement, &element, mapper);
        if (SUCCEEDED(hr)) elements.push_back(element);
    }
    if (SUCCEEDED(hr)) hr = Check(sd_bus_message_exit_container(m));
    if (FAILED(hr)) {
        clear();
        return hr;
    }
    SAFEARRAY* psa = SafeArrayCreateVector(vtElement, 0, static_cast<ULONG>(elements.size()));
    if (psa == nullptr) {
        clear();
        return E_OUTOFMEMORY;
    }
    for (LONG i = 0; SUCCEEDED(hr) && i < static_cast<LONG>(elements.size()); ++i) {
        VARIANT& e = elements[i];
        if (vtElement == VT_VARIANT)
            hr = SafeArrayPutElement(psa, &i, &e);
        else if (vtElement == VT_BSTR)
            hr = SafeArrayPutElement(psa, &i, e.bstrVal);
        else if (vtElement == VT_UNKNOWN || vtElement == VT_DISPATCH)
            hr = SafeArrayPutElement(psa, &i, e.punkVal);
        else
            hr = SafeArrayPutElement(psa, &i, &e.llVal);
    }
    clear();
    if (FAILED(hr)) {
        SafeArrayDestroy(psa);
        return hr;
    }
    pValue->vt = static_cast<VARTYPE>(VT_ARRAY | vtElement);
    pValue->parray = psa;
    return S_OK;
}

}  // namespace

sd_bus_message* RawMessage(const sdbus::Message& message) {
    return static_cast<sd_bus_message*>(message.*CMessageAccess::kMessage);
}

std::string ErrorNameOf(HRESULT hr) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "%s%08" PRIX32, kErrorPrefix, static_cast<uint32_t>(hr));
    return sz;
}

sdbus::Error MakeError(HRESULT hr) {
    std::string sText = ToUtf8(FormatSystemMessage(hr));
    if (sText.empty()) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "Error 0x%08" PRIX32, static_cast<uint32_t>(hr));
        sText = sz;
    }
    return sdbus::Error(ErrorNameOf(hr), sText);
}

HRESULT HResultOfError(const std::string& sName) {
    const std::size_t nPrefix = std::strlen(kErrorPrefix);
    if (sName.size() == nPrefix + 8 && sName.compare(0, nPrefix, kErrorPrefix) == 0) {
        char* pEnd = nullptr;
        const unsigned long n = std::strtoul(sName.c_str() + nPrefix, &pEnd, 16);
        if (pEnd != nullptr && *pEnd == 0) return static_cast<HRESULT>(static_cast<uint32_t>(n));
    }
    struct Mapping {
        const char* szName;
        HRESULT hr;
    };
    static const Mapping kMappings[] = {
        {SD_BUS_ERROR_UNKNOWN_OBJECT, RPC_E_DISCONNECTED},
        {SD_BUS_ERROR_UNKNOWN_INTERFACE, E_NOINTERFACE},
        {SD_BUS_ERROR_UNKNOWN_METHOD, DISP_E_MEMBERNOTFOUND},
        {SD_BUS_ERROR_UNKNOWN_PROPERTY, DISP_E_MEMBERNOTFOUND},
        {SD_BUS_ERROR_PROPERTY_READ_ONLY, DISP_E_MEMBERNOTFOUND},
        {SD_BUS_ERROR_INVALID_ARGS, DISP_E_TYPEMISMATCH},
        {SD_BUS_ERROR_INVALID_SIGNATURE, DISP_E_TYPEMISMATCH},
        {SD_BUS_ERROR_SERVICE_UNKNOWN, RPC_E_DISCONNECTED},
        {SD_BUS_ERROR_NAME_HAS_NO_OWNER, RPC_E_DISCONNECTED},
        {SD_BUS_ERROR_DISCONNECTED, RPC_E_DISCONNECTED},
        {SD_BUS_ERROR_NO_REPLY, HRESULT_FROM_WIN32(1460)},
        {SD_BUS_ERROR_TIMEOUT, HRESULT_FROM_WIN32(1460)},
        {SD_BUS_ERROR_ACCESS_DENIED, E_ACCESSDENIED},
        {SD_BUS_ERROR_NO_MEMORY, E_OUTOFMEMORY},
    };
    for (const Mapping& mapping : kMappings)
        if (sName == mapping.szName) return mapping.hr;
    return E_FAIL;
}

std::string SignatureOf(VARTYPE vt) {
    if (vt & VT_ARRAY) {
        const VARTYPE vtElement = static_cast<VARTYPE>(vt & ~VT_ARRAY);
        const char c = (vtElement & (VT_ARRAY | VT_BYREF)) ? 0 : WireOf(vtElement);
        return c ? std::string{'a', c} : std::string();
    }
    const char c = (vt & VT_BYREF) ? 0 : WireOf(vt);
    return c ? std::string(1, c) : std::string();
}

BusMemberForm FormOf(const InterfaceDescription& d, const MemberDescription& m, std::string* psName) {
    auto isSimpleGet = [](const MemberDescription* p) {
        return p != nullptr && p->pfnInvoke != nullptr && p->kind == MemberKind::PropertyGet && p->nParams == 1 &&
               p->pParams[0].bRetval && !SignatureOf(p->pParams[0].vt).empty();
    };
    auto isSimplePut = [](const MemberDescription* p) {
        return p != nullptr && p->pfnInvoke != nullptr && p->kind == MemberKind::PropertyPut && p->nParams == 1 &&
               !SignatureOf(p->pParams[0].vt).empty();
    };
    psName->assign(m.szName);
    if (m.pfnInvoke == nullptr) return BusMemberForm::None;
    if (isSimpleGet(&m)) return BusMemberForm::Property;
    if (isSimplePut(&m) && isSimpleGet(d.Find(m.dispid, MemberKind::PropertyGet))) return BusMemberForm::PropertySetter;
    for (unsigned i = 0; i < m.nParams; ++i)
        if (SignatureOf(m.pParams[i].vt).empty()) return BusMemberForm::None;
    if (m.kind == MemberKind::PropertyPut) psName->insert(0, "Set");
    return BusMemberForm::Method;
}

HRESULT WriteTyped(sd_bus_message* m, const VARIANT& value, VARTYPE vt, IObjectMapper& mapper) {
    if (vt == VT_VARIANT) return WriteVariant(m, value, mapper);
    if (SignatureOf(vt).empty()) return DISP_E_BADVARTYPE;
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopyInd(&copy, &value);
    if (FAILED(hr)) return hr;
    if (vt & VT_ARRAY) {
        hr = copy.vt == vt ? WriteArray(m, copy.parray, static_cast<VARTYPE>(vt & ~VT_ARRAY), mapper)
                           : DISP_E_TYPEMISMATCH;
    } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        if (copy.vt == VT_EMPTY || copy.vt == VT_NULL)
            hr = Check(sd_bus_message_append_basic(m, 'o', "/"));
        else if (copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN)
            hr = AppendExact(m, copy, copy.vt, mapper);
        else
            hr = DISP_E_TYPEMISMATCH;
    } else {
        if (copy.vt != vt) {
            hr = VariantChangeType(&copy, &copy, 0, vt);
            if (FAILED(hr) && hr != E_OUTOFMEMORY) hr = DISP_E_TYPEMISMATCH;
        }
        if (SUCCEEDED(hr)) hr = AppendExact(m, copy, vt, mapper);
    }
    VariantClear(&copy);
    return hr;
}

HRESULT WriteVariant(sd_bus_message* m, const VARIANT& value, IObjectMapper& mapper) {
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopyInd(&copy, &value);
    if (FAILED(hr)) return hr;
    if (copy.vt == VT_EMPTY || copy.vt == VT_NULL) {
        hr = Check(sd_bus_message_append(m, "v", "g", copy.vt == VT_EMPTY ? kEmptyMark : kNullMark));
    } else {
        const std::string sSignature = SignatureOf(copy.vt);
        if (sSignature.empty() || copy.vt == VT_VARIANT) {
            hr = DISP_E_BADVARTYPE;
        } else {
            hr = Check(sd_bus_message_open_container(m, 'v', sSignature.c_str()));
            if (SUCCEEDED(hr)) hr = WriteTyped(m, copy, copy.vt, mapper);
            if (SUCCEEDED(hr)) hr = Check(sd_bus_message_close_container(m));
        }
    }
    VariantClear(&copy);
    return hr;
}

HRESULT ReadTyped(sd_bus_message* m, VARTYPE vt, VARIANT* pValue, IObjectMapper& mapper) {
    VariantInit(pValue);
    if (vt == VT_VARIANT) return ReadVariant(m, pValue, mapper);
    if (vt & VT_ARRAY) return ReadArray(m, static_cast<VARTYPE>(vt & ~VT_ARRAY), pValue, mapper);
    const char c = WireOf(vt);
    if (c == 0) return DISP_E_BADVARTYPE;
    VARIANT natural;
    HRESULT hr = ReadNatural(m, c, &natural, mapper);
    if (FAILED(hr)) return hr;
    switch (vt) {
        // Types whose wire form is their raw value, which a conversion would reinterpret: the natural value
        // already holds it, at the start of the value union, in the same form.
        case VT_CY:
        case VT_ERROR:
        case VT_DATE:
        case VT_INT:
        case VT_UINT:
            *pValue = natural;
            pValue->vt = vt;
            return S_OK;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            *pValue = natural;
            if (pValue->vt == VT_DISPATCH || pValue->punkVal == nullptr) pValue->vt = vt;
            return S_OK;
        default:
            if (natural.vt == vt) {
                *pValue = natural;
                return S_OK;
            }
            hr = VariantChangeType(pValue, &natural, 0, vt);
            VariantClear(&natural);
            return FAILED(hr) && hr != E_OUTOFMEMORY ? DISP_E_TYPEMISMATCH : hr;
    }
}

namespace {

// bInner: the variant is the content of another one, as the value of a property whose type is VARIANT is
// inside the variant that org.freedesktop.DBus.Properties.Get answers (v holding v holding the value). One
// such level is read; a deeper one is refused.
HRESULT ReadVariantLevel(sd_bus_message* m, VARIANT* pValue, IObjectMapper& mapper, bool bInner);

}  // namespace

HRESULT ReadVariant(sd_bus_message* m, VARIANT* pValue, IObjectMapper& mapper) {
    return ReadVariantLevel(m, pValue, mapper, false);
}

namespace {

HRESULT ReadVariantLevel(sd_bus_message* m, VARIANT* pValue, IObjectMapper& mapper, bool bInner) {
    VariantInit(pValue);
    char cType = 0;
    const char* pszContents = nullptr;
    HRESULT hr = CheckRead(sd_bus_message_peek_type(m, &cType, &pszContents));
    if (FAILED(hr)) return hr;
    if (cType != 'v' || pszContents == nullptr) return DISP_E_TYPEMISMATCH;
    const std::string sContents = pszContents;
    hr = CheckRead(sd_bus_message_enter_container(m, 'v', sContents.c_str()));
    if (FAILED(hr)) return hr;
    if (sContents == "g") {
        hr = ReadNatural(m, 'g', pValue, mapper);
    } else if (sContents.size() == 2 && sContents[0] == 'a') {
        const VARTYPE vtElement = NaturalTypeOf(sContents[1]);
        hr = vtElement == VT_EMPTY ? DISP_E_BADVARTYPE : ReadArray(m, vtElement, pValue, mapper);
    } else if (sContents.size() == 1 && sContents[0] != 'v' && NaturalTypeOf(sContents[0]) != VT_EMPTY) {
        hr = ReadNatural(m, sContents[0], pValue, mapper);
    } else if (sContents == "v" && !bInner) {
        hr = ReadVariantLevel(m, pValue, mapper, true);
    } else {
        hr = DISP_E_BADVARTYPE;
    }
    if (SUCCEEDED(hr)) hr = Check(sd_bus_message_exit_container(m));
    if (FAILED(hr)) VariantClear(pValue);
    return hr;
}

}  // namespace

}  // namespace comrt::dbus
