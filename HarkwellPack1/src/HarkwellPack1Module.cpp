#include "HarkwellPack1Module.h"

#include "FileSystemCheckActivity.h"
#include "HarkwellServer/Interfaces.h"
#include "PingActivity.h"
#include "ProcessCheckActivity.h"
#include "SmtpNotification.h"
#include "SystemPerformanceCheckActivity.h"
#include "corvane/uldebug.h"
#include "corvane/ulexception.h"
#include "corvane/ulmodule.h"

namespace {

// Classes are added here as the library gains them, in registration order. ProgIDs derive from the class
// name (cut to 37 characters, then ".1"); friendly names are the classes' string resources as written.
// A page class: friendly name "<class> Object", apartment-threaded, no category, served by HarkwellPack1UI.so.
#define PAGE_ENTRY(clsid, name)                                                                                  \
    {                                                                                                            \
        &(clsid), nullptr, u## #name, u## #name " Object", corvane::ThreadingModel::Apartment, nullptr, nullptr, \
            nullptr, kPagesFileName                                                                              \
    }

constexpr char16_t kPagesFileName[] = u"HarkwellPack1UI.so";

const corvane::ClassEntry kClassEntries[] = {
    {&CLSID_CProcessCheckActivity, &CreateObjectT<CProcessCheckActivity>, u"CProcessCheckActivity",
     u"Process Check Activity", corvane::ThreadingModel::Free, &CATID_CorvaneHarkwellActivities},
    {&CLSID_CPingActivity, &CreateObjectT<CPingActivity>, u"CPingActivity", u"Ping Availabilty Activity",
     corvane::ThreadingModel::Free, &CATID_CorvaneHarkwellActivities},
    {&CLSID_CFileSystemCheckActivity, &CreateObjectT<CFileSystemCheckActivity>, u"CFileSystemCheckActivity",
     u"File System Check Activity", corvane::ThreadingModel::Free, &CATID_CorvaneHarkwellActivities},
    {&CLSID_CSystemPerformanceCheckActivity, &CreateObjectT<CSystemPerformanceCheckActivity>,
     u"CSystemPerformanceCheckActivity", u"System Performance Information Check Activity",
     corvane::ThreadingModel::Free, &CATID_CorvaneHarkwellActivities},
    {&CLSID_CSmtpNotification, &CreateObjectT<CSmtpNotification>, u"CSmtpNotification", u"SMTP E-mail Notification",
     corvane::ThreadingModel::Free, &CATID_CorvaneHarkwellNotifications},
    // The property pages: served by the companion library beside this one, so that the activities and the
    // notification never load the toolkit; this library registers them, and cannot make them itself.
    PAGE_ENTRY(CLSID_CProcessCheckActivityNameExpressionPropertyPage, CProcessCheckActivityNameExpressionPropertyPage),
    PAGE_ENTRY(CLSID_CPingActivityGeneralPropertyPage, CPingActivityGeneralPropertyPage),
    PAGE_ENTRY(CLSID_CFileSystemCheckActivityGeneralPropertyPage, CFileSystemCheckActivityGeneralPropertyPage),
    PAGE_ENTRY(CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
               CSystemPerformanceCheckActivityThresholdsPropertyPage),
    PAGE_ENTRY(CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage,
               CSystemPerformanceCheckActivityCurrentPropertyPage),
    PAGE_ENTRY(CLSID_CSystemPerformanceCheckActivityPollPropertyPage, CSystemPerformanceCheckActivityPollPropertyPage),
    PAGE_ENTRY(CLSID_CSmtpNotificationConnectionPropertyPage, CConnectionPropertyPage),
    PAGE_ENTRY(CLSID_CSmtpNotificationTemplatePropertyPage, CTemplatePropertyPage),
};
#undef PAGE_ENTRY
constexpr std::span<const corvane::ClassEntry> kClasses{kClassEntries};

const corvane::InprocServerDescription kDescription{kClasses,
                                                    &APPID_HarkwellPack1,
                                                    u"HarkwellPack1",
                                                    u"HarkwellPack1.so",
                                                    &APPID_HarkwellPack1,
                                                    u"1.0",
                                                    u"HarkwellPack1 1.0 Type Library"};

}  // namespace

CHarkwellPack1Module::CHarkwellPack1Module() noexcept : CInprocServerModule(kDescription) {
    // The banner ("... version is ..., running in ..."), the termination line and the symbol settings.
    corvane::StartModuleTrace();
    // Crashes and the library's thrown exceptions are reported into its trace until it is unloaded.
    UL_ASSERT(CExceptionFilter::Initialize());
    corvane::AddModuleTerminationFunction(&CExceptionFilter::Terminate);
}

const CHarkwellPack1Module g_Module;

CORVANE_INPROC_SERVER_ENTRY_POINTS(g_Module)
