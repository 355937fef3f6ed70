// Save and load of an object with 12 properties through its property map (IPersistStreamInit into a memory
// stream and back), against the same 12 values written and read by hand as raw bytes in the same stream:
// what the map, the dispatch calls and the variant blocks cost per round trip. The limit of 6 is ours.
#include <benchmark/benchmark.h>

#include "RatioReporter.h"
#include "corvane/ulmemorystream.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"

namespace {

const CLSID CLSID_BenchObject = MakeGuid("5C0F9E2B-7A1D-4C3E-8B2F-1A2B3C4D5E6F");
constexpr int kProperties = 12;

// Twelve properties by DISPID 1..12: four strings, four longs, two truth values, two doubles.
class CBenchObject : public IDispatch, public CBasePersistT<CBenchObject>, public IUlPersistStreamInitT<CBenchObject> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPersistStreamInit>, InterfaceEntry<IDispatch>>;
    static const CLSID& GetObjectCLSID() { return CLSID_BenchObject; }
    BEGIN_UL_PROPERTY_MAP(CBenchObject)
    UL_PROPERTY_ENTRY(u"Host", 1, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Title", 2, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Sender", 3, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Recipient", 4, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Interval", 5, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Timeout", 6, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Retries", 7, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Port", 8, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Enabled", 9, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Secure", 10, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Threshold", 11, CLSID_NULL, IDispatch)
    UL_PROPERTY_ENTRY(u"Weight", 12, CLSID_NULL, IDispatch)
    END_UL_PROPERTY_MAP()

    CBenchObject() {
        const char16_t* texts[] = {u"mail.example.org", u"Disk space on the file server", u"corvane@example.org",
                                   u"operators@example.org"};
        for (int i = 0; i < 4; ++i) {
            m_Values[i].vt = VT_BSTR;
            m_Values[i].bstrVal = SysAllocString(texts[i]);
        }
        for (int i = 4; i < 8; ++i) {
            m_Values[i].vt = VT_I4;
            m_Values[i].lVal = 1000 * i;
        }
        for (int i = 8; i < 10; ++i) {
            m_Values[i].vt = VT_BOOL;
            m_Values[i].boolVal = VARIANT_TRUE;
        }
        for (int i = 10; i < 12; ++i) {
            m_Values[i].vt = VT_R8;
            m_Values[i].dblVal = 0.5 * i;
        }
    }
    ~CBenchObject() {
        for (VARIANT& v : m_Values) VariantClear(&v);
    }

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams, VARIANT* pResult, EXCEPINFO*,
                   UINT*) override {
        if (dispid < 1 || dispid > kProperties) return DISP_E_MEMBERNOTFOUND;
        VARIANT& v = m_Values[dispid - 1];
        if (wFlags == DISPATCH_PROPERTYGET) return VariantCopy(pResult, &v);
        if (wFlags == DISPATCH_PROPERTYPUT) {
            SetDirty();
            return VariantCopy(&v, &pParams->rgvarg[0]);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    VARIANT m_Values[kProperties] = {};
};

struct CFixture {
    CFixture() {
        CComObjectT<CBenchObject>::CreateInstance(&pObject);
        CMemoryStreamObject::CreateInstance(&pStream);
    }
    ~CFixture() {
        pObject->Release();
        pStream->Release();
    }
    void Rewind() {
        ULARGE_INTEGER n{};
        pStream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &n);
    }
    CComObjectT<CBenchObject>* pObject = nullptr;
    CMemoryStreamObject* pStream = nullptr;
};

void BM_PropertyMapRoundTrip(benchmark::State& State) {
    CFixture f;
    IPersistStreamInit* pPersist = f.pObject;
    for (auto _ : State) {
        f.Rewind();
        if (FAILED(pPersist->Save(f.pStream, TRUE))) State.SkipWithError("save failed");
        f.Rewind();
        if (FAILED(pPersist->Load(f.pStream))) State.SkipWithError("load failed");
    }
    State.counters["bytes"] = static_cast<double>(f.pStream->GetSize());
}
BENCHMARK(BM_PropertyMapRoundTrip);

// The peer: the same values as raw bytes (strings with a length), no map, no dispatch, no variant blocks.
void BM_HandWrittenRoundTrip(benchmark::State& State) {
    CFixture f;
    VARIANT* pValues = f.pObject->m_Values;
    for (auto _ : State) {
        f.Rewind();
        for (int i = 0; i < kProperties; ++i) {
            if (pValues[i].vt == VT_BSTR) {
                const ULONG cb = SysStringByteLen(pValues[i].bstrVal);
                f.pStream->Write(&cb, 4, nullptr);
                f.pStream->Write(pValues[i].bstrVal, cb, nullptr);
            } else {
                f.pStream->Write(&pValues[i].llVal, 8, nullptr);
            }
        }
        f.Rewind();
        for (int i = 0; i < kProperties; ++i) {
            if (pValues[i].vt == VT_BSTR) {
                ULONG cb = 0;
                f.pStream->Read(&cb, 4, nullptr);
                BSTR s = SysAllocStringByteLen(nullptr, cb);
                f.pStream->Read(s, cb, nullptr);
                SysFreeString(pValues[i].bstrVal);
                pValues[i].bstrVal = s;
            } else {
                f.pStream->Read(&pValues[i].llVal, 8, nullptr);
            }
        }
    }
}
BENCHMARK(BM_HandWrittenRoundTrip);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CRatioReporter Reporter("BM_PropertyMapRoundTrip", "BM_HandWrittenRoundTrip",
                            "Property map / hand-written, save and load of 12 properties", 6);
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    return 0;
}
