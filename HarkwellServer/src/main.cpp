// The server program's entry point: trace start-up, the registration switches, and the run that serves
// the program's classes and runs the application until the process is asked to stop (Ctrl-C, SIGTERM or
// IApplication::Terminate).
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Application.h"
#include "ServerRegistration.h"
#include "comrt/comptr.h"
#include "comrt/messages.h"
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

// Ends the main thread's message loop when SIGINT or SIGTERM arrives: the signals are blocked in every
// thread and taken here synchronously, then turned into WM_QUIT for the main thread.
void WatchStopSignals(DWORD nMainThreadIdentifier) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    int nSignal = 0;
    sigwait(&signals, &nSignal);
    UL_TRACE(corvane::TRACE_LEVEL_ERROR, "Signal %d received, stopping\n", nSignal);
    UL_ASSERT(PostThreadMessageW(nMainThreadIdentifier, WM_QUIT, 0, 0));
}

// Registers the class objects, starts the application (its scenarios among them) and runs the message loop
// until WM_QUIT (IApplication::Terminate, SIGINT or SIGTERM); then stops the application (the scenario list
// is saved) and revokes the class objects.
HRESULT Run() {
    std::vector<DWORD> cookies;
    CComPtr<IApplication> pApplication;
    HRESULT hr = corvane::GuardedCall([&]() -> HRESULT {
        for (const corvane::ClassEntry& entry : ServerClassTable().Entries()) {
            CComPtr<IUnknown> pFactory;
            UL_CHECK(ServerClassTable().GetClassObject(*entry.pClsid, IidOf<IUnknown>(),
                                                       reinterpret_cast<void**>(&pFactory)));
            DWORD nCookie = 0;
            UL_CHECK(CoRegisterClassObject(*entry.pClsid, pFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &nCookie));
            cookies.push_back(nCookie);
        }
        UL_CHECK(CApplication::CreateInstance(IidOf<IApplication>(), reinterpret_cast<void**>(&pApplication)));
        g_pApplication->SetMainThreadIdentifier(GetCurrentThreadId());
        g_pApplication->Start();
        return S_OK;
    });
    if (SUCCEEDED(hr)) {
        std::fprintf(stderr, "Corvane Harkwell Server is running (trace: %s). Press Ctrl-C to stop.\n",
                     corvane::GetTraceLogPath().c_str());
        MSG Message{};
        PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts to it
        std::thread SignalWatch(WatchStopSignals, GetCurrentThreadId());
        SignalWatch.detach();
        while (GetMessageW(&Message, nullptr, 0, 0) > 0) {
        }
    }
    if (g_pApplication != nullptr && g_pApplication->IsRunning()) g_pApplication->Stop();
    pApplication.Release();
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
