#include "BusRegistration.h"

#include "corvane/uldebug.h"

namespace {

void TraceFailure(const char* pszLine) {
    UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "%s", pszLine);
}

}  // namespace

HRESULT WriteBusFiles(bool bServiceMode, const std::u16string& sProgramPath) {
    return comrt::WriteBusFiles(bServiceMode, sProgramPath, &TraceFailure);
}

HRESULT RemoveBusFiles() {
    return comrt::RemoveBusFiles(&TraceFailure);
}
