// The event record and the contract it belongs to: defaults, strings, null pointers, late-bound access
// and the interfaces' slot orders as plug-ins built elsewhere see them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "ActivityEvent.h"
#include "HarkwellServer/Interfaces.h"
#include "ServerRegistration.h"
#include "TestEnvironment.h"
#include "comrt/comptr.h"
#include "comrt/oleauto.h"
#include "corvane/uldebug.h"

namespace {

// The vtable slot a pointer to a virtual member designates (Itanium C++ ABI: the offset into the vtable,
// plus one).
template <class F>
std::ptrdiff_t SlotOf(F pfn) {
    static_assert(sizeof pfn == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t raw[2];
    std::memcpy(raw, &pfn, sizeof raw);
    return (raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

constexpr std::ptrdiff_t kFirstOwnSlot = 7;  // IUnknown's three, IDispatch's four

std::u16string Text(BSTR s) {
    return std::u16string(s ? s : u"", SysStringLen(s));
}

CComPtr<IActivityEvent> NewEvent() {
    CComPtr<IActivityEvent> pEvent;
    EXPECT_EQ(S_OK, CreateObjectT<CActivityEvent>(IidOf<IActivityEvent>(), reinterpret_cast<void**>(&pEvent)));
    return pEvent;
}

HRESULT PutLateBound(IDispatch* pDispatch, DISPID dispid, VARIANT& value) {
    DISPID dispidNamed = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &dispidNamed, 1, 1};
    return pDispatch->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

std::string ReadLog() {
    std::ifstream file(corvane::GetTraceLogPath(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

TEST(Contract, SlotOrdersFollowTheContract) {
    EXPECT_EQ(kFirstOwnSlot + 0, SlotOf(&IActivityEvent::get_Level));
    EXPECT_EQ(kFirstOwnSlot + 1, SlotOf(&IActivityEvent::put_Level));
    EXPECT_EQ(kFirstOwnSlot + 2, SlotOf(&IActivityEvent::get_Tags));
    EXPECT_EQ(kFirstOwnSlot + 3, SlotOf(&IActivityEvent::put_Tags));
    EXPECT_EQ(kFirstOwnSlot + 4, SlotOf(&IActivityEvent::get_Subject));
    EXPECT_EQ(kFirstOwnSlot + 5, SlotOf(&IActivityEvent::put_Subject));
    EXPECT_EQ(kFirstOwnSlot + 6, SlotOf(&IActivityEvent::get_Body));
    EXPECT_EQ(kFirstOwnSlot + 7, SlotOf(&IActivityEvent::put_Body));
    EXPECT_EQ(kFirstOwnSlot + 0, SlotOf(&IActivity::get_Title));
    EXPECT_EQ(kFirstOwnSlot + 1, SlotOf(&IActivity::Start));
    EXPECT_EQ(kFirstOwnSlot + 2, SlotOf(&IActivity::Stop));
    EXPECT_EQ(kFirstOwnSlot + 0, SlotOf(&INotification::get_Title));
    EXPECT_EQ(kFirstOwnSlot + 1, SlotOf(&INotification::Handle));
    EXPECT_EQ(3, SlotOf(&IDispatch::GetTypeInfoCount));
    EXPECT_EQ(6, SlotOf(&IDispatch::Invoke));
}

TEST(Contract, DescriptionsMatchTheVtableAndTheIdentifiers) {
    // The description's slot numbers are what type information and the bus export report; they must
    // agree with the C++ declaration order checked above.
    const comrt::InterfaceDescription& d = comrt::DescriptionOf<IActivityEvent>();
    ASSERT_EQ(8u, d.nMembers);
    const char* names[] = {"Level", "Level", "Tags", "Tags", "Subject", "Subject", "Body", "Body"};
    for (unsigned i = 0; i < d.nMembers; ++i) {
        EXPECT_EQ(i + 1, d.pMembers[i].nSlot);
        EXPECT_STREQ(names[i], d.pMembers[i].szName);
        EXPECT_EQ(static_cast<DISPID>(i / 2 + 1), d.pMembers[i].dispid);
    }
    EXPECT_EQ(MakeGuid("{E44C1D06-BBCE-4A5A-8439-9415B6E72971}"), IidOf<IActivityEvent>());
    EXPECT_EQ(MakeGuid("{A67C3828-1EA7-49AB-B779-CA9B5957E2DF}"), IidOf<_ActivityEvents>());
    EXPECT_EQ(MakeGuid("{2C73ED82-FEF6-464D-AB77-93E846CD35C7}"), IidOf<IActivity>());
    EXPECT_EQ(MakeGuid("{FA253ADD-E963-47C5-B0E6-37808393EE24}"), IidOf<INotification>());
    EXPECT_EQ(DISPID_VALUE, comrt::DescriptionOf<IActivity>().pMembers[0].dispid);
    EXPECT_EQ(0, EVENTTYPE_INFORMATION);
    EXPECT_EQ(2, EVENTTYPE_ERROR);
}

TEST(ActivityEvent, NewRecordHoldsDefaults) {
    CComPtr<IActivityEvent> pEvent = NewEvent();
    ASSERT_TRUE(pEvent);
    LONG nLevel = -1;
    EXPECT_EQ(S_OK, pEvent->get_Level(&nLevel));
    EXPECT_EQ(0, nLevel);
    for (auto pfnGet : {&IActivityEvent::get_Tags, &IActivityEvent::get_Subject, &IActivityEvent::get_Body}) {
        BSTR s = nullptr;
        EXPECT_EQ(S_OK, ((*pEvent).*pfnGet)(&s));
        // An empty field comes back as an allocated empty string, not as a null BSTR.
        ASSERT_NE(nullptr, s);
        EXPECT_EQ(0u, SysStringLen(s));
        SysFreeString(s);
    }
}

TEST(ActivityEvent, StringsAreCopiedAndNullStoresEmpty) {
    CComPtr<IActivityEvent> pEvent = NewEvent();
    BSTR sSubject = SysAllocString(u"Host \"alpha\" is offline");
    ASSERT_EQ(S_OK, pEvent->put_Subject(sSubject));
    sSubject[0] = u'X';  // the record keeps its own copy
    SysFreeString(sSubject);
    BSTR sRead = nullptr;
    ASSERT_EQ(S_OK, pEvent->get_Subject(&sRead));
    EXPECT_EQ(u"Host \"alpha\" is offline", Text(sRead));
    SysFreeString(sRead);

    // Embedded NULs and line breaks survive.
    const char16_t szBody[] = u"line 1\r\n\tdetail\0tail";
    BSTR sBody = SysAllocStringLen(szBody, static_cast<UINT>(std::size(szBody) - 1));
    ASSERT_EQ(S_OK, pEvent->put_Body(sBody));
    BSTR sBodyRead = nullptr;
    ASSERT_EQ(S_OK, pEvent->get_Body(&sBodyRead));
    EXPECT_EQ(Text(sBody), Text(sBodyRead));
    SysFreeString(sBody);
    SysFreeString(sBodyRead);

    ASSERT_EQ(S_OK, pEvent->put_Subject(nullptr));
    ASSERT_EQ(S_OK, pEvent->get_Subject(&sRead));
    ASSERT_NE(nullptr, sRead);
    EXPECT_EQ(0u, SysStringLen(sRead));
    SysFreeString(sRead);

    ASSERT_EQ(S_OK, pEvent->put_Level(-7));
    LONG nLevel = 0;
    ASSERT_EQ(S_OK, pEvent->get_Level(&nLevel));
    EXPECT_EQ(-7, nLevel);  // no value is validated
}

TEST(ActivityEvent, NullOutPointersGiveEPointerAndATraceLine) {
    testing_support::CTemporaryDirectory logs;
    setenv("CORVANE_LOG_DIR", logs.Path().c_str(), 1);
    corvane::ResetTraceLog();
    CComPtr<IActivityEvent> pEvent = NewEvent();
    EXPECT_EQ(E_POINTER, pEvent->get_Level(nullptr));
    EXPECT_EQ(E_POINTER, pEvent->get_Tags(nullptr));
    EXPECT_EQ(E_POINTER, pEvent->get_Subject(nullptr));
    EXPECT_EQ(E_POINTER, pEvent->get_Body(nullptr));
    const std::string sLog = ReadLog();
    EXPECT_NE(std::string::npos, sLog.find("Exception 0x80004003")) << sLog;
    EXPECT_NE(std::string::npos, sLog.find("An exception 0x80004003 (")) << sLog;
    corvane::ResetTraceLog();
    unsetenv("CORVANE_LOG_DIR");
}

TEST(ActivityEvent, LateBoundLevelPutConvertsOrFailsWithTypeMismatch) {
    CComPtr<IActivityEvent> pEvent = NewEvent();
    CComQIPtr<IDispatch> pDispatch(pEvent.p);
    ASSERT_TRUE(pDispatch);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"5");
    EXPECT_EQ(S_OK, PutLateBound(pDispatch, 1, v));
    VariantClear(&v);
    LONG nLevel = 0;
    ASSERT_EQ(S_OK, pEvent->get_Level(&nLevel));
    EXPECT_EQ(5, nLevel);

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"x");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, PutLateBound(pDispatch, 1, v));
    VariantClear(&v);
    ASSERT_EQ(S_OK, pEvent->get_Level(&nLevel));
    EXPECT_EQ(5, nLevel);  // a failed put leaves the value alone

    // A number put into a string property is converted to its text.
    v.vt = VT_I4;
    v.lVal = 42;
    EXPECT_EQ(S_OK, PutLateBound(pDispatch, 2, v));
    BSTR sTags = nullptr;
    ASSERT_EQ(S_OK, pEvent->get_Tags(&sTags));
    EXPECT_EQ(u"42", Text(sTags));
    SysFreeString(sTags);
}

TEST(ActivityEvent, LateBoundGetAndNames) {
    CComPtr<IActivityEvent> pEvent = NewEvent();
    BSTR sSubject = SysAllocString(u"Subject text");
    pEvent->put_Subject(sSubject);
    SysFreeString(sSubject);
    CComQIPtr<IDispatch> pDispatch(pEvent.p);

    OLECHAR szName[] = u"sUbJeCt";
    LPOLESTR names[] = {szName};
    DISPID dispid = 0;
    ASSERT_EQ(S_OK, pDispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid));
    EXPECT_EQ(3, dispid);
    OLECHAR szUnknown[] = u"Severity";
    LPOLESTR unknownNames[] = {szUnknown};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, pDispatch->GetIDsOfNames(IID_NULL, unknownNames, 1, 0, &dispid));

    DISPPARAMS noArgs{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, pDispatch->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYGET, &noArgs, &result, nullptr, nullptr));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(u"Subject text", Text(result.bstrVal));
    VariantClear(&result);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              pDispatch->Invoke(99, IID_NULL, 0, DISPATCH_PROPERTYGET, &noArgs, &result, nullptr, nullptr));

    CComPtr<ITypeInfo> pTypeInfo;
    ASSERT_EQ(S_OK, pDispatch->GetTypeInfo(0, 0, &pTypeInfo));
    CComPtr<ITypeInfo> pNone;
    EXPECT_EQ(DISP_E_BADINDEX, pDispatch->GetTypeInfo(1, 0, &pNone));
    EXPECT_FALSE(pNone);
}

TEST(ActivityEvent, AnswersErrorInfoSupportForItsInterfaceOnly) {
    CComPtr<IActivityEvent> pEvent = NewEvent();
    CComQIPtr<ISupportErrorInfo> pSupport(pEvent.p);
    ASSERT_TRUE(pSupport);
    EXPECT_EQ(S_OK, pSupport->InterfaceSupportsErrorInfo(IidOf<IActivityEvent>()));
    EXPECT_EQ(S_FALSE, pSupport->InterfaceSupportsErrorInfo(IidOf<IDispatch>()));
    CComQIPtr<IActivity> pNotAnActivity(pEvent.p);
    EXPECT_FALSE(pNotAnActivity);
    // One identity whichever interface is asked.
    CComPtr<IUnknown> pUnknown1, pUnknown2;
    ASSERT_EQ(S_OK, pEvent->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pUnknown1)));
    ASSERT_EQ(S_OK, pSupport->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pUnknown2)));
    EXPECT_EQ(pUnknown1.p, pUnknown2.p);
}

TEST(ActivityEvent, ConcurrentReadersAndWritersSeeWholeValues) {
    CComPtr<IActivityEvent> pEvent = NewEvent();
    const std::u16string sA(200, u'a'), sB(300, u'b');
    std::atomic<bool> bTorn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            BSTR s = SysAllocString(t == 0 ? sA.c_str() : sB.c_str());
            for (int i = 0; i < 2000; ++i) pEvent->put_Body(s);
            SysFreeString(s);
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
            BSTR s = nullptr;
            pEvent->get_Body(&s);
            const std::u16string sRead = Text(s);
            if (!sRead.empty() && sRead != sA && sRead != sB) bTorn = true;
            SysFreeString(s);
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_FALSE(bTorn);
}

TEST(ActivityEvent, IsCreatedByClassIdentifierThroughTheServersClassObject) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CComPtr<IUnknown> pFactory;
    ASSERT_EQ(S_OK, ServerClassTable().GetClassObject(CLSID_CActivityEvent, IidOf<IUnknown>(),
                                                      reinterpret_cast<void**>(&pFactory)));
    DWORD nCookie = 0;
    ASSERT_EQ(S_OK,
              CoRegisterClassObject(CLSID_CActivityEvent, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &nCookie));
    CComPtr<IActivityEvent> pEvent;
    EXPECT_EQ(S_OK, pEvent.CoCreateInstance(CLSID_CActivityEvent, nullptr, CLSCTX_ALL));
    EXPECT_TRUE(pEvent);
    pEvent.Release();
    EXPECT_EQ(S_OK, CoRevokeClassObject(nCookie));
    CoUninitialize();
}
