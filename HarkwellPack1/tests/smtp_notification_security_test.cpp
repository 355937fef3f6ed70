// The security settings of the e-mail notification: their interface, rules and defaults, and how they
// persist beside the settings stored before they existed.
#include <gtest/gtest.h>

#include <string>

#include "SmtpNotification.h"
#include "SmtpNotificationStreams.h"
#include "comrt/dispatch.h"
#include "comrt/oleauto.h"
#include "comrt/text.h"
#include "corvane/ulmemorystream.h"

namespace {

CComPtr<IStream> StreamOf(const std::string& sBytes) {
    CMemoryStreamObject* pStream = nullptr;
    EXPECT_EQ(CMemoryStreamObject::CreateInstance(&pStream), S_OK);
    CComPtr<IStream> pResult(static_cast<IStream*>(pStream));
    pStream->Release();
    ULONG nWritten = 0;
    EXPECT_EQ(pResult->Write(sBytes.data(), static_cast<ULONG>(sBytes.size()), &nWritten), S_OK);
    LARGE_INTEGER Zero{};
    EXPECT_EQ(pResult->Seek(Zero, STREAM_SEEK_SET, nullptr), S_OK);
    return pResult;
}

std::string BytesOf(IStream* pStream) {
    auto* pMemory = static_cast<CMemoryStream*>(pStream);
    return std::string(reinterpret_cast<const char*>(pMemory->GetData()), pMemory->GetSize());
}

class CObject {
public:
    CObject() { EXPECT_EQ(CComObjectT<CSmtpNotification>::CreateInstance(&m_p), S_OK); }
    ~CObject() { m_p->Release(); }
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
    CComObjectT<CSmtpNotification>* operator->() const { return m_p; }
    ISmtpNotificationSecurity* Security() const { return m_p; }

    LONG GetSecurity() const {
        LONG n = -7;
        EXPECT_EQ(m_p->get_Security(&n), S_OK);
        return n;
    }
    bool GetVerify() const {
        auto b = static_cast<VARIANT_BOOL>(7);
        EXPECT_EQ(m_p->get_VerifyServerCertificate(&b), S_OK);
        EXPECT_TRUE(b == VARIANT_TRUE || b == VARIANT_FALSE);
        return b != VARIANT_FALSE;
    }
    std::u16string GetText(HRESULT (CSmtpNotification::*pGet)(BSTR*)) const {
        BSTR s = nullptr;
        EXPECT_EQ((m_p->*pGet)(&s), S_OK);
        std::u16string sText = s ? std::u16string(s, SysStringLen(s)) : std::u16string();
        SysFreeString(s);
        return sText;
    }
    bool IsDirty() const { return static_cast<IPersistStreamInit*>(m_p)->IsDirty() == S_OK; }
    HRESULT Load(IStream* pStream) const { return static_cast<IPersistStreamInit*>(m_p)->Load(pStream); }
    CComPtr<IStream> Save() const {
        CComPtr<IStream> pStream = StreamOf("");
        EXPECT_EQ(static_cast<IPersistStreamInit*>(m_p)->Save(pStream, TRUE), S_OK);
        return pStream;
    }

private:
    CComObjectT<CSmtpNotification>* m_p = nullptr;
};

TEST(SmtpNotificationSecurity, NewObjectsUseStartTlsWhenOfferedAndCheckTheCertificate) {
    CObject p;
    EXPECT_EQ(p.GetSecurity(), SMTPSECURITY_STARTTLS);
    EXPECT_TRUE(p.GetVerify());
    EXPECT_EQ(p->get_Security(nullptr), E_POINTER);
    EXPECT_EQ(p->get_VerifyServerCertificate(nullptr), E_POINTER);
}

TEST(SmtpNotificationSecurity, PutRulesAndChangeTracking) {
    CObject p;
    for (const LONG nRefused : {-1L, 4L, 0x7FFFFFFFL}) {
        EXPECT_EQ(p->put_Security(nRefused), E_INVALIDARG) << nRefused;
        EXPECT_EQ(p.GetSecurity(), SMTPSECURITY_STARTTLS);
    }
    p.Save();
    EXPECT_FALSE(p.IsDirty());
    EXPECT_EQ(p->put_Security(SMTPSECURITY_STARTTLS), S_OK);
    EXPECT_EQ(p->put_VerifyServerCertificate(VARIANT_TRUE), S_OK);
    EXPECT_FALSE(p.IsDirty());  // the same values change nothing
    for (LONG n = SMTPSECURITY_NONE; n <= SMTPSECURITY_TLS; ++n) {
        EXPECT_EQ(p->put_Security(n), S_OK);
        EXPECT_EQ(p.GetSecurity(), n);
    }
    EXPECT_TRUE(p.IsDirty());
    p.Save();
    // Any true value counts as true; only a change marks the object.
    EXPECT_EQ(p->put_VerifyServerCertificate(static_cast<VARIANT_BOOL>(1)), S_OK);
    EXPECT_FALSE(p.IsDirty());
    EXPECT_EQ(p->put_VerifyServerCertificate(VARIANT_FALSE), S_OK);
    EXPECT_FALSE(p.GetVerify());
    EXPECT_TRUE(p.IsDirty());
}

TEST(SmtpNotificationSecurity, InterfaceIsReachedByQueryInterfaceAndByName) {
    CObject p;
    ISmtpNotificationSecurity* pSecurity = nullptr;
    ASSERT_EQ(p->QueryInterface(IidOf<ISmtpNotificationSecurity>(), reinterpret_cast<void**>(&pSecurity)), S_OK);
    IUnknown* pIdentity = nullptr;
    IUnknown* pOwnIdentity = nullptr;
    ASSERT_EQ(pSecurity->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pIdentity)), S_OK);
    ASSERT_EQ(p->QueryInterface(IidOf<IUnknown>(), reinterpret_cast<void**>(&pOwnIdentity)), S_OK);
    EXPECT_EQ(pIdentity, pOwnIdentity);
    pIdentity->Release();
    pOwnIdentity->Release();

    // Described for automation clients and the bus: the properties by name, through the interface's own
    // dispatch part.
    const comrt::InterfaceDescription* pDescription = comrt::FindInterfaceDescription("ISmtpNotificationSecurity");
    ASSERT_NE(pDescription, nullptr);
    EXPECT_EQ(pDescription->iid, IidOf<ISmtpNotificationSecurity>());
    EXPECT_EQ(pDescription->kind, comrt::InterfaceKind::Dual);
    std::u16string sName = u"Security";
    LPOLESTR rgszNames[] = {sName.data()};
    DISPID nDispid = 0;
    ASSERT_EQ(pSecurity->GetIDsOfNames(IID_NULL, rgszNames, 1, 0, &nDispid), S_OK);
    EXPECT_EQ(nDispid, 14);
    VARIANT vValue;
    VariantInit(&vValue);
    vValue.vt = VT_I4;
    vValue.lVal = SMTPSECURITY_TLS;
    DISPID nNamed = DISPID_PROPERTYPUT;
    DISPPARAMS Params{&vValue, &nNamed, 1, 1};
    EXPECT_EQ(pSecurity->Invoke(14, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(p.GetSecurity(), SMTPSECURITY_TLS);
    vValue.lVal = 9;
    EXPECT_NE(pSecurity->Invoke(14, IID_NULL, 0, DISPATCH_PROPERTYPUT, &Params, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(p.GetSecurity(), SMTPSECURITY_TLS);
    sName = u"VerifyServerCertificate";
    rgszNames[0] = sName.data();
    ASSERT_EQ(pSecurity->GetIDsOfNames(IID_NULL, rgszNames, 1, 0, &nDispid), S_OK);
    EXPECT_EQ(nDispid, 15);
    pSecurity->Release();
}

HRESULT PutRetryIntervals(const CObject& p, std::u16string_view sText) {
    BSTR s = SysAllocStringLen(sText.data(), static_cast<UINT>(sText.size()));
    const HRESULT nResult = p->put_RetryIntervals(s);
    SysFreeString(s);
    return nResult;
}

TEST(SmtpNotificationSecurity, RetryIntervalRules) {
    struct {
        std::u16string_view sText;
        HRESULT nResult;
        std::u16string_view sRead;  // what reads back after the put
    } const Cases[] = {
        {u"60,300,900", S_OK, u"60,300,900"},
        {u"1, 2 ,3", S_OK, u"1,2,3"},
        {u"", S_OK, u""},  // no retries
        {u"604800", S_OK, u"604800"},
        {u"604801", E_INVALIDARG, u"60,300,900"},
        {u"0", E_INVALIDARG, u"60,300,900"},
        {u"-5", E_INVALIDARG, u"60,300,900"},
        {u"1,x", E_INVALIDARG, u"60,300,900"},
        {u"99999999999", E_INVALIDARG, u"60,300,900"},
        {u"1,,2", E_INVALIDARG, u"60,300,900"},
        {u"1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1", S_OK, u"1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1"},
        {u"1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1", E_INVALIDARG, u"60,300,900"},
    };
    for (const auto& Case : Cases) {
        CObject p;
        EXPECT_EQ(p.GetText(&CSmtpNotification::get_RetryIntervals), u"60,300,900");
        p.Save();  // clears the changed state of the new object
        EXPECT_EQ(PutRetryIntervals(p, Case.sText), Case.nResult) << comrt::ToUtf8(Case.sText);
        EXPECT_EQ(p.GetText(&CSmtpNotification::get_RetryIntervals), Case.sRead) << comrt::ToUtf8(Case.sText);
        EXPECT_EQ(p.IsDirty(), Case.nResult == S_OK && Case.sRead != u"60,300,900");
    }
}

// The default retry schedule "60,300,900" as the stream holds it: VT_BSTR, the byte count with the
// terminator, the UTF-16 text and its terminator.
const std::string kRetryBytes =
    std::string("\x08\x00\x16\x00\x00\x00", 6) + std::string(reinterpret_cast<const char*>(u"60,300,900"), 22);

// The outbox identity, the last property, as the stream holds it: VT_BSTR, the byte count with the
// terminator, the 38 characters of the brace form and the terminator.
std::string IdentityBytes(const std::u16string& sIdentity) {
    return std::string("\x08\x00\x4e\x00\x00\x00", 6) +
           std::string(reinterpret_cast<const char*>(sIdentity.c_str()), 2 * (sIdentity.size() + 1));
}
constexpr std::size_t kIdentitySize = 6 + 2 * 39;

TEST(SmtpNotificationSecurity, StreamStoredBeforeSecurityLoadsWithoutTls) {
    const std::string sOld = testing_support::BytesFromHex(testing_support::SMTP_NOTIFICATION_STREAM_BEFORE_SECURITY);
    ASSERT_EQ(sOld.size(), 302u);
    CObject p;
    // Whatever the object held before, the stored object's values count: no TLS, as it always delivered.
    ASSERT_EQ(p->put_Security(SMTPSECURITY_TLS), S_OK);
    ASSERT_EQ(p->put_VerifyServerCertificate(VARIANT_FALSE), S_OK);
    ASSERT_EQ(p.Load(StreamOf(sOld)), S_OK);
    // Changed all the same: it has taken an outbox identity, which it did not have, and must keep.
    EXPECT_TRUE(p.IsDirty());
    EXPECT_EQ(p.GetSecurity(), SMTPSECURITY_NONE);
    EXPECT_TRUE(p.GetVerify());
    EXPECT_EQ(p.GetText(&CSmtpNotification::get_ServerHost), u"mail.example.org");
    EXPECT_EQ(p.GetText(&CSmtpNotification::get_AuthenticationMethods), u"login");
    EXPECT_EQ(p.GetText(&CSmtpNotification::get_AuthenticationPassword), u"Tops3cret");
    LONG n = 0;
    EXPECT_EQ(p->get_ServerPort(&n), S_OK);
    EXPECT_EQ(n, 587);
    EXPECT_EQ(p->get_Timeout(&n), S_OK);
    EXPECT_EQ(n, 30000);

    EXPECT_EQ(p.GetText(&CSmtpNotification::get_RetryIntervals), u"60,300,900");

    // Saved again, it is the old stream with the later properties after it, and the version unchanged.
    const std::string sNew = BytesOf(p.Save());
    ASSERT_EQ(sNew.size(), sOld.size() + 6 + 4 + kRetryBytes.size() + kIdentitySize);
    EXPECT_EQ(sNew.substr(0, sOld.size()), sOld);
    EXPECT_EQ(sNew.substr(sOld.size()), std::string("\x03\x00\x00\x00\x00\x00\x0b\x00\xff\xff", 10) + kRetryBytes +
                                            IdentityBytes(p.GetText(&CSmtpNotification::get_Identity)));
}

// A property bag written before the two settings existed: it holds every other setting, not these.
class CBagWithoutSecurity : public IPropertyBag {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyBag>>;
    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) override {
        const std::u16string sName(pszPropName);
        if (sName == u"Security" || sName == u"VerifyServerCertificate") return E_INVALIDARG;
        if (sName == u"ServerHost") {
            VariantClear(pVar);
            pVar->vt = VT_BSTR;
            pVar->bstrVal = SysAllocString(u"mail.example.org");
            return S_OK;
        }
        return E_INVALIDARG;
    }
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
};

TEST(SmtpNotificationSecurity, PropertyBagWithoutTheSettingsLoadsWithoutTls) {
    CObject p;
    ASSERT_EQ(p->put_VerifyServerCertificate(VARIANT_FALSE), S_OK);
    CComObjectT<CBagWithoutSecurity>* pBag = nullptr;
    ASSERT_EQ(CComObjectT<CBagWithoutSecurity>::CreateInstance(&pBag), S_OK);
    EXPECT_EQ(static_cast<IPersistPropertyBag*>(p.operator->())->Load(pBag, nullptr), S_OK);
    pBag->Release();
    EXPECT_EQ(p.GetSecurity(), SMTPSECURITY_NONE);
    EXPECT_TRUE(p.GetVerify());
    EXPECT_EQ(p.GetText(&CSmtpNotification::get_ServerHost), u"mail.example.org");
}

TEST(SmtpNotificationSecurity, SettingsRoundTripThroughTheStream) {
    CObject p;
    ASSERT_EQ(p->put_Security(SMTPSECURITY_STARTTLS_REQUIRED), S_OK);
    ASSERT_EQ(p->put_VerifyServerCertificate(VARIANT_FALSE), S_OK);
    CComPtr<IStream> pStream = p.Save();
    LARGE_INTEGER Zero{};
    ASSERT_EQ(pStream->Seek(Zero, STREAM_SEEK_SET, nullptr), S_OK);
    CObject q;
    ASSERT_EQ(q.Load(pStream), S_OK);
    EXPECT_EQ(q.GetSecurity(), SMTPSECURITY_STARTTLS_REQUIRED);
    EXPECT_FALSE(q.GetVerify());
    // A stream that ends between two of the later properties takes the defaults for those after.
    struct {
        std::size_t nCut;
        bool bVerify;
    } const Cuts[] = {{kIdentitySize + kRetryBytes.size(), false}, {kIdentitySize + kRetryBytes.size() + 4, true}};
    for (const auto& Cut : Cuts) {
        std::string sBytes = BytesOf(pStream);
        sBytes.resize(sBytes.size() - Cut.nCut);
        CObject r;
        ASSERT_EQ(r->put_VerifyServerCertificate(VARIANT_FALSE), S_OK);
        ASSERT_EQ(PutRetryIntervals(r, u"7"), S_OK);
        ASSERT_EQ(r.Load(StreamOf(sBytes)), S_OK);
        EXPECT_EQ(r.GetSecurity(), SMTPSECURITY_STARTTLS_REQUIRED);
        EXPECT_EQ(r.GetVerify(), Cut.bVerify);
        EXPECT_EQ(r.GetText(&CSmtpNotification::get_RetryIntervals), u"60,300,900");
    }
    // A stored value out of range fails the load, as every refused put does.
    std::string sBytes = BytesOf(pStream);
    sBytes[sBytes.size() - kIdentitySize - kRetryBytes.size() - 8] = 7;
    CObject s;
    EXPECT_EQ(s.Load(StreamOf(sBytes)), E_INVALIDARG);
}

}  // namespace
