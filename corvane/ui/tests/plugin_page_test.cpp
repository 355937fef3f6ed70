// A third party's page: the page class of a plug-in library (PagePlugin.so, built on the page templates),
// registered with hkregsvr in a private store, is created by class identifier by the frame from that
// library, shows, and applies; a class of it that cannot be made and one that is not registered are each
// reported and the frame goes on with the others; after unregistration the page is gone.
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

#include "PagePluginIds.h"
#include "QtTestSupport.h"
#include "TestEnvironment.h"
#include "comrt/oleauto.h"
#include "corvane/ulobject.h"
#include "corvane/ulpropertypage.h"
#include "corvane/ulregister.h"

namespace {

using corvanetest::Control;
using corvanetest::OnNextModal;
using testing_support::LibraryPath;
using testing_support::ProgramPath;
using testing_support::RunProgram;

constexpr CLSID CLSID_Unregistered = MakeGuid("{3C7A52E1-9D04-4F6B-8E21-5A0D6C1B7FFF}");

// An object that lists the pages it was made with and has one property, "Name".
class CNamedObject : public ISpecifyPropertyPages, public IDispatch {
public:
    using Interfaces = InterfaceList<InterfaceEntry<ISpecifyPropertyPages>, InterfaceEntry<IDispatch>>;
    HRESULT GetPages(CAUUID* pPages) override {
        pPages->cElems = static_cast<ULONG>(m_Pages.size());
        pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * m_Pages.size()));
        std::copy(m_Pages.begin(), m_Pages.end(), pPages->pElems);
        return S_OK;
    }
    HRESULT GetTypeInfoCount(UINT* pCount) override { return *pCount = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* pszNames, UINT nNames, LCID, DISPID* pIds) override {
        const bool bName = nNames == 1 && std::u16string_view(pszNames[0]) == u"Name";
        *pIds = bName ? 1 : DISPID_UNKNOWN;
        return bName ? S_OK : DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID nId, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams, VARIANT*, EXCEPINFO*, UINT*) override {
        if (nId != 1 || wFlags != DISPATCH_PROPERTYPUT || pParams->cArgs != 1 || pParams->rgvarg[0].vt != VT_BSTR)
            return DISP_E_MEMBERNOTFOUND;
        m_sName = pParams->rgvarg[0].bstrVal;
        return S_OK;
    }
    std::vector<CLSID> m_Pages;
    std::u16string m_sName;
};

class PluginPage : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
    void TearDown() override { CoUninitialize(); }

    testing_support::ProcessResult Register(bool bUnregister = false) {
        std::vector<std::string> Arguments{ProgramPath("hkregsvr").string()};
        if (bUnregister) Arguments.push_back("-u");
        Arguments.push_back(LibraryPath("PagePlugin.so").string());
        return RunProgram(Arguments);
    }
    // The object, kept alive by m_Objects.
    CNamedObject* MakeObject(std::vector<CLSID> Pages) {
        CComObjectT<CNamedObject>* p = nullptr;
        EXPECT_EQ(CComObjectT<CNamedObject>::CreateInstance(&p), S_OK);
        m_Objects.emplace_back(static_cast<ISpecifyPropertyPages*>(p));
        p->Release();
        p->m_Pages = std::move(Pages);
        return p;
    }
    // Clicks away each error box that opens before the frame, keeping its text, then runs Action on the frame.
    void OnErrorBoxesThenFrame(std::function<void(QWidget*)> Action) {
        OnNextModal([this, Action](QWidget* pWindow) {
            if (auto* pBox = qobject_cast<QMessageBox*>(pWindow)) {
                m_Errors << pBox->text();
                QTest::mouseClick(Control<QPushButton>(pBox, IDOK), Qt::LeftButton);
                OnErrorBoxesThenFrame(Action);
            } else {
                Action(pWindow);
            }
        });
    }

    testing_support::CTemporaryRegistry m_Registry;
    std::vector<CComPtr<ISpecifyPropertyPages>> m_Objects;
    QStringList m_Errors;
};

TEST_F(PluginPage, ARegisteredPluginsPageIsMadeByClassIdentifierShownAndApplied) {
    const auto Result = Register();
    ASSERT_EQ(Result.nExitCode, 0) << Result.sOutput;
    CNamedObject* pObject = MakeObject({CLSID_CBrokenPluginPage, CLSID_Unregistered, CLSID_CPluginPage});
    corvane::COlePropertyFrameDialog Frame(static_cast<ISpecifyPropertyPages*>(pObject), u"Third party");
    QStringList Tabs;
    QString sServedBy;
    OnErrorBoxesThenFrame([&](QWidget* pFrame) {
        auto* pTabs = Control<QTabWidget>(pFrame, 12320);
        for (int i = 0; i < pTabs->count(); ++i) Tabs << pTabs->tabText(i);
        sServedBy = Control<QLabel>(pTabs->widget(0), IDC_PLUGIN_SERVED_BY)->text();
        QTest::keyClicks(Control<QLineEdit>(pTabs->widget(0), IDC_PLUGIN_NAME), QStringLiteral("alpha"));
        corvanetest::SavePicture(pFrame, QStringLiteral("property-frame-plugin-page"));
        QTest::mouseClick(Control<QPushButton>(pFrame, IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(Frame.DoModal(nullptr), S_OK);
    // The page came from the library's file, not from this program.
    EXPECT_EQ(sServedBy, QString::fromStdString(LibraryPath("PagePlugin.so").string()));
    EXPECT_EQ(Tabs, QStringList{QStringLiteral("Plug-in")});
    EXPECT_EQ(pObject->m_sName, u"alpha");
    // The class that cannot be made and the one not registered: one box each, naming the class and the reason.
    ASSERT_EQ(m_Errors.size(), 2) << m_Errors.join(QStringLiteral(" | ")).toStdString();
    const struct {
        CLSID Class;
        HRESULT hr;
    } kFailures[] = {{CLSID_CBrokenPluginPage, E_OUTOFMEMORY}, {CLSID_Unregistered, REGDB_E_CLASSNOTREG}};
    for (size_t i = 0; i < std::size(kFailures); ++i) {
        EXPECT_TRUE(m_Errors[static_cast<int>(i)].contains(
            QString::fromStdU16String(corvane::GuidText(kFailures[i].Class)), Qt::CaseInsensitive))
            << m_Errors[static_cast<int>(i)].toStdString();
        EXPECT_TRUE(
            m_Errors[static_cast<int>(i)].contains(QString::fromStdU16String(FormatSystemMessage(kFailures[i].hr))))
            << m_Errors[static_cast<int>(i)].toStdString();
    }
}

TEST_F(PluginPage, AfterUnregistrationThePageIsNotFoundAndTheFrameSaysSo) {
    ASSERT_EQ(Register().nExitCode, 0);
    CComPtr<IPropertyPage> pPage;
    ASSERT_EQ(pPage.CoCreateInstance(CLSID_CPluginPage, nullptr, CLSCTX_INPROC_SERVER), S_OK);
    pPage.Release();
    const auto Result = Register(true);
    ASSERT_EQ(Result.nExitCode, 0) << Result.sOutput;
    EXPECT_EQ(pPage.CoCreateInstance(CLSID_CPluginPage, nullptr, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);

    CNamedObject* pObject = MakeObject({CLSID_CPluginPage});
    corvane::COlePropertyFrameDialog Frame(static_cast<ISpecifyPropertyPages*>(pObject), u"Third party");
    bool bFrame = false;
    OnNextModal([&](QWidget* pWindow) {
        auto* pBox = qobject_cast<QMessageBox*>(pWindow);
        bFrame = pBox == nullptr;
        if (pBox != nullptr) m_Errors << pBox->text();
        QTest::mouseClick(Control<QPushButton>(pWindow, bFrame ? IDCANCEL : IDOK), Qt::LeftButton);
    });
    try {
        Frame.DoModal(nullptr);
        ADD_FAILURE() << "no failure raised";
    } catch (const corvane::CHResultException& e) {
        EXPECT_EQ(e.GetResult(), REGDB_E_CLASSNOTREG);
    }
    EXPECT_FALSE(bFrame);
    ASSERT_EQ(m_Errors.size(), 1);
    EXPECT_TRUE(m_Errors[0].contains(QString::fromStdU16String(corvane::GuidText(CLSID_CPluginPage))))
        << m_Errors[0].toStdString();
}

}  // namespace
