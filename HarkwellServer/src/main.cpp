// The server program's entry point: trace start-up, the registration switches, and the run that serves
// the program's classes until the process is asked to stop (Ctrl-C or SIGTERM).
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ServerRegistration.h"
#include "comrt/comptr.h"
#include "comrt/runtime.h"
#include "comrt/text.h"
#include "corvane/uldebug.h"
#include "corvane/ulexception.h"
#include "corvane/ulguard.h"
#include "corvane/ulmodule.h"

namespace {

enum class Switch { None, RegServer, UnregServer };

// Switches start with "-" or "/" and compare without regard to case.
bool IsSwitch(const char* pszArgument, std::string_view sName) {
    if (pszArgument[0] != '-' && pszArgument[0] != '/') return false;
    return std::strlen(pszArgument + 1) == sName.size() &&
           strncasecmp(pszArgument + 1, sName.data(), sName.size()) == 0;
}

Switch ParseCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (IsSwitch(argv[i], "UnregServer")) return Switch::UnregServer;
        if (IsSwitch(argv[i], "RegServer")) return Switch::RegServer;
    }
    return Switch::None;
}

HRESULT Register(const std::u16string& sModulePath) {
    HRESULT hr = RegisterAppId(sModulePath);
    if (SUCCEEDED(hr)) hr = RegisterServer(sModulePath);
    return hr;
}

HRESULT Unregister(const std::u16string& sModulePath) {
    HRESULT hr = UnregisterServer(sModulePath);
    if (SUCCEEDED(hr)) hr = UnregisterAppId(sModulePath);
    return hr;
}

// Registers the class objects, then waits for SIGINT or SIGTERM.
HRESULT Run() {
    std::vector<DWORD> cookies;
    HRESULT hr = corvane::GuardedCall([&]() -> HRESULT {
        for (const corvane::ClassEntry& entry : ServerClassTable().Entries()) {
            CComPtr<IUnknown> pFactory;
            UL_CHECK(ServerClassTable().GetClassObject(*entry.pClsid, IidOf<IUnknown>(),
                                                       reinterpret_cast<void**>(&pFactory)));
            DWORD nCookie = 0;
            UL_CHECK(CoRegisterClassObject(*entry.pClsid, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &nCookie));
            cookies.push_back(nCookie);
        }
        return S_OK;
    });
    if (SUCCEEDED(hr)) {
        std::fprintf(stderr, "Corvane Harkwell Server is running (trace: %s). Press Ctrl-C to stop.\n",
                     corvane::GetTraceLogPath().c_str());
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        int nSignal = 0;
        sigwait(&signals, &nSignal);
        UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Signal %d received, stopping\n", nSignal);
    }
    for (DWORD nCookie : cookies) CoRevokeClassObject(nCookie);
    return hr;
}

}  // namespace

int main(int argc, char** argv) {
    // The stop signals are taken synchronously by the main thread; every thread started later inherits
    // the mask, so none of them is interrupted by them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    corvane::StartModuleTrace();
    CExceptionFilter::Initialize();
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        CExceptionFilter::Terminate();
        return -1;
    }

    const std::u16string sModulePath = comrt::ToUtf16(corvane::GetModulePath());
    HRESULT hr = S_OK;
    switch (ParseCommandLine(argc, argv)) {
        case Switch::RegServer:
            hr = Register(sModulePath);
            break;
        case Switch::UnregServer:
            hr = Unregister(sModulePath);
            break;
        case Switch::None:
            hr = Run();
            break;
    }
    if (FAILED(hr)) {
        UL_TRACE(corvane::TRACE_LEVEL_FAILURE, "The server failed: 0x%08x (%s)\n", static_cast<unsigned>(hr),
                 comrt::ToUtf8(FormatSystemMessage(hr)).c_str());
    }
    CoUninitialize();
    CExceptionFilter::Terminate();
    return FAILED(hr) ? static_cast<int>(hr) : 0;
}
