// BSTR, VARIANT copying and clearing, and SAFEARRAY. Reference counts are watched through a counting object,
// and the sanitizer build's leak checker watches every BSTR these tests allocate.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "OleAutoTestSupport.h"

namespace {

using namespace oleauto_test;

// ---------------------------------------------------------------------------------------------------------
// BSTR

TEST(Bstr, LengthPrefixCountsBytesAndTextIsNulTerminated) {
    BSTR b = SysAllocString(u"Harkwell");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 8u);
    EXPECT_EQ(SysStringByteLen(b), 16u);
    std::uint32_t nPrefix = 0;
    std::memcpy(&nPrefix, reinterpret_cast<const char*>(b) - 4, 4);
    EXPECT_EQ(nPrefix, 16u);
    EXPECT_EQ(b[8], u'\0');
    EXPECT_EQ(std::u16string(b), u"Harkwell");
    SysFreeString(b);
}

TEST(Bstr, EmbeddedNulsSurviveAllocationAndCopy) {
    const std::u16string_view text(u"a\0b\0\0c", 6);
    BSTR b = SysAllocStringLen(text.data(), 6);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 6u);
    EXPECT_EQ(View(b), text);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = b;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_NE(copy.bstrVal, b);
    EXPECT_EQ(View(copy.bstrVal), text);
    VariantClear(&copy);
    VariantClear(&v);
}

TEST(Bstr, OddByteLengthKeepsItsBytesAndEndsWithNuls) {
    BSTR b = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    const auto* pb = reinterpret_cast<const unsigned char*>(b);
    EXPECT_EQ(std::memcmp(pb, "abc", 3), 0);
    EXPECT_EQ(pb[3], 0);  // a byte string reads as NUL-terminated too
    EXPECT_EQ(b[2], u'\0');
    SysFreeString(b);
}

TEST(Bstr, WithoutSourceTheCharactersAreZero) {
    BSTR b = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 4u);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(b[i], u'\0');
    SysFreeString(b);
    BSTR bBytes = SysAllocStringByteLen(nullptr, 5);
    ASSERT_NE(bBytes, nullptr);
    EXPECT_EQ(SysStringByteLen(bBytes), 5u);
    SysFreeString(bBytes);
}

TEST(Bstr, NullIsTheEmptyString) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR bEmpty = SysAllocString(u"");
    ASSERT_NE(bEmpty, nullptr);
    EXPECT_EQ(SysStringLen(bEmpty), 0u);
    SysFreeString(bEmpty);
}

TEST(Bstr, LengthsBeyondThePrefixAreRefused) {
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReAllocReplacesAndMayReadFromTheOldString) {
    BSTR b = SysAllocString(u"notification");
    ASSERT_TRUE(SysReAllocString(&b, b + 7));  // the tail of itself
    EXPECT_EQ(View(b), u"ation");
    ASSERT_TRUE(SysReAllocString(&b, u"server"));
    EXPECT_EQ(View(b), u"server");
    ASSERT_TRUE(SysReAllocString(&b, nullptr));
    EXPECT_EQ(b, nullptr);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

TEST(Bstr, ReAllocLenWithoutTextKeepsWhatFits) {
    BSTR b = SysAllocString(u"abcdef");
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 3));
    EXPECT_EQ(View(b), u"abc");
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 5));
    EXPECT_EQ(View(b), std::u16string_view(u"abc\0\0", 5));
    ASSERT_TRUE(SysReAllocStringLen(&b, b + 1, 2));
    EXPECT_EQ(View(b), u"bc");
    EXPECT_FALSE(SysReAllocStringLen(nullptr, u"x", 1));
    SysFreeString(b);
}

// ---------------------------------------------------------------------------------------------------------
// VARIANT copy and clear

TEST(Variant, InitGivesEmpty) {
    VARIANT v;
    std::memset(&v, 0xCD, sizeof(v));
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    VariantInit(nullptr);
}

TEST(Variant, CopyAndClearBalanceInterfaceReferences) {
    CCountingObject obj;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = &obj;
    obj.AddRef();  // the variant's reference

    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(copy.punkVal, &obj);
    EXPECT_EQ(obj.Refs(), 3u);

    // Copying over a destination that holds the object releases the old reference first.
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(obj.Refs(), 3u);

    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(obj.Refs(), 1u);
}

TEST(Variant, CopyOntoItselfChangesNothing) {
    VARIANT v = MakeText(u"same");
    BSTR b = v.bstrVal;
    EXPECT_EQ(VariantCopy(&v, &v), S_OK);
    EXPECT_EQ(v.bstrVal, b);
    VariantClear(&v);
}

TEST(Variant, CopyKeepsReferencesAsReferences) {
    LONG n = 5;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &n;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_BYREF | VT_I4);
    EXPECT_EQ(copy.plVal, &n);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(n, 5);
}

TEST(Variant, CopyIndFollowsReferences) {
    BSTR b = SysAllocString(u"by reference");
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &b;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopyInd(&copy, &ref), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, b);
    EXPECT_EQ(View(copy.bstrVal), u"by reference");
    VariantClear(&copy);

    CCountingObject obj;
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_DISPATCH;
    inner.pdispVal = &obj;
    VARIANT refVariant;
    VariantInit(&refVariant);
    refVariant.vt = VT_BYREF | VT_VARIANT;
    refVariant.pvarVal = &inner;
    ASSERT_EQ(VariantCopyInd(&copy, &refVariant), S_OK);
    EXPECT_EQ(copy.vt, VT_DISPATCH);
    EXPECT_EQ(obj.Refs(), 2u);
    VariantClear(&copy);
    EXPECT_EQ(obj.Refs(), 1u);

    // In place: the reference is replaced by its value.
    ASSERT_EQ(VariantCopyInd(&ref, &ref), S_OK);
    EXPECT_EQ(ref.vt, VT_BSTR);
    EXPECT_EQ(View(ref.bstrVal), u"by reference");
    VariantClear(&ref);
    SysFreeString(b);
}

TEST(Variant, CopyIndRefusesBrokenReferences) {
    VARIANT dest = MakeI4(9);
    VARIANT nullRef;
    VariantInit(&nullRef);
    nullRef.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(VariantCopyInd(&dest, &nullRef), E_INVALIDARG);

    LONG n = 1;
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_BYREF | VT_I4;
    inner.plVal = &n;
    VARIANT outer;
    VariantInit(&outer);
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &inner;
    EXPECT_EQ(VariantCopyInd(&dest, &outer), E_INVALIDARG);
    EXPECT_EQ(dest.vt, VT_I4);
    EXPECT_EQ(dest.lVal, 9);
}

TEST(Variant, UnknownTypesAreRefusedAndLeftAlone) {
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 15;  // not a type
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(bad.vt, 15);
    VARIANT dest = MakeI4(3);
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(dest.vt, VT_I4);
    bad.vt = VT_VECTOR | VT_I4;
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
    bad.vt = VT_BYREF | VT_EMPTY;
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
    bad.vt = VT_VARIANT;  // only by reference or in arrays
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
}

TEST(Variant, NullPointersAreInvalidArguments) {
    VARIANT v = MakeI4(1);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(&v, nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopyInd(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(VariantCopyInd(&v, nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(nullptr, &v, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&v, nullptr, 0, VT_I4), E_INVALIDARG);
}

TEST(Variant, ArraysAreCopiedDeeplyAndDestroyedByClear) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(psa, nullptr);
    LONG nIndex = 1;
    BSTR b = SysAllocString(u"element");
    ASSERT_EQ(SafeArrayPutElement(psa, &nIndex, b), S_OK);
    SysFreeString(b);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = psa;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    ASSERT_NE(copy.parray, psa);
    BSTR bOut = nullptr;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &nIndex, &bOut), S_OK);
    EXPECT_EQ(View(bOut), u"element");
    SysFreeString(bOut);

    // A locked array cannot go away with its variant.
    ASSERT_EQ(SafeArrayLock(copy.parray), S_OK);
    EXPECT_EQ(VariantClear(&copy), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(copy.vt, VT_ARRAY | VT_BSTR);
    ASSERT_EQ(SafeArrayUnlock(copy.parray), S_OK);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

// ---------------------------------------------------------------------------------------------------------
// SAFEARRAY

TEST(SafeArray, BoundsAndDescription) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 5, 3);
    ASSERT_NE(psa, nullptr);
    LONG nLower = 0, nUpper = 0;
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, &nLower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(psa, 1, &nUpper), S_OK);
    EXPECT_EQ(nLower, 5);
    EXPECT_EQ(nUpper, 7);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &nLower), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 2, &nUpper), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(psa, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &nLower), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetVartype(psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
    EXPECT_EQ(SafeArrayGetElemsize(nullptr), 0u);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    SAFEARRAY* psaEmpty = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    ASSERT_NE(psaEmpty, nullptr);
    EXPECT_EQ(SafeArrayGetUBound(psaEmpty, 1, &nUpper), S_OK);
    EXPECT_EQ(nUpper, -1);
    EXPECT_EQ(SafeArrayGetElemsize(psaEmpty), sizeof(VARIANT));
    EXPECT_EQ(SafeArrayDestroy(psaEmpty), S_OK);
}

TEST(SafeArray, CreationRefusesWhatCannotBeDescribed) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 2, bounds), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, bounds), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(15, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_I4, 2147483647, 2), nullptr);  // the upper bound would not be a LONG
    EXPECT_EQ(SafeArrayCreateVector(VT_I4, -2147483647 - 1, 0), nullptr);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, IndexesOutsideTheBoundsAreBadIndexes) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I2, -1, 3);
    ASSERT_NE(psa, nullptr);
    for (LONG i = -1; i <= 1; ++i) {
        SHORT n = static_cast<SHORT>(i * 10);
        ASSERT_EQ(SafeArrayPutElement(psa, &i, &n), S_OK);
    }
    for (LONG i = -1; i <= 1; ++i) {
        SHORT n = 0;
        ASSERT_EQ(SafeArrayGetElement(psa, &i, &n), S_OK);
        EXPECT_EQ(n, i * 10);
    }
    SHORT n = 0;
    for (LONG i : {-2L, 2L, -2147483647L - 1, 2147483647L}) {
        EXPECT_EQ(SafeArrayGetElement(psa, &i, &n), DISP_E_BADINDEX) << i;
        EXPECT_EQ(SafeArrayPutElement(psa, &i, &n), DISP_E_BADINDEX) << i;
    }
    LONG nIndex = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, nullptr, &n), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(psa, &nIndex, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(psa, &nIndex, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(nullptr, &nIndex, &n), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, BstrElementsAreCopiedBothWays) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(psa, nullptr);
    LONG nIndex = 0;
    BSTR b = SysAllocStringLen(u"x\0y", 3);
    ASSERT_EQ(SafeArrayPutElement(psa, &nIndex, b), S_OK);  // pv is the BSTR itself
    SysFreeString(b);                                       // the array keeps its own copy

    BSTR bOut = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &nIndex, &bOut), S_OK);
    EXPECT_EQ(View(bOut), std::u16string_view(u"x\0y", 3));
    BSTR* pData = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&pData)), S_OK);
    EXPECT_NE(pData[0], bOut);
    EXPECT_EQ(pData[1], nullptr);
    ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
    SysFreeString(bOut);

    // Replacing an element frees the old text; a null BSTR is a value too.
    BSTR bNew = SysAllocString(u"new");
    ASSERT_EQ(SafeArrayPutElement(psa, &nIndex, bNew), S_OK);
    SysFreeString(bNew);
    ASSERT_EQ(SafeArrayPutElement(psa, &nIndex, nullptr), S_OK);
    ASSERT_EQ(SafeArrayGetElement(psa, &nIndex, &bOut), S_OK);
    EXPECT_EQ(bOut, nullptr);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, InterfaceElementsHoldReferences) {
    CCountingObject obj;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 1, 2);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetElemsize(psa), sizeof(IUnknown*));
    LONG i1 = 1, i2 = 2;
    ASSERT_EQ(SafeArrayPutElement(psa, &i1, static_cast<IUnknown*>(&obj)), S_OK);
    ASSERT_EQ(SafeArrayPutElement(psa, &i2, static_cast<IUnknown*>(&obj)), S_OK);
    EXPECT_EQ(obj.Refs(), 3u);
    IUnknown* pOut = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &i1, &pOut), S_OK);
    EXPECT_EQ(pOut, &obj);
    EXPECT_EQ(obj.Refs(), 4u);
    pOut->Release();
    ASSERT_EQ(SafeArrayPutElement(psa, &i2, nullptr), S_OK);
    EXPECT_EQ(obj.Refs(), 2u);

    SAFEARRAY* psaCopy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &psaCopy), S_OK);
    EXPECT_EQ(obj.Refs(), 3u);
    EXPECT_EQ(SafeArrayDestroy(psaCopy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(obj.Refs(), 1u);
}

TEST(SafeArray, VariantElementsAreVariantCopies) {
    CCountingObject obj;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    ASSERT_NE(psa, nullptr);
    LONG i0 = 0, i1 = 1;
    VARIANT text = MakeText(u"value");
    ASSERT_EQ(SafeArrayPutElement(psa, &i0, &text), S_OK);
    VariantClear(&text);
    VARIANT object;
    VariantInit(&object);
    object.vt = VT_DISPATCH;
    object.pdispVal = &obj;
    ASSERT_EQ(SafeArrayPutElement(psa, &i1, &object), S_OK);
    EXPECT_EQ(obj.Refs(), 2u);

    VARIANT out;
    std::memset(&out, 0xCD, sizeof(out));  // GetElement treats the destination as uninitialised
    ASSERT_EQ(SafeArrayGetElement(psa, &i0, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(View(out.bstrVal), u"value");
    VariantClear(&out);
    ASSERT_EQ(SafeArrayGetElement(psa, &i1, &out), S_OK);
    EXPECT_EQ(obj.Refs(), 3u);
    VariantClear(&out);

    SAFEARRAY* psaCopy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &psaCopy), S_OK);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(psaCopy, &vt), S_OK);
    EXPECT_EQ(vt, VT_VARIANT);
    ASSERT_EQ(SafeArrayGetElement(psaCopy, &i0, &out), S_OK);
    EXPECT_EQ(View(out.bstrVal), u"value");
    VariantClear(&out);
    EXPECT_EQ(obj.Refs(), 3u);
    EXPECT_EQ(SafeArrayDestroy(psaCopy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(obj.Refs(), 1u);
}

TEST(SafeArray, CopyOfNothingIsNothing) {
    SAFEARRAY* psaOut = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(SafeArrayCopy(nullptr, &psaOut), S_OK);
    EXPECT_EQ(psaOut, nullptr);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_R8, 0, 1);
    EXPECT_EQ(SafeArrayCopy(psa, nullptr), E_INVALIDARG);
    SafeArrayDestroy(psa);
}

TEST(SafeArray, LocksProtectAgainstDestructionAndResizing) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
    ASSERT_NE(psa, nullptr);
    void* pv = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &pv), S_OK);
    EXPECT_EQ(pv, psa->pvData);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    SAFEARRAYBOUND bound{8, 0};
    EXPECT_EQ(SafeArrayRedim(psa, &bound), DISP_E_ARRAYISLOCKED);
    // Elements can still be read and written while the array is locked.
    LONG nIndex = 3;
    BYTE b = 9;
    EXPECT_EQ(SafeArrayPutElement(psa, &nIndex, &b), S_OK);
    EXPECT_EQ(static_cast<BYTE*>(pv)[3], 9);
    EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, DescriptorsClaimingMoreDimensionsAreRefused) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_NE(psa, nullptr);
    psa->cDims = 2;  // as if read from damaged data
    LONG nIndex = 0;
    LONG n = 0;
    LONG nBound = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, &nIndex, &n), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(psa, &nIndex, &n), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetLBound(psa, 2, &nBound), E_INVALIDARG);
    SAFEARRAY* psaCopy = nullptr;
    EXPECT_EQ(SafeArrayCopy(psa, &psaCopy), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), E_INVALIDARG);
    psa->cDims = 1;
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, RedimKeepsElementsAndReleasesDroppedOnes) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
    ASSERT_NE(psa, nullptr);
    for (LONG i = 0; i < 3; ++i) {
        BSTR b = SysAllocString(i == 0 ? u"zero" : u"dropped");
        ASSERT_EQ(SafeArrayPutElement(psa, &i, b), S_OK);
        SysFreeString(b);
    }
    SAFEARRAYBOUND smaller{1, 0};
    ASSERT_EQ(SafeArrayRedim(psa, &smaller), S_OK);  // the dropped texts are freed, or the leak checker says so
    SAFEARRAYBOUND larger{4, 10};
    ASSERT_EQ(SafeArrayRedim(psa, &larger), S_OK);
    LONG nUpper = 0;
    ASSERT_EQ(SafeArrayGetUBound(psa, 1, &nUpper), S_OK);
    EXPECT_EQ(nUpper, 13);
    LONG nIndex = 10;
    BSTR bOut = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &nIndex, &bOut), S_OK);
    EXPECT_EQ(View(bOut), u"zero");
    SysFreeString(bOut);
    nIndex = 13;
    ASSERT_EQ(SafeArrayGetElement(psa, &nIndex, &bOut), S_OK);
    EXPECT_EQ(bOut, nullptr);
    SAFEARRAYBOUND none{0, 0};
    ASSERT_EQ(SafeArrayRedim(psa, &none), S_OK);
    EXPECT_EQ(SafeArrayRedim(psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

}  // namespace
