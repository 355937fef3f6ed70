// The registry property bag: the stored value of each type, the "variant:" form, missing values and keys,
// failures reported to the error log, and binary values in a caller's buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestEnvironment.h"
#include "comrt/sync.h"
#include "corvane/ulpersist.h"
#include "corvane/ulpersistregistry.h"
#include "persist_stream.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr char16_t kKeyPath[] = u"SOFTWARE\\Corvane Harkwell\\Test Bag";

// An independent Base64 encoder (standard alphabet, no padding) to check the stored text against.
std::u16string Base64(const Bytes& data) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::u16string s;
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const unsigned n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        for (int k = 3; k >= 0; --k) s += static_cast<char16_t>(kAlphabet[(n >> (6 * k)) & 63]);
    }
    if (data.size() - i == 1) {
        const unsigned n = data[i] << 16;
        s += static_cast<char16_t>(kAlphabet[(n >> 18) & 63]);
        s += static_cast<char16_t>(kAlphabet[(n >> 12) & 63]);
    } else if (data.size() - i == 2) {
        const unsigned n = (data[i] << 16) | (data[i + 1] << 8);
        s += static_cast<char16_t>(kAlphabet[(n >> 18) & 63]);
        s += static_cast<char16_t>(kAlphabet[(n >> 12) & 63]);
        s += static_cast<char16_t>(kAlphabet[(n >> 6) & 63]);
    }
    return s;
}

Bytes Block(const VARIANT& v) {
    CTestStream Stream;
    EXPECT_EQ(CComVariantArray::WriteToStream(&Stream, &v), S_OK);
    return Stream.m_Data;
}

class CErrorLog : public IErrorLog {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IErrorLog>>;
    std::vector<std::pair<std::u16string, SCODE>> m_Errors;
    HRESULT AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) override {
        m_Errors.emplace_back(pszPropName, pExcepInfo->scode);
        return S_OK;
    }
};

class PersistRegistryBag : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CComObjectT<CRegistryPropertyBag>::CreateInstance(&m_pBag), S_OK);
        m_pBag->Initialize(kKeyPath);
    }
    void TearDown() override { m_pBag->Release(); }

    // The raw registry value: its type and bytes.
    DWORD RawValue(const char16_t* pszName, Bytes* pData) {
        CRegKey Key;
        if (Key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ) != ERROR_SUCCESS) return REG_NONE;
        DWORD nType = REG_NONE, cb = 0;
        if (RegQueryValueExW(Key, pszName, nullptr, &nType, nullptr, &cb) != ERROR_SUCCESS) return REG_NONE;
        pData->resize(cb);
        RegQueryValueExW(Key, pszName, nullptr, &nType, pData->data(), &cb);
        return nType;
    }
    std::u16string RawText(const char16_t* pszName) {
        Bytes data;
        EXPECT_EQ(RawValue(pszName, &data), REG_SZ);
        std::u16string s(data.size() / 2, u'\0');
        std::memcpy(s.data(), data.data(), s.size() * 2);
        if (!s.empty() && s.back() == u'\0') s.pop_back();
        return s;
    }

    testing_support::CTemporaryRegistry m_Registry;
    CComObjectT<CRegistryPropertyBag>* m_pBag = nullptr;
};

TEST_F(PersistRegistryBag, NumbersAndTruthValuesAreDwords) {
    CComVariantArray v;
    v.vt = VT_I2;
    v.iVal = -2;
    ASSERT_EQ(m_pBag->Write(u"Short", &v), S_OK);
    v.vt = VT_I4;
    v.lVal = 0x12345678;
    ASSERT_EQ(m_pBag->Write(u"Long", &v), S_OK);
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    ASSERT_EQ(m_pBag->Write(u"Yes", &v), S_OK);
    v.boolVal = VARIANT_FALSE;
    ASSERT_EQ(m_pBag->Write(u"No", &v), S_OK);
    Bytes data;
    EXPECT_EQ(RawValue(u"Short", &data), REG_DWORD);
    EXPECT_EQ(data, (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(RawValue(u"Long", &data), REG_DWORD);
    EXPECT_EQ(data, (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(RawValue(u"Yes", &data), REG_DWORD);
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(RawValue(u"No", &data), REG_DWORD);
    EXPECT_EQ(data, (Bytes{0, 0, 0, 0}));

    CComVariantArray Read;
    ASSERT_EQ(m_pBag->Read(u"Short", &Read, nullptr), S_OK);
    EXPECT_EQ(Read.vt, VT_I4);
    EXPECT_EQ(Read.lVal, -2);
    ASSERT_EQ(m_pBag->Read(u"yes", &Read, nullptr), S_OK);  // names compare without case
    EXPECT_EQ(Read.vt, VT_I4);
    EXPECT_EQ(Read.lVal, 1);
}

TEST_F(PersistRegistryBag, TextIsPlainUnlessItLooksLikeTheVariantForm) {
    CComVariantArray v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"plain text");
    ASSERT_EQ(m_pBag->Write(u"Plain", &v), S_OK);
    EXPECT_EQ(RawText(u"Plain"), u"plain text");
    SysFreeString(v.bstrVal);
    v.bstrVal = nullptr;
    ASSERT_EQ(m_pBag->Write(u"Null", &v), S_OK);
    EXPECT_EQ(RawText(u"Null"), u"");

    // "variant:x" is stored in the variant form so that it reads back as itself.
    v.bstrVal = SysAllocString(u"variant:x");
    ASSERT_EQ(m_pBag->Write(u"Tricky", &v), S_OK);
    EXPECT_EQ(RawText(u"Tricky"), u"variant:" + Base64(Block(v)));
    EXPECT_EQ(Block(v), (Bytes{0x08, 0x00, 0x14, 0x00, 0x00, 0x00, 'v', 0,   'a', 0,   'r', 0, 'i',
                               0,    'a',  0,    'n',  0,    't',  0,   ':', 0,   'x', 0,   0, 0}));
    SysFreeString(v.bstrVal);
    v.bstrVal = SysAllocString(u"VARIANT:Upper");
    ASSERT_EQ(m_pBag->Write(u"Upper", &v), S_OK);
    EXPECT_EQ(RawText(u"Upper").substr(0, 8), u"variant:");

    CComVariantArray Read;
    ASSERT_EQ(m_pBag->Read(u"Tricky", &Read, nullptr), S_OK);
    ASSERT_EQ(Read.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(Read.bstrVal), u"variant:x");
    ASSERT_EQ(m_pBag->Read(u"Upper", &Read, nullptr), S_OK);
    EXPECT_EQ(std::u16string(Read.bstrVal), u"VARIANT:Upper");
    ASSERT_EQ(m_pBag->Read(u"Plain", &Read, nullptr), S_OK);
    EXPECT_EQ(std::u16string(Read.bstrVal), u"plain text");
}

TEST_F(PersistRegistryBag, ByteArraysAreBinary) {
    CComVariantArray v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 3, 4);
    const Bytes bytes = {0x00, 0xFF, 0x10, 0x7F};
    std::memcpy(v.parray->pvData, bytes.data(), bytes.size());
    ASSERT_EQ(m_pBag->Write(u"Blob", &v), S_OK);
    Bytes data;
    EXPECT_EQ(RawValue(u"Blob", &data), REG_BINARY);
    EXPECT_EQ(data, bytes);
    CComVariantArray Read;
    ASSERT_EQ(m_pBag->Read(u"Blob", &Read, nullptr), S_OK);
    ASSERT_EQ(Read.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(Read.parray->rgsabound[0].lLbound, 0);
    ASSERT_EQ(Read.parray->rgsabound[0].cElements, 4u);
    EXPECT_EQ(std::memcmp(Read.parray->pvData, bytes.data(), 4), 0);
    // An empty one too.
    v.Clear();
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_EQ(m_pBag->Write(u"Empty", &v), S_OK);
    ASSERT_EQ(m_pBag->Read(u"Empty", &Read, nullptr), S_OK);
    EXPECT_EQ(Read.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(Read.parray->rgsabound[0].cElements, 0u);
}

TEST_F(PersistRegistryBag, EveryOtherTypeRoundTripsThroughTheVariantForm) {
    std::vector<CComVariantArray*> values;
    auto Add = [&](VARTYPE vt, std::uint64_t nBits) {
        auto* p = new CComVariantArray;
        p->vt = vt;
        p->llVal = static_cast<LONGLONG>(nBits);
        values.push_back(p);
    };
    Add(VT_I1, 0x80);
    Add(VT_UI1, 0xFE);
    Add(VT_UI2, 0xBEEF);
    Add(VT_UI4, 0xDEADBEEF);
    Add(VT_INT, 0xFFFFFFF0);
    Add(VT_UINT, 17);
    Add(VT_I8, 0x8000000000000001);
    Add(VT_UI8, 0xFFFFFFFFFFFFFFFF);
    Add(VT_R4, 0x3FC00000);
    Add(VT_R8, 0x400C000000000000);
    Add(VT_CY, 123456);
    Add(VT_DATE, 0x40E5F6E000000000);
    Add(VT_ERROR, 0x80004005);
    Add(VT_NULL, 0);
    auto* pStrings = new CComVariantArray;
    pStrings->vt = VT_ARRAY | VT_BSTR;
    pStrings->parray = SafeArrayCreateVector(VT_BSTR, 1, 2);
    LONG i = 1;
    BSTR s = SysAllocString(u"first");
    SafeArrayPutElement(pStrings->parray, &i, s);
    SysFreeString(s);
    values.push_back(pStrings);
    auto* pVariants = new CComVariantArray;
    pVariants->vt = VT_ARRAY | VT_VARIANT;
    pVariants->parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    CComVariantArray Element;
    Element.vt = VT_R8;
    Element.dblVal = 0.25;
    i = 0;
    SafeArrayPutElement(pVariants->parray, &i, &Element);
    values.push_back(pVariants);
    auto* pNoObject = new CComVariantArray;
    pNoObject->vt = VT_UNKNOWN;
    values.push_back(pNoObject);

    int n = 0;
    for (CComVariantArray* p : values) {
        SCOPED_TRACE(p->vt);
        const std::u16string sName = u"Value" + std::u16string(1, static_cast<char16_t>(u'A' + n++));
        ASSERT_EQ(m_pBag->Write(sName.c_str(), p), S_OK);
        if (p->vt == VT_NULL) {  // VT_NULL deletes like VT_EMPTY
            Bytes data;
            EXPECT_EQ(RawValue(sName.c_str(), &data), REG_NONE);
            continue;
        }
        EXPECT_EQ(RawText(sName.c_str()), u"variant:" + Base64(Block(*p)));
        CComVariantArray Read;
        ASSERT_EQ(m_pBag->Read(sName.c_str(), &Read, nullptr), S_OK);
        EXPECT_EQ(Read.vt, p->vt);
        EXPECT_EQ(Block(Read), Block(*p));
    }
    for (CComVariantArray* p : values) delete p;
}

TEST_F(PersistRegistryBag, EmptyDeletesAndMissingValuesAreInvalidArguments) {
    CComVariantArray Read;
    Read.vt = VT_I4;
    Read.lVal = 77;
    // No key at all yet.
    EXPECT_EQ(m_pBag->Read(u"Anything", &Read, nullptr), E_INVALIDARG);
    CComVariantArray v;
    v.vt = VT_I4;
    v.lVal = 5;
    ASSERT_EQ(m_pBag->Write(u"Gone", &v), S_OK);
    v.Clear();
    ASSERT_EQ(m_pBag->Write(u"Gone", &v), S_OK);
    EXPECT_EQ(m_pBag->Read(u"Gone", &Read, nullptr), E_INVALIDARG);
    EXPECT_EQ(Read.vt, VT_I4);
    EXPECT_EQ(Read.lVal, 77);
    ASSERT_EQ(m_pBag->Write(u"Never", &v), S_OK);  // deleting what is not there is fine

    EXPECT_EQ(m_pBag->Write(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(m_pBag->Write(u"x", nullptr), E_POINTER);
    EXPECT_EQ(m_pBag->Read(nullptr, &Read, nullptr), E_INVALIDARG);
    EXPECT_EQ(m_pBag->Read(u"x", nullptr, nullptr), E_POINTER);
}

TEST_F(PersistRegistryBag, OtherFailuresGoToTheErrorLog) {
    CRegKey Key;
    ASSERT_EQ(Key.Create(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(Key.SetStringValue(u"Damaged", u"variant:AQ"), ERROR_SUCCESS);  // one byte: no whole VARTYPE
    const char16_t multi[] = u"a\0b\0";
    ASSERT_EQ(RegSetValueExW(Key, u"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof(multi)),
              ERROR_SUCCESS);
    CComObjectT<CErrorLog>* pLog = nullptr;
    ASSERT_EQ(CComObjectT<CErrorLog>::CreateInstance(&pLog), S_OK);
    CComVariantArray Read;
    EXPECT_EQ(m_pBag->Read(u"Damaged", &Read, pLog), STG_E_READFAULT);
    EXPECT_EQ(m_pBag->Read(u"Multi", &Read, pLog), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(m_pBag->Read(u"Missing", &Read, pLog), E_INVALIDARG);
    ASSERT_EQ(pLog->m_Errors.size(), 2u);
    EXPECT_EQ(pLog->m_Errors[0], (std::pair<std::u16string, SCODE>(u"Damaged", STG_E_READFAULT)));
    EXPECT_EQ(pLog->m_Errors[1], (std::pair<std::u16string, SCODE>(u"Multi", DISP_E_TYPEMISMATCH)));
    pLog->Release();
}

TEST_F(PersistRegistryBag, BinaryValuesInTheCallersBuffer) {
    CRegKey Key;
    ASSERT_EQ(Key.Create(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    const BYTE data[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(_RegKeyHelper::SetBinaryValue(Key, u"Bin", data, sizeof(data)));
    DWORD cb = 0;
    ASSERT_TRUE(_RegKeyHelper::QueryBinaryValue(Key, u"Bin", nullptr, &cb));
    EXPECT_EQ(cb, 5u);
    BYTE small[2];
    cb = sizeof(small);
    EXPECT_FALSE(_RegKeyHelper::QueryBinaryValue(Key, u"Bin", small, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    BYTE buffer[8] = {};
    cb = sizeof(buffer);
    ASSERT_TRUE(_RegKeyHelper::QueryBinaryValue(Key, u"Bin", buffer, &cb));
    EXPECT_EQ(cb, 5u);
    EXPECT_EQ(std::memcmp(buffer, data, 5), 0);
    ASSERT_EQ(Key.SetDWORDValue(u"Number", 3), ERROR_SUCCESS);
    cb = sizeof(buffer);
    EXPECT_FALSE(_RegKeyHelper::QueryBinaryValue(Key, u"Number", buffer, &cb));
    EXPECT_EQ(GetLastError(), 1804u);
    cb = sizeof(buffer);
    EXPECT_FALSE(_RegKeyHelper::QueryBinaryValue(Key, u"Absent", buffer, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A key opened for reading only cannot take values.
    CRegKey ReadOnly;
    ASSERT_EQ(ReadOnly.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ), ERROR_SUCCESS);
    EXPECT_FALSE(_RegKeyHelper::SetBinaryValue(ReadOnly, u"Bin", data, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// An object stored in the registry: its class identifier and its own stream inside the "variant:" text,
// re-created through the class registered with the runtime.
const CLSID CLSID_Stored = MakeGuid("3D2C1B0A-5F4E-4D6C-8B7A-9F8E7D6C5B4A");

class CStored : public IDispatch, public IPersistStreamInit {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IDispatch>, InterfaceEntry<IPersistStreamInit>>;
    LONG m_nValue = 0;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    HRESULT GetClassID(CLSID* p) override {
        *p = CLSID_Stored;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream* pStm) override {
        std::uint32_t n = 0;
        const HRESULT hr = _PersistHelper::ReadUInt32(pStm, &n);
        m_nValue = static_cast<LONG>(n);
        return hr;
    }
    HRESULT Save(IStream* pStm, BOOL) override {
        return _PersistHelper::WriteUInt32(pStm, static_cast<std::uint32_t>(m_nValue));
    }
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT InitNew() override { return S_OK; }
};

TEST_F(PersistRegistryBag, ObjectsRoundTripThroughTheirClass) {
    CComPtr<IUnknown> pFactory;
    ASSERT_EQ(CClassFactory::Create(&CreateObjectT<CStored>, IidOf<IUnknown>(), reinterpret_cast<void**>(&pFactory)),
              S_OK);
    DWORD nCookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_Stored, pFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &nCookie), S_OK);
    CComObjectT<CStored>* pObject = nullptr;
    ASSERT_EQ(CComObjectT<CStored>::CreateInstance(&pObject), S_OK);
    pObject->m_nValue = 0x31415926;
    CComVariantArray v;
    v.vt = VT_DISPATCH;
    v.pdispVal = pObject;  // the variant takes the creation reference
    ASSERT_EQ(m_pBag->Write(u"Object", &v), S_OK);
    EXPECT_EQ(RawText(u"Object"), u"variant:" + Base64(Block(v)));
    CComVariantArray Read;
    ASSERT_EQ(m_pBag->Read(u"Object", &Read, nullptr), S_OK);
    ASSERT_EQ(Read.vt, VT_DISPATCH);
    ASSERT_NE(Read.pdispVal, nullptr);
    EXPECT_NE(Read.pdispVal, v.pdispVal);
    CComPtr<IPersistStreamInit> pPersist;
    ASSERT_EQ(Read.pdispVal->QueryInterface(&pPersist), S_OK);
    EXPECT_EQ(static_cast<CStored*>(pPersist.p)->m_nValue, 0x31415926);
    // Once the class is gone the value reads as no object.
    CoRevokeClassObject(nCookie);
    ASSERT_EQ(m_pBag->Read(u"Object", &Read, nullptr), S_OK);
    EXPECT_EQ(Read.vt, VT_DISPATCH);
    EXPECT_EQ(Read.pdispVal, nullptr);
}

}  // namespace
