// The module's start-up banner and its termination line.
#include <stdio.h>

#include "corvane/uldebug.h"
#include "corvane/ulmodule.h"

namespace corvane {
namespace {

void TraceTerminationLockCount() noexcept {
    const LONG nCount = GetModuleLockCount();
    UL_TRACE(nCount != 0 ? TRACE_LEVEL_FAILURE : TRACE_LEVEL_VERBOSE, TraceText::TerminationLockCount, GetModulePath(),
             static_cast<int>(nCount));
}

}  // namespace

bool TraceModuleVersion(const char* pszModulePath, bool bProgramImage, const char* pszProcessImagePath,
                        const char* pszVersionText) noexcept {
    int pnVersion[4] = {};
    int cchRead = 0;
    if (pszVersionText == nullptr ||
        sscanf(pszVersionText, "%d.%d.%d.%d%n", &pnVersion[0], &pnVersion[1], &pnVersion[2], &pnVersion[3], &cchRead) !=
            4 ||
        pszVersionText[cchRead] != 0)
        return false;
    char szVersion[64];
    snprintf(szVersion, sizeof(szVersion), "%d.%d.%d.%d", pnVersion[0], pnVersion[1], pnVersion[2], pnVersion[3]);
    if (bProgramImage)
        UL_TRACE(TRACE_LEVEL_BANNER, TraceText::ProgramVersion, pszModulePath, szVersion);
    else
        UL_TRACE(TRACE_LEVEL_BANNER, TraceText::LibraryVersion, pszModulePath, szVersion, pszProcessImagePath);
    return true;
}

void TraceModuleVersion() noexcept {
    TraceModuleVersion(GetModulePath(), IsProgramImage(), GetProcessImagePath(), CORVANE_VERSION_TEXT);
}

void TraceModuleTerminationLockCount() noexcept {
    AddModuleTerminationFunction(&TraceTerminationLockCount);
}

}  // namespace corvane
