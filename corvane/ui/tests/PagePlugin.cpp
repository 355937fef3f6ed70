// A third party's plug-in library with a property page, built the way our plug-ins are: the page class on the
// foundation's page templates, the four in-process server entry points and nothing else exported. The page
// shows which file served it and writes its edit to the object's "Name" by name; a second class cannot make
// its objects.
#include <QLineEdit>

#include "PagePluginIds.h"
#include "comrt/oleauto.h"
#include "corvane/ulinproc.h"
#include "corvane/ulpropertypage.h"

namespace {

const corvane::StringResource kStrings[] = {{IDS_PLUGIN_PAGE_TITLE, u"Plug-in"}};
const corvane::CStringTableRegistration g_Strings(kStrings);

const DialogControl kControls[] = {
    {IDC_PLUGIN_SERVED_BY, DialogControlKind::Static, u"", 7, 7, 200, 8},
    {1002, DialogControlKind::Static, u"&Name:", 7, 25, 40, 8},
    {IDC_PLUGIN_NAME, DialogControlKind::Edit, u"", 50, 23, 150, 14},
};
const DialogResource kResource{215, 50, nullptr, kControls};

class CPluginPage : public corvane::COlePropertyPageT<CPluginPage> {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IPropertyPage>>;
    static const DialogResource& GetDialogResource() { return kResource; }
    static UINT GetTitleResourceId() { return IDS_PLUGIN_PAGE_TITLE; }

    void OnInitDialog() {
        SetWindowTextW(GetItem(IDC_PLUGIN_SERVED_BY), corvane::CInprocServerModule::ModulePath().c_str());
        auto* pName = qobject_cast<QLineEdit*>(WidgetFromHandle(GetItem(IDC_PLUGIN_NAME)));
        QObject::connect(pName, &QLineEdit::textEdited,
                         corvane::GuardedHandler(GetWindow(), [this] { this->SetDirty(true); }));
    }
    HRESULT Apply() override {
        UL_PAGE_GUARD_BEGIN
        const std::u16string sName =
            qobject_cast<QLineEdit*>(WidgetFromHandle(GetItem(IDC_PLUGIN_NAME)))->text().toStdU16String();
        for (size_t i = 0; i < GetObjectCount(); ++i) {
            CComPtr<IDispatch> pDispatch = GetObjectInterface<IDispatch>(i);
            LPOLESTR pszName = const_cast<LPOLESTR>(u"Name");
            DISPID nDispid = DISPID_UNKNOWN;
            UL_CHECK(pDispatch->GetIDsOfNames(IID_NULL, &pszName, 1, LOCALE_USER_DEFAULT, &nDispid));
            VARIANT Value;
            Value.vt = VT_BSTR;
            Value.bstrVal = SysAllocString(sName.c_str());
            DISPID nNamed = DISPID_PROPERTYPUT;
            DISPPARAMS Params{&Value, &nNamed, 1, 1};
            const HRESULT hr = pDispatch->Invoke(nDispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &Params,
                                                 nullptr, nullptr, nullptr);
            VariantClear(&Value);
            UL_CHECK(hr);
        }
        SetDirty(false);
        UL_PAGE_GUARD_END
    }
};

HRESULT CreateBrokenPage(REFIID, void** ppv) {
    *ppv = nullptr;
    return E_OUTOFMEMORY;
}

constexpr GUID kAppId = CLSID_PagePluginAppId;

const corvane::ClassEntry kClasses[] = {
    {&CLSID_CPluginPage, &CreateObjectT<CPluginPage>, u"CPluginPage", u"Plug-in Page"},
    {&CLSID_CBrokenPluginPage, &CreateBrokenPage, u"CBrokenPluginPage", u"Broken Plug-in Page"},
};

const corvane::CInprocServerModule g_Module({kClasses, &kAppId, u"PagePlugin", u"PagePlugin.so"});

}  // namespace

CORVANE_INPROC_SERVER_ENTRY_POINTS(g_Module)
