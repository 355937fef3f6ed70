// The store that bench/server_memory.sh runs the server on: replaces the stored scenario list of the store
// named by CORVANE_REGISTRY_DIR with N scenarios, each a ping activity on its own loopback address
// (127.0.0.1 ... 127.0.0.254, then 127.0.1.1 and on) probing every INTERVAL milliseconds, with no
// notifications. HarkwellPack1.so must already be registered into that store.
//
//   server_memory_store N INTERVAL
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/support/ManagerClient.h"
#include "../tests/support/Pack1Ids.h"
#include "EventRecordClass.h"
#include "Manager.h"
#include "comrt/oleauto.h"
#include "comrt/registry.h"
#include "comrt/text.h"

using testing_support::kIPingActivity;
using testing_support::kPingActivity;

namespace {

using testing_support::CreateActivityOf;
using testing_support::NewManager;
using testing_support::PutDispatchProperty;
using testing_support::ScenariosOf;

// A whole decimal number within [nLow, nHigh], or -1.
long ParseNumber(const char* pszText, long nLow, long nHigh) {
    char* pszEnd = nullptr;
    const long nValue = std::strtol(pszText, &pszEnd, 10);
    if (pszEnd == pszText || *pszEnd != '\0' || nValue < nLow || nValue > nHigh) return -1;
    return nValue;
}

// The loopback address of scenario nIndex (from 1): 127.0.0.1 to 127.0.0.254, then 127.0.1.1 and on.
std::string LoopbackHost(long nIndex) {
    return "127.0." + std::to_string((nIndex - 1) / 254) + "." + std::to_string((nIndex - 1) % 254 + 1);
}

// One scenario: a ping activity on sHost with the given interval, added to the list (which saves it).
HRESULT AddPingScenario(IScenarios* pScenarios, const std::string& sHost, LONG nInterval) {
    CComPtr<IScenario> pScenario;
    CComPtr<IActivity> pActivity;
    HRESULT hr = pScenarios->Add(&pScenario);
    if (SUCCEEDED(hr)) hr = CreateActivityOf(pScenarios, kPingActivity, pActivity);
    if (SUCCEEDED(hr)) hr = PutDispatchProperty(pActivity, kIPingActivity, u"Host", comrt::ToUtf16(sHost).c_str());
    if (SUCCEEDED(hr)) hr = PutDispatchProperty(pActivity, kIPingActivity, u"Interval", nInterval);
    if (SUCCEEDED(hr)) hr = pScenario->put_Activity(pActivity);
    return hr;
}

}  // namespace

int main(int argc, char** argv) {
    const long nCount = argc == 3 ? ParseNumber(argv[1], 1, 254 * 254) : -1;
    const long nInterval = argc == 3 ? ParseNumber(argv[2], 1, 0x7FFFFFFF) : -1;
    if (nCount < 0 || nInterval < 0) {
        std::fprintf(stderr, "usage: %s N INTERVAL  (N from 1 to 64516 scenarios, INTERVAL in milliseconds)\n",
                     argv[0]);
        return 2;
    }
    if (std::getenv("CORVANE_REGISTRY_DIR") == nullptr) {
        std::fprintf(stderr, "%s: CORVANE_REGISTRY_DIR must name the private store to write\n", argv[0]);
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The scenarios start as they are added; a probe that fires before the list is released raises its event
    // through the event record class, served here as the server serves it.
    DWORD nCookie = 0;
    if (FAILED(ServeEventRecordClass(nCookie))) {
        std::fprintf(stderr, "%s: the event record class could not be served\n", argv[0]);
        return 1;
    }

    int nExitCode = 0;
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScenariosKeyPath);
        CComPtr<IManager> pManager;
        HRESULT hr = NewManager(pManager);
        CComPtr<IScenarios> pScenarios = ScenariosOf(pManager);
        if (pScenarios == nullptr && SUCCEEDED(hr)) hr = E_POINTER;
        for (long nIndex = 1; SUCCEEDED(hr) && nIndex <= nCount; ++nIndex)
            hr = AddPingScenario(pScenarios, LoopbackHost(nIndex), static_cast<LONG>(nInterval));
        LONG nStored = 0;
        if (SUCCEEDED(hr)) hr = pScenarios->get_Count(&nStored);
        if (FAILED(hr) || nStored != nCount) {
            std::fprintf(stderr, "%s: the scenarios could not be stored (0x%08X)\n", argv[0],
                         static_cast<unsigned>(hr));
            nExitCode = 1;
        }
    }  // the list is written back as the manager goes
    CoRevokeClassObject(nCookie);
    CoUninitialize();
    return nExitCode;
}
