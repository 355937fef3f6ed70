// A library with its own copy of the foundation library, as a plug-in has, for the exception filter's tests
// of two modules in one process. Its version script exports only the functions below.
#include <string.h>

#include <string>

#include "corvane/ulexception.h"
#include "corvane/ulguard.h"

#define MODULE_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

[[gnu::noinline]] void ThrowFromModule(HRESULT nResult) {
    throw corvane::CHResultException(nResult);
}

}  // namespace

MODULE_ENTRY bool ExceptionFilterModuleInitialize() {
    return CExceptionFilter::Initialize();
}

MODULE_ENTRY void ExceptionFilterModuleTerminate() {
    CExceptionFilter::Terminate();
}

// Throws and catches an HRESULT exception inside the module; answers the HRESULT caught.
MODULE_ENTRY HRESULT ExceptionFilterModuleThrow(HRESULT nResult) {
    try {
        ThrowFromModule(nResult);
    } catch (const corvane::CHResultException& Exception) {
        return Exception.GetResult();
    }
    return S_OK;
}

// Writes into the given inaccessible memory.
MODULE_ENTRY void ExceptionFilterModuleCrash(void* pvInaccessible) {
    *static_cast<volatile int*>(pvInaccessible) = 1;
}

// The module's log file.
MODULE_ENTRY void ExceptionFilterModuleLogPath(char* pszPath, std::size_t cchPath) {
    const std::string sPath = corvane::GetTraceLogPath();
    if (cchPath == 0) return;
    const std::size_t cch = sPath.size() < cchPath ? sPath.size() : cchPath - 1;
    memcpy(pszPath, sPath.data(), cch);
    pszPath[cch] = 0;
}
