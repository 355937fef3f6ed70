// The service process's side on systemd: the dispatcher that runs the service function and turns systemd's
// stop (SIGTERM) into the stop control, and status reports as sd_notify messages.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ServiceInternal.h"
#include "comrt/service.h"
#include "comrt/text.h"

namespace {

using namespace comrt::internal;

struct CStatusObject : CServiceObject {
    static constexpr std::uint32_t kTag = kStatusTag;
    CStatusObject() : CServiceObject(kTag) {}
};

struct DispatcherState {
    std::mutex Lock;
    bool bRunning = false;
    std::u16string sServiceName;
    LPHANDLER_FUNCTION pHandler = nullptr;
    DWORD dwControlsAccepted = 0;
    SERVICE_STATUS_HANDLE hStatus = nullptr;
};

DispatcherState& Dispatcher() {
    static DispatcherState* pState = new DispatcherState;
    return *pState;
}

void DeliverStop() {
    DispatcherState& d = Dispatcher();
    LPHANDLER_FUNCTION pHandler = nullptr;
    {
        std::lock_guard Lock(d.Lock);
        if (d.dwControlsAccepted & SERVICE_ACCEPT_STOP) pHandler = d.pHandler;
    }
    if (!pHandler) return;
    try {
        pHandler(SERVICE_CONTROL_STOP);
    } catch (...) {
        // The handler is the program's; an exception from it must not end the dispatcher.
    }
}

// Waits until the service function has returned (eventfd readable), turning each SIGTERM and SIGINT into
// the stop control meanwhile.
void DispatchSignals(int nSignalFd, int nDoneFd) {
    for (;;) {
        pollfd Fds[2] = {{nSignalFd, POLLIN, 0}, {nDoneFd, POLLIN, 0}};
        if (poll(Fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (Fds[0].revents & POLLIN) {
            signalfd_siginfo Info;
            while (read(nSignalFd, &Info, sizeof Info) == static_cast<ssize_t>(sizeof Info)) DeliverStop();
        }
        if (Fds[1].revents & POLLIN) return;
    }
}

std::string StatusMessage(const SERVICE_STATUS& Status) {
    switch (Status.dwCurrentState) {
        case SERVICE_START_PENDING:
            return "STATUS=Starting";
        case SERVICE_RUNNING:
            return "READY=1\nSTATUS=Running";
        case SERVICE_STOP_PENDING:
            return "STOPPING=1\nSTATUS=Stopping";
        default:
            break;
    }
    std::string s = "STATUS=Stopped";
    char szCode[40];
    if (Status.dwWin32ExitCode == static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR)) {
        std::snprintf(szCode, sizeof szCode, " (exit code 0x%08X)", Status.dwServiceSpecificExitCode);
        s += szCode;
    } else if (Status.dwWin32ExitCode != 0) {
        std::snprintf(szCode, sizeof szCode, " (exit code %u)", Status.dwWin32ExitCode);
        s += szCode;
    }
    return s;
}

}  // namespace

// -------------------------------------------------------------------------------------------------------------
// The service process.

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) noexcept {
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char* pszInvocation = std::getenv("INVOCATION_ID");
    if (!pszInvocation || !*pszInvocation) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    DispatcherState& d = Dispatcher();
    try {
        std::lock_guard Lock(d.Lock);
        if (d.bRunning) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        d.bRunning = true;
        d.sServiceName = lpServiceStartTable[0].lpServiceName;
        d.pHandler = nullptr;
        d.dwControlsAccepted = 0;
        d.hStatus = nullptr;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto EndDispatch = [&d] {
        std::lock_guard Lock(d.Lock);
        if (d.hStatus) RemoveServiceObject(d.hStatus, {kStatusTag});
        d.hStatus = nullptr;
        d.pHandler = nullptr;
        d.dwControlsAccepted = 0;
        d.bRunning = false;
    };

    // The caller blocks both signals in every thread before it starts any; blocking them here too keeps the
    // signalfd working should it have missed this thread. They stay blocked afterwards: a stop request that
    // arrives late must not end the process with its default action.
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGTERM);
    sigaddset(&Signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
    const int nSignalFd = signalfd(-1, &Signals, SFD_CLOEXEC | SFD_NONBLOCK);
    const int nDoneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (nSignalFd < 0 || nDoneFd < 0) {
        if (nSignalFd >= 0) close(nSignalFd);
        if (nDoneFd >= 0) close(nDoneFd);
        EndDispatch();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    const LPSERVICE_MAIN_FUNCTIONW pServiceMain = lpServiceStartTable[0].lpServiceProc;
    std::thread ServiceThread;
    try {
        ServiceThread =
            std::thread([pServiceMain, nDoneFd, sName = std::u16string(lpServiceStartTable[0].lpServiceName)] {
                std::u16string sArgument = sName;
                LPWSTR Argv[2] = {sArgument.data(), nullptr};
                try {
                    pServiceMain(1, Argv);
                } catch (...) {
                    // The service function is the program's; its exception ends the service, not the process.
                }
                const std::uint64_t nOne = 1;
                while (write(nDoneFd, &nOne, sizeof nOne) < 0 && errno == EINTR) {
                }
            });
    } catch (...) {
        close(nSignalFd);
        close(nDoneFd);
        EndDispatch();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    DispatchSignals(nSignalFd, nDoneFd);
    ServiceThread.join();
    close(nSignalFd);
    close(nDoneFd);
    EndDispatch();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) noexcept {
    try {
        if (!lpServiceName || !lpHandlerProc) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        DispatcherState& d = Dispatcher();
        std::lock_guard Lock(d.Lock);
        if (!d.bRunning) {
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return nullptr;
        }
        if (!comrt::EqualsNoCase(lpServiceName, d.sServiceName)) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        if (!d.hStatus) {
            d.hStatus = static_cast<SERVICE_STATUS_HANDLE>(InsertServiceObject(std::make_shared<CStatusObject>()));
            if (!d.hStatus) return nullptr;
        }
        d.pHandler = lpHandlerProc;
        return d.hStatus;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) noexcept {
    try {
        if (!LookupServiceObject<CStatusObject>(hServiceStatus)) return FALSE;
        if (!lpServiceStatus) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const DWORD dwState = lpServiceStatus->dwCurrentState;
        if (dwState != SERVICE_STOPPED && dwState != SERVICE_START_PENDING && dwState != SERVICE_STOP_PENDING &&
            dwState != SERVICE_RUNNING) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        {
            DispatcherState& d = Dispatcher();
            std::lock_guard Lock(d.Lock);
            d.dwControlsAccepted = lpServiceStatus->dwControlsAccepted;
        }
        // Without NOTIFY_SOCKET (not run by systemd, or Type= not notify) there is nobody to tell: no error.
        const int nResult = sd_notify(0, StatusMessage(*lpServiceStatus).c_str());
        if (nResult < 0) {
            SetLastError(comrt::Win32ErrorFromErrno(-nResult, ERROR_WRITE_FAULT));
            return FALSE;
        }
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
