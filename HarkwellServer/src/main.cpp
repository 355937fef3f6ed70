// The server program's entry point: the trace and the exception filter first, then the module's main
// routine, whose result becomes the exit status.
#include <cstdio>

#include "ServerModule.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulexception.h"

int main(int argc, char** argv) {
    // Before any thread exists: the stop signals are taken by one thread that turns them into a stop of
    // the run (or, for the service, by the control dispatcher).
    CUlServiceModule::BlockStopSignals();
    corvane::StartModuleTrace();
    CExceptionFilter::Initialize();
    int nResult = 0;
    {
        CHarkwellServerModule Module;
        nResult = Module.Main(argc, argv);
    }
    if (nResult != 0) {
        // Results are registry errors, service errors or HRESULTs; the exit status keeps only "failed" (1),
        // since a status has eight bits, and the code itself is said here and in the trace.
        const HRESULT hr = nResult > 0 && nResult <= 0xFFFF ? HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nResult))
                                                            : static_cast<HRESULT>(nResult);
        const std::string sText = comrt::ToUtf8(FormatSystemMessage(hr));
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The server ends with 0x%08x (%s)\n", static_cast<unsigned>(nResult),
                 sText.c_str());
        std::fprintf(stderr, "HarkwellServer: failed with 0x%08X: %s\n", static_cast<unsigned>(nResult), sText.c_str());
    }
    CExceptionFilter::Terminate();
    return nResult == 0 ? 0 : 1;
}
