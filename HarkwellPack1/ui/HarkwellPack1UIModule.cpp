// The companion library HarkwellPack1UI.so: the property pages of the plug-in's activities and e-mail
// notification. HarkwellPack1.so registers these classes with this file's path, so that the frame makes a
// page from here while the plug-in itself (and the service that loads it) never maps the toolkit.
#include "ActivityPropertyPages.h"
#include "SmtpPropertyPages.h"
#include "corvane/ulinproc.h"

namespace {

#define PACK1_PAGE_ENTRY(clsid, name) \
    { &(clsid), &CreateObjectT<name>, u## #name, u## #name " Object", corvane::ThreadingModel::Apartment }

const corvane::ClassEntry kPageClasses[] = {
    PACK1_PAGE_ENTRY(CLSID_CProcessCheckActivityNameExpressionPropertyPage,
                     CProcessCheckActivityNameExpressionPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CPingActivityGeneralPropertyPage, CPingActivityGeneralPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CFileSystemCheckActivityGeneralPropertyPage, CFileSystemCheckActivityGeneralPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CSystemPerformanceCheckActivityThresholdsPropertyPage,
                     CSystemPerformanceCheckActivityThresholdsPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CSystemPerformanceCheckActivityCurrentPropertyPage,
                     CSystemPerformanceCheckActivityCurrentPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CSystemPerformanceCheckActivityPollPropertyPage,
                     CSystemPerformanceCheckActivityPollPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CSmtpNotificationConnectionPropertyPage, CConnectionPropertyPage),
    PACK1_PAGE_ENTRY(CLSID_CSmtpNotificationTemplatePropertyPage, CTemplatePropertyPage),
};
#undef PACK1_PAGE_ENTRY

// No AppID nor type library of its own: those are the plug-in's, which registers these classes.
const corvane::CInprocServerModule g_PagesModule({kPageClasses, nullptr, u"HarkwellPack1UI", u"HarkwellPack1UI.so"});

}  // namespace

CORVANE_INPROC_SERVER_ENTRY_POINTS(g_PagesModule)
