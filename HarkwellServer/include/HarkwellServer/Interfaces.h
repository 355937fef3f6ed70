// The plug-in contract of the server: the interfaces through which the server and every plug-in library
// meet, their identifiers, dispatch identifiers and slot orders, the event record class and the component
// categories that plug-in classes register under. Plug-in libraries include this header; its layouts are
// fixed, so a library built against it by anyone works with the server.
#pragma once

#include "comrt/dispatch.h"
#include "comrt/runtime.h"

// The contract's type library.
constexpr GUID LIBID_CorvaneHarkwellServer = MakeGuid("{E9DD5B21-0728-430C-B8F0-375FF814CCC7}");
constexpr WORD kCorvaneHarkwellServerLibraryMajor = 1;
constexpr WORD kCorvaneHarkwellServerLibraryMinor = 0;
constexpr LCID kCorvaneHarkwellServerLibraryLocale = 0x409;
constexpr const char* kCorvaneHarkwellServerLibraryHelp = "Corvane Harkwell Server 1.0 Type Library";

// The server program's application identifier: its key under HKEY_CLASSES_ROOT\AppID says how it runs (as
// a service when the key has LocalService), which the server and harkwellctl both read.
constexpr GUID APPID_HarkwellServer = MakeGuid("{E9DD5B21-0728-430C-B8F0-375FF814CCC7}");

// Types of the events the application object reports.
enum EVENTTYPE : LONG {
    EVENTTYPE_INFORMATION = 0,
    EVENTTYPE_WARNING = 1,
    EVENTTYPE_ERROR = 2,
};

// Component categories under which plug-in classes register.
constexpr CATID CATID_CorvaneHarkwellActivities = MakeGuid("{0D143C68-02B2-4f47-898B-CF1312E4E501}");
constexpr CATID CATID_CorvaneHarkwellNotifications = MakeGuid("{33065B4E-FCD1-4dba-8451-FD4542C19C03}");
constexpr const char16_t* kActivitiesCategoryDescription = u"Corvane Harkwell Activities";
constexpr const char16_t* kNotificationsCategoryDescription = u"Corvane Harkwell Notifications";

// The event record: one firing of an activity. Level and Tags are carried unchanged to every notification;
// Subject is one line, Body lines are separated by CR LF.
struct IActivityEvent : IDispatch {
    static constexpr IID kIid = MakeGuid("{E44C1D06-BBCE-4A5A-8439-9415B6E72971}");
    virtual HRESULT get_Level(LONG* pnLevel) = 0;
    virtual HRESULT put_Level(LONG nLevel) = 0;
    virtual HRESULT get_Tags(BSTR* psTags) = 0;
    virtual HRESULT put_Tags(BSTR sTags) = 0;
    virtual HRESULT get_Subject(BSTR* psSubject) = 0;
    virtual HRESULT put_Subject(BSTR sSubject) = 0;
    virtual HRESULT get_Body(BSTR* psBody) = 0;
    virtual HRESULT put_Body(BSTR sBody) = 0;
};

// The outgoing interface of every activity: a pure dispatch interface whose one method, Notification
// (DISPID 1), takes the event record as VT_DISPATCH.
struct _ActivityEvents : IDispatch {
    static constexpr IID kIid = MakeGuid("{A67C3828-1EA7-49AB-B779-CA9B5957E2DF}");
};
constexpr DISPID DISPID_ActivityEvents_Notification = 1;

// Implemented by every activity.
struct IActivity : IDispatch {
    static constexpr IID kIid = MakeGuid("{2C73ED82-FEF6-464D-AB77-93E846CD35C7}");
    virtual HRESULT get_Title(BSTR* psTitle) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
};

// Implemented by every notification. Handle is called while the scenario holds its data lock: slow work
// is queued and done on the notification's own thread. The server ignores Handle's result.
struct INotification : IDispatch {
    static constexpr IID kIid = MakeGuid("{FA253ADD-E963-47C5-B0E6-37808393EE24}");
    virtual HRESULT get_Title(BSTR* psTitle) = 0;
    virtual HRESULT Handle(IActivity* pActivity, IActivityEvent* pActivityEvent) = 0;
};

// The event record class, served by the server program.
constexpr CLSID CLSID_CActivityEvent = MakeGuid("{2050A88A-CCDC-4C35-90F2-3F04AF942EAD}");

COMRT_DESCRIBE_INTERFACE(IActivityEvent, "IActivityEvent Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IActivityEvent::get_Level>(1, "Level", 1, "pnLevel"),
                         comrt::PropPut<&IActivityEvent::put_Level>(1, "Level", 2, "nLevel"),
                         comrt::PropGet<&IActivityEvent::get_Tags>(2, "Tags", 3, "psTags"),
                         comrt::PropPut<&IActivityEvent::put_Tags>(2, "Tags", 4, "sTags"),
                         comrt::PropGet<&IActivityEvent::get_Subject>(3, "Subject", 5, "psSubject"),
                         comrt::PropPut<&IActivityEvent::put_Subject>(3, "Subject", 6, "sSubject"),
                         comrt::PropGet<&IActivityEvent::get_Body>(4, "Body", 7, "psBody"),
                         comrt::PropPut<&IActivityEvent::put_Body>(4, "Body", 8, "sBody"));

COMRT_DESCRIBE_INTERFACE(_ActivityEvents, "_ActivityEvents Interface", comrt::InterfaceKind::DispatchOnly,
                         comrt::Event<VT_DISPATCH>(DISPID_ActivityEvents_Notification, "Notification",
                                                   "pActivityEvent"));

COMRT_DESCRIBE_INTERFACE(IActivity, "IActivity Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IActivity::get_Title>(DISPID_VALUE, "Title", 1, "psTitle"),
                         comrt::Method<&IActivity::Start>(1, "Start", 2),
                         comrt::Method<&IActivity::Stop>(2, "Stop", 3));

COMRT_DESCRIBE_INTERFACE(INotification, "INotification Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&INotification::get_Title>(DISPID_VALUE, "Title", 1, "psTitle"),
                         comrt::Method<&INotification::Handle>(1, "Handle", 2, "pActivity,pActivityEvent"));
