// GUID text, new GUIDs and the 16-byte stored form of class identifiers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "comrt/registry.h"
#include "comrt/runtime.h"

namespace {

constexpr GUID kSample = MakeGuid("{2050a88a-ccdc-4c35-90f2-3f04af942ead}");
constexpr char16_t kSampleText[] = u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}";

std::u16string TextOf(REFGUID guid) {
    OLECHAR sz[39];
    EXPECT_EQ(StringFromGUID2(guid, sz, 39), 39);
    return sz;
}

TEST(GuidText, IsTheUpperCaseBraceForm) {
    EXPECT_EQ(TextOf(kSample), kSampleText);
    EXPECT_EQ(TextOf(GUID_NULL), u"{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(TextOf(MakeGuid("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF")), u"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
}

TEST(GuidText, TooSmallBufferGivesZeroAndIsNotWritten) {
    OLECHAR sz[39];
    std::fill(std::begin(sz), std::end(sz), u'#');
    EXPECT_EQ(StringFromGUID2(kSample, sz, 38), 0);
    EXPECT_EQ(sz[0], u'#');
    EXPECT_EQ(StringFromGUID2(kSample, sz, 0), 0);
    EXPECT_EQ(StringFromGUID2(kSample, sz, -1), 0);
    EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
}

TEST(GuidText, ParsesEitherCaseBackToTheSameGuid) {
    for (const char16_t* psz : {u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}", u"{2050a88a-ccdc-4c35-90f2-3f04af942ead}",
                                u"{2050a88A-cCdC-4c35-90F2-3f04Af942eAd}"}) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromString(psz, &clsid), S_OK);
        EXPECT_EQ(clsid, kSample);
        IID iid{};
        ASSERT_EQ(IIDFromString(psz, &iid), S_OK);
        EXPECT_EQ(iid, kSample);
    }
    for (const GUID& g : {GUID_NULL, kSample, IUnknown::kIid, IDispatch::kIid}) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromString(TextOf(g).c_str(), &clsid), S_OK);
        EXPECT_EQ(clsid, g);
    }
}

TEST(GuidText, MalformedBraceTextIsAClassStringError) {
    const char16_t* kMalformed[] = {
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EA}",        // one digit short
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EADD}",      // one digit too many
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD",        // no closing brace
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD)",       // wrong closing brace
        u"{2050A88-ACCDC-4C35-90F2-3F04AF942EAD}",       // dash one place early
        u"{2050A88ACCCDC-4C35-90F2-3F04AF942EAD}",       // hex digit where the dash belongs
        u"{2050A88A-CCDC-4C3590F2-3F04AF942EAD0}",       // dash missing in the middle
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EA-}",       // dash among the last digits
        u"{2050A88G-CCDC-4C35-90F2-3F04AF942EAD}",       // not hexadecimal
        u"{ 050A88A-CCDC-4C35-90F2-3F04AF942EAD}",       // blank
        u"{+050A88A-CCDC-4C35-90F2-3F04AF942EAD}",       // sign
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}x",      // trailing garbage
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD} ",      // trailing blank
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}}",      // doubled brace
        u"{{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}",      // doubled brace
        u"{0x050A88-CCDC-4C35-90F2-3F04AF942EAD}",       // hex prefix
        u"{2050A88A-CCDC-4C35-90F2-3F04AF942E\uff21D}",  // a letter that only looks like one
        u"{}",
        u"{",
    };
    for (const char16_t* psz : kMalformed) {
        CLSID clsid = kSample;
        EXPECT_EQ(CLSIDFromString(psz, &clsid), CO_E_CLASSSTRING)
            << std::string(psz, psz + std::char_traits<char16_t>::length(psz));
        EXPECT_EQ(clsid, GUID_NULL);  // a failure leaves no half-parsed value behind
        IID iid = kSample;
        EXPECT_EQ(IIDFromString(psz, &iid), CO_E_IIDSTRING);
        EXPECT_EQ(iid, GUID_NULL);
    }
    // An embedded NUL ends the text early.
    const char16_t szCut[] = u"{2050A88A-CCDC-4C35\0-90F2-3F04AF942EAD}";
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(szCut, &clsid), CO_E_CLASSSTRING);
}

TEST(GuidText, NullArgumentsAreRefused) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(kSampleText, nullptr), E_INVALIDARG);
    EXPECT_EQ(IIDFromString(nullptr, &clsid), CO_E_IIDSTRING);
    EXPECT_EQ(IIDFromString(kSampleText, nullptr), E_INVALIDARG);
    EXPECT_EQ(StringFromCLSID(kSample, nullptr), E_INVALIDARG);
}

TEST(GuidText, InterfaceTextHasNoProgIdForm) {
    IID iid = kSample;
    EXPECT_EQ(IIDFromString(u"2050A88A-CCDC-4C35-90F2-3F04AF942EAD", &iid), CO_E_IIDSTRING);
    EXPECT_EQ(IIDFromString(u"Corvane.Harkwell", &iid), CO_E_IIDSTRING);
    EXPECT_EQ(iid, GUID_NULL);
}

TEST(GuidText, StringFromClsidAllocatesTaskMemory) {
    LPOLESTR psz = nullptr;
    ASSERT_EQ(StringFromCLSID(kSample, &psz), S_OK);
    ASSERT_NE(psz, nullptr);
    EXPECT_EQ(std::u16string(psz), kSampleText);
    CoTaskMemFree(psz);
}

// Text without braces names a class by its ProgID, looked up in a registry of the test's own.
class ProgIdText : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char szTemplate[] = "/tmp/guid_test.XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        s_Dir = szTemplate;
        setenv("CORVANE_REGISTRY_DIR", szTemplate, 1);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        std::filesystem::remove_all(s_Dir, ec);
    }
    static inline std::string s_Dir;
};

TEST_F(ProgIdText, UnknownProgIdIsAClassStringError) {
    for (const char16_t* psz : {u"Corvane.NoSuchClass", u"", u"2050A88A-CCDC-4C35-90F2-3F04AF942EAD",
                                u"2050A88A-CCDC-4C35-90F2-3F04AF942EAD}", u" {2050A88A-CCDC-4C35-90F2-3F04AF942EAD}"}) {
        CLSID clsid = kSample;
        EXPECT_EQ(CLSIDFromString(psz, &clsid), CO_E_CLASSSTRING);
        EXPECT_EQ(clsid, GUID_NULL);
    }
}

TEST_F(ProgIdText, RegisteredProgIdGivesItsClass) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Corvane.GuidTest\\CLSID", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(hKey, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSampleText), sizeof(kSampleText)),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(u"Corvane.GuidTest", &clsid), S_OK);
    EXPECT_EQ(clsid, kSample);
}

TEST(CoCreateGuid, GivesDistinctRandomVersionFourGuids) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 64; ++i) {
        GUID g{};
        ASSERT_EQ(CoCreateGuid(&g), S_OK);
        EXPECT_EQ(g.Data3 >> 12, 4);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        EXPECT_TRUE(seen.insert(TextOf(g)).second);
    }
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

// ---------------------------------------------------------------------------------------------------------
// WriteClassStm / ReadClassStm

// A stream over a byte vector. It can hand out at most nMaxChunk bytes per read, accept at most nCapacity
// bytes in all, or fail every call with hrFail.
class CMemoryStream final : public IStream {
public:
    std::vector<BYTE> bytes;
    std::size_t nPosition = 0;
    ULONG nMaxChunk = 0xFFFFFFFF;
    std::size_t nCapacity = SIZE_MAX;
    HRESULT hrFail = S_OK;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IUnknown::kIid || riid == ISequentialStream::kIid || riid == IStream::kIid) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (FAILED(hrFail)) return hrFail;
        const std::size_t n = std::min<std::size_t>({cb, nMaxChunk, bytes.size() - nPosition});
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(nPosition), n, static_cast<BYTE*>(pv));
        nPosition += n;
        if (pcbRead) *pcbRead = static_cast<ULONG>(n);
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (FAILED(hrFail)) return hrFail;
        const std::size_t n = std::min<std::size_t>(cb, nCapacity - bytes.size());
        const auto* pb = static_cast<const BYTE*>(pv);
        bytes.insert(bytes.end(), pb, pb + n);
        if (pcbWritten) *pcbWritten = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
};

constexpr GUID kOrdered = MakeGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}");

TEST(ClassStream, WritesSixteenLittleEndianBytes) {
    CMemoryStream stream;
    ASSERT_EQ(WriteClassStm(&stream, kOrdered), S_OK);
    const std::vector<BYTE> expected = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(stream.bytes, expected);
}

TEST(ClassStream, ReadsBackWhatWasWritten) {
    CMemoryStream stream;
    ASSERT_EQ(WriteClassStm(&stream, kSample), S_OK);
    ASSERT_EQ(WriteClassStm(&stream, kOrdered), S_OK);
    CLSID clsid{};
    ASSERT_EQ(ReadClassStm(&stream, &clsid), S_OK);
    EXPECT_EQ(clsid, kSample);
    ASSERT_EQ(ReadClassStm(&stream, &clsid), S_OK);
    EXPECT_EQ(clsid, kOrdered);
    EXPECT_EQ(stream.nPosition, 32u);
}

TEST(ClassStream, ReadCollectsBytesFromShortReads) {
    CMemoryStream stream;
    ASSERT_EQ(WriteClassStm(&stream, kOrdered), S_OK);
    stream.nMaxChunk = 5;
    CLSID clsid{};
    ASSERT_EQ(ReadClassStm(&stream, &clsid), S_OK);
    EXPECT_EQ(clsid, kOrdered);
}

TEST(ClassStream, FewerThanSixteenBytesIsAReadFault) {
    for (std::size_t cb : {0u, 1u, 15u}) {
        CMemoryStream stream;
        stream.bytes.assign(cb, 0xAB);
        CLSID clsid = kSample;
        EXPECT_EQ(ReadClassStm(&stream, &clsid), STG_E_READFAULT) << cb;
        EXPECT_EQ(clsid, GUID_NULL);
    }
}

TEST(ClassStream, StreamFailuresAreReported) {
    CMemoryStream failing;
    failing.hrFail = STG_E_ACCESSDENIED;
    CLSID clsid{};
    EXPECT_EQ(ReadClassStm(&failing, &clsid), STG_E_ACCESSDENIED);
    EXPECT_EQ(WriteClassStm(&failing, kSample), STG_E_ACCESSDENIED);

    CMemoryStream full;
    full.nCapacity = 10;
    EXPECT_EQ(WriteClassStm(&full, kSample), STG_E_MEDIUMFULL);
}

TEST(ClassStream, NullArgumentsAreRefused) {
    CMemoryStream stream;
    CLSID clsid{};
    EXPECT_EQ(WriteClassStm(nullptr, kSample), E_INVALIDARG);
    EXPECT_EQ(ReadClassStm(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(ReadClassStm(&stream, nullptr), E_INVALIDARG);
}

TEST(TaskMemory, AllocatesReallocatesAndFrees) {
    auto* p = static_cast<char*>(CoTaskMemAlloc(8));
    ASSERT_NE(p, nullptr);
    std::fill_n(p, 8, 'x');
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::count(p, p + 8, 'x'), 8);
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees the block
    void* pZero = CoTaskMemAlloc(0);
    EXPECT_NE(pZero, nullptr);
    CoTaskMemFree(pZero);
    void* pFresh = CoTaskMemRealloc(nullptr, 16);
    EXPECT_NE(pFresh, nullptr);
    CoTaskMemFree(pFresh);
    CoTaskMemFree(nullptr);
}

}  // namespace
